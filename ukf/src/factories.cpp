#include "ukf/factories.hpp"

#include <algorithm>
#include <cctype>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

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
  const std::string type = config::read_string(config, "type", where);
  const auto it = string_to_field_creator_map.find(type);
  if (it == string_to_field_creator_map.end()) {
    std::vector<std::string> known;
    for (const auto& [name, creator] : string_to_field_creator_map) {
      known.push_back(name);
    }
    throw std::runtime_error("Unknown field type: " + type + config::did_you_mean(type, known));
  }
  return it->second(index, config);
}

std::unique_ptr<IModel> create_model_from_json(const json& config)
{
  const std::string type = config::read_string(config, "type", "\"model\"");
  const auto it = string_to_model_creator_map.find(type);
  if (it == string_to_model_creator_map.end()) {
    std::vector<std::string> known;
    for (const auto& [name, creator] : string_to_model_creator_map) {
      known.push_back(name);
    }
    throw std::runtime_error("Unknown model type: " + type + config::did_you_mean(type, known));
  }
  return it->second(config);
}

std::unique_ptr<ISensor> create_sensor_from_json(std::size_t index, const json& config)
{
  const std::string where = config::describe(config, "sensor", "measurement index", index);
  const std::string type = config::read_string(config, "type", where);
  const auto it = string_to_sensor_creator_map.find(type);
  if (it == string_to_sensor_creator_map.end()) {
    std::vector<std::string> known;
    for (const auto& [name, creator] : string_to_sensor_creator_map) {
      known.push_back(name);
    }
    throw std::runtime_error("Unknown sensor type: " + type + config::did_you_mean(type, known));
  }
  return it->second(index, config);
}

namespace config
{

namespace
{

using Keys = std::vector<std::string>;

// The keys each reader knows. A field and a model of any type read the same keys; a sensor reads
// the common four and the state fields its prediction uses.
const Keys kTopKeys = {"initial_state", "initial_covariance", "model", "measurement", "filter"};
const Keys kStateKeys = {"fields"};
const Keys kMeasurementKeys = {"sensors"};
const Keys kFilterKeys = {"alpha", "beta", "kappa"};
const Keys kFieldKeys = {"type", "name", "size", "initial_values"};
const Keys kModelKeys = {"type", "name", "integrator_step", "process_noise", "random_walk"};
const Keys kSensorKeys = {"type", "name", "size", "noise"};
const std::unordered_map<std::string, Keys> kSensorFieldKeys = {
  {"POSITION_SENSOR", {"state_pos_field"}},
  {"ORIENTATION_SENSOR", {"state_orientation_field"}},
  {"ENCODERS",
   {"state_vel_field", "state_ang_vel_field", "state_speed_scale_field",
    "state_yaw_rate_scale_field", "state_yaw_rate_bias_field", "standstill_within",
    "scales_learn_above"}},
  {"VO", {"state_pos_field", "state_orient_field"}},
  {"IMU",
   {"state_acc_field", "state_ang_vel_field", "state_accel_bias_field", "state_gyro_bias_field"}},
};

std::string lower(std::string s)
{
  for (char& c : s) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return s;
}

// Levenshtein distance, giving up (returning limit + 1) once it must exceed `limit`.
std::size_t edit_distance(const std::string& a, const std::string& b, std::size_t limit)
{
  if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) {
    return limit + 1;
  }
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) {
    row[j] = j;
  }
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    std::size_t best = row[0];
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
      best = std::min(best, row[j]);
    }
    if (best > limit) {
      return limit + 1;
    }
  }
  return row[b.size()];
}

// The known key a misspelt one was most likely meant to be: the same but for case, or the nearest
// within two edits; empty when none is that close.
std::string suggestion(const std::string& key, const Keys& known)
{
  std::string best;
  std::size_t best_distance = 3;
  for (const std::string& k : known) {
    const std::size_t d = lower(k) == lower(key) ? 0 : edit_distance(key, k, 2);
    if (d < best_distance) {
      best = k;
      best_distance = d;
    }
  }
  return best;
}

void check_object(const json& obj, const Keys& known, const std::string& where,
                  std::vector<std::string>& found)
{
  if (!obj.is_object()) {
    return;
  }
  for (auto it = obj.begin(); it != obj.end(); ++it) {
    if (std::find(known.begin(), known.end(), it.key()) != known.end()) {
      continue;
    }
    std::string message = "unknown key \"" + it.key() + "\" in " + where;
    const std::string close = suggestion(it.key(), known);
    if (!close.empty()) {
      message += ": did you mean \"" + close + "\"?";
    }
    found.push_back(message);
  }
}

const json* member(const json& obj, const char* key)
{
  if (!obj.is_object()) {
    return nullptr;
  }
  const auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}

}  // namespace

std::vector<std::string> unknown_keys(const json& config)
{
  std::vector<std::string> found;
  check_object(config, kTopKeys, "the configuration", found);
  if (const json* state = member(config, "initial_state")) {
    check_object(*state, kStateKeys, "\"initial_state\"", found);
    const json* fields = member(*state, "fields");
    if (fields != nullptr && fields->is_array()) {
      for (std::size_t i = 0; i < fields->size(); ++i) {
        const json& field = (*fields)[i];
        check_object(field, kFieldKeys, describe(field, "field", "state index", i), found);
      }
    }
  }
  if (const json* model = member(config, "model")) {
    const json* name = member(*model, "name");
    const std::string where = name != nullptr && name->is_string()
                                ? "model \"" + name->get<std::string>() + "\""
                                : std::string("\"model\"");
    check_object(*model, kModelKeys, where, found);
  }
  if (const json* measurement = member(config, "measurement")) {
    check_object(*measurement, kMeasurementKeys, "\"measurement\"", found);
    const json* sensors = member(*measurement, "sensors");
    if (sensors != nullptr && sensors->is_array()) {
      for (std::size_t i = 0; i < sensors->size(); ++i) {
        const json& sensor = (*sensors)[i];
        Keys known = kSensorKeys;
        const json* type = member(sensor, "type");
        if (type != nullptr && type->is_string()) {
          const auto it = kSensorFieldKeys.find(type->get<std::string>());
          if (it == kSensorFieldKeys.end()) {
            continue;  // an unknown type: the loader names it
          }
          known.insert(known.end(), it->second.begin(), it->second.end());
        }
        check_object(sensor, known, describe(sensor, "sensor", "measurement index", i), found);
      }
    }
  }
  if (const json* filter = member(config, "filter")) {
    check_object(*filter, kFilterKeys, "\"filter\"", found);
  }
  return found;
}

void reject_unknown_keys(const json& config)
{
  const std::vector<std::string> found = unknown_keys(config);
  if (found.empty()) {
    return;
  }
  std::string message = "Invalid config: ";
  for (std::size_t i = 0; i < found.size(); ++i) {
    message += (i == 0 ? "" : "; ") + found[i];
  }
  throw std::runtime_error(message);
}

std::string did_you_mean(const std::string& name, const std::vector<std::string>& known)
{
  const std::string close = suggestion(name, known);
  // A name no longer than the edits it takes to reach another is no evidence of a typo.
  if (close.empty() || (lower(close) != lower(name) && edit_distance(name, close, 2) >= name.size())) {
    return {};
  }
  return " (did you mean \"" + close + "\"?)";
}

std::string entries(std::size_t n)
{
  return std::to_string(n) + (n == 1 ? " entry" : " entries");
}

}  // namespace config

}  // namespace ukf
