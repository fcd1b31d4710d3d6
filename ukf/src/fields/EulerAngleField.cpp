#include "ukf/fields/EulerAngleField.hpp"

#include <cmath>

#include <typeinfo>

#include "../kernels.hpp"
#include "ukf/State.hpp"
#include "ukf/fields/GenericField.hpp"

namespace ukf
{

EulerAngleField::EulerAngleField(std::size_t index, std::size_t size, const std::string& name,
                                 const VectorX& data)
  : _index(index), _size(size), _name(name), _data(data)
{
  detail::check_field_length(_name, "the initial value", _data.size(),
                             static_cast<Eigen::Index>(_size));
}

EulerAngleField::EulerAngleField(std::size_t index, const json& config) : _index(index), _size(0)
{
  detail::read_vector_field(index, config, _size, _name, _data);
}

std::unique_ptr<IField> EulerAngleField::clone() const
{
  return std::make_unique<EulerAngleField>(*this);
}

void EulerAngleField::set_vector(const VectorX& vec)
{
  detail::check_field_length(_name, "set_vector's argument", vec.size(),
                             static_cast<Eigen::Index>(_size));
  _data = vec;
}

void EulerAngleField::save_mean(std::vector<State>& states, VectorX& weights)
{
  const MatrixX columns =
    detail::field_columns(_name, states, weights, static_cast<Eigen::Index>(_size));
  if (_data.size() != columns.rows()) {
    _data.resize(columns.rows());
  }
  detail::kernel::circular_mean(columns, weights, 0, _data);
}

void EulerAngleField::operator+=(const VectorX& other) { displace(other, false); }

void EulerAngleField::operator-=(const VectorX& other) { displace(other, true); }

void EulerAngleField::normalize()
{
  for (Eigen::Index k = 0; k < static_cast<Eigen::Index>(_size); ++k) {
    _data(k) = wrap_angle(_data(k));
  }
}

void EulerAngleField::read_into(Eigen::Ref<VectorX> out) const
{
  detail::check_field_length(_name, "the destination", out.size(), _data.size());
  // Plain loops: the blocks are a few entries long, too short for vectorised assignment to pay.
  for (Eigen::Index i = 0; i < _data.size(); ++i) {
    out[i] = _data[i];
  }
}

void EulerAngleField::displace(const Eigen::Ref<const VectorX>& d, bool inverse)
{
  detail::check_field_length(_name, "the displacement", d.size(), _data.size());
  detail::kernel::add_angles(_data, d, inverse);
}

bool EulerAngleField::assign_from(const IField& other)
{
  if (typeid(other) != typeid(*this)) {
    return false;
  }
  const auto& same = static_cast<const EulerAngleField&>(other);
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

}  // namespace ukf
