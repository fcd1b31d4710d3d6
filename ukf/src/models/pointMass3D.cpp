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
  return {{"Position3D", 3}, {"Orientation3D", 3}, {"Velocity3D", 3}, {"AngularVelocity3D", 3}};
}

VectorX PointMass3D::f(const State& state, double /*t*/) const
{
  VectorX derivative = VectorX::Zero(static_cast<Eigen::Index>(state.size()));
  const auto position = static_cast<Eigen::Index>(detail::block_of(state, "Position3D", 3, _name));
  const auto orientation =
    static_cast<Eigen::Index>(detail::block_of(state, "Orientation3D", 3, _name));
  const auto velocity = static_cast<Eigen::Index>(detail::block_of(state, "Velocity3D", 3, _name));
  const auto angular =
    static_cast<Eigen::Index>(detail::block_of(state, "AngularVelocity3D", 3, _name));
  Eigen::Vector3d euler_angles;
  state.field("Orientation3D").read_into(euler_angles);
  Eigen::Vector3d local_vel;
  state.field("Velocity3D").read_into(local_vel);
  Eigen::Vector3d angular_vel;
  state.field("AngularVelocity3D").read_into(angular_vel);
  const Eigen::Vector3d world_vel = detail::body_to_world(euler_angles) * local_vel;
  derivative.segment<3>(position) = world_vel;
  derivative.segment<3>(orientation) = angular_vel;
  derivative.segment<3>(velocity).setZero();
  derivative.segment<3>(angular).setZero();
  return derivative;
}

MatrixX PointMass3D::process_noise_covariance(double dt) const
{
  return detail::scaled_noise(_process_noise, dt, 1.0, kStateSize);
}

}  // namespace ukf
