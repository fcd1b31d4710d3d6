#include "zendrafell_localisation/zendrafell_localisation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>
#include <Eigen/Geometry>

#include "ament_index_cpp/get_package_share_directory.hpp"
#include "ukf/helpers.hpp"
#include "ukf/sensors/OrientationSensor.hpp"
#include "ukf/sensors/VO.hpp"
#include "ukf/sensors/imu.hpp"

namespace
{

const std::string kEncoders = "encoders";
const std::string kPosition3D = "Position3D";
const std::string kOrientation3D = "Orientation3D";
const std::string kVelocity3D = "Velocity3D";
const std::string kAngularVelocity3D = "AngularVelocity3D";
const std::string* const kPublishedFields[] = {&kPosition3D, &kOrientation3D, &kVelocity3D,
                                               &kAngularVelocity3D};

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
  for (const std::string* field : kPublishedFields) {
    const std::string& name = *field;
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
const std::string kImuOrientation = "imu_orientation";
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
    case ZendrafellLocalisationNode::Input::wheel_odom:
      return "wheel odometry";
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

// A topic or feature that is set must have its sensor, of the right type and size, in the
// configuration; `what` says which parameter asks for it.
template <typename SensorType>
void check_sensor(const ukf::Filter& filter, const std::string& what, const std::string& sensor,
                  const char* type, int size)
{
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

template <typename SensorType>
void check_topic_sensor(const ukf::Filter& filter, const std::string& path,
                        const std::string& parameter, const std::string& topic,
                        const std::string& sensor, const char* type, int size)
{
  check_sensor<SensorType>(filter,
                           "parameter '" + parameter + "' is \"" + topic +
                             "\", but the configuration " + path,
                           sensor, type, size);
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

// The least covariance that is neither below `configured` nor below `given`, in the order of
// positive semi-definite matrices, along the directions in which `given` differs from
// `configured`: with configured = L L^T and L^-1 given L^-T = V diag(lambda) V^T, it is
// L V diag(max(lambda, 1)) V^T L^T. It is `given` itself when given >= configured, `configured`
// itself when given <= configured, and positive definite whenever `configured` is.
Eigen::MatrixXd floor_covariance(const Eigen::MatrixXd& given, const Eigen::MatrixXd& configured)
{
  const Eigen::LLT<Eigen::MatrixXd> llt(configured);
  if (llt.info() != Eigen::Success) {
    // No floor can be drawn under a configured noise that is not positive definite: raise the
    // variances only.
    Eigen::MatrixXd out = given;
    out.diagonal() = given.diagonal().cwiseMax(configured.diagonal());
    return out;
  }
  const Eigen::MatrixXd l = llt.matrixL();
  const Eigen::MatrixXd relative =
    llt.matrixL().solve(llt.matrixL().solve(given).transpose()).transpose();
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(0.5 *
                                                             (relative + relative.transpose()));
  const Eigen::VectorXd lambda = eigen.eigenvalues();
  if (lambda.minCoeff() >= 1.0) {
    return given;
  }
  if (lambda.maxCoeff() <= 1.0) {
    return configured;
  }
  const Eigen::MatrixXd lv = l * eigen.eigenvectors();
  Eigen::MatrixXd out = lv * lambda.cwiseMax(1.0).asDiagonal() * lv.transpose();
  return 0.5 * (out + out.transpose());
}

// The noise a message's covariance block gives under `policy`, into `out`: `configured` when the
// message leaves it unknown. A block marked not measured is handled by the caller. Only the floor
// allocates (it decomposes the two covariances).
template <typename Given, typename Configured>
void block_noise(Covariance kind, const Given& given, const Configured& configured,
                 ZendrafellLocalisationNode::CovariancePolicy policy, Eigen::Ref<Eigen::MatrixXd> out)
{
  using Policy = ZendrafellLocalisationNode::CovariancePolicy;
  if (kind != Covariance::given || policy == Policy::ignore) {
    out = configured;
  } else if (policy == Policy::floor) {
    out = floor_covariance(given, configured);
  } else {
    out = given;
  }
}

// `kept` (made on first use) holding a copy of `msg`: the storage of the messages handed to the
// handlers, reused from one message to the next.
template <typename Msg>
const std::shared_ptr<Msg>& reuse(std::shared_ptr<Msg>& kept, const Msg& msg)
{
  if (!kept) {
    kept = std::make_shared<Msg>(msg);
  } else {
    *kept = msg;
  }
  return kept;
}

// Resizes only when the shape changes, so that the scratch space is sized once.
void shape(Eigen::MatrixXd& m, Eigen::Index n)
{
  if (m.rows() != n || m.cols() != n) {
    m.resize(n, n);
  }
}

// Fills `sensor` with `scratch.data` and, when the message gives a covariance the policy takes,
// the noise it gives; else with the configured noise, as a message without a covariance.
template <typename Given>
void populate(ukf::Measurement& measurement, const std::string& sensor,
              ZendrafellLocalisationNode::SensorScratch& scratch, Covariance kind,
              const Given& given, ZendrafellLocalisationNode::CovariancePolicy policy)
{
  if (kind == Covariance::given && policy != ZendrafellLocalisationNode::CovariancePolicy::ignore) {
    const ukf::ISensor& target = measurement.get_sensor(sensor);
    shape(scratch.configured, target.get_size());
    shape(scratch.noise, target.get_size());
    target.read_noise_into(scratch.configured);
    block_noise(kind, given, scratch.configured, policy, scratch.noise);
    measurement.sensor_populate(sensor, scratch.data, scratch.noise);
  } else {
    measurement.sensor_populate(sensor, scratch.data);
  }
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

// What an IMU message holds, checked; throws naming the field that cannot be used. The
// orientation is read only when it is to be fused and the message gives one.
struct ImuReading
{
  Eigen::Vector3d specific_force, angular_velocity;
  Covariance kinds[2];  // linear acceleration, angular velocity
  Eigen::Matrix3d blocks[2];
  bool has_orientation = false;
  Eigen::Quaterniond orientation = Eigen::Quaterniond::Identity();
  Covariance orientation_kind = Covariance::not_measured;
  Eigen::Matrix3d orientation_block;
};

ImuReading read_imu(const sensor_msgs::msg::Imu& msg, bool with_orientation)
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
  if (with_orientation && msg.orientation_covariance[0] != -1.0) {
    const auto& q = msg.orientation;
    const Eigen::Quaterniond o(q.w, q.x, q.y, q.z);
    const double norm = o.norm();
    if (!std::isfinite(norm) || !(std::abs(norm - 1.0) < 0.01)) {
      throw std::invalid_argument("orientation is not a unit quaternion (norm " +
                                  std::to_string(norm) + "); a message without one marks "
                                  "orientation_covariance[0] with -1");
    }
    r.has_orientation = true;
    r.orientation = o.normalized();
    r.orientation_kind =
      read_covariance<3>(msg.orientation_covariance, "orientation_covariance", r.orientation_block);
  }
  if (r.kinds[0] == Covariance::not_measured && r.kinds[1] == Covariance::not_measured &&
      !r.has_orientation) {
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

// What a wheel-odometry message holds for the sensor "encoders": forward speed and yaw rate,
// with the twist covariance's entries (0,0), (0,5), (5,0) and (5,5).
struct WheelReading
{
  Eigen::Vector2d twist;
  Covariance kind = Covariance::configured;
  Eigen::Matrix2d block;
};

WheelReading read_wheel(const nav_msgs::msg::Odometry& msg)
{
  const auto& t = msg.twist.twist;
  if (!(finite(t.linear) && finite(t.angular))) {
    throw std::invalid_argument("the twist is not finite (linear " + text(t.linear) +
                                ", angular " + text(t.angular) + ")");
  }
  const auto& c = msg.twist.covariance;
  WheelReading r;
  r.twist << t.linear.x, t.angular.z;
  r.kind = read_covariance<2>(std::array<double, 4>{c[0], c[5], c[30], c[35]},
                              "twist.covariance (entries (0,0), (0,5), (5,0), (5,5))", r.block);
  if (r.kind == Covariance::not_measured) {
    throw std::invalid_argument("twist.covariance starts with -1: the twist is not measured");
  }
  return r;
}

Eigen::Vector3d vector_of(const geometry_msgs::msg::Vector3& v) { return {v.x, v.y, v.z}; }

void assign(geometry_msgs::msg::Vector3& out, const Eigen::Vector3d& v)
{
  out.x = v.x();
  out.y = v.y();
  out.z = v.z();
}

// A covariance block that carries numbers (neither unknown nor marked not measured).
template <std::size_t N>
bool carries_numbers(const std::array<double, N>& a)
{
  return a[0] != -1.0 && std::any_of(a.begin(), a.end(), [](double v) { return v != 0.0; });
}

// J A J^T on a row-major N x N array.
template <int N>
void transform_covariance(std::array<double, N * N>& a, const Eigen::Matrix<double, N, N>& j)
{
  Eigen::Map<Eigen::Matrix<double, N, N, Eigen::RowMajor>> m(a.data());
  const Eigen::Matrix<double, N, N> out = j * m * j.transpose();
  m = 0.5 * (out + out.transpose());
}

// The transform tf2 gave, as a rigid motion; throws when it is not one (a non-finite entry or a
// quaternion off unit length by more than tf2 itself accepts).
Eigen::Isometry3d rigid_motion(const geometry_msgs::msg::TransformStamped& t)
{
  const auto& q = t.transform.rotation;
  const Eigen::Quaterniond rotation(q.w, q.x, q.y, q.z);
  const Eigen::Vector3d translation = vector_of(t.transform.translation);
  const double norm = rotation.norm();
  if (!translation.allFinite() || !std::isfinite(norm) || !(std::abs(norm - 1.0) < 0.01)) {
    throw std::invalid_argument("the transform is not a rigid motion (translation " +
                                text(t.transform.translation) + ", quaternion norm " +
                                std::to_string(norm) + ")");
  }
  Eigen::Isometry3d motion = Eigen::Isometry3d::Identity();
  motion.linear() = rotation.normalized().toRotationMatrix();
  motion.translation() = translation;
  return motion;
}

Eigen::Matrix3d skew(const Eigen::Vector3d& v)
{
  Eigen::Matrix3d m;
  m << 0.0, -v.z(), v.y(), v.z(), 0.0, -v.x(), -v.y(), v.x(), 0.0;
  return m;
}

// An IMU message moved into the base frame. `mount` takes the IMU frame's vectors into the base
// frame, and its translation is where the IMU sits on the vehicle. The accelerometer there also
// feels the centripetal acceleration of its lever arm, w x (w x r), which is removed with the
// measured rate; the tangential part, dw/dt x r, remains.
void imu_to_base(sensor_msgs::msg::Imu& m, const Eigen::Isometry3d& mount)
{
  const Eigen::Matrix3d r = mount.linear();
  const Eigen::Vector3d w = r * vector_of(m.angular_velocity);
  Eigen::Vector3d a = r * vector_of(m.linear_acceleration);
  if (m.angular_velocity_covariance[0] != -1.0) {
    a -= w.cross(w.cross(mount.translation()));
  }
  assign(m.angular_velocity, w);
  assign(m.linear_acceleration, a);
  for (auto* block : {&m.angular_velocity_covariance, &m.linear_acceleration_covariance}) {
    if (carries_numbers(*block)) {
      transform_covariance<3>(*block, r);
    }
  }
  const auto& q = m.orientation;
  const Eigen::Quaterniond imu(q.w, q.x, q.y, q.z);
  if (m.orientation_covariance[0] != -1.0 && std::isfinite(imu.norm()) && imu.norm() > 1e-9) {
    // The IMU frame's orientation in the world, followed back from the base to the IMU.
    const Eigen::Quaterniond base = (imu.normalized() * Eigen::Quaterniond(r).conjugate()).normalized();
    m.orientation.x = base.x();
    m.orientation.y = base.y();
    m.orientation.z = base.z();
    m.orientation.w = base.w();
    if (carries_numbers(m.orientation_covariance)) {
      transform_covariance<3>(m.orientation_covariance, r);
    }
  }
}

// A wheel-odometry twist of the frame `mount` describes (its child frame, at the translation
// t in the base frame) as the base frame's twist: w_b = R w_c, v_b = R v_c + t x w_b.
void twist_to_base(nav_msgs::msg::Odometry& m, const Eigen::Isometry3d& mount)
{
  const Eigen::Matrix3d r = mount.linear();
  const Eigen::Matrix3d lever = skew(mount.translation());
  const Eigen::Vector3d w = r * vector_of(m.twist.twist.angular);
  const Eigen::Vector3d v = r * vector_of(m.twist.twist.linear) + lever * w;
  assign(m.twist.twist.linear, v);
  assign(m.twist.twist.angular, w);
  if (carries_numbers(m.twist.covariance)) {
    Eigen::Matrix<double, 6, 6> j = Eigen::Matrix<double, 6, 6>::Zero();
    j.topLeftCorner<3, 3>() = r;
    j.topRightCorner<3, 3>() = lever * r;
    j.bottomRightCorner<3, 3>() = r;
    transform_covariance<6>(m.twist.covariance, j);
  }
}

// A visual-odometry pose of the child frame in the header frame as the pose of the base in the
// odometry frame: T_ob = T_oh T_hc T_cb. The covariance follows to first order: a rotation of the
// child by d (in the header frame) moves the base by d x (R_hc t_cb).
void pose_to_base(nav_msgs::msg::Odometry& m, const Eigen::Isometry3d& odom_from_header,
                  const Eigen::Isometry3d& child_from_base)
{
  const auto& p = m.pose.pose.position;
  Eigen::Isometry3d header_from_child = Eigen::Isometry3d::Identity();
  header_from_child.linear() = pose_rotation(m.pose.pose.orientation).toRotationMatrix();
  header_from_child.translation() = Eigen::Vector3d(p.x, p.y, p.z);
  const Eigen::Isometry3d odom_from_base = odom_from_header * header_from_child * child_from_base;
  m.pose.pose.position.x = odom_from_base.translation().x();
  m.pose.pose.position.y = odom_from_base.translation().y();
  m.pose.pose.position.z = odom_from_base.translation().z();
  const Eigen::Quaterniond q(odom_from_base.linear());
  m.pose.pose.orientation.x = q.x();
  m.pose.pose.orientation.y = q.y();
  m.pose.pose.orientation.z = q.z();
  m.pose.pose.orientation.w = q.w();
  if (carries_numbers(m.pose.covariance)) {
    const Eigen::Matrix3d r = odom_from_header.linear();
    const Eigen::Vector3d arm = header_from_child.linear() * child_from_base.translation();
    Eigen::Matrix<double, 6, 6> j = Eigen::Matrix<double, 6, 6>::Zero();
    j.topLeftCorner<3, 3>() = r;
    j.topRightCorner<3, 3>() = -r * skew(arm);
    j.bottomRightCorner<3, 3>() = r;
    transform_covariance<6>(m.pose.covariance, j);
  }
}

Eigen::Quaterniond rotation_of(const Eigen::Vector3d& e)
{
  return quaternion_from_euler(e(0), e(1), e(2));
}

int64_t stamp_key(const builtin_interfaces::msg::Time& stamp)
{
  return static_cast<int64_t>(stamp.sec) * 1000000000 + static_cast<int64_t>(stamp.nanosec);
}

// The stamp of any message the node holds.
template <typename T>
auto stamp_in(const T& m) -> const decltype(m.header.stamp)&
{
  return m.header.stamp;
}
template <typename T>
auto stamp_in(const T& m) -> const decltype(m.odometry.header.stamp)&
{
  return m.odometry.header.stamp;
}
template <typename Variant>
const builtin_interfaces::msg::Time& stamp_of(const Variant& m)
{
  return std::visit([](const auto& msg) -> const builtin_interfaces::msg::Time& {
    return stamp_in(msg);
  }, m);
}

// A parameter that takes one of a few words; throws naming it and what it accepts.
template <typename Enum, std::size_t N>
Enum choice(const std::string& parameter, const std::string& value,
            const std::array<std::pair<const char*, Enum>, N>& words)
{
  std::string accepted;
  for (const auto& [word, e] : words) {
    if (value == word) {
      return e;
    }
    accepted += std::string(accepted.empty() ? "" : ", ") + "\"" + word + "\"";
  }
  throw std::invalid_argument("parameter '" + parameter + "' must be one of " + accepted +
                              ", got \"" + value + "\"");
}

// Every parameter is read once, at start-up: declared read only, so that `ros2 param set` refuses
// rather than reporting a change that never happens, with a line that `ros2 param describe` shows.
rcl_interfaces::msg::ParameterDescriptor read_only(const std::string& description,
                                                   const std::string& constraints = "")
{
  rcl_interfaces::msg::ParameterDescriptor d;
  d.description = description;
  d.additional_constraints = constraints;
  d.read_only = true;
  return d;
}

// A decimal parameter in [from, to]. A whole number given for it (`-p fusion_delay:=1`, or
// `max_time_jump: 30` in YAML) is that number: the parameter is dynamically typed, and anything
// but a number is refused as the wrong type.
double declare_decimal(rclcpp::Node& node, const std::string& name, double default_value,
                       rcl_interfaces::msg::ParameterDescriptor descriptor, double from, double to)
{
  descriptor.dynamic_typing = true;
  rcl_interfaces::msg::FloatingPointRange range;
  range.from_value = from;
  range.to_value = to;
  descriptor.floating_point_range.push_back(range);
  rclcpp::ParameterValue value;
  try {
    value = node.declare_parameter(name, rclcpp::ParameterValue(default_value), descriptor);
  } catch (const rclcpp::exceptions::InvalidParameterValueException& e) {
    throw std::invalid_argument(std::string(e.what()) + " It must be from " + std::to_string(from) +
                                " to " + std::to_string(to) + ".");
  }
  if (value.get_type() == rclcpp::PARAMETER_INTEGER) {
    return static_cast<double>(value.get<int64_t>());
  }
  if (value.get_type() != rclcpp::PARAMETER_DOUBLE) {
    throw rclcpp::exceptions::InvalidParameterTypeException(
      name, "it is a number of seconds, given as {" + rclcpp::to_string(value.get_type()) + "}");
  }
  return value.get<double>();
}

// True at most once per `period` for one `last` (a warning's throttle), and always the first time.
bool due(std::chrono::steady_clock::time_point& last, std::chrono::seconds period)
{
  const auto now = std::chrono::steady_clock::now();
  if (last != std::chrono::steady_clock::time_point() && now - last < period) {
    return false;
  }
  last = now;
  return true;
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
  // The default configuration: the source tree's, else the installed one, found through the
  // ament index. A node given "ukf_config" needs neither.
  std::string default_config, index_error;
  try {
    default_config = default_config_path(
      LOCALISATION_DEFAULT_CONFIG, ament_index_cpp::get_package_share_directory("localization_pkg"));
  } catch (const std::exception& e) {
    index_error = e.what();
    if (std::ifstream(LOCALISATION_DEFAULT_CONFIG).good()) {
      default_config = LOCALISATION_DEFAULT_CONFIG;
    }
  }
  const double forever = std::numeric_limits<double>::infinity();
  const std::string config_path = this->declare_parameter<std::string>(
    "ukf_config", default_config, read_only("Path of the filter's JSON configuration"));
  if (config_path.empty()) {
    throw std::runtime_error(
      "parameter 'ukf_config' is not set and the package's own configuration cannot be found (" +
      (index_error.empty() ? std::string("it is empty") : index_error) +
      "): give ukf_config, or source the workspace's setup script");
  }
  _config_path = config_path;
  _max_time_jump = declare_decimal(
    *this, "max_time_jump", 60.0,
    read_only("Seconds between two stamps beyond which the filter restarts from its configuration",
              "positive"),
    0.0, forever);
  if (!(std::isfinite(_max_time_jump) && _max_time_jump > 0.0)) {
    throw std::invalid_argument("parameter 'max_time_jump' must be a positive number of seconds");
  }
  const bool strict_config = this->declare_parameter<bool>(
    "strict_config", false,
    read_only("Refuse a configuration with a key no reader knows, instead of warning about it"));
  _odom_frame = this->declare_parameter<std::string>(
    "odom_frame", "odom", read_only("Frame of the published pose (header.frame_id)"));
  _base_link_frame = this->declare_parameter<std::string>(
    "base_link_frame", "odom_base_link",
    read_only("Frame of the vehicle (child_frame_id); sensor messages are moved into it"));
  check_frame("odom_frame", _odom_frame);
  check_frame("base_link_frame", _base_link_frame);
  if (_odom_frame == _base_link_frame) {
    throw std::invalid_argument("parameters 'odom_frame' and 'base_link_frame' must differ (both "
                                "are \"" + _odom_frame + "\")");
  }
  _publish_covariance = this->declare_parameter<bool>(
    "publish_covariance", false,
    read_only("Publish the filter's covariance in the odometry message (else zeros)"));
  const bool publish_tf = this->declare_parameter<bool>(
    "publish_tf", false,
    read_only("Broadcast the estimate as the transform odom_frame -> base_link_frame on /tf"));
  const std::string imu_topic = this->declare_parameter<std::string>(
    "imu_topic", "", read_only("sensor_msgs/Imu topic fused into the sensor \"imu\" (empty: none)"));
  const std::string vo_topic = this->declare_parameter<std::string>(
    "vo_topic", "",
    read_only("nav_msgs/Odometry topic of visual odometry, fused into the sensor \"vo\" (empty: "
              "none)"));
  const std::string wheel_odom_topic = this->declare_parameter<std::string>(
    "wheel_odom_topic", "",
    read_only("nav_msgs/Odometry topic of wheel odometry, fused into the sensor \"encoders\" "
              "(empty: none)"));
  _covariance_policy = choice<CovariancePolicy, 3>(
    "message_covariance",
    this->declare_parameter<std::string>(
      "message_covariance", "use",
      read_only("How a message's covariance is used: as ROS defines it, not at all, or never "
                "below the configured noise",
                "one of use, ignore, floor")),
    {{{"use", CovariancePolicy::use},
      {"ignore", CovariancePolicy::ignore},
      {"floor", CovariancePolicy::floor}}});
  _imu_orientation = choice<ImuOrientation, 3>(
    "imu_orientation",
    this->declare_parameter<std::string>(
      "imu_orientation", "none",
      read_only("Which part of the IMU's orientation is fused into the sensor "
                "\"imu_orientation\"",
                "one of none, roll_pitch, all")),
    {{{"none", ImuOrientation::none},
      {"roll_pitch", ImuOrientation::roll_pitch},
      {"all", ImuOrientation::all}}});
  const bool best_effort = choice<bool, 2>(
    "sensor_qos",
    this->declare_parameter<std::string>(
      "sensor_qos", "reliable",
      read_only("QoS of encoder_vel and wheel_odom_topic: reliable, or sensor_data (best effort, "
                "which hears reliable and best-effort publishers alike)",
                "one of reliable, sensor_data")),
    {{{"reliable", false}, {"sensor_data", true}}});
  _fusion_delay = declare_decimal(
    *this, "fusion_delay", 0.0,
    read_only("Seconds messages are held to be fused in stamp order (0: fused at once)",
              "below max_time_jump"),
    0.0, forever);
  if (!(std::isfinite(_fusion_delay) && _fusion_delay >= 0.0 && _fusion_delay < _max_time_jump)) {
    throw std::invalid_argument("parameter 'fusion_delay' must be a number of seconds from 0 up to "
                                "'max_time_jump' (" + std::to_string(_max_time_jump) +
                                " s), got " + std::to_string(_fusion_delay));
  }
  const auto threshold = [&](const char* name, double value, const char* description) {
    return declare_decimal(*this, name, value, read_only(description), 0.0, forever);
  };
  _thresholds.stale_warn = threshold(
    "diagnostics_stale_warn", _thresholds.stale_warn,
    "Seconds without a message on an input, or without an update, that make its status WARN");
  _thresholds.stale_error = threshold("diagnostics_stale_error", _thresholds.stale_error,
                                      "The same seconds for ERROR");
  _thresholds.dropped_share = threshold(
    "diagnostics_dropped_share", _thresholds.dropped_share,
    "Share of an input's messages dropped since the last report that makes its status WARN");
  _thresholds.position_sd = threshold(
    "diagnostics_position_sd", _thresholds.position_sd,
    "Standard deviation of the position (m, largest axis) above which the covariance is WARN");
  _thresholds.heading_sd =
    threshold("diagnostics_heading_sd", _thresholds.heading_sd,
              "Standard deviation of the heading (rad) above which the covariance is WARN");
  // Beyond a century every stamp a message can carry is within the delay.
  _fusion_delay_ns = static_cast<int64_t>(std::llround(std::min(_fusion_delay, 4e9) * 1e9));
  const std::pair<const char*, std::string> topics[] = {
    {"imu_topic", imu_topic}, {"vo_topic", vo_topic}, {"wheel_odom_topic", wheel_odom_topic}};
  for (std::size_t i = 0; i < std::size(topics); ++i) {
    const auto& [parameter, topic] = topics[i];
    if (topic.empty()) {
      continue;
    }
    for (const char* taken : {"encoder_vel", "odometry/filtered"}) {
      if (bare_topic(topic) == taken) {
        throw std::invalid_argument("parameter '" + std::string(parameter) + "' must not be \"" +
                                    topic + "\", the node's own topic");
      }
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (bare_topic(topic) == bare_topic(topics[j].second)) {
        throw std::invalid_argument("parameters '" + std::string(topics[j].first) + "' and '" +
                                    parameter + "' must differ (both are \"" + topic + "\")");
      }
    }
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
  if (_imu_orientation != ImuOrientation::none) {
    check_sensor<ukf::OrientationSensor>(
      _ukf,
      "parameter 'imu_orientation' is \"" +
        std::string(_imu_orientation == ImuOrientation::all ? "all" : "roll_pitch") +
        "\", but the configuration " + config_path,
      kImuOrientation, "ORIENTATION_SENSOR", 3);
    if (imu_topic.empty()) {
      RCLCPP_WARN(this->get_logger(),
                  "parameter 'imu_orientation' is set but 'imu_topic' is not: no orientation "
                  "will be fused");
    }
  }

  _ukf_publisher = this->create_publisher<nav_msgs::msg::Odometry>("odometry/filtered", 10);
  if (publish_tf) {
    _tf_broadcaster = std::make_unique<tf2_ros::TransformBroadcaster>(this);
  }
  // Sensor frames are looked up in the transforms on "/tf" and "/tf_static", heard in this node's
  // own spin (no thread of the listener's), so that a transform and the messages published
  // after it are handled in that order.
  _tf_buffer = std::make_unique<tf2_ros::Buffer>(this->get_clock());
  if (!imu_topic.empty() || !vo_topic.empty() || !wheel_odom_topic.empty()) {
    _tf_listener = std::make_unique<tf2_ros::TransformListener>(*_tf_buffer, this, false);
  }
  // Bound through a lambda on const Msg&, the form Humble accepts without deprecation. The handlers
  // take a shared pointer: each subscription hands its own over, assigned afresh per message, so
  // that a steady flow of messages allocates nothing.
  // Reliable by default, as the base controller's publishers are; "sensor_qos" makes these two
  // subscriptions best effort, which a best-effort publisher needs to be heard at all.
  const rclcpp::QoS wheel_qos =
    best_effort ? rclcpp::QoS(rclcpp::SensorDataQoS().keep_last(10)) : rclcpp::QoS(10);
  _enc_subscription = this->create_subscription<geometry_msgs::msg::TwistStamped>(
    "encoder_vel", wheel_qos, [this](const geometry_msgs::msg::TwistStamped& msg) {
      encoder_callback(reuse(_enc_message, msg));
    });
  // Sensor drivers often publish best effort, which a reliable subscription would never hear: the
  // sensor-data profile takes both. The inertial unit runs faster than the encoders: a deeper
  // queue.
  try {
    if (!imu_topic.empty()) {
      _imu_subscription = this->create_subscription<sensor_msgs::msg::Imu>(
        imu_topic, rclcpp::SensorDataQoS().keep_last(50), [this](const sensor_msgs::msg::Imu& msg) {
          imu_callback(reuse(_imu_message, msg));
        });
    }
  } catch (const std::exception& e) {
    throw std::invalid_argument("parameter 'imu_topic': " + std::string(e.what()));
  }
  try {
    if (!vo_topic.empty()) {
      _vo_subscription = this->create_subscription<nav_msgs::msg::Odometry>(
        vo_topic, rclcpp::SensorDataQoS().keep_last(10), [this](const nav_msgs::msg::Odometry& msg) {
          vo_callback(reuse(_vo_message, msg));
        });
    }
  } catch (const std::exception& e) {
    throw std::invalid_argument("parameter 'vo_topic': " + std::string(e.what()));
  }
  // Wheel odometry comes from the robot's base controller, as encoder_vel does.
  try {
    if (!wheel_odom_topic.empty()) {
      _wheel_subscription = this->create_subscription<nav_msgs::msg::Odometry>(
        wheel_odom_topic, wheel_qos, [this](const nav_msgs::msg::Odometry& msg) {
          wheel_odom_callback(reuse(_wheel_message, msg));
        });
    }
  } catch (const std::exception& e) {
    throw std::invalid_argument("parameter 'wheel_odom_topic': " + std::string(e.what()));
  }
  // The message RViz's "2D Pose Estimate" publishes on "initialpose": remap that topic here.
  _set_pose_subscription = this->create_subscription<geometry_msgs::msg::PoseWithCovarianceStamped>(
    "set_pose", 10, [this](const geometry_msgs::msg::PoseWithCovarianceStamped& msg) {
      const std::string refused = set_pose(msg);
      if (!refused.empty()) {
        RCLCPP_WARN(this->get_logger(), "Refused set_pose: %s", refused.c_str());
      }
    });
  add_diagnostics({"encoder_vel", imu_topic, vo_topic, wheel_odom_topic});
  _reset_service = this->create_service<std_srvs::srv::Trigger>(
    "reset", [this](const std::shared_ptr<std_srvs::srv::Trigger::Request>,
                    std::shared_ptr<std_srvs::srv::Trigger::Response> response) {
      response->message = reset();
      response->success = true;
    });
}

void ZendrafellLocalisationNode::add_diagnostics(const std::string (&topics)[4])
{
  _diagnostics = std::make_unique<diagnostic_updater::Updater>(this);
  _diagnostics->setHardwareID("none");
  const auto now = std::chrono::steady_clock::now();
  _reported_at.fill(now);
  for (std::size_t i = 0; i < 4; ++i) {
    if (!topics[i].empty()) {
      const auto input = static_cast<Input>(i);
      _diagnostics->add(std::string(input_name(input)) + " input (" + topics[i] + ")",
                        [this, input](diagnostic_updater::DiagnosticStatusWrapper& status) {
                          input_status(input, status);
                        });
    }
  }
  _diagnostics->add("filter", [this](diagnostic_updater::DiagnosticStatusWrapper& status) {
    filter_status(status);
  });
  _diagnostics->add("covariance", [this](diagnostic_updater::DiagnosticStatusWrapper& status) {
    covariance_status(status);
  });
}

void ZendrafellLocalisationNode::age_status(double age, const char* what,
                                            diagnostic_updater::DiagnosticStatusWrapper& status)
{
  using Status = diagnostic_msgs::msg::DiagnosticStatus;
  char text[160];
  if (age < 0.0) {
    std::snprintf(text, sizeof(text), "no %s yet", what);
    status.mergeSummary(Status::WARN, text);
  } else if (age > _thresholds.stale_warn) {
    std::snprintf(text, sizeof(text), "no %s for %.1f s", what, age);
    status.mergeSummary(age > _thresholds.stale_error ? Status::ERROR : Status::WARN, text);
  }
}

namespace
{
double seconds_since(std::chrono::steady_clock::time_point then,
                     std::chrono::steady_clock::time_point now)
{
  return then == std::chrono::steady_clock::time_point()
           ? -1.0
           : std::chrono::duration<double>(now - then).count();
}
}  // namespace

void ZendrafellLocalisationNode::input_status(Input input,
                                              diagnostic_updater::DiagnosticStatusWrapper& status)
{
  using Status = diagnostic_msgs::msg::DiagnosticStatus;
  const auto i = static_cast<std::size_t>(input);
  const auto now = std::chrono::steady_clock::now();
  const double interval = std::chrono::duration<double>(now - _reported_at[i]).count();
  const std::size_t received = _received[i] - _reported_received[i];
  const std::size_t dropped = _dropped_by[i] - _reported_dropped[i];
  _reported_at[i] = now;
  _reported_received[i] = _received[i];
  _reported_dropped[i] = _dropped_by[i];
  const double age = seconds_since(_last_received[i], now);
  status.summary(Status::OK, "receiving");
  age_status(age, "message", status);
  if (received > 0 && dropped > _thresholds.dropped_share * static_cast<double>(received)) {
    status.mergeSummary(Status::WARN, std::to_string(dropped) + " of the last " +
                                        std::to_string(received) + " messages dropped");
  }
  status.add("rate (Hz)", interval > 0.0 ? static_cast<double>(received) / interval : 0.0);
  status.add("messages", _received[i]);
  status.add("dropped", _dropped_by[i]);
  status.add("late", _late[i]);
  status.add("untransformable", _untransformable[i]);
  status.add("seconds since the last message", age);
}

void ZendrafellLocalisationNode::filter_status(diagnostic_updater::DiagnosticStatusWrapper& status)
{
  using Status = diagnostic_msgs::msg::DiagnosticStatus;
  const double age = seconds_since(_last_update, std::chrono::steady_clock::now());
  status.summary(Status::OK, "updating");
  age_status(age, "update", status);
  if (_restarts > _reported_restarts) {
    status.mergeSummary(Status::WARN, "restarted after a jump of the stamps");
  }
  _reported_restarts = _restarts;
  status.add("updates", _updates);
  status.add("seconds since the last update", age);
  status.add("restarts", _restarts);
  status.add("dropped", _dropped);
}

void ZendrafellLocalisationNode::covariance_status(
  diagnostic_updater::DiagnosticStatusWrapper& status)
{
  using Status = diagnostic_msgs::msg::DiagnosticStatus;
  const ukf::MatrixX& p = _ukf.covar();
  const ukf::State& state = _ukf.state();
  const bool finite = p.allFinite();
  const double scale = finite ? std::max(1.0, p.cwiseAbs().maxCoeff()) : 1.0;
  const bool symmetric = finite && (p - p.transpose()).cwiseAbs().maxCoeff() <= 1e-9 * scale;
  const bool positive = symmetric && Eigen::LLT<Eigen::MatrixXd>(p).info() == Eigen::Success;
  const auto at = static_cast<Eigen::Index>(state.field(kPosition3D).get_index());
  const auto yaw = static_cast<Eigen::Index>(state.field(kOrientation3D).get_index()) + 2;
  const double position_sd = std::sqrt(p.diagonal().segment(at, 3).maxCoeff());
  const double heading_sd = std::sqrt(p(yaw, yaw));
  status.summary(Status::OK, "finite, symmetric and positive definite");
  if (!positive) {
    status.summary(Status::ERROR, !finite      ? "not finite"
                                  : !symmetric ? "not symmetric"
                                               : "not positive definite");
  } else {
    char text[160];
    if (position_sd > _thresholds.position_sd) {
      std::snprintf(text, sizeof(text), "position standard deviation %.3g m", position_sd);
      status.mergeSummary(Status::WARN, text);
    }
    if (heading_sd > _thresholds.heading_sd) {
      std::snprintf(text, sizeof(text), "heading standard deviation %.3g rad", heading_sd);
      status.mergeSummary(Status::WARN, text);
    }
  }
  status.add("finite", finite);
  status.add("symmetric", symmetric);
  status.add("positive definite", positive);
  status.add("largest position standard deviation (m)", position_sd);
  status.add("heading standard deviation (rad)", heading_sd);
}

std::string ZendrafellLocalisationNode::reset()
{
  _ukf = ukf::Filter(_config);
  // What was held belongs to the estimate that was just discarded.
  while (!_held.empty()) {
    release_held(_held.extract(_held.begin()));
  }
  _has_newest = false;
  const bool had_time = _has_last_time;
  _has_last_time = false;
  const std::string message = "filter restarted from its configuration " + _config_path;
  RCLCPP_INFO(this->get_logger(), "Reset: %s", message.c_str());
  if (had_time) {
    publish_ukf_state(_last_stamp);
  }
  return message;
}

std::string ZendrafellLocalisationNode::set_pose(
  const geometry_msgs::msg::PoseWithCovarianceStamped& msg)
{
  const std::string& frame = msg.header.frame_id;
  if (!frame.empty() && frame != _odom_frame) {
    return "its frame_id is \"" + frame + "\", not the odometry frame \"" + _odom_frame + "\"";
  }
  const auto& p = msg.pose.pose.position;
  const auto& o = msg.pose.pose.orientation;
  const Eigen::Vector3d position(p.x, p.y, p.z);
  const Eigen::Quaterniond rotation(o.w, o.x, o.y, o.z);
  if (!position.allFinite()) {
    return "pose.pose.position is not finite";
  }
  const double norm = rotation.norm();
  if (!std::isfinite(norm) || !(std::abs(norm - 1.0) < 0.01)) {
    return "pose.pose.orientation is not a unit quaternion (norm " + std::to_string(norm) + ")";
  }
  Eigen::Matrix<double, 6, 6> given =
    Eigen::Map<const Eigen::Matrix<double, 6, 6, Eigen::RowMajor>>(msg.pose.covariance.data());
  if (!given.allFinite()) {
    return "pose.covariance has an entry that is not finite";
  }
  // An entry of zero variance is one the message does not know (RViz sends z, roll and pitch so):
  // it keeps the filter's variance. The rest must be a covariance.
  const ukf::State& state = _ukf.state();
  const Eigen::Index at[2] = {static_cast<Eigen::Index>(state.field(kPosition3D).get_index()),
                              static_cast<Eigen::Index>(state.field(kOrientation3D).get_index())};
  const auto index = [&at](Eigen::Index i) { return at[i / 3] + i % 3; };
  const ukf::MatrixX& covar = _ukf.covar();
  for (Eigen::Index i = 0; i < 6; ++i) {
    if (given(i, i) < 0.0) {
      return "pose.covariance has a negative variance at (" + std::to_string(i) + ", " +
             std::to_string(i) + ")";
    }
    if (given(i, i) == 0.0) {
      if (given.row(i).cwiseAbs().maxCoeff() > 0.0 || given.col(i).cwiseAbs().maxCoeff() > 0.0) {
        return "pose.covariance has a zero variance at (" + std::to_string(i) + ", " +
               std::to_string(i) + ") with a cross term that is not zero";
      }
      given(i, i) = covar(index(i), index(i));
    }
  }
  const double scale = given.cwiseAbs().maxCoeff();
  if ((given - given.transpose()).cwiseAbs().maxCoeff() > 1e-9 * scale ||
      Eigen::LLT<Eigen::Matrix<double, 6, 6>>(given).info() != Eigen::Success) {
    return "pose.covariance is not a symmetric positive-definite matrix";
  }
  ukf::VectorX mean = state.get_vector();
  ukf::MatrixX next = covar;
  const Eigen::Vector3d euler = euler_from_quaternion(rotation);
  for (Eigen::Index i = 0; i < 6; ++i) {
    mean(index(i)) = i < 3 ? position(i) : euler(i - 3);
    next.row(index(i)).setZero();
    next.col(index(i)).setZero();
  }
  for (Eigen::Index r = 0; r < 6; ++r) {
    for (Eigen::Index c = 0; c < 6; ++c) {
      next(index(r), index(c)) = 0.5 * (given(r, c) + given(c, r));
    }
  }
  try {
    _ukf.set_estimate(mean, next);
  } catch (const std::exception& e) {
    return e.what();
  }
  RCLCPP_INFO(this->get_logger(), "Pose set to (%g, %g, %g), yaw %g rad", position.x(),
              position.y(), position.z(), euler.z());
  publish_ukf_state(_has_last_time ? _last_stamp : msg.header.stamp);
  return {};
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

void ZendrafellLocalisationNode::wheel_odom_callback(std::shared_ptr<nav_msgs::msg::Odometry> msg)
{
  RCLCPP_INFO(this->get_logger(), "Received wheel odometry data, counter: %d", _wheel_counter);
  ++_wheel_counter;
  if (_wheel_subscription) {  // without "wheel_odom_topic" the handler only counts
    receive(WheelOdometry{*msg});
  }
}

// A message whose content cannot be used is dropped on arrival; the rest are fused at once, or
// held by "fusion_delay" and fused in stamp order.
void ZendrafellLocalisationNode::receive(Message msg)
{
  const auto input = static_cast<Input>(msg.index());
  const double t = get_seconds_from_stamp(stamp_of(msg));
  ++_received[msg.index()];
  _last_received[msg.index()] = std::chrono::steady_clock::now();
  if (t == 0.0 && due(_unstamped_warned[static_cast<std::size_t>(input)], std::chrono::seconds(5))) {
    RCLCPP_WARN(this->get_logger(),
                "An unstamped %s message (stamp 0): the filter runs on the messages' stamps, and "
                "an unstamped message carries no time (set header.stamp where it is published)",
                input_name(input));
  }
  // The node never dies on a message: whatever goes wrong drops that message only.
  try {
    const auto check = [this](const Message& m) {
      if (const auto* twist = std::get_if<geometry_msgs::msg::TwistStamped>(&m)) {
        const double speed = twist->twist.linear.x;
        const double yaw_rate = twist->twist.angular.z;
        if (!std::isfinite(speed) || !std::isfinite(yaw_rate)) {
          throw std::invalid_argument("the twist is not finite (linear.x " +
                                      std::to_string(speed) + ", angular.z " +
                                      std::to_string(yaw_rate) + ")");
        }
      } else if (const auto* imu = std::get_if<sensor_msgs::msg::Imu>(&m)) {
        read_imu(*imu, _imu_orientation != ImuOrientation::none);
      } else if (const auto* vo = std::get_if<nav_msgs::msg::Odometry>(&m)) {
        read_vo(*vo);
      } else {
        read_wheel(std::get<WheelOdometry>(m).odometry);
      }
    };
    check(msg);
    bool moved = false;
    if (!to_base_frame(msg, moved)) {
      return;
    }
    if (moved) {
      check(msg);  // what the transform made of it
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
  // The held messages' nodes are kept when released and reused here, so that holding allocates
  // nothing once the queue has been as long as it gets.
  if (_spare_held.empty()) {
    _held.emplace(key, std::move(msg));
  } else {
    auto node = std::move(_spare_held.back());
    _spare_held.pop_back();
    node.key() = key;
    node.mapped() = std::move(msg);
    _held.insert(std::move(node));
  }
  // In whole nanoseconds, so that a stamp exactly the delay behind the newest is released.
  const int64_t release = stamp_key(_newest) - _fusion_delay_ns;
  while (!_held.empty() && (_held.begin()->first <= release || _held.size() > kMaxHeld)) {
    fuse_oldest_held();
  }
}

void ZendrafellLocalisationNode::flush_held()
{
  while (!_held.empty()) {
    fuse_oldest_held();
  }
}

void ZendrafellLocalisationNode::fuse_oldest_held()
{
  auto oldest = _held.extract(_held.begin());
  fuse(oldest.mapped());
  release_held(std::move(oldest));
}

void ZendrafellLocalisationNode::release_held(std::multimap<int64_t, Message>::node_type node)
{
  if (_spare_held.size() < kMaxHeld) {
    _spare_held.push_back(std::move(node));
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
    // One measurement serves every message: the template assigned over it keeps its sensor
    // objects, and the filter copies it into its record the same way.
    _measurement = _ukf.empty_measurement();
    ukf::Measurement& measurement = _measurement;
    if (const auto* m = std::get_if<geometry_msgs::msg::TwistStamped>(&msg)) {
      ukf::VectorX& data = _encoder_scratch.data;
      data.resize(2);
      data << m->twist.linear.x, m->twist.angular.z;
      measurement.sensor_populate(kEncoders, data);
    } else if (const auto* imu = std::get_if<sensor_msgs::msg::Imu>(&msg)) {
      imu_measurement(*imu, measurement);
    } else if (const auto* vo = std::get_if<nav_msgs::msg::Odometry>(&msg)) {
      vo_measurement(*vo, measurement);
    } else {
      wheel_measurement(std::get<WheelOdometry>(msg).odometry, measurement);
    }
    _ukf.update(measurement, t);
    _has_last_time = true;
    _last_time = t;
    _last_stamp = stamp;
    _last_update = std::chrono::steady_clock::now();
    ++_updates;
    publish_ukf_state(stamp);
  } catch (const std::exception& e) {
    drop(input, t, e.what());
  }
}

// Acceleration with gravity removed through the current orientation estimate, angular velocity
// as it is; the message's covariances give the noise block by block under the covariance policy.
// With "imu_orientation" set, the orientation goes into the sensor "imu_orientation" of the same
// update (its yaw not measured under "roll_pitch").
void ZendrafellLocalisationNode::imu_measurement(const sensor_msgs::msg::Imu& msg,
                                                 ukf::Measurement& measurement)
{
  const ImuReading reading = read_imu(msg, _imu_orientation != ImuOrientation::none);
  const Covariance* kinds = reading.kinds;
  const ukf::State& state = _ukf.state();
  Eigen::Vector3d orientation;
  state.field(kOrientation3D).read_into(orientation);
  if (reading.has_orientation) {
    SensorScratch& s = _imu_orientation_scratch;
    const auto& sensor = measurement.get_sensor(kImuOrientation);
    shape(s.configured, 3);
    shape(s.noise, 3);
    sensor.read_noise_into(s.configured);
    block_noise(reading.orientation_kind, reading.orientation_block, s.configured,
                _covariance_policy, s.noise);
    s.data = euler_from_quaternion(reading.orientation);
    if (_imu_orientation == ImuOrientation::roll_pitch) {
      // A magnetometer's yaw is often wrong: it carries no information here.
      s.noise.row(2).setZero();
      s.noise.col(2).setZero();
      s.noise(2, 2) = kUnmeasuredVariance;
      s.data(2) = orientation(2);
    }
    measurement.sensor_populate(kImuOrientation, s.data, s.noise);
  }
  if (kinds[0] == Covariance::not_measured && kinds[1] == Covariance::not_measured) {
    return;  // the orientation alone
  }
  SensorScratch& s = _imu_scratch;
  const auto& sensor = dynamic_cast<const ukf::Imu&>(measurement.get_sensor(kImu));
  const Eigen::Quaterniond body_to_world = rotation_of(orientation);
  s.data.resize(6);
  s.data.head<3>() =
    reading.specific_force - body_to_world.conjugate() * Eigen::Vector3d(0.0, 0.0, kGravity);
  s.data.tail<3>() = reading.angular_velocity;
  const bool as_configured = [&] {
    for (int b = 0; b < 2; ++b) {
      if (kinds[b] == Covariance::not_measured ||
          (kinds[b] == Covariance::given && _covariance_policy != CovariancePolicy::ignore)) {
        return false;
      }
    }
    return true;
  }();
  if (as_configured) {
    measurement.sensor_populate(kImu, s.data);
    return;
  }
  shape(s.configured, 6);
  sensor.read_noise_into(s.configured);
  s.noise = s.configured;
  const std::string* fields[2] = {&sensor.get_state_acc_field(), &sensor.get_state_ang_vel_field()};
  for (int b = 0; b < 2; ++b) {
    if (kinds[b] == Covariance::configured ||
        (kinds[b] == Covariance::given && _covariance_policy == CovariancePolicy::ignore)) {
      continue;
    }
    const Eigen::Index at = 3 * b;
    s.noise.middleRows(at, 3).setZero();
    s.noise.middleCols(at, 3).setZero();
    if (kinds[b] == Covariance::given) {
      block_noise(kinds[b], reading.blocks[b], s.configured.block<3, 3>(at, at),
                  _covariance_policy, s.noise.block<3, 3>(at, at));
    } else {
      s.noise.block<3, 3>(at, at) = kUnmeasuredVariance * Eigen::Matrix3d::Identity();
      const ukf::IField& field = state.field(*fields[b]);
      _field_scratch.resize(static_cast<Eigen::Index>(field.get_size()));
      field.read_into(_field_scratch);
      s.data.segment<3>(at) = _field_scratch.head<3>();
    }
  }
  measurement.sensor_populate(kImu, s.data, s.noise);
}

// Position as it is, the quaternion as roll, pitch and yaw; the pose covariance, where given,
// gives the noise under the covariance policy.
void ZendrafellLocalisationNode::vo_measurement(const nav_msgs::msg::Odometry& msg,
                                                ukf::Measurement& measurement)
{
  const VoReading reading = read_vo(msg);
  _vo_scratch.data = reading.pose;
  populate(measurement, kVo, _vo_scratch,
           reading.covariance_given ? Covariance::given : Covariance::configured,
           reading.covariance, _covariance_policy);
}

// Forward speed and yaw rate into the sensor "encoders", as encoder_vel's are, with the twist's
// covariance under the covariance policy.
void ZendrafellLocalisationNode::wheel_measurement(const nav_msgs::msg::Odometry& msg,
                                                   ukf::Measurement& measurement)
{
  const WheelReading reading = read_wheel(msg);
  _encoder_scratch.data = reading.twist;
  populate(measurement, kEncoders, _encoder_scratch, reading.kind, reading.block,
           _covariance_policy);
}

// Moves a message into the node's frames (see the class comment), saying in `moved` whether it
// had to; false when it was dropped.
bool ZendrafellLocalisationNode::to_base_frame(Message& msg, bool& moved)
{
  const auto input = static_cast<Input>(msg.index());
  const double t = get_seconds_from_stamp(stamp_of(msg));
  const auto is_base = [this](const std::string& frame) {
    return frame.empty() || frame == _base_link_frame;
  };
  Eigen::Isometry3d mount;
  if (auto* imu = std::get_if<sensor_msgs::msg::Imu>(&msg)) {
    const std::string& frame = imu->header.frame_id;
    if (is_base(frame)) {
      return true;
    }
    if (frame == _odom_frame) {
      drop_untransformable(input, t, "its frame_id is the odometry frame \"" + frame +
                                       "\"; an IMU measures in a frame fixed to the vehicle");
      return false;
    }
    if (!lookup(input, t, _base_link_frame, frame, mount)) {
      return false;
    }
    imu_to_base(*imu, mount);
    moved = true;
  } else if (auto* wheel = std::get_if<WheelOdometry>(&msg)) {
    const std::string& frame = wheel->odometry.child_frame_id;
    if (is_base(frame)) {
      return true;
    }
    if (!lookup(input, t, _base_link_frame, frame, mount)) {
      return false;
    }
    twist_to_base(wheel->odometry, mount);
    moved = true;
  } else if (auto* vo = std::get_if<nav_msgs::msg::Odometry>(&msg)) {
    const std::string& header = vo->header.frame_id;
    const std::string& child = vo->child_frame_id;
    Eigen::Isometry3d odom_from_header = Eigen::Isometry3d::Identity();
    Eigen::Isometry3d child_from_base = Eigen::Isometry3d::Identity();
    const bool header_is_odom = header.empty() || header == _odom_frame;
    if (header_is_odom && is_base(child)) {
      return true;
    }
    if (!header_is_odom && !lookup(input, t, _odom_frame, header, odom_from_header)) {
      return false;
    }
    if (!is_base(child) && !lookup(input, t, child, _base_link_frame, child_from_base)) {
      return false;
    }
    pose_to_base(*vo, odom_from_header, child_from_base);
    moved = true;
  }
  return true;
}

// The latest transform from `source` to `target`; false, with the message counted and dropped,
// when tf2 has none or it is not a rigid motion.
bool ZendrafellLocalisationNode::lookup(Input input, double stamp, const std::string& target,
                                        const std::string& source, Eigen::Isometry3d& out)
{
  try {
    out = rigid_motion(_tf_buffer->lookupTransform(target, source, tf2::TimePointZero));
    return true;
  } catch (const std::exception& e) {  // tf2::TransformException, or not a rigid motion
    drop_untransformable(input, stamp, "no usable transform from \"" + source + "\" to \"" +
                                         target + "\": " + e.what());
    return false;
  }
}

void ZendrafellLocalisationNode::drop(Input input, double stamp, const std::string& reason)
{
  ++_dropped;
  ++_dropped_by[static_cast<std::size_t>(input)];
  RCLCPP_WARN(this->get_logger(), "Dropped %s message stamped %.9f s: %s", input_name(input),
              stamp, reason.c_str());
}

// Sensors at different rates and latencies deliver late messages as a matter of course: they are
// counted, and the count is logged at most once a second per topic.
void ZendrafellLocalisationNode::drop_late(Input input, double stamp)
{
  const auto i = static_cast<std::size_t>(input);
  ++_dropped;
  ++_dropped_by[i];
  ++_late[i];
  if (due(_late_warned[i], std::chrono::seconds(1))) {
    RCLCPP_WARN(this->get_logger(),
                "Dropped %zu late %s messages so far: the latest was stamped %.9f s, %.9f s "
                "before the latest update",
                _late[i], input_name(input), stamp, _last_time - stamp);
  }
}

// Frames that cannot be transformed tend to come in streams (a transform not published yet, a
// typo in a frame id): counted, and logged at most once a second per topic.
void ZendrafellLocalisationNode::drop_untransformable(Input input, double stamp,
                                                      const std::string& reason)
{
  const auto i = static_cast<std::size_t>(input);
  ++_dropped;
  ++_dropped_by[i];
  ++_untransformable[i];
  if (due(_untransformable_warned[i], std::chrono::seconds(1))) {
    RCLCPP_WARN(this->get_logger(),
                "Dropped %zu %s messages so far that could not be put in the node's frames: the "
                "latest, stamped %.9f s, has %s",
                _untransformable[i], input_name(input), stamp, reason.c_str());
  }
}

void ZendrafellLocalisationNode::publish_ukf_state(const builtin_interfaces::msg::Time& stamp)
{
  const ukf::State& state = _ukf.state();
  nav_msgs::msg::Odometry odom;
  odom.header.stamp = stamp;
  odom.header.frame_id = _odom_frame;
  odom.child_frame_id = _base_link_frame;

  Eigen::Vector3d position, orientation, velocity, angular;
  state.field(kPosition3D).read_into(position);
  state.field(kOrientation3D).read_into(orientation);
  state.field(kVelocity3D).read_into(velocity);
  state.field(kAngularVelocity3D).read_into(angular);
  odom.pose.pose.position.x = position(0);
  odom.pose.pose.position.y = position(1);
  odom.pose.pose.position.z = position(2);

  const Eigen::Quaterniond q = rotation_of(orientation);
  odom.pose.pose.orientation.x = q.x();
  odom.pose.pose.orientation.y = q.y();
  odom.pose.pose.orientation.z = q.z();
  odom.pose.pose.orientation.w = q.w();

  odom.twist.twist.linear.x = velocity(0);
  odom.twist.twist.linear.y = velocity(1);
  odom.twist.twist.linear.z = velocity(2);
  odom.twist.twist.angular.x = angular(0);
  odom.twist.twist.angular.y = angular(1);
  odom.twist.twist.angular.z = angular(2);

  if (_publish_covariance) {
    // ROS's 6 x 6 row-major layout: (x, y, z, rotation about x, y, z), cross terms included.
    const ukf::MatrixX& covariance = _ukf.covar();
    const auto copy = [&](const std::string& linear, const std::string& angular_field,
                          std::array<double, 36>& out) {
      const Eigen::Index first[2] = {
        static_cast<Eigen::Index>(state.field(linear).get_index()),
        static_cast<Eigen::Index>(state.field(angular_field).get_index())};
      for (Eigen::Index r = 0; r < 6; ++r) {
        for (Eigen::Index c = 0; c < 6; ++c) {
          out[static_cast<std::size_t>(6 * r + c)] =
            covariance(first[r / 3] + r % 3, first[c / 3] + c % 3);
        }
      }
    };
    copy(kPosition3D, kOrientation3D, odom.pose.covariance);
    copy(kVelocity3D, kAngularVelocity3D, odom.twist.covariance);
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

// Loadable into a component container (`ros2 component load`, ComposableNodeContainer).
#include "rclcpp_components/register_node_macro.hpp"
RCLCPP_COMPONENTS_REGISTER_NODE(ZendrafellLocalisationNode)
