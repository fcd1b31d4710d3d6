#include "ukf/models/iModel.hpp"

#include <algorithm>
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
    throw std::logic_error("model \"" + get_name() + "\": f returned " + std::to_string(d.size()) +
                           " entries for a state of " + std::to_string(out.size()));
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
                             std::to_string(k.size()) + " entries for a state of " +
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
                               std::to_string(diagonal.size()) + " entries, expected " +
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
                                std::to_string(size) + " entries, it has " +
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
}

MatrixX ModelBase::process_noise_covariance(double dt) const
{
  return scaled_noise(_process_noise, dt, _default_scale, _state_size);
}

}  // namespace detail
}  // namespace ukf
