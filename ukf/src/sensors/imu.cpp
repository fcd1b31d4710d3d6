#include "ukf/sensors/imu.hpp"

#include <algorithm>
#include <typeinfo>
#include <utility>

#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"

namespace ukf
{

Imu::Imu(int index, int size, std::string name, const VectorX& initial_values,
         const MatrixX& sensor_noise, const std::string& state_acc_field,
         const std::string& state_ang_vel_field, bool populated)
  : _index(index),
    _size(size),
    _name(std::move(name)),
    _data(initial_values),
    _sensor_noise(sensor_noise),
    _state_acc_field(state_acc_field),
    _state_ang_vel_field(state_ang_vel_field),
    _is_populated(populated)
{
}

Imu::Imu(int index, const json& config_data)
  : Imu(config_data, detail::read_sensor_config(static_cast<int>(index), config_data),
        static_cast<int>(index))
{
}

Imu::Imu(const json& config_data, const detail::SensorConfig& c, int index)
  : Imu(index, c.size, c.name, VectorX::Zero(c.size), c.noise,
        detail::read_field_key(config_data, "state_acc_field", c.where),
        detail::read_field_key(config_data, "state_ang_vel_field", c.where), false)
{
}

std::unique_ptr<ISensor> Imu::clone() const { return std::make_unique<Imu>(*this); }

void Imu::set_vector(const VectorX& vec)
{
  _data = vec;
  _is_populated = true;
}

void Imu::set_zero()
{
  _data.setZero();
  _is_populated = false;
}

bool Imu::assign_from(const ISensor& other)
{
  if (typeid(other) != typeid(*this)) {
    return false;
  }
  if (&other != this) {
    *this = static_cast<const Imu&>(other);
  }
  return true;
}

void Imu::operator+=(const VectorX& other) { detail::add_reading(_name, _data, other, false); }

void Imu::operator-=(const VectorX& other) { detail::add_reading(_name, _data, other, true); }

void Imu::state_to_measurement(const State& state)
{
  VectorX acc;
  detail::read_state_field(state, _name, _state_acc_field, 3, true, acc);
  VectorX ang;
  detail::read_state_field(state, _name, _state_ang_vel_field, 3, true, ang);
  detail::check_sensor_at_least(_name, "the reading", _data.size(), 6);
  _data.segment<3>(0) = acc;
  _data.segment<3>(3) = ang;
  _is_populated = true;
}

void Imu::save_mean(std::vector<Measurement>& measurements, VectorX& weights)
{
  detail::linear_mean(_name, measurements, weights, _data);
  _is_populated = true;
}

}  // namespace ukf
