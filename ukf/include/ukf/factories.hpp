#pragma once

#include <cstddef>
#include <memory>

#include "ukf/fields/iField.hpp"
#include "ukf/helpers.hpp"
#include "ukf/models/iModel.hpp"
#include "ukf/sensors/iSensor.hpp"

namespace ukf
{

/// A new field of the type named by config's "type" ("GENERIC_FIELD", "EULER_ANGLES",
/// "ANGLE_AXIS"), placed at state index `index`. Throws "Unknown field type: <type>".
std::unique_ptr<IField> create_field_from_json(std::size_t index, const json& config);

/// A new process model of the type named by "type" ("POINT_MASS_2D", "POINT_MASS_3D",
/// "ZENDRAFELL"). Throws "Unknown model type: <type>".
std::unique_ptr<IModel> create_model_from_json(const json& config);

/// A new sensor of the type named by "type" ("POSITION_SENSOR", "ORIENTATION_SENSOR", "ENCODERS",
/// "VO", "IMU") at offset `index` of the full measurement layout. Throws
/// "Unknown sensor type: <type>".
std::unique_ptr<ISensor> create_sensor_from_json(std::size_t index, const json& config);

}  // namespace ukf
