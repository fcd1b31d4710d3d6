#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <Eigen/Geometry>

#include "ukf/fields/iField.hpp"
#include "ukf/helpers.hpp"

namespace ukf
{

/// A 3-D orientation held as a rotation ("ANGLE_AXIS"). Its vector form is the rotation vector
/// angle * axis (radians). Displacements compose on the right by the Hamilton quaternion product
/// (they act in the field's own frame); the mean is the weighted quaternion mean, the eigenvector
/// of the largest eigenvalue of sum(w_i q_i q_i^T).
class AngleAxisField final : public IField
{
public:
  using AngleAxis = Eigen::AngleAxis<double>;

  /// Throws std::invalid_argument unless `size` is 3.
  AngleAxisField(std::size_t index, std::size_t size, std::string& name, AngleAxis& data);
  /// From a field object: reads "size" (must be 3), "name" and "initial_values" (a rotation
  /// vector of 3 entries), in that order.
  AngleAxisField(std::size_t index, const json& config_data);

  std::unique_ptr<IField> clone() const override;
  std::string get_name() const override { return _name; }
  std::size_t get_index() const override { return _index; }
  std::size_t get_size() const override { return _size; }
  /// The rotation vector angle * axis.
  VectorX get_vector() const override;
  /// Stores the rotation of the rotation vector `vec` as given (angle = |vec|).
  void set_vector(const VectorX& vec) override;
  /// The identity: angle 0 about (1, 0, 0).
  void set_zero() override;
  void save_mean(std::vector<State>& states, VectorX& weights) override;
  /// this = this (x) rotation(other); the stored angle is then in [0, pi].
  void operator+=(const VectorX& other) override;
  /// this = this (x) conjugate(rotation(other)); undoes += with the same vector.
  void operator-=(const VectorX& other) override;

  /// The stored rotation.
  AngleAxis get_rotation() const { return _data; }

  bool has_name(const std::string& name) const override { return _name == name; }
  void read_into(Eigen::Ref<VectorX> out) const override;
  void displace(const Eigen::Ref<const VectorX>& d, bool inverse) override;
  bool assign_from(const IField& other) override;

private:
  std::size_t _index;
  std::size_t _size;
  std::string _name;
  AngleAxis _data;
};

}  // namespace ukf
