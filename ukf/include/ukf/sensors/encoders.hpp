#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ukf/helpers.hpp"
#include "ukf/sensors/iSensor.hpp"

namespace ukf
{

/// Wheel odometry ("ENCODERS"): forward speed (component 0 of the velocity field) and turn rate
/// (component 2, the yaw rate, of the angular-velocity field); linear mean, no wrap.
class Encoders final : public detail::SensorBase
{
public:
  /// Stores every argument as given.
  Encoders(int index, int size, std::string name, const VectorX& initial_values,
           const MatrixX& sensor_noise, const std::string& state_vel_field,
           const std::string& state_ang_vel_field, bool populated);
  /// From a sensor object: "size", "name", "noise" (size x size) and "state_vel_field", "state_ang_vel_field"; the
  /// reading starts as "size" zeros, unpopulated.
  Encoders(int index, const json& config_data);

  std::unique_ptr<ISensor> clone() const override;
  bool assign_from(const ISensor& other) override;
  void state_to_measurement(const State& state) override;
  void save_mean(std::vector<Measurement>& measurements, VectorX& weights) override;

  /// The names of the state fields the prediction reads, as configured.
  const std::string& get_state_vel_field() const { return _fields[0]; }
  const std::string& get_state_ang_vel_field() const { return _fields[1]; }
};

}  // namespace ukf
