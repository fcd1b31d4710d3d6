// Arbitrary TwistStamped field values (every double bit pattern: NaN, infinities, denormals;
// every stamp) published to the real localisation node through "encoder_vel". The node may only
// log and drop: no crash, no sanitizer report, no non-finite value published, and no message
// taking more than a small bounded time.
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "geometry_msgs/msg/twist_stamped.hpp"
#include "nav_msgs/msg/odometry.hpp"
#include "rclcpp/rclcpp.hpp"
#include "zendrafell_localisation/zendrafell_localisation.hpp"

namespace
{

struct Harness
{
  std::shared_ptr<ZendrafellLocalisationNode> node;
  std::shared_ptr<rclcpp::Node> driver;
  rclcpp::Publisher<geometry_msgs::msg::TwistStamped>::SharedPtr publisher;
  rclcpp::Subscription<nav_msgs::msg::Odometry>::SharedPtr subscription;
  std::size_t published = 0;
};

bool finite(const nav_msgs::msg::Odometry& o)
{
  const auto& p = o.pose.pose;
  const auto& t = o.twist.twist;
  const double values[] = {p.position.x,    p.position.y,    p.position.z,    p.orientation.x,
                           p.orientation.y, p.orientation.z, p.orientation.w, t.linear.x,
                           t.linear.y,      t.linear.z,      t.angular.x,     t.angular.y,
                           t.angular.z};
  for (double v : values) {
    if (!std::isfinite(v)) {
      return false;
    }
  }
  return true;
}

Harness& harness()
{
  static Harness h = [] {
    // The node looks its package up in the ament index: give it a prefix that lists it.
    const std::string prefix = "/tmp/zf_fuzz_prefix";
    const std::string dir = prefix + "/share/ament_index/resource_index/packages";
    if (std::system(("mkdir -p " + dir).c_str()) != 0) {
      std::abort();
    }
    std::ofstream(dir + "/localization_pkg").close();
    setenv("AMENT_PREFIX_PATH", prefix.c_str(), 1);
    rclcpp::init(0, nullptr);
    rclcpp::get_logger("localisation_node").set_level(rclcpp::Logger::Level::Error);
    Harness made;
    // Jumps beyond 50 ms (five integration steps) restart the filter: a longer interval only
    // repeats the same steps, and every input stays quick to run under the sanitizers.
    rclcpp::NodeOptions options;
    options.append_parameter_override("max_time_jump", 0.05);
    made.node = std::make_shared<ZendrafellLocalisationNode>(options);
    made.driver = std::make_shared<rclcpp::Node>("fuzz_driver");
    made.publisher =
      made.driver->create_publisher<geometry_msgs::msg::TwistStamped>("encoder_vel", 10);
    made.subscription = made.driver->create_subscription<nav_msgs::msg::Odometry>(
      "odometry/filtered", 10, [](const nav_msgs::msg::Odometry& o) {
        if (!finite(o)) {
          std::fprintf(stderr, "non-finite odometry published\n");
          std::abort();
        }
      });
    return made;
  }();
  return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
  Harness& h = harness();
  // Each 56 bytes are one message: sec, nanosec, linear x y z, angular x y z.
  constexpr std::size_t kMessage = 4 + 4 + 6 * 8;
  for (std::size_t at = 0; at + kMessage <= size; at += kMessage) {
    geometry_msgs::msg::TwistStamped m;
    std::memcpy(&m.header.stamp.sec, data + at, 4);
    std::memcpy(&m.header.stamp.nanosec, data + at + 4, 4);
    double v[6];
    std::memcpy(v, data + at + 8, sizeof(v));
    m.twist.linear.x = v[0];
    m.twist.linear.y = v[1];
    m.twist.linear.z = v[2];
    m.twist.angular.x = v[3];
    m.twist.angular.y = v[4];
    m.twist.angular.z = v[5];
    const auto start = std::chrono::steady_clock::now();
    h.publisher->publish(m);
    rclcpp::spin_some(h.node);
    rclcpp::spin_some(h.driver);
    const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds > 5.0) {
      std::fprintf(stderr, "one message took %.2f s\n", seconds);
      std::abort();
    }
  }
  return 0;
}
