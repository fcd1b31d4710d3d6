#include "ukf/sensors/PositionSensor.hpp"

#include <algorithm>
#include <utility>

#include "../kernels.hpp"
#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"

namespace ukf
{

PositionSensor::PositionSensor(int index, int size, std::string name, const VectorX& initial_values,
                               const MatrixX& sensor_noise, const std::string& state_pos_field,
                               bool populated)
  : SensorBase(index, size, std::move(name), initial_values, sensor_noise, {state_pos_field},
               populated, kNoAngles)
{
}

PositionSensor::PositionSensor(std::size_t index, const json& config_data)
  : SensorBase(static_cast<int>(index), config_data, {"state_pos_field", nullptr}, kNoAngles)
{
}

std::unique_ptr<ISensor> PositionSensor::clone() const
{
  return std::make_unique<PositionSensor>(*this);
}

bool PositionSensor::assign_from(const ISensor& other) { return assign_same(*this, other); }

void PositionSensor::state_to_measurement(const State& state)
{
  VectorX v;
  detail::read_state_field(state, _name, _fields[0], _size, false, v);
  detail::check_sensor_at_least(_name, "the reading", _data.size(), _size);
  detail::kernel::predict_block(v, _data.head(_size));
  _is_populated = true;
}

void PositionSensor::save_mean(std::vector<Measurement>& measurements, VectorX& weights)
{
  const MatrixX columns = detail::reading_columns(_name, measurements, weights, _data.size(), true);
  detail::kernel::linear_mean(columns, weights, 0, _data);
  _is_populated = true;
}

}  // namespace ukf
