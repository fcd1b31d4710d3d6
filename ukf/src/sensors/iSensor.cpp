#include "ukf/sensors/iSensor.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

#include "../kernels.hpp"
#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"

namespace ukf
{

bool ISensor::has_name(const std::string& name) const { return get_name() == name; }

bool ISensor::assign_from(const ISensor&) { return false; }

void ISensor::read_noise_into(Eigen::Ref<MatrixX> out) const
{
  detail::copy_noise(get_name(), get_noise(), get_size(), out);
}

void ISensor::read_into(Eigen::Ref<VectorX> out) const
{
  const VectorX v = get_vector();
  detail::check_sensor_length(get_name(), "the destination", out.size(), v.size());
  out = v;
}

namespace detail
{

void check_sensor_length(const std::string& sensor, const char* what, Eigen::Index actual,
                         Eigen::Index expected)
{
  if (actual != expected) {
    throw std::invalid_argument(std::string(what) + " of sensor \"" + sensor + "\" has " +
                                config::entries(actual) + ", expected " +
                                std::to_string(expected));
  }
}

void check_sensor_at_least(const std::string& sensor, const char* what, Eigen::Index actual,
                           Eigen::Index needed)
{
  if (actual < needed) {
    throw std::invalid_argument(std::string(what) + " of sensor \"" + sensor + "\" has " +
                                config::entries(actual) + ", it needs at least " +
                                std::to_string(needed));
  }
}

const IField& checked_state_field(const State& state, const std::string& sensor,
                                  const std::string& field, Eigen::Index needed, bool exact)
{
  const IField& f = state.field(field);
  const auto size = static_cast<Eigen::Index>(f.get_size());
  if (exact ? size != needed : size < needed) {
    throw std::invalid_argument("sensor \"" + sensor + "\" needs " +
                                (exact ? std::string("exactly ") : std::string("at least ")) +
                                config::entries(needed) + " of state field \"" + field +
                                "\", which has " + std::to_string(size));
  }
  return f;
}

void read_state_field(const State& state, const std::string& sensor, const std::string& field,
                      Eigen::Index needed, bool exact, VectorX& out)
{
  const IField& f = checked_state_field(state, sensor, field, needed, exact);
  const auto size = static_cast<Eigen::Index>(f.get_size());
  if (out.size() != size) {
    out.resize(size);
  }
  f.read_into(out);
}

void copy_noise(const std::string& sensor, const MatrixX& noise, int size, Eigen::Ref<MatrixX> out)
{
  if (noise.rows() != size || noise.cols() != size) {
    throw std::invalid_argument("the noise of sensor \"" + sensor + "\" is " +
                                std::to_string(noise.rows()) + " x " +
                                std::to_string(noise.cols()) + ", expected " +
                                std::to_string(size) + " x " + std::to_string(size));
  }
  if (out.rows() != size || out.cols() != size) {
    throw std::invalid_argument("sensor \"" + sensor + "\": a destination of " +
                                std::to_string(out.rows()) + " x " + std::to_string(out.cols()) +
                                " for a noise of " + std::to_string(size) + " x " +
                                std::to_string(size));
  }
  out = noise;
}

void copy_reading(const std::string& sensor, const VectorX& data, Eigen::Ref<VectorX> out)
{
  check_sensor_length(sensor, "the destination", out.size(), data.size());
  for (Eigen::Index i = 0; i < data.size(); ++i) {
    out[i] = data[i];
  }
}

MatrixX reading_columns(const std::string& sensor, std::vector<Measurement>& measurements,
                        const VectorX& weights, Eigen::Index length, bool exact)
{
  check_weights("sensor \"" + sensor + "\"", weights.size(), measurements.size());
  MatrixX columns(length, static_cast<Eigen::Index>(measurements.size()));
  for (std::size_t i = 0; i < measurements.size(); ++i) {
    const VectorX v = measurements[i][sensor];
    if (exact) {
      check_sensor_length(sensor, "a sigma-point reading", v.size(), length);
    } else {
      check_sensor_at_least(sensor, "a sigma-point reading", v.size(), length);
    }
    columns.col(static_cast<Eigen::Index>(i)) = v.head(length);
  }
  return columns;
}

void add_reading(const std::string& sensor, VectorX& data, const VectorX& other, bool inverse)
{
  check_sensor_length(sensor, "the vector added to the reading", other.size(), data.size());
  kernel::add(data, other, inverse);
}

SensorConfig read_sensor_config(int index, const json& config_data)
{
  SensorConfig c;
  c.where = config::describe(config_data, "sensor", "measurement index",
                             static_cast<std::size_t>(index < 0 ? 0 : index));
  c.size = config::read_size(config_data, c.where);
  c.name = config::read_name(config_data, c.where);
  c.where = "sensor \"" + c.name + "\"";
  c.noise =
    config::to_matrix(config::require(config_data, "noise", c.where), "\"noise\" of " + c.where);
  if (c.noise.rows() != c.size || c.noise.cols() != c.size) {
    throw std::runtime_error("Invalid config: \"noise\" of " + c.where + " is " +
                             std::to_string(c.noise.rows()) + " x " +
                             std::to_string(c.noise.cols()) + ", expected " +
                             std::to_string(c.size) + " x " + std::to_string(c.size));
  }
  return c;
}

std::string read_field_key(const json& config_data, const char* key, const std::string& where)
{
  return config::read_string(config_data, key, where);
}

SensorBase::SensorBase(int index, int size, std::string name, const VectorX& initial_values,
                       const MatrixX& sensor_noise, std::array<std::string, 2> fields,
                       bool populated, int first_angle)
  : _index(index),
    _size(size),
    _name(std::move(name)),
    _data(initial_values),
    _sensor_noise(sensor_noise),
    _fields(std::move(fields)),
    _is_populated(populated),
    _first_angle(first_angle)
{
}

SensorBase::SensorBase(int index, const json& config_data, std::array<const char*, 2> keys,
                       int first_angle, std::array<const char*, 3> optional_keys)
  : SensorBase(index, config_data, keys, first_angle, optional_keys,
               read_sensor_config(index, config_data))
{
}

SensorBase::SensorBase(int index, const json& config_data, std::array<const char*, 2> keys,
                       int first_angle, std::array<const char*, 3> optional_keys,
                       const SensorConfig& c)
  : SensorBase(index, c.size, c.name, VectorX::Zero(c.size), c.noise, {}, false, first_angle)
{
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] != nullptr) {
      _fields[i] = read_field_key(config_data, keys[i], c.where);
    }
  }
  for (std::size_t i = 0; i < optional_keys.size(); ++i) {
    if (optional_keys[i] == nullptr || !config_data.contains(optional_keys[i])) {
      continue;
    }
    _corrections[i] = read_field_key(config_data, optional_keys[i], c.where);
    if (_corrections[i].empty()) {
      throw std::runtime_error("Invalid config: \"" + std::string(optional_keys[i]) + "\" of " +
                               c.where + " is empty; leave the key out for no correction");
    }
  }
}

void SensorBase::set_vector(const VectorX& vec)
{
  _data = vec;
  _is_populated = true;
}

void SensorBase::set_zero()
{
  _data.setZero();
  _is_populated = false;
}

void SensorBase::operator+=(const VectorX& other)
{
  add_reading(_name, _data, other, false);
  if (_first_angle < _size) {
    wrap_angles();
  }
}

void SensorBase::operator-=(const VectorX& other)
{
  add_reading(_name, _data, other, true);
  if (_first_angle < _size) {
    wrap_angles();
  }
}

const double* SensorBase::read_correction(const State& state, std::size_t i, Eigen::Index size,
                                         VectorX& value) const
{
  if (_corrections[i].empty()) {
    return nullptr;
  }
  read_state_field(state, _name, _corrections[i], size, true, value);
  return value.data();
}

void SensorBase::wrap_angles()
{
  check_sensor_at_least(_name, "the reading", _data.size(), _size);
  if (_first_angle < _size) {
    kernel::wrap(_data.segment(_first_angle, _size - _first_angle));
  }
}

}  // namespace detail
}  // namespace ukf
