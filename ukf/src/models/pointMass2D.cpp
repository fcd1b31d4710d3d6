#include "ukf/models/pointMass2D.hpp"

#include <utility>

#include "../kernels.hpp"

namespace ukf
{

PointMass2D::PointMass2D(double integrator_step, std::string name)
  : PointMass2D(integrator_step, std::move(name), MatrixX())
{
}

PointMass2D::PointMass2D(double integrator_step, std::string name, MatrixX process_noise)
  : ModelBase(integrator_step, std::move(name), std::move(process_noise), kStateSize, 0.2)
{
}

PointMass2D::PointMass2D(const json& config) : ModelBase(config, kStateSize, 0.2) {}

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
    detail::block_of(state, detail::kPosition2D, 2, get_name(), hints[0]).get_index());
  const IField& velocity = detail::block_of(state, detail::kVelocity2D, 2, get_name(), hints[1]);
  Eigen::Vector2d v;
  velocity.read_into(v);
  detail::kernel::point_mass_2d(v.data(), derivative.data() + p);
  return derivative;
}

}  // namespace ukf
