#include "ukf/sensors/imu.hpp"

#include <algorithm>
#include <utility>

#include "../kernels.hpp"
#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"

namespace ukf
{

Imu::Imu(int index, int size, std::string name, const VectorX& initial_values,
         const MatrixX& sensor_noise, const std::string& state_acc_field,
         const std::string& state_ang_vel_field, bool populated)
  : SensorBase(index, size, std::move(name), initial_values, sensor_noise,
               {state_acc_field, state_ang_vel_field}, populated, kNoAngles)
{
}

Imu::Imu(int index, const json& config_data)
  : SensorBase(static_cast<int>(index), config_data, {"state_acc_field", "state_ang_vel_field"},
               kNoAngles, {"state_accel_bias_field", "state_gyro_bias_field", nullptr})
{
}

void Imu::set_biases(const std::string& accel_bias, const std::string& gyro_bias)
{
  _corrections = {accel_bias, gyro_bias, std::string()};
}

std::unique_ptr<ISensor> Imu::clone() const { return std::make_unique<Imu>(*this); }

bool Imu::assign_from(const ISensor& other) { return assign_same(*this, other); }

void Imu::state_to_measurement(const State& state)
{
  VectorX acc;
  detail::read_state_field(state, _name, _fields[0], 3, true, acc);
  VectorX ang;
  detail::read_state_field(state, _name, _fields[1], 3, true, ang);
  VectorX biases[2];
  const double* accel_bias = read_correction(state, 0, 3, biases[0]);
  const double* gyro_bias = read_correction(state, 1, 3, biases[1]);
  detail::check_sensor_at_least(_name, "the reading", _data.size(), 6);
  detail::kernel::predict_imu(acc, ang, accel_bias, gyro_bias, _data);
  _is_populated = true;
}

void Imu::save_mean(std::vector<Measurement>& measurements, VectorX& weights)
{
  const MatrixX columns = detail::reading_columns(_name, measurements, weights, _data.size(), true);
  detail::kernel::linear_mean(columns, weights, 0, _data);
  _is_populated = true;
}

}  // namespace ukf
