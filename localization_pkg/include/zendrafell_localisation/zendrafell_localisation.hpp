#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include <variant>

#include <Eigen/Geometry>

#include <nlohmann/json.hpp>

#include "builtin_interfaces/msg/time.hpp"
#include "diagnostic_updater/diagnostic_updater.hpp"
#include "geometry_msgs/msg/pose_with_covariance_stamped.hpp"
#include "geometry_msgs/msg/twist_stamped.hpp"
#include "nav_msgs/msg/odometry.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/imu.hpp"
#include "std_srvs/srv/trigger.hpp"
#include "tf2_ros/buffer.h"
#include "tf2_ros/transform_broadcaster.h"
#include "tf2_ros/transform_listener.h"
#include "ukf/Filter.hpp"

/// The default of "ukf_config": the package's configuration in the source tree it was built from
/// when that file is readable, else the installed one under `share_directory` (the source was
/// moved or deleted, or the package came from a binary build).
std::string default_config_path(const std::string& source_tree_config,
                                const std::string& share_directory);

/// A message stamp in seconds: sec + nanosec * 1e-9.
double get_seconds_from_stamp(const builtin_interfaces::msg::Time& stamp);

/// The rotation Rz(yaw) Ry(pitch) Rx(roll), normalised: how the node publishes its Euler angles.
Eigen::Quaterniond quaternion_from_euler(double roll, double pitch, double yaw);

/// Roll, pitch and yaw (rotations about x, y, z, composed as Rz(yaw) Ry(pitch) Rx(roll)) of the
/// rotation `q` (normalised first): the inverse of the conversion the node publishes with. Pitch
/// is in [-pi/2, pi/2]; at exactly +-pi/2, where only roll - yaw (or roll + yaw) is defined, yaw
/// is 0.
Eigen::Vector3d euler_from_quaternion(const Eigen::Quaterniond& q);

/// The localisation node "localisation_node": loads the filter configuration named by the
/// parameter "ukf_config" (default: see default_config_path), turns every
/// geometry_msgs/TwistStamped on "encoder_vel" into one filter update at the message's stamp
/// (forward speed twist.linear.x, yaw rate twist.angular.z into the sensor "encoders") and
/// publishes the estimate as nav_msgs/Odometry on "odometry/filtered".
///
/// Opt-in parameters (their defaults give exactly the behaviour above): "odom_frame" and
/// "base_link_frame" (the published frames, "odom" and "odom_base_link"); "publish_covariance"
/// (the filter's covariance in the message, else zeros); "publish_tf" (the same estimate as the
/// transform odom_frame -> base_link_frame on "/tf"); "imu_topic" (sensor_msgs/Imu fused into the
/// sensor "imu") and "vo_topic" (nav_msgs/Odometry fused into the sensor "vo"), unset by default;
/// "fusion_delay" (seconds messages are held to be fused in stamp order, 0 = at once);
/// "wheel_odom_topic" (nav_msgs/Odometry whose twist.linear.x and twist.angular.z go into the
/// sensor "encoders", as encoder_vel's do); "message_covariance" ("use" a message's covariance
/// as ROS defines it, "ignore" it for the configured noise, or "floor" it at the configured noise);
/// "imu_orientation" ("none", "roll_pitch" or "all" of the IMU's orientation, fused into the
/// sensor "imu_orientation"); "sensor_qos" ("reliable", or "sensor_data" for best-effort
/// encoder_vel and wheel odometry); "diagnostics_*" (the thresholds of the statuses on
/// "/diagnostics"). Every parameter is read once and declared read only, with a description;
/// a decimal one takes a whole number. The node also listens on "set_pose" (see set_pose()) and
/// serves "reset" (std_srvs/Trigger, see reset()), and is registered as a component.
///
/// Frames: an IMU message in a frame other than base_link_frame (or empty) is rotated into it
/// through tf2 (the latest transform; the centripetal part of the lever arm removed from the
/// acceleration); wheel odometry's twist is moved from its child_frame_id to base_link_frame; a
/// visual-odometry pose of child_frame_id in header.frame_id becomes the pose of base_link_frame in
/// odom_frame. A message whose transform is not available is dropped and counted. The node
/// listens on "/tf" and "/tf_static" only when one of these topics is set.
///
/// Start-up throws when the configuration or a parameter cannot be used (the filter's own errors;
/// a configuration without a sensor "encoders" of size 2 or without one of the published fields
/// "Position3D", "Orientation3D", "Velocity3D", "AngularVelocity3D" of size 3; a topic set whose
/// sensor is missing or of the wrong type or size). At run time a message that cannot be used is
/// logged at warn level and dropped; the estimate stays as it was. A message stamped before the
/// latest update is dropped and counted per topic. A stamp more than the parameter
/// "max_time_jump" (seconds, default 60) away from the previous update's, in either direction,
/// restarts the filter from its configuration.
class ZendrafellLocalisationNode : public rclcpp::Node
{
public:
  /// The node's inputs, for the per-topic counts.
  enum class Input { encoders = 0, imu = 1, vo = 2, wheel_odom = 3 };

  /// `options` default to ROS 2's defaults; tests and composition pass parameter overrides here.
  explicit ZendrafellLocalisationNode(const rclcpp::NodeOptions& options = rclcpp::NodeOptions());
  virtual ~ZendrafellLocalisationNode();

  void encoder_callback(std::shared_ptr<geometry_msgs::msg::TwistStamped> msg);
  void imu_callback(std::shared_ptr<sensor_msgs::msg::Imu> msg);
  void vo_callback(std::shared_ptr<nav_msgs::msg::Odometry> msg);
  void wheel_odom_callback(std::shared_ptr<nav_msgs::msg::Odometry> msg);
  void publish_ukf_state(const builtin_interfaces::msg::Time& stamp);

  /// Messages dropped, on every topic (unusable values, late stamps, updates the filter rejected).
  std::size_t dropped_messages() const { return _dropped; }
  /// Messages of `input` dropped because they were stamped before the latest update.
  std::size_t late_messages(Input input) const { return _late[static_cast<int>(input)]; }
  /// Messages of `input` dropped because their frame could not be transformed into the node's
  /// (no transform, a transform that is not a rigid motion, an IMU in the odometry frame).
  std::size_t untransformable_messages(Input input) const
  {
    return _untransformable[static_cast<int>(input)];
  }
  /// Messages that became a filter update (each one published), on every topic.
  std::size_t updates() const { return _updates; }
  /// Restarts of the filter after a time jump.
  std::size_t filter_restarts() const { return _restarts; }
  /// Messages held by "fusion_delay", not fused yet.
  std::size_t held_messages() const { return _held.size(); }
  /// Fuses every held message now, in stamp order (for the end of a recording).
  void flush_held();
  /// What the service "reset" does: restarts the filter from its configuration, discarding what
  /// "fusion_delay" holds, and publishes that estimate at the latest update's stamp (when there
  /// was an update). Returns what the service answers.
  std::string reset();
  /// What a message on "set_pose" does: the fields "Position3D" and "Orientation3D" and their
  /// covariance block take the message's pose and covariance (an entry of zero variance keeps the
  /// filter's; the cross terms with the rest of the state become zero), the rest of the state is
  /// kept, and the estimate is published at once, at the latest update's stamp (the message's
  /// before the first update). Returns why a message was refused (a frame_id other than
  /// odom_frame or empty, a value that is not finite, an orientation that is not a unit
  /// quaternion, a covariance that is not one), or an empty string.
  std::string set_pose(const geometry_msgs::msg::PoseWithCovarianceStamped& msg);
  /// The filter, for diagnostics such as checking its covariance.
  const ukf::Filter& get_filter() const { return _ukf; }
  /// The transforms the node has heard on "/tf" and "/tf_static".
  const tf2_ros::Buffer& transforms() const { return *_tf_buffer; }
  /// The node's statuses on "/diagnostics", published every second ("diagnostic_updater.period");
  /// force_update() publishes them at once.
  diagnostic_updater::Updater& diagnostics() { return *_diagnostics; }

  /// How a message's covariance is used: as ROS defines it, not at all, or never below the
  /// configured noise.
  enum class CovariancePolicy { use, ignore, floor };
  /// Which part of the IMU's orientation is fused.
  enum class ImuOrientation { none, roll_pitch, all };
  /// A sensor's reading and noise, sized once and reused for every message.
  struct SensorScratch
  {
    ukf::VectorX data;
    ukf::MatrixX configured, noise;
  };

private:
  /// Wheel odometry, told apart from visual odometry, which has the same message type.
  struct WheelOdometry
  {
    nav_msgs::msg::Odometry odometry;
  };
  // The alternatives in the order of Input.
  using Message = std::variant<geometry_msgs::msg::TwistStamped, sensor_msgs::msg::Imu,
                               nav_msgs::msg::Odometry, WheelOdometry>;

  void receive(Message msg);
  bool to_base_frame(Message& msg, bool& moved);
  bool lookup(Input input, double stamp, const std::string& target, const std::string& source,
              Eigen::Isometry3d& out);
  void fuse(const Message& msg);
  /// Fuses the oldest held message and keeps its node for the next one held.
  void fuse_oldest_held();
  /// Keeps a released node of the held messages for reuse, up to the bound on what is held.
  void release_held(std::multimap<int64_t, Message>::node_type node);
  void fuse_measurement(Input input, ukf::Measurement& measurement,
                        const builtin_interfaces::msg::Time& stamp);
  void imu_measurement(const sensor_msgs::msg::Imu& msg, ukf::Measurement& measurement);
  void vo_measurement(const nav_msgs::msg::Odometry& msg, ukf::Measurement& measurement);
  void wheel_measurement(const nav_msgs::msg::Odometry& msg, ukf::Measurement& measurement);
  void drop(Input input, double stamp, const std::string& reason);
  void drop_late(Input input, double stamp);
  void drop_untransformable(Input input, double stamp, const std::string& reason);
  void add_diagnostics(const std::string (&topics)[4]);
  void input_status(Input input, diagnostic_updater::DiagnosticStatusWrapper& status);
  void filter_status(diagnostic_updater::DiagnosticStatusWrapper& status);
  void covariance_status(diagnostic_updater::DiagnosticStatusWrapper& status);
  /// OK, WARN or ERROR for something last seen `age` seconds ago (never: negative).
  void age_status(double age, const char* what, diagnostic_updater::DiagnosticStatusWrapper& status);

  ukf::Filter _ukf;
  // Reused for every message, so that fusing one allocates nothing once each sensor has been
  // populated: the measurement, and each sensor's reading and noise.
  ukf::Measurement _measurement;
  SensorScratch _encoder_scratch, _imu_scratch, _imu_orientation_scratch, _vo_scratch;
  ukf::VectorX _field_scratch;
  std::shared_ptr<geometry_msgs::msg::TwistStamped> _enc_message;
  std::shared_ptr<sensor_msgs::msg::Imu> _imu_message;
  std::shared_ptr<nav_msgs::msg::Odometry> _vo_message, _wheel_message;
  std::shared_ptr<rclcpp::Publisher<nav_msgs::msg::Odometry>> _ukf_publisher;
  std::shared_ptr<rclcpp::Subscription<sensor_msgs::msg::Imu>> _imu_subscription;
  std::shared_ptr<rclcpp::Subscription<geometry_msgs::msg::TwistStamped>> _enc_subscription;
  std::shared_ptr<rclcpp::Subscription<nav_msgs::msg::Odometry>> _vo_subscription;
  std::shared_ptr<rclcpp::Subscription<nav_msgs::msg::Odometry>> _wheel_subscription;
  std::shared_ptr<rclcpp::Subscription<geometry_msgs::msg::PoseWithCovarianceStamped>>
    _set_pose_subscription;
  std::shared_ptr<rclcpp::Service<std_srvs::srv::Trigger>> _reset_service;
  std::unique_ptr<tf2_ros::TransformBroadcaster> _tf_broadcaster;
  std::unique_ptr<tf2_ros::Buffer> _tf_buffer;
  std::unique_ptr<tf2_ros::TransformListener> _tf_listener;
  int _enc_counter = 0;
  int _imu_counter = 0;
  int _vo_counter = 0;
  int _wheel_counter = 0;
  CovariancePolicy _covariance_policy = CovariancePolicy::use;
  ImuOrientation _imu_orientation = ImuOrientation::none;

  nlohmann::json _config;  // kept to restart the filter exactly as it started
  std::string _config_path;
  double _max_time_jump = 60.0;
  std::string _odom_frame = "odom";
  std::string _base_link_frame = "odom_base_link";
  bool _publish_covariance = false;
  double _fusion_delay = 0.0;
  bool _has_last_time = false;
  double _last_time = 0.0;
  builtin_interfaces::msg::Time _last_stamp;
  std::size_t _dropped = 0;
  std::size_t _updates = 0;
  std::size_t _restarts = 0;
  std::array<std::size_t, 4> _late{};
  std::array<std::chrono::steady_clock::time_point, 4> _late_warned{};
  std::array<std::size_t, 4> _untransformable{};
  std::array<std::chrono::steady_clock::time_point, 4> _untransformable_warned{};
  std::array<std::chrono::steady_clock::time_point, 4> _unstamped_warned{};

  // Diagnostics: per input, messages received, dropped and when the last arrived (wall time);
  // each report's rates are over the time since the previous report.
  std::unique_ptr<diagnostic_updater::Updater> _diagnostics;
  struct Thresholds
  {
    double stale_warn = 1.0, stale_error = 5.0;  // s without a message or an update
    double dropped_share = 0.1;                  // of an input's messages since the last report
    double position_sd = 10.0, heading_sd = 0.5;  // m and rad
  } _thresholds;
  std::array<std::size_t, 4> _received{}, _dropped_by{};
  std::array<std::chrono::steady_clock::time_point, 4> _last_received{};
  std::array<std::size_t, 4> _reported_received{}, _reported_dropped{};
  std::array<std::chrono::steady_clock::time_point, 4> _reported_at{};
  std::chrono::steady_clock::time_point _last_update;
  std::size_t _reported_restarts = 0;

  // Held messages by stamp (nanoseconds); equal stamps keep their order of arrival.
  std::multimap<int64_t, Message> _held;
  std::vector<std::multimap<int64_t, Message>::node_type> _spare_held;  // released, for reuse
  bool _has_newest = false;
  builtin_interfaces::msg::Time _newest;  // the newest stamp seen while holding
  int64_t _fusion_delay_ns = 0;
};
