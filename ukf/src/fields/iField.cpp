#include "ukf/fields/iField.hpp"

#include <stdexcept>

namespace ukf
{

bool IField::has_name(const std::string& name) const { return get_name() == name; }

void IField::read_into(Eigen::Ref<VectorX> out) const
{
  const VectorX v = get_vector();
  detail::check_field_length(get_name(), "the destination", out.size(), v.size());
  out = v;
}

void IField::displace(const Eigen::Ref<const VectorX>& d, bool inverse)
{
  const VectorX v = d;
  if (inverse) {
    *this -= v;
  } else {
    *this += v;
  }
}

bool IField::assign_from(const IField&) { return false; }

namespace detail
{

void check_field_length(const std::string& field, const char* what, Eigen::Index actual,
                        Eigen::Index expected)
{
  if (actual != expected) {
    throw std::invalid_argument(std::string(what) + " of field \"" + field + "\" has " +
                                config::entries(actual) + ", expected " +
                                std::to_string(expected));
  }
}

void check_weights(const std::string& owner, Eigen::Index weights, std::size_t items)
{
  if (weights < static_cast<Eigen::Index>(items)) {
    throw std::invalid_argument("save_mean of " + owner + ": " + std::to_string(weights) +
                                " weights for " + std::to_string(items) + " sigma points");
  }
}

}  // namespace detail
}  // namespace ukf
