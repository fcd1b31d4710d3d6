#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "geometry_msgs/msg/pose.hpp"
#include "rosidl_runtime_cpp/message_initialization.hpp"

namespace geometry_msgs::msg
{

template <class ContainerAllocator>
struct PoseWithCovariance_
{
  using Type = PoseWithCovariance_<ContainerAllocator>;

  explicit PoseWithCovariance_(rosidl_runtime_cpp::MessageInitialization _init =
                                 rosidl_runtime_cpp::MessageInitialization::ALL)
    : pose(_init)
  {
    (void)_init;
    if (_init != rosidl_runtime_cpp::MessageInitialization::SKIP) {
      covariance.fill(0.0);
    }
  }
  explicit PoseWithCovariance_(const ContainerAllocator&,
                               rosidl_runtime_cpp::MessageInitialization _init =
                                 rosidl_runtime_cpp::MessageInitialization::ALL)
    : PoseWithCovariance_(_init)
  {
  }

  using _pose_type = geometry_msgs::msg::Pose_<ContainerAllocator>;
  _pose_type pose;
  using _covariance_type = std::array<double, 36>;
  _covariance_type covariance;

  ROS2_STANDIN_MESSAGE_ALIASES(Type);

  bool operator==(const Type& other) const
  {
    return pose == other.pose && covariance == other.covariance;
  }
  bool operator!=(const Type& other) const { return !(*this == other); }
};

using PoseWithCovariance = PoseWithCovariance_<std::allocator<void>>;

}  // namespace geometry_msgs::msg
