#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "nav_msgs/msg/odometry.hpp"

namespace localisation_replay
{

/// One row of a recorded drive: the encoder reading and, when the file has it, ground truth.
struct DriveRow
{
  int32_t sec = 0;
  uint32_t nanosec = 0;
  double linear_x = 0.0;
  double angular_z = 0.0;
  bool has_truth = false;
  double x = 0.0, y = 0.0, yaw = 0.0;
};

/// A row that cannot be read; what() is "row <n> (line <l>): <problem>".
class RowError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

/// Reads a CSV with a header row: time as `sec`,`nanosec` or as `stamp` (seconds), `linear_x`,
/// `angular_z`, and optionally ground truth `x`,`y`,`yaw`; other columns are ignored. Rows are
/// appended to `rows` as they are read, so after a RowError `rows` holds every row before the bad
/// one. Throws std::runtime_error for a file that cannot be read or a header without the columns.
void read_drive(const std::string& path, std::vector<DriveRow>& rows);

struct Result
{
  std::vector<DriveRow> rows;                     // the rows replayed (all, or up to an interrupt)
  bool interrupted = false;                       // SIGINT stopped the replay early
  std::vector<nav_msgs::msg::Odometry> odometry;  // every message on "odometry/filtered"
  double wall_seconds = 0.0;
  std::size_t dropped = 0;
  std::size_t restarts = 0;
  // Against ground truth (when every row has it).
  bool has_truth = false;
  double distance = 0.0;
  double final_error = 0.0, rms_error = 0.0;
  double dead_reckoning_final_error = 0.0, dead_reckoning_rms_error = 0.0;
  std::vector<double> dead_reckoning_x, dead_reckoning_y;
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

/// Publishes every row as a geometry_msgs/TwistStamped on "encoder_vel" to a
/// ZendrafellLocalisationNode built with `config_path`, spins so that each is handled, and
/// collects "odometry/filtered". rclcpp must be initialised. `progress` is called every 250 rows.
/// When rclcpp stops (SIGINT), the replay ends there with `interrupted` set and the rows so far.
/// Dead reckoning skips rows whose readings are not finite, as the node drops them.
Result replay(const std::vector<DriveRow>& rows, const std::string& config_path,
              const std::function<void(std::size_t, std::size_t)>& progress = {});

/// Whether every pose and twist value in `odometry` is finite.
bool all_finite(const nav_msgs::msg::Odometry& odometry);

/// Writes the odometry as CSV: stamp, position, yaw, quaternion, linear and angular velocity.
void write_odometry_csv(const Result& result, const std::string& path);
/// Draws the estimated path (and the true and dead-reckoned paths when known) as SVG, in metres.
void write_svg(const Result& result, const std::string& path);
/// The human summary printed at the end of a run.
std::string summary(const Result& result);

}  // namespace localisation_replay
