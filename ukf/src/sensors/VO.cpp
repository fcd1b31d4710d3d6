#include "ukf/sensors/VO.hpp"

#include <algorithm>
#include <typeinfo>
#include <utility>

#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"

namespace ukf
{

VO::VO(int index, int size, std::string name, const VectorX& initial_values,
       const MatrixX& sensor_noise, const std::string& state_pos_field,
       const std::string& state_orient_field, bool populated)
  : _index(index),
    _size(size),
    _name(std::move(name)),
    _data(initial_values),
    _sensor_noise(sensor_noise),
    _state_pos_field(state_pos_field),
    _state_orient_field(state_orient_field),
    _is_populated(populated)
{
}

VO::VO(int index, const json& config_data)
  : VO(config_data, detail::read_sensor_config(static_cast<int>(index), config_data),
       static_cast<int>(index))
{
}

VO::VO(const json& config_data, const detail::SensorConfig& c, int index)
  : VO(index, c.size, c.name, VectorX::Zero(c.size), c.noise,
       detail::read_field_key(config_data, "state_pos_field", c.where),
       detail::read_field_key(config_data, "state_orient_field", c.where), false)
{
}

std::unique_ptr<ISensor> VO::clone() const { return std::make_unique<VO>(*this); }

void VO::set_vector(const VectorX& vec)
{
  _data = vec;
  _is_populated = true;
}

void VO::set_zero()
{
  _data.setZero();
  _is_populated = false;
}

bool VO::assign_from(const ISensor& other)
{
  if (typeid(other) != typeid(*this)) {
    return false;
  }
  if (&other != this) {
    *this = static_cast<const VO&>(other);
  }
  return true;
}

void VO::operator+=(const VectorX& other)
{
  detail::add_reading(_name, _data, other, false);
  normalize();
}

void VO::operator-=(const VectorX& other)
{
  detail::add_reading(_name, _data, other, true);
  normalize();
}

void VO::normalize()
{
  detail::check_sensor_at_least(_name, "the reading", _data.size(), _size);
  for (int k = 3; k < _size; ++k) {
    _data(k) = wrap_angle(_data(k));
  }
}

void VO::state_to_measurement(const State& state)
{
  VectorX pos;
  detail::read_state_field(state, _name, _state_pos_field, 3, true, pos);
  VectorX orient;
  detail::read_state_field(state, _name, _state_orient_field, 3, true, orient);
  detail::check_sensor_at_least(_name, "the reading", _data.size(), 6);
  _data.segment<3>(0) = pos;
  _data.segment<3>(3) = orient;
  _is_populated = true;
}

void VO::save_mean(std::vector<Measurement>& measurements, VectorX& weights)
{
  detail::check_weights("sensor \"" + _name + "\"", weights.size(), measurements.size());
  detail::check_sensor_at_least(_name, "the reading", _data.size(), std::max(_size, 6));
  _data.setZero();
  for (std::size_t i = 0; i < measurements.size(); ++i) {
    const VectorX v = measurements[i][_name];
    detail::check_sensor_at_least(_name, "a sigma-point reading", v.size(), 6);
    _data.head<3>() += weights(static_cast<Eigen::Index>(i)) * v.head<3>();
  }
  detail::circular_mean(_name, measurements, weights, 3, 3, _data);
  normalize();
  _is_populated = true;
}

}  // namespace ukf
