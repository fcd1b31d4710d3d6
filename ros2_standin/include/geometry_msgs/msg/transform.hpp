#pragma once

#include <memory>

#include "geometry_msgs/msg/quaternion.hpp"
#include "geometry_msgs/msg/vector3.hpp"
#include "rosidl_runtime_cpp/message_initialization.hpp"

namespace geometry_msgs::msg
{

template <class ContainerAllocator>
struct Transform_
{
  using Type = Transform_<ContainerAllocator>;

  explicit Transform_(rosidl_runtime_cpp::MessageInitialization _init =
                        rosidl_runtime_cpp::MessageInitialization::ALL)
    : translation(_init), rotation(_init)
  {
    (void)_init;
  }
  explicit Transform_(const ContainerAllocator&, rosidl_runtime_cpp::MessageInitialization _init =
                                                   rosidl_runtime_cpp::MessageInitialization::ALL)
    : Transform_(_init)
  {
  }

  using _translation_type = geometry_msgs::msg::Vector3_<ContainerAllocator>;
  _translation_type translation;
  using _rotation_type = geometry_msgs::msg::Quaternion_<ContainerAllocator>;
  _rotation_type rotation;

  ROS2_STANDIN_MESSAGE_ALIASES(Type);

  bool operator==(const Type& other) const
  {
    return translation == other.translation && rotation == other.rotation;
  }
  bool operator!=(const Type& other) const { return !(*this == other); }
};

using Transform = Transform_<std::allocator<void>>;

}  // namespace geometry_msgs::msg
