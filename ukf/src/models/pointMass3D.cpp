#include "ukf/models/pointMass3D.hpp"

#include <stdexcept>
#include <utility>

namespace ukf
{

PointMass3D::PointMass3D(double integrator_step, std::string name)
  : PointMass3D(integrator_step, std::move(name), MatrixX())
{
}

PointMass3D::PointMass3D(double integrator_step, std::string name, MatrixX process_noise)
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

PointMass3D::PointMass3D(const json& config)
  : PointMass3D(detail::read_model_config(config, kStateSize))
{
}

PointMass3D::PointMass3D(detail::ModelConfig c)
  : PointMass3D(c.integrator_step, std::move(c.name), std::move(c.process_noise))
{
}

std::vector<FieldRequirement> PointMass3D::required_fields() const
{
  return {{detail::kPosition3D, 3},
          {detail::kOrientation3D, 3},
          {detail::kVelocity3D, 3},
          {detail::kAngularVelocity3D, 3}};
}

VectorX PointMass3D::f(const State& state, double /*t*/) const
{
  return detail::rigid_body_derivative(state, _name, false);
}

MatrixX PointMass3D::process_noise_covariance(double dt) const
{
  return detail::scaled_noise(_process_noise, dt, 1.0, kStateSize);
}

}  // namespace ukf
