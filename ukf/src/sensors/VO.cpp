#include "ukf/sensors/VO.hpp"

#include <algorithm>
#include <utility>

#include "../kernels.hpp"
#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"

namespace ukf
{

VO::VO(int index, int size, std::string name, const VectorX& initial_values,
       const MatrixX& sensor_noise, const std::string& state_pos_field,
       const std::string& state_orient_field, bool populated)
  : SensorBase(index, size, std::move(name), initial_values, sensor_noise,
               {state_pos_field, state_orient_field}, populated, 3)
{
}

VO::VO(int index, const json& config_data)
  : SensorBase(static_cast<int>(index), config_data, {"state_pos_field", "state_orient_field"}, 3)
{
}

std::unique_ptr<ISensor> VO::clone() const { return std::make_unique<VO>(*this); }

bool VO::assign_from(const ISensor& other) { return assign_same(*this, other); }

void VO::state_to_measurement(const State& state)
{
  VectorX pos;
  detail::read_state_field(state, _name, _fields[0], 3, true, pos);
  VectorX orient;
  detail::read_state_field(state, _name, _fields[1], 3, true, orient);
  detail::check_sensor_at_least(_name, "the reading", _data.size(), 6);
  detail::kernel::predict_pair(pos, orient, _data);
  _is_populated = true;
}

void VO::save_mean(std::vector<Measurement>& measurements, VectorX& weights)
{
  detail::check_weights("sensor \"" + _name + "\"", weights.size(), measurements.size());
  detail::check_sensor_at_least(_name, "the reading", _data.size(), std::max(_size, 6));
  const MatrixX columns = detail::reading_columns(_name, measurements, weights, 6, false);
  _data.setZero();
  detail::kernel::linear_mean(columns, weights, 0, _data.head(3));
  detail::kernel::circular_mean(columns, weights, 3, _data.segment(3, 3));
  normalize();
  _is_populated = true;
}

}  // namespace ukf
