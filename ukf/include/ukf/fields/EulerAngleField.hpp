#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "ukf/fields/iField.hpp"
#include "ukf/helpers.hpp"

namespace ukf
{

/// Angles in radians ("EULER_ANGLES"), typically roll, pitch and yaw. Every displacement wraps
/// the angles into [-pi, pi); the mean is the per-angle circular mean. set_vector and the
/// constructors store angles as given, unwrapped.
class EulerAngleField final : public IField
{
public:
  /// Throws std::invalid_argument when `data` does not have `size` entries.
  EulerAngleField(std::size_t index, std::size_t size, const std::string& name,
                  const VectorX& data);
  /// From a field object, read exactly as a generic field.
  EulerAngleField(std::size_t index, const json& config);

  std::unique_ptr<IField> clone() const override;
  std::string get_name() const override { return _name; }
  std::size_t get_index() const override { return _index; }
  std::size_t get_size() const override { return _size; }
  VectorX get_vector() const override { return _data; }
  void set_vector(const VectorX& vec) override;
  void set_zero() override { _data.setZero(); }
  /// Per-angle atan2 of the weighted sine sum over the weighted cosine sum, then wrapped.
  void save_mean(std::vector<State>& states, VectorX& weights) override;
  /// Adds, then wraps.
  void operator+=(const VectorX& other) override;
  /// Subtracts, then wraps: a difference is the shortest signed angle, in [-pi, pi).
  void operator-=(const VectorX& other) override;

  /// Wraps every angle into [-pi, pi).
  void normalize();

  bool has_name(const std::string& name) const override { return _name == name; }
  void read_into(Eigen::Ref<VectorX> out) const override;
  void displace(const Eigen::Ref<const VectorX>& d, bool inverse) override;
  bool assign_from(const IField& other) override;

private:
  std::size_t _index;
  std::size_t _size;
  std::string _name;
  VectorX _data;
};

}  // namespace ukf
