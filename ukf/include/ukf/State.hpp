#pragma once

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "ukf/fields/iField.hpp"
#include "ukf/helpers.hpp"

namespace ukf
{

/// The filter's state: an ordered list of named, typed fields laid end to end as one flat vector.
/// Every operation goes field by field, so each field applies its own arithmetic (angle wrap,
/// rotation composition). Copies are deep. Slices are cut at each field's own get_index() and
/// get_size(); a vector too short for a field's slice throws std::invalid_argument naming the
/// field and both sizes.
class State
{
public:
  State();
  /// Builds the fields from the array under "fields" of the "initial_state" object, each placed at
  /// the running state size.
  explicit State(const json& config_data);
  State(const State& other);
  /// Keeps the existing field objects when `other` has the same structure, so that copying one
  /// sigma point over another allocates nothing.
  State& operator=(const State& other);
  State(State&& other) noexcept;
  State& operator=(State&& other) noexcept;
  ~State();

  std::size_t size() const { return _size; }
  std::size_t number_of_fields() const { return _fields.size(); }
  /// The first field named `name`; throws std::runtime_error "Field not found: <name>".
  const IField& field(const std::string& name) const;
  /// The first field named `name`, or null when there is none.
  const IField* find_field(const std::string& name) const;
  /// The same lookup, trying position `hint` first and storing the position found there: a caller
  /// that reads the same names from many states of one layout (the sigma points) then compares
  /// one name per lookup.
  const IField& field(const std::string& name, std::size_t& hint) const;
  /// The field at position i; throws std::out_of_range past the last field.
  const IField& field(std::size_t i) const;
  IField& field(std::size_t i);
  /// Appends a field, user-defined or built-in, after the last one. Its get_index() must be the
  /// current size() (fields lie end to end); otherwise std::invalid_argument, nothing changed.
  void add_field(std::unique_ptr<IField> field);
  /// get_vector() of the first field named `name` ("Field not found: <name>" if none).
  VectorX operator[](const std::string& name) const;
  /// get_vector() of the field at position i (std::out_of_range past the last field).
  VectorX operator[](std::size_t i) const;
  /// The state vector: each field's vector at its index; entries no field covers are 0.
  VectorX get_vector() const;
  /// The same into `out`, resized to size() (no allocation when it already has that size).
  void get_vector_into(VectorX& out) const;

  /// Each field takes its slice of `state`; entries past the last field are not read.
  void set_vector(const VectorX& state);
  void set_zero();
  /// Each field becomes the weighted mean of its same-named counterparts in `states`.
  void save_mean(std::vector<State>& states, VectorX& weights);

  State& operator+=(const VectorX& other);
  State& operator-=(const VectorX& other);
  State operator+(const VectorX& other) const;
  State operator-(const VectorX& other) const;
  /// Field i += the whole vector of other's field i.
  State& operator+=(const State& other);
  State& operator-=(const State& other);
  State operator+(State& other);
  State operator-(State& other);

  /// `+=` (or `-=` when `inverse`) with a view of a full-length vector, such as a matrix column.
  void displace(const Eigen::Ref<const VectorX>& other, bool inverse);

  /// Writes one line per field: name, index, size and values.
  void print(std::ostream& os) const;
  void print() const;

private:
  void apply_state(const State& other, bool inverse);
  void check_slice(const IField& f, Eigen::Index length, const char* what) const;

  std::vector<std::unique_ptr<IField>> _fields;
  std::size_t _size;
};

/// A copy of `rhs` displaced by `lhs`: the same value as rhs + lhs.
State operator+(VectorX lhs, State& rhs);
/// A copy of `rhs` set to `lhs`, then -= rhs: field by field, lhs's slice minus rhs's value by
/// that field's subtraction rule.
State operator-(const VectorX& lhs, State& rhs);

}  // namespace ukf
