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
/// Optionally the state holds the wheels' errors, each a 1-entry field: a speed scale s_v
/// ("state_speed_scale_field"), a yaw-rate scale s_w ("state_yaw_rate_scale_field") and a
/// yaw-rate bias b_w ("state_yaw_rate_bias_field"); the prediction is then s_v v and s_w w + b_w.
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
  /// The correcting state fields, empty when unused.
  const std::string& get_state_speed_scale_field() const { return _corrections[0]; }
  const std::string& get_state_yaw_rate_scale_field() const { return _corrections[1]; }
  const std::string& get_state_yaw_rate_bias_field() const { return _corrections[2]; }
  /// Sets the correcting state fields of the constructor from parts (empty for none).
  void set_corrections(const std::string& speed_scale, const std::string& yaw_rate_scale,
                       const std::string& yaw_rate_bias);
};

}  // namespace ukf
