#pragma once

#include <string>
#include <vector>

#include "ukf/helpers.hpp"
#include "ukf/models/iModel.hpp"

namespace ukf
{

/// Constant-velocity point in the plane ("POINT_MASS_2D"): fields "Position2D" and
/// "Velocity2D", 2 entries each; state size 4. Default noise 0.2 * dt * I.
/// A "process_noise" Qc in the model object makes the noise dt * Qc.
class PointMass2D final : public detail::ModelBase
{
public:
  static constexpr std::size_t kStateSize = 4;

  /// Throws std::invalid_argument unless `integrator_step` is a positive finite number.
  PointMass2D(double integrator_step, std::string name);
  /// The same with a process noise Qc (4 x 4; empty for the default).
  PointMass2D(double integrator_step, std::string name, MatrixX process_noise);
  /// From the "model" object: "name", "integrator_step" and the optional "process_noise".
  explicit PointMass2D(const json& config);

  VectorX f(const State& state, double t) const override;
  std::vector<FieldRequirement> required_fields() const override;
};

}  // namespace ukf
