// Helpers shared by the node's integration tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "geometry_msgs/msg/twist_stamped.hpp"
#include "nav_msgs/msg/odometry.hpp"
#include "rclcpp/rclcpp.hpp"
#include "zendrafell_localisation/zendrafell_localisation.hpp"

namespace
{

using nlohmann::json;
using TwistStamped = geometry_msgs::msg::TwistStamped;

// Graph changes reach other nodes asynchronously in ROS 2 (discovery): a count is read once it
// has settled on the expected value, or after two seconds.
template <typename Count>
inline std::size_t settled(Count count, std::size_t expected)
{
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::size_t n = count();
  while (n != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    n = count();
  }
  return n;
}

inline json default_config()
{
  std::ifstream in(LOCALISATION_DEFAULT_CONFIG);
  return json::parse(in);
}

inline std::string write_config(const json& config, const std::string& name)
{
  const std::string path = ::testing::TempDir() + "localisation_" + name + ".json";
  std::ofstream(path) << config.dump(2);
  return path;
}

inline TwistStamped twist(int32_t sec, uint32_t nanosec, double speed, double yaw_rate)
{
  TwistStamped m;
  m.header.stamp.sec = sec;
  m.header.stamp.nanosec = nanosec;
  m.twist.linear.x = speed;
  m.twist.angular.z = yaw_rate;
  return m;
}

// A node under test, the node that drives it, and what the filter made of each message.
class NodeHarness : public ::testing::Test
{
protected:
  // One message in; everything the node publishes for it out (a held message can release
  // several, and spin_some() takes one message per subscription).
  template <typename Publisher, typename Message>
  void send(Publisher& publisher, const Message& m)
  {
    publisher->publish(m);
    rclcpp::spin_some(node);
    drain();
  }
  void drain()
  {
    for (std::size_t n = received.size() + 1; n != received.size();) {
      n = received.size();
      rclcpp::spin_some(driver);
    }
  }

  // The sensor's measurement and noise in the filter's latest update.
  ukf::VectorX measured(const std::string& sensor) const
  {
    return node->get_filter().get_last_step().sensor_measurement[sensor];
  }
  ukf::MatrixX noise(const std::string& sensor) const
  {
    return node->get_filter().get_last_step().sensor_measurement.get_sensor(sensor).get_noise();
  }

  std::shared_ptr<ZendrafellLocalisationNode> node;
  std::shared_ptr<rclcpp::Node> driver;
  std::vector<nav_msgs::msg::Odometry> received;
};

}  // namespace
