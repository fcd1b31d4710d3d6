#include "ukf/factories.hpp"

#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "ukf/fields/AngleAxisField.hpp"
#include "ukf/fields/EulerAngleField.hpp"
#include "ukf/fields/GenericField.hpp"
#include "ukf/models/pointMass2D.hpp"
#include "ukf/models/pointMass3D.hpp"
#include "ukf/models/zendraFell.hpp"
#include "ukf/sensors/OrientationSensor.hpp"
#include "ukf/sensors/PositionSensor.hpp"
#include "ukf/sensors/VO.hpp"
#include "ukf/sensors/encoders.hpp"
#include "ukf/sensors/imu.hpp"

namespace ukf
{

namespace
{

using FieldCreator = std::function<std::unique_ptr<IField>(std::size_t, const json&)>;
using ModelCreator = std::function<std::unique_ptr<IModel>(const json&)>;
using SensorCreator = std::function<std::unique_ptr<ISensor>(std::size_t, const json&)>;

template <typename T>
std::unique_ptr<IField> make_field(std::size_t index, const json& config)
{
  return std::make_unique<T>(index, config);
}

template <typename T>
std::unique_ptr<IModel> make_model(const json& config)
{
  return std::make_unique<T>(config);
}

template <typename T>
std::unique_ptr<ISensor> make_sensor(std::size_t index, const json& config)
{
  if (index > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw std::runtime_error("Invalid config: the sensors' sizes add up past the largest int");
  }
  return std::make_unique<T>(static_cast<int>(index), config);
}

}  // namespace

// The creator tables: built before main runs, only read afterwards.
static const std::unordered_map<std::string, FieldCreator> string_to_field_creator_map = {
  {"GENERIC_FIELD", make_field<GenericField>},
  {"EULER_ANGLES", make_field<EulerAngleField>},
  {"ANGLE_AXIS", make_field<AngleAxisField>},
};

static const std::unordered_map<std::string, ModelCreator> string_to_model_creator_map = {
  {"POINT_MASS_2D", make_model<PointMass2D>},
  {"POINT_MASS_3D", make_model<PointMass3D>},
  {"ZENDRAFELL", make_model<ZendraFell>},
};

static const std::unordered_map<std::string, SensorCreator> string_to_sensor_creator_map = {
  {"POSITION_SENSOR", make_sensor<PositionSensor>},
  {"ORIENTATION_SENSOR", make_sensor<OrientationSensor>},
  {"ENCODERS", make_sensor<Encoders>},
  {"VO", make_sensor<VO>},
  {"IMU", make_sensor<Imu>},
};

std::unique_ptr<IField> create_field_from_json(std::size_t index, const json& config)
{
  const std::string where = config::describe(config, "field", "state index", index);
  const std::string type = config::require(config, "type", where).get<std::string>();
  const auto it = string_to_field_creator_map.find(type);
  if (it == string_to_field_creator_map.end()) {
    throw std::runtime_error("Unknown field type: " + type);
  }
  return it->second(index, config);
}

std::unique_ptr<IModel> create_model_from_json(const json& config)
{
  const std::string type = config::require(config, "type", "\"model\"").get<std::string>();
  const auto it = string_to_model_creator_map.find(type);
  if (it == string_to_model_creator_map.end()) {
    throw std::runtime_error("Unknown model type: " + type);
  }
  return it->second(config);
}

std::unique_ptr<ISensor> create_sensor_from_json(std::size_t index, const json& config)
{
  const std::string where = config::describe(config, "sensor", "measurement index", index);
  const std::string type = config::require(config, "type", where).get<std::string>();
  const auto it = string_to_sensor_creator_map.find(type);
  if (it == string_to_sensor_creator_map.end()) {
    throw std::runtime_error("Unknown sensor type: " + type);
  }
  return it->second(index, config);
}

}  // namespace ukf
