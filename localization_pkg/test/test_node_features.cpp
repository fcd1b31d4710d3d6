// The node's opt-in features through its topics and parameters: frames, covariance, transform,
// IMU and visual-odometry fusion, late messages and fusion_delay. Same file for ROS 2 Humble and
// the stand-in.
#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "drive_replay.hpp"
#include "nav_msgs/msg/odometry.hpp"
#include "node_test_support.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/imu.hpp"
#include "diagnostic_msgs/msg/diagnostic_array.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "ukf/Step.hpp"
#include "zendrafell_localisation/zendrafell_localisation.hpp"

using Imu = sensor_msgs::msg::Imu;
using Odometry = nav_msgs::msg::Odometry;
using TFMessage = tf2_msgs::msg::TFMessage;
using Input = ZendrafellLocalisationNode::Input;

namespace
{

constexpr double kPi = 3.141592653589793;

json fusion_config()
{
  std::ifstream in(LOCALISATION_FUSION_CONFIG);
  return json::parse(in);
}

Imu imu(int32_t sec, uint32_t nanosec, const Eigen::Vector3d& force, const Eigen::Vector3d& rate)
{
  Imu m;
  m.header.stamp.sec = sec;
  m.header.stamp.nanosec = nanosec;
  m.linear_acceleration.x = force.x();
  m.linear_acceleration.y = force.y();
  m.linear_acceleration.z = force.z();
  m.angular_velocity.x = rate.x();
  m.angular_velocity.y = rate.y();
  m.angular_velocity.z = rate.z();
  return m;
}

Odometry vo(int32_t sec, uint32_t nanosec, const Eigen::Vector3d& p, const Eigen::Quaterniond& q)
{
  Odometry m;
  m.header.stamp.sec = sec;
  m.header.stamp.nanosec = nanosec;
  m.pose.pose.position.x = p.x();
  m.pose.pose.position.y = p.y();
  m.pose.pose.position.z = p.z();
  m.pose.pose.orientation.x = q.x();
  m.pose.pose.orientation.y = q.y();
  m.pose.pose.orientation.z = q.z();
  m.pose.pose.orientation.w = q.w();
  return m;
}

Eigen::Quaterniond from_euler(double roll, double pitch, double yaw)
{
  return Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ()) *
         Eigen::AngleAxisd(pitch, Eigen::Vector3d::UnitY()) *
         Eigen::AngleAxisd(roll, Eigen::Vector3d::UnitX());
}

class FeatureTest : public NodeHarness
{
protected:
  using Options = std::function<void(rclcpp::NodeOptions&)>;

  void start(const Options& set = {}, const std::string& config = LOCALISATION_FUSION_CONFIG)
  {
    rclcpp::NodeOptions options;
    options.append_parameter_override("ukf_config", config);
    if (set) {
      set(options);
    }
    node = std::make_shared<ZendrafellLocalisationNode>(options);
    driver = std::make_shared<rclcpp::Node>("feature_driver");
    encoders = driver->create_publisher<TwistStamped>("encoder_vel", 10);
    imus = driver->create_publisher<Imu>("imu", 10);
    vos = driver->create_publisher<Odometry>("vo", 10);
    odometry = driver->create_subscription<Odometry>(
      "odometry/filtered", 100, [this](const Odometry& m) { received.push_back(m); });
    tf = driver->create_subscription<TFMessage>(
      "/tf", 100, [this](const TFMessage& m) { transforms.push_back(m); });
  }

  rclcpp::Publisher<TwistStamped>::SharedPtr encoders;
  rclcpp::Publisher<Imu>::SharedPtr imus;
  rclcpp::Publisher<Odometry>::SharedPtr vos;
  rclcpp::Subscription<Odometry>::SharedPtr odometry;
  rclcpp::Subscription<TFMessage>::SharedPtr tf;
  std::vector<TFMessage> transforms;
};

}  // namespace

TEST_F(FeatureTest, DefaultsKeepTheEncoderOnlyNode)
{
  start({}, LOCALISATION_DEFAULT_CONFIG);
  EXPECT_EQ(node->get_parameter("odom_frame").as_string(), "odom");
  EXPECT_EQ(node->get_parameter("base_link_frame").as_string(), "odom_base_link");
  EXPECT_FALSE(node->get_parameter("publish_covariance").as_bool());
  EXPECT_FALSE(node->get_parameter("publish_tf").as_bool());
  EXPECT_EQ(node->get_parameter("imu_topic").as_string(), "");
  EXPECT_EQ(node->get_parameter("vo_topic").as_string(), "");
  EXPECT_EQ(node->get_parameter("fusion_delay").as_double(), 0.0);
  EXPECT_EQ(settled([&] { return driver->count_publishers("/tf"); }, 0u), 0u);
  EXPECT_EQ(settled([&] { return driver->count_subscribers("imu"); }, 0u), 0u);
  EXPECT_EQ(settled([&] { return driver->count_subscribers("vo"); }, 0u), 0u);
  send(encoders, twist(5, 0, 1.0, 0.1));
  send(encoders, twist(5, 20000000, 1.0, 0.1));
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[1].header.frame_id, "odom");
  EXPECT_EQ(received[1].child_frame_id, "odom_base_link");
  for (double v : received[1].pose.covariance) {
    EXPECT_EQ(v, 0.0);
  }
  for (double v : received[1].twist.covariance) {
    EXPECT_EQ(v, 0.0);
  }
  EXPECT_TRUE(transforms.empty());
}

TEST_F(FeatureTest, FramesCovarianceAndTransformWhenSwitchedOn)
{
  start([](rclcpp::NodeOptions& o) {
    o.append_parameter_override("odom_frame", "map_odom");
    o.append_parameter_override("base_link_frame", "base_link");
    o.append_parameter_override("publish_covariance", true);
    o.append_parameter_override("publish_tf", true);
    o.append_parameter_override("imu_topic", "imu");
    o.append_parameter_override("vo_topic", "vo");
  });
  EXPECT_EQ(settled([&] { return driver->count_publishers("/tf"); }, 1u), 1u);
  send(encoders, twist(7, 0, 1.0, 0.2));
  send(imus, imu(7, 10000000, {0.1, 0.2, 9.80665}, {0.0, 0.0, 0.2}));
  send(vos, vo(7, 20000000, {0.02, 0.001, 0.0}, from_euler(0.0, 0.0, 0.004)));
  ASSERT_EQ(received.size(), 3u);
  ASSERT_EQ(transforms.size(), 3u);

  const Odometry& o = received.back();
  EXPECT_EQ(o.header.frame_id, "map_odom");
  EXPECT_EQ(o.child_frame_id, "base_link");
  // The arrays are the filter's covariance, entry by entry, in ROS's layout.
  const ukf::MatrixX p = node->get_filter().get_covar();
  const ukf::State state = node->get_filter().get_state();
  const auto at = [&](const char* field, int k) {
    return static_cast<Eigen::Index>(state.field(field).get_index()) + k;
  };
  const char* pose[2] = {"Position3D", "Orientation3D"};
  const char* twist_fields[2] = {"Velocity3D", "AngularVelocity3D"};
  bool cross_term = false;
  for (int r = 0; r < 6; ++r) {
    for (int c = 0; c < 6; ++c) {
      EXPECT_EQ(o.pose.covariance[6 * r + c], p(at(pose[r / 3], r % 3), at(pose[c / 3], c % 3)))
        << r << "," << c;
      EXPECT_EQ(o.twist.covariance[6 * r + c],
                p(at(twist_fields[r / 3], r % 3), at(twist_fields[c / 3], c % 3)))
        << r << "," << c;
      cross_term = cross_term || (r / 3 != c / 3 && o.pose.covariance[6 * r + c] != 0.0);
    }
  }
  EXPECT_TRUE(cross_term);  // position and heading are correlated after a turn
  EXPECT_GT(o.pose.covariance[0], 0.0);

  // The transform carries the same pose and stamp.
  for (std::size_t i = 0; i < received.size(); ++i) {
    ASSERT_EQ(transforms[i].transforms.size(), 1u);
    const auto& t = transforms[i].transforms[0];
    EXPECT_EQ(t.header.stamp, received[i].header.stamp);
    EXPECT_EQ(t.header.frame_id, "map_odom");
    EXPECT_EQ(t.child_frame_id, "base_link");
    EXPECT_EQ(t.transform.translation.x, received[i].pose.pose.position.x);
    EXPECT_EQ(t.transform.translation.y, received[i].pose.pose.position.y);
    EXPECT_EQ(t.transform.translation.z, received[i].pose.pose.position.z);
    EXPECT_EQ(t.transform.rotation, received[i].pose.pose.orientation);
  }
}

TEST_F(FeatureTest, GravityIsRemovedThroughTheOrientationEstimate)
{
  // A vehicle at rest, tilted, with the tilt held by the configuration: the IMU reads gravity's
  // reaction in its own frame, and nothing of it may reach the acceleration.
  json config = fusion_config();
  const double roll = 0.3, pitch = -0.2, yaw = 2.0;
  config["initial_state"]["fields"][1]["initial_values"] = {roll, pitch, yaw};
  const std::string path = write_config(config, "tilted");
  start([](rclcpp::NodeOptions& o) { o.append_parameter_override("imu_topic", "imu"); }, path);
  const Eigen::Vector3d force =
    from_euler(roll, pitch, yaw).conjugate() * Eigen::Vector3d(0.0, 0.0, 9.80665);
  EXPECT_GT(std::abs(force.x()), 1.0);
  send(imus, imu(3, 0, force, Eigen::Vector3d::Zero()));
  ASSERT_EQ(received.size(), 1u);
  const ukf::VectorX z = measured("imu");
  for (int k = 0; k < 6; ++k) {
    EXPECT_NEAR(z(k), 0.0, 1e-14) << k;
  }
  // Level: +9.80665 on z is gravity alone; 1 m/s^2 more is an upward acceleration.
  config["initial_state"]["fields"][1]["initial_values"] = {0.0, 0.0, 0.0};
  start([](rclcpp::NodeOptions& o) { o.append_parameter_override("imu_topic", "imu"); },
        write_config(config, "level"));
  send(imus, imu(3, 0, {0.5, 0.0, 10.80665}, {0.0, 0.0, 0.1}));
  const ukf::VectorX level = measured("imu");
  EXPECT_DOUBLE_EQ(level(0), 0.5);
  EXPECT_NEAR(level(2), 1.0, 1e-14);
  EXPECT_EQ(level(5), 0.1);
}

TEST(EulerFromQuaternion, InvertsThePublishedRotationUpToGimbalLock)
{
  const double eps = 1e-9;
  const std::vector<double> pitches = {0.0, 0.7, -1.2, kPi / 2 - 1e-3, -kPi / 2 + 1e-3,
                                       kPi / 2 - 1e-7, -kPi / 2 + 1e-7, kPi / 2, -kPi / 2};
  for (double pitch : pitches) {
    for (double roll : {0.0, 0.4, -2.9, 3.1}) {
      for (double yaw : {0.0, 1.3, -3.0, 3.1}) {
        const Eigen::Quaterniond q = from_euler(roll, pitch, yaw);
        const Eigen::Vector3d e = euler_from_quaternion(q);
        // The rotation always comes back; the angles too where they are unique.
        const Eigen::Quaterniond back = from_euler(e(0), e(1), e(2));
        EXPECT_LT(back.angularDistance(q), 1e-9)
          << "roll " << roll << " pitch " << pitch << " yaw " << yaw;
        EXPECT_NEAR(e(1), pitch, 1e-8);
        if (std::abs(pitch) < kPi / 2 - 1e-4) {
          EXPECT_NEAR(e(0), roll, eps);
          EXPECT_NEAR(e(2), yaw, eps);
        }
        EXPECT_GE(e(0), -kPi);
        EXPECT_LT(e(0), kPi);
      }
    }
  }
  // Not normalised, or with the opposite sign: the same rotation.
  const Eigen::Vector3d e = euler_from_quaternion(Eigen::Quaterniond(-2.0, 0.0, 0.0, -2.0));
  EXPECT_NEAR(e(2), kPi / 2, eps);
}

TEST_F(FeatureTest, VisualOdometryPoseReachesTheFilterAsRollPitchYaw)
{
  start([](rclcpp::NodeOptions& o) { o.append_parameter_override("vo_topic", "/vo"); });
  send(vos, vo(4, 0, {1.0, -2.0, 0.5}, from_euler(0.1, kPi / 2 - 1e-6, -2.5)));
  ASSERT_EQ(received.size(), 1u);
  const ukf::VectorX z = measured("vo");
  EXPECT_EQ(z(0), 1.0);
  EXPECT_EQ(z(1), -2.0);
  EXPECT_EQ(z(2), 0.5);
  EXPECT_LT(from_euler(z(3), z(4), z(5)).angularDistance(from_euler(0.1, kPi / 2 - 1e-6, -2.5)),
            1e-9);
}

TEST_F(FeatureTest, MessageCovariancesTakeOverFromTheConfiguredNoise)
{
  start([](rclcpp::NodeOptions& o) {
    o.append_parameter_override("imu_topic", "imu");
    o.append_parameter_override("vo_topic", "vo");
  });
  const ukf::MatrixX configured_imu =
    node->get_filter().get_empty_measurement().get_sensor("imu").get_noise();
  const ukf::MatrixX configured_vo =
    node->get_filter().get_empty_measurement().get_sensor("vo").get_noise();

  // All zeros: unknown, so the configured noise.
  send(imus, imu(1, 0, {0.0, 0.0, 9.80665}, {0.0, 0.0, 0.0}));
  EXPECT_EQ(noise("imu"), configured_imu);

  // A block that is given replaces its block; the other stays configured.
  Imu given = imu(1, 10000000, {0.0, 0.0, 9.80665}, {0.0, 0.0, 0.0});
  given.angular_velocity_covariance = {1e-4, 1e-6, 0.0, 1e-6, 2e-4, 0.0, 0.0, 0.0, 3e-4};
  send(imus, given);
  ukf::MatrixX expected = configured_imu;
  expected.block<3, 3>(3, 3) << 1e-4, 1e-6, 0.0, 1e-6, 2e-4, 0.0, 0.0, 0.0, 3e-4;
  EXPECT_EQ(noise("imu"), expected);

  // -1 first: not measured, so that block carries no information.
  Imu no_accel = imu(1, 20000000, {50.0, 0.0, 0.0}, {0.0, 0.0, 0.0});
  no_accel.linear_acceleration_covariance[0] = -1.0;
  const ukf::VectorX acceleration_before = node->get_filter().get_state()["Acceleration3D"];
  send(imus, no_accel);
  EXPECT_GE(noise("imu")(0, 0), 1e12);
  EXPECT_NEAR(node->get_filter().get_state()["Acceleration3D"](0), acceleration_before(0), 1e-9);
  ASSERT_EQ(received.size(), 3u);

  // Neither block measured, or a block that is no covariance: dropped, saying why.
  Imu neither = imu(1, 30000000, {0.0, 0.0, 9.8}, {0.0, 0.0, 0.0});
  neither.linear_acceleration_covariance[0] = -1.0;
  neither.angular_velocity_covariance[0] = -1.0;
  Imu negative = imu(1, 40000000, {0.0, 0.0, 9.8}, {0.0, 0.0, 0.0});
  negative.angular_velocity_covariance = {-1e-4, 0.0, 0.0, 0.0, 1e-4, 0.0, 0.0, 0.0, 1e-4};
  testing::internal::CaptureStderr();
  send(imus, neither);
  send(imus, negative);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("neither linear acceleration nor angular velocity"), std::string::npos) << log;
  EXPECT_NE(log.find("angular_velocity_covariance"), std::string::npos) << log;
  EXPECT_EQ(received.size(), 3u);
  EXPECT_EQ(node->dropped_messages(), 2u);

  // The visual odometry's pose covariance, cross terms included.
  Odometry pose = vo(1, 50000000, {0.0, 0.0, 0.0}, Eigen::Quaterniond::Identity());
  send(vos, pose);
  EXPECT_EQ(noise("vo"), configured_vo);
  ukf::MatrixX c = ukf::MatrixX::Identity(6, 6) * 0.01;
  c(0, 1) = c(1, 0) = 0.004;
  for (int k = 0; k < 36; ++k) {
    pose.pose.covariance[static_cast<std::size_t>(k)] = c(k / 6, k % 6);
  }
  pose.header.stamp.nanosec = 60000000;
  send(vos, pose);
  EXPECT_EQ(noise("vo"), c);
  EXPECT_EQ(received.size(), 5u);
}

TEST_F(FeatureTest, LateMessagesAreDroppedCountedAndWarnedAboutOnceASecond)
{
  start([](rclcpp::NodeOptions& o) {
    o.append_parameter_override("imu_topic", "imu");
    o.append_parameter_override("vo_topic", "vo");
  });
  send(encoders, twist(10, 500000000, 1.0, 0.0));
  testing::internal::CaptureStderr();
  send(imus, imu(10, 490000000, {0.0, 0.0, 9.80665}, {0.0, 0.0, 0.0}));
  send(imus, imu(10, 480000000, {0.0, 0.0, 9.80665}, {0.0, 0.0, 0.0}));
  send(vos, vo(10, 400000000, {0.0, 0.0, 0.0}, Eigen::Quaterniond::Identity()));
  send(encoders, twist(10, 499999999, 1.0, 0.0));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(node->late_messages(Input::imu), 2u);
  EXPECT_EQ(node->late_messages(Input::vo), 1u);
  EXPECT_EQ(node->late_messages(Input::encoders), 1u);
  EXPECT_EQ(node->dropped_messages(), 4u);
  EXPECT_EQ(received.size(), 1u);
  // The first late message of each topic warns with the count; the second IMU one is within the
  // second, so it only counts.
  EXPECT_NE(log.find("Dropped 1 late IMU messages so far"), std::string::npos) << log;
  EXPECT_EQ(log.find("Dropped 2 late IMU messages"), std::string::npos) << log;
  EXPECT_NE(log.find("Dropped 1 late visual odometry messages so far"), std::string::npos) << log;
  EXPECT_NE(log.find("Dropped 1 late encoder messages so far"), std::string::npos) << log;
  // Later messages of any topic carry on.
  send(imus, imu(10, 510000000, {0.0, 0.0, 9.80665}, {0.0, 0.0, 0.0}));
  EXPECT_EQ(received.size(), 2u);
}

TEST_F(FeatureTest, FusionDelayFusesOutOfOrderMessagesInStampOrder)
{
  start([](rclcpp::NodeOptions& o) {
    o.append_parameter_override("imu_topic", "imu");
    o.append_parameter_override("fusion_delay", 0.05);
  });
  // IMU at 100 Hz and encoders at 50 Hz, the encoders arriving 30 ms late.
  send(imus, imu(20, 0, {0.0, 0.0, 9.80665}, {0.0, 0.0, 0.1}));
  send(imus, imu(20, 10000000, {0.0, 0.0, 9.80665}, {0.0, 0.0, 0.1}));
  send(imus, imu(20, 20000000, {0.0, 0.0, 9.80665}, {0.0, 0.0, 0.1}));
  send(imus, imu(20, 30000000, {0.0, 0.0, 9.80665}, {0.0, 0.0, 0.1}));
  send(encoders, twist(20, 0, 0.5, 0.1));
  send(imus, imu(20, 40000000, {0.0, 0.0, 9.80665}, {0.0, 0.0, 0.1}));
  send(imus, imu(20, 50000000, {0.0, 0.0, 9.80665}, {0.0, 0.0, 0.1}));
  send(encoders, twist(20, 20000000, 0.5, 0.1));
  send(imus, imu(20, 90000000, {0.0, 0.0, 9.80665}, {0.0, 0.0, 0.1}));
  // Fused: everything up to 40 ms (90 ms minus the delay); held: 50 and 90 ms.
  EXPECT_EQ(node->late_messages(Input::encoders), 0u);
  EXPECT_EQ(node->dropped_messages(), 0u);
  EXPECT_EQ(node->held_messages(), 2u);
  node->flush_held();
  drain();
  const std::vector<uint32_t> expected = {0, 0, 10000000, 20000000, 20000000,
                                          30000000, 40000000, 50000000, 90000000};
  std::vector<uint32_t> stamps;
  for (const Odometry& o : received) {
    stamps.push_back(o.header.stamp.nanosec);
  }
  EXPECT_EQ(stamps, expected);
  EXPECT_EQ(node->updates(), expected.size());
}

TEST_F(FeatureTest, BadParametersAndMissingSensorsStopStartUpNamingThem)
{
  const auto error_of = [&](const Options& set, const std::string& config) -> std::string {
    try {
      start(set, config);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  };
  const auto with = [](const char* name, auto value) {
    return [=](rclcpp::NodeOptions& o) { o.append_parameter_override(name, value); };
  };
  const std::string encoder_only = LOCALISATION_DEFAULT_CONFIG;
  const std::string fusion = LOCALISATION_FUSION_CONFIG;

  std::string e = error_of(with("imu_topic", "imu"), encoder_only);
  EXPECT_NE(e.find("'imu_topic'"), std::string::npos) << e;
  EXPECT_NE(e.find("no sensor named \"imu\""), std::string::npos) << e;
  e = error_of(with("vo_topic", "camera/odom"), encoder_only);
  EXPECT_NE(e.find("'vo_topic'"), std::string::npos) << e;
  EXPECT_NE(e.find("\"vo\""), std::string::npos) << e;

  json config = fusion_config();
  config["measurement"]["sensors"][2]["type"] = "POSITION_SENSOR";
  config["measurement"]["sensors"][2]["size"] = 3;
  config["measurement"]["sensors"][2]["noise"] = {{0.01, 0.0, 0.0}, {0.0, 0.01, 0.0}, {0.0, 0.0, 0.01}};
  config["measurement"]["sensors"][2].erase("state_orient_field");
  e = error_of(with("vo_topic", "vo"), write_config(config, "vo_wrong_type"));
  EXPECT_NE(e.find("not of type \"VO\""), std::string::npos) << e;
  config = fusion_config();
  config["measurement"]["sensors"][1]["size"] = 7;
  json noise = json::array();
  for (int r = 0; r < 7; ++r) {
    noise.push_back(json::array());
    for (int c = 0; c < 7; ++c) {
      noise.back().push_back(r == c ? 0.01 : 0.0);
    }
  }
  config["measurement"]["sensors"][1]["noise"] = noise;
  e = error_of(with("imu_topic", "imu"), write_config(config, "imu_wrong_size"));
  EXPECT_NE(e.find("with size 7; it must be 6"), std::string::npos) << e;

  for (const auto& [name, value] :
       std::vector<std::pair<const char*, std::string>>{{"odom_frame", ""},
                                                        {"odom_frame", "/odom"},
                                                        {"base_link_frame", "base link"},
                                                        {"base_link_frame", "odom"},
                                                        {"imu_topic", "bad topic"},
                                                        {"vo_topic", "odometry/filtered"},
                                                        {"imu_topic", "/encoder_vel"}}) {
    e = error_of(with(name, value), fusion);
    EXPECT_NE(e.find(std::string("'") + name + "'"), std::string::npos) << name << ": " << e;
  }
  e = error_of(
    [](rclcpp::NodeOptions& o) {
      o.append_parameter_override("imu_topic", "sensors");
      o.append_parameter_override("vo_topic", "/sensors");
    },
    fusion);
  EXPECT_NE(e.find("'imu_topic' and 'vo_topic' must differ"), std::string::npos) << e;
  for (double delay : {-0.1, std::numeric_limits<double>::quiet_NaN(), 60.0}) {
    e = error_of(with("fusion_delay", delay), fusion);
    EXPECT_NE(e.find("'fusion_delay'"), std::string::npos) << delay << ": " << e;
  }
  EXPECT_THROW(start(with("publish_tf", std::string("yes")), fusion),
               rclcpp::exceptions::InvalidParameterTypeException);
}

TEST_F(FeatureTest, HostileImuAndVisualOdometryNeverPublishANonFiniteValue)
{
  start([](rclcpp::NodeOptions& o) {
    o.append_parameter_override("imu_topic", "imu");
    o.append_parameter_override("vo_topic", "vo");
    o.append_parameter_override("publish_covariance", true);
    o.append_parameter_override("fusion_delay", 0.02);
  });
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double big = 1.7e308;
  send(encoders, twist(30, 0, 1.0, 0.1));
  send(imus, imu(30, 10000000, {nan, 0.0, 9.8}, {0.0, 0.0, 0.0}));
  send(imus, imu(30, 20000000, {big, -big, big}, {big, big, -big}));
  send(imus, imu(30, 30000000, {0.0, 0.0, 9.8}, {inf, 0.0, 0.0}));
  Imu bad_cov = imu(30, 40000000, {0.0, 0.0, 9.8}, {0.0, 0.0, 0.0});
  bad_cov.linear_acceleration_covariance = {nan, 0, 0, 0, 1, 0, 0, 0, 1};
  send(imus, bad_cov);
  send(vos, vo(30, 50000000, {big, big, -big}, Eigen::Quaterniond(big, big, 0.0, 0.0)));
  send(vos, vo(30, 60000000, {0.0, 0.0, 0.0}, Eigen::Quaterniond(0.0, 0.0, 0.0, 0.0)));
  send(vos, vo(30, 70000000, {nan, 0.0, 0.0}, Eigen::Quaterniond::Identity()));
  send(vos, vo(30, 80000000, {1e-300, 0.0, 0.0}, Eigen::Quaterniond(1e-200, 0.0, 0.0, 1e-200)));
  send(vos, vo(-2147483647 - 1, 0, {0.0, 0.0, 0.0}, Eigen::Quaterniond::Identity()));
  send(imus, imu(2147483647, 4294967295u, {0.0, 0.0, 9.8}, {0.0, 0.0, 0.0}));
  node->flush_held();
  drain();
  for (const Odometry& o : received) {
    EXPECT_TRUE(localisation_replay::all_finite(o)) << "stamp " << o.header.stamp.sec;
    for (double v : o.pose.covariance) {
      EXPECT_TRUE(std::isfinite(v));
    }
  }
  // Ordinary driving is tracked again afterwards.
  const std::size_t before = received.size();
  send(encoders, twist(40, 0, 1.0, 0.0));
  send(imus, imu(40, 10000000, {0.0, 0.0, 9.80665}, {0.0, 0.0, 0.0}));
  send(encoders, twist(40, 40000000, 1.0, 0.0));
  EXPECT_GT(received.size(), before);
  EXPECT_TRUE(localisation_replay::all_finite(received.back()));
}

TEST_F(FeatureTest, ParametersAreReadOnlyDescribedAndTakeWholeNumbersForDecimals)
{
  start([](rclcpp::NodeOptions& o) {
    o.append_parameter_override("fusion_delay", 1);
    o.append_parameter_override("max_time_jump", 30);
    o.append_parameter_override("sensor_qos", "sensor_data");
  });
  // A whole number is taken as that many seconds: a message held a second, a jump of 30 s.
  send(encoders, twist(10, 0, 1.0, 0.0));
  send(encoders, twist(10, 900000000, 1.0, 0.0));
  EXPECT_EQ(received.size(), 0u);
  send(encoders, twist(11, 0, 1.0, 0.0));
  EXPECT_EQ(received.size(), 1u);
  send(encoders, twist(45, 0, 1.0, 0.0));
  send(encoders, twist(47, 0, 1.0, 0.0));
  EXPECT_EQ(node->filter_restarts(), 1u);

  for (const char* name : {"ukf_config", "max_time_jump", "strict_config", "odom_frame",
                           "base_link_frame", "publish_covariance", "publish_tf", "imu_topic",
                           "vo_topic", "wheel_odom_topic", "message_covariance",
                           "imu_orientation", "sensor_qos", "fusion_delay",
                           "diagnostics_stale_warn", "diagnostics_stale_error",
                           "diagnostics_dropped_share", "diagnostics_position_sd",
                           "diagnostics_heading_sd"}) {
    const auto described = node->describe_parameter(name);
    EXPECT_TRUE(described.read_only) << name;
    EXPECT_FALSE(described.description.empty()) << name;
    const auto before = node->get_parameter(name);
    const auto result = node->set_parameter(rclcpp::Parameter(name, before.get_parameter_value()));
    EXPECT_FALSE(result.successful) << name;
    EXPECT_EQ(result.reason, std::string("parameter '") + name +
                               "' cannot be set because it is read-only");
  }
  const auto delay = node->describe_parameter("fusion_delay");
  ASSERT_EQ(delay.floating_point_range.size(), 1u);
  EXPECT_EQ(delay.floating_point_range[0].from_value, 0.0);
  EXPECT_EQ(node->describe_parameter("message_covariance").additional_constraints,
            "one of use, ignore, floor");
  node.reset();
  driver.reset();

  // Not a number, out of range, or not a known word: start-up stops naming the parameter.
  EXPECT_THROW(start([](rclcpp::NodeOptions& o) { o.append_parameter_override("fusion_delay", "1"); }),
               rclcpp::exceptions::InvalidParameterTypeException);
  for (const auto& [name, value] : std::vector<std::pair<const char*, rclcpp::ParameterValue>>{
         {"max_time_jump", rclcpp::ParameterValue(-2.0)},
         {"max_time_jump", rclcpp::ParameterValue(0)},
         {"fusion_delay", rclcpp::ParameterValue(-1)},
         {"sensor_qos", rclcpp::ParameterValue("best_effort")}}) {
    try {
      start([&](rclcpp::NodeOptions& o) { o.append_parameter_override(name, value); });
      ADD_FAILURE() << name << " " << rclcpp::to_string(value) << " was accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(std::string("'") + name + "'"), std::string::npos)
        << e.what();
    }
  }
}

TEST_F(FeatureTest, AZeroStampWarnsOnceInAWhileAndTheMessageIsStillFused)
{
  start();
  testing::internal::CaptureStderr();
  send(encoders, twist(0, 0, 1.0, 0.0));
  send(encoders, twist(0, 0, 1.0, 0.0));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(received.size(), 2u);
  const std::string warning = "An unstamped encoder message (stamp 0): the filter runs on the "
                              "messages' stamps, and an unstamped message carries no time";
  const auto first = log.find(warning);
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find(warning, first + 1), std::string::npos) << log;
}

namespace
{

// What RViz's "2D Pose Estimate" publishes: x, y and yaw with its variances, the rest zero.
geometry_msgs::msg::PoseWithCovarianceStamped pose_estimate(double x, double y, double yaw)
{
  geometry_msgs::msg::PoseWithCovarianceStamped m;
  m.header.frame_id = "odom";
  m.pose.pose.position.x = x;
  m.pose.pose.position.y = y;
  m.pose.pose.orientation.z = std::sin(yaw / 2);
  m.pose.pose.orientation.w = std::cos(yaw / 2);
  m.pose.covariance[0] = 0.25;
  m.pose.covariance[7] = 0.25;
  m.pose.covariance[35] = 0.06853891945200942;
  return m;
}

}  // namespace

TEST_F(FeatureTest, SetPoseTakesThePoseAndItsCovarianceAndKeepsTheRest)
{
  start();
  auto poses = driver->create_publisher<geometry_msgs::msg::PoseWithCovarianceStamped>("set_pose", 10);
  for (int k = 0; k < 20; ++k) {
    send(encoders, twist(10, static_cast<uint32_t>(k) * 20000000, 1.0, 0.2));
  }
  const ukf::State& state = node->get_filter().state();
  const auto index = [&](const char* field) {
    return static_cast<Eigen::Index>(state.field(field).get_index());
  };
  const ukf::VectorX velocity_before = state["Velocity3D"];
  const double z_variance = node->get_filter().covar()(index("Position3D") + 2,
                                                       index("Position3D") + 2);
  const std::size_t published = received.size();

  send(poses, pose_estimate(3.0, -2.0, 1.0));
  ASSERT_EQ(received.size(), published + 1);  // published at once, at the latest update's stamp
  const Odometry& now = received.back();
  EXPECT_EQ(now.header.stamp, received[published - 1].header.stamp);
  EXPECT_EQ(now.pose.pose.position.x, 3.0);
  EXPECT_EQ(now.pose.pose.position.y, -2.0);
  EXPECT_NEAR(2 * std::atan2(now.pose.pose.orientation.z, now.pose.pose.orientation.w), 1.0,
              1e-12);
  EXPECT_EQ(state["Velocity3D"], velocity_before);
  const ukf::MatrixX& p = node->get_filter().covar();
  const Eigen::Index pos = index("Position3D"), yaw = index("Orientation3D") + 2;
  EXPECT_EQ(p(pos, pos), 0.25);
  EXPECT_EQ(p(yaw, yaw), 0.06853891945200942);
  EXPECT_EQ(p(pos + 2, pos + 2), z_variance);  // unknown in the message: kept
  EXPECT_EQ(p.row(pos).segment(index("Velocity3D"), 3).cwiseAbs().maxCoeff(), 0.0);
  EXPECT_EQ(p.row(yaw).segment(index("AngularVelocity3D"), 3).cwiseAbs().maxCoeff(), 0.0);
  // The next estimate moves on from the new pose.
  send(encoders, twist(10, 400000000, 1.0, 0.2));
  EXPECT_NEAR(received.back().pose.pose.position.x, 3.0 + 0.02 * std::cos(1.0), 0.01);

  // What cannot be used is refused, and nothing changes.
  const ukf::VectorX kept = state.get_vector();
  auto in_map = pose_estimate(0.0, 0.0, 0.0);
  in_map.header.frame_id = "map";
  auto not_finite = pose_estimate(std::nan(""), 0.0, 0.0);
  auto not_unit = pose_estimate(0.0, 0.0, 0.0);
  not_unit.pose.pose.orientation.w = 2.0;
  auto negative = pose_estimate(0.0, 0.0, 0.0);
  negative.pose.covariance[0] = -1.0;
  auto lopsided = pose_estimate(0.0, 0.0, 0.0);
  lopsided.pose.covariance[1] = 0.1;
  EXPECT_EQ(node->set_pose(in_map), "its frame_id is \"map\", not the odometry frame \"odom\"");
  EXPECT_EQ(node->set_pose(not_finite), "pose.pose.position is not finite");
  EXPECT_EQ(node->set_pose(not_unit),
            "pose.pose.orientation is not a unit quaternion (norm 2.000000)");
  EXPECT_EQ(node->set_pose(negative), "pose.covariance has a negative variance at (0, 0)");
  EXPECT_EQ(node->set_pose(lopsided), "pose.covariance is not a symmetric positive-definite matrix");
  EXPECT_EQ(state.get_vector(), kept);
}

TEST_F(FeatureTest, ResetRestartsTheFilterFromItsConfiguration)
{
  start([](rclcpp::NodeOptions& o) { o.append_parameter_override("fusion_delay", 0.5); });
  const ukf::VectorX initial = node->get_filter().state().get_vector();
  const ukf::MatrixX initial_covar = node->get_filter().covar();
  for (int k = 0; k < 40; ++k) {
    send(encoders, twist(10, static_cast<uint32_t>(k) * 20000000, 1.0, 0.2));
  }
  ASSERT_GT(node->held_messages(), 0u);
  const std::size_t published = received.size();
  EXPECT_EQ(node->reset(), std::string("filter restarted from its configuration ") +
                             LOCALISATION_FUSION_CONFIG);
  drain();
  EXPECT_EQ(node->held_messages(), 0u);
  EXPECT_EQ(node->get_filter().state().get_vector(), initial);
  EXPECT_EQ(node->get_filter().covar(), initial_covar);
  ASSERT_EQ(received.size(), published + 1);
  EXPECT_EQ(received.back().pose.pose.position.x, initial(0));
  // The filter's clock starts again with the next message, whatever its stamp.
  send(encoders, twist(5, 0, 1.0, 0.2));
  send(encoders, twist(6, 0, 1.0, 0.2));
  EXPECT_EQ(received.size(), published + 2);
  EXPECT_EQ(node->filter_restarts(), 0u);
}

TEST_F(FeatureTest, DiagnosticsReportInputsFilterAndCovarianceByTheirThresholds)
{
  using Status = diagnostic_msgs::msg::DiagnosticStatus;
  start([](rclcpp::NodeOptions& o) {
    o.append_parameter_override("imu_topic", "imu");
    o.append_parameter_override("diagnostics_stale_warn", 0.2);
    o.append_parameter_override("diagnostics_position_sd", 5);
  });
  std::vector<diagnostic_msgs::msg::DiagnosticArray> arrays;
  auto listener = driver->create_subscription<diagnostic_msgs::msg::DiagnosticArray>(
    "/diagnostics", 10,
    [&](const diagnostic_msgs::msg::DiagnosticArray& m) { arrays.push_back(m); });
  ASSERT_EQ(settled([&] { return node->count_subscribers("/diagnostics"); }, 1u), 1u);
  const auto report = [&]() {
    arrays.clear();
    node->diagnostics().force_update();
    drain();
    std::map<std::string, Status> by_name;
    for (const auto& a : arrays) {
      for (const auto& s : a.status) {
        by_name[s.name] = s;
      }
    }
    return by_name;
  };
  const auto value = [](const Status& s, const std::string& key) {
    for (const auto& kv : s.values) {
      if (kv.key == key) {
        return kv.value;
      }
    }
    return std::string("missing");
  };
  const std::string encoder_input = "localisation_node: encoder input (encoder_vel)";
  const std::string imu_input = "localisation_node: IMU input (imu)";
  const std::string filter = "localisation_node: filter";
  const std::string covariance = "localisation_node: covariance";

  auto statuses = report();
  ASSERT_EQ(statuses.size(), 4u);
  EXPECT_EQ(statuses[encoder_input].level, Status::WARN);
  EXPECT_EQ(statuses[encoder_input].message, "no message yet");
  EXPECT_EQ(statuses[filter].message, "no update yet");
  EXPECT_EQ(statuses[covariance].level, Status::OK);

  for (int k = 0; k < 10; ++k) {
    send(encoders, twist(10, static_cast<uint32_t>(k) * 20000000, 1.0, 0.0));
  }
  send(imus, imu(10, 0, {0.0, 0.0, 9.80665}, {0.0, 0.0, 0.0}));  // late: dropped
  statuses = report();
  EXPECT_EQ(statuses[encoder_input].level, Status::OK) << statuses[encoder_input].message;
  EXPECT_EQ(value(statuses[encoder_input], "messages"), "10");
  EXPECT_EQ(statuses[imu_input].level, Status::WARN);
  EXPECT_EQ(statuses[imu_input].message, "1 of the last 1 messages dropped");
  EXPECT_EQ(value(statuses[imu_input], "late"), "1");
  EXPECT_EQ(statuses[filter].level, Status::OK);
  EXPECT_EQ(value(statuses[filter], "updates"), "10");

  // A node that stops receiving turns WARN; a covariance grown past its threshold too.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto wide = pose_estimate(0.0, 0.0, 0.0);
  wide.pose.covariance[0] = 100.0;
  ASSERT_EQ(node->set_pose(wide), "");
  statuses = report();
  EXPECT_EQ(statuses[encoder_input].level, Status::WARN);
  EXPECT_EQ(statuses[encoder_input].message.rfind("no message for ", 0), 0u)
    << statuses[encoder_input].message;
  EXPECT_EQ(statuses[filter].level, Status::WARN);
  EXPECT_EQ(statuses[covariance].level, Status::WARN);
  EXPECT_EQ(statuses[covariance].message, "position standard deviation 10 m");
  EXPECT_EQ(value(statuses[covariance], "positive definite"), "True");
}

TEST_F(FeatureTest, SensorQosHearsABestEffortPublisherOnEncoderVel)
{
  start([](rclcpp::NodeOptions& o) { o.append_parameter_override("sensor_qos", "sensor_data"); },
        LOCALISATION_DEFAULT_CONFIG);
  // What a driver that publishes best effort does; a reliable subscription would never hear it.
  auto best_effort = driver->create_publisher<TwistStamped>("encoder_vel", rclcpp::SensorDataQoS());
  ASSERT_EQ(settled([&] { return node->count_publishers("encoder_vel"); }, 2u), 2u);
  // Best effort keeps nothing for a subscription still being matched: the first that arrives
  // counts, then every one.
  int k = 0;
  for (; received.empty() && k < 100; ++k) {
    send(best_effort, twist(5, static_cast<uint32_t>(k) * 20000000, 1.0, 0.0));
  }
  ASSERT_EQ(received.size(), 1u);
  send(best_effort, twist(5, static_cast<uint32_t>(k) * 20000000, 1.0, 0.0));
  EXPECT_EQ(received.size(), 2u);
}
