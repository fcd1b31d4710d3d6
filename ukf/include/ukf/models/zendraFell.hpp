#pragma once

#include <string>
#include <vector>

#include "ukf/helpers.hpp"
#include "ukf/models/iModel.hpp"

namespace ukf
{

/// The vehicle model ("ZENDRAFELL"): the rigid body of PointMass3D whose body-frame velocity
/// changes with a constant body-frame acceleration "Acceleration3D"; state size 15. Default noise
/// dt * I.
/// A "process_noise" Qc in the model object makes the noise dt * Qc.
class ZendraFell final : public detail::ModelBase
{
public:
  static constexpr std::size_t kStateSize = 15;

  /// Throws std::invalid_argument unless `integrator_step` is a positive finite number.
  ZendraFell(double integrator_step, std::string name);
  /// The same with a process noise Qc (15 x 15; empty for the default).
  ZendraFell(double integrator_step, std::string name, MatrixX process_noise);
  /// From the "model" object: "name", "integrator_step" and the optional "process_noise".
  explicit ZendraFell(const json& config);

  VectorX f(const State& state, double t) const override;
  std::vector<FieldRequirement> required_fields() const override;
};

}  // namespace ukf
