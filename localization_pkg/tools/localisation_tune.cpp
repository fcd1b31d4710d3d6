// localisation_tune DRIVE.csv --config C.json [-o tuned.json] [--sensors LIST] [--budget UPDATES]
//                  [--no-process] [--ros-args -p name:=value ...]
//
// Learns a configuration's noise from a recording, without ground truth: the sensors' noise (each
// diagonal entry, the correlations kept) and a scale for each group of process noise (the model's
// own fields and, when asked, the random walk of each held field) that maximise the
// log-likelihood of the innovations the node sees when the drive is replayed through it:
//
//   log L = sum over updates of -1/2 (log det(2 pi S) + r' S^-1 r).
//
// The search works on logarithms of the variances. It starts with a few moment-matching steps
// for the sensors (each entry's variance becomes what its residuals show beyond what the state's
// own uncertainty explains), then searches coordinate by coordinate, trying each parameter up and
// down together (two replays at once, one per core) and halving the step when nothing improves.
// It is deterministic: its budget is a number of filter updates (replays times the drive's
// messages), not a time. A candidate whose replay fails or whose likelihood is not finite is a
// very bad candidate, not an error.
//
// The tuned configuration keeps every key, unknown ones included, in the original order; only
// the tuned numbers change.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <Eigen/Dense>
#include <nlohmann/json.hpp>

#include "drive_replay.hpp"
#include "rclcpp/rclcpp.hpp"

namespace
{

using Json = nlohmann::ordered_json;
constexpr double kWorst = -std::numeric_limits<double>::infinity();
// How far the search may take a variance from where it started: a factor of 10^4 either way.
// A likelihood may grow without bound as a noise shrinks towards zero (a state that follows its
// sensor exactly); the limit keeps such a degenerate optimum out.
const double kLimit = std::log(1e4);
// The least gain in log-likelihood a step must bring to be taken.
constexpr double kGain = 0.1;

int usage()
{
  std::cerr
    << "usage: localisation_tune DRIVE.csv --config C.json [-o tuned.json] [options]\n"
       "                         [--ros-args -p name:=value ...]\n"
       "  DRIVE.csv     a drive as localisation_replay reads it (no ground truth needed)\n"
       "  --config C    the configuration to start from (its noise is what is tuned)\n"
       "  -o FILE       where the tuned configuration goes (default: tuned.json)\n"
       "  --sensors L   the drive's sensors to replay, such as encoders,imu (default: all)\n"
       "  --tune L      the configuration's sensors whose noise is tuned, such as encoders\n"
       "                (default: every sensor the replay updated); the others keep theirs\n"
       "  --budget N    filter updates the search may spend, replays times messages (default\n"
       "                3000000: 50 replays of a 10-minute drive of two sensors at 50 Hz)\n"
       "  --no-process  tune the sensors' noise only, not the process noise\n"
       "  --random-walks  tune the held fields' random walks too (see below)\n"
       "  --ros-args    node parameters for the replays, such as base_link_frame\n"
       "The held fields' random walks (biases, scale factors) are left as configured unless\n"
       "--random-walks is given: a bias that may wander fast explains any innovation, so the\n"
       "likelihood of a short drive favours walks far faster than the sensor's datasheet, and\n"
       "the states then follow the noise.\n";
  return 2;
}

// What one replay says about a candidate.
struct Outcome
{
  double log_likelihood = kWorst;
  std::string error;  // why the replay failed, when it did
  std::size_t updates = 0;
  double nis_sum = 0.0, nis_dof_sum = 0.0;
  std::map<std::string, localisation_replay::Result::SensorInnovations> sensors;
};

// A number the search moves: the logarithm of a factor on some of the configuration's variances.
struct Parameter
{
  enum class Kind { SensorNoise, ProcessNoise, RandomWalk } kind;
  std::string label;        // how the report names it
  std::size_t sensor = 0;   // SensorNoise: the sensor's position in "sensors"
  std::string name;         // the sensor's or the field's name
  std::vector<Eigen::Index> entries;  // SensorNoise: one entry; ProcessNoise: the field's entries
};

// ---- The configuration's numbers ----

Eigen::MatrixXd matrix_of(const Json& value)
{
  if (value.is_array() && !value.empty() && !value[0].is_array()) {  // a diagonal
    Eigen::MatrixXd m = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(value.size()),
                                              static_cast<Eigen::Index>(value.size()));
    for (std::size_t i = 0; i < value.size(); ++i) {
      m(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(i)) = value[i].get<double>();
    }
    return m;
  }
  Eigen::MatrixXd m(static_cast<Eigen::Index>(value.size()),
                    static_cast<Eigen::Index>(value.empty() ? 0 : value[0].size()));
  for (std::size_t r = 0; r < value.size(); ++r) {
    for (std::size_t c = 0; c < value[r].size(); ++c) {
      m(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c)) = value[r][c].get<double>();
    }
  }
  return m;
}

// Scales `value` (a matrix, or a vector holding a diagonal) by D M D with D = diag(sqrt(factors)):
// each variance by its factor, each covariance so that correlations are kept.
void scale_in_place(Json& value, const Eigen::VectorXd& factors)
{
  const Eigen::VectorXd root = factors.cwiseSqrt();
  if (value.is_array() && !value.empty() && !value[0].is_array()) {
    for (std::size_t i = 0; i < value.size(); ++i) {
      value[i] = value[i].get<double>() * factors(static_cast<Eigen::Index>(i));
    }
    return;
  }
  for (std::size_t r = 0; r < value.size(); ++r) {
    for (std::size_t c = 0; c < value[r].size(); ++c) {
      value[r][c] = value[r][c].get<double>() * root(static_cast<Eigen::Index>(r)) *
                    root(static_cast<Eigen::Index>(c));
    }
  }
}

// The parameters of `config`: every positive diagonal entry of the chosen sensors' noise and,
// unless `sensors_only`, one per field the model moves with some noise (entries above 1e-10: the
// tiny variances that freeze an entry stay as they are) and, with `with_random_walks`, one per
// held field with a rate.
std::vector<Parameter> parameters_of(const Json& config, const std::vector<std::string>& sensors,
                                     bool sensors_only, bool with_random_walks)
{
  std::vector<Parameter> found;
  const Json& list = config.at("measurement").at("sensors");
  for (std::size_t k = 0; k < list.size(); ++k) {
    const std::string name = list[k].at("name").get<std::string>();
    if (std::find(sensors.begin(), sensors.end(), name) == sensors.end()) {
      continue;
    }
    const Eigen::MatrixXd noise = matrix_of(list[k].at("noise"));
    for (Eigen::Index j = 0; j < noise.rows(); ++j) {
      if (noise(j, j) > 0.0) {
        found.push_back({Parameter::Kind::SensorNoise, name + "[" + std::to_string(j) + "]", k,
                         name, {j}});
      }
    }
  }
  if (sensors_only) {
    return found;
  }
  const Json& model = config.at("model");
  const Json walks = model.contains("random_walk") ? model.at("random_walk") : Json::object();
  if (model.contains("process_noise")) {
    const Eigen::MatrixXd q = matrix_of(model.at("process_noise"));
    // The model's own fields lie in the state's order, the held ones taken out.
    Eigen::Index own = 0;
    for (const Json& f : config.at("initial_state").at("fields")) {
      const std::string name = f.at("name").get<std::string>();
      const auto size = static_cast<Eigen::Index>(f.at("size").get<long>());
      if (walks.contains(name)) {
        continue;
      }
      Parameter p{Parameter::Kind::ProcessNoise, "process " + name, 0, name, {}};
      for (Eigen::Index j = own; j < own + size && j < q.rows(); ++j) {
        if (q(j, j) > 1e-10) {
          p.entries.push_back(j);
        }
      }
      if (!p.entries.empty()) {
        found.push_back(p);
      }
      own += size;
    }
  }
  if (!with_random_walks) {
    return found;
  }
  for (auto it = walks.begin(); it != walks.end(); ++it) {
    const Eigen::MatrixXd rates =
      it->is_array() ? matrix_of(*it) : Eigen::MatrixXd::Constant(1, 1, it->get<double>());
    if (rates.diagonal().maxCoeff() > 0.0) {
      found.push_back({Parameter::Kind::RandomWalk, "random walk " + it.key(), 0, it.key(), {}});
    }
  }
  return found;
}

// `base` with each parameter's factor exp(theta) applied.
Json apply(const Json& base, const std::vector<Parameter>& parameters, const Eigen::VectorXd& theta)
{
  Json config = base;
  std::map<std::size_t, Eigen::VectorXd> sensor_factors;
  Eigen::VectorXd process_factors;
  if (config.at("model").contains("process_noise")) {
    process_factors = Eigen::VectorXd::Ones(matrix_of(config["model"]["process_noise"]).rows());
  }
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    const Parameter& p = parameters[i];
    const double factor = std::exp(theta(static_cast<Eigen::Index>(i)));
    switch (p.kind) {
      case Parameter::Kind::SensorNoise: {
        Json& noise = config["measurement"]["sensors"][p.sensor]["noise"];
        auto& f = sensor_factors[p.sensor];
        if (f.size() == 0) {
          f = Eigen::VectorXd::Ones(matrix_of(noise).rows());
        }
        f(p.entries[0]) = factor;
        break;
      }
      case Parameter::Kind::ProcessNoise:
        for (const Eigen::Index j : p.entries) {
          process_factors(j) = factor;
        }
        break;
      case Parameter::Kind::RandomWalk: {
        Json& rate = config["model"]["random_walk"][p.name];
        if (rate.is_array()) {
          for (Json& r : rate) {
            r = r.get<double>() * factor;
          }
        } else {
          rate = rate.get<double>() * factor;
        }
        break;
      }
    }
  }
  for (const auto& [k, f] : sensor_factors) {
    scale_in_place(config["measurement"]["sensors"][k]["noise"], f);
  }
  if (process_factors.size() > 0) {
    scale_in_place(config["model"]["process_noise"], process_factors);
  }
  return config;
}

// ---- Replays, two at a time in child processes ----

struct Setup
{
  std::vector<localisation_replay::DriveRow> rows;
  localisation_replay::Sensors sensors;
  std::vector<std::string> ros_args;  // "--ros-args" and what follows
  std::string work;                   // a folder for the candidates' files
  bool verbose = false;
};

std::string serialise(const localisation_replay::Result& r)
{
  std::ostringstream out;
  out.precision(17);
  out << "ok " << r.log_likelihood << ' ' << r.nis_updates << ' ' << r.nis_sum << ' '
      << r.nis_dof_sum << ' ' << r.interrupted << '\n';
  for (const auto& [name, s] : r.innovations) {
    out << name << ' ' << s.updates << ' ' << s.nis_sum << ' ' << s.residual_squares.size();
    for (std::size_t j = 0; j < s.residual_squares.size(); ++j) {
      out << ' ' << s.residual_squares[j] << ' ' << s.predicted_variances[j];
    }
    out << '\n';
  }
  return out.str();
}

Outcome parse(const std::string& text)
{
  Outcome o;
  std::istringstream in(text);
  std::string word;
  if (!(in >> word)) {
    o.error = "the replay ended without a result";
    return o;
  }
  if (word != "ok") {
    std::getline(in, o.error);
    o.error = o.error.empty() ? "the replay failed" : o.error.substr(1);
    return o;
  }
  bool interrupted = false;
  in >> o.log_likelihood >> o.updates >> o.nis_sum >> o.nis_dof_sum >> interrupted;
  std::string name;
  while (in >> name) {
    localisation_replay::Result::SensorInnovations s;
    std::size_t m = 0;
    in >> s.updates >> s.nis_sum >> m;
    s.residual_squares.resize(m);
    s.predicted_variances.resize(m);
    for (std::size_t j = 0; j < m; ++j) {
      in >> s.residual_squares[j] >> s.predicted_variances[j];
    }
    o.sensors[name] = s;
  }
  if (!std::isfinite(o.log_likelihood) || interrupted) {
    o.log_likelihood = kWorst;
  }
  return o;
}

// Runs one replay of `config` in a child process; returns the child's pid and the pipe to read.
std::pair<pid_t, int> start(const Setup& setup, const Json& config, int slot)
{
  const std::string path = setup.work + "/candidate" + std::to_string(slot) + ".json";
  std::ofstream(path) << config.dump(2) << '\n';
  int fds[2];
  if (pipe(fds) != 0) {
    throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
  }
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    throw std::runtime_error(std::string("cannot start a replay: ") + std::strerror(errno));
  }
  if (pid > 0) {
    close(fds[1]);
    return {pid, fds[0]};
  }
  close(fds[0]);
  std::string text;
  try {
    if (!setup.verbose) {
      // The node's warnings about a poor candidate are not the user's concern.
      if (std::freopen("/dev/null", "w", stderr) == nullptr ||
          std::freopen("/dev/null", "w", stdout) == nullptr) {
        _exit(3);
      }
    }
    std::vector<const char*> argv = {"localisation_tune"};
    for (const std::string& a : setup.ros_args) {
      argv.push_back(a.c_str());
    }
    rclcpp::init(static_cast<int>(argv.size()), argv.data());
    rclcpp::get_logger("localisation_node").set_level(rclcpp::Logger::Level::Error);
    const auto result = localisation_replay::replay(setup.rows, path, {}, setup.sensors);
    text = serialise(result);
    rclcpp::shutdown();
  } catch (const std::exception& e) {
    std::string what = e.what();
    std::replace(what.begin(), what.end(), '\n', ' ');
    text = "error " + what + "\n";
  }
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = write(fds[1], text.data() + written, text.size() - written);
    if (n <= 0) {
      break;
    }
    written += static_cast<std::size_t>(n);
  }
  close(fds[1]);
  _exit(0);
}

Outcome finish(std::pair<pid_t, int> child)
{
  std::string text;
  char buf[4096];
  ssize_t n = 0;
  while ((n = read(child.second, buf, sizeof(buf))) > 0) {
    text.append(buf, static_cast<std::size_t>(n));
  }
  close(child.second);
  int status = 0;
  waitpid(child.first, &status, 0);
  if (text.empty()) {
    Outcome o;
    o.error = WIFSIGNALED(status) ? "the replay was killed by signal " +
                                      std::to_string(WTERMSIG(status))
                                  : "the replay ended without a result";
    return o;
  }
  return parse(text);
}

// Replays the candidates, two at a time.
std::vector<Outcome> evaluate(const Setup& setup, const std::vector<Json>& configs)
{
  std::vector<Outcome> outcomes;
  for (std::size_t i = 0; i < configs.size(); i += 2) {
    const auto a = start(setup, configs[i], 0);
    if (i + 1 < configs.size()) {
      const auto b = start(setup, configs[i + 1], 1);
      outcomes.push_back(finish(a));
      outcomes.push_back(finish(b));
    } else {
      outcomes.push_back(finish(a));
    }
  }
  return outcomes;
}

// ---- The report ----

std::string format(double v)
{
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.4g", v);
  return buf;
}

void report(const Json& before, const Json& after, const Outcome& first, const Outcome& last)
{
  std::cout << "sensor noise, as standard deviations (before -> after), and mean NIS against "
               "its expected value:\n";
  const Json& list_before = before.at("measurement").at("sensors");
  const Json& list_after = after.at("measurement").at("sensors");
  for (std::size_t k = 0; k < list_before.size(); ++k) {
    const std::string name = list_before[k].at("name").get<std::string>();
    if (last.sensors.count(name) == 0) {
      continue;
    }
    const Eigen::VectorXd b = matrix_of(list_before[k].at("noise")).diagonal();
    const Eigen::VectorXd a = matrix_of(list_after[k].at("noise")).diagonal();
    std::cout << "  " << name << ":";
    for (Eigen::Index j = 0; j < b.size(); ++j) {
      std::cout << (j == 0 ? " " : ", ") << format(std::sqrt(std::max(0.0, b(j)))) << " -> "
                << format(std::sqrt(std::max(0.0, a(j))));
    }
    const auto nis = [&](const Outcome& o) {
      const auto it = o.sensors.find(name);
      return it == o.sensors.end() || it->second.updates == 0
               ? std::string("-")
               : format(it->second.nis_sum / static_cast<double>(it->second.updates));
    };
    std::cout << "\n    mean NIS " << nis(first) << " -> " << nis(last) << " (expected "
              << b.size() << ")\n";
  }
  const auto total = [](const Outcome& o) {
    return o.nis_dof_sum > 0 ? format(o.nis_sum / static_cast<double>(o.updates)) : "-";
  };
  std::cout << "all updates: mean NIS " << total(first) << " -> " << total(last) << " (expected "
            << format(last.updates > 0 ? last.nis_dof_sum / static_cast<double>(last.updates)
                                       : 0.0)
            << ")\n";
  std::cout << "log-likelihood of the innovations: " << format(first.log_likelihood) << " -> "
            << format(last.log_likelihood) << '\n';
}

}  // namespace

int main(int argc, char** argv)
{
  std::string drive, config_path, out = "tuned.json", sensor_list, tune_list;
  double budget = 3e6;
  bool sensors_only = false, with_random_walks = false;
  Setup setup;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    try {
      if (a == "--ros-args") {
        setup.ros_args.assign(argv + i, argv + argc);
        break;
      } else if (a == "--config" && has_value) {
        config_path = argv[++i];
      } else if ((a == "-o" || a == "--output") && has_value) {
        out = argv[++i];
      } else if (a == "--sensors" && has_value) {
        sensor_list = argv[++i];
      } else if (a == "--tune" && has_value) {
        tune_list = argv[++i];
      } else if (a == "--budget" && has_value) {
        budget = localisation_replay::positive_option(a, argv[++i]);
      } else if (a == "--no-process") {
        sensors_only = true;
      } else if (a == "--random-walks") {
        with_random_walks = true;
      } else if (a == "--verbose") {
        setup.verbose = true;
      } else if (a == "-h" || a == "--help") {
        usage();
        return 0;
      } else if (a.rfind("-", 0) == 0) {
        std::cerr << "localisation_tune: unknown option or missing value: " << a << '\n';
        return usage();
      } else if (!drive.empty()) {
        std::cerr << "localisation_tune: only one drive file, got " << drive << " and " << a
                  << '\n';
        return usage();
      } else {
        drive = a;
      }
    } catch (const std::exception& e) {
      std::cerr << "localisation_tune: " << e.what() << '\n';
      return usage();
    }
  }
  if (drive.empty() || config_path.empty()) {
    std::cerr << "localisation_tune: give a drive and --config\n";
    return usage();
  }

  Json base;
  try {
    std::ifstream in(config_path);
    if (!in) {
      throw std::runtime_error("cannot read " + config_path);
    }
    base = Json::parse(in);
    localisation_replay::read_drive(drive, setup.rows);
    setup.sensors = localisation_replay::sensors_in(setup.rows);
    if (!sensor_list.empty()) {
      const localisation_replay::Sensors present = setup.sensors;
      try {
        setup.sensors = localisation_replay::parse_sensors(sensor_list);
      } catch (const std::exception& e) {
        throw std::runtime_error("--sensors " + sensor_list + ": " + e.what());
      }
      for (std::size_t k = 0; k < 4; ++k) {
        const auto s = static_cast<localisation_replay::Sensor>(k);
        if (setup.sensors.has(s) && !present.has(s)) {
          throw std::runtime_error("--sensors " + sensor_list + ": " + drive +
                                   " has no rows of the sensor " +
                                   localisation_replay::kSensorNames[k]);
        }
      }
    }
  } catch (const std::exception& e) {
    std::cerr << "localisation_tune: " << e.what() << '\n';
    return 1;
  }
  if (!std::ofstream(out, std::ios::app).is_open()) {
    std::cerr << "localisation_tune: cannot write " << out << '\n';
    return 1;
  }
  char work[] = "/tmp/localisation_tune.XXXXXX";
  if (mkdtemp(work) == nullptr) {
    std::cerr << "localisation_tune: cannot make a temporary folder\n";
    return 1;
  }
  setup.work = work;
  std::size_t messages = 0;
  for (const auto& r : setup.rows) {
    messages += setup.sensors.has(r.sensor) ? 1 : 0;
  }
  const auto max_replays = static_cast<std::size_t>(
    std::max(4.0, std::floor(budget / static_cast<double>(std::max<std::size_t>(messages, 1)))));

  int status = 0;
  try {
    // The starting point: the sensors that took part are the ones tuned.
    const Outcome first = evaluate(setup, {base}).front();
    if (!first.error.empty() || first.updates == 0) {
      throw std::runtime_error("the filter cannot run on " + drive + " with " + config_path + ": " +
                               (first.error.empty() ? "no update was made" : first.error));
    }
    std::vector<std::string> sensors;
    for (const auto& [name, s] : first.sensors) {
      sensors.push_back(name);
    }
    if (!tune_list.empty()) {
      std::vector<std::string> chosen;
      std::stringstream list(tune_list);
      std::string name;
      while (std::getline(list, name, ',')) {
        if (std::find(sensors.begin(), sensors.end(), name) == sensors.end()) {
          std::string known;
          for (const std::string& k : sensors) {
            known += (known.empty() ? "" : ", ") + k;
          }
          throw std::runtime_error("--tune " + tune_list + ": no sensor \"" + name +
                                   "\" took part in the replay (those that did: " + known + ")");
        }
        chosen.push_back(name);
      }
      sensors = chosen;
    }
    const std::vector<Parameter> parameters =
      parameters_of(base, sensors, sensors_only, with_random_walks);
    if (parameters.empty()) {
      throw std::runtime_error("nothing to tune in " + config_path +
                               ": the sensors that took part have no positive noise, and the "
                               "model no process noise above 1e-10 or random walk");
    }
    std::cerr << "tuning " << parameters.size() << " parameters over " << messages
              << " messages, at most " << max_replays << " replays\n";
    Eigen::VectorXd theta = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(parameters.size()));
    Outcome best = first;
    std::size_t replays = 1;
    const auto progress = [&](const std::string& what) {
      std::cerr << "  replay " << replays << "/" << max_replays << ": " << what
                << ", log-likelihood " << format(best.log_likelihood) << '\n';
    };

    // Moment matching for the sensors: each entry's variance becomes its mean squared residual
    // less what the state's uncertainty explains, within a factor of 100 per step.
    for (int round = 0; round < 4 && replays < max_replays; ++round) {
      Eigen::VectorXd next = theta;
      const Json current = apply(base, parameters, theta);
      for (std::size_t i = 0; i < parameters.size(); ++i) {
        const Parameter& p = parameters[i];
        if (p.kind != Parameter::Kind::SensorNoise) {
          continue;
        }
        const auto it = best.sensors.find(p.name);
        if (it == best.sensors.end() || it->second.updates == 0) {
          continue;
        }
        const auto j = static_cast<std::size_t>(p.entries[0]);
        const double n = static_cast<double>(it->second.updates);
        const double r2 = it->second.residual_squares[j] / n;
        const double s = it->second.predicted_variances[j] / n;
        const Json& noise = current.at("measurement").at("sensors").at(p.sensor).at("noise");
        const double r = matrix_of(noise)(p.entries[0], p.entries[0]);
        const double wanted = std::clamp(r2 - (s - r), r / 100.0, r * 100.0);
        next(static_cast<Eigen::Index>(i)) += std::log(wanted / r);
      }
      next = next.cwiseMax(-kLimit).cwiseMin(kLimit);
      const Outcome o = evaluate(setup, {apply(base, parameters, next)}).front();
      ++replays;
      if (!(o.log_likelihood > best.log_likelihood + kGain)) {
        progress("moment matching stops");
        break;
      }
      theta = next;
      best = o;
      progress("moment matching");
    }

    // Coordinate search over every parameter, up and down at once.
    double step = std::log(4.0);
    while (replays + 2 <= max_replays && step > std::log(1.05)) {
      bool improved = false;
      for (std::size_t i = 0; i < parameters.size() && replays + 2 <= max_replays; ++i) {
        Eigen::VectorXd up = theta, down = theta;
        up(static_cast<Eigen::Index>(i)) += step;
        down(static_cast<Eigen::Index>(i)) -= step;
        up = up.cwiseMin(kLimit);
        down = down.cwiseMax(-kLimit);
        if (up == theta && down == theta) {
          continue;
        }
        const std::vector<Outcome> o =
          evaluate(setup, {apply(base, parameters, up), apply(base, parameters, down)});
        replays += 2;
        const bool up_better = o[0].log_likelihood >= o[1].log_likelihood;
        const Outcome& candidate = up_better ? o[0] : o[1];
        if (candidate.log_likelihood > best.log_likelihood + kGain) {
          theta = up_better ? up : down;
          best = candidate;
          improved = true;
          progress(parameters[i].label + (up_better ? " up" : " down"));
        }
      }
      if (!improved) {
        step *= 0.5;
        progress("step now a factor of " + format(std::exp(step)));
      }
    }

    const Json tuned = apply(base, parameters, theta);
    std::ofstream file(out);
    file << tuned.dump(2) << '\n';
    if (!file) {
      throw std::runtime_error("cannot write " + out);
    }
    std::cout << "tuned " << parameters.size() << " parameters in " << replays << " replays of "
              << drive << '\n';
    report(base, tuned, first, best);
    for (std::size_t i = 0; i < parameters.size(); ++i) {
      if (parameters[i].kind != Parameter::Kind::SensorNoise) {
        std::cout << "  " << parameters[i].label << ": x "
                  << format(std::exp(theta(static_cast<Eigen::Index>(i)))) << '\n';
      }
    }
    std::cout << "wrote " << out << '\n';
  } catch (const std::exception& e) {
    std::cerr << "localisation_tune: " << e.what() << '\n';
    status = 1;
  }
  std::remove((setup.work + "/candidate0.json").c_str());
  std::remove((setup.work + "/candidate1.json").c_str());
  rmdir(setup.work.c_str());
  return status;
}
