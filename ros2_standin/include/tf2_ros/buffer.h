#pragma once

#include <memory>

#include "rclcpp/clock.hpp"
#include "rclcpp/node.hpp"
#include "tf2/buffer_core.h"

namespace tf2_ros
{

/// The transform tree a TransformListener fills.
class Buffer : public tf2::BufferCore
{
public:
  using tf2::BufferCore::canTransform;
  using tf2::BufferCore::lookupTransform;
  using SharedPtr = std::shared_ptr<tf2_ros::Buffer>;

  Buffer(rclcpp::Clock::SharedPtr clock,
         tf2::Duration cache_time = tf2::Duration(tf2::BUFFER_CORE_DEFAULT_CACHE_TIME),
         rclcpp::Node::SharedPtr node = rclcpp::Node::SharedPtr())
    : tf2::BufferCore(cache_time), clock_(std::move(clock))
  {
    (void)node;
  }

  /// As the three-argument form; the stand-in never waits, whatever the timeout.
  geometry_msgs::msg::TransformStamped lookupTransform(const std::string& target_frame,
                                                       const std::string& source_frame,
                                                       const tf2::TimePoint& time,
                                                       const tf2::Duration timeout) const
  {
    (void)timeout;
    return lookupTransform(target_frame, source_frame, time);
  }

private:
  rclcpp::Clock::SharedPtr clock_;
};

}  // namespace tf2_ros
