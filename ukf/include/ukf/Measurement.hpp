#pragma once

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "ukf/helpers.hpp"
#include "ukf/sensors/iSensor.hpp"

namespace ukf
{

class State;

/// An ordered list of sensors. Only populated sensors take part in an update: they alone make up
/// the compact measurement vector (in sensor order, not population order), the noise covariance
/// and the residual. The full layout over all sensors serves the bulk "_full" operations.
class Measurement
{
public:
  Measurement();
  /// Builds the sensors from the array under "sensors" of the "measurement" object; none is
  /// populated afterwards.
  explicit Measurement(const json& config_data);
  Measurement(const Measurement& other);
  /// Keeps the existing sensor objects when `other` has the same structure.
  Measurement& operator=(const Measurement& other);
  Measurement(Measurement&& other) noexcept;
  Measurement& operator=(Measurement&& other) noexcept;
  ~Measurement();

  /// Length of the compact vector: the summed sizes of the populated sensors.
  int size() const { return _size; }
  /// The summed sizes of all sensors.
  int size_full() const { return _full_size; }
  std::size_t number_of_sensors() const { return _sensors.size(); }
  /// The first sensor named `name`; throws std::runtime_error "Sensor not found: <name>".
  ISensor& get_sensor(const std::string& name) const;
  /// The sensor at position i; throws std::out_of_range past the last sensor.
  ISensor& get_sensor(int i) const;
  /// Appends a sensor, user-defined or built-in, after the last one; its block of the full layout
  /// starts at size_full(). A populated sensor also joins the compact vector.
  void add_sensor(std::unique_ptr<ISensor> sensor);
  VectorX operator[](const std::string& name) const;
  /// Throws std::out_of_range past the last sensor, as do the other positional queries.
  VectorX operator[](int i) const;
  int sensor_size(const std::string& name) const;
  int sensor_size(int i) const;
  bool sensor_is_populated(const std::string& name) const;
  bool sensor_is_populated(int i) const;
  VectorX get_vector() const;
  /// The same into `out`, resized to size().
  void get_vector_into(VectorX& out) const;
  /// Block-diagonal noise of the populated sensors, size() x size().
  MatrixX measurement_noise_covariance() const;

  /// Stores `measurement` in the named sensor and marks it populated; the sensor keeps its noise.
  /// Throws std::invalid_argument, changing nothing, when the vector's length is not the
  /// sensor's size or a value is not finite.
  void sensor_populate(const std::string& name, const VectorX& measurement);
  /// The same, and replaces the sensor's noise (size x size, finite) for this measurement.
  void sensor_populate(const std::string& name, const VectorX& measurement, const MatrixX& noise);

  void set_vector(const VectorX& measurement);
  void set_vector_full(const VectorX& measurement);
  /// Each populated sensor predicts its reading from `state`.
  void set_measurement(const State& state);
  /// Every sensor predicts its reading from `state`; all are populated afterwards.
  void set_measurement_full(const State& state);
  void set_zero();
  void save_mean(std::vector<Measurement>& measurements, VectorX& weights);

  Measurement& operator+=(const Measurement& other);
  Measurement& operator-=(const Measurement& other);
  Measurement& operator+=(const VectorX& other);
  Measurement& operator-=(const VectorX& other);
  Measurement operator+(Measurement& other);
  Measurement operator-(Measurement& other);
  Measurement operator+(const VectorX& other) const;
  Measurement operator-(const VectorX& other) const;

  void print(std::ostream& os) const;
  void print() const;

private:
  const ISensor& at(int i) const;
  void apply_measurement(const Measurement& other, bool inverse);
  void apply_vector(const VectorX& other, bool inverse);
  void check_compact(Eigen::Index length, const char* what) const;

  std::vector<std::unique_ptr<ISensor>> _sensors;
  int _size;
  int _full_size;
};

Measurement operator+(const VectorX& lhs, Measurement& rhs);
Measurement operator-(const VectorX& lhs, Measurement& rhs);

}  // namespace ukf
