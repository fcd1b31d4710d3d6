// Fields, sensors and models written by a user against the interfaces take part in the same
// filter as the built-in ones, through their virtual operations. Here the user's versions copy
// the built-in generic field, Euler-angle field, position sensor and rigid-body model using only
// the operations the interfaces require; the same problem, run with them and with the built-ins,
// gives the same numbers.
#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "test_helpers.hpp"
#include "ukf/Filter.hpp"
#include "ukf/models/pointMass3D.hpp"

using namespace ukf;
using ukf::test::vec;

namespace
{

// A vector field with plain arithmetic; wraps its entries into [-pi, pi) when `angles`, and then
// averages them on the circle.
class UserField final : public IField
{
public:
  UserField(std::size_t index, std::string name, VectorX value, bool angles)
    : _index(index), _name(std::move(name)), _value(std::move(value)), _angles(angles)
  {
  }
  std::unique_ptr<IField> clone() const override { return std::make_unique<UserField>(*this); }
  std::string get_name() const override { return _name; }
  std::size_t get_index() const override { return _index; }
  std::size_t get_size() const override { return static_cast<std::size_t>(_value.size()); }
  VectorX get_vector() const override { return _value; }
  void set_vector(const VectorX& v) override { _value = v; }
  void set_zero() override { _value.setZero(); }
  void save_mean(std::vector<State>& states, VectorX& weights) override
  {
    VectorX sum = VectorX::Zero(_value.size()), sin_sum = sum, cos_sum = sum;
    for (std::size_t i = 0; i < states.size(); ++i) {
      const VectorX v = states[i][_name];
      const double w = weights(static_cast<Eigen::Index>(i));
      for (Eigen::Index k = 0; k < v.size(); ++k) {
        sum(k) += w * v(k);
        sin_sum(k) += w * std::sin(v(k));
        cos_sum(k) += w * std::cos(v(k));
      }
    }
    if (!_angles) {
      _value = sum;
      return;
    }
    for (Eigen::Index k = 0; k < _value.size(); ++k) {
      _value(k) = wrap_angle(wrap_angle(std::atan2(sin_sum(k), cos_sum(k))));
    }
  }
  void operator+=(const VectorX& d) override { add(d, 1.0); }
  void operator-=(const VectorX& d) override { add(d, -1.0); }

private:
  void add(const VectorX& d, double sign)
  {
    for (Eigen::Index k = 0; k < _value.size(); ++k) {
      _value(k) = sign > 0 ? _value(k) + d(k) : _value(k) - d(k);
      if (_angles) {
        _value(k) = wrap_angle(_value(k));
      }
    }
  }

  std::size_t _index;
  std::string _name;
  VectorX _value;
  bool _angles;
};

// Reads the first entries of a position field.
class UserPositionSensor final : public ISensor
{
public:
  UserPositionSensor(std::string name, MatrixX noise, std::string field)
    : _name(std::move(name)),
      _data(VectorX::Zero(noise.rows())),
      _noise(std::move(noise)),
      _field(std::move(field))
  {
  }
  std::unique_ptr<ISensor> clone() const override
  {
    return std::make_unique<UserPositionSensor>(*this);
  }
  std::string get_name() const override { return _name; }
  int get_size() const override { return static_cast<int>(_noise.rows()); }
  VectorX get_vector() const override { return _data; }
  void set_vector(const VectorX& v) override
  {
    _data = v;
    _populated = true;
  }
  void set_zero() override
  {
    _data.setZero();
    _populated = false;
  }
  MatrixX get_noise() const override { return _noise; }
  void set_noise(const MatrixX& noise) override { _noise = noise; }
  bool is_populated() const override { return _populated; }
  void operator+=(const VectorX& d) override { _data += d; }
  void operator-=(const VectorX& d) override { _data -= d; }
  void state_to_measurement(const State& state) override
  {
    _data = state[_field].head(get_size());
    _populated = true;
  }
  void save_mean(std::vector<Measurement>& measurements, VectorX& weights) override
  {
    _data.setZero();
    for (std::size_t i = 0; i < measurements.size(); ++i) {
      _data += weights(static_cast<Eigen::Index>(i)) * measurements[i][_name];
    }
    _populated = true;
  }

private:
  std::string _name;
  VectorX _data;
  MatrixX _noise;
  std::string _field;
  bool _populated = false;
};

// The rigid body of POINT_MASS_3D, through the state's own lookups.
class UserRigidBody final : public IModel
{
public:
  VectorX f(const State& state, double /*t*/) const override
  {
    return detail::rigid_body_derivative(state, "user rigid body", false);
  }
  MatrixX process_noise_covariance(double dt) const override
  {
    return dt * MatrixX::Identity(12, 12);
  }
  double get_integrator_step() const override { return 0.01; }
  std::string get_name() const override { return "user rigid body"; }
};

const char* const kFields[] = {"Position3D", "Orientation3D", "Velocity3D", "AngularVelocity3D"};
const double kInitial[4][3] = {{0, 0, 0}, {0.1, -0.05, 3.0}, {1.0, 0, 0}, {0, 0, 0.3}};

json builtin_config()
{
  json fields = json::array();
  for (int f = 0; f < 4; ++f) {
    fields.push_back({{"type", f == 1 ? "EULER_ANGLES" : "GENERIC_FIELD"},
                      {"name", kFields[f]},
                      {"size", 3},
                      {"initial_values", {kInitial[f][0], kInitial[f][1], kInitial[f][2]}}});
  }
  json covariance = json::array();
  for (int r = 0; r < 12; ++r) {
    std::vector<double> row(12, 0.0);
    row[static_cast<std::size_t>(r)] = 0.05;
    covariance.push_back(row);
  }
  return {{"initial_state", {{"fields", fields}}},
          {"initial_covariance", covariance},
          {"model", {{"type", "POINT_MASS_3D"}, {"name", "body"}, {"integrator_step", 0.01}}},
          {"measurement",
           {{"sensors",
             {{{"type", "POSITION_SENSOR"},
               {"name", "gps"},
               {"size", 2},
               {"noise", {{0.09, 0.0}, {0.0, 0.09}}},
               {"state_pos_field", "Position3D"}}}}}},
          {"filter", {{"alpha", 1.0}, {"beta", 2.0}, {"kappa", 0.0}}}};
}

Filter user_filter()
{
  State state;
  for (int f = 0; f < 4; ++f) {
    state.add_field(
      std::make_unique<UserField>(static_cast<std::size_t>(3 * f), kFields[f],
                                  vec({kInitial[f][0], kInitial[f][1], kInitial[f][2]}), f == 1));
  }
  Measurement sensors;
  MatrixX noise = 0.09 * MatrixX::Identity(2, 2);
  sensors.add_sensor(std::make_unique<UserPositionSensor>("gps", noise, "Position3D"));
  return Filter(state, 0.05 * MatrixX::Identity(12, 12), std::make_unique<UserRigidBody>(),
                sensors);
}

}  // namespace

TEST(UserComponents, GiveTheSameNumbersAsTheBuiltInsTheyCopy)
{
  Filter builtin(builtin_config());
  Filter user = user_filter();
  ASSERT_EQ(user.get_state().size(), 12u);
  for (int k = 0; k < 200; ++k) {
    const double t = 0.02 * k + (k % 9 == 4 ? 0.013 : 0.0);
    const VectorX fix = vec({10 * std::sin(0.02 * k), 10 * (1 - std::cos(0.02 * k))});
    for (Filter* filter : {&builtin, &user}) {
      Measurement z = filter->get_empty_measurement();
      if (k % 5 != 2) {
        z.sensor_populate("gps", fix);
      }
      filter->update(z, t);
    }
    const VectorX a = builtin.get_state().get_vector();
    const VectorX b = user.get_state().get_vector();
    for (Eigen::Index i = 0; i < 12; ++i) {
      const double d = (i >= 3 && i < 6) ? wrap_angle(a(i) - b(i)) : a(i) - b(i);
      ASSERT_LE(std::abs(d), 1e-12 * std::max(1.0, std::abs(a(i))))
        << "update " << k << ", entry " << i;
    }
    const MatrixX pa = builtin.get_covar();
    const MatrixX pb = user.get_covar();
    ASSERT_LE((pa - pb).cwiseAbs().maxCoeff(), 1e-12 * pa.cwiseAbs().maxCoeff()) << "update " << k;
  }
  // The record of the last update is complete for the user's components too.
  const Step step = user.get_last_step();
  EXPECT_EQ(step.propagated_sigmas.size(), 25u);
  EXPECT_EQ(step.measurement_sigmas.size(), 25u);
  EXPECT_EQ(step.residual.size(), 2);
  EXPECT_TRUE(step.posteriori_state.get_vector().isApprox(user.get_state().get_vector()));
  EXPECT_EQ(step.sensor_measurement.get_sensor(0).get_name(), "gps");
  const Step reference = builtin.get_last_step();
  EXPECT_LE((step.kalman_gain - reference.kalman_gain).cwiseAbs().maxCoeff(), 1e-12);
}

namespace
{

// The rigid body again, in the flat form: the filter calls f_into() and add_process_noise(),
// which count their calls and write into its storage.
class FlatUserRigidBody final : public IModel
{
public:
  VectorX f(const State& state, double t) const override
  {
    VectorX d(12);
    f_into(state, t, d);
    return d;
  }
  void f_into(const State& state, double /*t*/, Eigen::Ref<VectorX> out) const override
  {
    ++flat_calls;
    out = detail::rigid_body_derivative(state, "flat user rigid body", false);
  }
  MatrixX process_noise_covariance(double dt) const override
  {
    return dt * MatrixX::Identity(12, 12);
  }
  void add_process_noise(double dt, Eigen::Ref<MatrixX> out) const override
  {
    ++flat_calls;
    out.diagonal().array() += dt;
  }
  double get_integrator_step() const override { return 0.01; }
  std::string get_name() const override { return "flat user rigid body"; }

  mutable long flat_calls = 0;
};

// A model whose f() has the wrong length for the state.
class ShortModel final : public IModel
{
public:
  VectorX f(const State&, double) const override { return VectorX::Zero(11); }
  MatrixX process_noise_covariance(double dt) const override
  {
    return dt * MatrixX::Identity(12, 12);
  }
  double get_integrator_step() const override { return 0.01; }
  std::string get_name() const override { return "short"; }
};

}  // namespace

TEST(UserComponents, AModelsFlatFormIsWhatTheFilterCallsWithTheSameNumbers)
{
  Filter plain(builtin_config());
  const json fields = builtin_config()["initial_state"];
  auto model = std::make_unique<FlatUserRigidBody>();
  const FlatUserRigidBody& flat_model = *model;
  Measurement sensors(builtin_config()["measurement"]);
  Filter flat(State(fields), 0.05 * MatrixX::Identity(12, 12), std::move(model), sensors);
  for (int k = 0; k < 50; ++k) {
    for (Filter* filter : {&plain, &flat}) {
      Measurement z = filter->get_empty_measurement();
      z.sensor_populate("gps", vec({0.1 * k, 0.01 * k}));
      filter->update(z, 0.02 * k);
    }
  }
  EXPECT_GT(flat_model.flat_calls, 50 * 8 * 25);
  const VectorX a = plain.get_state().get_vector();
  const VectorX b = flat.get_state().get_vector();
  EXPECT_LE((a - b).cwiseAbs().maxCoeff(), 1e-12);
  EXPECT_LE((plain.get_covar() - flat.get_covar()).cwiseAbs().maxCoeff(), 1e-12);

  // The default f_into() checks what f() returns before the filter uses it.
  State body(fields);
  Measurement none(builtin_config()["measurement"]);
  EXPECT_THROW_HAS(Filter(body, MatrixX::Identity(12, 12), std::make_unique<ShortModel>(), none),
                   std::runtime_error, "\"short\"", "11 entries");
  VectorX out(12);
  EXPECT_THROW_MSG(ShortModel().f_into(body, 0.0, out), std::logic_error,
                   "model \"short\": f returned 11 entries for a state of 12");
}
