// Truth at any rate, aligned and relative errors, TUM trajectories, covariance columns and the
// rows a bag's messages make. Same file for ROS 2 Humble and the stand-in.
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <Eigen/Dense>
#include <gtest/gtest.h>

#include "bag.hpp"
#include "drive_replay.hpp"
#include "rclcpp/rclcpp.hpp"
#include "trajectory.hpp"
#include "zendrafell_localisation/zendrafell_localisation.hpp"

using localisation_replay::DriveRow;
using localisation_replay::Pair;
using localisation_replay::Sensor;
using localisation_replay::TruthPoint;

namespace
{

nav_msgs::msg::Odometry estimate(double t, double x, double y, double yaw)
{
  nav_msgs::msg::Odometry o;
  o.header.stamp.sec = static_cast<int32_t>(std::floor(t));
  o.header.stamp.nanosec = static_cast<uint32_t>(std::llround((t - std::floor(t)) * 1e9));
  o.pose.pose.position.x = x;
  o.pose.pose.position.y = y;
  o.pose.pose.orientation.z = std::sin(yaw / 2);
  o.pose.pose.orientation.w = std::cos(yaw / 2);
  return o;
}

// An independent Umeyama (no scale): the SVD of the cross-covariance of the centred points.
Eigen::Matrix3d umeyama(const Eigen::Matrix2Xd& from, const Eigen::Matrix2Xd& to)
{
  const Eigen::Vector2d mf = from.rowwise().mean(), mt = to.rowwise().mean();
  const Eigen::Matrix2d sigma = (to.colwise() - mt) * (from.colwise() - mf).transpose();
  const Eigen::JacobiSVD<Eigen::Matrix2d> svd(sigma, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Eigen::Matrix2d s = Eigen::Matrix2d::Identity();
  if (svd.matrixU().determinant() * svd.matrixV().determinant() < 0) {
    s(1, 1) = -1;
  }
  Eigen::Matrix3d t = Eigen::Matrix3d::Identity();
  t.topLeftCorner<2, 2>() = svd.matrixU() * s * svd.matrixV().transpose();
  t.topRightCorner<2, 1>() = mt - t.topLeftCorner<2, 2>() * mf;
  return t;
}

}  // namespace

TEST(Trajectory, AlignmentRecoversAKnownRotationAndOffsetAndAgreesWithUmeyama)
{
  // A winding estimate; the truth is the same path turned by 0.7 rad and moved by (12, -5), with
  // noise, sampled at a fifth of the rate and a few milliseconds off the estimates' stamps.
  std::mt19937 random(3);
  std::normal_distribution<double> noise(0.0, 0.05);
  std::vector<nav_msgs::msg::Odometry> odometry;
  std::vector<TruthPoint> truth;
  const double angle = 0.7, c = std::cos(angle), s = std::sin(angle);
  double x = 0, y = 0, yaw = 0;
  for (int k = 0; k < 3000; ++k) {
    const double t = 100.0 + k * 0.02;
    yaw += 0.02 * 0.3 * std::sin(k * 0.004);
    x += 0.02 * 1.5 * std::cos(yaw);
    y += 0.02 * 1.5 * std::sin(yaw);
    odometry.push_back(estimate(t, x, y, yaw));
    if (k % 5 == 0) {
      TruthPoint p;
      const double tt = t + 0.003;
      p.sec = static_cast<int32_t>(std::floor(tt));
      p.nanosec = static_cast<uint32_t>(std::llround((tt - std::floor(tt)) * 1e9));
      p.x = c * x - s * y + 12.0 + noise(random);
      p.y = s * x + c * y - 5.0 + noise(random);
      p.has_yaw = true;
      p.yaw = yaw + angle;
      truth.push_back(p);
    }
  }
  const std::vector<Pair> pairs = localisation_replay::associate(truth, odometry, 0.01);
  ASSERT_EQ(pairs.size(), truth.size());
  EXPECT_NEAR(pairs[3].seconds, pairs[3].truth.seconds() - 0.003, 1e-9);
  EXPECT_TRUE(localisation_replay::associate(truth, odometry, 0.001).empty());

  const auto errors = localisation_replay::trajectory_errors(pairs, 10.0);
  EXPECT_NEAR(errors.alignment.angle, angle, 2e-3);
  EXPECT_NEAR(errors.alignment.tx, 12.0, 0.02);
  EXPECT_NEAR(errors.alignment.ty, -5.0, 0.02);

  // The same figures from the independent computation.
  Eigen::Matrix2Xd from(2, pairs.size()), to(2, pairs.size());
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    from.col(static_cast<Eigen::Index>(k)) << pairs[k].x, pairs[k].y;
    to.col(static_cast<Eigen::Index>(k)) << pairs[k].truth.x, pairs[k].truth.y;
  }
  const Eigen::Matrix3d t = umeyama(from, to);
  EXPECT_NEAR(std::atan2(t(1, 0), t(0, 0)), errors.alignment.angle, 1e-12);
  double sum = 0, largest = 0;
  for (Eigen::Index k = 0; k < from.cols(); ++k) {
    const Eigen::Vector2d moved =
      t.topLeftCorner<2, 2>() * from.col(k) + t.topRightCorner<2, 1>();
    const double d = (moved - to.col(k)).norm();
    sum += d * d;
    largest = std::max(largest, d);
  }
  EXPECT_NEAR(errors.ate_rms, std::sqrt(sum / static_cast<double>(from.cols())), 1e-6);
  EXPECT_NEAR(errors.ate_max, largest, 1e-6);
  EXPECT_NEAR(errors.ate_rms, 0.05 * std::sqrt(2.0), 0.01);  // the noise, once aligned
  EXPECT_GT(errors.unaligned_rms, 10.0);

  // RPE over 10 m with headings: for each pair the first one 10 m further along the truth; the
  // relative motions compared in SE(2).
  ASSERT_TRUE(errors.rpe_with_heading);
  double rpe_sum = 0;
  std::size_t segments = 0;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    double along = 0;
    std::size_t j = i + 1;
    for (; j < pairs.size(); ++j) {
      along += std::hypot(pairs[j].truth.x - pairs[j - 1].truth.x,
                          pairs[j].truth.y - pairs[j - 1].truth.y);
      if (along >= 10.0) {
        break;
      }
    }
    if (j >= pairs.size()) {
      break;
    }
    const auto pose = [](double px, double py, double h) {
      Eigen::Matrix3d m = Eigen::Matrix3d::Identity();
      m.topLeftCorner<2, 2>() << std::cos(h), -std::sin(h), std::sin(h), std::cos(h);
      m(0, 2) = px;
      m(1, 2) = py;
      return m;
    };
    const Eigen::Matrix3d de =
      pose(pairs[i].x, pairs[i].y, pairs[i].yaw).inverse() * pose(pairs[j].x, pairs[j].y, pairs[j].yaw);
    const Eigen::Matrix3d dg = pose(pairs[i].truth.x, pairs[i].truth.y, pairs[i].truth.yaw).inverse() *
                               pose(pairs[j].truth.x, pairs[j].truth.y, pairs[j].truth.yaw);
    const Eigen::Matrix3d e = dg.inverse() * de;
    rpe_sum += e(0, 2) * e(0, 2) + e(1, 2) * e(1, 2);
    ++segments;
  }
  EXPECT_EQ(errors.rpe_segments, segments);
  EXPECT_NEAR(errors.rpe_rms, std::sqrt(rpe_sum / static_cast<double>(segments)), 1e-6);

  // Without headings (GPS): displacements compared in the aligned frame.
  std::vector<Pair> positions = pairs;
  for (Pair& p : positions) {
    p.truth.has_yaw = false;
  }
  const auto gps = localisation_replay::trajectory_errors(positions, 10.0);
  EXPECT_FALSE(gps.rpe_with_heading);
  EXPECT_EQ(gps.rpe_segments, segments);
  EXPECT_NEAR(gps.ate_rms, errors.ate_rms, 1e-12);
  EXPECT_LT(gps.rpe_rms, 0.2);
  EXPECT_THROW(localisation_replay::trajectory_errors({pairs[0]}, 10.0), std::invalid_argument);

  // TUM lines: t x y z qx qy qz qw.
  const std::string path = ::testing::TempDir() + "estimate.tum";
  localisation_replay::write_tum(odometry, path);
  std::ifstream in(path);
  double tt, tx, ty, tz, qx, qy, qz, qw;
  ASSERT_TRUE(in >> tt >> tx >> ty >> tz >> qx >> qy >> qz >> qw);
  EXPECT_NEAR(tt, 100.0, 1e-9);
  EXPECT_DOUBLE_EQ(tx, odometry[0].pose.pose.position.x);
  EXPECT_DOUBLE_EQ(qw, odometry[0].pose.pose.orientation.w);
}

TEST(Trajectory, TruthFilesAreCheckedRowByRow)
{
  const auto read = [](const std::string& text) {
    std::istringstream in(text);
    return localisation_replay::read_truth(in, "gps.csv");
  };
  const auto points = read("sec,nanosec,x,y\n10,0,1.5,2\n10,400000000,1.6,2.1\n");
  ASSERT_EQ(points.size(), 2u);
  EXPECT_FALSE(points[1].has_yaw);
  EXPECT_DOUBLE_EQ(points[1].seconds(), 10.4);
  EXPECT_TRUE(read("sec,nanosec,x,y,yaw\n10,0,1,2,0.5\n")[0].has_yaw);
  const auto error_of = [&](const std::string& text) -> std::string {
    try {
      read(text);
    } catch (const localisation_replay::TruthError& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(error_of("sec,nanosec,x,y\n10,0,1,2\n9,0,1,2\n"),
            "gps.csv: line 3: the stamp is not after the previous row's (10.000000000 s): truth "
            "rows must be in stamp order");
  EXPECT_EQ(error_of("sec,nanosec,x,y\n10,0,nan,2\n"),
            "gps.csv: line 2: column \"x\" is not finite: nan");
  EXPECT_NE(error_of("sec,x,y\n10,1,2\n").find("no column \"nanosec\""), std::string::npos);
  EXPECT_NE(error_of("sec,nanosec,x,y\n").find("no truth rows"), std::string::npos);
  EXPECT_NE(error_of("sec,nanosec,x,y\n10,0,1\n").find("\"y\" is not a number"),
            std::string::npos);
}

TEST(Trajectory, SparseTruthAndCovarianceColumnsInADrive)
{
  std::vector<DriveRow> rows;
  std::istringstream in(
    "sec,nanosec,sensor,linear_x,angular_z,accel_x,accel_y,accel_z,gyro_x,gyro_y,gyro_z,"
    "accel_cov,twist_cov,x,y,yaw\n"
    "1,0,encoders,1.0,0,,,,,,,,,0,0,0\n"
    "1,10000000,imu,,,0,0,9.8,0,0,0,0.25 0 0 0 0.25 0 0 0 0.25,,,,\n"
    "1,20000000,wheel_odom,1.0,0.1,,,,,,,,1 0 0 0 0 0 0 1 0 0 0 0 0 0 1 0 0 0 0 0 0 1 0 0 0 0 0 0 "
    "1 0 0 0 0 0 0 1,0.02,0,0\n");
  localisation_replay::read_drive(in, "drive.csv", rows);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_TRUE(rows[0].has_truth);
  EXPECT_FALSE(rows[1].has_truth);
  ASSERT_TRUE(rows[1].covariance);
  EXPECT_EQ(rows[1].covariance->accel[4], 0.25);
  EXPECT_EQ(rows[1].covariance->gyro[0], 0.0);  // an empty cell: unknown
  ASSERT_TRUE(rows[2].covariance);
  EXPECT_EQ(rows[2].covariance->twist[35], 1.0);
  EXPECT_EQ(rows[2].values[5], 0.1);

  const auto row_error = [](const std::string& text) -> std::string {
    std::vector<DriveRow> r;
    std::istringstream s(text);
    try {
      localisation_replay::read_drive(s, "drive.csv", r);
    } catch (const localisation_replay::RowError& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(row_error("sec,nanosec,sensor,accel_x,accel_y,accel_z,gyro_x,gyro_y,gyro_z,accel_cov\n"
                      "1,0,imu,0,0,9.8,0,0,0,1 2 3\n"),
            "row 1 (line 2): column \"accel_cov\" has 3 numbers; a covariance there has 9, "
            "row-major, separated by spaces");
  EXPECT_EQ(row_error("sec,nanosec,linear_x,angular_z,x,y,yaw\n1,0,1,0,1,,\n"),
            "row 1 (line 2): the truth columns x, y and yaw are all given or all empty");
}

TEST(Trajectory, ABagsMessagesBecomeRowsThatReplayAsThemselves)
{
  // The rows a bag's messages make go back out as the same messages: frames, orientation and
  // covariances included.
  sensor_msgs::msg::Imu imu;
  imu.header.stamp.sec = 47;
  imu.header.stamp.nanosec = 580000000;
  imu.header.frame_id = "imu_link";
  imu.linear_acceleration.z = 9.79;
  imu.angular_velocity.z = 0.04;
  const Eigen::Quaterniond q = quaternion_from_euler(0.01, -0.02, 0.362);
  imu.orientation.x = q.x();
  imu.orientation.y = q.y();
  imu.orientation.z = q.z();
  imu.orientation.w = q.w();
  imu.orientation_covariance = {2.6e-7, 0, 0, 0, 2.6e-7, 0, 0, 0, 2.5e-5};
  imu.linear_acceleration_covariance = {2.5e-5, 0, 0, 0, 2.5e-5, 0, 0, 0, 2.5e-5};
  const DriveRow r = localisation_replay::row_of(imu);
  EXPECT_EQ(r.sensor, Sensor::imu);
  EXPECT_EQ(r.frame_id, "imu_link");
  ASSERT_TRUE(r.has_orientation);
  EXPECT_NEAR(r.orientation[2], 0.362, 1e-15);
  ASSERT_TRUE(r.covariance);
  EXPECT_EQ(r.covariance->orientation[8], 2.5e-5);

  nav_msgs::msg::Odometry wheel;
  wheel.header.stamp.sec = 48;
  wheel.child_frame_id = "base_link";
  wheel.twist.twist.linear.x = 1.2;
  wheel.twist.twist.linear.y = 0.01;
  wheel.twist.twist.angular.z = 0.5;
  wheel.twist.covariance[35] = 0.03;
  DriveRow w = localisation_replay::wheel_row_of(wheel);
  EXPECT_EQ(w.linear_x, 1.2);
  EXPECT_EQ(w.values[1], 0.01);
  EXPECT_EQ(w.covariance->twist[35], 0.03);

  std::vector<DriveRow> rows = {w, r};
  localisation_replay::sort_by_stamp(rows);
  EXPECT_EQ(rows[0].sensor, Sensor::imu);
}

TEST(Trajectory, TruthThatMeetsNoEstimateAndARunWithNoRowSayWhy)
{
  std::vector<DriveRow> rows;
  std::istringstream in("sec,nanosec,linear_x,angular_z\n5,0,1,0\n5,20000000,1,0\n"
                        "5,40000000,1,0\n");
  localisation_replay::read_drive(in, "drive.csv", rows);
  localisation_replay::Options options;
  options.truth = {{900, 0, 0.0, 0.0, false, 0.0}, {901, 0, 1.0, 0.0, false, 0.0}};
  const auto result = localisation_replay::replay(rows, LOCALISATION_DEFAULT_CONFIG, {},
                                                  std::nullopt, options);
  EXPECT_FALSE(result.has_trajectory_errors);
  EXPECT_EQ(result.truth_error,
            "0 of 2 truth points lie within 0.1 s of an estimate; aligned errors need two (are "
            "the truth's stamps those of the drive?)");
  // Dead reckoning without truth starts where the node starts.
  ASSERT_TRUE(result.has_dead_reckoning);
  EXPECT_NEAR(result.dead_reckoning_x.back(), 0.04, 1e-12);
  EXPECT_NE(localisation_replay::summary(result).find("dead reckoning of the encoder readings "
                                                      "alone ends 0.0"),
            std::string::npos);

  // A run that failed before its first row.
  localisation_replay::Result nothing;
  nothing.sensors = localisation_replay::Sensors{false, false, false, false};
  EXPECT_EQ(localisation_replay::summary(nothing).rfind("messages: no messages in, 0 odometry", 0),
            0u);
}
