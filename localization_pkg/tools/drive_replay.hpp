#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "nav_msgs/msg/odometry.hpp"
#include "trajectory.hpp"

namespace localisation_replay
{

/// The sensors a drive can hold, each sent on its own topic of the node.
enum class Sensor { encoders = 0, imu = 1, vo = 2, wheel_odom = 3 };

/// The covariances a message carries, in ROS's row-major layout; all zeros means unknown, a first
/// element of -1 not measured.
struct RowCovariance
{
  std::array<double, 9> accel{}, gyro{}, orientation{};  // imu
  std::array<double, 36> pose{};                         // vo
  std::array<double, 36> twist{};                        // wheel odometry
};

/// One row of a recorded drive: one sensor's reading and, when the file has it, ground truth.
struct DriveRow
{
  int32_t sec = 0;
  uint32_t nanosec = 0;
  Sensor sensor = Sensor::encoders;
  double linear_x = 0.0;  // encoders and wheel odometry
  double angular_z = 0.0;
  // imu: specific force x, y, z (m/s^2), angular velocity x, y, z (rad/s);
  // vo: position x, y, z (m), roll, pitch, yaw (rad);
  // wheel odometry: the whole twist, linear x, y, z (m/s) and angular x, y, z (rad/s).
  std::array<double, 6> values{};
  // The message's covariances, when the row gives them (null: all unknown).
  std::shared_ptr<const RowCovariance> covariance;
  // imu: roll, pitch, yaw of its orientation, when the row gives one.
  bool has_orientation = false;
  std::array<double, 3> orientation{};
  // The message's header.frame_id (imu, vo) and child_frame_id (vo, wheel odometry); empty means
  // the node's own frames.
  std::string frame_id, child_frame_id;
  bool has_truth = false;
  double x = 0.0, y = 0.0, yaw = 0.0;
  double speed = std::numeric_limits<double>::quiet_NaN();  // true forward speed, when given
};

/// Which sensors' rows a replay sends.
struct Sensors
{
  bool encoders = true, imu = true, vo = true, wheel_odom = true;
  bool has(Sensor s) const
  {
    return s == Sensor::encoders ? encoders
           : s == Sensor::imu    ? imu
           : s == Sensor::vo     ? vo
                                 : wheel_odom;
  }
};

/// The sensors' names, in the order of Sensor.
extern const char* const kSensorNames[4];

/// "encoders,imu,vo,wheel_odom" or any subset, in any order; throws std::invalid_argument naming an
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
/// (`accel_x`..`accel_z`, `gyro_x`..`gyro_z`, and optionally its orientation as `imu_roll`,
/// `imu_pitch`, `imu_yaw`), "vo" (`vo_x`..`vo_z`, `vo_roll`, `vo_pitch`, `vo_yaw`) or "wheel_odom"
/// (`linear_x`, `angular_z`, sent as nav_msgs/Odometry); the cells of the other sensors may be
/// empty. Optional columns `frame_id` (imu, vo) and `child_frame_id` (vo, wheel_odom) give the
/// messages' frames, and `speed` the true forward speed. Optional covariance columns hold the
/// numbers of a ROS covariance, row-major, separated by spaces (an empty cell: all zeros, unknown):
/// `accel_cov`, `gyro_cov` and `orientation_cov` (9 each, imu), `pose_cov` (36, vo) and
/// `twist_cov` (36, wheel_odom). Truth cells may be empty on rows without truth. Rows are
/// appended to `rows` as they are read, so after a RowError `rows` holds every row before the bad
/// one. Throws std::runtime_error for a file that cannot be read or a header without the columns.
void read_drive(const std::string& path, std::vector<DriveRow>& rows);
/// The same from a stream; `name` is what errors call it.
void read_drive(std::istream& in, const std::string& name, std::vector<DriveRow>& rows);

struct Result
{
  std::vector<DriveRow> rows;                     // the rows replayed (all, or up to an interrupt)
  Sensors sensors;                                // whose rows were sent
  std::array<std::size_t, 4> sent{};              // messages sent per sensor
  bool interrupted = false;                       // SIGINT stopped the replay early
  std::vector<nav_msgs::msg::Odometry> odometry;  // every message on "odometry/filtered"
  double wall_seconds = 0.0;
  std::size_t dropped = 0;
  std::size_t restarts = 0;
  // Against the ground truth of the rows (when some rows have it).
  bool has_truth = false;
  double distance = 0.0;
  // The fused estimate at every published message against that row's truth; dead reckoning of
  // the encoder readings alone (sent or not) at every encoder row. Heading errors are wrapped.
  std::size_t matched = 0;  // published estimates with a row of their stamp
  double final_error = 0.0, rms_error = 0.0;
  double final_heading_error = 0.0, rms_heading_error = 0.0;
  double dead_reckoning_final_error = 0.0, dead_reckoning_rms_error = 0.0;
  double dead_reckoning_final_heading_error = 0.0, dead_reckoning_rms_heading_error = 0.0;
  // Against the true forward speed, where the rows give it.
  std::size_t speed_matched = 0;
  double rms_speed_error = 0.0;
  // Messages the node could not put in its frames, per sensor.
  std::array<std::size_t, 4> untransformable{};
  // Against truth points (a truth file, or the rows' own truth): each with the estimate nearest
  // in time, and the aligned errors; `truth_error` says why there are none when truth was given.
  std::vector<Pair> pairs;
  bool has_trajectory_errors = false;
  TrajectoryErrors errors;
  bool truth_from_file = false;
  double truth_tolerance = 0.0;
  std::string truth_error;
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
  // The innovations' log-likelihood, the sum over the updates of
  // -1/2 (log det(2 pi S) + r' S^-1 r): -infinity once an innovation covariance is not positive
  // definite or a number is not finite. Per sensor: its updates, its own NIS over them (with its
  // block of S) and, per entry, the sums of the squared residual and of S's diagonal.
  double log_likelihood = 0.0;
  struct SensorInnovations
  {
    std::size_t updates = 0;
    double nis_sum = 0.0;
    std::vector<double> residual_squares, predicted_variances;
  };
  std::map<std::string, SensorInnovations> innovations;
  // The state's fields beyond the vehicle's pose and motion (biases, scale factors), one column
  // per entry ("SpeedScale", "GyroBias_x" ...), after every update with the update's stamp.
  std::vector<std::string> extra_state_columns;
  std::vector<double> extra_state_times;
  std::vector<std::vector<double>> extra_states;
};

/// The p-quantile of the chi-square distribution with `dof` degrees of freedom (dof > 0,
/// 0 < p < 1), to about 1e-10 relative.
double chi_square_quantile(double p, double dof);

/// What a replay sets beyond the rows.
struct Options
{
  /// Published on "/tf_static" before the first row, as static_transform_publisher would.
  std::vector<geometry_msgs::msg::TransformStamped> static_transforms;
  /// Published on "/tf" in stamp order among the rows (a bag's recorded transforms).
  std::vector<geometry_msgs::msg::TransformStamped> transforms;
  /// Node parameters of type string, such as "message_covariance" or "imu_orientation".
  std::vector<std::pair<std::string, std::string>> parameters;
  /// Truth at any rate (empty: the rows' own truth, if any), matched to the estimate nearest in
  /// time within `truth_tolerance` seconds; relative errors over `rpe_distance` metres.
  std::vector<TruthPoint> truth;
  double truth_tolerance = 0.1;
  double rpe_distance = 10.0;
};

/// The positive finite number `text` of a command-line option; throws std::invalid_argument
/// naming the option and what it got.
double positive_option(const std::string& option, const std::string& text);

/// "PARENT CHILD X Y Z ROLL PITCH YAW" (metres, radians; the rotation Rz(yaw) Ry(pitch) Rx(roll))
/// as the transform of CHILD in PARENT; throws std::invalid_argument naming what is wrong.
geometry_msgs::msg::TransformStamped parse_static_transform(const std::string& text);

/// Publishes every row of the chosen sensors to a ZendrafellLocalisationNode built with
/// `config_path` (encoders as geometry_msgs/TwistStamped on "encoder_vel", IMU as sensor_msgs/Imu
/// on "imu", visual odometry as nav_msgs/Odometry on "vo", the node's "imu_topic" and "vo_topic"
/// set for the sensors chosen; wheel odometry as nav_msgs/Odometry on "wheel_odom", the node's
/// "wheel_odom_topic"), spins so that each is handled, and collects
/// "odometry/filtered". `sensors` defaults to every sensor the rows hold. rclcpp must be
/// initialised. `progress` is called every 250 rows.
/// When rclcpp stops (SIGINT), the replay ends there with `interrupted` set and the rows so far.
/// Dead reckoning skips rows whose readings are not finite, as the node drops them.
Result replay(const std::vector<DriveRow>& rows, const std::string& config_path,
              const std::function<void(std::size_t, std::size_t)>& progress = {},
              std::optional<Sensors> sensors = std::nullopt, const Options& options = {});

/// Whether every pose and twist value in `odometry` is finite.
bool all_finite(const nav_msgs::msg::Odometry& odometry);

/// Writes the odometry as CSV: stamp, position, yaw, quaternion, linear and angular velocity.
void write_odometry_csv(const Result& result, const std::string& path);
/// Writes the extra states after every update as CSV: time (s, the stamp) and one column each.
void write_states_csv(const Result& result, const std::string& path);
/// Draws the estimated path (and the true and dead-reckoned paths when known) as SVG, in metres.
/// `title` names what was replayed (the drive and the configuration); empty: a generic title.
void write_svg(const Result& result, const std::string& path, const std::string& title = "");
/// One of the package's configuration files, by the path it had in the source tree at build time:
/// that path while it is readable; else the file of that name installed beside the running
/// executable (<prefix>/lib/localization_pkg -> <prefix>/share/localization_pkg/config), found
/// without the ament index; else the source path, whose opening then fails naming it.
std::string package_config(const std::string& source_path);

/// The human summary printed at the end of a run.
std::string summary(const Result& result);
/// The same figures for scripts, as a JSON object whose keys do not change with the wording:
/// "messages_in" (per sensor), "odometry_out", "dropped", "restarts", "final_pose" {x, y, yaw},
/// "final_extra_states"; with truth "distance", "final_position_error",
/// "final_position_error_percent", "rms_position_error", "rms_heading_error",
/// "final_heading_error", "rms_speed_error", "dead_reckoning" {final_position_error,
/// rms_position_error, rms_heading_error}, "trajectory" {pairs, ate_rms, ate_max, rpe_rms,
/// rpe_max}; and "consistency" {updates, mean_nis, expected_nis, inside_95_percent, mean_nees,
/// expected_nees, log_likelihood, verdict}. A figure that was not measured is left out.
std::string summary_json(const Result& result);

}  // namespace localisation_replay
