#include "ukf/sensors/OrientationSensor.hpp"

#include <algorithm>
#include <typeinfo>
#include <utility>

#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"

namespace ukf
{

OrientationSensor::OrientationSensor(int index, int size, std::string name,
                                     const VectorX& initial_values, const MatrixX& sensor_noise,
                                     const std::string& state_orient_field, bool populated)
  : _index(index),
    _size(size),
    _name(std::move(name)),
    _data(initial_values),
    _sensor_noise(sensor_noise),
    _state_orient_field(state_orient_field),
    _is_populated(populated)
{
}

OrientationSensor::OrientationSensor(int index, const json& config_data)
  : OrientationSensor(config_data, detail::read_sensor_config(static_cast<int>(index), config_data),
                      static_cast<int>(index))
{
}

OrientationSensor::OrientationSensor(const json& config_data, const detail::SensorConfig& c,
                                     int index)
  : OrientationSensor(index, c.size, c.name, VectorX::Zero(c.size), c.noise,
                      detail::read_field_key(config_data, "state_orientation_field", c.where),
                      false)
{
}

std::unique_ptr<ISensor> OrientationSensor::clone() const
{
  return std::make_unique<OrientationSensor>(*this);
}

void OrientationSensor::set_vector(const VectorX& vec)
{
  _data = vec;
  _is_populated = true;
}

void OrientationSensor::set_zero()
{
  _data.setZero();
  _is_populated = false;
}

bool OrientationSensor::assign_from(const ISensor& other)
{
  if (typeid(other) != typeid(*this)) {
    return false;
  }
  if (&other != this) {
    *this = static_cast<const OrientationSensor&>(other);
  }
  return true;
}

void OrientationSensor::operator+=(const VectorX& other)
{
  detail::add_reading(_name, _data, other, false);
  normalize();
}

void OrientationSensor::operator-=(const VectorX& other)
{
  detail::add_reading(_name, _data, other, true);
  normalize();
}

void OrientationSensor::normalize()
{
  detail::check_sensor_at_least(_name, "the reading", _data.size(), _size);
  for (int k = 0; k < _size; ++k) {
    _data(k) = wrap_angle(_data(k));
  }
}

void OrientationSensor::state_to_measurement(const State& state)
{
  // The reading takes the field's whole vector, so the field must have exactly get_size() angles.
  detail::read_state_field(state, _name, _state_orient_field, _size, true, _data);
  _is_populated = true;
}

void OrientationSensor::save_mean(std::vector<Measurement>& measurements, VectorX& weights)
{
  detail::check_sensor_at_least(_name, "the reading", _data.size(), _size);
  _data.setZero();
  detail::circular_mean(_name, measurements, weights, 0, _size, _data);
  normalize();
  _is_populated = true;
}

}  // namespace ukf
