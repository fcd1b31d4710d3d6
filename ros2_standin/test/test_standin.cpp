// The stand-in must behave as ROS 2 Humble does for everything the node and its tests use.
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <limits>
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
#include "tf2/exceptions.h"
#include "tf2_ros/buffer.h"
#include "tf2_ros/qos.hpp"
#include "tf2_ros/static_transform_broadcaster.h"
#include "tf2_ros/transform_broadcaster.h"
#include "tf2_ros/transform_listener.h"

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

TEST_F(Standin, DescriptorsMakeParametersReadOnlyRangedOrDynamicallyTyped)
{
  init();
  rclcpp::NodeOptions options;
  options.append_parameter_override("far", 100.0);
  options.append_parameter_override("whole", 3);
  auto node = std::make_shared<rclcpp::Node>("n", options);
  rcl_interfaces::msg::ParameterDescriptor ranged;
  ranged.description = "seconds";
  rcl_interfaces::msg::FloatingPointRange range;
  range.from_value = 0.0;
  range.to_value = 10.0;
  ranged.floating_point_range.push_back(range);
  try {
    node->declare_parameter("far", 1.0, ranged);
    ADD_FAILURE() << "expected InvalidParameterValueException";
  } catch (const rclcpp::exceptions::InvalidParameterValueException& e) {
    EXPECT_STREQ(e.what(), "parameter 'far' could not be set: Parameter {far} doesn't comply with "
                           "floating point range.");
  }
  // A dynamically typed parameter takes a whole number for a decimal one, and no range holds it.
  auto dynamic = ranged;
  dynamic.dynamic_typing = true;
  EXPECT_EQ(node->declare_parameter("whole", rclcpp::ParameterValue(1.0), dynamic).get_type(),
            rclcpp::PARAMETER_INTEGER);

  node->declare_parameter("free", 2.0, ranged);
  EXPECT_TRUE(node->set_parameter(rclcpp::Parameter("free", 10.0)).successful);
  EXPECT_EQ(node->set_parameter(rclcpp::Parameter("free", 30.0)).reason,
            "Parameter {free} doesn't comply with floating point range.");
  EXPECT_EQ(node->set_parameter(rclcpp::Parameter("free", "x")).reason,
            "Wrong parameter type, parameter {free} is of type {double}, setting it to {string} "
            "is not allowed.");
  EXPECT_EQ(node->get_parameter("free").as_double(), 10.0);

  auto fixed = ranged;
  fixed.read_only = true;
  node->declare_parameter("fixed", 2.0, fixed);
  const auto refused = node->set_parameter(rclcpp::Parameter("fixed", 3.0));
  EXPECT_FALSE(refused.successful);
  EXPECT_EQ(refused.reason, "parameter 'fixed' cannot be set because it is read-only");
  EXPECT_EQ(node->get_parameter("fixed").as_double(), 2.0);
  const auto described = node->describe_parameter("fixed");
  EXPECT_EQ(described.name, "fixed");
  EXPECT_EQ(described.type, rclcpp::PARAMETER_DOUBLE);
  EXPECT_TRUE(described.read_only);
  EXPECT_EQ(described.description, "seconds");
  ASSERT_EQ(described.floating_point_range.size(), 1u);
  EXPECT_EQ(described.floating_point_range[0].to_value, 10.0);
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

namespace
{

geometry_msgs::msg::TransformStamped transform(const char* parent, const char* child, double x,
                                               double y, double z, double qx, double qy,
                                               double qz, double qw)
{
  geometry_msgs::msg::TransformStamped t;
  t.header.frame_id = parent;
  t.child_frame_id = child;
  t.transform.translation.x = x;
  t.transform.translation.y = y;
  t.transform.translation.z = z;
  t.transform.rotation.x = qx;
  t.transform.rotation.y = qy;
  t.transform.rotation.z = qz;
  t.transform.rotation.w = qw;
  return t;
}

// Spins `node` until `done()` or two seconds have passed.
template <typename Done>
bool spin_until(const rclcpp::Node::SharedPtr& node, Done done)
{
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    rclcpp::spin_some(node);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

}  // namespace

TEST_F(Standin, BufferComposesTheTreeAndRefusesWhatTf2Refuses)
{
  init();
  auto node = std::make_shared<rclcpp::Node>("tree");
  tf2_ros::Buffer buffer(node->get_clock());
  const double h = std::sqrt(0.5);
  // base_link -> imu_link: 1 m ahead, turned +90 degrees about z; imu_link -> cam: 2 m along
  // the IMU's x (the base's y).
  EXPECT_TRUE(buffer.setTransform(transform("base_link", "imu_link", 1, 0, 0, 0, 0, h, h), "t",
                                  true));
  EXPECT_TRUE(buffer.setTransform(transform("imu_link", "cam", 2, 0, 0, 0, 0, 0, 1), "t", true));
  const auto t = buffer.lookupTransform("base_link", "cam", tf2::TimePointZero);
  EXPECT_EQ(t.header.frame_id, "base_link");
  EXPECT_EQ(t.child_frame_id, "cam");
  EXPECT_NEAR(t.transform.translation.x, 1.0, 1e-12);
  EXPECT_NEAR(t.transform.translation.y, 2.0, 1e-12);
  EXPECT_NEAR(t.transform.rotation.z, h, 1e-12);
  const auto back = buffer.lookupTransform("cam", "base_link", tf2::TimePointZero);
  EXPECT_NEAR(back.transform.translation.x, -2.0, 1e-12);  // the base is 2 m behind the camera
  EXPECT_NEAR(back.transform.translation.y, 1.0, 1e-12);
  EXPECT_NEAR(back.transform.rotation.z, -h, 1e-12);
  const auto self = buffer.lookupTransform("nowhere", "nowhere", tf2::TimePointZero);
  EXPECT_EQ(self.transform.rotation.w, 1.0);

  try {
    buffer.lookupTransform("base_link", "lidar", tf2::TimePointZero);
    ADD_FAILURE() << "an unknown frame was looked up";
  } catch (const tf2::LookupException& e) {
    EXPECT_EQ(std::string(e.what()),
              "\"lidar\" passed to lookupTransform argument source_frame does not exist. ");
  }
  EXPECT_TRUE(buffer.setTransform(transform("odom", "other", 0, 0, 0, 0, 0, 0, 1), "t"));
  EXPECT_THROW(buffer.lookupTransform("base_link", "other", tf2::TimePointZero),
               tf2::ConnectivityException);
  EXPECT_THROW(buffer.lookupTransform("", "cam", tf2::TimePointZero),
               tf2::InvalidArgumentException);
  std::string why;
  EXPECT_FALSE(buffer.canTransform("base_link", "lidar", tf2::TimePointZero, &why));
  EXPECT_NE(why.find("lidar"), std::string::npos);
  EXPECT_TRUE(buffer.canTransform("cam", "base_link", tf2::TimePointZero));

  // Refused: a NaN, a quaternion of zero length or an infinite one, a frame that is its own
  // parent. Any other quaternion is stored normalised.
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(buffer.setTransform(transform("base_link", "bad", nan, 0, 0, 0, 0, 0, 1), "t"));
  EXPECT_FALSE(buffer.setTransform(transform("base_link", "bad", 0, 0, 0, 0, 0, 0, 0), "t"));
  EXPECT_FALSE(buffer.setTransform(transform("base_link", "bad", 0, 0, 0, 0, 0, 0, inf), "t"));
  EXPECT_FALSE(buffer.setTransform(transform("bad", "bad", 0, 0, 0, 0, 0, 0, 1), "t"));
  EXPECT_FALSE(buffer.canTransform("base_link", "bad", tf2::TimePointZero, &why));
  EXPECT_EQ(why, "Invalid frame ID \"bad\" passed to canTransform argument source_frame - frame "
                 "does not exist");
  EXPECT_TRUE(buffer.setTransform(transform("base_link", "long", 0, 0, 0, 0, 0, 0, 2), "t"));
  EXPECT_NEAR(buffer.lookupTransform("base_link", "long", tf2::TimePointZero).transform.rotation.w,
              1.0, 1e-12);
  EXPECT_TRUE(buffer.setTransform(transform("base_link", "far", inf, 0, 0, 0, 0, 0, 1), "t"));
}

TEST_F(Standin, StaticTransformsReachAListenerThatStartsLater)
{
  init();
  auto sender = std::make_shared<rclcpp::Node>("static_sender");
  tf2_ros::StaticTransformBroadcaster broadcaster(sender);
  broadcaster.sendTransform(transform("base_link", "imu_link", 0, -0.3, 0.52, 0, 0, 0, 1));
  broadcaster.sendTransform(transform("base_link", "wheel", 0.5, 0, 0, 0, 0, 0, 1));
  // Resent with the same child: replaces the first.
  broadcaster.sendTransform(transform("base_link", "imu_link", 0, -0.3, 0.6, 0, 0, 0, 1));

  auto listener_node = std::make_shared<rclcpp::Node>("late_listener");
  tf2_ros::Buffer buffer(listener_node->get_clock());
  tf2_ros::TransformListener listener(buffer, listener_node, false);
  ASSERT_TRUE(spin_until(listener_node, [&] {
    return buffer.canTransform("base_link", "imu_link", tf2::TimePointZero) &&
           buffer.canTransform("base_link", "wheel", tf2::TimePointZero);
  }));
  EXPECT_DOUBLE_EQ(
    buffer.lookupTransform("base_link", "imu_link", tf2::TimePointZero).transform.translation.z,
    0.6);

  // Dynamic transforms on "/tf" reach it too, but no later volatile subscriber hears old ones.
  tf2_ros::TransformBroadcaster dynamic(sender);
  EXPECT_EQ(settled([&] { return listener_node->count_publishers("/tf"); }, 1u), 1u);
  dynamic.sendTransform(transform("odom", "base_link", 3, 0, 0, 0, 0, 0, 1));
  ASSERT_TRUE(spin_until(listener_node, [&] {
    return buffer.canTransform("odom", "imu_link", tf2::TimePointZero);
  }));
  EXPECT_DOUBLE_EQ(
    buffer.lookupTransform("odom", "imu_link", tf2::TimePointZero).transform.translation.x, 3.0);
  EXPECT_EQ(tf2_ros::StaticListenerQoS().durability(), rclcpp::DurabilityPolicy::TransientLocal);
  EXPECT_EQ(tf2_ros::StaticBroadcasterQoS().depth(), 1u);
  EXPECT_EQ(tf2_ros::DynamicListenerQoS().durability(), rclcpp::DurabilityPolicy::Volatile);
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
