#pragma once

#include <memory>
#include <string>
#include <utility>

#include "rclcpp/rclcpp.hpp"
#include "tf2/buffer_core.h"
#include "tf2_msgs/msg/tf_message.hpp"
#include "tf2_ros/qos.hpp"

namespace tf2_ros
{

/// Subscribes to "/tf" and "/tf_static" (transient local) and stores every transform heard in
/// `buffer`. The stand-in has no threads of its own: its callbacks always run in the spin of
/// `node`, which is what `spin_thread = false` asks of ROS 2.
class TransformListener
{
public:
  template <class NodeT>
  TransformListener(tf2::BufferCore& buffer, NodeT&& node, bool spin_thread = true,
                    const rclcpp::QoS& qos = DynamicListenerQoS(),
                    const rclcpp::QoS& static_qos = StaticListenerQoS())
    : buffer_(buffer)
  {
    (void)spin_thread;
    message_subscription_tf_ = node->template create_subscription<tf2_msgs::msg::TFMessage>(
      "/tf", qos, [this](std::shared_ptr<const tf2_msgs::msg::TFMessage> msg) {
        subscription_callback(*msg, false);
      });
    message_subscription_tf_static_ = node->template create_subscription<tf2_msgs::msg::TFMessage>(
      "/tf_static", static_qos, [this](std::shared_ptr<const tf2_msgs::msg::TFMessage> msg) {
        subscription_callback(*msg, true);
      });
  }
  virtual ~TransformListener() = default;

private:
  void subscription_callback(const tf2_msgs::msg::TFMessage& msg, bool is_static)
  {
    static const std::string authority = "Authority undetectable";
    for (const auto& transform : msg.transforms) {
      buffer_.setTransform(transform, authority, is_static);
    }
  }

  tf2::BufferCore& buffer_;
  rclcpp::Subscription<tf2_msgs::msg::TFMessage>::SharedPtr message_subscription_tf_;
  rclcpp::Subscription<tf2_msgs::msg::TFMessage>::SharedPtr message_subscription_tf_static_;
};

}  // namespace tf2_ros
