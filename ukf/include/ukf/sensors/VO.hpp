#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ukf/helpers.hpp"
#include "ukf/sensors/iSensor.hpp"

namespace ukf
{

/// Visual odometry ("VO"): a 3-entry position then 3 angles. Positions are averaged linearly,
/// angles on the circle; the angles (entries 3 on) are wrapped after +=, -= and the mean.
class VO final : public detail::SensorBase
{
public:
  /// Stores every argument as given.
  VO(int index, int size, std::string name, const VectorX& initial_values,
     const MatrixX& sensor_noise, const std::string& state_pos_field,
     const std::string& state_orient_field, bool populated);
  /// From a sensor object: "size", "name", "noise" (size x size) and "state_pos_field", "state_orient_field"; the
  /// reading starts as "size" zeros, unpopulated.
  VO(int index, const json& config_data);

  std::unique_ptr<ISensor> clone() const override;
  bool assign_from(const ISensor& other) override;
  void state_to_measurement(const State& state) override;
  void save_mean(std::vector<Measurement>& measurements, VectorX& weights) override;
  /// Wraps entries 3 to get_size() - 1 into [-pi, pi); positions are never wrapped.
  void normalize() { wrap_angles(); }

  /// The names of the state fields the prediction reads, as configured.
  const std::string& get_state_pos_field() const { return _fields[0]; }
  const std::string& get_state_orient_field() const { return _fields[1]; }
};

}  // namespace ukf
