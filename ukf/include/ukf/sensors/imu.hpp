#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ukf/helpers.hpp"
#include "ukf/sensors/iSensor.hpp"

namespace ukf
{

/// Inertial unit ("IMU"): three accelerations then three angular rates, each from a 3-entry state
/// field as the state holds it (no gravity, no rotation); linear mean, no wrap.
/// Optionally the state holds the accelerometer's and the gyro's biases, each a 3-entry field
/// ("state_accel_bias_field", "state_gyro_bias_field") added to its part of the prediction.
class Imu final : public detail::SensorBase
{
public:
  /// Stores every argument as given.
  Imu(int index, int size, std::string name, const VectorX& initial_values,
      const MatrixX& sensor_noise, const std::string& state_acc_field,
      const std::string& state_ang_vel_field, bool populated);
  /// From a sensor object: "size", "name", "noise" (size x size) and "state_acc_field", "state_ang_vel_field"; the
  /// reading starts as "size" zeros, unpopulated.
  Imu(int index, const json& config_data);

  std::unique_ptr<ISensor> clone() const override;
  bool assign_from(const ISensor& other) override;
  void state_to_measurement(const State& state) override;
  void save_mean(std::vector<Measurement>& measurements, VectorX& weights) override;

  /// The names of the state fields the prediction reads, as configured.
  const std::string& get_state_acc_field() const { return _fields[0]; }
  const std::string& get_state_ang_vel_field() const { return _fields[1]; }
  /// The bias fields, empty when unused.
  const std::string& get_state_accel_bias_field() const { return _corrections[0]; }
  const std::string& get_state_gyro_bias_field() const { return _corrections[1]; }
  /// Sets the bias fields of the constructor from parts (empty for none).
  void set_biases(const std::string& accel_bias, const std::string& gyro_bias);
};

}  // namespace ukf
