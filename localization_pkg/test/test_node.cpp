// Integration tests of the localisation node through its topics and parameters only, as a ROS 2
// user's test would run them: the same file builds against ROS 2 Humble and the stand-in.
#include <chrono>
#include <cmath>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "drive_replay.hpp"
#include "node_test_support.hpp"
#include "geometry_msgs/msg/twist_stamped.hpp"
#include "nav_msgs/msg/odometry.hpp"
#include "rclcpp/rclcpp.hpp"
#include "zendrafell_localisation/zendrafell_localisation.hpp"

using nlohmann::json;
using Odometry = nav_msgs::msg::Odometry;
using TwistStamped = geometry_msgs::msg::TwistStamped;

namespace
{

class RosEnvironment : public ::testing::Environment
{
public:
  void SetUp() override { rclcpp::init(0, nullptr); }
  void TearDown() override { rclcpp::shutdown(); }
};

::testing::Environment* const kRos = ::testing::AddGlobalTestEnvironment(new RosEnvironment);

class NodeTest : public ::testing::Test
{
protected:
  void start(const std::string& config_path = LOCALISATION_DEFAULT_CONFIG, double jump = 60.0)
  {
    rclcpp::NodeOptions options;
    options.append_parameter_override("ukf_config", config_path);
    options.append_parameter_override("max_time_jump", jump);
    node = std::make_shared<ZendrafellLocalisationNode>(options);
    driver = std::make_shared<rclcpp::Node>("test_driver");
    publisher = driver->create_publisher<TwistStamped>("encoder_vel", 10);
    subscription = driver->create_subscription<Odometry>(
      "odometry/filtered", 100, [this](const Odometry& m) { received.push_back(m); });
  }

  void send(const TwistStamped& m)
  {
    publisher->publish(m);
    rclcpp::spin_some(node);
    rclcpp::spin_some(driver);
  }

  std::shared_ptr<ZendrafellLocalisationNode> node;
  std::shared_ptr<rclcpp::Node> driver;
  rclcpp::Publisher<TwistStamped>::SharedPtr publisher;
  rclcpp::Subscription<Odometry>::SharedPtr subscription;
  std::vector<Odometry> received;
};

}  // namespace

TEST_F(NodeTest, WiresOneSubscriptionAndOnePublisher)
{
  start();
  EXPECT_EQ(settled([&] { return driver->count_publishers("odometry/filtered"); }, 1u), 1u);
  EXPECT_EQ(settled([&] { return driver->count_subscribers("encoder_vel"); }, 1u), 1u);
  EXPECT_STREQ(node->get_name(), "localisation_node");
}

TEST_F(NodeTest, FirstMessageIsPublishedWithItsStamp)
{
  testing::internal::CaptureStderr();
  start();
  send(twist(1700000000, 123456789, 0.0, 0.0));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Config used for UKF: " LOCALISATION_DEFAULT_CONFIG), std::string::npos);
  EXPECT_NE(log.find("Received encoder data, counter: 0"), std::string::npos);
  EXPECT_NE(log.find("Published state!"), std::string::npos);
  ASSERT_EQ(received.size(), 1u);
  const Odometry& o = received[0];
  EXPECT_EQ(o.header.stamp.sec, 1700000000);
  EXPECT_EQ(o.header.stamp.nanosec, 123456789u);
  EXPECT_EQ(o.header.frame_id, "odom");
  EXPECT_EQ(o.child_frame_id, "odom_base_link");
  for (double c : o.pose.covariance) {
    EXPECT_EQ(c, 0.0);
  }
  for (double c : o.twist.covariance) {
    EXPECT_EQ(c, 0.0);
  }
  // The first update happens at filter time 0: nothing has moved.
  EXPECT_EQ(o.pose.pose.position.x, 0.0);
  EXPECT_EQ(o.pose.pose.orientation.w, 1.0);
}

TEST_F(NodeTest, OnlyForwardSpeedAndYawRateReachTheFilter)
{
  start();
  for (int k = 0; k < 300; ++k) {
    TwistStamped m = twist(100 + k / 50, static_cast<uint32_t>((k % 50) * 20000000), 0.5, -0.1);
    m.twist.linear.y = 7.0;
    m.twist.linear.z = -3.0;
    m.twist.angular.x = 2.0;
    m.twist.angular.y = 1.0;
    send(m);
  }
  ASSERT_EQ(received.size(), 300u);
  const Odometry& o = received.back();
  EXPECT_NEAR(o.twist.twist.linear.x, 0.5, 0.02);
  EXPECT_NEAR(o.twist.twist.angular.z, -0.1, 0.01);
  EXPECT_NEAR(o.twist.twist.linear.y, 0.0, 1e-3);
  EXPECT_NEAR(o.twist.twist.angular.x, 0.0, 1e-3);
  // Six seconds at 0.5 m/s turning at -0.1 rad/s: about three metres along a gentle right arc.
  EXPECT_NEAR(std::hypot(o.pose.pose.position.x, o.pose.pose.position.y), 3.0, 0.2);
  EXPECT_LT(o.pose.pose.position.y, 0.0);
}

TEST_F(NodeTest, OrientationIsComposedZThenYThenX)
{
  json cfg = default_config();
  cfg["initial_state"]["fields"][1]["initial_values"] = {0.0, 0.0, M_PI / 2};
  start(write_config(cfg, "quarter_turn"));
  send(twist(10, 0, 0.0, 0.0));
  ASSERT_EQ(received.size(), 1u);
  const auto& q = received[0].pose.pose.orientation;
  EXPECT_NEAR(q.x, 0.0, 1e-9);
  EXPECT_NEAR(q.y, 0.0, 1e-9);
  EXPECT_NEAR(q.z, std::sqrt(0.5), 1e-9);
  EXPECT_NEAR(q.w, std::sqrt(0.5), 1e-9);

  cfg["initial_state"]["fields"][1]["initial_values"] = {M_PI / 2, 0.0, M_PI / 2};
  received.clear();
  node.reset();
  start(write_config(cfg, "roll_yaw"));
  send(twist(10, 0, 0.0, 0.0));
  ASSERT_EQ(received.size(), 1u);
  const auto& r = received[0].pose.pose.orientation;
  EXPECT_NEAR(r.x, 0.5, 1e-9);
  EXPECT_NEAR(r.y, 0.5, 1e-9);
  EXPECT_NEAR(r.z, 0.5, 1e-9);
  EXPECT_NEAR(r.w, 0.5, 1e-9);
}

TEST_F(NodeTest, EqualStampsGiveTwoOutputs)
{
  start();
  send(twist(50, 0, 0.3, 0.0));
  send(twist(50, 0, 0.3, 0.0));
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].header.stamp, received[1].header.stamp);
}

TEST_F(NodeTest, UnusableMessagesAreDroppedAndTheNodeCarriesOn)
{
  start();
  send(twist(20, 0, 1.0, 0.0));
  send(twist(20, 20000000, std::nan(""), 0.0));
  send(twist(20, 40000000, 1.0, INFINITY));
  send(twist(19, 0, 1.0, 0.0));  // earlier than the previous update
  EXPECT_EQ(received.size(), 1u);
  EXPECT_EQ(node->dropped_messages(), 3u);
  send(twist(20, 60000000, 1.0, 0.0));
  ASSERT_EQ(received.size(), 2u);
  EXPECT_TRUE(std::isfinite(received.back().pose.pose.position.x));
  EXPECT_GT(received.back().pose.pose.position.x, 0.0);
}

TEST_F(NodeTest, AFarJumpRestartsTheFilterQuickly)
{
  start();
  send(twist(30, 0, 1.0, 0.0));
  send(twist(31, 0, 1.0, 0.0));
  const auto begin = std::chrono::steady_clock::now();
  send(twist(1000000031, 0, 1.0, 0.0));
  const double seconds =
    std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_LT(seconds, 0.5);
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(node->filter_restarts(), 1u);
  EXPECT_EQ(received.back().pose.pose.position.x, 0.0);  // a fresh start
  send(twist(31, 0, 1.0, 0.0));  // and back again, as a looping recording does
  EXPECT_EQ(node->filter_restarts(), 2u);
  EXPECT_EQ(received.size(), 4u);
}

TEST_F(NodeTest, StartUpFailsClearlyAndWiresNothing)
{
  try {
    start("/nonexistent/ukf.json");
    ADD_FAILURE() << "expected the missing file to stop start-up";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Could not open filter config file: /nonexistent/ukf.json");
  }
  auto probe = std::make_shared<rclcpp::Node>("probe");
  EXPECT_EQ(settled([&] { return probe->count_publishers("odometry/filtered"); }, 0u), 0u);
  EXPECT_EQ(settled([&] { return probe->count_subscribers("encoder_vel"); }, 0u), 0u);

  json cfg = default_config();
  cfg["measurement"]["sensors"][0]["name"] = "wheels";
  try {
    start(write_config(cfg, "no_encoders"));
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("a sensor named \"encoders\" of size 2"),
              std::string::npos)
      << e.what();
  }

  json planar = {
    {"initial_state",
     {{"fields",
       {{{"type", "GENERIC_FIELD"},
         {"name", "Position2D"},
         {"size", 2},
         {"initial_values", {0, 0}}},
        {{"type", "GENERIC_FIELD"},
         {"name", "Velocity2D"},
         {"size", 2},
         {"initial_values", {0, 0}}}}}}},
    {"initial_covariance", {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}},
    {"model", {{"type", "POINT_MASS_2D"}, {"name", "planar"}, {"integrator_step", 0.01}}},
    {"measurement",
     {{"sensors",
       {{{"type", "ENCODERS"},
         {"name", "encoders"},
         {"size", 2},
         {"noise", {{1, 0}, {0, 1}}},
         {"state_vel_field", "Velocity2D"},
         {"state_ang_vel_field", "Velocity2D"}}}}}},
    {"filter", {{"alpha", 1}, {"beta", 2}, {"kappa", 0}}}};
  try {
    start(write_config(planar, "planar"));
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    // The filter itself refuses a sensor that cannot read its state fields, before the node's
    // own check of the fields it publishes.
    EXPECT_NE(std::string(e.what()).find("sensor \"encoders\" cannot predict its reading from the "
                                         "state"),
              std::string::npos)
      << e.what();
  }
}

TEST_F(NodeTest, UnknownConfigKeysWarnAndStrictConfigRefusesThem)
{
  json cfg = default_config();
  cfg["model"]["proces_noise"] = cfg["model"]["process_noise"];
  cfg["model"].erase("process_noise");
  const std::string path = write_config(cfg, "typo");
  const std::string warning = path + ": unknown key \"proces_noise\" in model \"zendrafell\": "
                                     "did you mean \"process_noise\"?";

  testing::internal::CaptureStderr();
  start(path);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("[WARN] ["), std::string::npos) << log;
  EXPECT_NE(log.find("[localisation_node]: " + warning), std::string::npos) << log;

  rclcpp::NodeOptions options;
  options.append_parameter_override("ukf_config", path);
  options.append_parameter_override("strict_config", true);
  try {
    ZendrafellLocalisationNode strict(options);
    ADD_FAILURE() << "expected strict_config to refuse the unknown key";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "Invalid config: " + warning + "; strict_config refuses unknown keys");
  }
  // A clean configuration passes in strict mode, and the parameter reads back.
  options = rclcpp::NodeOptions();
  options.append_parameter_override("strict_config", true);
  ZendrafellLocalisationNode clean(options);
  EXPECT_TRUE(clean.get_parameter("strict_config").as_bool());
}

TEST(DefaultConfig, SourceTreeFirstThenTheInstalledCopy)
{
  const std::string share = "/opt/zf/share/localization_pkg";
  EXPECT_EQ(default_config_path(LOCALISATION_DEFAULT_CONFIG, share), LOCALISATION_DEFAULT_CONFIG);
  // The source tree was moved or deleted after install, or the package came from a binary build.
  EXPECT_EQ(default_config_path("/nonexistent/src/localization_pkg/config/localisation_config.json",
                                share),
            share + "/config/localisation_config.json");
}

TEST_F(NodeTest, WrongParameterTypeStopsStartUp)
{
  rclcpp::NodeOptions options;
  options.append_parameter_override("ukf_config", 123);
  EXPECT_THROW(ZendrafellLocalisationNode{options},
               rclcpp::exceptions::InvalidParameterTypeException);
}

TEST_F(NodeTest, UnboundHandlersOnlyCountAndLog)
{
  start();
  EXPECT_EQ(settled([&] { return driver->count_subscribers("imu"); }, 0u), 0u);
  testing::internal::CaptureStderr();
  node->imu_callback(std::make_shared<sensor_msgs::msg::Imu>());
  node->imu_callback(std::make_shared<sensor_msgs::msg::Imu>());
  node->vo_callback(std::make_shared<nav_msgs::msg::Odometry>());
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Received IMU data, counter: 0"), std::string::npos);
  EXPECT_NE(log.find("Received IMU data, counter: 1"), std::string::npos);
  EXPECT_NE(log.find("Received visual odometry data, counter: 0"), std::string::npos);
  EXPECT_TRUE(received.empty());
}

TEST_F(NodeTest, ExtremeValuesAndStampsNeverPublishANonFiniteValue)
{
  start();
  const int32_t lo = std::numeric_limits<int32_t>::min();
  const int32_t hi = std::numeric_limits<int32_t>::max();
  const std::vector<TwistStamped> messages = {
    twist(hi, 4294967295u, 1e300, -1e300),  // nanosec far beyond a second
    twist(lo, 0, 5e-324, -5e-324),          // the other end of time, denormal twist
    twist(lo, 20000000, 1.7e308, 1.7e308),
    twist(lo, 40000000, -1.7e308, 0.0),
    twist(lo, 60000000, 1.0, 0.0),
    twist(0, 0, 1.0, 0.5),
    twist(0, 20000000, 1.0, 0.5),
  };
  for (const TwistStamped& m : messages) {
    const auto begin = std::chrono::steady_clock::now();
    send(m);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(), 0.5)
      << "stamp " << m.header.stamp.sec << " s " << m.header.stamp.nanosec << " ns";
  }
  EXPECT_EQ(received.size() + node->dropped_messages(), messages.size());
  for (const Odometry& o : received) {
    EXPECT_TRUE(localisation_replay::all_finite(o)) << "stamp " << o.header.stamp.sec << " s";
  }
  // However hostile what came before, ordinary driving is tracked again.
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received.back().header.stamp.nanosec, 20000000u);
  EXPECT_GT(received.back().pose.pose.position.x, 0.0);
}
