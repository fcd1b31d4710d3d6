#include "ukf/sensors/encoders.hpp"

#include <algorithm>
#include <typeinfo>
#include <utility>

#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"

namespace ukf
{

Encoders::Encoders(int index, int size, std::string name, const VectorX& initial_values,
                   const MatrixX& sensor_noise, const std::string& state_vel_field,
                   const std::string& state_ang_vel_field, bool populated)
  : _index(index),
    _size(size),
    _name(std::move(name)),
    _data(initial_values),
    _sensor_noise(sensor_noise),
    _state_vel_field(state_vel_field),
    _state_ang_vel_field(state_ang_vel_field),
    _is_populated(populated)
{
}

Encoders::Encoders(int index, const json& config_data)
  : Encoders(config_data, detail::read_sensor_config(static_cast<int>(index), config_data),
             static_cast<int>(index))
{
}

Encoders::Encoders(const json& config_data, const detail::SensorConfig& c, int index)
  : Encoders(index, c.size, c.name, VectorX::Zero(c.size), c.noise,
             detail::read_field_key(config_data, "state_vel_field", c.where),
             detail::read_field_key(config_data, "state_ang_vel_field", c.where), false)
{
}

std::unique_ptr<ISensor> Encoders::clone() const { return std::make_unique<Encoders>(*this); }

void Encoders::set_vector(const VectorX& vec)
{
  _data = vec;
  _is_populated = true;
}

void Encoders::set_zero()
{
  _data.setZero();
  _is_populated = false;
}

bool Encoders::assign_from(const ISensor& other)
{
  if (typeid(other) != typeid(*this)) {
    return false;
  }
  if (&other != this) {
    *this = static_cast<const Encoders&>(other);
  }
  return true;
}

void Encoders::operator+=(const VectorX& other) { detail::add_reading(_name, _data, other, false); }

void Encoders::operator-=(const VectorX& other) { detail::add_reading(_name, _data, other, true); }

void Encoders::state_to_measurement(const State& state)
{
  // The turn rate is the yaw rate, component 2 of the angular velocity: the node fills it from
  // twist.angular.z and the vehicle model turns the heading (about z) with that component.
  VectorX vel;
  detail::read_state_field(state, _name, _state_vel_field, 1, false, vel);
  VectorX ang;
  detail::read_state_field(state, _name, _state_ang_vel_field, 3, false, ang);
  detail::check_sensor_at_least(_name, "the reading", _data.size(), 2);
  _data(0) = vel(0);
  _data(1) = ang(2);
  _is_populated = true;
}

void Encoders::save_mean(std::vector<Measurement>& measurements, VectorX& weights)
{
  detail::linear_mean(_name, measurements, weights, _data);
  _is_populated = true;
}

}  // namespace ukf
