#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "ukf/helpers.hpp"

namespace ukf
{

class State;

/// One named block of the state vector. A field decides what displacement, difference and mean
/// mean for its quantity; the state container only cuts the flat vector into blocks.
///
/// Contract: every vector a field receives or returns is its own block of get_size() entries;
/// save_mean finds the field in each state by name; fields are copied only through clone();
/// get_index() and get_size() never change. Violations of the length contract throw
/// std::invalid_argument naming the field and both sizes.
class IField
{
public:
  /// Deep copy of the concrete field.
  virtual std::unique_ptr<IField> clone() const = 0;
  virtual std::string get_name() const = 0;
  /// Position of the field's first entry in the state vector.
  virtual std::size_t get_index() const = 0;
  /// Number of entries the field occupies in the state vector.
  virtual std::size_t get_size() const = 0;
  virtual VectorX get_vector() const = 0;
  virtual void set_vector(const VectorX& vec) = 0;
  /// The field's zero (for rotations, the identity).
  virtual void set_zero() = 0;
  /// Becomes the weighted mean of the same-named field over `states`; weights are used as given.
  virtual void save_mean(std::vector<State>& states, VectorX& weights) = 0;
  /// Applies a displacement of get_size() entries.
  virtual void operator+=(const VectorX& other) = 0;
  /// Removes a displacement; differences are formed as copy, -= other's vector, get_vector().
  virtual void operator-=(const VectorX& other) = 0;

  virtual ~IField() = default;

  // Operations beyond the ten above. Each has a default written with those ten, so a field that
  // implements only them still works; the built-in fields override them so that the filter's inner
  // loops run without heap allocation.

  /// Whether get_name() equals `name`.
  virtual bool has_name(const std::string& name) const;
  /// Writes get_vector() into `out`, which has get_size() entries.
  virtual void read_into(Eigen::Ref<VectorX> out) const;
  /// `+=` (or `-=` when `inverse`) with a block given as a view into a larger vector.
  virtual void displace(const Eigen::Ref<const VectorX>& d, bool inverse);
  /// Makes this field an exact copy of `other` when both are of the same concrete class and
  /// returns true; otherwise changes nothing and returns false (the caller then clones).
  virtual bool assign_from(const IField& other);

protected:
  IField() = default;
  IField(const IField&) = default;
  IField& operator=(const IField&) = default;
};

namespace detail
{
/// Throws std::invalid_argument unless `actual` == `expected`: "<what> of field "<name>" has
/// <actual> entries, expected <expected>".
void check_field_length(const std::string& field, const char* what, Eigen::Index actual,
                        Eigen::Index expected);
/// Throws std::invalid_argument when there are fewer weights than states.
void check_weights(const std::string& owner, Eigen::Index weights, std::size_t items);
}  // namespace detail

}  // namespace ukf
