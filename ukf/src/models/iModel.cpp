#include "ukf/models/iModel.hpp"

#include <algorithm>
#include <string>
#include <cmath>
#include <stdexcept>
#include <utility>

#include <Eigen/Eigenvalues>

#include "../kernels.hpp"

namespace ukf
{

std::vector<FieldRequirement> IModel::required_fields() const { return {}; }

void IModel::f_into(const State& state, double t, Eigen::Ref<VectorX> out) const
{
  const VectorX d = f(state, t);
  if (d.size() != out.size()) {
    throw std::logic_error("model \"" + get_name() + "\": f returned " + config::entries(d.size()) +
                           " for a state of " + std::to_string(out.size()));
  }
  out = d;
}

void IModel::add_process_noise(double dt, Eigen::Ref<MatrixX> out) const
{
  const MatrixX q = process_noise_covariance(dt);
  if (q.rows() != out.rows() || q.cols() != out.cols()) {
    throw std::logic_error("model \"" + get_name() + "\": a process noise of " +
                           std::to_string(q.rows()) + " x " + std::to_string(q.cols()) +
                           " for a state of size " + std::to_string(out.rows()));
  }
  out += q;
}

void IModel::propagate(State& state, double t0, double dt) const
{
  PropagationWorkspace work;
  propagate(state, t0, dt, work);
}

void IModel::propagate(State& state, double t0, double dt, PropagationWorkspace& work) const
{
  const double h = get_integrator_step();
  detail::check_integrator_step(h, get_name());
  if (dt / h > kMaxSteps) {
    throw std::invalid_argument("model \"" + get_name() + "\": an interval of " +
                                config::format_number(dt) + " s needs more than " +
                                config::format_number(kMaxSteps) + " steps of " +
                                config::format_number(h) + " s");
  }
  double t = t0;
  while (t < t0 + dt) {
    const double step_length = std::min(h, (t0 + dt) - t);
    step(state, t, step_length, work);
    t = t + step_length;
  }
}

void IModel::RK4_step(State& state, double t0, double integrator_step) const
{
  PropagationWorkspace work;
  step(state, t0, integrator_step, work);
}

void IModel::step(State& s, double t0, double h, PropagationWorkspace& work) const
{
  const auto check = [&](const VectorX& k) {
    if (k.size() != static_cast<Eigen::Index>(s.size())) {
      throw std::logic_error("model \"" + get_name() + "\": f returned " +
                             config::entries(k.size()) + " for a state of " +
                             std::to_string(s.size()));
    }
  };
  work.k1 = f(s, t0);
  check(work.k1);
  work.increment = (h * 0.5) * work.k1;
  work.stage = s;
  work.stage += work.increment;
  work.k2 = f(work.stage, t0 + h * 0.5);
  check(work.k2);
  work.increment = (h * 0.5) * work.k2;
  work.stage = s;
  work.stage += work.increment;
  work.k3 = f(work.stage, t0 + h * 0.5);
  check(work.k3);
  work.increment = h * work.k3;
  work.stage = s;
  work.stage += work.increment;
  work.k4 = f(work.stage, t0 + h);
  check(work.k4);
  work.increment = (h / 6.0) * (work.k1 + 2.0 * work.k2 + 2.0 * work.k3 + work.k4);
  s += work.increment;
}

namespace detail
{

void check_integrator_step(double step, const std::string& model)
{
  if (!(std::isfinite(step) && step > 0.0)) {
    throw std::invalid_argument("model \"" + model + "\": the integrator step " +
                                config::format_number(step) +
                                " is not a positive finite number of seconds");
  }
}

namespace
{

// Why a random-walk rate cannot be used, or empty when it can.
std::string bad_rates(const VectorX& rates)
{
  if (rates.size() == 0) {
    return "has no rate";
  }
  for (Eigen::Index i = 0; i < rates.size(); ++i) {
    if (!(std::isfinite(rates[i]) && rates[i] >= 0.0)) {
      return "has the rate " + config::format_number(rates[i]) +
             ", it must be a finite number, zero or more";
    }
  }
  return {};
}

std::vector<HeldField> read_random_walk(const json& config, const std::string& where)
{
  std::vector<HeldField> held;
  const auto it = config.find("random_walk");
  if (it == config.end()) {
    return held;
  }
  const std::string what = "\"random_walk\" of " + where;
  if (!it->is_object()) {
    throw std::runtime_error("Invalid config: " + what +
                             " must be an object from field names to rates (got " +
                             std::string(it->type_name()) + ")");
  }
  for (auto entry = it->begin(); entry != it->end(); ++entry) {
    const std::string key = "\"" + entry.key() + "\" of " + what;
    HeldField f{entry.key(),
                entry->is_array()
                  ? config::to_vector(*entry, key)
                  : VectorX::Constant(1, config::read_number(*it, entry.key(), what))};
    const std::string problem = bad_rates(f.rates);
    if (!problem.empty()) {
      throw std::runtime_error("Invalid config: " + key + " " + problem);
    }
    held.push_back(std::move(f));
  }
  return held;
}

}  // namespace

ModelConfig read_model_config(const json& config, std::size_t n)
{
  ModelConfig c;
  c.name = config::read_name(config, "\"model\"");
  const std::string where = "model \"" + c.name + "\"";
  c.integrator_step = config::read_number(config, "integrator_step", where);
  if (!(std::isfinite(c.integrator_step) && c.integrator_step > 0.0)) {
    throw std::runtime_error("Invalid config: \"integrator_step\" of " + where + " is " +
                             config::format_number(c.integrator_step) +
                             ", it must be a positive finite number of seconds");
  }
  c.held = read_random_walk(config, where);
  const auto it = config.find("process_noise");
  if (it == config.end()) {
    return c;
  }
  const std::string what = "\"process_noise\" of " + where;
  const auto dim = static_cast<Eigen::Index>(n);
  if (it->is_array() && !it->empty() && !(*it)[0].is_array()) {
    const VectorX diagonal = config::to_vector(*it, what);
    if (diagonal.size() != dim) {
      throw std::runtime_error("Invalid config: " + what + " has " +
                               config::entries(diagonal.size()) + ", expected " +
                               std::to_string(n) + " (the diagonal) or a matrix of " +
                               std::to_string(n) + " x " + std::to_string(n));
    }
    c.process_noise = diagonal.asDiagonal();
  } else {
    c.process_noise = config::to_matrix(*it, what);
    if (c.process_noise.rows() != dim || c.process_noise.cols() != dim) {
      throw std::runtime_error("Invalid config: " + what + " is " +
                               std::to_string(c.process_noise.rows()) + " x " +
                               std::to_string(c.process_noise.cols()) + ", expected " +
                               std::to_string(n) + " x " + std::to_string(n));
    }
  }
  const MatrixX& q = c.process_noise;
  if (!q.allFinite()) {
    throw std::runtime_error("Invalid config: " + what + " has an entry that is not finite");
  }
  const double scale = std::max(1.0, q.cwiseAbs().maxCoeff());
  if ((q - q.transpose()).cwiseAbs().maxCoeff() > 1e-9 * scale) {
    throw std::runtime_error("Invalid config: " + what + " is not symmetric");
  }
  const Eigen::SelfAdjointEigenSolver<MatrixX> solver(q, Eigen::EigenvaluesOnly);
  if (solver.eigenvalues().minCoeff() < -1e-12 * scale) {
    throw std::runtime_error("Invalid config: " + what + " has a negative eigenvalue (" +
                             config::format_number(solver.eigenvalues().minCoeff()) + ")");
  }
  return c;
}

MatrixX scaled_noise(const MatrixX& qc, double dt, double scale, std::size_t n)
{
  if (qc.size() > 0) {
    return dt * qc;
  }
  const auto dim = static_cast<Eigen::Index>(n);
  return MatrixX::Identity(dim, dim) * (scale * dt);
}

const std::string kPosition2D = "Position2D";
const std::string kVelocity2D = "Velocity2D";
const std::string kPosition3D = "Position3D";
const std::string kOrientation3D = "Orientation3D";
const std::string kVelocity3D = "Velocity3D";
const std::string kAngularVelocity3D = "AngularVelocity3D";
const std::string kAcceleration3D = "Acceleration3D";

const IField& block_of(const State& state, const std::string& name, std::size_t size,
                       const std::string& model, std::size_t& hint)
{
  const IField& f = state.field(name, hint);
  if (f.get_size() != size) {
    throw std::invalid_argument("model \"" + model + "\" needs field \"" + name + "\" with " +
                                config::entries(size) + ", it has " +
                                std::to_string(f.get_size()));
  }
  if (f.get_index() + size > state.size()) {
    throw std::invalid_argument("model \"" + model + "\": field \"" + name +
                                "\" lies outside the state vector");
  }
  return f;
}

VectorX rigid_body_derivative(const State& state, const std::string& model, bool accelerates)
{
  // Lookup hints, as State::field(name, hint) takes them.
  std::size_t hints[5] = {};
  VectorX derivative = VectorX::Zero(static_cast<Eigen::Index>(state.size()));
  const IField& position = block_of(state, kPosition3D, 3, model, hints[0]);
  const IField& orientation = block_of(state, kOrientation3D, 3, model, hints[1]);
  const IField& velocity = block_of(state, kVelocity3D, 3, model, hints[2]);
  const IField& angular = block_of(state, kAngularVelocity3D, 3, model, hints[3]);
  const IField* acceleration =
    accelerates ? &block_of(state, kAcceleration3D, 3, model, hints[4]) : nullptr;
  Eigen::Vector3d euler_angles, local_vel, angular_vel, local_acc;
  orientation.read_into(euler_angles);
  velocity.read_into(local_vel);
  angular.read_into(angular_vel);
  const auto at = [&](const IField& f) {
    return derivative.data() + static_cast<Eigen::Index>(f.get_index());
  };
  // Only the position, the angles and (accelerating) the velocity change; the rest stays zero.
  kernel::EulerTrig trig;
  trig.take(euler_angles.data());
  kernel::rigid_body(trig, local_vel.data(), angular_vel.data(), at(position), at(orientation));
  if (acceleration != nullptr) {
    acceleration->read_into(local_acc);
    kernel::accelerate(local_acc.data(), at(velocity));
  }
  return derivative;
}

Eigen::Matrix3d body_to_world(const Eigen::Vector3d& e)
{
  // The rotation's columns are the turned unit vectors.
  Eigen::Matrix3d rotation;
  kernel::EulerTrig trig;
  trig.take(e.data());
  const Eigen::Vector3d zero = Eigen::Vector3d::Zero();
  Eigen::Vector3d rates;
  for (int i = 0; i < 3; ++i) {
    const Eigen::Vector3d unit = Eigen::Vector3d::Unit(i);
    kernel::rigid_body(trig, unit.data(), zero.data(), rotation.col(i).data(), rates.data());
  }
  return rotation;
}

ModelBase::ModelBase(double integrator_step, std::string name, MatrixX process_noise,
                     std::size_t state_size, double default_scale)
  : _integrator_step(integrator_step),
    _name(std::move(name)),
    _process_noise(std::move(process_noise)),
    _state_size(state_size),
    _default_scale(default_scale)
{
  check_integrator_step(_integrator_step, _name);
  const auto n = static_cast<Eigen::Index>(_state_size);
  if (_process_noise.size() > 0 && (_process_noise.rows() != n || _process_noise.cols() != n)) {
    throw std::invalid_argument("model \"" + _name + "\": the process noise must be " +
                                std::to_string(n) + " x " + std::to_string(n));
  }
}

ModelBase::ModelBase(const json& config, std::size_t state_size, double default_scale)
  : ModelBase(read_model_config(config, state_size), state_size, default_scale)
{
}

ModelBase::ModelBase(ModelConfig c, std::size_t state_size, double default_scale)
  : ModelBase(c.integrator_step, std::move(c.name), std::move(c.process_noise), state_size,
              default_scale)
{
  _held = std::move(c.held);
}

MatrixX ModelBase::process_noise_covariance(double dt) const
{
  if (_fitted_unit_noise.size() > 0) {
    return dt * _fitted_unit_noise;
  }
  return scaled_noise(_process_noise, dt, _default_scale, _state_size);
}

void ModelBase::hold(std::string field, VectorX rates)
{
  const std::string where = "model \"" + _name + "\": the held field \"" + field + "\" ";
  if (field.empty()) {
    throw std::invalid_argument("model \"" + _name + "\": a held field needs a name");
  }
  const std::string problem = bad_rates(rates);
  if (!problem.empty()) {
    throw std::invalid_argument(where + problem);
  }
  for (const HeldField& h : _held) {
    if (h.name == field) {
      throw std::invalid_argument(where + "is held twice");
    }
  }
  _held.push_back({std::move(field), std::move(rates)});
}

void ModelBase::fit_to_state(const State& state)
{
  _fitted_unit_noise.resize(0, 0);
  if (_held.empty()) {
    return;  // the state must then be the model's own: the filter checks the noise's size
  }
  const std::string model = "Invalid config: model \"" + _name + "\"";
  const std::vector<FieldRequirement> own = required_fields();
  const auto is_own = [&](const std::string& name) {
    return std::any_of(own.begin(), own.end(),
                       [&](const FieldRequirement& r) { return r.name == name; });
  };
  const auto n = static_cast<Eigen::Index>(state.size());
  VectorX held_rates = VectorX::Constant(n, -1.0);  // -1 on the model's own entries
  for (const HeldField& h : _held) {
    const std::string what = model + ": \"random_walk\" names \"" + h.name + "\"";
    if (is_own(h.name)) {
      throw std::runtime_error(what + ", a field the model moves; its noise is in "
                               "\"process_noise\"");
    }
    const IField* found = state.find_field(h.name);
    if (found == nullptr) {
      throw std::runtime_error(what + ", which is not a field of the state");
    }
    const auto size = static_cast<Eigen::Index>(found->get_size());
    if (h.rates.size() != 1 && h.rates.size() != size) {
      throw std::runtime_error(what + " with " + std::to_string(h.rates.size()) +
                               " rates for its " + config::entries(size) +
                               "; give one rate, or one per entry");
    }
    const auto offset = static_cast<Eigen::Index>(found->get_index());
    for (Eigen::Index j = 0; j < size; ++j) {
      held_rates[offset + j] = h.rates[h.rates.size() == 1 ? 0 : j];
    }
  }
  // The model's own entries, in the state's order, take its noise; every other field is held.
  std::vector<Eigen::Index> entries;
  for (std::size_t i = 0; i < state.number_of_fields(); ++i) {
    const IField& f = state.field(i);
    const auto offset = static_cast<Eigen::Index>(f.get_index());
    if (f.get_size() == 0) {
      continue;  // nothing to move or hold
    }
    if (!is_own(f.get_name())) {
      if (held_rates[offset] < 0.0) {
        throw std::runtime_error(model + " does not move the state field \"" + f.get_name() +
                                 "\"; name it in \"random_walk\" to hold it");
      }
      continue;
    }
    for (std::size_t j = 0; j < f.get_size(); ++j) {
      entries.push_back(offset + static_cast<Eigen::Index>(j));
    }
  }
  if (entries.size() != _state_size) {
    throw std::runtime_error(model + " moves " + config::entries(entries.size()) +
                             " of the state, it has a process noise for " +
                             std::to_string(_state_size));
  }
  const MatrixX own_noise = scaled_noise(_process_noise, 1.0, _default_scale, _state_size);
  _fitted_unit_noise = held_rates.cwiseMax(0.0).asDiagonal();
  for (std::size_t r = 0; r < entries.size(); ++r) {
    for (std::size_t c = 0; c < entries.size(); ++c) {
      _fitted_unit_noise(entries[r], entries[c]) =
        own_noise(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c));
    }
  }
}

}  // namespace detail
}  // namespace ukf
