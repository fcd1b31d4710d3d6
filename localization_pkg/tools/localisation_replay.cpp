// localisation_replay DRIVE.csv [--sensors LIST] [--config CONFIG.json] [--csv OUT.csv]
//                     [--svg OUT.svg] [--static-tf "PARENT CHILD X Y Z ROLL PITCH YAW"]...
//                     [--verbose] [--ros-args -p name:=value ...]
//
// Drives the real localisation node over a recorded drive through its topics: every row of the
// chosen sensors goes out on its topic (encoders as a TwistStamped on "encoder_vel", IMU on
// "imu", visual odometry on "vo", wheel odometry as nav_msgs/Odometry on "wheel_odom"), after
// the robot's static transforms on "/tf_static"; every estimate on "odometry/filtered" is collected and
// written as CSV and drawn as SVG, and a summary (with errors against ground truth where the CSV
// has it) goes to standard output. Ctrl-C stops the replay: the rows so far are written and the
// tool exits 130.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "drive_replay.hpp"
#include "rclcpp/rclcpp.hpp"

namespace
{

int usage()
{
  std::cerr << "usage: localisation_replay DRIVE.csv [--sensors LIST] [--config CONFIG.json] "
               "[--csv OUT.csv] [--svg OUT.svg] [--static-tf TRANSFORM]... [--verbose] "
               "[--ros-args ...]\n"
               "  DRIVE.csv: header row; sec,nanosec or stamp; linear_x; angular_z; optional "
               "ground truth x,y,yaw;\n"
               "             with a column sensor, one encoders, imu, vo or wheel_odom message per "
               "row;\n"
               "             optional frame_id and child_frame_id columns\n"
               "  --sensors  the sensors to replay, such as encoders,imu (default: every sensor in "
               "the drive)\n"
               "  --static-tf \"PARENT CHILD X Y Z ROLL PITCH YAW\" (metres, radians): a fixed "
               "transform of the robot,\n"
               "             published before the drive; repeat it for each\n"
               "  --ros-args -p name:=value  node parameters, such as message_covariance or "
               "imu_orientation\n"
               "  --config  the filter configuration (default: the package's own; with IMU or "
               "visual odometry, its fusion configuration)\n"
               "  --csv     every published estimate (default: odometry.csv in the current folder)\n"
               "  --svg     the plot of the paths (default: path.svg in the current folder)\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv)
{
  std::string drive, config, sensor_list, csv = "odometry.csv", svg = "path.svg";
  bool verbose = false;
  localisation_replay::Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--ros-args") {
      break;
    } else if ((a == "--config" || a == "--csv" || a == "--svg" || a == "--sensors") &&
               i + 1 < argc) {
      (a == "--config" ? config : a == "--csv" ? csv : a == "--svg" ? svg : sensor_list) =
        argv[++i];
    } else if (a == "--static-tf" && i + 1 < argc) {
      try {
        options.static_transforms.push_back(localisation_replay::parse_static_transform(argv[++i]));
      } catch (const std::exception& e) {
        std::cerr << "localisation_replay: --static-tf: " << e.what() << '\n';
        return usage();
      }
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "-h" || a == "--help") {
      usage();
      return 0;
    } else if (a == "--config" || a == "--csv" || a == "--svg" || a == "--sensors" ||
               a == "--static-tf") {
      std::cerr << "localisation_replay: " << a << " needs a value\n";
      return usage();
    } else if (a.rfind("-", 0) == 0) {
      std::cerr << "localisation_replay: unknown option " << a << '\n';
      return usage();
    } else if (!drive.empty()) {
      std::cerr << "localisation_replay: only one drive file, got " << drive << " and " << a
                << '\n';
      return usage();
    } else {
      drive = a;
    }
  }
  if (drive.empty()) {
    return usage();
  }

  std::vector<localisation_replay::DriveRow> rows;
  std::string row_error;
  try {
    localisation_replay::read_drive(drive, rows);
  } catch (const localisation_replay::RowError& e) {
    row_error = e.what();  // every row before it is still replayed and written
  } catch (const std::exception& e) {
    std::cerr << "localisation_replay: " << e.what() << '\n';
    return 1;
  }

  localisation_replay::Sensors sensors = localisation_replay::sensors_in(rows);
  if (!sensor_list.empty()) {
    const localisation_replay::Sensors present = sensors;
    try {
      sensors = localisation_replay::parse_sensors(sensor_list);
    } catch (const std::exception& e) {
      std::cerr << "localisation_replay: --sensors " << sensor_list << ": " << e.what() << '\n';
      return usage();
    }
    for (std::size_t k = 0; k < 4; ++k) {
      const auto sensor = static_cast<localisation_replay::Sensor>(k);
      const char* name = localisation_replay::kSensorNames[k];
      if (sensors.has(sensor) && !present.has(sensor) && row_error.empty()) {
        std::cerr << "localisation_replay: --sensors " << sensor_list << ": " << drive
                  << " has no rows of the sensor " << name << '\n';
        return usage();
      }
    }
  }
  if (config.empty()) {
    config = sensors.imu || sensors.vo ? LOCALISATION_FUSION_CONFIG : LOCALISATION_DEFAULT_CONFIG;
  }

  // The outputs are checked before the replay, so that a typo there does not waste a long run.
  for (const std::string& path : {csv, svg}) {
    if (!std::ofstream(path, std::ios::app).is_open()) {
      std::cerr << "localisation_replay: cannot write " << path << '\n';
      return 1;
    }
  }

  rclcpp::init(argc, argv);
  if (!verbose) {
    // The node logs every message at info level; the summary says what matters here.
    rclcpp::get_logger("localisation_node").set_level(rclcpp::Logger::Level::Warn);
  }
  const bool tty = isatty(STDERR_FILENO) == 1;
  int status = 0;
  try {
    const auto result =
      localisation_replay::replay(
        rows, config,
        [&](std::size_t done, std::size_t all) {
          if (tty) {
            std::fprintf(stderr, "\rreplaying: %zu / %zu rows", done, all);
            std::fflush(stderr);
          }
        },
        sensors, options);
    if (tty) {
      std::fprintf(stderr, "\r%60s\r", "");
    }
    if (result.interrupted) {
      std::cout << "interrupted after " << result.rows.size() << " rows\n";
      status = 130;
    }
    localisation_replay::write_odometry_csv(result, csv);
    localisation_replay::write_svg(result, svg);
    std::cout << localisation_replay::summary(result) << "wrote " << csv << " and " << svg << '\n';
  } catch (const std::exception& e) {
    std::cerr << "localisation_replay: " << e.what() << '\n';
    status = 1;
  }
  if (!row_error.empty() && status != 130) {
    std::cerr << "localisation_replay: " << drive << ": " << row_error
              << " (the rows before it were replayed and written)\n";
    status = 1;
  }
  rclcpp::shutdown();  // false, and harmless, after SIGINT has shut the context down
  return status;
}
