#pragma once

#include <array>
#include <limits>
#include <memory>
#include <string>
#include <typeinfo>
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
/// The readings of the sensor named `sensor` in each of `measurements`, one column each, of
/// `length` entries: each reading checked to have exactly (`exact`) or at least `length` entries,
/// and `weights` to have an entry per measurement. What the means of the kernels take.
MatrixX reading_columns(const std::string& sensor, std::vector<Measurement>& measurements,
                        const VectorX& weights, Eigen::Index length, bool exact);
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

/// Everything the built-in sensors hold and do alike: the offset, size, name, reading, noise and
/// populated flag, their reading from a sensor object, and the operations on the reading. Entries
/// from `first_angle` on are angles, wrapped into [-pi, pi) after += and -=. A built-in sensor's
/// own class adds its prediction, its mean and the names of the state fields it reads.
class SensorBase : public ISensor
{
public:
  std::string get_name() const override { return _name; }
  int get_size() const override { return _size; }
  VectorX get_vector() const override { return _data; }
  void set_vector(const VectorX& vec) override;
  void set_zero() override;
  MatrixX get_noise() const override { return _sensor_noise; }
  void set_noise(const MatrixX& noise) override { _sensor_noise = noise; }
  bool is_populated() const override { return _is_populated; }
  void operator+=(const VectorX& other) override;
  void operator-=(const VectorX& other) override;
  bool has_name(const std::string& name) const override { return _name == name; }
  void read_into(Eigen::Ref<VectorX> out) const override { copy_reading(_name, _data, out); }
  void read_noise_into(Eigen::Ref<MatrixX> out) const override
  {
    copy_noise(_name, _sensor_noise, _size, out);
  }
  /// Offset of the sensor's first entry in the full measurement layout.
  int get_index() const { return _index; }

protected:
  /// The first_angle of a sensor without angles.
  static constexpr int kNoAngles = std::numeric_limits<int>::max();

  /// Stores every argument as given; `fields` are the names of the state fields the prediction
  /// reads (unused entries empty).
  SensorBase(int index, int size, std::string name, const VectorX& initial_values,
             const MatrixX& sensor_noise, std::array<std::string, 2> fields, bool populated,
             int first_angle);
  /// From a sensor object: "size", "name", "noise" (size x size), the field-reference keys
  /// `keys` (null for none) and the optional ones `optional_keys` (a correction left empty when its
  /// key is absent); the reading starts as "size" zeros, unpopulated.
  SensorBase(int index, const json& config_data, std::array<const char*, 2> keys, int first_angle,
             std::array<const char*, 3> optional_keys = {});
  SensorBase(const SensorBase&) = default;
  SensorBase& operator=(const SensorBase&) = default;

  /// Makes `self` a copy of `other` when both are of the class T, as assign_from() promises.
  template <class T>
  static bool assign_same(T& self, const ISensor& other)
  {
    if (typeid(other) != typeid(self)) {
      return false;
    }
    if (&other != &self) {
      self = static_cast<const T&>(other);
    }
    return true;
  }
  /// Wraps entries first_angle to get_size() - 1 into [-pi, pi).
  void wrap_angles();
  /// The correcting field `i` of `state` read into `value` (checked to have exactly `size`
  /// entries, as read_state_field checks), and its entries; null when the sensor has none.
  const double* read_correction(const State& state, std::size_t i, Eigen::Index size,
                                VectorX& value) const;

  int _index;
  int _size;
  std::string _name;
  VectorX _data;
  MatrixX _sensor_noise;
  std::array<std::string, 2> _fields;
  /// The state fields that correct the prediction (biases, scale factors); empty when unused.
  std::array<std::string, 3> _corrections;
  bool _is_populated;
  int _first_angle;

private:
  SensorBase(int index, const json& config_data, std::array<const char*, 2> keys, int first_angle,
             std::array<const char*, 3> optional_keys, const SensorConfig& c);
};

}  // namespace detail

}  // namespace ukf
