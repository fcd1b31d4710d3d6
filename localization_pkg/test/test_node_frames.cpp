// Sensor frames through tf2, wheel odometry, the message covariance policy and the IMU's
// orientation, through the node's topics. Same file for ROS 2 Humble and the stand-in.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <Eigen/Eigenvalues>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "drive_replay.hpp"
#include "nav_msgs/msg/odometry.hpp"
#include "node_test_support.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/imu.hpp"
#include "tf2_ros/static_transform_broadcaster.h"
#include "ukf/Step.hpp"
#include "zendrafell_localisation/zendrafell_localisation.hpp"

using Imu = sensor_msgs::msg::Imu;
using Odometry = nav_msgs::msg::Odometry;
using Input = ZendrafellLocalisationNode::Input;
using localisation_replay::DriveRow;
using localisation_replay::Sensor;

namespace
{

constexpr double kPi = 3.141592653589793;
constexpr double kGravity = 9.80665;
// The Husky's IMU: base x = -imu z, base y = -imu x, base z = +imu y; 0.3 m right, 0.52 m up.
const char* const kHuskyMount = "base_link imu_link 0 -0.3 0.52 1.5707963267948966 0 "
                                "-1.5707963267948966";

json fusion_config()
{
  std::ifstream in(LOCALISATION_FUSION_CONFIG);
  return json::parse(in);
}

Eigen::Quaterniond from_euler(double roll, double pitch, double yaw)
{
  return quaternion_from_euler(roll, pitch, yaw);
}

void set(geometry_msgs::msg::Vector3& out, const Eigen::Vector3d& v)
{
  out.x = v.x();
  out.y = v.y();
  out.z = v.z();
}

void set(geometry_msgs::msg::Quaternion& out, const Eigen::Quaterniond& q)
{
  out.x = q.x();
  out.y = q.y();
  out.z = q.z();
  out.w = q.w();
}

Imu imu_in(const char* frame, int32_t sec, uint32_t nanosec, const Eigen::Vector3d& force,
           const Eigen::Vector3d& rate)
{
  Imu m;
  m.header.frame_id = frame;
  m.header.stamp.sec = sec;
  m.header.stamp.nanosec = nanosec;
  set(m.linear_acceleration, force);
  set(m.angular_velocity, rate);
  m.orientation_covariance[0] = -1.0;
  return m;
}

Odometry odometry_of(const char* frame, const char* child, int32_t sec, uint32_t nanosec)
{
  Odometry m;
  m.header.frame_id = frame;
  m.child_frame_id = child;
  m.header.stamp.sec = sec;
  m.header.stamp.nanosec = nanosec;
  return m;
}

class FramesTest : public NodeHarness
{
protected:
  using Options = std::function<void(rclcpp::NodeOptions&)>;

  void start(const Options& set = {}, const std::string& config = LOCALISATION_FUSION_CONFIG)
  {
    rclcpp::NodeOptions options;
    options.append_parameter_override("ukf_config", config);
    options.append_parameter_override("base_link_frame", "base_link");
    options.append_parameter_override("imu_topic", "imu");
    options.append_parameter_override("vo_topic", "vo");
    options.append_parameter_override("wheel_odom_topic", "wheel/odom");
    if (set) {
      set(options);
    }
    received.clear();
    node = std::make_shared<ZendrafellLocalisationNode>(options);
    driver = std::make_shared<rclcpp::Node>("frames_driver");
    statics = std::make_unique<tf2_ros::StaticTransformBroadcaster>(driver);
    encoders = driver->create_publisher<TwistStamped>("encoder_vel", 10);
    imus = driver->create_publisher<Imu>("imu", 10);
    vos = driver->create_publisher<Odometry>("vo", 10);
    wheels = driver->create_publisher<Odometry>("wheel/odom", 10);
    odometry = driver->create_subscription<Odometry>(
      "odometry/filtered", 100, [this](const Odometry& m) { received.push_back(m); });
    EXPECT_EQ(settled([&] { return driver->count_subscribers("wheel/odom"); }, 1u), 1u);
  }

  // Publishes a fixed transform and spins the node until it has heard it.
  void mount(const std::string& text) { mount(localisation_replay::parse_static_transform(text)); }
  void mount(const geometry_msgs::msg::TransformStamped& t)
  {
    statics->sendTransform(t);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!node->transforms().canTransform(t.header.frame_id, t.child_frame_id,
                                            tf2::TimePointZero) &&
           std::chrono::steady_clock::now() < deadline) {
      rclcpp::spin_some(node);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(
      node->transforms().canTransform(t.header.frame_id, t.child_frame_id, tf2::TimePointZero));
  }

  bool populated(const std::string& sensor) const
  {
    return node->get_filter().get_last_step().sensor_measurement.get_sensor(sensor).is_populated();
  }
  ukf::MatrixX configured(const std::string& sensor) const
  {
    return node->get_filter().get_empty_measurement().get_sensor(sensor).get_noise();
  }

  std::unique_ptr<tf2_ros::StaticTransformBroadcaster> statics;
  rclcpp::Publisher<TwistStamped>::SharedPtr encoders;
  rclcpp::Publisher<Imu>::SharedPtr imus;
  rclcpp::Publisher<Odometry>::SharedPtr vos;
  rclcpp::Publisher<Odometry>::SharedPtr wheels;
  rclcpp::Subscription<Odometry>::SharedPtr odometry;
};

}  // namespace

TEST_F(FramesTest, AMountedImuIsRotatedIntoTheBaseWithItsLeverArm)
{
  start([](rclcpp::NodeOptions& o) { o.append_parameter_override("imu_orientation", "all"); });
  mount(kHuskyMount);
  const Eigen::Matrix3d r = from_euler(kPi / 2, 0.0, -kPi / 2).toRotationMatrix();
  const Eigen::Vector3d lever(0.0, -0.3, 0.52);
  // Level and turning at 0.5 rad/s, accelerating forward at 0.2 m/s^2 at the base's origin: the
  // IMU also feels w x (w x r) where it sits.
  const Eigen::Vector3d w(0.0, 0.0, 0.5);
  const Eigen::Vector3d at_imu =
    Eigen::Vector3d(0.2, 0.0, kGravity) + w.cross(w.cross(lever));
  Imu m = imu_in("imu_link", 4, 0, r.transpose() * at_imu, r.transpose() * w);
  m.linear_acceleration_covariance = {0.01, 0.0, 0.0, 0.0, 0.02, 0.0, 0.0, 0.0, 0.03};
  // The IMU frame's orientation: the base's (yaw 0.3) followed by the mounting.
  set(m.orientation, from_euler(0.0, 0.0, 0.3) * Eigen::Quaterniond(r));
  m.orientation_covariance = {1e-4, 0.0, 0.0, 0.0, 2e-4, 0.0, 0.0, 0.0, 3e-4};
  send(imus, m);
  ASSERT_EQ(received.size(), 1u);
  const ukf::VectorX z = measured("imu");
  const Eigen::Vector3d expected_force(0.2, 0.0, 0.0);
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(z(k), expected_force(k), 1e-12) << k;
    EXPECT_NEAR(z(3 + k), w(k), 1e-15) << k;
  }
  // R S R^T: the IMU's z variance (0.03) is the base's x, its x (0.01) the base's y.
  const ukf::MatrixX n = noise("imu");
  EXPECT_NEAR(n(0, 0), 0.03, 1e-15);
  EXPECT_NEAR(n(1, 1), 0.01, 1e-15);
  EXPECT_NEAR(n(2, 2), 0.02, 1e-15);
  ASSERT_TRUE(populated("imu_orientation"));
  const ukf::VectorX e = measured("imu_orientation");
  EXPECT_NEAR(e(0), 0.0, 1e-12);
  EXPECT_NEAR(e(1), 0.0, 1e-12);
  EXPECT_NEAR(e(2), 0.3, 1e-12);
  EXPECT_NEAR(noise("imu_orientation")(0, 0), 3e-4, 1e-15);  // the IMU's z is the base's x

  // An IMU in base_link, or with no frame, is used as it is.
  send(imus, imu_in("", 4, 10000000, {0.1, 0.0, kGravity}, {0.0, 0.0, 0.1}));
  send(imus, imu_in("base_link", 4, 20000000, {0.1, 0.0, kGravity}, {0.0, 0.0, 0.1}));
  EXPECT_EQ(measured("imu")(5), 0.1);
  EXPECT_EQ(received.size(), 3u);
  EXPECT_EQ(node->untransformable_messages(Input::imu), 0u);
}

namespace
{

std::size_t drop_lines(const std::string& log)
{
  std::size_t n = 0;
  for (std::size_t at = log.find("Dropped"); at != std::string::npos;
       at = log.find("Dropped", at + 1)) {
    ++n;
  }
  return n;
}

}  // namespace

TEST_F(FramesTest, NoMessageIsFusedInAFrameItCannotBeTransformedFrom)
{
  // Each case on a node of its own, since the warnings are throttled per topic.
  start();
  Imu level = imu_in("imu_link", 1, 0, {0.0, 0.0, kGravity}, {0.0, 0.0, 0.0});
  testing::internal::CaptureStderr();
  send(imus, level);  // no transform yet
  send(wheels, odometry_of("odom", "rear_axle", 1, 20000000));
  send(vos, odometry_of("camera_odom", "", 1, 30000000));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(received.empty());
  EXPECT_EQ(node->untransformable_messages(Input::imu), 1u);
  EXPECT_EQ(node->untransformable_messages(Input::wheel_odom), 1u);
  EXPECT_EQ(node->untransformable_messages(Input::vo), 1u);
  EXPECT_EQ(node->dropped_messages(), 3u);
  // Both frames and tf2's own words.
  EXPECT_NE(log.find("from \"imu_link\" to \"base_link\""), std::string::npos) << log;
  EXPECT_NE(log.find("does not exist"), std::string::npos) << log;
  EXPECT_NE(log.find("\"rear_axle\""), std::string::npos) << log;
  EXPECT_NE(log.find("\"camera_odom\""), std::string::npos) << log;
  // Throttled: a stream of them gives no more lines within the second.
  testing::internal::CaptureStderr();
  for (uint32_t k = 1; k <= 20; ++k) {
    level.header.stamp.nanosec = 40000000 + k * 1000000;
    send(imus, level);
  }
  log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(node->untransformable_messages(Input::imu), 21u);
  EXPECT_EQ(drop_lines(log), 0u) << log;
  // Once the transform is there, the same messages are fused.
  mount("base_link imu_link 0 0 0.5 0 0 0");
  level.header.stamp.nanosec = 90000000;
  send(imus, level);
  EXPECT_EQ(received.size(), 1u);

  // An IMU that says it measures in the odometry frame.
  start();
  level.header.frame_id = "odom";
  testing::internal::CaptureStderr();
  send(imus, level);
  log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("odometry frame \"odom\""), std::string::npos) << log;
  EXPECT_EQ(node->untransformable_messages(Input::imu), 1u);

  // Transforms that are no rigid motion never place a message: tf2 refuses NaN, and a quaternion
  // of zero length or an infinite one, when they arrive; an infinite translation, which tf2
  // stores, the node refuses.
  start();
  auto infinite = localisation_replay::parse_static_transform("base_link imu_link 0 0 0 0 0 0");
  infinite.transform.translation.z = std::numeric_limits<double>::infinity();
  mount(infinite);
  level.header.frame_id = "imu_link";
  testing::internal::CaptureStderr();
  send(imus, level);
  log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("not a rigid motion"), std::string::npos) << log;
  geometry_msgs::msg::TransformStamped bad =
    localisation_replay::parse_static_transform("base_link wheel 0 0 0 0 0 0");
  bad.transform.rotation.w = 0.0;
  geometry_msgs::msg::TransformStamped nan =
    localisation_replay::parse_static_transform("base_link camera 0 0 0 0 0 0");
  nan.transform.translation.x = std::nan("");
  testing::internal::CaptureStderr();
  statics->sendTransform({bad, nan});
  for (int k = 0; k < 20; ++k) {
    rclcpp::spin_some(node);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  send(wheels, odometry_of("odom", "wheel", 2, 10000000));
  send(vos, odometry_of("odom", "camera", 2, 20000000));
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(received.empty());
  EXPECT_EQ(node->untransformable_messages(Input::imu), 1u);
  EXPECT_EQ(node->untransformable_messages(Input::wheel_odom), 1u);
  EXPECT_EQ(node->untransformable_messages(Input::vo), 1u);
}

TEST_F(FramesTest, WheelOdometryIsMovedFromItsChildFrameToTheBase)
{
  start();
  // A frame at the rear axle, 0.5 m behind the base, facing backwards.
  mount("base_link rear 0 -0 0 0 0 3.141592653589793");
  mount("base_link rear_offset -0.5 0 0 0 0 3.141592653589793");
  Odometry m = odometry_of("odom", "rear", 3, 0);
  m.twist.twist.linear.x = -1.0;  // backwards in its frame: forwards for the base
  m.twist.twist.angular.z = 0.2;
  send(wheels, m);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_NEAR(measured("encoders")(0), 1.0, 1e-15);
  EXPECT_NEAR(measured("encoders")(1), 0.2, 1e-15);
  EXPECT_EQ(noise("encoders"), configured("encoders"));  // all zeros: unknown

  // At the offset frame the lever arm adds t x w sideways, and the covariance follows:
  // entries (0,0), (0,5), (5,0) and (5,5) are the forward speed's and the yaw rate's.
  m.child_frame_id = "rear_offset";
  m.header.stamp.nanosec = 20000000;
  m.twist.covariance[0] = 0.04;
  m.twist.covariance[7] = 0.09;
  m.twist.covariance[35] = 0.0025;
  m.twist.covariance[5] = m.twist.covariance[30] = 0.001;
  send(wheels, m);
  EXPECT_NEAR(measured("encoders")(0), 1.0, 1e-15);
  const ukf::MatrixX n = noise("encoders");
  EXPECT_NEAR(n(0, 0), 0.04, 1e-15);
  EXPECT_NEAR(n(1, 1), 0.0025, 1e-15);
  EXPECT_NEAR(n(0, 1), -0.001, 1e-15);  // the forward axis is turned round, the vertical not

  // A twist marked not measured, or not finite, is dropped saying why.
  testing::internal::CaptureStderr();
  Odometry unmeasured = odometry_of("odom", "", 3, 40000000);
  unmeasured.twist.covariance[0] = -1.0;
  send(wheels, unmeasured);
  Odometry infinite = odometry_of("odom", "", 3, 50000000);
  infinite.twist.twist.linear.y = std::numeric_limits<double>::infinity();
  send(wheels, infinite);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("not measured"), std::string::npos) << log;
  EXPECT_NE(log.find("not finite"), std::string::npos) << log;
  EXPECT_EQ(received.size(), 2u);
}

TEST_F(FramesTest, ACameraPoseBecomesThePoseOfTheBaseInTheOdometryFrame)
{
  start();
  // The camera 0.3 m ahead and 0.2 m up; its odometry starts where it started.
  mount("base_link camera 0.3 0 0.2 0 0 0");
  mount("odom camera_odom 0.3 0 0.2 0 0 0");
  Odometry m = odometry_of("camera_odom", "camera", 6, 0);
  m.pose.pose.position.x = 1.0;
  set(m.pose.pose.orientation, from_euler(0.0, 0.0, kPi / 2));
  // Position noise only along x, and yaw noise: turning the camera moves the base sideways.
  m.pose.covariance[0] = 0.01;
  m.pose.covariance[7] = 0.01;
  m.pose.covariance[14] = 0.01;
  m.pose.covariance[21] = 1e-4;
  m.pose.covariance[28] = 1e-4;
  m.pose.covariance[35] = 0.04;
  send(vos, m);
  ASSERT_EQ(received.size(), 1u);
  const ukf::VectorX z = measured("vo");
  const double expected[6] = {1.3, -0.3, 0.0, 0.0, 0.0, kPi / 2};
  for (int k = 0; k < 6; ++k) {
    EXPECT_NEAR(z(k), expected[k], 1e-12) << k;
  }
  // The base sits 0.3 m behind the camera, along the camera's -y in odom: a yaw error d moves it
  // by 0.3 d along x.
  const ukf::MatrixX n = noise("vo");
  EXPECT_NEAR(n(0, 0), 0.01 + 0.09 * 0.04 + 0.04 * 1e-4, 1e-15);
  EXPECT_NEAR(n(0, 5), 0.3 * 0.04, 1e-15);
  EXPECT_NEAR(n(1, 1), 0.01 + 0.04 * 1e-4, 1e-15);  // a roll error moves it up and sideways
}

TEST_F(FramesTest, TheCovariancePolicyUsesIgnoresOrFloorsWhatMessagesClaim)
{
  // The Jackal's IMU claims 2.5e-5 on both blocks; the configured noise is larger.
  Imu claim = imu_in("", 1, 0, {0.0, 0.0, kGravity}, {0.0, 0.0, 0.0});
  claim.linear_acceleration_covariance = {2.5e-5, 0, 0, 0, 2.5e-5, 0, 0, 0, 2.5e-5};
  claim.angular_velocity_covariance = {2.5e-5, 0, 0, 0, 2.5e-5, 0, 0, 0, 2.5e-5};
  const auto policy = [](const char* value) {
    return [=](rclcpp::NodeOptions& o) { o.append_parameter_override("message_covariance", value); };
  };
  start();
  send(imus, claim);
  EXPECT_EQ(noise("imu")(0, 0), 2.5e-5);  // "use" is the default, as before

  start(policy("floor"));
  send(imus, claim);
  const ukf::MatrixX configured_imu = configured("imu");
  EXPECT_EQ(noise("imu"), configured_imu);
  // A claim above the floor stands; one that is partly below is raised just there.
  Imu larger = claim;
  larger.header.stamp.nanosec = 10000000;
  larger.linear_acceleration_covariance = {1.0, 0.2, 0, 0.2, 1.0, 0, 0, 0, 1.0};
  larger.angular_velocity_covariance = {1.0, 0, 0, 0, 1e-9, 0, 0, 0, 1.0};
  send(imus, larger);
  const ukf::MatrixX n = noise("imu");
  EXPECT_EQ(n(0, 1), 0.2);
  EXPECT_EQ(n(1, 1), 1.0);
  EXPECT_DOUBLE_EQ(n(3, 3), 1.0);
  EXPECT_DOUBLE_EQ(n(4, 4), configured_imu(4, 4));
  const Eigen::Matrix3d gyro = n.block<3, 3>(3, 3);
  const Eigen::Matrix3d excess = gyro - configured_imu.block<3, 3>(3, 3);
  EXPECT_GE(Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d>(excess).eigenvalues().minCoeff(),
            -1e-15);
  // -1 still means not measured.
  Imu no_gyro = claim;
  no_gyro.header.stamp.nanosec = 20000000;
  no_gyro.angular_velocity_covariance[0] = -1.0;
  send(imus, no_gyro);
  EXPECT_GE(noise("imu")(5, 5), 1e12);
  // Wheel odometry and visual odometry follow the same policy.
  Odometry wheel = odometry_of("odom", "", 1, 30000000);
  wheel.twist.covariance[0] = 1e-8;
  wheel.twist.covariance[35] = 1e-8;
  send(wheels, wheel);
  EXPECT_EQ(noise("encoders"), configured("encoders"));
  Odometry pose = odometry_of("odom", "", 1, 40000000);
  for (std::size_t k = 0; k < 36; k += 7) {
    pose.pose.covariance[k] = 1e-9;
  }
  send(vos, pose);
  EXPECT_EQ(noise("vo"), configured("vo"));

  // "ignore" gives exactly the run of the same messages without covariances.
  std::vector<Odometry> runs[2];
  for (int run = 0; run < 2; ++run) {
    start(run == 0 ? policy("ignore") : Options());
    for (uint32_t k = 0; k < 50; ++k) {
      Imu m = imu_in("", 2, k * 10000000, {0.3 * std::sin(k * 0.1), 0.05, kGravity + 0.01 * k},
                     {0.0, 0.0, 0.02 * k});
      if (run == 0) {
        m.linear_acceleration_covariance = claim.linear_acceleration_covariance;
        m.angular_velocity_covariance = claim.angular_velocity_covariance;
      }
      send(imus, m);
      if (k % 2 == 0) {
        send(encoders, twist(2, k * 10000000 + 5000000, 0.05 * k, 0.02 * k));
      }
    }
    runs[run] = received;
    received.clear();
  }
  ASSERT_EQ(runs[0].size(), 75u);
  ASSERT_EQ(runs[1].size(), 75u);
  for (std::size_t k = 0; k < runs[0].size(); ++k) {
    EXPECT_EQ(runs[0][k].pose, runs[1][k].pose) << k;
    EXPECT_EQ(runs[0][k].twist, runs[1][k].twist) << k;
  }

  EXPECT_THROW(start(policy("trust")), std::invalid_argument);
}

TEST_F(FramesTest, TheImuOrientationGoesInWithOrWithoutItsYaw)
{
  const auto orientation = [](const char* value) {
    return [=](rclcpp::NodeOptions& o) { o.append_parameter_override("imu_orientation", value); };
  };
  start(orientation("roll_pitch"));
  Imu m = imu_in("", 1, 0, {0.0, 0.0, kGravity}, {0.0, 0.0, 0.0});
  set(m.orientation, from_euler(0.05, -0.04, 1.0));
  m.orientation_covariance = {0.0, 0, 0, 0, 0, 0, 0, 0, 0};  // unknown: the configured noise
  send(imus, m);
  ASSERT_TRUE(populated("imu_orientation"));
  ukf::VectorX e = measured("imu_orientation");
  EXPECT_NEAR(e(0), 0.05, 1e-12);
  EXPECT_NEAR(e(1), -0.04, 1e-12);
  EXPECT_EQ(e(2), 0.0);  // the estimate's own yaw, carrying no information
  EXPECT_GE(noise("imu_orientation")(2, 2), 1e12);
  EXPECT_EQ(noise("imu_orientation")(0, 0), configured("imu_orientation")(0, 0));
  // An IMU that reports no orientation gives no orientation update; one that reports only its
  // orientation gives nothing else.
  m.header.stamp.nanosec = 10000000;
  m.orientation_covariance[0] = -1.0;
  send(imus, m);
  EXPECT_FALSE(populated("imu_orientation"));
  EXPECT_TRUE(populated("imu"));
  m.header.stamp.nanosec = 20000000;
  m.orientation_covariance[0] = 1e-4;
  m.orientation_covariance[4] = 1e-4;
  m.orientation_covariance[8] = 1e-4;
  m.linear_acceleration_covariance[0] = -1.0;
  m.angular_velocity_covariance[0] = -1.0;
  send(imus, m);
  EXPECT_TRUE(populated("imu_orientation"));
  EXPECT_FALSE(populated("imu"));
  EXPECT_EQ(received.size(), 3u);

  start(orientation("all"));
  m.header.stamp.nanosec = 30000000;
  send(imus, m);
  EXPECT_NEAR(measured("imu_orientation")(2), 1.0, 1e-12);
  EXPECT_EQ(noise("imu_orientation")(2, 2), 1e-4);
  // With "none", as before, the orientation is not read at all: not even a broken one.
  start();
  m.header.stamp.nanosec = 40000000;
  m.orientation.w = std::nan("");
  m.linear_acceleration_covariance[0] = 0.0;
  send(imus, m);
  EXPECT_EQ(received.size(), 1u);
  EXPECT_FALSE(populated("imu_orientation"));

  // Start-up names the parameter and the sensor when the configuration lacks it.
  try {
    start(orientation("roll_pitch"), LOCALISATION_DEFAULT_CONFIG);
    ADD_FAILURE() << "started without a sensor imu_orientation";
  } catch (const std::exception& error) {
    const std::string what = error.what();
    EXPECT_NE(what.find("'imu_topic'"), std::string::npos) << what;  // checked first
  }
  json config = fusion_config();
  config["measurement"]["sensors"].erase(3);
  try {
    start(orientation("roll_pitch"), write_config(config, "no_imu_orientation"));
    ADD_FAILURE() << "started without a sensor imu_orientation";
  } catch (const std::exception& error) {
    const std::string what = error.what();
    EXPECT_NE(what.find("'imu_orientation'"), std::string::npos) << what;
    EXPECT_NE(what.find("\"imu_orientation\" (type \"ORIENTATION_SENSOR\""), std::string::npos)
      << what;
  }
  try {
    start(orientation("yaw"));
    ADD_FAILURE() << "started with imu_orientation \"yaw\"";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("\"none\", \"roll_pitch\", \"all\""),
              std::string::npos)
      << error.what();
  }
  try {
    start([](rclcpp::NodeOptions& o) { o.append_parameter_override("wheel_odom_topic", "vo"); });
    ADD_FAILURE() << "started with one topic for wheel and visual odometry";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("'wheel_odom_topic'"), std::string::npos);
  }
}

// Replays of generated drives: the drive generator (Python) writes them into the test's folder.
namespace
{

std::string generate(const std::string& name, const std::string& options)
{
  const std::string path = ::testing::TempDir() + "localisation_" + name + ".csv";
  const std::string command = "python3 " LOCALISATION_DRIVE_GENERATOR " --multi-sensor " +
                              options + " --out " + path + " > /dev/null";
  return std::system(command.c_str()) == 0 ? path : std::string();
}

std::vector<DriveRow> read(const std::string& path)
{
  std::vector<DriveRow> rows;
  localisation_replay::read_drive(path, rows);
  return rows;
}

localisation_replay::Sensors only(std::initializer_list<Sensor> chosen)
{
  localisation_replay::Sensors s{false, false, false, false};
  for (Sensor c : chosen) {
    (c == Sensor::encoders ? s.encoders
     : c == Sensor::imu    ? s.imu
     : c == Sensor::vo     ? s.vo
                           : s.wheel_odom) = true;
  }
  return s;
}

// RMS distance and heading difference between two runs' estimates, message by message.
std::pair<double, double> rms_difference(const localisation_replay::Result& a,
                                         const localisation_replay::Result& b)
{
  EXPECT_EQ(a.odometry.size(), b.odometry.size());
  double position = 0.0, heading = 0.0;
  const std::size_t n = std::min(a.odometry.size(), b.odometry.size());
  for (std::size_t k = 0; k < n; ++k) {
    const auto& p = a.odometry[k].pose.pose;
    const auto& q = b.odometry[k].pose.pose;
    position += std::pow(p.position.x - q.position.x, 2) + std::pow(p.position.y - q.position.y, 2);
    const Eigen::Quaterniond qa(p.orientation.w, p.orientation.x, p.orientation.y, p.orientation.z);
    const Eigen::Quaterniond qb(q.orientation.w, q.orientation.x, q.orientation.y, q.orientation.z);
    heading += std::pow(qa.angularDistance(qb), 2);
  }
  return {std::sqrt(position / n), std::sqrt(heading / n)};
}

}  // namespace

TEST(FramesReplay, AHuskyMountedImuReplaysAsALevelOne)
{
  const std::string level_path = LOCALISATION_MULTI_SENSOR_DRIVE;  // the same drive, seed 7
  const std::string mounted_path =
    generate("husky", "--imu-mount \"1.5707963267948966 0 -1.5707963267948966\" "
                      "--imu-lever \"0 -0.3 0.52\"");
  if (mounted_path.empty()) {
    GTEST_SKIP() << "python3 could not run the drive generator " LOCALISATION_DRIVE_GENERATOR;
  }
  const auto level = read(level_path);
  const auto mounted = read(mounted_path);
  ASSERT_EQ(mounted[1].frame_id, "imu_link");
  localisation_replay::Options options;
  options.parameters = {{"base_link_frame", "base_link"}};
  const auto level_run = localisation_replay::replay(level, LOCALISATION_FUSION_CONFIG, {},
                                                     std::nullopt, options);
  const auto no_tf = localisation_replay::replay(mounted, LOCALISATION_FUSION_CONFIG, {},
                                                 only({Sensor::encoders, Sensor::imu}), options);
  options.static_transforms = {localisation_replay::parse_static_transform(kHuskyMount)};
  const auto mounted_run = localisation_replay::replay(mounted, LOCALISATION_FUSION_CONFIG, {},
                                                       std::nullopt, options);
  EXPECT_EQ(mounted_run.dropped, 0u);
  const auto [position, heading] = rms_difference(level_run, mounted_run);
  EXPECT_LE(position, 0.01) << localisation_replay::summary(mounted_run);
  EXPECT_LE(heading, 0.002);
  std::printf("mounted against level IMU: RMS %.4f m, %.2e rad\n", position, heading);

  // Without the transform no IMU message is fused: the estimate is the encoders' alone.
  const std::size_t imu_rows = no_tf.sent[static_cast<int>(Sensor::imu)];
  EXPECT_EQ(no_tf.untransformable[static_cast<int>(Sensor::imu)], imu_rows);
  EXPECT_NE(localisation_replay::summary(no_tf).find(std::to_string(imu_rows) + " IMU messages dropped"),
            std::string::npos);
  const auto encoders_only = localisation_replay::replay(mounted, LOCALISATION_FUSION_CONFIG, {},
                                                         only({Sensor::encoders}), options);
  ASSERT_EQ(no_tf.odometry.size(), encoders_only.odometry.size());
  for (std::size_t k = 0; k < no_tf.odometry.size(); ++k) {
    ASSERT_EQ(no_tf.odometry[k], encoders_only.odometry[k]) << k;
  }
}

TEST(FramesReplay, WheelOdometryGivesTheEstimatesOfEncoderVel)
{
  std::vector<DriveRow> rows;
  localisation_replay::read_drive(LOCALISATION_MULTI_SENSOR_DRIVE, rows);
  std::vector<DriveRow> wheel = rows;
  for (DriveRow& r : wheel) {
    if (r.sensor == Sensor::encoders) {
      r.sensor = Sensor::wheel_odom;
      r.values = {r.linear_x, 0.0, 0.0, 0.0, 0.0, r.angular_z};
    }
  }
  const auto from_encoders = localisation_replay::replay(
    rows, LOCALISATION_FUSION_CONFIG, {}, only({Sensor::encoders, Sensor::imu}));
  const auto from_wheel = localisation_replay::replay(
    wheel, LOCALISATION_FUSION_CONFIG, {}, only({Sensor::wheel_odom, Sensor::imu}));
  ASSERT_EQ(from_wheel.odometry.size(), from_encoders.odometry.size());
  EXPECT_EQ(from_wheel.dropped, 0u);
  double largest = 0.0;
  for (std::size_t k = 0; k < from_wheel.odometry.size(); ++k) {
    const auto& a = from_wheel.odometry[k].pose.pose.position;
    const auto& b = from_encoders.odometry[k].pose.pose.position;
    largest = std::max({largest, std::abs(a.x - b.x), std::abs(a.y - b.y)});
    EXPECT_NEAR(from_wheel.odometry[k].twist.twist.linear.x,
                from_encoders.odometry[k].twist.twist.linear.x, 1e-12);
  }
  EXPECT_LE(largest, 1e-12);
  EXPECT_DOUBLE_EQ(from_wheel.dead_reckoning_rms_error, from_encoders.dead_reckoning_rms_error);
}

TEST(FramesReplay, RollAndPitchFromTheImuHoldTheSpeedOnTiltedGround)
{
  const std::string path = generate("tilted", "--tilt 0.1");
  if (path.empty()) {
    GTEST_SKIP() << "python3 could not run the drive generator " LOCALISATION_DRIVE_GENERATOR;
  }
  const auto rows = read(path);
  ASSERT_TRUE(rows[1].has_orientation);
  // On hilly ground roll and pitch (and their rates) must be free to change.
  json config = fusion_config();
  for (int k : {3, 4}) {
    config["model"]["process_noise"][k] = 1e-3;
  }
  for (int k : {9, 10}) {
    config["model"]["process_noise"][k] = 1e-2;
  }
  const std::string hilly = write_config(config, "hilly");
  double rms[2];
  const char* modes[2] = {"none", "roll_pitch"};
  for (int m = 0; m < 2; ++m) {
    localisation_replay::Options options;
    options.parameters = {{"imu_orientation", modes[m]}};
    const auto run = localisation_replay::replay(rows, hilly, {},
                                                 only({Sensor::encoders, Sensor::imu}), options);
    ASSERT_GT(run.speed_matched, 20000u);
    rms[m] = run.rms_speed_error;
  }
  std::printf("RMS forward-speed error over tilted ground: none %.4f m/s, roll_pitch %.4f m/s\n",
              rms[0], rms[1]);
  EXPECT_LT(rms[1], 0.5 * rms[0]);
}

TEST(FramesReplay, StaticTransformsAreReadAsStaticTransformPublisherTakesThem)
{
  const auto t = localisation_replay::parse_static_transform("base_link imu 1 2 3 0 0 1.5");
  EXPECT_EQ(t.header.frame_id, "base_link");
  EXPECT_EQ(t.child_frame_id, "imu");
  EXPECT_EQ(t.transform.translation.z, 3.0);
  EXPECT_NEAR(t.transform.rotation.z, std::sin(0.75), 1e-15);
  for (const char* bad : {"base_link imu 1 2 3 0 0", "base_link imu 1 2 x 0 0 0",
                          "imu imu 0 0 0 0 0 0", "base_link imu 0 0 0 nan 0 0"}) {
    EXPECT_THROW(localisation_replay::parse_static_transform(bad), std::invalid_argument) << bad;
  }
}
