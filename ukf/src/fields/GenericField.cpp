#include "ukf/fields/GenericField.hpp"

#include <stdexcept>

#include <typeinfo>

#include "../kernels.hpp"
#include "ukf/State.hpp"

namespace ukf
{

namespace detail
{

void read_vector_field(std::size_t index, const json& config, std::size_t& size, std::string& name,
                       VectorX& data)
{
  const std::string where = config::describe(config, "field", "state index", index);
  data = config::to_vector(config::require(config, "initial_values", where),
                           "\"initial_values\" of " + where);
  name = config::read_name(config, where);
  const int configured = config::read_size(config, where);
  if (configured != data.size()) {
    throw std::runtime_error("Invalid config: \"size\" of " + where + " is " +
                             std::to_string(configured) + " but \"initial_values\" has " +
                             config::entries(static_cast<std::size_t>(data.size())));
  }
  size = static_cast<std::size_t>(configured);
}

MatrixX field_columns(const std::string& name, std::vector<State>& states, const VectorX& weights,
                      Eigen::Index size)
{
  check_weights("field \"" + name + "\"", weights.size(), states.size());
  MatrixX columns(size, static_cast<Eigen::Index>(states.size()));
  for (std::size_t i = 0; i < states.size(); ++i) {
    const IField& other = states[i].field(name);
    check_field_length(name, "a sigma point's value", static_cast<Eigen::Index>(other.get_size()),
                       size);
    other.read_into(columns.col(static_cast<Eigen::Index>(i)));
  }
  return columns;
}

VectorFieldBase::VectorFieldBase(std::size_t index, std::size_t size, const std::string& name,
                                 const VectorX& data)
  : _index(index), _size(size), _name(name), _data(data)
{
  check_field_length(_name, "the initial value", _data.size(), static_cast<Eigen::Index>(_size));
}

VectorFieldBase::VectorFieldBase(std::size_t index, const json& config) : _index(index), _size(0)
{
  read_vector_field(index, config, _size, _name, _data);
}

void VectorFieldBase::set_vector(const VectorX& vec)
{
  check_field_length(_name, "set_vector's argument", vec.size(), static_cast<Eigen::Index>(_size));
  _data = vec;
}

void VectorFieldBase::read_into(Eigen::Ref<VectorX> out) const
{
  check_field_length(_name, "the destination", out.size(), _data.size());
  // Plain loops: the blocks are a few entries long, too short for vectorised assignment to pay.
  for (Eigen::Index i = 0; i < _data.size(); ++i) {
    out[i] = _data[i];
  }
}

bool VectorFieldBase::assign_from(const IField& other)
{
  // The derived classes add no members: a field of the same class is copied through the base.
  if (typeid(other) != typeid(*this)) {
    return false;
  }
  const auto& same = static_cast<const VectorFieldBase&>(other);
  _index = same._index;
  _size = same._size;
  if (_name != same._name) {
    _name = same._name;
  }
  if (_data.size() == same._data.size()) {
    for (Eigen::Index i = 0; i < _data.size(); ++i) {
      _data[i] = same._data[i];
    }
  } else {
    _data = same._data;
  }
  return true;
}

}  // namespace detail

GenericField::GenericField(std::size_t index, std::size_t size, const std::string& name,
                           const VectorX& data)
  : VectorFieldBase(index, size, name, data)
{
}

GenericField::GenericField(std::size_t index, const json& config) : VectorFieldBase(index, config)
{
}

std::unique_ptr<IField> GenericField::clone() const
{
  return std::make_unique<GenericField>(*this);
}

void GenericField::save_mean(std::vector<State>& states, VectorX& weights)
{
  const MatrixX columns = detail::field_columns(_name, states, weights, _data.size());
  detail::kernel::linear_mean(columns, weights, 0, _data);
}

void GenericField::displace(const Eigen::Ref<const VectorX>& d, bool inverse)
{
  detail::check_field_length(_name, "the displacement", d.size(), _data.size());
  detail::kernel::add(_data, d, inverse);
}

}  // namespace ukf
