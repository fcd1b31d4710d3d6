#include "ukf/models/pointMass2D.hpp"

#include <stdexcept>
#include <utility>

namespace ukf
{

PointMass2D::PointMass2D(double integrator_step, std::string name)
  : PointMass2D(integrator_step, std::move(name), MatrixX())
{
}

PointMass2D::PointMass2D(double integrator_step, std::string name, MatrixX process_noise)
  : _integrator_step(integrator_step),
    _name(std::move(name)),
    _process_noise(std::move(process_noise))
{
  detail::check_integrator_step(_integrator_step, _name);
  const auto n = static_cast<Eigen::Index>(kStateSize);
  if (_process_noise.size() > 0 && (_process_noise.rows() != n || _process_noise.cols() != n)) {
    throw std::invalid_argument("model \"" + _name + "\": the process noise must be " +
                                std::to_string(n) + " x " + std::to_string(n));
  }
}

PointMass2D::PointMass2D(const json& config)
  : PointMass2D(detail::read_model_config(config, kStateSize))
{
}

PointMass2D::PointMass2D(detail::ModelConfig c)
  : PointMass2D(c.integrator_step, std::move(c.name), std::move(c.process_noise))
{
}

std::vector<FieldRequirement> PointMass2D::required_fields() const
{
  return {{detail::kPosition2D, 2}, {detail::kVelocity2D, 2}};
}

VectorX PointMass2D::f(const State& state, double /*t*/) const
{
  // Lookup hints, as State::field(name, hint) takes them.
  std::size_t hints[2] = {};
  VectorX derivative = VectorX::Zero(static_cast<Eigen::Index>(state.size()));
  const auto p = static_cast<Eigen::Index>(
    detail::block_of(state, detail::kPosition2D, 2, _name, hints[0]).get_index());
  const IField& velocity = detail::block_of(state, detail::kVelocity2D, 2, _name, hints[1]);
  const auto q = static_cast<Eigen::Index>(velocity.get_index());
  Eigen::Vector2d v;
  velocity.read_into(v);
  derivative(p) = v(0);
  derivative(p + 1) = v(1);
  derivative(q) = 0.0;
  derivative(q + 1) = 0.0;
  return derivative;
}

MatrixX PointMass2D::process_noise_covariance(double dt) const
{
  return detail::scaled_noise(_process_noise, dt, 0.2, kStateSize);
}

}  // namespace ukf
