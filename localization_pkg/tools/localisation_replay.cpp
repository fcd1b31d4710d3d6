// localisation_replay DRIVE.csv | --bag BAG [options] [--ros-args -p name:=value ...]
//
// Drives the real localisation node over a recorded drive through its topics: every row of the
// chosen sensors goes out on its topic (encoders as a TwistStamped on "encoder_vel", IMU on
// "imu", visual odometry on "vo", wheel odometry as nav_msgs/Odometry on "wheel_odom"), after
// the robot's static transforms on "/tf_static"; every estimate on "odometry/filtered" is
// collected and written as CSV (and TUM) and drawn as SVG, and a summary (with errors against
// ground truth where there is some) goes to standard output. A ROS 2 bag is read with rosbag2
// where the build has it. Ctrl-C stops the replay: the rows so far are written and the tool
// exits 130.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "bag.hpp"
#include "drive_replay.hpp"
#include "rclcpp/rclcpp.hpp"

namespace
{

int usage()
{
  std::cerr
    << "usage: localisation_replay DRIVE.csv | --bag BAG [options] [--ros-args -p name:=value ...]\n"
       "  DRIVE.csv: header row; sec,nanosec or stamp; linear_x; angular_z; optional ground "
       "truth x,y,yaw\n"
       "             (cells may be empty on rows without truth); with a column sensor, one "
       "encoders, imu,\n"
       "             vo or wheel_odom message per row; optional frame_id, child_frame_id and "
       "covariance columns\n"
       "  --bag BAG  a ROS 2 bag instead (needs a build with rosbag2), its topics chosen with\n"
       "             --encoder-topic (TwistStamped), --wheel-odom-topic (Odometry), --imu-topic "
       "(Imu),\n"
       "             --vo-topic (Odometry); its /tf_static and /tf are replayed as they are\n"
       "  --sensors  the sensors to replay, such as encoders,imu (default: every sensor in the "
       "drive)\n"
       "  --static-tf \"PARENT CHILD X Y Z ROLL PITCH YAW\" (metres, radians): a fixed transform "
       "of the robot,\n"
       "             published before the drive; repeat it for each\n"
       "  --config   the filter configuration (default: the package's own; with IMU or visual "
       "odometry, its\n"
       "             fusion configuration)\n"
       "  --truth FILE  truth as CSV sec,nanosec,x,y[,yaw] at any rate (GPS in local metres, "
       "motion capture)\n"
       "  --truth-tolerance S  the largest gap between a truth point and its estimate (default "
       "0.1 s)\n"
       "  --rpe-distance M     the path length of the relative errors (default 10 m)\n"
       "  --csv      every published estimate (default: odometry.csv in the current folder)\n"
       "  --svg      the plot of the paths (default: path.svg in the current folder)\n"
       "  --tum FILE, --truth-tum FILE  the estimates and the associated truth as TUM "
       "trajectories (for evo)\n"
       "  --states FILE  the state's fields beyond pose and motion (biases, scale factors) "
       "after every\n"
       "             update, as CSV\n"
       "  --json FILE   the summary's figures as JSON, for scripts\n"
       "  --ros-args -p name:=value  node parameters, such as message_covariance or "
       "imu_orientation\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv)
{
  std::string drive, bag, config, sensor_list, csv = "odometry.csv", svg = "path.svg";
  std::string truth_path, tum, truth_tum, states, json_path;
  localisation_replay::BagTopics topics;
  bool verbose = false;
  localisation_replay::Options options;
  std::map<std::string, std::string*> valued = {
    {"--config", &config},         {"--csv", &csv},
    {"--svg", &svg},               {"--sensors", &sensor_list},
    {"--bag", &bag},               {"--truth", &truth_path},
    {"--tum", &tum},               {"--truth-tum", &truth_tum},
    {"--states", &states},         {"--json", &json_path},
    {"--encoder-topic", &topics.encoder}, {"--wheel-odom-topic", &topics.wheel_odom},
    {"--imu-topic", &topics.imu},  {"--vo-topic", &topics.vo}};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    try {
      if (a == "--ros-args") {
        break;
      } else if (valued.count(a) && has_value) {
        *valued[a] = argv[++i];
      } else if (a == "--static-tf" && has_value) {
        options.static_transforms.push_back(localisation_replay::parse_static_transform(argv[++i]));
      } else if (a == "--truth-tolerance" && has_value) {
        options.truth_tolerance = localisation_replay::positive_option(a, argv[++i]);
      } else if (a == "--rpe-distance" && has_value) {
        options.rpe_distance = localisation_replay::positive_option(a, argv[++i]);
      } else if (a == "--verbose") {
        verbose = true;
      } else if (a == "-h" || a == "--help") {
        usage();
        return 0;
      } else if (valued.count(a) || a == "--static-tf" || a == "--truth-tolerance" ||
                 a == "--rpe-distance") {
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
    } catch (const std::exception& e) {
      std::cerr << "localisation_replay: " << a << ": " << e.what() << '\n';
      return usage();
    }
  }
  if (drive.empty() == bag.empty()) {
    std::cerr << "localisation_replay: give a drive CSV or --bag, " << (bag.empty() ? "neither" :
                                                                        "not both")
              << " was given\n";
    return usage();
  }
  const bool topic_given =
    !(topics.encoder + topics.wheel_odom + topics.imu + topics.vo).empty();
  if (bag.empty() && topic_given) {
    std::cerr << "localisation_replay: the topic options choose the topics of --bag\n";
    return usage();
  }

  std::vector<localisation_replay::DriveRow> rows;
  std::string row_error;
  std::string bag_line;
  try {
    if (!bag.empty()) {
      localisation_replay::BagContents contents = localisation_replay::read_bag(bag, topics);
      rows = std::move(contents.rows);
      options.static_transforms.insert(options.static_transforms.end(),
                                       contents.static_transforms.begin(),
                                       contents.static_transforms.end());
      options.transforms = std::move(contents.transforms);
      bag_line = "bag: " + bag + ":";
      for (const auto& [topic, n] : contents.messages) {
        bag_line += " " + topic + " " + std::to_string(n);
        const auto bad = contents.undeserialisable.find(topic);
        if (bad != contents.undeserialisable.end()) {
          bag_line += " (" + std::to_string(bad->second) + " could not be deserialised: dropped)";
        }
      }
      bag_line += "\n";
    } else {
      localisation_replay::read_drive(drive, rows);
    }
  } catch (const localisation_replay::RowError& e) {
    row_error = e.what();  // every row before it is still replayed and written
  } catch (const std::exception& e) {
    std::cerr << "localisation_replay: " << e.what() << '\n';
    return 1;
  }
  if (!truth_path.empty()) {
    try {
      options.truth = localisation_replay::read_truth_file(truth_path);
    } catch (const std::exception& e) {
      std::cerr << "localisation_replay: --truth: " << e.what() << '\n';
      return 1;
    }
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
        std::cerr << "localisation_replay: --sensors " << sensor_list << ": "
                  << (bag.empty() ? drive : bag) << " has no rows of the sensor " << name << '\n';
        return usage();
      }
    }
  }
  if (config.empty()) {
    config = localisation_replay::package_config(
      sensors.imu || sensors.vo ? LOCALISATION_FUSION_CONFIG : LOCALISATION_DEFAULT_CONFIG);
  }

  // The outputs are checked before the replay, so that a typo there does not waste a long run.
  for (const std::string& path : {csv, svg, tum, truth_tum, states, json_path}) {
    if (!path.empty() && !std::ofstream(path, std::ios::app).is_open()) {
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
    const auto base = [](const std::string& p) { return p.substr(p.find_last_of('/') + 1); };
    localisation_replay::write_svg(result, svg,
                                   base(bag.empty() ? drive : bag) + " with " + base(config));
    std::string wrote = csv + " and " + svg;
    if (!tum.empty()) {
      localisation_replay::write_tum(result.odometry, tum);
      wrote += ", " + tum;
    }
    if (!truth_tum.empty()) {
      localisation_replay::write_truth_tum(result.pairs, truth_tum);
      wrote += ", " + truth_tum;
    }
    if (!states.empty()) {
      localisation_replay::write_states_csv(result, states);
      wrote += ", " + states;
    }
    if (!json_path.empty()) {
      std::ofstream(json_path) << localisation_replay::summary_json(result);
      wrote += ", " + json_path;
    }
    std::cout << bag_line << localisation_replay::summary(result) << "wrote " << wrote << '\n';
    if (!truth_path.empty() && !result.has_trajectory_errors && !result.interrupted) {
      std::cerr << "localisation_replay: --truth " << truth_path << ": " << result.truth_error
                << '\n';
      status = 1;
    }
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
