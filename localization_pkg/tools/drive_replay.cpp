#include "drive_replay.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "geometry_msgs/msg/twist_stamped.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/imu.hpp"
#include "tf2_ros/static_transform_broadcaster.h"
#include "tf2_ros/transform_broadcaster.h"
#include "ukf/helpers.hpp"
#include "zendrafell_localisation/zendrafell_localisation.hpp"

namespace localisation_replay
{

namespace
{

std::string trim(const std::string& s)
{
  const auto b = s.find_first_not_of(" \t\r");
  const auto e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::vector<std::string> split(const std::string& line)
{
  std::vector<std::string> cells;
  std::stringstream in(line);
  for (std::string cell; std::getline(in, cell, ',');) {
    cells.push_back(trim(cell));
  }
  if (!line.empty() && line.back() == ',') {
    cells.emplace_back();
  }
  return cells;
}

double number(const std::string& text, const std::string& column)
{
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size()) {
    throw std::invalid_argument("column \"" + column + "\" is not a number: \"" + text + "\"");
  }
  return v;
}

double yaw_of(const nav_msgs::msg::Odometry& o)
{
  const auto& q = o.pose.pose.orientation;
  return std::atan2(2.0 * (q.w * q.z + q.x * q.y), 1.0 - 2.0 * (q.y * q.y + q.z * q.z));
}

double seconds(int32_t sec, uint32_t nanosec) { return sec + nanosec * 1e-9; }

// The regularised lower incomplete gamma function P(a, x): its series below a + 1, one minus the
// continued fraction of the upper function above.
double gamma_p(double a, double x)
{
  if (x <= 0.0) {
    return 0.0;
  }
  const double log_prefix = a * std::log(x) - x - std::lgamma(a);
  if (x < a + 1.0) {
    double term = 1.0 / a, sum = term;
    for (int n = 1; n < 1000 && std::abs(term) > 1e-16 * std::abs(sum); ++n) {
      term *= x / (a + n);
      sum += term;
    }
    return sum * std::exp(log_prefix);
  }
  // Lentz's method for the continued fraction of Q(a, x).
  const double tiny = 1e-300;
  double b = x + 1.0 - a, c = 1.0 / tiny, d = 1.0 / b, h = d;
  for (int i = 1; i < 1000; ++i) {
    const double an = -i * (i - a);
    b += 2.0;
    d = an * d + b;
    d = std::abs(d) < tiny ? tiny : d;
    c = b + an / c;
    c = std::abs(c) < tiny ? tiny : c;
    d = 1.0 / d;
    const double delta = d * c;
    h *= delta;
    if (std::abs(delta - 1.0) < 1e-16) {
      break;
    }
  }
  return 1.0 - std::exp(log_prefix) * h;
}

// Adds one update's NIS and, against the row's ground truth, the NEES of the planar pose.
// The fields of the vehicle's pose and motion; every other state field is an extra state.
bool vehicle_field(const std::string& name)
{
  for (const char* f :
       {"Position3D", "Orientation3D", "Velocity3D", "AngularVelocity3D", "Acceleration3D"}) {
    if (name == f) {
      return true;
    }
  }
  return false;
}

// The extra states' columns: a field's name, with _x, _y, _z for three entries and _<i> for
// other sizes above one.
std::vector<std::string> extra_state_columns(const ukf::State& state)
{
  std::vector<std::string> columns;
  for (std::size_t i = 0; i < state.number_of_fields(); ++i) {
    const ukf::IField& f = state.field(i);
    if (vehicle_field(f.get_name())) {
      continue;
    }
    for (std::size_t j = 0; j < f.get_size(); ++j) {
      const std::string suffix = f.get_size() == 1   ? std::string()
                                 : f.get_size() == 3 ? std::string("_") + "xyz"[j]
                                                     : "_" + std::to_string(j);
      columns.push_back(f.get_name() + suffix);
    }
  }
  return columns;
}

void record_extra_states(Result& result, const ukf::State& state, const DriveRow& row)
{
  if (result.extra_state_columns.empty()) {
    return;
  }
  std::vector<double> values;
  values.reserve(result.extra_state_columns.size());
  for (std::size_t i = 0; i < state.number_of_fields(); ++i) {
    const ukf::IField& f = state.field(i);
    if (!vehicle_field(f.get_name())) {
      const ukf::VectorX v = f.get_vector();
      values.insert(values.end(), v.data(), v.data() + v.size());
    }
  }
  result.extra_state_times.push_back(row.sec + row.nanosec * 1e-9);
  result.extra_states.push_back(std::move(values));
}

// The update's log-likelihood and each populated sensor's share of the innovation.
void record_innovations(Result& result, const ukf::Measurement& z, const ukf::VectorX& residual,
                        const ukf::MatrixX& s, const Eigen::LDLT<ukf::MatrixX>& ldlt, double nis)
{
  constexpr double kLog2Pi = 1.8378770664093453;
  const ukf::VectorX d = ldlt.vectorD();
  if (ldlt.info() != Eigen::Success || !(d.minCoeff() > 0.0) || !std::isfinite(nis)) {
    result.log_likelihood = -std::numeric_limits<double>::infinity();
  } else {
    result.log_likelihood -=
      0.5 * (d.array().log().sum() + nis + kLog2Pi * static_cast<double>(residual.size()));
  }
  Eigen::Index offset = 0;
  for (int i = 0; i < static_cast<int>(z.number_of_sensors()); ++i) {
    const ukf::ISensor& sensor = z.get_sensor(i);
    if (!sensor.is_populated()) {
      continue;
    }
    const Eigen::Index m = sensor.get_size();
    if (offset + m > residual.size()) {
      break;
    }
    Result::SensorInnovations& own = result.innovations[sensor.get_name()];
    own.residual_squares.resize(static_cast<std::size_t>(m), 0.0);
    own.predicted_variances.resize(static_cast<std::size_t>(m), 0.0);
    const auto r = residual.segment(offset, m);
    for (Eigen::Index j = 0; j < m; ++j) {
      own.residual_squares[static_cast<std::size_t>(j)] += r(j) * r(j);
      own.predicted_variances[static_cast<std::size_t>(j)] += s(offset + j, offset + j);
    }
    own.nis_sum += r.dot(s.block(offset, offset, m, m).ldlt().solve(r));
    ++own.updates;
    offset += m;
  }
}

void record_consistency(Result& result, const ukf::Filter& filter, const DriveRow& row,
                        std::map<int, std::pair<double, double>>& bounds)
{
  record_extra_states(result, filter.state(), row);
  const ukf::VectorX& residual = filter.last_residual();
  const ukf::MatrixX& s = filter.last_innovation_covar();
  const int dof = static_cast<int>(residual.size());
  if (dof > 0) {
    const Eigen::LDLT<ukf::MatrixX> ldlt(s);
    const double nis = residual.dot(ldlt.solve(residual));
    record_innovations(result, filter.last_measurement(), residual, s, ldlt, nis);
    auto it = bounds.find(dof);
    if (it == bounds.end()) {
      it = bounds
             .emplace(dof, std::make_pair(chi_square_quantile(0.025, dof),
                                          chi_square_quantile(0.975, dof)))
             .first;
    }
    ++result.nis_updates;
    result.nis_sum += nis;
    result.nis_dof_sum += dof;
    result.nis_inside += nis >= it->second.first && nis <= it->second.second ? 1 : 0;
  }
  if (!row.has_truth) {
    return;
  }
  const ukf::State state = filter.get_state();
  const auto position = static_cast<Eigen::Index>(state.field("Position3D").get_index());
  const auto yaw = static_cast<Eigen::Index>(state.field("Orientation3D").get_index() + 2);
  const ukf::VectorX x = state.get_vector();
  const ukf::MatrixX covariance = filter.get_covar();
  const Eigen::Index at[3] = {position, position + 1, yaw};
  Eigen::Vector3d error(x(position) - row.x, x(position + 1) - row.y,
                        ukf::wrap_angle(x(yaw) - row.yaw));
  Eigen::Matrix3d p;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      p(r, c) = covariance(at[r], at[c]);
    }
  }
  const double nees = error.dot(p.ldlt().solve(error));
  if (std::isfinite(nees)) {
    ++result.nees_updates;
    result.nees_sum += nees;
  }
}

// A covariance cell: empty (all zeros, unknown), or N numbers separated by spaces.
template <std::size_t N>
bool covariance_cell(const std::string& text, const char* column, std::array<double, N>& out)
{
  if (text.empty()) {
    return false;
  }
  std::istringstream in(text);
  std::size_t k = 0;
  for (std::string word; in >> word; ++k) {
    if (k >= N) {
      throw std::invalid_argument("column \"" + std::string(column) + "\" has more than " +
                                  std::to_string(N) + " numbers");
    }
    out[k] = number(word, column);
  }
  if (k != N) {
    throw std::invalid_argument("column \"" + std::string(column) + "\" has " + std::to_string(k) +
                                " numbers; a covariance there has " + std::to_string(N) +
                                ", row-major, separated by spaces");
  }
  return true;
}

// The covariance columns of a row's sensor, where the file has them.
template <typename Cell>
void read_covariances(DriveRow& r, const Cell& cell)
{
  auto c = std::make_shared<RowCovariance>();
  bool any = false;
  if (r.sensor == Sensor::imu) {
    any = covariance_cell(cell("accel_cov"), "accel_cov", c->accel) | any;
    any = covariance_cell(cell("gyro_cov"), "gyro_cov", c->gyro) | any;
    any = covariance_cell(cell("orientation_cov"), "orientation_cov", c->orientation) | any;
  } else if (r.sensor == Sensor::vo) {
    any = covariance_cell(cell("pose_cov"), "pose_cov", c->pose);
  } else if (r.sensor == Sensor::wheel_odom) {
    any = covariance_cell(cell("twist_cov"), "twist_cov", c->twist);
  }
  if (any) {
    r.covariance = std::move(c);
  }
}

// The published forward speed against the rows' true speed, matched by stamp.
void speed_errors(Result& result)
{
  std::map<std::pair<int32_t, uint32_t>, double> truth;
  for (const DriveRow& r : result.rows) {
    if (std::isfinite(r.speed)) {
      truth.emplace(std::make_pair(r.sec, r.nanosec), r.speed);
    }
  }
  double sum = 0.0;
  for (const auto& o : result.odometry) {
    const auto it = truth.find({o.header.stamp.sec, o.header.stamp.nanosec});
    if (it != truth.end()) {
      const double e = o.twist.twist.linear.x - it->second;
      sum += e * e;
      ++result.speed_matched;
    }
  }
  if (result.speed_matched > 0) {
    result.rms_speed_error = std::sqrt(sum / static_cast<double>(result.speed_matched));
  }
}

}  // namespace

double chi_square_quantile(double p, double dof)
{
  if (!(dof > 0.0) || !(p > 0.0 && p < 1.0)) {
    throw std::invalid_argument("chi_square_quantile: needs dof > 0 and 0 < p < 1");
  }
  double lo = 0.0, hi = std::max(1.0, dof);
  while (gamma_p(dof / 2, hi / 2) < p) {
    hi *= 2.0;
  }
  for (int i = 0; i < 200 && hi - lo > 1e-12 * hi; ++i) {
    const double mid = 0.5 * (lo + hi);
    (gamma_p(dof / 2, mid / 2) < p ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

bool all_finite(const nav_msgs::msg::Odometry& odometry)
{
  const auto& p = odometry.pose.pose;
  const auto& t = odometry.twist.twist;
  for (double v : {p.position.x, p.position.y, p.position.z, p.orientation.x, p.orientation.y,
                   p.orientation.z, p.orientation.w, t.linear.x, t.linear.y, t.linear.z,
                   t.angular.x, t.angular.y, t.angular.z}) {
    if (!std::isfinite(v)) {
      return false;
    }
  }
  return true;
}

void read_drive(const std::string& path, std::vector<DriveRow>& rows)
{
  std::ifstream in(path);
  if (!in.is_open()) {
    throw std::runtime_error("cannot open drive file: " + path);
  }
  read_drive(in, path, rows);
}

void read_drive(std::istream& in, const std::string& path, std::vector<DriveRow>& rows)
{
  std::string line;
  if (!std::getline(in, line)) {
    throw std::runtime_error(path + ": the file is empty; it needs a header row");
  }
  std::map<std::string, std::size_t> col;
  const std::vector<std::string> header = split(line);
  for (std::size_t i = 0; i < header.size(); ++i) {
    col[header[i]] = i;
  }
  const bool split_time = col.count("sec") && col.count("nanosec");
  if (!split_time && !col.count("stamp")) {
    throw std::runtime_error(path +
                             ": the header needs the time as \"sec\",\"nanosec\" or as "
                             "\"stamp\" (seconds)");
  }
  const bool per_sensor = col.count("sensor") > 0;
  for (const char* needed : {"linear_x", "angular_z"}) {
    if (!per_sensor && !col.count(needed)) {
      throw std::runtime_error(path + ": the header has no column \"" + std::string(needed) + "\"");
    }
  }
  const bool truth = col.count("x") && col.count("y") && col.count("yaw");
  const bool orientation =
    col.count("imu_roll") && col.count("imu_pitch") && col.count("imu_yaw");
  // An optional cell: empty when the header lacks the column or the row is short.
  const auto optional_cell = [&col](const std::vector<std::string>& cells,
                                    const char* name) -> std::string {
    const auto found = col.find(name);
    return found == col.end() || found->second >= cells.size() ? std::string()
                                                               : cells[found->second];
  };
  std::size_t line_number = 1;
  while (std::getline(in, line)) {
    ++line_number;
    if (trim(line).empty()) {
      continue;
    }
    const std::size_t row_number = rows.size() + 1;
    try {
      const std::vector<std::string> cells = split(line);
      const auto cell = [&](const char* name) -> const std::string& {
        const auto found = col.find(name);
        if (found == col.end()) {
          throw std::invalid_argument("the header has no column \"" + std::string(name) + "\"");
        }
        const std::size_t i = found->second;
        if (i >= cells.size()) {
          throw std::invalid_argument("it has " + std::to_string(cells.size()) +
                                      " columns, the header " + std::to_string(header.size()));
        }
        return cells[i];
      };
      DriveRow r;
      if (split_time) {
        const double sec = number(cell("sec"), "sec");
        const double nanosec = number(cell("nanosec"), "nanosec");
        if (sec != std::floor(sec) || sec < std::numeric_limits<int32_t>::min() ||
            sec > std::numeric_limits<int32_t>::max()) {
          throw std::invalid_argument("\"sec\" is not a 32-bit whole number: " + cell("sec"));
        }
        if (nanosec != std::floor(nanosec) || nanosec < 0 || nanosec >= 1e9) {
          throw std::invalid_argument("\"nanosec\" is not a whole number in [0, 1e9): " +
                                      cell("nanosec"));
        }
        r.sec = static_cast<int32_t>(sec);
        r.nanosec = static_cast<uint32_t>(nanosec);
      } else {
        const double stamp = number(cell("stamp"), "stamp");
        if (!std::isfinite(stamp) || stamp < std::numeric_limits<int32_t>::min() ||
            stamp >= static_cast<double>(std::numeric_limits<int32_t>::max()) + 1.0) {
          throw std::invalid_argument("\"stamp\" is out of the range of a ROS time: " +
                                      cell("stamp"));
        }
        const double whole = std::floor(stamp);
        r.sec = static_cast<int32_t>(whole);
        r.nanosec = static_cast<uint32_t>(std::min(999999999.0, std::round((stamp - whole) * 1e9)));
      }
      if (per_sensor) {
        const std::string& name = cell("sensor");
        if (name == "imu") {
          r.sensor = Sensor::imu;
        } else if (name == "vo") {
          r.sensor = Sensor::vo;
        } else if (name == "wheel_odom") {
          r.sensor = Sensor::wheel_odom;
        } else if (name != "encoders") {
          throw std::invalid_argument("\"sensor\" is not encoders, imu, vo or wheel_odom: \"" +
                                      name + "\"");
        }
      }
      static const char* const kImuColumns[] = {"accel_x", "accel_y", "accel_z",
                                                "gyro_x",  "gyro_y",  "gyro_z"};
      static const char* const kVoColumns[] = {"vo_x",    "vo_y",     "vo_z",
                                               "vo_roll", "vo_pitch", "vo_yaw"};
      if (r.sensor == Sensor::encoders || r.sensor == Sensor::wheel_odom) {
        r.linear_x = number(cell("linear_x"), "linear_x");
        r.angular_z = number(cell("angular_z"), "angular_z");
        if (r.sensor == Sensor::wheel_odom) {
          r.values = {r.linear_x, 0.0, 0.0, 0.0, 0.0, r.angular_z};
        }
      } else {
        const char* const* names = r.sensor == Sensor::imu ? kImuColumns : kVoColumns;
        for (std::size_t k = 0; k < 6; ++k) {
          r.values[k] = number(cell(names[k]), names[k]);
        }
      }
      if (r.sensor == Sensor::imu && orientation && !optional_cell(cells, "imu_roll").empty()) {
        static const char* const kOrientationColumns[] = {"imu_roll", "imu_pitch", "imu_yaw"};
        r.has_orientation = true;
        for (std::size_t k = 0; k < 3; ++k) {
          r.orientation[k] = number(cell(kOrientationColumns[k]), kOrientationColumns[k]);
        }
      }
      if (r.sensor == Sensor::imu || r.sensor == Sensor::vo) {
        r.frame_id = optional_cell(cells, "frame_id");
      }
      if (r.sensor == Sensor::vo || r.sensor == Sensor::wheel_odom) {
        r.child_frame_id = optional_cell(cells, "child_frame_id");
      }
      if (!optional_cell(cells, "speed").empty()) {
        r.speed = number(cell("speed"), "speed");
      }
      if (truth) {
        // Truth may be missing on a row (GPS at a few hertz beside an IMU at a hundred), but x,
        // y and yaw go together.
        const int given = !optional_cell(cells, "x").empty() + !optional_cell(cells, "y").empty() +
                          !optional_cell(cells, "yaw").empty();
        if (given == 3) {
          r.has_truth = true;
          r.x = number(cell("x"), "x");
          r.y = number(cell("y"), "y");
          r.yaw = number(cell("yaw"), "yaw");
        } else if (given != 0) {
          throw std::invalid_argument("the truth columns x, y and yaw are all given or all empty");
        }
      }
      read_covariances(r, [&](const char* name) { return optional_cell(cells, name); });
      rows.push_back(r);
    } catch (const std::exception& e) {
      throw RowError("row " + std::to_string(row_number) + " (line " + std::to_string(line_number) +
                     "): " + e.what());
    }
  }
}

Sensors parse_sensors(const std::string& list)
{
  Sensors chosen{false, false, false, false};
  std::stringstream in(list);
  std::size_t count = 0;
  for (std::string name; std::getline(in, name, ',');) {
    name = trim(name);
    bool* flag = name == "encoders"     ? &chosen.encoders
                 : name == "imu"        ? &chosen.imu
                 : name == "vo"         ? &chosen.vo
                 : name == "wheel_odom" ? &chosen.wheel_odom
                                        : nullptr;
    if (flag == nullptr) {
      throw std::invalid_argument("unknown sensor \"" + name + "\": the sensors are encoders, imu, "
                                  "vo and wheel_odom");
    }
    if (*flag) {
      throw std::invalid_argument("sensor \"" + name + "\" is named twice");
    }
    *flag = true;
    ++count;
  }
  if (count == 0) {
    throw std::invalid_argument("no sensor named: give a list such as encoders,imu,vo");
  }
  return chosen;
}

Sensors sensors_in(const std::vector<DriveRow>& rows)
{
  Sensors present{false, false, false, false};
  for (const DriveRow& r : rows) {
    (r.sensor == Sensor::encoders ? present.encoders
     : r.sensor == Sensor::imu    ? present.imu
     : r.sensor == Sensor::vo     ? present.vo
                                  : present.wheel_odom) = true;
  }
  return present;
}

namespace
{

std_msgs::msg::Header header_of(const DriveRow& row, const char* frame)
{
  std_msgs::msg::Header header;
  header.stamp.sec = row.sec;
  header.stamp.nanosec = row.nanosec;
  header.frame_id = frame;
  return header;
}

geometry_msgs::msg::TwistStamped twist_of(const DriveRow& row)
{
  geometry_msgs::msg::TwistStamped m;
  m.header = header_of(row, "base_link");
  m.twist.linear.x = row.linear_x;
  m.twist.angular.z = row.angular_z;
  return m;
}

sensor_msgs::msg::Imu imu_of(const DriveRow& row)
{
  sensor_msgs::msg::Imu m;
  m.header = header_of(row, row.frame_id.c_str());
  if (row.has_orientation) {
    const Eigen::Quaterniond q =
      quaternion_from_euler(row.orientation[0], row.orientation[1], row.orientation[2]);
    m.orientation.x = q.x();
    m.orientation.y = q.y();
    m.orientation.z = q.z();
    m.orientation.w = q.w();
  } else {
    m.orientation_covariance[0] = -1.0;  // no orientation estimate, as ROS marks it
  }
  if (row.covariance) {
    m.linear_acceleration_covariance = row.covariance->accel;
    m.angular_velocity_covariance = row.covariance->gyro;
    if (row.has_orientation) {
      m.orientation_covariance = row.covariance->orientation;
    }
  }
  m.linear_acceleration.x = row.values[0];
  m.linear_acceleration.y = row.values[1];
  m.linear_acceleration.z = row.values[2];
  m.angular_velocity.x = row.values[3];
  m.angular_velocity.y = row.values[4];
  m.angular_velocity.z = row.values[5];
  return m;
}

nav_msgs::msg::Odometry vo_of(const DriveRow& row)
{
  nav_msgs::msg::Odometry m;
  m.header = header_of(row, row.frame_id.c_str());
  m.child_frame_id = row.child_frame_id;
  m.pose.pose.position.x = row.values[0];
  m.pose.pose.position.y = row.values[1];
  m.pose.pose.position.z = row.values[2];
  const Eigen::Quaterniond q = quaternion_from_euler(row.values[3], row.values[4], row.values[5]);
  m.pose.pose.orientation.x = q.x();
  m.pose.pose.orientation.y = q.y();
  m.pose.pose.orientation.z = q.z();
  m.pose.pose.orientation.w = q.w();
  if (row.covariance) {
    m.pose.covariance = row.covariance->pose;
  }
  return m;
}

nav_msgs::msg::Odometry wheel_odom_of(const DriveRow& row)
{
  nav_msgs::msg::Odometry m;
  m.header = header_of(row, "odom");
  m.child_frame_id = row.child_frame_id;
  m.twist.twist.linear.x = row.values[0];
  m.twist.twist.linear.y = row.values[1];
  m.twist.twist.linear.z = row.values[2];
  m.twist.twist.angular.x = row.values[3];
  m.twist.twist.angular.y = row.values[4];
  m.twist.twist.angular.z = row.values[5];
  if (row.covariance) {
    m.twist.covariance = row.covariance->twist;
  }
  return m;
}

}  // namespace

const char* const kSensorNames[4] = {"encoders", "imu", "vo", "wheel_odom"};

geometry_msgs::msg::TransformStamped parse_static_transform(const std::string& text)
{
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) {
    words.push_back(w);
  }
  if (words.size() != 8) {
    throw std::invalid_argument("a static transform is \"PARENT CHILD X Y Z ROLL PITCH YAW\", "
                                "got " + std::to_string(words.size()) + " words in \"" + text +
                                "\"");
  }
  static const char* const kNames[] = {"X", "Y", "Z", "ROLL", "PITCH", "YAW"};
  double v[6];
  for (std::size_t k = 0; k < 6; ++k) {
    v[k] = number(words[k + 2], kNames[k]);
    if (!std::isfinite(v[k])) {
      throw std::invalid_argument(std::string(kNames[k]) + " of a static transform is not finite: " +
                                  words[k + 2]);
    }
  }
  if (words[0] == words[1]) {
    throw std::invalid_argument("a static transform needs two different frames, got \"" +
                                words[0] + "\" twice");
  }
  geometry_msgs::msg::TransformStamped t;
  t.header.frame_id = words[0];
  t.child_frame_id = words[1];
  t.transform.translation.x = v[0];
  t.transform.translation.y = v[1];
  t.transform.translation.z = v[2];
  const Eigen::Quaterniond q = quaternion_from_euler(v[3], v[4], v[5]);
  t.transform.rotation.x = q.x();
  t.transform.rotation.y = q.y();
  t.transform.rotation.z = q.z();
  t.transform.rotation.w = q.w();
  return t;
}

Result replay(const std::vector<DriveRow>& rows, const std::string& config_path,
              const std::function<void(std::size_t, std::size_t)>& progress,
              std::optional<Sensors> chosen, const Options& extra)
{
  const Sensors sensors = chosen ? *chosen : sensors_in(rows);
  Result result;
  result.rows = rows;
  result.sensors = sensors;
  rclcpp::NodeOptions options;
  options.append_parameter_override("ukf_config", config_path);
  if (sensors.imu) {
    options.append_parameter_override("imu_topic", "imu");
  }
  if (sensors.vo) {
    options.append_parameter_override("vo_topic", "vo");
  }
  if (sensors.wheel_odom) {
    options.append_parameter_override("wheel_odom_topic", "wheel_odom");
  }
  for (const auto& [name, value] : extra.parameters) {
    options.append_parameter_override(name, value);
  }
  auto node = std::make_shared<ZendrafellLocalisationNode>(options);
  result.extra_state_columns = extra_state_columns(node->get_filter().state());
  auto driver = std::make_shared<rclcpp::Node>("localisation_replay");
  auto encoders = driver->create_publisher<geometry_msgs::msg::TwistStamped>("encoder_vel", 10);
  auto imu = driver->create_publisher<sensor_msgs::msg::Imu>("imu", 10);
  auto vo = driver->create_publisher<nav_msgs::msg::Odometry>("vo", 10);
  auto wheel_odom = driver->create_publisher<nav_msgs::msg::Odometry>("wheel_odom", 10);
  // The robot's fixed transforms first, heard by the node before any row.
  std::unique_ptr<tf2_ros::StaticTransformBroadcaster> static_broadcaster;
  if (!extra.static_transforms.empty() && (sensors.imu || sensors.vo || sensors.wheel_odom)) {
    static_broadcaster = std::make_unique<tf2_ros::StaticTransformBroadcaster>(driver);
    static_broadcaster->sendTransform(extra.static_transforms);
    const auto heard = [&] {
      for (const auto& t : extra.static_transforms) {
        if (!node->transforms().canTransform(t.header.frame_id, t.child_frame_id,
                                             tf2::TimePointZero)) {
          return false;
        }
      }
      return true;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!heard() && rclcpp::ok() && std::chrono::steady_clock::now() < deadline) {
      rclcpp::spin_some(node);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  // Deep enough for what "fusion_delay" releases at once.
  auto subscription = driver->create_subscription<nav_msgs::msg::Odometry>(
    "odometry/filtered", 1000,
    [&result](const nav_msgs::msg::Odometry& m) { result.odometry.push_back(m); });
  // Each update publishes one estimate: spin until all have come (at once in one process; the
  // bound only guards against one that never does).
  const auto collect = [&] {
    for (int spins = 0; result.odometry.size() < node->updates() && spins < 1000; ++spins) {
      rclcpp::spin_some(driver);
    }
  };
  // Recorded transforms go out among the rows, each before the first row not stamped before it.
  std::unique_ptr<tf2_ros::TransformBroadcaster> broadcaster;
  if (!extra.transforms.empty()) {
    broadcaster = std::make_unique<tf2_ros::TransformBroadcaster>(driver);
  }
  std::size_t next_transform = 0;

  std::map<int, std::pair<double, double>> bounds;
  std::chrono::steady_clock::duration busy{};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!rclcpp::ok()) {  // SIGINT: stop here and keep what was replayed
      result.interrupted = true;
      result.rows.resize(i);
      break;
    }
    const DriveRow& row = rows[i];
    while (broadcaster && next_transform < extra.transforms.size() &&
           std::make_pair(extra.transforms[next_transform].header.stamp.sec,
                          extra.transforms[next_transform].header.stamp.nanosec) <=
             std::make_pair(row.sec, row.nanosec)) {
      broadcaster->sendTransform(extra.transforms[next_transform++]);
      rclcpp::spin_some(node);
    }
    if (sensors.has(row.sensor)) {
      const auto start = std::chrono::steady_clock::now();
      const std::size_t updates = node->updates();
      try {
        switch (row.sensor) {
          case Sensor::encoders:
            encoders->publish(twist_of(row));
            break;
          case Sensor::imu:
            imu->publish(imu_of(row));
            break;
          case Sensor::vo:
            vo->publish(vo_of(row));
            break;
          case Sensor::wheel_odom:
            wheel_odom->publish(wheel_odom_of(row));
            break;
        }
        rclcpp::spin_some(node);
        collect();
      } catch (const std::exception&) {
        if (rclcpp::ok()) {
          throw;
        }
        result.interrupted = true;  // the signal came between the check and the spin
        result.rows.resize(i);
        break;
      }
      busy += std::chrono::steady_clock::now() - start;
      ++result.sent[static_cast<std::size_t>(row.sensor)];
      // Outside the timed part: the consistency figures copy the filter's record of the update.
      if (node->updates() != updates) {
        record_consistency(result, node->get_filter(), row, bounds);
      }
    }
    if (progress && (i + 1) % 250 == 0) {
      progress(i + 1, rows.size());
    }
  }
  if (!result.interrupted && node->held_messages() > 0) {
    node->flush_held();  // the end of the recording: what "fusion_delay" still holds
    collect();
  }
  result.wall_seconds = std::chrono::duration<double>(busy).count();
  result.dropped = node->dropped_messages();
  result.restarts = node->filter_restarts();
  for (std::size_t k = 0; k < result.untransformable.size(); ++k) {
    result.untransformable[k] =
      node->untransformable_messages(static_cast<ZendrafellLocalisationNode::Input>(k));
  }
  speed_errors(result);

  const std::vector<DriveRow>& done = result.rows;
  result.has_truth = std::any_of(done.begin(), done.end(),
                                 [](const DriveRow& r) { return r.has_truth; });
  // Dead reckoning of the encoder readings, for comparison, from the first row's truth or, without
  // it, from where the node starts: x += v cos(yaw) dt, yaw += w dt. A row whose readings are not
  // finite is skipped, as the node drops it.
  double x = 0.0, y = 0.0, yaw = 0.0;
  if (!done.empty() && done[0].has_truth) {
    x = done[0].x;
    y = done[0].y;
    yaw = done[0].yaw;
  }
  double sum_dr = 0.0, sum_dr_heading = 0.0;
  std::size_t dr_rows = 0, dr_steps = 0;
  bool started = false;
  std::size_t last_used = 0, last_truth = done.size();
  for (std::size_t i = 0; i < done.size(); ++i) {
    const DriveRow& r = done[i];
    if (r.has_truth) {
      if (last_truth < done.size()) {
        result.distance += std::hypot(r.x - done[last_truth].x, r.y - done[last_truth].y);
      }
      last_truth = i;
    }
    if (r.sensor == Sensor::encoders || r.sensor == Sensor::wheel_odom) {
      if (started && std::isfinite(r.linear_x) && std::isfinite(r.angular_z)) {
        const double dt =
          seconds(r.sec, r.nanosec) - seconds(done[last_used].sec, done[last_used].nanosec);
        x += r.linear_x * std::cos(yaw) * dt;
        y += r.linear_x * std::sin(yaw) * dt;
        yaw += r.angular_z * dt;
        last_used = i;
      } else if (!started) {
        started = true;
        last_used = i;
      }
      ++dr_steps;
      if (r.has_truth) {
        const double e = std::hypot(x - r.x, y - r.y);
        const double h = std::abs(ukf::wrap_angle(yaw - r.yaw));
        sum_dr += e * e;
        sum_dr_heading += h * h;
        ++dr_rows;
        result.dead_reckoning_final_error = e;
        result.dead_reckoning_final_heading_error = h;
      }
    }
    result.dead_reckoning_x.push_back(x);
    result.dead_reckoning_y.push_back(y);
  }
  result.has_dead_reckoning = dr_steps > 0;
  if (dr_rows > 0) {
    result.dead_reckoning_rms_error = std::sqrt(sum_dr / static_cast<double>(dr_rows));
    result.dead_reckoning_rms_heading_error =
      std::sqrt(sum_dr_heading / static_cast<double>(dr_rows));
  }

  // Against a truth file, or the rows' own truth at any rate: the estimate nearest in time, the
  // aligned and relative errors.
  std::vector<TruthPoint> truth = extra.truth;
  result.truth_from_file = !truth.empty();
  result.truth_tolerance = extra.truth_tolerance;
  if (truth.empty()) {
    for (const DriveRow& r : done) {
      if (r.has_truth && (truth.empty() || std::make_pair(truth.back().sec, truth.back().nanosec) <
                                             std::make_pair(r.sec, r.nanosec))) {
        truth.push_back({r.sec, r.nanosec, r.x, r.y, true, r.yaw});
      }
    }
  }
  if (!truth.empty()) {
    result.pairs = associate(truth, result.odometry, extra.truth_tolerance);
    if (result.pairs.size() >= 2) {
      result.errors = trajectory_errors(result.pairs, extra.rpe_distance);
      result.has_trajectory_errors = true;
    } else {
      char why[200];
      std::snprintf(why, sizeof(why),
                    "%zu of %zu truth points lie within %g s of an estimate; aligned errors need "
                    "two (are the truth's stamps those of the drive?)",
                    result.pairs.size(), truth.size(), extra.truth_tolerance);
      result.truth_error = why;
    }
  }
  if (!result.has_truth) {
    return result;
  }

  // Estimates are matched to rows by stamp (a dropped message has no estimate); rows of several
  // sensors at one stamp share its truth.
  std::map<std::pair<int32_t, uint32_t>, std::size_t> row_of;
  for (std::size_t i = 0; i < done.size(); ++i) {
    if (done[i].has_truth) {
      row_of.emplace(std::make_pair(done[i].sec, done[i].nanosec), i);
    }
  }
  double sum = 0.0, sum_heading = 0.0;
  std::size_t matched = 0;
  for (const auto& o : result.odometry) {
    const auto it = row_of.find({o.header.stamp.sec, o.header.stamp.nanosec});
    if (it == row_of.end()) {
      continue;
    }
    const DriveRow& r = done[it->second];
    const double e = std::hypot(o.pose.pose.position.x - r.x, o.pose.pose.position.y - r.y);
    const double h = std::abs(ukf::wrap_angle(yaw_of(o) - r.yaw));
    sum += e * e;
    sum_heading += h * h;
    ++matched;
    result.final_error = e;
    result.final_heading_error = h;
  }
  result.matched = matched;
  if (matched > 0) {
    result.rms_error = std::sqrt(sum / static_cast<double>(matched));
    result.rms_heading_error = std::sqrt(sum_heading / static_cast<double>(matched));
  }
  return result;
}

void write_odometry_csv(const Result& result, const std::string& path)
{
  std::ofstream out(path);
  if (!out.is_open()) {
    throw std::runtime_error("cannot write " + path);
  }
  out << "stamp,x,y,z,yaw,qx,qy,qz,qw,vx,vy,vz,wx,wy,wz\n";
  char line[512];
  for (const auto& o : result.odometry) {
    const auto& p = o.pose.pose.position;
    const auto& q = o.pose.pose.orientation;
    const auto& v = o.twist.twist.linear;
    const auto& w = o.twist.twist.angular;
    std::snprintf(line, sizeof(line),
                  "%d.%09u,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,"
                  "%.17g,%.17g,%.17g\n",
                  o.header.stamp.sec, o.header.stamp.nanosec, p.x, p.y, p.z, yaw_of(o), q.x, q.y,
                  q.z, q.w, v.x, v.y, v.z, w.x, w.y, w.z);
    out << line;
  }
  if (!out) {
    throw std::runtime_error("writing " + path + " failed");
  }
}

namespace
{
// Text as SVG holds it.
std::string xml_text(const std::string& text)
{
  std::string out;
  for (char c : text) {
    out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
  }
  return out;
}
}  // namespace

void write_svg(const Result& result, const std::string& path, const std::string& title)
{
  std::vector<std::pair<double, double>> estimate, truth, dead;
  for (const auto& o : result.odometry) {
    estimate.emplace_back(o.pose.pose.position.x, o.pose.pose.position.y);
  }
  for (std::size_t i = 0; i < result.rows.size(); ++i) {
    if (result.rows[i].has_truth && !result.truth_from_file) {
      truth.emplace_back(result.rows[i].x, result.rows[i].y);
    }
    if (result.has_dead_reckoning) {
      dead.emplace_back(result.dead_reckoning_x[i], result.dead_reckoning_y[i]);
    }
  }
  // Truth from a file is drawn as given, in its own frame, where it lies near the estimate.
  for (const Pair& p : result.truth_from_file ? result.pairs : std::vector<Pair>{}) {
    truth.emplace_back(p.truth.x, p.truth.y);
  }
  const bool has_truth = !truth.empty();
  double min_x = 0, max_x = 1, min_y = 0, max_y = 1;
  bool first = true;
  for (const auto* series : {&estimate, &truth, &dead}) {
    for (const auto& [x, y] : *series) {
      if (!std::isfinite(x) || !std::isfinite(y)) {
        continue;
      }
      if (first) {
        min_x = max_x = x;
        min_y = max_y = y;
        first = false;
      }
      min_x = std::min(min_x, x);
      max_x = std::max(max_x, x);
      min_y = std::min(min_y, y);
      max_y = std::max(max_y, y);
    }
  }
  // Equal scales on both axes, the paths centred with a margin, and round tick spacing.
  const double span = std::max({max_x - min_x, max_y - min_y, 1.0});
  const double width = 900, height = 720, left = 70, right = 20, top = 90, bottom = 60;
  const double scale = std::min((width - left - right) / (1.1 * std::max(max_x - min_x, 0.1 * span)),
                                (height - top - bottom) / (1.1 * std::max(max_y - min_y, 0.1 * span)));
  const double centre_x = 0.5 * (min_x + max_x), centre_y = 0.5 * (min_y + max_y);
  min_x = centre_x - 0.5 * (width - left - right) / scale;
  max_x = centre_x + 0.5 * (width - left - right) / scale;
  min_y = centre_y - 0.5 * (height - top - bottom) / scale;
  max_y = centre_y + 0.5 * (height - top - bottom) / scale;
  const auto px = [&](double x) { return left + (x - min_x) * scale; };
  const auto py = [&](double y) { return height - bottom - (y - min_y) * scale; };
  const double raw_step = std::max(max_x - min_x, max_y - min_y) / 10;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw_step)));
  const double step = raw_step / magnitude < 2   ? 2 * magnitude
                      : raw_step / magnitude < 5 ? 5 * magnitude
                                                 : 10 * magnitude;

  std::ofstream out(path);
  if (!out.is_open()) {
    throw std::runtime_error("cannot write " + path);
  }
  char buf[256];
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" font-family=\"sans-serif\" font-size=\"13\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << left << "\" y=\"26\" font-size=\"17\">"
      << xml_text(title.empty() ? "localisation_replay: estimated path in the odom frame"
                                : title + ": paths in the odom frame")
      << "</text>\n";
  // Ticks at whole multiples of the step; "+ 0.0" turns a negative zero into a plain one.
  for (double k = std::ceil(min_x / step); k * step <= max_x; k += 1) {
    const double t = k * step + 0.0;
    std::snprintf(buf, sizeof(buf),
                  "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#e4e4e4\"/>"
                  "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%g</text>\n",
                  px(t), py(min_y), px(t), py(max_y), px(t), height - bottom + 18, t);
    out << buf;
  }
  for (double k = std::ceil(min_y / step); k * step <= max_y; k += 1) {
    const double t = k * step + 0.0;
    std::snprintf(buf, sizeof(buf),
                  "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#e4e4e4\"/>"
                  "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%g</text>\n",
                  px(min_x), py(t), px(max_x), py(t), left - 6, py(t) + 4, t);
    out << buf;
  }
  std::snprintf(buf, sizeof(buf),
                "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">x (m)</text>\n"
                "<text x=\"18\" y=\"%.1f\" transform=\"rotate(-90 18 %.1f)\" "
                "text-anchor=\"middle\">y (m)</text>\n",
                (px(min_x) + px(max_x)) / 2, height - 15, (py(min_y) + py(max_y)) / 2,
                (py(min_y) + py(max_y)) / 2);
  out << buf;
  const auto polyline = [&](const std::vector<std::pair<double, double>>& pts, const char* style) {
    out << "<polyline fill=\"none\" " << style << " points=\"";
    for (std::size_t i = 0; i < pts.size(); i += std::max<std::size_t>(1, pts.size() / 4000)) {
      if (std::isfinite(pts[i].first) && std::isfinite(pts[i].second)) {
        std::snprintf(buf, sizeof(buf), "%.1f,%.1f ", px(pts[i].first), py(pts[i].second));
        out << buf;
      }
    }
    out << "\"/>\n";
  };
  // The truth (dashed) and dead reckoning (dotted) are drawn over the estimate, so that both stay
  // visible where the estimate lies on them.
  const char* truth_style = "stroke=\"black\" stroke-width=\"2\" stroke-dasharray=\"6 4\"";
  const char* dead_style =
    "stroke=\"#e6550d\" stroke-width=\"2\" stroke-dasharray=\"2 4\"";
  const char* estimate_style = "stroke=\"#1f5fbf\" stroke-width=\"2.5\"";
  polyline(estimate, estimate_style);
  if (has_truth) {
    polyline(truth, truth_style);
  }
  if (!dead.empty()) {
    polyline(dead, dead_style);
  }
  // The start, and the end of each path in its colour; the labels sit on the side with room.
  // The estimate's label goes below its dot, the others above, so that ends that meet stay legible.
  const auto marker = [&](const std::vector<std::pair<double, double>>& pts, bool at_end,
                          const char* fill, const char* label, bool below = false) {
    if (pts.empty()) {
      return;
    }
    const auto& [x, y] = at_end ? pts.back() : pts.front();
    if (!std::isfinite(x) || !std::isfinite(y)) {
      return;
    }
    const bool room_right = px(x) < width - right - 80;
    std::snprintf(buf, sizeof(buf),
                  "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"5\" fill=\"%s\" stroke=\"white\"/>"
                  "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"%s\" font-weight=\"bold\">%s"
                  "</text>\n",
                  px(x), py(y), fill, px(x) + (room_right ? 9 : -9), py(y) + (below ? 20 : -9),
                  room_right ? "start" : "end", label);
    out << buf;
  };
  const std::vector<std::pair<double, double>>& origin = result.has_truth ? truth : estimate;
  marker(origin, false, "#1a9641", "start");
  if (has_truth) {
    marker(truth, true, "black", "truth's end");
  }
  marker(dead, true, "#e6550d", "dead reckoning's end");
  marker(estimate, true, "#1f5fbf", "estimate's end", true);
  // Legend: one row above the plot, then the figures.
  double lx = left;
  const double ly = 50;
  const auto legend = [&](const char* style, const std::string& label) {
    std::snprintf(buf, sizeof(buf), "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" ",
                  lx, ly, lx + 35, ly);
    out << buf << style << "/><text x=\"" << lx + 43 << "\" y=\"" << ly + 4 << "\">" << label
        << "</text>\n";
    lx += 60 + 7.5 * static_cast<double>(label.size());
  };
  legend(estimate_style, "estimated (UKF)");
  if (has_truth) {
    legend(truth_style, "ground truth");
  }
  if (!dead.empty()) {
    legend(dead_style, "encoder dead reckoning");
  }
  if (result.has_truth && result.matched > 0) {
    std::snprintf(buf, sizeof(buf), "final position error %.3f m (%.2f %% of %.0f m)",
                  result.final_error,
                  result.distance > 0 ? 100 * result.final_error / result.distance : 0.0,
                  result.distance);
    std::string figures = buf;
    std::snprintf(buf, sizeof(buf),
                  "; RMS error %.2f m, heading %.3f rad (dead reckoning %.2f m, %.3f rad)",
                  result.rms_error, result.rms_heading_error, result.dead_reckoning_rms_error,
                  result.dead_reckoning_rms_heading_error);
    out << "<text x=\"" << left << "\" y=\"" << ly + 24 << "\">" << figures << buf
        << "</text>\n";
  } else if (result.has_trajectory_errors) {
    std::snprintf(buf, sizeof(buf),
                  "ATE after alignment: RMS %.2f m, max %.2f m over %zu truth points",
                  result.errors.ate_rms, result.errors.ate_max, result.errors.pairs);
    out << "<text x=\"" << left << "\" y=\"" << ly + 24 << "\">" << buf << "</text>\n";
  }
  out << "</svg>\n";
  if (!out) {
    throw std::runtime_error("writing " + path + " failed");
  }
}

double positive_option(const std::string& option, const std::string& text)
{
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !(v > 0.0) || !std::isfinite(v)) {
    throw std::invalid_argument(option + " takes a positive number, got \"" + text + "\"");
  }
  return v;
}

void write_states_csv(const Result& result, const std::string& path)
{
  std::ofstream out(path);
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
  out << "time";
  for (const std::string& c : result.extra_state_columns) {
    out << "," << c;
  }
  out << "\n";
  char buf[64];
  for (std::size_t i = 0; i < result.extra_states.size(); ++i) {
    std::snprintf(buf, sizeof(buf), "%.9f", result.extra_state_times[i]);
    out << buf;
    for (const double v : result.extra_states[i]) {
      std::snprintf(buf, sizeof(buf), ",%.9g", v);
      out << buf;
    }
    out << "\n";
  }
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

namespace
{

// What the consistency figures say about the covariance: from the innovations (NIS) always, and
// from the estimation error (NEES of the planar pose) where there is truth. A mean more than 1.5
// times its expected value is over-confidence (the covariance is too small); less than half,
// under-confidence. Empty when both are within those bounds.
std::vector<std::string> verdicts(const Result& result)
{
  std::vector<std::string> out;
  const double n = static_cast<double>(result.nis_updates);
  const double mean = result.nis_sum / n;
  const double expected = result.nis_dof_sum / n;
  if (mean > 1.5 * expected) {
    out.push_back("over-confident: the innovations are larger than the filter expects; its sensor "
                  "or process noise is too small for this data");
  } else if (mean < 0.5 * expected) {
    out.push_back("under-confident: the innovations are smaller than the filter expects; its "
                  "sensor or process noise is larger than this data needs");
  }
  if (result.nees_updates > 0) {
    const double nees = result.nees_sum / static_cast<double>(result.nees_updates);
    char buf[256];
    if (nees > 1.5 * 3.0) {
      std::snprintf(buf, sizeof(buf),
                    "over-confident in its pose: the error against truth is larger than the "
                    "covariance says (mean NEES %.3g of 3); the published covariance is too small",
                    nees);
      out.push_back(buf);
    } else if (nees < 0.5 * 3.0) {
      std::snprintf(buf, sizeof(buf),
                    "under-confident in its pose: the error against truth is smaller than the "
                    "covariance says (mean NEES %.3g of 3)",
                    nees);
      out.push_back(buf);
    }
  }
  return out;
}

}  // namespace

std::string package_config(const std::string& source_path)
{
  if (std::ifstream(source_path).good()) {
    return source_path;
  }
  const std::string name = source_path.substr(source_path.find_last_of('/') + 1);
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n > 0) {
    std::string dir(exe, static_cast<std::size_t>(n));
    dir = dir.substr(0, dir.find_last_of('/'));
    const std::string installed = dir + "/../../share/localization_pkg/config/" + name;
    if (std::ifstream(installed).good()) {
      return installed;
    }
  }
  return source_path;
}

std::string summary(const Result& result)
{
  std::ostringstream s;
  char buf[256];
  static const char* const kNames[] = {"encoder", "IMU", "visual odometry", "wheel odometry"};
  std::string in;
  std::size_t untransformable = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    if (result.sensors.has(static_cast<Sensor>(k))) {
      in += (in.empty() ? "" : ", ") + std::to_string(result.sent[k]) + " " + kNames[k];
    }
    untransformable += result.untransformable[k];
  }
  if (in.empty()) {
    in = "no";  // nothing was read before a failure
  }
  std::snprintf(buf, sizeof(buf),
                "messages: %s messages in, %zu odometry messages out (%zu dropped, %zu filter "
                "restarts)\n",
                in.c_str(), result.odometry.size(), result.dropped, result.restarts);
  s << buf;
  if (untransformable > 0) {
    std::string which;
    for (std::size_t k = 0; k < 4; ++k) {
      if (result.untransformable[k] > 0) {
        which += (which.empty() ? "" : ", ") + std::to_string(result.untransformable[k]) + " " +
                 kNames[k];
      }
    }
    s << "frames: " << which
      << " messages dropped for want of a transform into the node's frames (--static-tf)\n";
  }
  std::snprintf(buf, sizeof(buf), "speed: %.0f updates per second of wall time (%.2f s)\n",
                result.wall_seconds > 0 ? result.odometry.size() / result.wall_seconds : 0.0,
                result.wall_seconds);
  s << buf;
  if (!result.odometry.empty()) {
    const auto& o = result.odometry.back();
    std::snprintf(buf, sizeof(buf), "final pose: x %.3f m, y %.3f m, yaw %.4f rad\n",
                  o.pose.pose.position.x, o.pose.pose.position.y, yaw_of(o));
    s << buf;
  }
  if (!result.extra_states.empty()) {
    s << "final extra states:";
    for (std::size_t k = 0; k < result.extra_state_columns.size(); ++k) {
      std::snprintf(buf, sizeof(buf), " %s %.4g", result.extra_state_columns[k].c_str(),
                    result.extra_states.back()[k]);
      s << (k == 0 ? "" : ",") << buf;
    }
    s << "\n";
  }
  if (result.has_truth) {
    std::snprintf(buf, sizeof(buf), "against ground truth (%.1f m travelled):\n", result.distance);
    s << buf;
  }
  if (result.has_truth && result.matched > 0) {
    const double pct = result.distance > 0 ? 100 * result.final_error / result.distance : 0.0;
    std::snprintf(buf, sizeof(buf),
                  "  final position error  %.3f m (%.2f %% of the distance)\n"
                  "  RMS position error    %.3f m\n"
                  "  RMS heading error     %.4f rad (final %.4f rad)\n",
                  result.final_error, pct, result.rms_error, result.rms_heading_error,
                  result.final_heading_error);
    s << buf;
  }
  if (result.speed_matched > 0) {
    std::snprintf(buf, sizeof(buf), "  RMS forward-speed error %.4f m/s over %zu estimates\n",
                  result.rms_speed_error, result.speed_matched);
    s << buf;
  }
  if (result.has_truth && result.has_dead_reckoning) {
    std::snprintf(buf, sizeof(buf),
                  "  dead reckoning of the encoder readings alone: final %.3f m, RMS %.3f m, RMS "
                  "heading %.4f rad\n",
                  result.dead_reckoning_final_error, result.dead_reckoning_rms_error,
                  result.dead_reckoning_rms_heading_error);
    s << buf;
  }
  if (result.has_trajectory_errors) {
    const TrajectoryErrors& e = result.errors;
    std::snprintf(buf, sizeof(buf),
                  "against %s: %zu truth points within %g s of an estimate\n"
                  "  ATE after 2D alignment (rotation and translation, no scale): RMS %.3f m, "
                  "max %.3f m\n",
                  result.truth_from_file ? "the truth file" : "the drive's truth rows", e.pairs,
                  result.truth_tolerance, e.ate_rms, e.ate_max);
    s << buf;
    if (e.rpe_segments > 0) {
      std::snprintf(buf, sizeof(buf),
                    "  RPE over %g m of path (%zu segments, %s): RMS %.3f m, max %.3f m\n",
                    e.rpe_distance, e.rpe_segments,
                    e.rpe_with_heading ? "relative poses" : "displacements in the aligned frame",
                    e.rpe_rms, e.rpe_max);
    } else {
      std::snprintf(buf, sizeof(buf), "  RPE: the truth covers less than %g m of path\n",
                    e.rpe_distance);
    }
    s << buf;
    std::snprintf(buf, sizeof(buf),
                  "  unaligned, as published (for truth in the estimate's start frame): RMS %.3f "
                  "m, final %.3f m\n",
                  e.unaligned_rms, e.unaligned_final);
    s << buf;
  } else if (!result.truth_error.empty()) {
    s << "against truth: none: " << result.truth_error << "\n";
  }
  if (!result.has_truth && result.has_dead_reckoning && !result.odometry.empty()) {
    const auto& o = result.odometry.back();
    std::snprintf(buf, sizeof(buf),
                  "dead reckoning of the encoder readings alone ends %.3f m from the estimate\n",
                  std::hypot(result.dead_reckoning_x.back() - o.pose.pose.position.x,
                             result.dead_reckoning_y.back() - o.pose.pose.position.y));
    s << buf;
  }
  if (result.nis_updates > 0) {
    const double n = static_cast<double>(result.nis_updates);
    const double mean = result.nis_sum / n;
    const double expected = result.nis_dof_sum / n;
    std::snprintf(buf, sizeof(buf),
                  "consistency over %zu updates:\n"
                  "  mean NIS %.3f (a consistent filter: %.3f, the measured entries per update)\n"
                  "  %.1f %% of updates inside the two-sided 95 %% chi-square bounds (a "
                  "consistent filter: 95 %%)\n",
                  result.nis_updates, mean, expected, 100.0 * result.nis_inside / n);
    s << buf;
    if (result.nees_updates > 0) {
      std::snprintf(buf, sizeof(buf),
                    "  mean NEES of the planar pose (x, y, yaw) %.3g (a consistent filter: 3)\n",
                    result.nees_sum / static_cast<double>(result.nees_updates));
      s << buf;
    }
    for (const std::string& line : verdicts(result)) {
      s << "  " << line << "\n";
    }
  }
  return s.str();
}

std::string summary_json(const Result& result)
{
  nlohmann::ordered_json j;
  for (std::size_t k = 0; k < 4; ++k) {
    if (result.sensors.has(static_cast<Sensor>(k))) {
      j["messages_in"][kSensorNames[k]] = result.sent[k];
    }
  }
  j["odometry_out"] = result.odometry.size();
  j["dropped"] = result.dropped;
  j["restarts"] = result.restarts;
  if (!result.odometry.empty()) {
    const auto& o = result.odometry.back();
    j["final_pose"] = {{"x", o.pose.pose.position.x},
                       {"y", o.pose.pose.position.y},
                       {"yaw", yaw_of(o)}};
  }
  if (!result.extra_states.empty()) {
    for (std::size_t k = 0; k < result.extra_state_columns.size(); ++k) {
      j["final_extra_states"][result.extra_state_columns[k]] = result.extra_states.back()[k];
    }
  }
  if (result.has_truth) {
    j["distance"] = result.distance;
  }
  if (result.has_truth && result.matched > 0) {
    j["final_position_error"] = result.final_error;
    j["final_position_error_percent"] =
      result.distance > 0 ? 100 * result.final_error / result.distance : 0.0;
    j["rms_position_error"] = result.rms_error;
    j["rms_heading_error"] = result.rms_heading_error;
    j["final_heading_error"] = result.final_heading_error;
  }
  if (result.speed_matched > 0) {
    j["rms_speed_error"] = result.rms_speed_error;
  }
  if (result.has_truth && result.has_dead_reckoning) {
    j["dead_reckoning"] = {{"final_position_error", result.dead_reckoning_final_error},
                           {"rms_position_error", result.dead_reckoning_rms_error},
                           {"rms_heading_error", result.dead_reckoning_rms_heading_error}};
  }
  if (result.has_trajectory_errors) {
    const TrajectoryErrors& e = result.errors;
    j["trajectory"] = {{"pairs", e.pairs}, {"ate_rms", e.ate_rms}, {"ate_max", e.ate_max}};
    if (e.rpe_segments > 0) {
      j["trajectory"]["rpe_rms"] = e.rpe_rms;
      j["trajectory"]["rpe_max"] = e.rpe_max;
    }
  }
  if (result.nis_updates > 0) {
    const double n = static_cast<double>(result.nis_updates);
    auto& c = j["consistency"];
    c["updates"] = result.nis_updates;
    c["mean_nis"] = result.nis_sum / n;
    c["expected_nis"] = result.nis_dof_sum / n;
    c["inside_95_percent"] = 100.0 * result.nis_inside / n;
    if (result.nees_updates > 0) {
      c["mean_nees"] = result.nees_sum / static_cast<double>(result.nees_updates);
      c["expected_nees"] = 3.0;
    }
    if (std::isfinite(result.log_likelihood)) {
      c["log_likelihood"] = result.log_likelihood;
    }
    c["verdict"] = verdicts(result);
  }
  return j.dump(2) + "\n";
}

}  // namespace localisation_replay
