#include "ukf/sensors/PositionSensor.hpp"

#include <algorithm>
#include <typeinfo>
#include <utility>

#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"

namespace ukf
{

PositionSensor::PositionSensor(int index, int size, std::string name, const VectorX& initial_values,
                               const MatrixX& sensor_noise, const std::string& state_pos_field,
                               bool populated)
  : _index(index),
    _size(size),
    _name(std::move(name)),
    _data(initial_values),
    _sensor_noise(sensor_noise),
    _state_pos_field(state_pos_field),
    _is_populated(populated)
{
}

PositionSensor::PositionSensor(std::size_t index, const json& config_data)
  : PositionSensor(config_data, detail::read_sensor_config(static_cast<int>(index), config_data),
                   static_cast<int>(index))
{
}

PositionSensor::PositionSensor(const json& config_data, const detail::SensorConfig& c, int index)
  : PositionSensor(index, c.size, c.name, VectorX::Zero(c.size), c.noise,
                   detail::read_field_key(config_data, "state_pos_field", c.where), false)
{
}

std::unique_ptr<ISensor> PositionSensor::clone() const
{
  return std::make_unique<PositionSensor>(*this);
}

void PositionSensor::set_vector(const VectorX& vec)
{
  _data = vec;
  _is_populated = true;
}

void PositionSensor::set_zero()
{
  _data.setZero();
  _is_populated = false;
}

bool PositionSensor::assign_from(const ISensor& other)
{
  if (typeid(other) != typeid(*this)) {
    return false;
  }
  if (&other != this) {
    *this = static_cast<const PositionSensor&>(other);
  }
  return true;
}

void PositionSensor::operator+=(const VectorX& other)
{
  detail::add_reading(_name, _data, other, false);
}

void PositionSensor::operator-=(const VectorX& other)
{
  detail::add_reading(_name, _data, other, true);
}

void PositionSensor::state_to_measurement(const State& state)
{
  VectorX v;
  detail::read_state_field(state, _name, _state_pos_field, _size, false, v);
  detail::check_sensor_at_least(_name, "the reading", _data.size(), _size);
  _data.head(_size) = v.head(_size);
  _is_populated = true;
}

void PositionSensor::save_mean(std::vector<Measurement>& measurements, VectorX& weights)
{
  detail::linear_mean(_name, measurements, weights, _data);
  _is_populated = true;
}

}  // namespace ukf
