#include "zendrafell_localisation/zendrafell_localisation.hpp"

#include <cmath>
#include <exception>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Geometry>

#include "ament_index_cpp/get_package_share_directory.hpp"

namespace
{

const std::string kEncoders = "encoders";
const char* const kPublishedFields[] = {"Position3D", "Orientation3D", "Velocity3D",
                                        "AngularVelocity3D"};

// The node fills the sensor "encoders" and publishes four 3-entry fields: a configuration
// without them is refused before anything is published or subscribed.
void check_node_contract(const ukf::Filter& filter, const std::string& path)
{
  const ukf::Measurement measurement = filter.get_empty_measurement();
  bool found = false;
  try {
    found = measurement.sensor_size(kEncoders) == 2;
  } catch (const std::runtime_error&) {
    found = false;
  }
  if (!found) {
    throw std::runtime_error("Invalid config: " + path +
                             ": the node needs a sensor named \"encoders\" of size 2");
  }
  const ukf::State state = filter.get_state();
  for (const char* name : kPublishedFields) {
    std::size_t size = 0;
    bool present = false;
    for (std::size_t i = 0; i < state.number_of_fields(); ++i) {
      if (state.field(i).has_name(name)) {
        present = true;
        size = state.field(i).get_size();
        break;
      }
    }
    if (!present || size != 3) {
      throw std::runtime_error("Invalid config: " + path + ": the node publishes the field \"" +
                               name + "\", which must be in the state with 3 entries" +
                               (present ? " (it has " + std::to_string(size) + ")" : ""));
    }
  }
}

}  // namespace

std::string default_config_path(const std::string& source_tree_config,
                                const std::string& share_directory)
{
  if (std::ifstream(source_tree_config).good()) {
    return source_tree_config;
  }
  return share_directory + "/config/localisation_config.json";
}

double get_seconds_from_stamp(const builtin_interfaces::msg::Time& stamp)
{
  return static_cast<double>(stamp.sec) + stamp.nanosec * 1e-9;
}

ZendrafellLocalisationNode::ZendrafellLocalisationNode(const rclcpp::NodeOptions& options)
  : rclcpp::Node("localisation_node", options)
{
  // Fails with the index's own error when the package is not installed.
  const std::string share = ament_index_cpp::get_package_share_directory("localization_pkg");

  const std::string config_path = this->declare_parameter<std::string>(
    "ukf_config", default_config_path(LOCALISATION_DEFAULT_CONFIG, share));
  _max_time_jump = this->declare_parameter<double>("max_time_jump", 60.0);
  if (!(std::isfinite(_max_time_jump) && _max_time_jump > 0.0)) {
    throw std::invalid_argument("parameter 'max_time_jump' must be a positive number of seconds");
  }
  const bool strict_config = this->declare_parameter<bool>("strict_config", false);
  RCLCPP_INFO(this->get_logger(), "Config used for UKF: %s", config_path.c_str());

  _config = ukf::config::load_file(config_path);
  // A key no reader knows is most likely a typo that silently leaves a default in place.
  const std::vector<std::string> unknown = ukf::config::unknown_keys(_config);
  for (const std::string& message : unknown) {
    RCLCPP_WARN(this->get_logger(), "%s: %s", config_path.c_str(), message.c_str());
  }
  if (strict_config && !unknown.empty()) {
    throw std::runtime_error("Invalid config: " + config_path + ": " + unknown.front() +
                             (unknown.size() > 1 ? " (and " + std::to_string(unknown.size() - 1) +
                                                     " more unknown keys)"
                                                 : std::string()) +
                             "; strict_config refuses unknown keys");
  }
  _ukf = ukf::Filter(_config);
  check_node_contract(_ukf, config_path);

  _ukf_publisher = this->create_publisher<nav_msgs::msg::Odometry>("odometry/filtered", 10);
  // Bound through a lambda on const Msg&, the form Humble accepts without deprecation.
  _enc_subscription = this->create_subscription<geometry_msgs::msg::TwistStamped>(
    "encoder_vel", 10, [this](const geometry_msgs::msg::TwistStamped& msg) {
      encoder_callback(std::make_shared<geometry_msgs::msg::TwistStamped>(msg));
    });
}

ZendrafellLocalisationNode::~ZendrafellLocalisationNode() = default;

void ZendrafellLocalisationNode::encoder_callback(
  std::shared_ptr<geometry_msgs::msg::TwistStamped> msg)
{
  RCLCPP_INFO(this->get_logger(), "Received encoder data, counter: %d", _enc_counter);
  ++_enc_counter;
  // The node never dies on a message: whatever goes wrong drops that message only.
  try {
    handle_encoder(*msg);
  } catch (const std::exception& e) {
    drop(get_seconds_from_stamp(msg->header.stamp), e.what());
  }
}

void ZendrafellLocalisationNode::handle_encoder(const geometry_msgs::msg::TwistStamped& msg)
{
  const double t = get_seconds_from_stamp(msg.header.stamp);
  const double speed = msg.twist.linear.x;
  const double yaw_rate = msg.twist.angular.z;
  if (!std::isfinite(speed) || !std::isfinite(yaw_rate)) {
    drop(t, "the twist is not finite (linear.x " + std::to_string(speed) + ", angular.z " +
              std::to_string(yaw_rate) + ")");
    return;
  }
  if (_has_last_time) {
    if (std::abs(t - _last_time) > _max_time_jump) {
      RCLCPP_WARN(this->get_logger(),
                  "Time jumped from %.9f s to %.9f s, more than max_time_jump (%g s): "
                  "restarting the filter from its configuration",
                  _last_time, t, _max_time_jump);
      _ukf = ukf::Filter(_config);
      _has_last_time = false;
      ++_restarts;
    } else if (t < _last_time) {
      drop(t, "its stamp is earlier than the previous update's (" + std::to_string(_last_time) +
                " s)");
      return;
    }
  }

  ukf::VectorX data(2);
  data << speed, yaw_rate;
  ukf::Measurement measurement = _ukf.get_empty_measurement();
  measurement.sensor_populate(kEncoders, data);
  _ukf.update(std::move(measurement), t);
  _has_last_time = true;
  _last_time = t;
  ++_updates;
  publish_ukf_state(msg.header.stamp);
}

void ZendrafellLocalisationNode::drop(double stamp, const std::string& reason)
{
  ++_dropped;
  RCLCPP_WARN(this->get_logger(), "Dropped encoder message stamped %.9f s: %s", stamp,
              reason.c_str());
}

void ZendrafellLocalisationNode::imu_callback(std::shared_ptr<sensor_msgs::msg::Imu> /*msg*/)
{
  RCLCPP_INFO(this->get_logger(), "Received IMU data, counter: %d", _imu_counter);
  ++_imu_counter;
}

void ZendrafellLocalisationNode::vo_callback(std::shared_ptr<nav_msgs::msg::Odometry> /*msg*/)
{
  RCLCPP_INFO(this->get_logger(), "Received visual odometry data, counter: %d", _vo_counter);
  ++_vo_counter;
}

void ZendrafellLocalisationNode::publish_ukf_state(const builtin_interfaces::msg::Time& stamp)
{
  const ukf::State state = _ukf.get_state();
  nav_msgs::msg::Odometry odom;
  odom.header.stamp = stamp;
  odom.header.frame_id = "odom";
  odom.child_frame_id = "odom_base_link";

  const ukf::VectorX position = state["Position3D"];
  odom.pose.pose.position.x = position(0);
  odom.pose.pose.position.y = position(1);
  odom.pose.pose.position.z = position(2);

  // Body to world: Rz(e2) * Ry(e1) * Rx(e0).
  const ukf::VectorX e = state["Orientation3D"];
  Eigen::Quaterniond q = Eigen::AngleAxisd(e(2), Eigen::Vector3d::UnitZ()) *
                         Eigen::AngleAxisd(e(1), Eigen::Vector3d::UnitY()) *
                         Eigen::AngleAxisd(e(0), Eigen::Vector3d::UnitX());
  q.normalize();
  odom.pose.pose.orientation.x = q.x();
  odom.pose.pose.orientation.y = q.y();
  odom.pose.pose.orientation.z = q.z();
  odom.pose.pose.orientation.w = q.w();

  const ukf::VectorX velocity = state["Velocity3D"];
  odom.twist.twist.linear.x = velocity(0);
  odom.twist.twist.linear.y = velocity(1);
  odom.twist.twist.linear.z = velocity(2);
  const ukf::VectorX angular = state["AngularVelocity3D"];
  odom.twist.twist.angular.x = angular(0);
  odom.twist.twist.angular.y = angular(1);
  odom.twist.twist.angular.z = angular(2);

  _ukf_publisher->publish(odom);
  RCLCPP_INFO(this->get_logger(), "Published state!");
}
