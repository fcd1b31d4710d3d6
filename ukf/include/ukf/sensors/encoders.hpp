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
/// Optionally "standstill_within": [speed, yaw rate], two non-negative numbers (m/s, rad/s). A
/// reading whose speed and yaw rate are both within them of zero says the wheels stand still, and
/// so does the robot: no scale or slip applies, and the prediction is v and w themselves. Without
/// the key every reading is predicted with the corrections.
/// Optionally "scales_learn_above": [speed, yaw rate], two non-negative numbers (m/s, rad/s). A
/// reading whose speed (or yaw rate) is within its bound of zero says too little of the scale on
/// it: the filter predicts that entry with the scale's estimate, the same for every sigma point,
/// so the scale learns nothing from the reading. The prediction of one state by itself
/// (state_to_measurement) reads the state's own scale, which is that estimate at the mean.
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
  /// Takes `vec` as the reading, and notes whether it is a standstill.
  void set_vector(const VectorX& vec) override;

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
  /// The bounds of a standstill reading, as "standstill_within" gives them (negative: none, the
  /// default); throws std::invalid_argument for a bound that is not finite.
  void set_standstill_within(double speed, double yaw_rate);
  /// Whether the current reading is a standstill, so that the prediction leaves out the
  /// correcting fields.
  bool at_standstill() const { return _at_standstill; }
  /// The bounds below which a reading teaches its scale nothing, as "scales_learn_above" gives
  /// them (negative: none, the default); throws std::invalid_argument for a bound that is not
  /// finite.
  void set_scales_learn_above(double speed, double yaw_rate);
  /// Whether the current reading leaves scale `entry` (0: speed, 1: yaw rate) at its estimate.
  bool scale_held(int entry) const { return _scale_held[entry != 0]; }

private:
  double _standstill_speed = -1.0, _standstill_yaw_rate = -1.0;
  bool _at_standstill = false;
  double _learn_above[2] = {-1.0, -1.0};
  bool _scale_held[2] = {false, false};
};

}  // namespace ukf
