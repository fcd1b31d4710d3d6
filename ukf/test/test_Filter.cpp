#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include <Eigen/Eigenvalues>

#include "doubles/constant_rate_model.hpp"
#include "test_helpers.hpp"
#include "ukf/Filter.hpp"
#include "ukf/factories.hpp"
#include "ukf/models/pointMass3D.hpp"
#include "ukf/models/zendraFell.hpp"

using namespace ukf;
using ukf::test::ConstantRateModel;
using ukf::test::data_path;
using ukf::test::load_json;
using ukf::test::MatrixNear;
using ukf::test::vec;

namespace
{

json generic(const std::string& name, const VectorX& v)
{
  return {{"type", "GENERIC_FIELD"},
          {"name", name},
          {"size", v.size()},
          {"initial_values", std::vector<double>(v.data(), v.data() + v.size())}};
}

json reader(const std::string& field, int size, double noise)
{
  json n = json::array();
  for (int r = 0; r < size; ++r) {
    std::vector<double> row(static_cast<std::size_t>(size), 0.0);
    row[static_cast<std::size_t>(r)] = noise;
    n.push_back(row);
  }
  return {{"type", "POSITION_SENSOR"},
          {"name", "z"},
          {"size", size},
          {"noise", n},
          {"state_pos_field", field}};
}

// A filter over one generic field "x" of size n, with a model that does not move it.
Filter still_filter(const VectorX& x0, const MatrixX& p0, double alpha, double beta, double kappa,
                    int sensor_size = 1, double noise = 1.0)
{
  State s(json{{"fields", {generic("x", x0)}}});
  Measurement m(json{{"sensors", {reader("x", sensor_size, noise)}}});
  return Filter(s, p0, std::make_unique<ConstantRateModel>(VectorX::Zero(x0.size()), 0.1), m, alpha,
                beta, kappa);
}

std::string write_temp(const std::string& text)
{
  static int counter = 0;
  const std::string path = ::testing::TempDir() + "ukf_cfg_" + std::to_string(counter++) + ".json";
  std::ofstream(path) << text;
  return path;
}

bool symmetric_psd(const MatrixX& p)
{
  if ((p - p.transpose()).cwiseAbs().maxCoeff() > 1e-12) {
    return false;
  }
  const Eigen::SelfAdjointEigenSolver<MatrixX> solver(p);
  return solver.eigenvalues().minCoeff() > -1e-9;
}

}  // namespace

TEST(FilterWeights, WorkedExamples)
{
  const Filter a = still_filter(vec({0, 0}), MatrixX::Identity(2, 2), 0.5, 2, 1);
  EXPECT_DOUBLE_EQ(a.get_lambda(), -1.25);
  EXPECT_TRUE(
    MatrixNear(a.get_state_weights(), vec({-5.0 / 3, 2.0 / 3, 2.0 / 3, 2.0 / 3, 2.0 / 3}), 1e-15));
  EXPECT_TRUE(
    MatrixNear(a.get_covar_weights(), vec({13.0 / 12, 2.0 / 3, 2.0 / 3, 2.0 / 3, 2.0 / 3}), 1e-15));

  const Filter b = still_filter(vec({0, 0, 0}), MatrixX::Identity(3, 3), 1, 2, 0);
  EXPECT_EQ(b.get_lambda(), 0.0);
  VectorX ws = VectorX::Constant(7, 1.0 / 6);
  ws(0) = 0;
  EXPECT_TRUE(MatrixNear(b.get_state_weights(), ws, 1e-16));
  ws(0) = 2;
  EXPECT_TRUE(MatrixNear(b.get_covar_weights(), ws, 1e-16));
  EXPECT_NEAR(b.get_state_weights().sum(), 1.0, 1e-15);
  EXPECT_NEAR(a.get_covar_weights().sum(), 2 - 0.25 + 2, 1e-14);
}

TEST(FilterSigmaPoints, AlongTheColumnsOfTheLowerFactor)
{
  Filter f = still_filter(vec({0, 0}), MatrixX(vec({1, 4}).asDiagonal()), 1, 2, 1);
  f.update(f.get_empty_measurement(), 3.0);
  const auto sig = f.get_last_step().propagated_sigmas;
  ASSERT_EQ(sig.size(), 5u);
  const double r3 = std::sqrt(3.0);
  const double r12 = std::sqrt(12.0);
  EXPECT_TRUE(MatrixNear(sig[0].get_vector(), vec({0, 0}), 0));
  EXPECT_TRUE(MatrixNear(sig[1].get_vector(), vec({r3, 0}), 1e-15));
  EXPECT_TRUE(MatrixNear(sig[2].get_vector(), vec({0, r12}), 1e-15));
  EXPECT_TRUE(MatrixNear(sig[3].get_vector(), vec({-r3, 0}), 1e-15));
  EXPECT_TRUE(MatrixNear(sig[4].get_vector(), vec({0, -r12}), 1e-15));

  // Off-diagonal terms: the displacement is column i of L (L L^T = (n + lambda) P).
  MatrixX p(2, 2);
  p << 2, 1, 1, 2;
  Filter g = still_filter(vec({0, 0}), p, 1, 2, 1);
  g.update(g.get_empty_measurement(), 0.0);
  const MatrixX l = MatrixX((3.0 * p).llt().matrixL());
  const auto s2 = g.get_last_step().propagated_sigmas;
  EXPECT_TRUE(MatrixNear(s2[1].get_vector(), l.col(0), 1e-15));
  EXPECT_TRUE(MatrixNear(s2[2].get_vector(), l.col(1), 1e-15));
  EXPECT_TRUE(MatrixNear(s2[4].get_vector(), -l.col(1), 1e-15));
}

TEST(FilterSigmaPoints, FailedFactorisationReportsOnceAndUsesTheNearestPsdMatrix)
{
  Filter f = still_filter(vec({1, 2}), MatrixX::Zero(2, 2), 1, 2, 1);
  ::testing::internal::CaptureStdout();
  f.update(f.get_empty_measurement(), 0.0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "LLT decomposition failed.\n");
  const auto step = f.get_last_step();
  ASSERT_EQ(step.propagated_sigmas.size(), 5u);
  for (const State& s : step.propagated_sigmas) {
    EXPECT_TRUE(MatrixNear(s.get_vector(), vec({1, 2}), 0));
  }
  EXPECT_TRUE(f.get_covar().allFinite());
}

TEST(FilterUpdate, FirstUpdateByHand)
{
  Filter f = still_filter(vec({0}), MatrixX::Identity(1, 1), 1, 2, 2);
  EXPECT_TRUE(MatrixNear(f.get_state_weights(), vec({2.0 / 3, 1.0 / 6, 1.0 / 6}), 1e-15));
  EXPECT_TRUE(MatrixNear(f.get_covar_weights(), vec({8.0 / 3, 1.0 / 6, 1.0 / 6}), 1e-15));
  Measurement z = f.get_empty_measurement();
  z.sensor_populate("z", vec({2}));
  f.update(z, 0.0);
  const Step s = f.get_last_step();
  EXPECT_TRUE(MatrixNear(s.propagated_sigmas[1].get_vector(), vec({std::sqrt(3.0)}), 1e-15));
  EXPECT_NEAR(s.priori_state.get_vector()(0), 0.0, 1e-15);
  EXPECT_NEAR(s.priori_covar(0, 0), 1.0, 1e-15);
  EXPECT_NEAR(s.predicted_measurement.get_vector()(0), 0.0, 1e-15);
  EXPECT_NEAR(s.predicted_measurement_covar(0, 0), 2.0, 1e-15);
  EXPECT_NEAR(s.cross_covar(0, 0), 1.0, 1e-15);
  EXPECT_NEAR(s.kalman_gain(0, 0), 0.5, 1e-15);
  EXPECT_NEAR(s.residual.get_vector()(0), 2.0, 1e-15);
  EXPECT_NEAR(f.get_state().get_vector()(0), 1.0, 1e-15);
  EXPECT_NEAR(f.get_covar()(0, 0), 0.5, 1e-15);
  EXPECT_EQ(s.posteriori_state.get_vector(), f.get_state().get_vector());
  EXPECT_EQ(s.posteriori_covar, f.get_covar());
  EXPECT_EQ(s.measurement_sigmas.size(), 3u);
  EXPECT_EQ(s.sensor_measurement.get_vector(), vec({2}));
}

TEST(FilterUpdate, OwnTimeAxis)
{
  Filter f = still_filter(vec({0}), MatrixX::Identity(1, 1), 1, 2, 2);
  f.update(f.get_empty_measurement(), 7.5);
  EXPECT_EQ(f.get_last_step().cur_time, 0.0);
  EXPECT_EQ(f.get_last_step().dt, 0.0);
  f.update(f.get_empty_measurement(), 7.75);
  EXPECT_EQ(f.get_last_step().prev_time, 0.0);
  EXPECT_EQ(f.get_last_step().cur_time, 0.25);
  EXPECT_EQ(f.get_last_step().dt, 0.25);
  f.update(f.get_empty_measurement(), 7.75);  // an equal time is an interval of 0
  EXPECT_EQ(f.get_last_step().dt, 0.0);
}

TEST(FilterUpdate, NothingPopulatedIsAPurePrediction)
{
  State s(json{{"fields", {generic("x", vec({1, 2}))}}});
  Measurement m(json{{"sensors", {reader("x", 2, 1.0)}}});
  Filter f(s, MatrixX::Identity(2, 2),
           std::make_unique<ConstantRateModel>(vec({1, 0}), 0.1, MatrixX::Identity(2, 2)), m);
  f.update(f.get_empty_measurement(), 0.0);
  f.update(f.get_empty_measurement(), 0.5);
  const Step step = f.get_last_step();
  EXPECT_EQ(step.kalman_gain.rows(), 2);
  EXPECT_EQ(step.kalman_gain.cols(), 0);
  EXPECT_EQ(step.predicted_measurement_covar.rows(), 0);
  EXPECT_TRUE(MatrixNear(f.get_state().get_vector(), vec({1.5, 2}), 1e-12));
  EXPECT_TRUE(MatrixNear(f.get_covar(), step.priori_covar, 0));
  EXPECT_TRUE(MatrixNear(f.get_covar(), 1.5 * MatrixX::Identity(2, 2), 1e-12));
}

TEST(FilterUpdate, SizesForTwelveStatesAndOneSensor)
{
  json cfg = load_json("angle_axis_vo.json");
  cfg["initial_state"]["fields"][1]["type"] = "EULER_ANGLES";
  cfg["measurement"]["sensors"].push_back({{"type", "ENCODERS"},
                                           {"name", "encoders"},
                                           {"size", 2},
                                           {"noise", {{0.1, 0}, {0, 0.1}}},
                                           {"state_vel_field", "Velocity3D"},
                                           {"state_ang_vel_field", "AngularVelocity3D"}});
  Filter f(cfg);
  Measurement z = f.get_empty_measurement();
  z.sensor_populate("encoders", vec({1.0, 0.1}));
  f.update(z, 1.0);
  const Step s = f.get_last_step();
  EXPECT_EQ(s.propagated_sigmas.size(), 25u);
  EXPECT_EQ(s.measurement_sigmas.size(), 25u);
  EXPECT_EQ(s.predicted_measurement_covar.rows(), 2);
  EXPECT_EQ(s.predicted_measurement_covar.cols(), 2);
  EXPECT_EQ(s.cross_covar.rows(), 12);
  EXPECT_EQ(s.cross_covar.cols(), 2);
  EXPECT_EQ(s.kalman_gain.rows(), 12);
  EXPECT_EQ(s.kalman_gain.cols(), 2);
}

TEST(FilterUpdate, RejectedUpdatesChangeNothing)
{
  Filter f = still_filter(vec({0}), MatrixX::Identity(1, 1), 1, 2, 2);
  Measurement z = f.get_empty_measurement();
  z.sensor_populate("z", vec({2}));
  EXPECT_THROW_HAS(f.update(z, NAN), std::invalid_argument, "not finite");
  f.update(z, 10.0);
  f.update(z, 11.0);
  const VectorX x = f.get_state().get_vector();
  const MatrixX p = f.get_covar();
  EXPECT_THROW_HAS(f.update(z, 10.5), std::invalid_argument, "10.5", "earlier");
  EXPECT_THROW_HAS(f.update(z, INFINITY), std::invalid_argument, "not finite");
  EXPECT_EQ(f.get_state().get_vector(), x);
  EXPECT_EQ(f.get_covar(), p);
  EXPECT_EQ(f.get_last_step().cur_time, 1.0);

  State s(json{{"fields", {generic("x", vec({0}))}}});
  Measurement m(json{{"sensors", {reader("x", 1, 1.0)}}});
  Filter g(s, MatrixX::Identity(1, 1), std::make_unique<ConstantRateModel>(vec({NAN}), 0.1), m);
  g.update(g.get_empty_measurement(), 0.0);  // dt 0: the derivative is never evaluated
  EXPECT_THROW_HAS(g.update(g.get_empty_measurement(), 1.0), std::runtime_error, "not finite");
  EXPECT_EQ(g.get_state().get_vector(), vec({0}));
  EXPECT_EQ(g.get_last_step().cur_time, 0.0);
  Filter placeholder;
  EXPECT_THROW(placeholder.update(Measurement(), 0.0), std::logic_error);
}

TEST(FilterConfig, FileErrors)
{
  EXPECT_THROW_MSG(Filter("/no/such/dir/ukf.json"), std::runtime_error,
                   "Could not open filter config file: /no/such/dir/ukf.json");
  EXPECT_THROW(Filter(write_temp("{ \"initial_state\": ")), json::parse_error);
  const Filter f(data_path("point_mass_2d.json"));
  EXPECT_EQ(f.get_state().size(), 4u);
  EXPECT_EQ(f.get_state_weights().size(), 9);
  Measurement copy = f.get_empty_measurement();
  copy.sensor_populate("position_fix", vec({1, 2}));
  EXPECT_EQ(f.get_empty_measurement().size(), 0);
}

TEST(FilterConfig, CovarianceChecks)
{
  json cfg = load_json("point_mass_2d.json");
  const std::string size_msg =
    "Invalid config: Covariance matrix size does not match state vector size: "
    "\"initial_covariance\" has ";
  const std::string state_size = ", the state has 4 entries (the sizes of its fields summed)";
  cfg["initial_covariance"][0] = {1.0, 0.0, 0.0};
  EXPECT_THROW_MSG(Filter{cfg}, std::runtime_error, size_msg + "4 rows of 3" + state_size);
  cfg = load_json("point_mass_2d.json");
  cfg["initial_covariance"].erase(3);
  EXPECT_THROW_MSG(Filter{cfg}, std::runtime_error, size_msg + "3 rows of 4" + state_size);
  // A sensor's state field that the state lacks stops the configuration, naming the sensor.
  cfg = load_json("point_mass_2d.json");
  cfg["measurement"]["sensors"][0]["state_pos_field"] = "Position";
  EXPECT_THROW_MSG(Filter{cfg}, std::runtime_error,
                   "Invalid config: sensor \"position_fix\" cannot predict its reading from the "
                   "state: Field not found: Position");
  cfg = load_json("point_mass_2d.json");
  cfg["initial_covariance"][1] = {0.0, 1.0};
  EXPECT_THROW_MSG(
    Filter{cfg}, std::runtime_error,
    "Invalid config: \"initial_covariance\": row 1 has 2 entries, the first row has 4");
  cfg = load_json("point_mass_2d.json");
  cfg["initial_covariance"][0][1] = 0.5;
  EXPECT_THROW_MSG(Filter{cfg}, std::runtime_error,
                   "Invalid config: \"initial_covariance\" is not symmetric");
  cfg = load_json("point_mass_2d.json");
  cfg["initial_covariance"][0][0] = -1.0;
  EXPECT_THROW_HAS(Filter{cfg}, std::runtime_error,
                   "\"initial_covariance\" has a negative eigenvalue");
  cfg = load_json("point_mass_2d.json");
  cfg.erase("initial_covariance");
  EXPECT_THROW_MSG(Filter{cfg}, std::runtime_error,
                   "Invalid config: missing key \"initial_covariance\" in the configuration");
}

TEST(FilterConfig, TuningAndModelFit)
{
  json cfg = load_json("point_mass_2d.json");
  cfg["filter"] = {{"alpha", 1}, {"beta", 2}, {"kappa", -4}};
  EXPECT_THROW_HAS(Filter{cfg}, std::runtime_error, "Invalid config: \"alpha\" 1 and \"kappa\" -4",
                   "n + lambda = 0");
  cfg["filter"] = {{"alpha", 1}, {"beta", "two"}, {"kappa", 0}};
  EXPECT_THROW_MSG(Filter{cfg}, json::type_error,
                   "[json.exception.type_error.302] \"beta\" of \"filter\": type must be number, "
                   "but is string");
  cfg["filter"] = {{"alpha", "1"}, {"beta", 2}, {"kappa", 0}};
  EXPECT_THROW_MSG(Filter{cfg}, json::type_error,
                   "[json.exception.type_error.302] \"alpha\" of \"filter\": type must be number, "
                   "but is string");
  cfg["filter"] = {{"alpha", 1}, {"beta", 2}};
  EXPECT_THROW_MSG(Filter{cfg}, std::runtime_error,
                   "Invalid config: missing key \"kappa\" in \"filter\"");

  cfg = load_json("point_mass_2d.json");
  cfg["initial_state"]["fields"][1]["name"] = "Speed2D";
  EXPECT_THROW_MSG(Filter{cfg}, std::runtime_error,
                   "Invalid config: model \"planar\" needs the state field \"Velocity2D\" (2 "
                   "entries), which is missing");
  cfg = load_json("point_mass_2d.json");
  cfg["model"]["type"] = "POINT_MASS_3D";
  EXPECT_THROW_HAS(Filter{cfg}, std::runtime_error, "Invalid config: model \"planar\"",
                   "Position3D");
  cfg = load_json("point_mass_2d.json");
  cfg["initial_state"]["fields"].push_back(generic("Extra", vec({0})));
  cfg["initial_covariance"] =
    json::parse("[[1,0,0,0,0],[0,1,0,0,0],[0,0,1,0,0],[0,0,0,1,0],[0,0,0,0,1]]");
  EXPECT_THROW_MSG(
    Filter{cfg}, std::runtime_error,
    "Invalid config: model \"planar\" has a process noise of 4 x 4 for a state of size 5");
}

// Every field, sensor and model type over thousands of noisy updates: the estimate stays finite
// and the covariance symmetric positive semi-definite.
class FilterSoak : public ::testing::TestWithParam<const char*>
{
};

TEST_P(FilterSoak, StaysFiniteSymmetricAndPositive)
{
  Filter f(data_path(GetParam()));
  std::vector<std::string> names;
  const json config = load_json(GetParam());
  for (const json& sensor : config["measurement"]["sensors"]) {
    names.push_back(sensor["name"].get<std::string>());
  }
  std::mt19937 rng(42);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::uniform_int_distribution<int> pick(0, 7);
  const Measurement empty = f.get_empty_measurement();
  double heading = 0.0;
  for (int k = 0; k < 3000; ++k) {
    const double t = 100.0 + 0.02 * k;
    const double speed = 1.0 + 0.5 * std::sin(0.01 * k);
    const double yaw_rate = 0.3 * std::sin(0.003 * k);
    heading = wrap_angle(heading + yaw_rate * 0.02);
    Measurement z = f.get_empty_measurement();
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (pick(rng) > 3 && i != 0) {
        continue;
      }
      const int size = empty.sensor_size(names[i]);
      VectorX v(size);
      for (int j = 0; j < size; ++j) {
        v(j) = 0.05 * noise(rng);
      }
      v(0) += speed;
      if (size >= 3) {
        v(size - 1) += heading;
      }
      z.sensor_populate(names[i], v);
    }
    f.update(z, t);
    ASSERT_TRUE(f.get_state().get_vector().allFinite()) << k;
    ASSERT_TRUE(symmetric_psd(f.get_covar())) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Configurations, FilterSoak,
                         ::testing::Values("vehicle_all_sensors.json", "angle_axis_vo.json",
                                           "point_mass_2d.json"));

TEST(FilterUpdate, GainMatchesTheClosedFormWithTwoSensors)
{
  // Two sensors reading the same 2-entry field: the pivoting solve must equal C S^-1.
  State s(json{{"fields", {generic("x", vec({0.5, -0.5}))}}});
  json a = reader("x", 2, 0.3);
  json b = reader("x", 2, 0.7);
  b["name"] = "w";
  Measurement m(json{{"sensors", {a, b}}});
  MatrixX p(2, 2);
  p << 2.0, 0.3, 0.3, 1.0;
  Filter f(s, p, std::make_unique<ConstantRateModel>(VectorX::Zero(2), 0.1), m);
  Measurement z = f.get_empty_measurement();
  z.sensor_populate("z", vec({1.0, 0.0}));
  z.sensor_populate("w", vec({0.8, 0.1}));
  f.update(z, 0.0);
  const Step step = f.get_last_step();
  const MatrixX expected = step.cross_covar * step.predicted_measurement_covar.inverse();
  EXPECT_TRUE(MatrixNear(step.kalman_gain, expected, 1e-12));
  // For a linear measurement the unscented prior equals the Kalman filter's: P H^T and H P H^T + R.
  MatrixX h(4, 2);
  h << 1, 0, 0, 1, 1, 0, 0, 1;
  MatrixX r = MatrixX::Zero(4, 4);
  r.diagonal() << 0.3, 0.3, 0.7, 0.7;
  EXPECT_TRUE(MatrixNear(step.cross_covar, p * h.transpose(), 1e-12));
  EXPECT_TRUE(MatrixNear(step.predicted_measurement_covar, h * p * h.transpose() + r, 1e-12));
  EXPECT_TRUE(MatrixNear(f.get_covar(), p - expected * (h * p), 1e-12));
}

TEST(FilterUpdate, MovedFilterKeepsWorking)
{
  Filter source = still_filter(vec({0}), MatrixX::Identity(1, 1), 1, 2, 2);
  Filter target;
  target = std::move(source);
  Measurement z = target.get_empty_measurement();
  z.sensor_populate("z", vec({2}));
  target.update(z, 1.0);
  EXPECT_NEAR(target.get_state().get_vector()(0), 1.0, 1e-15);
}

TEST(FilterUpdate, AngleResidualAcrossPiCorrectsTheShortWay)
{
  // Heading 3.1 rad, compass reads -3.1 rad: 0.083 rad apart across the seam, not 6.2 rad.
  json fields = {
    {{"type", "EULER_ANGLES"}, {"name", "yaw"}, {"size", 1}, {"initial_values", {3.1}}}};
  State s(json{{"fields", fields}});
  Measurement m(json{{"sensors",
                      {{{"type", "ORIENTATION_SENSOR"},
                        {"name", "compass"},
                        {"size", 1},
                        {"noise", {{0.01}}},
                        {"state_orientation_field", "yaw"}}}}});
  Filter f(s, MatrixX::Constant(1, 1, 0.01), std::make_unique<ConstantRateModel>(vec({0}), 0.1), m);
  Measurement z = f.get_empty_measurement();
  z.sensor_populate("compass", vec({-3.1}));
  f.update(z, 0.0);
  const double yaw = f.get_state().get_vector()(0);
  const double gap = 2 * kPi - 6.2;
  EXPECT_NEAR(f.get_last_step().residual.get_vector()(0), gap, 1e-12);
  // Halfway (equal variances) across the seam: pi, stored as -pi.
  EXPECT_NEAR(std::abs(wrap_angle(yaw - (3.1 + gap / 2))), 0.0, 1e-9) << yaw;
  EXPECT_NEAR(f.get_covar()(0, 0), 0.005, 1e-12);
}

namespace
{

// A planar point mass simulated exactly as the filter models it: constant velocity, white process
// noise dt * Qc on every entry, position fixes with noise R. The filter is then the optimal one,
// and its innovations are chi-square distributed. Returns the mean NIS over `steps` updates.
double mean_nis_of_simulated_drive(double r_true, double r_filter, int steps)
{
  const double dt = 0.1, qp = 0.01, qv = 0.04;
  json cfg = load_json("point_mass_2d.json");
  cfg["initial_covariance"] = {{1e-6, 0, 0, 0}, {0, 1e-6, 0, 0}, {0, 0, 1e-6, 0}, {0, 0, 0, 1e-6}};
  cfg["model"]["process_noise"] = {qp, qp, qv, qv};
  cfg["measurement"]["sensors"][0]["noise"] = {{r_filter, 0}, {0, r_filter}};
  Filter filter(cfg);
  std::mt19937 rng(20261209);
  std::normal_distribution<double> normal(0.0, 1.0);
  VectorX truth = VectorX::Zero(4);
  double sum = 0.0;
  for (int k = 0; k < steps; ++k) {
    if (k > 0) {
      truth.head(2) += dt * truth.tail(2);
      truth(0) += std::sqrt(dt * qp) * normal(rng);
      truth(1) += std::sqrt(dt * qp) * normal(rng);
      truth(2) += std::sqrt(dt * qv) * normal(rng);
      truth(3) += std::sqrt(dt * qv) * normal(rng);
    }
    Measurement z = filter.get_empty_measurement();
    z.sensor_populate("position_fix",
                      vec({truth(0) + std::sqrt(r_true) * normal(rng),
                           truth(1) + std::sqrt(r_true) * normal(rng)}));
    filter.update(z, k * dt);
    sum += normalised_innovation_squared(filter.get_last_step());
  }
  return sum / steps;
}

}  // namespace

TEST(FilterConsistency, MatchedNoiseGivesTheExpectedMeanNisAndOverconfidenceShows)
{
  // Two measured entries: a consistent filter's NIS averages 2.
  EXPECT_NEAR(mean_nis_of_simulated_drive(0.05, 0.05, 3000), 2.0, 0.2);
  // A filter that believes its sensor ten times better than it is.
  EXPECT_GT(mean_nis_of_simulated_drive(0.05, 0.005, 3000), 4.0);

  Step pure;
  EXPECT_EQ(normalised_innovation_squared(pure), 0.0);
}

// A measurement reused for every update (the template assigned over it) and one made afresh per
// update give the same numbers, and the reused one is left as the caller had it.
TEST(FilterUpdate, AReusedMeasurementGivesTheSameNumbersAsFreshOnes)
{
  Filter fresh{load_json("angle_axis_vo.json")};
  Filter reused{load_json("angle_axis_vo.json")};
  Measurement z = reused.get_empty_measurement();
  for (int k = 0; k < 20; ++k) {
    const double t = 0.05 * k;
    const VectorX vo = vec({t, 0.1 * t, 0.0, 0.0, 0.0, 0.02 * k});
    Measurement once = fresh.get_empty_measurement();
    z = reused.empty_measurement();
    once.sensor_populate("vo", vo);
    z.sensor_populate("vo", vo);
    if (k % 3 == 0) {  // the position sensor now and then: the populated set changes
      once.sensor_populate("gps", vo.head(3));
      z.sensor_populate("gps", vo.head(3));
    }
    fresh.update(std::move(once), t);
    reused.update(z, t);
    EXPECT_EQ(z["vo"], vo);
    EXPECT_EQ(z.sensor_is_populated("gps"), k % 3 == 0);
    EXPECT_EQ(reused.get_last_step().sensor_measurement.size(), z.size());
  }
  EXPECT_EQ(fresh.get_state().get_vector(), reused.get_state().get_vector());
  EXPECT_EQ(fresh.get_covar(), reused.get_covar());
  EXPECT_EQ(reused.state().get_vector(), reused.get_state().get_vector());
  EXPECT_EQ(reused.covar(), reused.get_covar());
  EXPECT_EQ(reused.empty_measurement().size(), 0);
}

TEST(FilterUpdate, SetEstimateReplacesTheEstimateOrRefusesAndChangesNothing)
{
  Filter filter{load_json("angle_axis_vo.json")};
  Measurement z = filter.get_empty_measurement();
  z.sensor_populate("vo", vec({0.1, 0.0, 0.0, 0.0, 0.0, 0.0}));
  filter.update(z, 5.0);
  const auto n = static_cast<Eigen::Index>(filter.state().size());
  const VectorX before = filter.state().get_vector();
  const MatrixX covar_before = filter.covar();

  MatrixX bad = MatrixX::Identity(n, n);
  bad(0, 1) = 0.5;
  const std::string what = "Filter::set_estimate: ";
  EXPECT_THROW_MSG(filter.set_estimate(before, bad), std::invalid_argument,
                   what + "the covariance is not symmetric");
  bad(1, 0) = 0.5;
  bad(0, 0) = -1.0;
  EXPECT_THROW_MSG(filter.set_estimate(before, bad), std::invalid_argument,
                   what + "the covariance has a negative eigenvalue (-1.1180339887498947)");
  EXPECT_THROW_MSG(filter.set_estimate(before.head(n - 1), covar_before), std::invalid_argument,
                   what + "a state of 11 entries and a covariance of 12 x 12 for a state of size 12");
  VectorX nan = before;
  nan(2) = std::nan("");
  EXPECT_THROW_MSG(filter.set_estimate(nan, covar_before), std::invalid_argument,
                   what + "the state or its covariance has a value that is not finite");
  EXPECT_EQ(filter.state().get_vector(), before);
  EXPECT_EQ(filter.covar(), covar_before);

  // The new estimate is where the next update starts from, on the same clock.
  VectorX moved = before;
  moved(0) += 3.0;
  filter.set_estimate(moved, 0.5 * covar_before);
  EXPECT_EQ(filter.state().get_vector(), moved);
  EXPECT_EQ(filter.covar(), 0.5 * covar_before);
  EXPECT_THROW(filter.update(z, 4.0), std::invalid_argument);
  filter.update(z, 5.0);
  EXPECT_GT(filter.state().get_vector()(0), 1.0);
}

namespace
{

json rows_of(const MatrixX& m)
{
  json rows = json::array();
  for (Eigen::Index r = 0; r < m.rows(); ++r) {
    rows.push_back(json::array());
    for (Eigen::Index c = 0; c < m.cols(); ++c) {
      rows.back().push_back(m(r, c));
    }
  }
  return rows;
}

// The vehicle with every sensor, and the wheels' and the IMU's errors as states the model holds:
// the gyro's bias between the model's own fields, the others after them.
json vehicle_with_biases()
{
  json cfg = load_json("vehicle_all_sensors.json");
  json& fields = cfg["initial_state"]["fields"];
  fields.insert(fields.begin() + 1, generic("GyroBias", vec({0.001, -0.002, 0.04})));
  fields.push_back(generic("AccelBias", vec({0.3, -0.2, 0.05})));
  fields.push_back(generic("SpeedScale", vec({1.03})));
  fields.push_back(generic("YawRateScale", vec({4.0})));
  fields.push_back(generic("YawRateBias", vec({0.01})));
  MatrixX p = MatrixX::Identity(24, 24) * 0.01;
  p.block(3, 3, 3, 3) *= 0.1;  // the gyro's bias, entries 3 to 5
  cfg["initial_covariance"] = rows_of(p);
  cfg["model"]["random_walk"] = {{"GyroBias", {1e-6, 2e-6, 3e-6}},
                                 {"AccelBias", 1e-4},
                                 {"SpeedScale", 1e-5},
                                 {"YawRateScale", 0},
                                 {"YawRateBias", 1e-6}};
  for (json& sensor : cfg["measurement"]["sensors"]) {
    if (sensor["type"] == "ENCODERS") {
      sensor["state_speed_scale_field"] = "SpeedScale";
      sensor["state_yaw_rate_scale_field"] = "YawRateScale";
      sensor["state_yaw_rate_bias_field"] = "YawRateBias";
    } else if (sensor["type"] == "IMU") {
      sensor["state_accel_bias_field"] = "AccelBias";
      sensor["state_gyro_bias_field"] = "GyroBias";
    }
  }
  return cfg;
}

}  // namespace

// Fields the model does not move are held: their derivative is zero and their noise is their
// random walk's, wherever they lie in the state; the model's own entries keep its noise.
TEST(HeldFields, StayConstantWithTheirRandomWalksNoise)
{
  const json cfg = vehicle_with_biases();
  EXPECT_TRUE(config::unknown_keys(cfg).empty());
  Filter filter(cfg);
  const VectorX x0 = filter.get_state().get_vector();
  const MatrixX p0 = filter.get_covar();
  filter.update(filter.get_empty_measurement(), 10.0);
  filter.update(filter.get_empty_measurement(), 12.5);  // a pure prediction over 2.5 s
  const VectorX x = filter.get_state().get_vector();
  const MatrixX p = filter.get_covar();
  const double rates[] = {1e-6, 2e-6, 3e-6};
  for (Eigen::Index i = 0; i < 3; ++i) {
    EXPECT_NEAR(x(3 + i), x0(3 + i), 1e-15);  // the gyro's bias, after the 3 of the position
    EXPECT_NEAR(p(3 + i, 3 + i), p0(3 + i, 3 + i) + 2.5 * rates[i], 1e-15);
  }
  EXPECT_LT((x.tail(6) - x0.tail(6)).cwiseAbs().maxCoeff(), 1e-14);
  EXPECT_NEAR(p(18, 18), p0(18, 18) + 2.5e-4, 1e-15);
  EXPECT_NEAR(p(22, 22), p0(22, 22), 1e-15);  // a rate of 0 holds the scale
  // The model's own noise lies on its own entries, in the state's order; nothing joins the two.
  auto model = create_model_from_json(cfg["model"]);
  const MatrixX own = model->process_noise_covariance(2.0);
  EXPECT_EQ(own.rows(), 15);
  dynamic_cast<detail::ModelBase&>(*model).fit_to_state(filter.get_state());
  const MatrixX q = model->process_noise_covariance(2.0);
  ASSERT_EQ(q.rows(), 24);
  EXPECT_EQ(q.block(0, 0, 3, 3), own.block(0, 0, 3, 3));
  EXPECT_EQ(q.block(6, 6, 12, 12), own.block(3, 3, 12, 12));
  EXPECT_EQ(q.block(0, 6, 3, 12), own.block(0, 3, 3, 12));
  EXPECT_EQ(q.diagonal().segment(3, 3), vec({2e-6, 4e-6, 6e-6}));
  EXPECT_EQ(q.diagonal().tail(6), vec({2e-4, 2e-4, 2e-4, 2e-5, 0, 2e-6}));
  EXPECT_DOUBLE_EQ(q.block(3, 0, 3, 24).cwiseAbs().sum(), q.diagonal().segment(3, 3).sum());
  EXPECT_DOUBLE_EQ(q.block(18, 0, 6, 24).cwiseAbs().sum(), q.diagonal().tail(6).sum());
  const VectorX f = model->f(filter.get_state(), 0.0);
  EXPECT_EQ(f.segment(3, 3), VectorX::Zero(3));
  EXPECT_EQ(f.tail(6), VectorX::Zero(6));
}

// The filter's fast path predicts corrected sensors as their classes do, for every sigma point.
TEST(HeldFields, CorrectedSensorsPredictAsTheirClassesDo)
{
  Filter filter(vehicle_with_biases());
  Measurement z = filter.get_empty_measurement();
  for (int k = 1; k <= 30; ++k) {
    const double t = 0.02 * k;
    z = filter.empty_measurement();
    z.sensor_populate("encoders", vec({1.03 * t, 4.0 * 0.2 + 0.01}));
    z.sensor_populate("imu", vec({1.3, -0.2, 0.05, 0.001, -0.002, 0.24}));
    filter.update(z, t);
  }
  const Step step = filter.get_last_step();
  ASSERT_EQ(step.measurement_sigmas.size(), 49u);
  for (std::size_t i = 0; i < step.propagated_sigmas.size(); ++i) {
    for (const char* name : {"encoders", "imu"}) {
      Measurement own = filter.get_empty_measurement();
      ISensor& sensor = own.get_sensor(name);
      sensor.state_to_measurement(step.propagated_sigmas[i]);
      EXPECT_EQ(sensor.get_vector(), step.measurement_sigmas[i][name]) << name << ", point " << i;
    }
  }
  // The wheels' readings tell the scale and bias apart only together with the IMU: the filter
  // stays finite and its covariance sound.
  EXPECT_TRUE(filter.get_state().get_vector().allFinite());
  EXPECT_TRUE(symmetric_psd(filter.get_covar()));
}

// With "standstill_within", a standing reading is predicted without the wheels' corrections on
// the engine's path as by the class; the scale learns nothing from it.
TEST(HeldFields, AStandstillReadingPredictsAsTheClassDoes)
{
  json cfg = vehicle_with_biases();
  for (json& sensor : cfg["measurement"]["sensors"]) {
    if (sensor["type"] == "ENCODERS") {
      sensor["standstill_within"] = {0.0, 0.0};
    }
  }
  Filter filter(cfg);
  const VectorX x0 = filter.get_state().get_vector();
  Measurement z = filter.get_empty_measurement();
  for (int k = 1; k <= 30; ++k) {
    z = filter.empty_measurement();
    z.sensor_populate("encoders", vec({0.0, 0.0}));
    z.sensor_populate("imu", vec({0.01, -0.02, 0.05, 0.001, -0.002, 0.04}));
    filter.update(z, 0.02 * k);
  }
  const Step step = filter.get_last_step();
  for (std::size_t i = 0; i < step.propagated_sigmas.size(); ++i) {
    Measurement own = filter.get_empty_measurement();
    own.sensor_populate("encoders", vec({0.0, 0.0}));
    ISensor& sensor = own.get_sensor("encoders");
    sensor.state_to_measurement(step.propagated_sigmas[i]);
    EXPECT_EQ(sensor.get_vector(), step.measurement_sigmas[i]["encoders"]) << "point " << i;
  }
  // The scales (the last three entries but the bias) have nothing to learn from a standing robot.
  const VectorX x = filter.get_state().get_vector();
  const Eigen::Index n = x.size();
  EXPECT_NEAR(x(n - 3), x0(n - 3), 1e-9);
  EXPECT_NEAR(x(n - 2), x0(n - 2), 1e-9);
  EXPECT_TRUE(symmetric_psd(filter.get_covar()));
}

// With "scales_learn_above", a reading near zero predicts its entry with the scale's estimate for
// every sigma point: on a straight the yaw-rate scale stays where it was, where without the key
// it follows the noise; the first clear turn teaches it.
TEST(HeldFields, AScaleHeldBelowItsBoundLearnsNothingFromTheReading)
{
  const auto drive = [](Filter& filter) {
    Measurement z = filter.get_empty_measurement();
    for (int k = 1; k <= 40; ++k) {
      const double noise = (k % 3 == 0 ? 0.004 : -0.002) * (k % 2 == 0 ? 1.0 : -1.0);
      z = filter.empty_measurement();
      z.sensor_populate("encoders", vec({1.03, 0.01 + 4.0 * noise}));
      z.sensor_populate("imu", vec({0.0, 0.0, 0.05, 0.001, -0.002, 0.04 - noise}));
      filter.update(z, 0.02 * k);
    }
  };
  json cfg = vehicle_with_biases();
  cfg["initial_covariance"][22][22] = 4.0;  // the yaw-rate scale: sd 2, as for an unknown robot
  Filter plain(cfg);
  drive(plain);
  for (json& sensor : cfg["measurement"]["sensors"]) {
    if (sensor["type"] == "ENCODERS") {
      sensor["scales_learn_above"] = {0.0, 0.1};
    }
  }
  Filter filter(cfg);
  const VectorX x0 = filter.get_state().get_vector();
  const MatrixX p0 = filter.get_covar();
  const Eigen::Index scale = x0.size() - 2;  // YawRateScale, before the bias
  drive(filter);
  EXPECT_GT(std::abs(plain.get_state().get_vector()(scale) - x0(scale)), 0.01);
  EXPECT_NEAR(filter.get_state().get_vector()(scale), x0(scale), 1e-12);
  EXPECT_NEAR(filter.get_covar()(scale, scale), p0(scale, scale), 1e-12);  // a rate of 0

  // Every sigma point's prediction is the class's for that point with the scale at the prior's.
  const Step step = filter.get_last_step();
  const double prior_scale = step.priori_state.get_vector()(scale);
  for (std::size_t i = 0; i < step.propagated_sigmas.size(); ++i) {
    State at_mean = step.propagated_sigmas[i];
    VectorX x = at_mean.get_vector();
    x(scale) = prior_scale;
    at_mean.set_vector(x);
    Measurement own = filter.get_empty_measurement();
    ISensor& sensor = own.get_sensor("encoders");
    sensor.state_to_measurement(at_mean);
    EXPECT_EQ(sensor.get_vector(), step.measurement_sigmas[i]["encoders"]) << "point " << i;
  }

  for (int k = 41; k <= 60; ++k) {
    Measurement turn = filter.empty_measurement();
    turn.sensor_populate("encoders", vec({1.03, 0.01 + 5.0 * 0.3}));
    turn.sensor_populate("imu", vec({0.0, 0.3, 0.05, 0.001, -0.002, 0.04 + 0.3}));
    filter.update(turn, 0.02 * k);
  }
  EXPECT_NEAR(filter.get_state().get_vector()(scale), 5.0, 0.2);
  EXPECT_TRUE(symmetric_psd(filter.get_covar()));
}

// A held field must be named in "random_walk", and what is named there must be a field the model
// holds, with a rate per entry or one for all.
TEST(HeldFields, RandomWalkErrorsNameTheModelAndTheField)
{
  struct Case
  {
    json random_walk;
    std::string message;
  };
  const std::vector<Case> cases = {
    {json::array({1}), "Invalid config: \"random_walk\" of model \"vehicle\" must be an object "
                       "from field names to rates (got array)"},
    {{{"GyroBias", -1}}, "Invalid config: \"GyroBias\" of \"random_walk\" of model \"vehicle\" "
                         "has the rate -1, it must be a finite number, zero or more"},
    {{{"GyroBias", json::array()}}, "Invalid config: \"GyroBias\" of \"random_walk\" of model "
                                    "\"vehicle\" has no rate"},
    {{{"GyroBias", {1, 2}}}, "Invalid config: model \"vehicle\": \"random_walk\" names "
                             "\"GyroBias\" with 2 rates for its 3 entries; give one rate, or one "
                             "per entry"},
    {{{"GyroBias", 1}, {"Velocity3D", 1}},
     "Invalid config: model \"vehicle\": \"random_walk\" names \"Velocity3D\", a field the "
     "model moves; its noise is in \"process_noise\""},
    {{{"GyroBias", 1}, {"Gyrobias", 1}}, "Invalid config: model \"vehicle\": \"random_walk\" "
                                         "names \"Gyrobias\", which is not a field of the state"},
    {{{"Other", 1}}, "Invalid config: model \"vehicle\": \"random_walk\" names \"Other\", which "
                     "is not a field of the state"},
  };
  json cfg = load_json("vehicle_all_sensors.json");
  cfg["initial_state"]["fields"].push_back(generic("GyroBias", vec({0, 0, 0})));
  cfg["initial_covariance"] = rows_of(MatrixX::Identity(18, 18));
  // Without "random_walk" a field the model does not move is an error, as it always was.
  EXPECT_THROW_HAS(Filter{cfg}, std::runtime_error, "has a process noise of 15 x 15 for a state "
                                                    "of size 18");
  for (const Case& c : cases) {
    cfg["model"]["random_walk"] = c.random_walk;
    SCOPED_TRACE(c.random_walk.dump());
    EXPECT_THROW_MSG(Filter{cfg}, std::runtime_error, c.message);
  }
  cfg["model"]["random_walk"] = {{"GyroBias", "fast"}};
  EXPECT_THROW_HAS(Filter{cfg}, json::type_error, "\"GyroBias\" of \"random_walk\" of model",
                   "type must be number, but is string");
  // Two fields unknown to the model, one of them held: the other is named.
  cfg["initial_state"]["fields"].back()["size"] = 2;
  cfg["initial_state"]["fields"].back()["initial_values"] = {0, 0};
  cfg["initial_state"]["fields"].push_back(generic("Scale", vec({1})));
  cfg["model"]["random_walk"] = {{"GyroBias", 1}};
  EXPECT_THROW_MSG(Filter{cfg}, std::runtime_error,
                   "Invalid config: model \"vehicle\" does not move the state field \"Scale\"; "
                   "name it in \"random_walk\" to hold it");
  // A field of no entries, last in the state, neither moved nor held, has nothing to fit.
  cfg["initial_state"]["fields"].back() = generic("Nothing", VectorX());
  cfg["initial_state"]["fields"][5] = generic("GyroBias", vec({0, 0, 0}));
  EXPECT_NO_THROW(Filter{cfg});
  // From parts: hold() checks what it is given.
  ZendraFell model(0.01, "v");
  EXPECT_THROW_HAS(model.hold("B", vec({-1})), std::invalid_argument, "\"B\"", "-1");
  model.hold("B", vec({1}));
  EXPECT_THROW_HAS(model.hold("B", vec({1})), std::invalid_argument, "held twice");
  EXPECT_EQ(model.held_fields().size(), 1u);
}
