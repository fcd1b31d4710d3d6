#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "builtin_interfaces/msg/time.hpp"
#include "geometry_msgs/msg/twist_stamped.hpp"
#include "nav_msgs/msg/odometry.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/imu.hpp"
#include "ukf/Filter.hpp"

/// The default of "ukf_config": the package's configuration in the source tree it was built from
/// when that file is readable, else the installed one under `share_directory` (the source was
/// moved or deleted, or the package came from a binary build).
std::string default_config_path(const std::string& source_tree_config,
                                const std::string& share_directory);

/// A message stamp in seconds: sec + nanosec * 1e-9.
double get_seconds_from_stamp(const builtin_interfaces::msg::Time& stamp);

/// The localisation node "localisation_node": loads the filter configuration named by the
/// parameter "ukf_config" (default: see default_config_path), turns every
/// geometry_msgs/TwistStamped on "encoder_vel" into one filter update at the message's stamp
/// (forward speed twist.linear.x, yaw rate twist.angular.z into the sensor "encoders") and
/// publishes the estimate as nav_msgs/Odometry on "odometry/filtered" (frames "odom" and
/// "odom_base_link", zero covariances).
///
/// Start-up throws when the configuration cannot be used (the filter's own errors, or a
/// configuration without a sensor "encoders" of size 2 or without one of the published fields
/// "Position3D", "Orientation3D", "Velocity3D", "AngularVelocity3D" of size 3). At run time a
/// message that cannot be used is logged at warn level and dropped; the estimate stays as it
/// was. A stamp more than the parameter "max_time_jump" (seconds, default 60) away from the
/// previous update's, in either direction, restarts the filter from its configuration.
class ZendrafellLocalisationNode : public rclcpp::Node
{
public:
  /// `options` default to ROS 2's defaults; tests and composition pass parameter overrides here.
  explicit ZendrafellLocalisationNode(const rclcpp::NodeOptions& options = rclcpp::NodeOptions());
  virtual ~ZendrafellLocalisationNode();

  void encoder_callback(std::shared_ptr<geometry_msgs::msg::TwistStamped> msg);
  void imu_callback(std::shared_ptr<sensor_msgs::msg::Imu> msg);
  void vo_callback(std::shared_ptr<nav_msgs::msg::Odometry> msg);
  void publish_ukf_state(const builtin_interfaces::msg::Time& stamp);

  /// Encoder messages dropped (unusable values, stamps going back, updates the filter rejected).
  std::size_t dropped_messages() const { return _dropped; }
  /// Encoder messages that became a filter update (each one published).
  std::size_t updates() const { return _updates; }
  /// Restarts of the filter after a time jump.
  std::size_t filter_restarts() const { return _restarts; }
  /// The filter, for diagnostics such as checking its covariance.
  const ukf::Filter& get_filter() const { return _ukf; }

private:
  void handle_encoder(const geometry_msgs::msg::TwistStamped& msg);
  void drop(double stamp, const std::string& reason);

  ukf::Filter _ukf;
  std::shared_ptr<rclcpp::Publisher<nav_msgs::msg::Odometry>> _ukf_publisher;
  // The inertial and visual-odometry handlers exist but no topic is bound to them: the vehicle
  // fuses its wheel encoders only.
  std::shared_ptr<rclcpp::Subscription<sensor_msgs::msg::Imu>> _imu_subscription;
  std::shared_ptr<rclcpp::Subscription<geometry_msgs::msg::TwistStamped>> _enc_subscription;
  std::shared_ptr<rclcpp::Subscription<nav_msgs::msg::Odometry>> _vo_subscription;
  int _enc_counter = 0;
  int _imu_counter = 0;
  int _vo_counter = 0;

  nlohmann::json _config;  // kept to restart the filter exactly as it started
  double _max_time_jump = 60.0;
  bool _has_last_time = false;
  double _last_time = 0.0;
  std::size_t _dropped = 0;
  std::size_t _updates = 0;
  std::size_t _restarts = 0;
};
