// The stand-in must behave as ROS 2 Humble does for everything the node and its tests use.
#include <stdlib.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ament_index_cpp/get_package_prefix.hpp"
#include "ament_index_cpp/get_package_share_directory.hpp"
#include "geometry_msgs/msg/twist_stamped.hpp"
#include "nav_msgs/msg/odometry.hpp"
#include "rclcpp/rclcpp.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "tf2_ros/transform_broadcaster.h"

namespace
{

// Graph changes reach other nodes asynchronously in ROS 2 (discovery): a count is read once it
// has settled on the expected value, or after two seconds.
template <typename Count>
std::size_t settled(Count count, std::size_t expected)
{
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::size_t n = count();
  while (n != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    n = count();
  }
  return n;
}

class Standin : public ::testing::Test
{
protected:
  void init(std::vector<const char*> args = {"prog"})
  {
    rclcpp::init(static_cast<int>(args.size()), args.data());
  }
  void TearDown() override { rclcpp::shutdown(); }
};

}  // namespace

TEST(StandinMessages, DefaultsMatchTheMsgFiles)
{
  geometry_msgs::msg::TwistStamped t;
  EXPECT_EQ(t.header.stamp.sec, 0);
  EXPECT_EQ(t.twist.angular.z, 0.0);
  nav_msgs::msg::Odometry o;
  EXPECT_EQ(o.pose.pose.orientation.w, 1.0);
  EXPECT_EQ(o.pose.covariance[35], 0.0);
  EXPECT_TRUE(o.child_frame_id.empty());
  nav_msgs::msg::Odometry zero(rosidl_runtime_cpp::MessageInitialization::ZERO);
  EXPECT_EQ(zero.pose.pose.orientation.w, 0.0);
}

TEST_F(Standin, NodeBeforeInitAndSpinAfterShutdownThrow)
{
  // Before the first init() (this suite's first rclcpp call in the process).
  EXPECT_THROW(rclcpp::Node("n"), rclcpp::exceptions::RCLInvalidArgument);
  init();
  auto node = std::make_shared<rclcpp::Node>("n");
  EXPECT_TRUE(rclcpp::ok());
  EXPECT_THROW(rclcpp::init(0, nullptr), rclcpp::ContextAlreadyInitialized);
  EXPECT_TRUE(rclcpp::shutdown());
  EXPECT_FALSE(rclcpp::shutdown());
  EXPECT_THROW(rclcpp::spin_some(node), rclcpp::exceptions::RCLError);
  EXPECT_THROW(rclcpp::Node("after"), rclcpp::exceptions::RCLError);
}

TEST_F(Standin, ParameterOverridesAndTheirTypes)
{
  init({"prog", "--ros-args", "-p", "ukf_config:=/a.json", "-p", "other:=123", "-p",
        "quoted:='123'", "-p", "n:flag:=yes"});
  auto node = std::make_shared<rclcpp::Node>("n");
  EXPECT_EQ(node->declare_parameter("ukf_config", "/default.json"), "/a.json");
  EXPECT_EQ(node->declare_parameter("quoted", std::string("x")), "123");
  EXPECT_EQ(node->declare_parameter("flag", false), true);
  try {
    node->declare_parameter("other", std::string("x"));
    ADD_FAILURE() << "expected InvalidParameterTypeException";
  } catch (const rclcpp::exceptions::InvalidParameterTypeException& e) {
    EXPECT_STREQ(e.what(),
                 "parameter 'other' has invalid type: Wrong parameter type, parameter {other} is "
                 "of type {string}, setting it to {integer} is not allowed.");
  }
  EXPECT_THROW(node->declare_parameter("ukf_config", "/x"),
               rclcpp::exceptions::ParameterAlreadyDeclaredException);
  EXPECT_THROW(node->get_parameter("nope"), rclcpp::exceptions::ParameterNotDeclaredException);
  EXPECT_EQ(node->get_parameter("ukf_config").as_string(), "/a.json");

  rclcpp::NodeOptions options;
  options.arguments({"--ros-args", "-p", "ukf_config:=/local.json"});
  options.append_parameter_override("max", 2.5);
  auto local = std::make_shared<rclcpp::Node>("local", options);
  EXPECT_EQ(local->declare_parameter("ukf_config", "/d"), "/local.json");
  EXPECT_EQ(local->declare_parameter("max", 60.0), 2.5);
}

TEST_F(Standin, UnknownRosArgumentsAreRejected)
{
  try {
    init({"prog", "--ros-args", "--bogus", "-p", "a:=1"});
    ADD_FAILURE();
  } catch (const rclcpp::exceptions::UnknownROSArgsError& e) {
    EXPECT_STREQ(e.what(), "found unknown ROS arguments: '--bogus'");
  }
}

TEST_F(Standin, KeepLastQueuesDeliverInOrderOnSpin)
{
  init();
  auto sender = std::make_shared<rclcpp::Node>("sender");
  auto receiver = std::make_shared<rclcpp::Node>("receiver");
  std::vector<int> got;
  auto sub = receiver->create_subscription<geometry_msgs::msg::TwistStamped>(
    "encoder_vel", rclcpp::QoS(rclcpp::KeepLast(3)),
    [&](const geometry_msgs::msg::TwistStamped& m) { got.push_back(m.header.stamp.sec); });
  auto pub = sender->create_publisher<geometry_msgs::msg::TwistStamped>("encoder_vel", 10);
  EXPECT_EQ(settled([&] { return sender->count_subscribers("encoder_vel"); }, 1u), 1u);
  EXPECT_EQ(settled([&] { return receiver->count_publishers("/encoder_vel"); }, 1u), 1u);
  EXPECT_STREQ(pub->get_topic_name(), "/encoder_vel");
  for (int i = 0; i < 5; ++i) {
    geometry_msgs::msg::TwistStamped m;
    m.header.stamp.sec = i;
    pub->publish(m);
  }
  EXPECT_TRUE(got.empty());
  // The oldest two were dropped; each spin_some() takes one message per subscription.
  rclcpp::spin_some(receiver);
  EXPECT_EQ(got, (std::vector<int>{2}));
  rclcpp::spin_some(receiver);
  rclcpp::spin_some(receiver);
  EXPECT_EQ(got, (std::vector<int>{2, 3, 4}));
  rclcpp::spin_some(receiver);
  EXPECT_EQ(got.size(), 3u);
  EXPECT_THROW(sender->create_publisher<geometry_msgs::msg::TwistStamped>("bad name", 10),
               rclcpp::exceptions::InvalidTopicNameError);
}

TEST_F(Standin, TransformBroadcasterPublishesOnTheAbsoluteTfTopic)
{
  init();
  auto sender = std::make_shared<rclcpp::Node>("sender", "/some_namespace");
  auto receiver = std::make_shared<rclcpp::Node>("receiver");
  tf2_ros::TransformBroadcaster broadcaster(sender.get());
  std::vector<tf2_msgs::msg::TFMessage> got;
  auto sub = receiver->create_subscription<tf2_msgs::msg::TFMessage>(
    "/tf", 100, [&](const tf2_msgs::msg::TFMessage& m) { got.push_back(m); });
  EXPECT_EQ(settled([&] { return receiver->count_publishers("/tf"); }, 1u), 1u);
  geometry_msgs::msg::TransformStamped t;
  t.header.frame_id = "odom";
  t.header.stamp.sec = 12;
  t.child_frame_id = "base_link";
  t.transform.translation.x = 1.5;
  EXPECT_EQ(t.transform.rotation.w, 1.0);
  broadcaster.sendTransform(t);
  broadcaster.sendTransform(std::vector<geometry_msgs::msg::TransformStamped>{t, t});
  rclcpp::spin_some(receiver);
  rclcpp::spin_some(receiver);
  ASSERT_EQ(got.size(), 2u);
  ASSERT_EQ(got[0].transforms.size(), 1u);
  EXPECT_EQ(got[0].transforms[0], t);
  EXPECT_EQ(got[1].transforms.size(), 2u);
}

TEST(StandinQoS, SensorDataIsBestEffortKeepLastFive)
{
  rclcpp::SensorDataQoS sensor;
  EXPECT_EQ(sensor.depth(), 5u);
  EXPECT_EQ(sensor.reliability(), rclcpp::ReliabilityPolicy::BestEffort);
  EXPECT_EQ(sensor.keep_last(50).depth(), 50u);
  EXPECT_EQ(rclcpp::QoS(10).reliability(), rclcpp::ReliabilityPolicy::Reliable);
  EXPECT_EQ(rclcpp::QoS(10).best_effort().reliability(), rclcpp::ReliabilityPolicy::BestEffort);
}

TEST(StandinAmentIndex, SearchesThePrefixPath)
{
  const std::string root = ::testing::TempDir() + "standin_prefix";
  const std::string marker_dir = root + "/share/ament_index/resource_index/packages";
  ASSERT_EQ(std::system(("mkdir -p " + marker_dir).c_str()), 0);
  std::ofstream(marker_dir + "/localization_pkg").close();
  setenv("AMENT_PREFIX_PATH", ("/nonexistent::" + root).c_str(), 1);
  EXPECT_EQ(ament_index_cpp::get_package_share_directory("localization_pkg"),
            root + "/share/localization_pkg");
  try {
    ament_index_cpp::get_package_share_directory("missing_pkg");
    ADD_FAILURE();
  } catch (const ament_index_cpp::PackageNotFoundError& e) {
    EXPECT_EQ(std::string(e.what()), "package 'missing_pkg' not found, searching: [" + root + "]");
    EXPECT_EQ(e.package_name, "missing_pkg");
  }
  unsetenv("AMENT_PREFIX_PATH");
  EXPECT_THROW(ament_index_cpp::get_package_share_directory("localization_pkg"),
               std::runtime_error);
}

TEST_F(Standin, SigintEndsSpinAndTheContext)
{
  init();
  auto node = std::make_shared<rclcpp::Node>("spinner");
  std::thread interrupter([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::raise(SIGINT);
  });
  testing::internal::CaptureStderr();
  rclcpp::spin(node);  // returns instead of killing the process
  const std::string log = testing::internal::GetCapturedStderr();
  interrupter.join();
  EXPECT_FALSE(rclcpp::ok());
  EXPECT_NE(log.find("[INFO] ["), std::string::npos);
  EXPECT_NE(log.find("] [rclcpp]: signal_handler(signum=2)"), std::string::npos);
  EXPECT_FALSE(rclcpp::shutdown());  // already shut down by the signal
}

TEST_F(Standin, LogLinesFollowTheConsoleFormat)
{
  init();
  auto node = std::make_shared<rclcpp::Node>("localisation_node");
  testing::internal::CaptureStderr();
  RCLCPP_INFO(node->get_logger(), "Config used for UKF: %s", "/x.json");
  RCLCPP_DEBUG(node->get_logger(), "hidden at the default level");
  const std::string line = testing::internal::GetCapturedStderr();
  ASSERT_EQ(line.rfind("[INFO] [", 0), 0u) << line;
  const auto close = line.find(']', 8);
  const std::string time = line.substr(8, close - 8);
  EXPECT_EQ(time.size(), 20u) << time;  // ten digits, a dot, nine digits
  EXPECT_EQ(time[10], '.');
  EXPECT_EQ(line.substr(close), "] [localisation_node]: Config used for UKF: /x.json\n");
}
