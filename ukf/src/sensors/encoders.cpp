#include "ukf/sensors/encoders.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "../kernels.hpp"
#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"

namespace ukf
{

Encoders::Encoders(int index, int size, std::string name, const VectorX& initial_values,
                   const MatrixX& sensor_noise, const std::string& state_vel_field,
                   const std::string& state_ang_vel_field, bool populated)
  : SensorBase(index, size, std::move(name), initial_values, sensor_noise,
               {state_vel_field, state_ang_vel_field}, populated, kNoAngles)
{
}

Encoders::Encoders(int index, const json& config_data)
  : SensorBase(static_cast<int>(index), config_data, {"state_vel_field", "state_ang_vel_field"},
               kNoAngles,
               {"state_speed_scale_field", "state_yaw_rate_scale_field",
                "state_yaw_rate_bias_field"})
{
  // An optional pair of bounds [speed, yaw rate], each a number of at least 0.
  const auto bounds = [&](const char* key, auto&& set) {
    if (!config_data.contains(key)) {
      return;
    }
    const json& pair = config_data.at(key);
    const auto bound = [&](std::size_t i) {
      return pair.is_array() && pair.size() == 2 && pair[i].is_number() ? pair[i].get<double>()
                                                                        : -1.0;
    };
    if (!(bound(0) >= 0.0 && bound(1) >= 0.0)) {
      throw std::runtime_error("Invalid config: \"" + std::string(key) + "\" of sensor \"" + _name +
                               "\" must be two numbers of at least 0, a speed (m/s) and a yaw rate "
                               "(rad/s); got " + pair.dump());
    }
    set(bound(0), bound(1));
  };
  bounds("standstill_within", [this](double v, double w) { set_standstill_within(v, w); });
  bounds("scales_learn_above", [this](double v, double w) { set_scales_learn_above(v, w); });
}

void Encoders::set_standstill_within(double speed, double yaw_rate)
{
  if (!std::isfinite(speed) || !std::isfinite(yaw_rate)) {
    throw std::invalid_argument("sensor \"" + _name + "\": the standstill bounds must be finite");
  }
  _standstill_speed = speed;
  _standstill_yaw_rate = yaw_rate;
  _at_standstill = false;
}

void Encoders::set_scales_learn_above(double speed, double yaw_rate)
{
  if (!std::isfinite(speed) || !std::isfinite(yaw_rate)) {
    throw std::invalid_argument("sensor \"" + _name +
                                "\": the scales' learning bounds must be finite");
  }
  _learn_above[0] = speed;
  _learn_above[1] = yaw_rate;
  _scale_held[0] = _scale_held[1] = false;
}

void Encoders::set_vector(const VectorX& vec)
{
  SensorBase::set_vector(vec);
  _at_standstill = _standstill_speed >= 0.0 && vec.size() >= 2 &&
                   std::abs(vec(0)) <= _standstill_speed && std::abs(vec(1)) <= _standstill_yaw_rate;
  for (Eigen::Index i = 0; i < 2; ++i) {
    _scale_held[i] =
      _learn_above[i] >= 0.0 && vec.size() >= 2 && std::abs(vec(i)) <= _learn_above[i];
  }
}

void Encoders::set_corrections(const std::string& speed_scale, const std::string& yaw_rate_scale,
                               const std::string& yaw_rate_bias)
{
  _corrections = {speed_scale, yaw_rate_scale, yaw_rate_bias};
}

std::unique_ptr<ISensor> Encoders::clone() const { return std::make_unique<Encoders>(*this); }

bool Encoders::assign_from(const ISensor& other) { return assign_same(*this, other); }

void Encoders::state_to_measurement(const State& state)
{
  // The turn rate is the yaw rate, component 2 of the angular velocity: the node fills it from
  // twist.angular.z and the vehicle model turns the heading (about z) with that component.
  VectorX vel;
  detail::read_state_field(state, _name, _fields[0], 1, false, vel);
  VectorX ang;
  detail::read_state_field(state, _name, _fields[1], 3, false, ang);
  VectorX values[3];
  const double* speed_scale = read_correction(state, 0, 1, values[0]);
  const double* yaw_rate_scale = read_correction(state, 1, 1, values[1]);
  const double* yaw_rate_bias = read_correction(state, 2, 1, values[2]);
  if (_at_standstill) {
    // Still read above, so that a missing field is an error whatever the reading.
    speed_scale = yaw_rate_scale = yaw_rate_bias = nullptr;
  }
  detail::check_sensor_at_least(_name, "the reading", _data.size(), 2);
  detail::kernel::predict_encoders(vel, ang, speed_scale, yaw_rate_scale, yaw_rate_bias, _data);
  _is_populated = true;
}

void Encoders::save_mean(std::vector<Measurement>& measurements, VectorX& weights)
{
  const MatrixX columns = detail::reading_columns(_name, measurements, weights, _data.size(), true);
  detail::kernel::linear_mean(columns, weights, 0, _data);
  _is_populated = true;
}

}  // namespace ukf
