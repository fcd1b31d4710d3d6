#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "geometry_msgs/msg/pose_with_covariance.hpp"
#include "rosidl_runtime_cpp/message_initialization.hpp"
#include "std_msgs/msg/header.hpp"

namespace geometry_msgs::msg
{

template <class ContainerAllocator>
struct PoseWithCovarianceStamped_
{
  using Type = PoseWithCovarianceStamped_<ContainerAllocator>;

  explicit PoseWithCovarianceStamped_(rosidl_runtime_cpp::MessageInitialization _init =
                           rosidl_runtime_cpp::MessageInitialization::ALL)
    : header(_init), pose(_init)
  {
    (void)_init;
  }
  explicit PoseWithCovarianceStamped_(const ContainerAllocator&,
                         rosidl_runtime_cpp::MessageInitialization _init =
                           rosidl_runtime_cpp::MessageInitialization::ALL)
    : PoseWithCovarianceStamped_(_init)
  {
  }

  using _header_type = std_msgs::msg::Header_<ContainerAllocator>;
  _header_type header;
  using _pose_type = geometry_msgs::msg::PoseWithCovariance_<ContainerAllocator>;
  _pose_type pose;

  ROS2_STANDIN_MESSAGE_ALIASES(Type);

  bool operator==(const Type& other) const
  {
    return header == other.header && pose == other.pose;
  }
  bool operator!=(const Type& other) const { return !(*this == other); }
};

using PoseWithCovarianceStamped = PoseWithCovarianceStamped_<std::allocator<void>>;

}  // namespace geometry_msgs::msg
