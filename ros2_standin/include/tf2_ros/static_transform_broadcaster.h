#pragma once

#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rclcpp/rclcpp.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "tf2_ros/qos.hpp"

namespace tf2_ros
{

/// Publishes transforms that never change on "/tf_static", transient local, so that nodes which
/// start later still receive them. Every call publishes all the transforms sent so far, one per
/// child frame (a later one replaces an earlier one of the same child).
class StaticTransformBroadcaster
{
public:
  template <class NodeT>
  explicit StaticTransformBroadcaster(NodeT&& node,
                                      const rclcpp::QoS& qos = StaticBroadcasterQoS())
  {
    publisher_ = node->template create_publisher<tf2_msgs::msg::TFMessage>("/tf_static", qos);
  }

  void sendTransform(const geometry_msgs::msg::TransformStamped& transform)
  {
    sendTransform(std::vector<geometry_msgs::msg::TransformStamped>{transform});
  }
  void sendTransform(const std::vector<geometry_msgs::msg::TransformStamped>& transforms)
  {
    for (const auto& in : transforms) {
      bool match_found = false;
      for (auto& held : net_message_.transforms) {
        if (in.child_frame_id == held.child_frame_id) {
          held = in;
          match_found = true;
          break;
        }
      }
      if (!match_found) {
        net_message_.transforms.push_back(in);
      }
    }
    publisher_->publish(net_message_);
  }

private:
  rclcpp::Publisher<tf2_msgs::msg::TFMessage>::SharedPtr publisher_;
  tf2_msgs::msg::TFMessage net_message_;
};

}  // namespace tf2_ros
