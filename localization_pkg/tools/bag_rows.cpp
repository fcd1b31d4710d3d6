// Messages as replay rows: shared by the bag reader and its tests, in every build.
#include <algorithm>
#include <memory>

#include "bag.hpp"
#include "zendrafell_localisation/zendrafell_localisation.hpp"

namespace localisation_replay
{

namespace
{

DriveRow stamped(Sensor sensor, const builtin_interfaces::msg::Time& stamp)
{
  DriveRow r;
  r.sensor = sensor;
  r.sec = stamp.sec;
  r.nanosec = stamp.nanosec;
  return r;
}

template <std::size_t N>
bool any_number(const std::array<double, N>& a)
{
  return std::any_of(a.begin(), a.end(), [](double v) { return v != 0.0; });
}

}  // namespace

DriveRow row_of(const geometry_msgs::msg::TwistStamped& m)
{
  DriveRow r = stamped(Sensor::encoders, m.header.stamp);
  r.linear_x = m.twist.linear.x;
  r.angular_z = m.twist.angular.z;
  return r;
}

DriveRow row_of(const sensor_msgs::msg::Imu& m)
{
  DriveRow r = stamped(Sensor::imu, m.header.stamp);
  r.frame_id = m.header.frame_id;
  const auto& a = m.linear_acceleration;
  const auto& w = m.angular_velocity;
  r.values = {a.x, a.y, a.z, w.x, w.y, w.z};
  if (m.orientation_covariance[0] != -1.0) {
    const auto& q = m.orientation;
    const Eigen::Vector3d e = euler_from_quaternion(Eigen::Quaterniond(q.w, q.x, q.y, q.z));
    r.has_orientation = true;
    r.orientation = {e(0), e(1), e(2)};
  }
  if (any_number(m.linear_acceleration_covariance) || any_number(m.angular_velocity_covariance) ||
      (r.has_orientation && any_number(m.orientation_covariance))) {
    auto c = std::make_shared<RowCovariance>();
    c->accel = m.linear_acceleration_covariance;
    c->gyro = m.angular_velocity_covariance;
    c->orientation = m.orientation_covariance;
    r.covariance = std::move(c);
  }
  return r;
}

DriveRow vo_row_of(const nav_msgs::msg::Odometry& m)
{
  DriveRow r = stamped(Sensor::vo, m.header.stamp);
  r.frame_id = m.header.frame_id;
  r.child_frame_id = m.child_frame_id;
  const auto& p = m.pose.pose.position;
  const auto& q = m.pose.pose.orientation;
  const Eigen::Vector3d e = euler_from_quaternion(Eigen::Quaterniond(q.w, q.x, q.y, q.z));
  r.values = {p.x, p.y, p.z, e(0), e(1), e(2)};
  if (any_number(m.pose.covariance)) {
    auto c = std::make_shared<RowCovariance>();
    c->pose = m.pose.covariance;
    r.covariance = std::move(c);
  }
  return r;
}

DriveRow wheel_row_of(const nav_msgs::msg::Odometry& m)
{
  DriveRow r = stamped(Sensor::wheel_odom, m.header.stamp);
  r.child_frame_id = m.child_frame_id;
  const auto& v = m.twist.twist.linear;
  const auto& w = m.twist.twist.angular;
  r.values = {v.x, v.y, v.z, w.x, w.y, w.z};
  r.linear_x = v.x;
  r.angular_z = w.z;
  if (any_number(m.twist.covariance)) {
    auto c = std::make_shared<RowCovariance>();
    c->twist = m.twist.covariance;
    r.covariance = std::move(c);
  }
  return r;
}

void sort_by_stamp(std::vector<DriveRow>& rows)
{
  std::stable_sort(rows.begin(), rows.end(), [](const DriveRow& a, const DriveRow& b) {
    return std::make_pair(a.sec, a.nanosec) < std::make_pair(b.sec, b.nanosec);
  });
}

}  // namespace localisation_replay
