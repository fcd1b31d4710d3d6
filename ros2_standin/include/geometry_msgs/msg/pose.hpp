#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "geometry_msgs/msg/point.hpp"
#include "geometry_msgs/msg/quaternion.hpp"
#include "rosidl_runtime_cpp/message_initialization.hpp"

namespace geometry_msgs::msg
{

template <class ContainerAllocator>
struct Pose_
{
  using Type = Pose_<ContainerAllocator>;

  explicit Pose_(rosidl_runtime_cpp::MessageInitialization _init =
                   rosidl_runtime_cpp::MessageInitialization::ALL)
    : position(_init), orientation(_init)
  {
    (void)_init;
  }
  explicit Pose_(const ContainerAllocator&, rosidl_runtime_cpp::MessageInitialization _init =
                                              rosidl_runtime_cpp::MessageInitialization::ALL)
    : Pose_(_init)
  {
  }

  using _position_type = geometry_msgs::msg::Point_<ContainerAllocator>;
  _position_type position;
  using _orientation_type = geometry_msgs::msg::Quaternion_<ContainerAllocator>;
  _orientation_type orientation;

  ROS2_STANDIN_MESSAGE_ALIASES(Type);

  bool operator==(const Type& other) const
  {
    return position == other.position && orientation == other.orientation;
  }
  bool operator!=(const Type& other) const { return !(*this == other); }
};

using Pose = Pose_<std::allocator<void>>;

}  // namespace geometry_msgs::msg
