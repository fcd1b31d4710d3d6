#include "ukf/models/zendraFell.hpp"

#include <utility>

#include "../kernels.hpp"

namespace ukf
{

ZendraFell::ZendraFell(double integrator_step, std::string name)
  : ZendraFell(integrator_step, std::move(name), MatrixX())
{
}

ZendraFell::ZendraFell(double integrator_step, std::string name, MatrixX process_noise)
  : ModelBase(integrator_step, std::move(name), std::move(process_noise), kStateSize, 1.0)
{
}

ZendraFell::ZendraFell(const json& config) : ModelBase(config, kStateSize, 1.0) {}

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
  return detail::rigid_body_derivative(state, get_name(), true);
}

}  // namespace ukf
