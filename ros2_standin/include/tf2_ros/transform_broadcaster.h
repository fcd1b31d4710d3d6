#pragma once

#include <memory>
#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rclcpp/rclcpp.hpp"
#include "tf2_msgs/msg/tf_message.hpp"

namespace tf2_ros
{

/// Publishes transforms as tf2_msgs/TFMessage on "/tf", keep-last 100 (ROS 2's dynamic
/// broadcaster depth). `node` is anything with create_publisher: a node pointer or shared_ptr.
class TransformBroadcaster
{
public:
  template <class NodeT>
  explicit TransformBroadcaster(NodeT&& node, const rclcpp::QoS& qos = rclcpp::QoS(100))
  {
    publisher_ = node->template create_publisher<tf2_msgs::msg::TFMessage>("/tf", qos);
  }

  /// One transform from child_frame_id to header.frame_id, in one message.
  void sendTransform(const geometry_msgs::msg::TransformStamped& transform)
  {
    // The message is kept, so that sending one transform after another reuses its storage.
    message_.transforms.resize(1);
    message_.transforms[0] = transform;
    publisher_->publish(message_);
  }
  /// All the transforms in one message.
  void sendTransform(const std::vector<geometry_msgs::msg::TransformStamped>& transforms)
  {
    message_.transforms = transforms;
    publisher_->publish(message_);
  }

private:
  rclcpp::Publisher<tf2_msgs::msg::TFMessage>::SharedPtr publisher_;
  tf2_msgs::msg::TFMessage message_;
};

}  // namespace tf2_ros
