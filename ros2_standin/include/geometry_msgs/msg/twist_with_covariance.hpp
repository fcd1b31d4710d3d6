#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "geometry_msgs/msg/twist.hpp"
#include "rosidl_runtime_cpp/message_initialization.hpp"

namespace geometry_msgs::msg
{

template <class ContainerAllocator>
struct TwistWithCovariance_
{
  using Type = TwistWithCovariance_<ContainerAllocator>;

  explicit TwistWithCovariance_(rosidl_runtime_cpp::MessageInitialization _init =
                                  rosidl_runtime_cpp::MessageInitialization::ALL)
    : twist(_init)
  {
    (void)_init;
    if (_init != rosidl_runtime_cpp::MessageInitialization::SKIP) {
      covariance.fill(0.0);
    }
  }
  explicit TwistWithCovariance_(const ContainerAllocator&,
                                rosidl_runtime_cpp::MessageInitialization _init =
                                  rosidl_runtime_cpp::MessageInitialization::ALL)
    : TwistWithCovariance_(_init)
  {
  }

  using _twist_type = geometry_msgs::msg::Twist_<ContainerAllocator>;
  _twist_type twist;
  using _covariance_type = std::array<double, 36>;
  _covariance_type covariance;

  ROS2_STANDIN_MESSAGE_ALIASES(Type);

  bool operator==(const Type& other) const
  {
    return twist == other.twist && covariance == other.covariance;
  }
  bool operator!=(const Type& other) const { return !(*this == other); }
};

using TwistWithCovariance = TwistWithCovariance_<std::allocator<void>>;

}  // namespace geometry_msgs::msg
