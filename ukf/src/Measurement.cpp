#include "ukf/Measurement.hpp"

#include <iostream>
#include <limits>
#include <stdexcept>
#include <utility>

#include "ukf/State.hpp"
#include "ukf/factories.hpp"

namespace ukf
{

Measurement::Measurement() : _size(0), _full_size(0) {}

Measurement::Measurement(const json& config_data) : _size(0), _full_size(0)
{
  const json& sensors = config::require(config_data, "sensors", "\"measurement\"");
  if (!sensors.is_array()) {
    throw std::runtime_error("Invalid config: \"sensors\" of \"measurement\" must be an array (got " +
                             config::kind_of(sensors) + ")");
  }
  for (const json& element : sensors) {
    _sensors.push_back(create_sensor_from_json(static_cast<std::size_t>(_full_size), element));
    if (_sensors.back()->get_size() > std::numeric_limits<int>::max() - _full_size) {
      throw std::runtime_error("Invalid config: the sensors' sizes add up past the largest int");
    }
    _full_size += _sensors.back()->get_size();
  }
}

Measurement::Measurement(const Measurement& other)
  : _size(other._size), _full_size(other._full_size)
{
  _sensors.reserve(other._sensors.size());
  for (const auto& s : other._sensors) {
    _sensors.push_back(s->clone());
  }
}

Measurement& Measurement::operator=(const Measurement& other)
{
  if (this == &other) {
    return *this;
  }
  bool reused = _sensors.size() == other._sensors.size();
  for (std::size_t i = 0; reused && i < _sensors.size(); ++i) {
    reused = _sensors[i]->assign_from(*other._sensors[i]);
  }
  if (!reused) {
    std::vector<std::unique_ptr<ISensor>> copies;
    copies.reserve(other._sensors.size());
    for (const auto& s : other._sensors) {
      copies.push_back(s->clone());
    }
    _sensors = std::move(copies);
  }
  _size = other._size;
  _full_size = other._full_size;
  return *this;
}

Measurement::Measurement(Measurement&& other) noexcept
  : _sensors(std::move(other._sensors)), _size(other._size), _full_size(other._full_size)
{
  other._sensors.clear();
  other._size = 0;
  other._full_size = 0;
}

Measurement& Measurement::operator=(Measurement&& other) noexcept
{
  if (this != &other) {
    _sensors = std::move(other._sensors);
    _size = other._size;
    _full_size = other._full_size;
    other._sensors.clear();
    other._size = 0;
    other._full_size = 0;
  }
  return *this;
}

Measurement::~Measurement() = default;

ISensor& Measurement::get_sensor(const std::string& name) const
{
  for (const auto& s : _sensors) {
    if (s->has_name(name)) {
      return *s;
    }
  }
  std::vector<std::string> known;
  for (const auto& s : _sensors) {
    known.push_back(s->get_name());
  }
  throw std::runtime_error("Sensor not found: " + name + config::did_you_mean(name, known));
}

ISensor& Measurement::get_sensor(int i) const
{
  at(i);  // the range check
  return *_sensors[static_cast<std::size_t>(i)];
}

void Measurement::add_sensor(std::unique_ptr<ISensor> sensor)
{
  if (!sensor) {
    throw std::invalid_argument("Measurement::add_sensor: no sensor");
  }
  const int n = sensor->get_size();
  if (n < 0 || n > std::numeric_limits<int>::max() - _full_size) {
    throw std::invalid_argument("Measurement::add_sensor: sensor \"" + sensor->get_name() +
                                "\" has size " + std::to_string(n));
  }
  _full_size += n;
  _size += sensor->is_populated() ? n : 0;
  _sensors.push_back(std::move(sensor));
}

const ISensor& Measurement::at(int i) const
{
  if (i < 0 || static_cast<std::size_t>(i) >= _sensors.size()) {
    throw std::out_of_range("Measurement: position " + std::to_string(i) +
                            " is not a sensor (the measurement has " +
                            std::to_string(_sensors.size()) + " sensors)");
  }
  return *_sensors[static_cast<std::size_t>(i)];
}

VectorX Measurement::operator[](const std::string& name) const
{
  return get_sensor(name).get_vector();
}

VectorX Measurement::operator[](int i) const { return at(i).get_vector(); }

int Measurement::sensor_size(const std::string& name) const { return get_sensor(name).get_size(); }

int Measurement::sensor_size(int i) const { return at(i).get_size(); }

bool Measurement::sensor_is_populated(const std::string& name) const
{
  return get_sensor(name).is_populated();
}

bool Measurement::sensor_is_populated(int i) const { return at(i).is_populated(); }

VectorX Measurement::get_vector() const
{
  VectorX v;
  get_vector_into(v);
  return v;
}

void Measurement::get_vector_into(VectorX& out) const
{
  out.setZero(_size);
  Eigen::Index offset = 0;
  for (const auto& s : _sensors) {
    if (!s->is_populated()) {
      continue;
    }
    const int n = s->get_size();
    check_compact(offset + n, "the measurement vector");
    s->read_into(out.segment(offset, n));  // also checks that the reading has get_size() entries
    offset += n;
  }
}

void Measurement::check_compact(Eigen::Index length, const char* what) const
{
  if (length > _size) {
    throw std::invalid_argument(std::string(what) + " needs " + config::entries(length) +
                                " but the populated sensors sum to " +
                                std::to_string(_size));
  }
}

MatrixX Measurement::measurement_noise_covariance() const
{
  MatrixX noise = MatrixX::Zero(_size, _size);
  Eigen::Index offset = 0;
  for (const auto& s : _sensors) {
    if (!s->is_populated()) {
      continue;
    }
    const int n = s->get_size();
    const MatrixX block = s->get_noise();
    if (block.rows() != n || block.cols() != n) {
      throw std::invalid_argument("the noise of sensor \"" + s->get_name() + "\" is " +
                                  std::to_string(block.rows()) + " x " +
                                  std::to_string(block.cols()) + ", expected " + std::to_string(n) +
                                  " x " + std::to_string(n));
    }
    check_compact(offset + n, "the noise covariance");
    noise.block(offset, offset, n, n) = block;
    offset += n;
  }
  return noise;
}

void Measurement::sensor_populate(const std::string& name, const VectorX& measurement)
{
  ISensor& s = get_sensor(name);
  detail::check_sensor_length(name, "the value given to sensor_populate", measurement.size(),
                              s.get_size());
  if (!measurement.allFinite()) {
    throw std::invalid_argument("sensor \"" + name + "\": the measurement is not finite");
  }
  if (!s.is_populated()) {
    _size += s.get_size();
  }
  s.set_vector(measurement);
}

void Measurement::sensor_populate(const std::string& name, const VectorX& measurement,
                                  const MatrixX& noise)
{
  ISensor& s = get_sensor(name);
  if (noise.rows() != s.get_size() || noise.cols() != s.get_size()) {
    throw std::invalid_argument(
      "sensor \"" + name + "\": the noise given to sensor_populate is " +
      std::to_string(noise.rows()) + " x " + std::to_string(noise.cols()) + ", expected " +
      std::to_string(s.get_size()) + " x " + std::to_string(s.get_size()));
  }
  if (!noise.allFinite()) {
    throw std::invalid_argument("sensor \"" + name + "\": the noise is not finite");
  }
  sensor_populate(name, measurement);
  s.set_noise(noise);
}

void Measurement::set_vector(const VectorX& measurement)
{
  if (measurement.size() < _size) {
    throw std::invalid_argument("Measurement::set_vector: " + config::entries(measurement.size()) +
                                " for populated sensors of " + std::to_string(_size));
  }
  Eigen::Index offset = 0;
  for (auto& s : _sensors) {
    if (s->is_populated()) {
      s->set_vector(measurement.segment(offset, s->get_size()));
      offset += s->get_size();
    }
  }
}

void Measurement::set_vector_full(const VectorX& measurement)
{
  if (measurement.size() < _full_size) {
    throw std::invalid_argument(
      "Measurement::set_vector_full: " + config::entries(measurement.size()) +
      " for sensors of " + std::to_string(_full_size));
  }
  Eigen::Index offset = 0;
  for (auto& s : _sensors) {
    s->set_vector(measurement.segment(offset, s->get_size()));
    offset += s->get_size();
  }
  _size = _full_size;
}

void Measurement::set_measurement(const State& state)
{
  for (auto& s : _sensors) {
    if (s->is_populated()) {
      s->state_to_measurement(state);
    }
  }
}

void Measurement::set_measurement_full(const State& state)
{
  for (auto& s : _sensors) {
    s->state_to_measurement(state);
  }
  _size = _full_size;
}

void Measurement::set_zero()
{
  for (auto& s : _sensors) {
    s->set_zero();
  }
  _size = 0;
}

void Measurement::save_mean(std::vector<Measurement>& measurements, VectorX& weights)
{
  for (auto& s : _sensors) {
    if (s->is_populated()) {
      s->save_mean(measurements, weights);
    }
  }
}

void Measurement::apply_measurement(const Measurement& other, bool inverse)
{
  if (other._sensors.size() < _sensors.size()) {
    throw std::invalid_argument("measurement arithmetic: the right operand has " +
                                std::to_string(other._sensors.size()) + " sensors, the left " +
                                std::to_string(_sensors.size()));
  }
  for (std::size_t i = 0; i < _sensors.size(); ++i) {
    if (!_sensors[i]->is_populated()) {
      continue;
    }
    const VectorX v = other._sensors[i]->get_vector();
    if (inverse) {
      *_sensors[i] -= v;
    } else {
      *_sensors[i] += v;
    }
  }
}

void Measurement::apply_vector(const VectorX& other, bool inverse)
{
  if (other.size() < _size) {
    throw std::invalid_argument("measurement arithmetic: the vector has " +
                                config::entries(other.size()) + ", the populated sensors " +
                                std::to_string(_size));
  }
  Eigen::Index offset = 0;
  for (auto& s : _sensors) {
    if (!s->is_populated()) {
      continue;
    }
    const VectorX slice = other.segment(offset, s->get_size());
    if (inverse) {
      *s -= slice;
    } else {
      *s += slice;
    }
    offset += s->get_size();
  }
}

Measurement& Measurement::operator+=(const Measurement& other)
{
  apply_measurement(other, false);
  return *this;
}

Measurement& Measurement::operator-=(const Measurement& other)
{
  apply_measurement(other, true);
  return *this;
}

Measurement& Measurement::operator+=(const VectorX& other)
{
  apply_vector(other, false);
  return *this;
}

Measurement& Measurement::operator-=(const VectorX& other)
{
  apply_vector(other, true);
  return *this;
}

Measurement Measurement::operator+(Measurement& other)
{
  Measurement result(*this);
  result += other;
  return result;
}

Measurement Measurement::operator-(Measurement& other)
{
  Measurement result(*this);
  result -= other;
  return result;
}

Measurement Measurement::operator+(const VectorX& other) const
{
  Measurement result(*this);
  result += other;
  return result;
}

Measurement Measurement::operator-(const VectorX& other) const
{
  Measurement result(*this);
  result -= other;
  return result;
}

void Measurement::print(std::ostream& os) const
{
  os << "Measurement of size " << _size << " (full " << _full_size << ")\n";
  for (const auto& s : _sensors) {
    os << "  " << s->get_name() << (s->is_populated() ? " (populated): " : ": ")
       << s->get_vector().transpose() << '\n';
  }
}

void Measurement::print() const { print(std::cout); }

Measurement operator+(const VectorX& lhs, Measurement& rhs)
{
  Measurement result(rhs);
  result += lhs;
  return result;
}

Measurement operator-(const VectorX& lhs, Measurement& rhs)
{
  Measurement result(rhs);
  result.set_vector(lhs);
  result -= rhs;
  return result;
}

}  // namespace ukf
