#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "nav_msgs/msg/odometry.hpp"

namespace localisation_replay
{

/// The sensors a drive can hold, each sent on its own topic of the node.
enum class Sensor { encoders = 0, imu = 1, vo = 2 };

/// One row of a recorded drive: one sensor's reading and, when the file has it, ground truth.
struct DriveRow
{
  int32_t sec = 0;
  uint32_t nanosec = 0;
  Sensor sensor = Sensor::encoders;
  double linear_x = 0.0;  // encoders
  double angular_z = 0.0;
  // imu: specific force x, y, z (m/s^2), angular velocity x, y, z (rad/s);
  // vo: position x, y, z (m), roll, pitch, yaw (rad).
  std::array<double, 6> values{};
  bool has_truth = false;
  double x = 0.0, y = 0.0, yaw = 0.0;
};

/// Which sensors' rows a replay sends.
struct Sensors
{
  bool encoders = true, imu = true, vo = true;
  bool has(Sensor s) const
  {
    return s == Sensor::encoders ? encoders : s == Sensor::imu ? imu : vo;
  }
};

/// "encoders,imu,vo" or any subset, in any order; throws std::invalid_argument naming an
/// unknown or repeated name, or an empty list.
Sensors parse_sensors(const std::string& list);
/// The sensors that have at least one row in `rows`.
Sensors sensors_in(const std::vector<DriveRow>& rows);

/// A row that cannot be read; what() is "row <n> (line <l>): <problem>".
class RowError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

/// Reads a CSV with a header row: time as `sec`,`nanosec` or as `stamp` (seconds), `linear_x`,
/// `angular_z`, and optionally ground truth `x`,`y`,`yaw`; other columns are ignored. With a
/// column `sensor`, each row is one message of "encoders" (`linear_x`, `angular_z`), "imu"
/// (`accel_x`..`accel_z`, `gyro_x`..`gyro_z`) or "vo" (`vo_x`..`vo_z`, `vo_roll`, `vo_pitch`,
/// `vo_yaw`); the cells of the other sensors may be empty. Rows are
/// appended to `rows` as they are read, so after a RowError `rows` holds every row before the bad
/// one. Throws std::runtime_error for a file that cannot be read or a header without the columns.
void read_drive(const std::string& path, std::vector<DriveRow>& rows);

struct Result
{
  std::vector<DriveRow> rows;                     // the rows replayed (all, or up to an interrupt)
  Sensors sensors;                                // whose rows were sent
  std::array<std::size_t, 3> sent{};              // messages sent per sensor
  bool interrupted = false;                       // SIGINT stopped the replay early
  std::vector<nav_msgs::msg::Odometry> odometry;  // every message on "odometry/filtered"
  double wall_seconds = 0.0;
  std::size_t dropped = 0;
  std::size_t restarts = 0;
  // Against ground truth (when every row has it).
  bool has_truth = false;
  double distance = 0.0;
  // The fused estimate at every published message against that row's truth; dead reckoning of
  // the encoder readings alone (sent or not) at every encoder row. Heading errors are wrapped.
  std::size_t matched = 0;  // published estimates with a row of their stamp
  double final_error = 0.0, rms_error = 0.0;
  double final_heading_error = 0.0, rms_heading_error = 0.0;
  double dead_reckoning_final_error = 0.0, dead_reckoning_rms_error = 0.0;
  double dead_reckoning_final_heading_error = 0.0, dead_reckoning_rms_heading_error = 0.0;
  bool has_dead_reckoning = false;                         // the drive has encoder rows
  std::vector<double> dead_reckoning_x, dead_reckoning_y;  // per row, held between encoder rows
  // Consistency over the updates: the normalised innovation squared (NIS) with its degrees of
  // freedom (the measured entries), how many fell inside the two-sided 95 % chi-square bounds,
  // and, with ground truth, the normalised estimation error squared (NEES) of the planar pose
  // (x, y, yaw: 3 degrees of freedom).
  std::size_t nis_updates = 0;
  double nis_sum = 0.0, nis_dof_sum = 0.0;
  std::size_t nis_inside = 0;
  std::size_t nees_updates = 0;
  double nees_sum = 0.0;
};

/// The p-quantile of the chi-square distribution with `dof` degrees of freedom (dof > 0,
/// 0 < p < 1), to about 1e-10 relative.
double chi_square_quantile(double p, double dof);

/// Publishes every row of the chosen sensors to a ZendrafellLocalisationNode built with
/// `config_path` (encoders as geometry_msgs/TwistStamped on "encoder_vel", IMU as sensor_msgs/Imu
/// on "imu", visual odometry as nav_msgs/Odometry on "vo", the node's "imu_topic" and "vo_topic"
/// set for the sensors chosen), spins so that each is handled, and collects
/// "odometry/filtered". `sensors` defaults to every sensor the rows hold. rclcpp must be
/// initialised. `progress` is called every 250 rows.
/// When rclcpp stops (SIGINT), the replay ends there with `interrupted` set and the rows so far.
/// Dead reckoning skips rows whose readings are not finite, as the node drops them.
Result replay(const std::vector<DriveRow>& rows, const std::string& config_path,
              const std::function<void(std::size_t, std::size_t)>& progress = {},
              std::optional<Sensors> sensors = std::nullopt);

/// Whether every pose and twist value in `odometry` is finite.
bool all_finite(const nav_msgs::msg::Odometry& odometry);

/// Writes the odometry as CSV: stamp, position, yaw, quaternion, linear and angular velocity.
void write_odometry_csv(const Result& result, const std::string& path);
/// Draws the estimated path (and the true and dead-reckoned paths when known) as SVG, in metres.
void write_svg(const Result& result, const std::string& path);
/// The human summary printed at the end of a run.
std::string summary(const Result& result);

}  // namespace localisation_replay
