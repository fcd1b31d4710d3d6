#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "geometry_msgs/msg/vector3.hpp"
#include "rosidl_runtime_cpp/message_initialization.hpp"

namespace geometry_msgs::msg
{

template <class ContainerAllocator>
struct Twist_
{
  using Type = Twist_<ContainerAllocator>;

  explicit Twist_(rosidl_runtime_cpp::MessageInitialization _init =
                    rosidl_runtime_cpp::MessageInitialization::ALL)
    : linear(_init), angular(_init)
  {
    (void)_init;
  }
  explicit Twist_(const ContainerAllocator&, rosidl_runtime_cpp::MessageInitialization _init =
                                               rosidl_runtime_cpp::MessageInitialization::ALL)
    : Twist_(_init)
  {
  }

  using _linear_type = geometry_msgs::msg::Vector3_<ContainerAllocator>;
  _linear_type linear;
  using _angular_type = geometry_msgs::msg::Vector3_<ContainerAllocator>;
  _angular_type angular;

  ROS2_STANDIN_MESSAGE_ALIASES(Type);

  bool operator==(const Type& other) const
  {
    return linear == other.linear && angular == other.angular;
  }
  bool operator!=(const Type& other) const { return !(*this == other); }
};

using Twist = Twist_<std::allocator<void>>;

}  // namespace geometry_msgs::msg
