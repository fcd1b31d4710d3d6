#include "ukf/models/pointMass3D.hpp"

#include <utility>

#include "../kernels.hpp"

namespace ukf
{

PointMass3D::PointMass3D(double integrator_step, std::string name)
  : PointMass3D(integrator_step, std::move(name), MatrixX())
{
}

PointMass3D::PointMass3D(double integrator_step, std::string name, MatrixX process_noise)
  : ModelBase(integrator_step, std::move(name), std::move(process_noise), kStateSize, 1.0)
{
}

PointMass3D::PointMass3D(const json& config) : ModelBase(config, kStateSize, 1.0) {}

std::vector<FieldRequirement> PointMass3D::required_fields() const
{
  return {{detail::kPosition3D, 3},
          {detail::kOrientation3D, 3},
          {detail::kVelocity3D, 3},
          {detail::kAngularVelocity3D, 3}};
}

VectorX PointMass3D::f(const State& state, double /*t*/) const
{
  return detail::rigid_body_derivative(state, get_name(), false);
}

}  // namespace ukf
