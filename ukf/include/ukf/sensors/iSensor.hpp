#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ukf/helpers.hpp"

namespace ukf
{

class IField;
class State;
class Measurement;

/// One named block of the measurement vector: its reading, its noise covariance, its prediction
/// from a state and its mean over sigma-point measurements. A sensor never reads or writes outside
/// its vectors: a violated length contract throws std::invalid_argument naming the sensor (and the
/// state field where one is involved) and both sizes.
class ISensor
{
public:
  virtual std::unique_ptr<ISensor> clone() const = 0;
  virtual std::string get_name() const = 0;
  /// The configured size.
  virtual int get_size() const = 0;
  virtual VectorX get_vector() const = 0;
  /// Takes a new reading (of any length) and marks the sensor populated.
  virtual void set_vector(const VectorX& vec) = 0;
  /// Zeroes the reading (length kept) and marks the sensor unpopulated.
  virtual void set_zero() = 0;
  virtual MatrixX get_noise() const = 0;
  virtual void set_noise(const MatrixX& noise) = 0;
  virtual bool is_populated() const = 0;
  virtual void operator+=(const VectorX& other) = 0;
  virtual void operator-=(const VectorX& other) = 0;
  /// Predicts the reading from `state`; marks populated.
  virtual void state_to_measurement(const State& state) = 0;
  /// Weighted mean of this sensor's block over `measurements`; marks populated.
  virtual void save_mean(std::vector<Measurement>& measurements, VectorX& weights) = 0;

  virtual ~ISensor() = default;

  // Beyond the thirteen operations above, with defaults written in terms of them; the built-in
  // sensors override them so that copying sigma-point measurements allocates nothing.

  /// Whether get_name() equals `name`.
  virtual bool has_name(const std::string& name) const;
  /// Writes get_vector() into `out`, which has get_vector().size() entries.
  virtual void read_into(Eigen::Ref<VectorX> out) const;
  /// Makes this sensor an exact copy of `other` when both are of the same concrete class and
  /// returns true; otherwise changes nothing and returns false (the caller then clones).
  virtual bool assign_from(const ISensor& other);
  /// Writes get_noise() into `out`, get_size() x get_size(); throws std::invalid_argument naming
  /// the sensor when the noise has another shape.
  virtual void read_noise_into(Eigen::Ref<MatrixX> out) const;

protected:
  ISensor() = default;
  ISensor(const ISensor&) = default;
  ISensor& operator=(const ISensor&) = default;
};

namespace detail
{

/// Throws std::invalid_argument unless `actual` == `expected`.
void check_sensor_length(const std::string& sensor, const char* what, Eigen::Index actual,
                         Eigen::Index expected);
/// Throws std::invalid_argument unless `actual` >= `needed`.
void check_sensor_at_least(const std::string& sensor, const char* what, Eigen::Index actual,
                           Eigen::Index needed);
/// The field `field` of `state` ("Field not found: <field>" when absent), checked to have at least
/// (`exact`: exactly) `needed` entries: std::invalid_argument naming the sensor and the field.
const IField& checked_state_field(const State& state, const std::string& sensor,
                                  const std::string& field, Eigen::Index needed, bool exact);
/// The field `field` of `state`, checked as checked_state_field does, read into `out` (resized
/// only when its length differs).
void read_state_field(const State& state, const std::string& sensor, const std::string& field,
                      Eigen::Index needed, bool exact, VectorX& out);
/// Copies `noise` into `out` after checking that it is size x size: std::invalid_argument "the
/// noise of sensor "<name>" is r x c, expected n x n".
void copy_noise(const std::string& sensor, const MatrixX& noise, int size, Eigen::Ref<MatrixX> out);
/// Copies `data` into `out` after checking that the lengths agree.
void copy_reading(const std::string& sensor, const VectorX& data, Eigen::Ref<VectorX> out);
/// Weighted sum of the same-named sensor's readings over `measurements` into `data`.
void linear_mean(const std::string& sensor, std::vector<Measurement>& measurements,
                 const VectorX& weights, VectorX& data);
/// Entries [first, first + count) of `data`: per-entry atan2 of the weighted sine and cosine sums
/// over the same-named sensor's readings, then wrapped into [-pi, pi).
void circular_mean(const std::string& sensor, std::vector<Measurement>& measurements,
                   const VectorX& weights, Eigen::Index first, Eigen::Index count, VectorX& data);
/// Element-wise `data` += other (or -= when `inverse`), lengths checked.
void add_reading(const std::string& sensor, VectorX& data, const VectorX& other, bool inverse);
/// The sensor's configuration keys shared by all types, read in the order "size", "name", "noise".
struct SensorConfig
{
  int size;
  std::string name;
  MatrixX noise;
  std::string where;
};
SensorConfig read_sensor_config(int index, const json& config_data);
/// A field-reference key of a sensor object.
std::string read_field_key(const json& config_data, const char* key, const std::string& where);

}  // namespace detail

}  // namespace ukf
