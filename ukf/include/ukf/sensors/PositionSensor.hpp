#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "ukf/helpers.hpp"
#include "ukf/sensors/iSensor.hpp"

namespace ukf
{

/// Position fix ("POSITION_SENSOR"): the first get_size() components of a position field;
/// linear mean, no wrap.
class PositionSensor final : public ISensor
{
public:
  /// Stores every argument as given.
  PositionSensor(int index, int size, std::string name, const VectorX& initial_values,
                 const MatrixX& sensor_noise, const std::string& state_pos_field, bool populated);
  /// From a sensor object: "size", "name", "noise" (size x size) and "state_pos_field"; the reading starts
  /// as "size" zeros, unpopulated.
  PositionSensor(std::size_t index, const json& config_data);

  std::unique_ptr<ISensor> clone() const override;
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
  void state_to_measurement(const State& state) override;
  void save_mean(std::vector<Measurement>& measurements, VectorX& weights) override;

  /// Offset of the sensor's first entry in the full measurement layout.
  int get_index() const { return _index; }
  bool has_name(const std::string& name) const override { return _name == name; }
  bool assign_from(const ISensor& other) override;
  void read_into(Eigen::Ref<VectorX> out) const override
  {
    detail::copy_reading(_name, _data, out);
  }
  void read_noise_into(Eigen::Ref<MatrixX> out) const override
  {
    detail::copy_noise(_name, _sensor_noise, _size, out);
  }
  /// The names of the state fields the prediction reads, as configured.
  const std::string& get_state_pos_field() const { return _state_pos_field; }

private:
  PositionSensor(const json& config_data, const detail::SensorConfig& c, int index);

  int _index;
  int _size;
  std::string _name;
  VectorX _data;
  MatrixX _sensor_noise;
  std::string _state_pos_field;
  bool _is_populated;
};

}  // namespace ukf
