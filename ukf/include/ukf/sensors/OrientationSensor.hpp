#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ukf/helpers.hpp"
#include "ukf/sensors/iSensor.hpp"

namespace ukf
{

/// Orientation angles ("ORIENTATION_SENSOR"): the whole angle field, which has get_size() entries;
/// wraps its angles after += and -=; circular mean.
class OrientationSensor final : public detail::SensorBase
{
public:
  /// Stores every argument as given.
  OrientationSensor(int index, int size, std::string name, const VectorX& initial_values,
                    const MatrixX& sensor_noise, const std::string& state_orient_field,
                    bool populated);
  /// From a sensor object: "size", "name", "noise" (size x size) and "state_orientation_field"; the
  /// reading starts as "size" zeros, unpopulated.
  OrientationSensor(int index, const json& config_data);

  std::unique_ptr<ISensor> clone() const override;
  bool assign_from(const ISensor& other) override;
  void state_to_measurement(const State& state) override;
  void save_mean(std::vector<Measurement>& measurements, VectorX& weights) override;
  /// Wraps the first get_size() entries into [-pi, pi).
  void normalize() { wrap_angles(); }

  /// The names of the state fields the prediction reads, as configured.
  const std::string& get_state_orient_field() const { return _fields[0]; }
};

}  // namespace ukf
