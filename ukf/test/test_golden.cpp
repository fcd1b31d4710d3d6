// The filter's numbers, recorded. Every configuration of the tests and the benchmark runs over a
// fixed stream of measurements (irregular intervals, an equal time, pure predictions, noise
// overrides, angles across +-pi) and must reproduce the recorded state and covariance after every
// update to 1e-12 relative: |a - b| <= 1e-12 s, the scale s being, for a state entry, the size of
// the quantity it belongs to (the norm of its field's block, at least 1 rad for angles, which are
// compared modulo 2 pi), and for a covariance entry |b| + sqrt(P_rr P_cc). A change to the
// filter's internals that moves a number further fails here.
//
// ZF_RECORD_GOLDEN=1 rewrites the recordings in ukf/test/data/golden/; do that only when the
// numbers are meant to change, and say why in the commit.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "test_helpers.hpp"
#include "ukf/Filter.hpp"
#include "ukf/fields/AngleAxisField.hpp"
#include "ukf/fields/EulerAngleField.hpp"

using namespace ukf;

namespace
{

constexpr int kUpdates = 250;

struct Recording
{
  std::string name;    // file under golden/, without ".txt"
  std::string config;  // configuration file
};

void PrintTo(const Recording& r, std::ostream* os) { *os << r.name; }

std::vector<Recording> recordings()
{
  const std::string bench = UKF_BENCH_CONFIG_DIR;
  return {
    {"bench_vehicle", bench + "/vehicle.json"},
    {"bench_point_mass_3d_orientation", bench + "/point_mass_3d_orientation.json"},
    {"bench_angle_axis_vo", bench + "/angle_axis_vo.json"},
    {"point_mass_2d", ukf::test::data_path("point_mass_2d.json")},
    {"angle_axis_vo", ukf::test::data_path("angle_axis_vo.json")},
    {"vehicle_all_sensors", ukf::test::data_path("vehicle_all_sensors.json")},
  };
}

// The reading of sensor `name` (of `size` entries) at update k: smooth signals, with the angles
// of the orientation-carrying sensors turning steadily so that they cross +-pi.
VectorX reading(const std::string& name, int size, int k)
{
  const double s = 0.05 * k;
  VectorX v(size);
  for (int j = 0; j < size; ++j) {
    v(j) = 0.3 * std::sin(s + 0.7 * j) + 0.05 * j;
  }
  if (name == "encoders") {
    v << 1.2 + 0.3 * std::sin(s), 0.25 * std::sin(0.4 * s);
  } else if (name == "compass") {
    v(size - 1) = wrap_angle(2.8 + 0.05 * k);
  } else if (name == "vo") {
    v(0) = 8.0 * std::sin(0.2 * s);
    v(1) = 8.0 * (1.0 - std::cos(0.2 * s));
    v(5) = wrap_angle(2.8 + 0.05 * k);
  } else if (name == "gps" || name == "position_fix") {
    v(0) = 8.0 * std::sin(0.2 * s);
    v(1) = 8.0 * (1.0 - std::cos(0.2 * s));
  }
  return v;
}

// The measurement of update k and its time: every seventh a pure prediction, otherwise each
// sensor on two updates out of three, every eleventh with its noise doubled for that update.
// Update 60 repeats the time of update 59.
Measurement input(const Filter& filter, const std::vector<std::string>& sensors, int k,
                  double& t)
{
  if (k != 60) {
    t = 1000.0 + 0.02 * k + 0.013 * (k / 13);
  }
  Measurement z = filter.get_empty_measurement();
  if (k % 7 == 3) {
    return z;
  }
  for (std::size_t i = 0; i < sensors.size(); ++i) {
    if (sensors.size() > 1 && (k + static_cast<int>(i)) % 3 == 0) {
      continue;
    }
    const VectorX v = reading(sensors[i], z.sensor_size(sensors[i]), k);
    if (k % 11 == 5) {
      z.sensor_populate(sensors[i], v, 2.0 * z.get_sensor(sensors[i]).get_noise());
    } else {
      z.sensor_populate(sensors[i], v);
    }
  }
  return z;
}

std::vector<std::string> sensor_names(const json& config)
{
  std::vector<std::string> names;
  for (const json& s : config["measurement"]["sensors"]) {
    names.push_back(s["name"].get<std::string>());
  }
  return names;
}

std::string golden_path(const std::string& name)
{
  return std::string(UKF_TEST_DATA_DIR) + "/golden/" + name + ".txt";
}

// One line per update: the state vector, then the upper triangle of the covariance row by row.
std::string line_of(const Filter& filter)
{
  std::string line;
  char buf[32];
  const VectorX x = filter.get_state().get_vector();
  const MatrixX p = filter.get_covar();
  for (Eigen::Index i = 0; i < x.size(); ++i) {
    std::snprintf(buf, sizeof(buf), "%.17g ", x(i));
    line += buf;
  }
  for (Eigen::Index r = 0; r < p.rows(); ++r) {
    for (Eigen::Index c = r; c < p.cols(); ++c) {
      std::snprintf(buf, sizeof(buf), "%.17g ", p(r, c));
      line += buf;
    }
  }
  return line;
}

class Golden : public ::testing::TestWithParam<Recording>
{
};

}  // namespace

TEST_P(Golden, EveryUpdateReproducesTheRecordedNumbers)
{
  const Recording& r = GetParam();
  const json config = config::load_file(r.config);
  Filter filter(config);
  const std::vector<std::string> sensors = sensor_names(config);
  const State layout = filter.get_state();
  // Per entry: its field's first entry and size, and whether it is an angle.
  struct Block
  {
    Eigen::Index first, size;
    bool euler, angle;
  };
  std::vector<Block> block(layout.size());
  for (std::size_t f = 0; f < layout.number_of_fields(); ++f) {
    const IField& field = layout.field(f);
    const bool euler = dynamic_cast<const EulerAngleField*>(&field) != nullptr;
    const bool angle = euler || dynamic_cast<const AngleAxisField*>(&field) != nullptr;
    for (std::size_t j = 0; j < field.get_size(); ++j) {
      block[field.get_index() + j] = {static_cast<Eigen::Index>(field.get_index()),
                                      static_cast<Eigen::Index>(field.get_size()), euler, angle};
    }
  }

  if (std::getenv("ZF_RECORD_GOLDEN") != nullptr) {
    std::ofstream out(golden_path(r.name));
    double t = 0.0;
    for (int k = 0; k < kUpdates; ++k) {
      Measurement z = input(filter, sensors, k, t);
      filter.update(z, t);
      out << line_of(filter) << '\n';
    }
    ASSERT_TRUE(out.good()) << golden_path(r.name);
    GTEST_SKIP() << "recorded " << golden_path(r.name);
  }

  std::ifstream in(golden_path(r.name));
  ASSERT_TRUE(in.is_open()) << golden_path(r.name);
  const auto n = static_cast<Eigen::Index>(layout.size());
  double t = 0.0;
  int failures = 0;
  for (int k = 0; k < kUpdates && failures < 5; ++k) {
    Measurement z = input(filter, sensors, k, t);
      filter.update(z, t);
    std::string text;
    ASSERT_TRUE(std::getline(in, text)) << "the recording ends before update " << k;
    std::istringstream numbers(text);
    VectorX x(n);
    MatrixX p(n, n);
    for (Eigen::Index i = 0; i < n; ++i) {
      numbers >> x(i);
    }
    for (Eigen::Index row = 0; row < n; ++row) {
      for (Eigen::Index c = row; c < n; ++c) {
        numbers >> p(row, c);
        p(c, row) = p(row, c);
      }
    }
    ASSERT_FALSE(numbers.fail()) << "update " << k << ": a short line in the recording";
    const VectorX got_x = filter.get_state().get_vector();
    const MatrixX got_p = filter.get_covar();
    for (Eigen::Index i = 0; i < n; ++i) {
      const Block& b = block[static_cast<std::size_t>(i)];
      const double d = b.euler ? wrap_angle(got_x(i) - x(i)) : got_x(i) - x(i);
      const double size = x.segment(b.first, b.size).norm();
      if (!(std::abs(d) <= 1e-12 * (b.angle ? std::max(size, 1.0) : size))) {
        ADD_FAILURE() << r.name << ", update " << k << ": state entry " << i << " is "
                      << got_x(i) << ", recorded " << x(i);
        ++failures;
      }
    }
    for (Eigen::Index row = 0; row < n; ++row) {
      for (Eigen::Index c = 0; c < n; ++c) {
        const double scale = std::abs(p(row, c)) + std::sqrt(std::abs(p(row, row) * p(c, c)));
        if (!(std::abs(got_p(row, c) - p(row, c)) <= 1e-12 * scale)) {
          ADD_FAILURE() << r.name << ", update " << k << ": covariance (" << row << ", " << c
                        << ") is " << got_p(row, c) << ", recorded " << p(row, c);
          ++failures;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Configurations, Golden, ::testing::ValuesIn(recordings()),
                         [](const ::testing::TestParamInfo<Recording>& info) {
                           return info.param.name;
                         });

TEST(FilterNumerics, ThePosteriorCovarianceIsExactlySymmetricAfterEveryUpdate)
{
  // Without the symmetrising step, P - K S K^T differs from its transpose in the last bits.
  for (const Recording& r : recordings()) {
    const json config = config::load_file(r.config);
    Filter filter(config);
    const std::vector<std::string> sensors = sensor_names(config);
    double t = 0.0;
    for (int k = 0; k < 60; ++k) {
      Measurement z = input(filter, sensors, k, t);
      filter.update(z, t);
      const MatrixX p = filter.get_covar();
      ASSERT_TRUE(p == p.transpose()) << r.name << ", update " << k;
    }
  }
}
