#include "ukf/models/zendraFell.hpp"

#include <stdexcept>
#include <utility>

namespace ukf
{

ZendraFell::ZendraFell(double integrator_step, std::string name)
  : ZendraFell(integrator_step, std::move(name), MatrixX())
{
}

ZendraFell::ZendraFell(double integrator_step, std::string name, MatrixX process_noise)
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

ZendraFell::ZendraFell(const json& config)
  : ZendraFell(detail::read_model_config(config, kStateSize))
{
}

ZendraFell::ZendraFell(detail::ModelConfig c)
  : ZendraFell(c.integrator_step, std::move(c.name), std::move(c.process_noise))
{
}

std::vector<FieldRequirement> ZendraFell::required_fields() const
{
  return {{detail::kPosition3D, 3},
          {detail::kOrientation3D, 3},
          {detail::kVelocity3D, 3},
          {detail::kAngularVelocity3D, 3},
          {detail::kAcceleration3D, 3}};
}

VectorX ZendraFell::f(const State& state, double /*t*/) const
{
  return detail::rigid_body_derivative(state, _name, true);
}

MatrixX ZendraFell::process_noise_covariance(double dt) const
{
  return detail::scaled_noise(_process_noise, dt, 1.0, kStateSize);
}

}  // namespace ukf
