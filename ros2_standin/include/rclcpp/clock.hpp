#pragma once

#include <memory>

namespace rclcpp
{

/// A node's clock: here only a handle that tf2_ros::Buffer takes, as in ROS 2.
class Clock
{
public:
  using SharedPtr = std::shared_ptr<Clock>;
  using ConstSharedPtr = std::shared_ptr<const Clock>;
};

}  // namespace rclcpp
