#include "ukf/sensors/OrientationSensor.hpp"

#include <algorithm>
#include <utility>

#include "../kernels.hpp"
#include "ukf/Measurement.hpp"
#include "ukf/State.hpp"

namespace ukf
{

OrientationSensor::OrientationSensor(int index, int size, std::string name,
                                     const VectorX& initial_values, const MatrixX& sensor_noise,
                                     const std::string& state_orient_field, bool populated)
  : SensorBase(index, size, std::move(name), initial_values, sensor_noise, {state_orient_field},
               populated, 0)
{
}

OrientationSensor::OrientationSensor(int index, const json& config_data)
  : SensorBase(static_cast<int>(index), config_data, {"state_orientation_field", nullptr}, 0)
{
}

std::unique_ptr<ISensor> OrientationSensor::clone() const
{
  return std::make_unique<OrientationSensor>(*this);
}

bool OrientationSensor::assign_from(const ISensor& other) { return assign_same(*this, other); }

void OrientationSensor::state_to_measurement(const State& state)
{
  // The reading takes the field's whole vector, so the field must have exactly get_size() angles.
  VectorX v;
  detail::read_state_field(state, _name, _fields[0], _size, true, v);
  if (_data.size() != v.size()) {
    _data.resize(v.size());
  }
  detail::kernel::predict_block(v, _data);
  _is_populated = true;
}

void OrientationSensor::save_mean(std::vector<Measurement>& measurements, VectorX& weights)
{
  detail::check_sensor_at_least(_name, "the reading", _data.size(), _size);
  const MatrixX columns = detail::reading_columns(_name, measurements, weights, _size, false);
  _data.setZero();
  detail::kernel::circular_mean(columns, weights, 0, _data.head(_size));
  normalize();
  _is_populated = true;
}

}  // namespace ukf
