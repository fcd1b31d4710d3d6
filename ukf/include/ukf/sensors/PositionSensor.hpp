#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ukf/helpers.hpp"
#include "ukf/sensors/iSensor.hpp"

namespace ukf
{

/// Position fix ("POSITION_SENSOR"): the first get_size() components of a position field;
/// linear mean, no wrap.
class PositionSensor final : public detail::SensorBase
{
public:
  /// Stores every argument as given.
  PositionSensor(int index, int size, std::string name, const VectorX& initial_values,
                 const MatrixX& sensor_noise, const std::string& state_pos_field, bool populated);
  /// From a sensor object: "size", "name", "noise" (size x size) and "state_pos_field"; the
  /// reading starts as "size" zeros, unpopulated.
  PositionSensor(std::size_t index, const json& config_data);

  std::unique_ptr<ISensor> clone() const override;
  bool assign_from(const ISensor& other) override;
  void state_to_measurement(const State& state) override;
  void save_mean(std::vector<Measurement>& measurements, VectorX& weights) override;

  /// The names of the state fields the prediction reads, as configured.
  const std::string& get_state_pos_field() const { return _fields[0]; }
};

}  // namespace ukf
