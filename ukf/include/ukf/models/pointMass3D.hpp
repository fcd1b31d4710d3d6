#pragma once

#include <string>
#include <vector>

#include "ukf/helpers.hpp"
#include "ukf/models/iModel.hpp"

namespace ukf
{

/// Rigid body with a constant body-frame velocity and constant Euler-angle rates
/// ("POINT_MASS_3D"): "Position3D", "Orientation3D", "Velocity3D", "AngularVelocity3D",
/// 3 entries each; state size 12. Default noise dt * I.
/// A "process_noise" Qc in the model object makes the noise dt * Qc.
class PointMass3D final : public detail::ModelBase
{
public:
  static constexpr std::size_t kStateSize = 12;

  /// Throws std::invalid_argument unless `integrator_step` is a positive finite number.
  PointMass3D(double integrator_step, std::string name);
  /// The same with a process noise Qc (12 x 12; empty for the default).
  PointMass3D(double integrator_step, std::string name, MatrixX process_noise);
  /// From the "model" object: "name", "integrator_step" and the optional "process_noise".
  explicit PointMass3D(const json& config);

  VectorX f(const State& state, double t) const override;
  std::vector<FieldRequirement> required_fields() const override;
};

}  // namespace ukf
