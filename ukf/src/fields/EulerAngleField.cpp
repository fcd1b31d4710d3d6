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
  : VectorFieldBase(index, size, name, data)
{
}

EulerAngleField::EulerAngleField(std::size_t index, const json& config)
  : VectorFieldBase(index, config)
{
}

std::unique_ptr<IField> EulerAngleField::clone() const
{
  return std::make_unique<EulerAngleField>(*this);
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

void EulerAngleField::normalize() { detail::kernel::wrap(_data); }

void EulerAngleField::displace(const Eigen::Ref<const VectorX>& d, bool inverse)
{
  detail::check_field_length(_name, "the displacement", d.size(), _data.size());
  detail::kernel::add_angles(_data, d, inverse);
}

}  // namespace ukf
