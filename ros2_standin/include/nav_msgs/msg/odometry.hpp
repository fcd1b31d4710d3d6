#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "geometry_msgs/msg/pose_with_covariance.hpp"
#include "geometry_msgs/msg/twist_with_covariance.hpp"
#include "rosidl_runtime_cpp/message_initialization.hpp"
#include "std_msgs/msg/header.hpp"

namespace nav_msgs::msg
{

template <class ContainerAllocator>
struct Odometry_
{
  using Type = Odometry_<ContainerAllocator>;

  explicit Odometry_(rosidl_runtime_cpp::MessageInitialization _init =
                       rosidl_runtime_cpp::MessageInitialization::ALL)
    : header(_init), pose(_init), twist(_init)
  {
    (void)_init;
  }
  explicit Odometry_(const ContainerAllocator&, rosidl_runtime_cpp::MessageInitialization _init =
                                                  rosidl_runtime_cpp::MessageInitialization::ALL)
    : Odometry_(_init)
  {
  }

  using _header_type = std_msgs::msg::Header_<ContainerAllocator>;
  _header_type header;
  using _child_frame_id_type = std::string;
  _child_frame_id_type child_frame_id;
  using _pose_type = geometry_msgs::msg::PoseWithCovariance_<ContainerAllocator>;
  _pose_type pose;
  using _twist_type = geometry_msgs::msg::TwistWithCovariance_<ContainerAllocator>;
  _twist_type twist;

  ROS2_STANDIN_MESSAGE_ALIASES(Type);

  bool operator==(const Type& other) const
  {
    return header == other.header && child_frame_id == other.child_frame_id && pose == other.pose &&
           twist == other.twist;
  }
  bool operator!=(const Type& other) const { return !(*this == other); }
};

using Odometry = Odometry_<std::allocator<void>>;

}  // namespace nav_msgs::msg
