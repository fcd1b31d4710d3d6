#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "ukf/fields/iField.hpp"
#include "ukf/helpers.hpp"

namespace ukf
{

namespace detail
{

/// What the vector-valued built-in fields hold and do alike: the index, size, name and value,
/// their reading from a field object, and every operation but the displacement and the mean.
class VectorFieldBase : public IField
{
public:
  std::string get_name() const override { return _name; }
  std::size_t get_index() const override { return _index; }
  std::size_t get_size() const override { return _size; }
  VectorX get_vector() const override { return _data; }
  void set_vector(const VectorX& vec) override;
  void set_zero() override { _data.setZero(); }
  void operator+=(const VectorX& other) override { displace(other, false); }
  void operator-=(const VectorX& other) override { displace(other, true); }
  bool has_name(const std::string& name) const override { return _name == name; }
  void read_into(Eigen::Ref<VectorX> out) const override;
  bool assign_from(const IField& other) override;

protected:
  /// Throws std::invalid_argument when `data` does not have `size` entries.
  VectorFieldBase(std::size_t index, std::size_t size, const std::string& name,
                  const VectorX& data);
  /// From a field object: reads "initial_values", "name" and "size", in that order; "size" must
  /// equal the number of initial values ("Invalid config: " otherwise).
  VectorFieldBase(std::size_t index, const json& config);

  std::size_t _index;
  std::size_t _size;
  std::string _name;
  VectorX _data;
};

}  // namespace detail

/// A plain vector block of the state ("GENERIC_FIELD"): ordinary vector arithmetic and a weighted
/// sum as its mean.
class GenericField final : public detail::VectorFieldBase
{
public:
  /// Throws std::invalid_argument when `data` does not have `size` entries.
  GenericField(std::size_t index, std::size_t size, const std::string& name, const VectorX& data);
  /// From a field object: reads "initial_values", "name" and "size", in that order; "size" must
  /// equal the number of initial values ("Invalid config: " otherwise).
  GenericField(std::size_t index, const json& config);

  std::unique_ptr<IField> clone() const override;
  /// Weighted sum of the same-named field over `states` (no division by the weights' sum).
  void save_mean(std::vector<State>& states, VectorX& weights) override;
  void displace(const Eigen::Ref<const VectorX>& d, bool inverse) override;
};

namespace detail
{
/// Reads "initial_values", "name" and "size" (in that order) of a vector-valued field object and
/// checks that the size matches the number of values.
void read_vector_field(std::size_t index, const json& config, std::size_t& size, std::string& name,
                       VectorX& data);
/// The field named `name` of each of `states`, one column each, checked to have `size` entries,
/// and `weights` checked to have an entry per state: what the means of the kernels take.
MatrixX field_columns(const std::string& name, std::vector<State>& states, const VectorX& weights,
                      Eigen::Index size);
}  // namespace detail

}  // namespace ukf
