#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "ukf/fields/GenericField.hpp"
#include "ukf/fields/iField.hpp"
#include "ukf/helpers.hpp"

namespace ukf
{

/// Angles in radians ("EULER_ANGLES"), typically roll, pitch and yaw. Every displacement wraps
/// the angles into [-pi, pi); the mean is the per-angle circular mean. set_vector and the
/// constructors store angles as given, unwrapped.
class EulerAngleField final : public detail::VectorFieldBase
{
public:
  /// Throws std::invalid_argument when `data` does not have `size` entries.
  EulerAngleField(std::size_t index, std::size_t size, const std::string& name,
                  const VectorX& data);
  /// From a field object, read exactly as a generic field.
  EulerAngleField(std::size_t index, const json& config);

  std::unique_ptr<IField> clone() const override;
  /// Per-angle atan2 of the weighted sine sum over the weighted cosine sum, then wrapped.
  void save_mean(std::vector<State>& states, VectorX& weights) override;
  /// Adds, then wraps; subtracting gives the shortest signed angle, in [-pi, pi).
  void displace(const Eigen::Ref<const VectorX>& d, bool inverse) override;

  /// Wraps every angle into [-pi, pi).
  void normalize();
};

}  // namespace ukf
