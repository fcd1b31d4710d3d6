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
  // Where each field was found last: sigma points share one layout.
  thread_local std::size_t hints[4] = {};
  VectorX derivative = VectorX::Zero(static_cast<Eigen::Index>(state.size()));
  const IField& position = detail::block_of(state, detail::kPosition3D, 3, _name, hints[0]);
  const IField& orientation = detail::block_of(state, detail::kOrientation3D, 3, _name, hints[1]);
  const IField& velocity = detail::block_of(state, detail::kVelocity3D, 3, _name, hints[2]);
  const IField& angular = detail::block_of(state, detail::kAngularVelocity3D, 3, _name, hints[3]);
  Eigen::Vector3d euler_angles, local_vel, angular_vel;
  orientation.read_into(euler_angles);
  velocity.read_into(local_vel);
  angular.read_into(angular_vel);
  const Eigen::Vector3d world_vel = detail::body_to_world(euler_angles) * local_vel;
  const auto at = [](const IField& f) { return static_cast<Eigen::Index>(f.get_index()); };
  derivative.segment<3>(at(position)) = world_vel;
  derivative.segment<3>(at(orientation)) = angular_vel;
  derivative.segment<3>(at(velocity)).setZero();
  derivative.segment<3>(at(angular)).setZero();
  return derivative;
}

MatrixX PointMass3D::process_noise_covariance(double dt) const
{
  return detail::scaled_noise(_process_noise, dt, 1.0, kStateSize);
}

}  // namespace ukf
