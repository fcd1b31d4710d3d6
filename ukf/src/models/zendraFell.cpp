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
  // Where each field was found last: sigma points share one layout.
  thread_local std::size_t hints[5] = {};
  VectorX derivative = VectorX::Zero(static_cast<Eigen::Index>(state.size()));
  const IField& position = detail::block_of(state, detail::kPosition3D, 3, _name, hints[0]);
  const IField& orientation = detail::block_of(state, detail::kOrientation3D, 3, _name, hints[1]);
  const IField& velocity = detail::block_of(state, detail::kVelocity3D, 3, _name, hints[2]);
  const IField& angular = detail::block_of(state, detail::kAngularVelocity3D, 3, _name, hints[3]);
  const IField& acceleration = detail::block_of(state, detail::kAcceleration3D, 3, _name, hints[4]);
  Eigen::Vector3d euler_angles, local_vel, angular_vel, local_acc;
  orientation.read_into(euler_angles);
  velocity.read_into(local_vel);
  angular.read_into(angular_vel);
  acceleration.read_into(local_acc);
  const Eigen::Vector3d world_vel = detail::body_to_world(euler_angles) * local_vel;
  const auto at = [](const IField& f) { return static_cast<Eigen::Index>(f.get_index()); };
  derivative.segment<3>(at(position)) = world_vel;
  derivative.segment<3>(at(orientation)) = angular_vel;
  derivative.segment<3>(at(velocity)) = local_acc;
  derivative.segment<3>(at(acceleration)).setZero();
  derivative.segment<3>(at(angular)).setZero();
  return derivative;
}

MatrixX ZendraFell::process_noise_covariance(double dt) const
{
  return detail::scaled_noise(_process_noise, dt, 1.0, kStateSize);
}

}  // namespace ukf
