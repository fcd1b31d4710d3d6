#include "zendrafell_localisation/zendrafell_localisation.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Cholesky>
#include <Eigen/Geometry>

#include "ament_index_cpp/get_package_share_directory.hpp"
#include "ukf/helpers.hpp"
#include "ukf/sensors/VO.hpp"
#include "ukf/sensors/imu.hpp"

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

const std::string kImu = "imu";
const std::string kVo = "vo";
constexpr double kGravity = 9.80665;  // m/s^2, along the world's -z
// A block the message marks as not measured: the current estimate with this variance, so that
// it carries no information.
constexpr double kUnmeasuredVariance = 1e12;
// A bound on the messages "fusion_delay" holds, whatever the stamps: the oldest are fused first.
constexpr std::size_t kMaxHeld = 2000;

const char* input_name(ZendrafellLocalisationNode::Input input)
{
  switch (input) {
    case ZendrafellLocalisationNode::Input::imu:
      return "IMU";
    case ZendrafellLocalisationNode::Input::vo:
      return "visual odometry";
    default:
      return "encoder";
  }
}

// A frame id that tf2 accepts: not empty, no leading '/', no white space.
void check_frame(const std::string& parameter, const std::string& frame)
{
  if (frame.empty() || frame.front() == '/' ||
      std::any_of(frame.begin(), frame.end(), [](char c) { return std::isspace(
                                                              static_cast<unsigned char>(c)); })) {
    throw std::invalid_argument("parameter '" + parameter + "' must be a frame id without a leading "
                                "'/' or white space, got \"" + frame + "\"");
  }
}

// A topic that is set must have its sensor, of the right type and size, in the configuration.
template <typename SensorType>
void check_topic_sensor(const ukf::Filter& filter, const std::string& path,
                        const std::string& parameter, const std::string& topic,
                        const std::string& sensor, const char* type, int size)
{
  const std::string what = "parameter '" + parameter + "' is \"" + topic +
                           "\", but the configuration " + path;
  const ukf::Measurement measurement = filter.get_empty_measurement();
  for (std::size_t i = 0; i < measurement.number_of_sensors(); ++i) {
    const ukf::ISensor& s = measurement.get_sensor(static_cast<int>(i));
    if (!s.has_name(sensor)) {
      continue;
    }
    if (dynamic_cast<const SensorType*>(&s) == nullptr) {
      throw std::runtime_error(what + " has a sensor \"" + sensor + "\" that is not of type \"" +
                               type + "\"");
    }
    if (s.get_size() != size) {
      throw std::runtime_error(what + " has the sensor \"" + sensor + "\" with size " +
                               std::to_string(s.get_size()) + "; it must be " +
                               std::to_string(size));
    }
    return;
  }
  throw std::runtime_error(what + " has no sensor named \"" + sensor + "\" (type \"" + type +
                           "\", size " + std::to_string(size) + ")");
}

std::string bare_topic(const std::string& topic)
{
  return !topic.empty() && topic.front() == '/' ? topic.substr(1) : topic;
}

// What a message's covariance says, in ROS's conventions: all zeros means unknown (use the
// configured noise), a first element of -1 means not measured.
enum class Covariance { configured, given, not_measured };

template <std::size_t N>
Covariance read_covariance(const std::array<double, N * N>& a, const char* field,
                           Eigen::Matrix<double, N, N>& out)
{
  if (a[0] == -1.0) {
    return Covariance::not_measured;
  }
  if (std::all_of(a.begin(), a.end(), [](double v) { return v == 0.0; })) {
    return Covariance::configured;
  }
  for (std::size_t r = 0; r < N; ++r) {
    for (std::size_t c = 0; c < N; ++c) {
      out(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c)) = a[r * N + c];
    }
  }
  const bool symmetric = out.allFinite() && (out - out.transpose()).cwiseAbs().maxCoeff() <=
                                              1e-9 * out.cwiseAbs().maxCoeff();
  if (!symmetric || Eigen::LLT<Eigen::Matrix<double, N, N>>(out).info() != Eigen::Success) {
    throw std::invalid_argument(std::string(field) +
                                " is neither all zeros (unknown), nor -1 first (not measured), nor "
                                "a finite symmetric positive-definite matrix");
  }
  return Covariance::given;
}

bool finite(const geometry_msgs::msg::Vector3& v)
{
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

std::string text(const geometry_msgs::msg::Vector3& v)
{
  return "(" + std::to_string(v.x) + ", " + std::to_string(v.y) + ", " + std::to_string(v.z) + ")";
}

// The quaternion of a pose, normalised; throws when it has no direction.
Eigen::Quaterniond pose_rotation(const geometry_msgs::msg::Quaternion& q)
{
  const Eigen::Quaterniond r(q.w, q.x, q.y, q.z);
  const double norm = r.norm();
  if (!std::isfinite(norm) || !(norm > 1e-9)) {
    throw std::invalid_argument("pose.pose.orientation is not a usable quaternion (norm " +
                                std::to_string(norm) + ")");
  }
  return r.normalized();
}

// What an IMU message holds, checked; throws naming the field that cannot be used.
struct ImuReading
{
  Eigen::Vector3d specific_force, angular_velocity;
  Covariance kinds[2];  // linear acceleration, angular velocity
  Eigen::Matrix3d blocks[2];
};

ImuReading read_imu(const sensor_msgs::msg::Imu& msg)
{
  if (!finite(msg.linear_acceleration)) {
    throw std::invalid_argument("linear_acceleration is not finite " +
                                text(msg.linear_acceleration));
  }
  if (!finite(msg.angular_velocity)) {
    throw std::invalid_argument("angular_velocity is not finite " + text(msg.angular_velocity));
  }
  ImuReading r;
  r.specific_force << msg.linear_acceleration.x, msg.linear_acceleration.y,
    msg.linear_acceleration.z;
  r.angular_velocity << msg.angular_velocity.x, msg.angular_velocity.y, msg.angular_velocity.z;
  r.kinds[0] = read_covariance<3>(msg.linear_acceleration_covariance,
                                  "linear_acceleration_covariance", r.blocks[0]);
  r.kinds[1] = read_covariance<3>(msg.angular_velocity_covariance, "angular_velocity_covariance",
                                  r.blocks[1]);
  if (r.kinds[0] == Covariance::not_measured && r.kinds[1] == Covariance::not_measured) {
    throw std::invalid_argument("neither linear acceleration nor angular velocity is measured "
                                "(both covariances start with -1)");
  }
  return r;
}

// What a visual-odometry message holds: position, then roll, pitch and yaw; checked likewise.
struct VoReading
{
  Eigen::Matrix<double, 6, 1> pose;
  bool covariance_given = false;
  Eigen::Matrix<double, 6, 6> covariance;
};

VoReading read_vo(const nav_msgs::msg::Odometry& msg)
{
  const auto& p = msg.pose.pose.position;
  if (!(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z))) {
    throw std::invalid_argument("pose.pose.position is not finite (" + std::to_string(p.x) + ", " +
                                std::to_string(p.y) + ", " + std::to_string(p.z) + ")");
  }
  VoReading r;
  r.pose << p.x, p.y, p.z, euler_from_quaternion(pose_rotation(msg.pose.pose.orientation));
  const Covariance kind = read_covariance<6>(msg.pose.covariance, "pose.covariance", r.covariance);
  if (kind == Covariance::not_measured) {
    throw std::invalid_argument("pose.covariance starts with -1: the pose is not measured");
  }
  r.covariance_given = kind == Covariance::given;
  return r;
}

Eigen::Quaterniond rotation_of(const ukf::VectorX& e)
{
  return quaternion_from_euler(e(0), e(1), e(2));
}

int64_t stamp_key(const builtin_interfaces::msg::Time& stamp)
{
  return static_cast<int64_t>(stamp.sec) * 1000000000 + static_cast<int64_t>(stamp.nanosec);
}

const builtin_interfaces::msg::Time& stamp_of(const std::variant<
                                               geometry_msgs::msg::TwistStamped,
                                               sensor_msgs::msg::Imu, nav_msgs::msg::Odometry>& m)
{
  return std::visit([](const auto& msg) -> const builtin_interfaces::msg::Time& {
    return msg.header.stamp;
  }, m);
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

Eigen::Quaterniond quaternion_from_euler(double roll, double pitch, double yaw)
{
  Eigen::Quaterniond q = Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ()) *
                         Eigen::AngleAxisd(pitch, Eigen::Vector3d::UnitY()) *
                         Eigen::AngleAxisd(roll, Eigen::Vector3d::UnitX());
  q.normalize();
  return q;
}

Eigen::Vector3d euler_from_quaternion(const Eigen::Quaterniond& q)
{
  const Eigen::Matrix3d r = q.normalized().toRotationMatrix();
  const double cos_pitch = std::hypot(r(0, 0), r(1, 0));
  const double pitch = std::atan2(-r(2, 0), cos_pitch);
  double yaw = 0.0, roll = 0.0;
  if (cos_pitch > 1e-5) {
    yaw = std::atan2(r(1, 0), r(0, 0));
    roll = std::atan2(r(2, 1), r(2, 2));
  } else {
    // Near +-90 degrees of pitch only roll - yaw (pitch up) or roll + yaw (pitch down) is well
    // defined, by entries of size one; yaw is kept as far as it is known and roll completes it.
    yaw = cos_pitch > 0.0 ? std::atan2(r(1, 0), r(0, 0)) : 0.0;
    roll = r(2, 0) < 0.0 ? yaw + std::atan2(r(0, 1), r(1, 1))
                         : std::atan2(-r(0, 1), r(1, 1)) - yaw;
  }
  return {ukf::wrap_angle(roll), pitch, ukf::wrap_angle(yaw)};
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
  _odom_frame = this->declare_parameter<std::string>("odom_frame", "odom");
  _base_link_frame = this->declare_parameter<std::string>("base_link_frame", "odom_base_link");
  check_frame("odom_frame", _odom_frame);
  check_frame("base_link_frame", _base_link_frame);
  if (_odom_frame == _base_link_frame) {
    throw std::invalid_argument("parameters 'odom_frame' and 'base_link_frame' must differ (both "
                                "are \"" + _odom_frame + "\")");
  }
  _publish_covariance = this->declare_parameter<bool>("publish_covariance", false);
  const bool publish_tf = this->declare_parameter<bool>("publish_tf", false);
  const std::string imu_topic = this->declare_parameter<std::string>("imu_topic", "");
  const std::string vo_topic = this->declare_parameter<std::string>("vo_topic", "");
  _fusion_delay = this->declare_parameter<double>("fusion_delay", 0.0);
  if (!(std::isfinite(_fusion_delay) && _fusion_delay >= 0.0 && _fusion_delay < _max_time_jump)) {
    throw std::invalid_argument("parameter 'fusion_delay' must be a number of seconds from 0 up to "
                                "'max_time_jump' (" + std::to_string(_max_time_jump) +
                                " s), got " + std::to_string(_fusion_delay));
  }
  // Beyond a century every stamp a message can carry is within the delay.
  _fusion_delay_ns = static_cast<int64_t>(std::llround(std::min(_fusion_delay, 4e9) * 1e9));
  for (const auto& [parameter, topic] : {std::pair{"imu_topic", imu_topic},
                                         std::pair{"vo_topic", vo_topic}}) {
    for (const char* taken : {"encoder_vel", "odometry/filtered"}) {
      if (!topic.empty() && bare_topic(topic) == taken) {
        throw std::invalid_argument("parameter '" + std::string(parameter) + "' must not be \"" +
                                    topic + "\", the node's own topic");
      }
    }
  }
  if (!imu_topic.empty() && bare_topic(imu_topic) == bare_topic(vo_topic)) {
    throw std::invalid_argument("parameters 'imu_topic' and 'vo_topic' must differ (both are \"" +
                                imu_topic + "\")");
  }
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
  if (!imu_topic.empty()) {
    check_topic_sensor<ukf::Imu>(_ukf, config_path, "imu_topic", imu_topic, kImu, "IMU", 6);
  }
  if (!vo_topic.empty()) {
    check_topic_sensor<ukf::VO>(_ukf, config_path, "vo_topic", vo_topic, kVo, "VO", 6);
  }

  _ukf_publisher = this->create_publisher<nav_msgs::msg::Odometry>("odometry/filtered", 10);
  if (publish_tf) {
    _tf_broadcaster = std::make_unique<tf2_ros::TransformBroadcaster>(this);
  }
  // Bound through a lambda on const Msg&, the form Humble accepts without deprecation.
  _enc_subscription = this->create_subscription<geometry_msgs::msg::TwistStamped>(
    "encoder_vel", 10, [this](const geometry_msgs::msg::TwistStamped& msg) {
      encoder_callback(std::make_shared<geometry_msgs::msg::TwistStamped>(msg));
    });
  // Sensor drivers often publish best effort, which a reliable subscription would never hear: the
  // sensor-data profile takes both. The inertial unit runs faster than the encoders: a deeper
  // queue.
  try {
    if (!imu_topic.empty()) {
      _imu_subscription = this->create_subscription<sensor_msgs::msg::Imu>(
        imu_topic, rclcpp::SensorDataQoS().keep_last(50), [this](const sensor_msgs::msg::Imu& msg) {
          imu_callback(std::make_shared<sensor_msgs::msg::Imu>(msg));
        });
    }
  } catch (const std::exception& e) {
    throw std::invalid_argument("parameter 'imu_topic': " + std::string(e.what()));
  }
  try {
    if (!vo_topic.empty()) {
      _vo_subscription = this->create_subscription<nav_msgs::msg::Odometry>(
        vo_topic, rclcpp::SensorDataQoS().keep_last(10), [this](const nav_msgs::msg::Odometry& msg) {
          vo_callback(std::make_shared<nav_msgs::msg::Odometry>(msg));
        });
    }
  } catch (const std::exception& e) {
    throw std::invalid_argument("parameter 'vo_topic': " + std::string(e.what()));
  }
}

ZendrafellLocalisationNode::~ZendrafellLocalisationNode() = default;

void ZendrafellLocalisationNode::encoder_callback(
  std::shared_ptr<geometry_msgs::msg::TwistStamped> msg)
{
  RCLCPP_INFO(this->get_logger(), "Received encoder data, counter: %d", _enc_counter);
  ++_enc_counter;
  receive(*msg);
}

void ZendrafellLocalisationNode::imu_callback(std::shared_ptr<sensor_msgs::msg::Imu> msg)
{
  RCLCPP_INFO(this->get_logger(), "Received IMU data, counter: %d", _imu_counter);
  ++_imu_counter;
  if (_imu_subscription) {  // without "imu_topic" the handler only counts
    receive(*msg);
  }
}

void ZendrafellLocalisationNode::vo_callback(std::shared_ptr<nav_msgs::msg::Odometry> msg)
{
  RCLCPP_INFO(this->get_logger(), "Received visual odometry data, counter: %d", _vo_counter);
  ++_vo_counter;
  if (_vo_subscription) {  // without "vo_topic" the handler only counts
    receive(*msg);
  }
}

// A message whose content cannot be used is dropped on arrival; the rest are fused at once, or
// held by "fusion_delay" and fused in stamp order.
void ZendrafellLocalisationNode::receive(Message msg)
{
  const auto input = static_cast<Input>(msg.index());
  const double t = get_seconds_from_stamp(stamp_of(msg));
  // The node never dies on a message: whatever goes wrong drops that message only.
  try {
    if (const auto* m = std::get_if<geometry_msgs::msg::TwistStamped>(&msg)) {
      const double speed = m->twist.linear.x;
      const double yaw_rate = m->twist.angular.z;
      if (!std::isfinite(speed) || !std::isfinite(yaw_rate)) {
        throw std::invalid_argument("the twist is not finite (linear.x " + std::to_string(speed) +
                                    ", angular.z " + std::to_string(yaw_rate) + ")");
      }
    } else if (const auto* imu = std::get_if<sensor_msgs::msg::Imu>(&msg)) {
      read_imu(*imu);
    } else {
      read_vo(std::get<nav_msgs::msg::Odometry>(msg));
    }
  } catch (const std::exception& e) {
    drop(input, t, e.what());
    return;
  }
  if (!(_fusion_delay > 0.0)) {
    fuse(msg);
    return;
  }
  // A jump of the clock ends the held timeline: what was held is fused first.
  const int64_t key = stamp_key(stamp_of(msg));
  if (_has_newest && std::abs(t - get_seconds_from_stamp(_newest)) > _max_time_jump) {
    flush_held();
    _newest = stamp_of(msg);
  } else if (!_has_newest || key > stamp_key(_newest)) {
    _newest = stamp_of(msg);
  }
  _has_newest = true;
  _held.emplace(key, std::move(msg));
  // In whole nanoseconds, so that a stamp exactly the delay behind the newest is released.
  const int64_t release = stamp_key(_newest) - _fusion_delay_ns;
  while (!_held.empty() && (_held.begin()->first <= release || _held.size() > kMaxHeld)) {
    auto oldest = _held.extract(_held.begin());
    fuse(oldest.mapped());
  }
}

void ZendrafellLocalisationNode::flush_held()
{
  while (!_held.empty()) {
    auto oldest = _held.extract(_held.begin());
    fuse(oldest.mapped());
  }
}

void ZendrafellLocalisationNode::fuse(const Message& msg)
{
  const auto input = static_cast<Input>(msg.index());
  const builtin_interfaces::msg::Time& stamp = stamp_of(msg);
  const double t = get_seconds_from_stamp(stamp);
  try {
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
        drop_late(input, t);
        return;
      }
    }
    ukf::Measurement measurement = _ukf.get_empty_measurement();
    if (const auto* m = std::get_if<geometry_msgs::msg::TwistStamped>(&msg)) {
      ukf::VectorX data(2);
      data << m->twist.linear.x, m->twist.angular.z;
      measurement.sensor_populate(kEncoders, data);
    } else if (const auto* imu = std::get_if<sensor_msgs::msg::Imu>(&msg)) {
      imu_measurement(*imu, measurement);
    } else {
      vo_measurement(std::get<nav_msgs::msg::Odometry>(msg), measurement);
    }
    _ukf.update(std::move(measurement), t);
    _has_last_time = true;
    _last_time = t;
    ++_updates;
    publish_ukf_state(stamp);
  } catch (const std::exception& e) {
    drop(input, t, e.what());
  }
}

// Acceleration with gravity removed through the current orientation estimate, angular velocity
// as it is; the message's covariances replace the configured noise block by block.
void ZendrafellLocalisationNode::imu_measurement(const sensor_msgs::msg::Imu& msg,
                                                 ukf::Measurement& measurement) const
{
  const ImuReading reading = read_imu(msg);
  const Covariance* kinds = reading.kinds;
  const auto& sensor = dynamic_cast<const ukf::Imu&>(measurement.get_sensor(kImu));
  const ukf::State state = _ukf.get_state();
  const Eigen::Quaterniond body_to_world = rotation_of(state["Orientation3D"]);
  ukf::VectorX data(6);
  data.head<3>() =
    reading.specific_force - body_to_world.conjugate() * Eigen::Vector3d(0.0, 0.0, kGravity);
  data.tail<3>() = reading.angular_velocity;
  if (kinds[0] == Covariance::configured && kinds[1] == Covariance::configured) {
    measurement.sensor_populate(kImu, data);
    return;
  }
  ukf::MatrixX noise = sensor.get_noise();
  const std::string* fields[2] = {&sensor.get_state_acc_field(), &sensor.get_state_ang_vel_field()};
  for (int b = 0; b < 2; ++b) {
    if (kinds[b] == Covariance::configured) {
      continue;
    }
    const Eigen::Index at = 3 * b;
    noise.middleRows(at, 3).setZero();
    noise.middleCols(at, 3).setZero();
    if (kinds[b] == Covariance::given) {
      noise.block<3, 3>(at, at) = reading.blocks[b];
    } else {
      noise.block<3, 3>(at, at) = kUnmeasuredVariance * Eigen::Matrix3d::Identity();
      data.segment<3>(at) = state[*fields[b]].head<3>();
    }
  }
  measurement.sensor_populate(kImu, data, noise);
}

// Position as it is, the quaternion as roll, pitch and yaw; the pose covariance, where given,
// replaces the configured noise.
void ZendrafellLocalisationNode::vo_measurement(const nav_msgs::msg::Odometry& msg,
                                                ukf::Measurement& measurement) const
{
  const VoReading reading = read_vo(msg);
  const ukf::VectorX data = reading.pose;
  if (reading.covariance_given) {
    measurement.sensor_populate(kVo, data, reading.covariance);
  } else {
    measurement.sensor_populate(kVo, data);
  }
}

void ZendrafellLocalisationNode::drop(Input input, double stamp, const std::string& reason)
{
  ++_dropped;
  RCLCPP_WARN(this->get_logger(), "Dropped %s message stamped %.9f s: %s", input_name(input),
              stamp, reason.c_str());
}

// Sensors at different rates and latencies deliver late messages as a matter of course: they are
// counted, and the count is logged at most once a second per topic.
void ZendrafellLocalisationNode::drop_late(Input input, double stamp)
{
  const auto i = static_cast<std::size_t>(input);
  ++_dropped;
  ++_late[i];
  const auto now = std::chrono::steady_clock::now();
  if (_late[i] == 1 || now - _late_warned[i] >= std::chrono::seconds(1)) {
    _late_warned[i] = now;
    RCLCPP_WARN(this->get_logger(),
                "Dropped %zu late %s messages so far: the latest was stamped %.9f s, %.9f s "
                "before the latest update",
                _late[i], input_name(input), stamp, _last_time - stamp);
  }
}

void ZendrafellLocalisationNode::publish_ukf_state(const builtin_interfaces::msg::Time& stamp)
{
  const ukf::State state = _ukf.get_state();
  nav_msgs::msg::Odometry odom;
  odom.header.stamp = stamp;
  odom.header.frame_id = _odom_frame;
  odom.child_frame_id = _base_link_frame;

  const ukf::VectorX position = state["Position3D"];
  odom.pose.pose.position.x = position(0);
  odom.pose.pose.position.y = position(1);
  odom.pose.pose.position.z = position(2);

  const Eigen::Quaterniond q = rotation_of(state["Orientation3D"]);
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

  if (_publish_covariance) {
    // ROS's 6 x 6 row-major layout: (x, y, z, rotation about x, y, z), cross terms included.
    const ukf::MatrixX& covariance = _ukf.get_covar();
    const auto copy = [&](const char* linear, const char* angular, std::array<double, 36>& out) {
      const Eigen::Index first[2] = {
        static_cast<Eigen::Index>(state.field(linear).get_index()),
        static_cast<Eigen::Index>(state.field(angular).get_index())};
      for (Eigen::Index r = 0; r < 6; ++r) {
        for (Eigen::Index c = 0; c < 6; ++c) {
          out[static_cast<std::size_t>(6 * r + c)] =
            covariance(first[r / 3] + r % 3, first[c / 3] + c % 3);
        }
      }
    };
    copy("Position3D", "Orientation3D", odom.pose.covariance);
    copy("Velocity3D", "AngularVelocity3D", odom.twist.covariance);
  }

  if (_tf_broadcaster) {
    geometry_msgs::msg::TransformStamped transform;
    transform.header = odom.header;
    transform.child_frame_id = _base_link_frame;
    transform.transform.translation.x = position(0);
    transform.transform.translation.y = position(1);
    transform.transform.translation.z = position(2);
    transform.transform.rotation = odom.pose.pose.orientation;
    _tf_broadcaster->sendTransform(transform);
  }
  _ukf_publisher->publish(odom);
  RCLCPP_INFO(this->get_logger(), "Published state!");
}
