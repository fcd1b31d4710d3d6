// Helpers shared by the node's integration tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "geometry_msgs/msg/twist_stamped.hpp"

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

}  // namespace
