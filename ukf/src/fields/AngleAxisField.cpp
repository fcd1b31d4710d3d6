#include "ukf/fields/AngleAxisField.hpp"

#include <cmath>
#include <stdexcept>

#include <Eigen/Eigenvalues>

#include <typeinfo>

#include "../kernels.hpp"
#include "rotation.hpp"
#include "ukf/State.hpp"

namespace ukf
{

namespace detail
{

AngleAxis from_rotation_vector(const Eigen::Vector3d& v)
{
  const double angle = v.norm();
  if (angle > 0.0) {
    return AngleAxis(angle, v / angle);
  }
  return AngleAxis(0.0, v);
}

Quat to_quaternion(const AngleAxis& r)
{
  const double half = r.angle() / 2.0;
  const double s = std::sin(half);
  return Quat(std::cos(half), s * r.axis()(0), s * r.axis()(1), s * r.axis()(2));
}

AngleAxis from_quaternion(const Quat& q)
{
  const Eigen::Vector3d xyz = q.tail<3>();
  const double n = xyz.norm();
  if (n != 0.0) {
    const double angle = 2.0 * std::atan2(n, std::abs(q(0)));
    Eigen::Vector3d axis = xyz / n;
    if (q(0) < 0.0) {
      axis = -axis;
    }
    return AngleAxis(angle, axis);
  }
  return AngleAxis(0.0, Eigen::Vector3d::UnitX());
}

Quat hamilton(const Quat& a, const Quat& b)
{
  return Quat(a(0) * b(0) - a(1) * b(1) - a(2) * b(2) - a(3) * b(3),
              a(0) * b(1) + a(1) * b(0) + a(2) * b(3) - a(3) * b(2),
              a(0) * b(2) + a(2) * b(0) + a(3) * b(1) - a(1) * b(3),
              a(0) * b(3) + a(3) * b(0) + a(1) * b(2) - a(2) * b(1));
}

AngleAxis composed(const AngleAxis& r, const Eigen::Ref<const Eigen::VectorXd>& d, bool inverse)
{
  return composed(to_quaternion(r), d, inverse);
}

AngleAxis composed(const Quat& q, const Eigen::Ref<const Eigen::VectorXd>& d, bool inverse)
{
  Quat dq = to_quaternion(from_rotation_vector(d));
  if (inverse) {
    dq.tail<3>() = -dq.tail<3>();
  }
  return from_quaternion(hamilton(q, dq));
}

void add_weighted_outer(Eigen::Matrix4d& a, const AngleAxis& r, double w)
{
  const Quat q = to_quaternion(r);
  a += w * (q * q.transpose());
}

AngleAxis mean_rotation(const Eigen::Matrix4d& a)
{
  // Eigenvalues come in increasing order, so the last column belongs to the largest by value.
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix4d> solver(a);
  Quat e = solver.eigenvectors().col(3);
  if (e(0) < 0.0) {
    e = -e;
  }
  return from_quaternion(e);
}

}  // namespace detail

namespace
{

using detail::AngleAxis;
using detail::from_quaternion;
using detail::from_rotation_vector;
using detail::hamilton;
using detail::Quat;
using detail::to_quaternion;

void check_size_three(const std::string& name, std::size_t size, const char* origin)
{
  if (size != 3) {
    throw std::invalid_argument(std::string(origin) + "angle-axis field \"" + name +
                                "\" has size " + std::to_string(size) + ", it must be 3");
  }
}

}  // namespace

AngleAxisField::AngleAxisField(std::size_t index, std::size_t size, std::string& name,
                               AngleAxis& data)
  : _index(index), _size(size), _name(name), _data(data)
{
  check_size_three(_name, _size, "");
}

AngleAxisField::AngleAxisField(std::size_t index, const json& config_data) : _index(index), _size(0)
{
  const std::string where = config::describe(config_data, "field", "state index", index);
  const int size = config::read_size(config_data, where);
  if (size != 3) {
    throw std::runtime_error("Invalid config: \"size\" of " + where + " is " +
                             std::to_string(size) + ", an \"ANGLE_AXIS\" field has size 3");
  }
  _size = 3;
  _name = config::read_name(config_data, where);
  const VectorX v = config::to_vector(config::require(config_data, "initial_values", where),
                                      "\"initial_values\" of " + where);
  if (v.size() != 3) {
    throw std::runtime_error("Invalid config: \"initial_values\" of " + where + " has " +
                             config::entries(v.size()) +
                             ", an \"ANGLE_AXIS\" field takes a rotation vector of 3");
  }
  _data = from_rotation_vector(v);
}

std::unique_ptr<IField> AngleAxisField::clone() const
{
  return std::make_unique<AngleAxisField>(*this);
}

VectorX AngleAxisField::get_vector() const
{
  VectorX v(3);
  read_into(v);
  return v;
}

void AngleAxisField::set_vector(const VectorX& vec)
{
  detail::check_field_length(_name, "set_vector's argument", vec.size(), 3);
  _data = from_rotation_vector(vec);
}

void AngleAxisField::set_zero() { _data = AngleAxis(0.0, Eigen::Vector3d::UnitX()); }

void AngleAxisField::save_mean(std::vector<State>& states, VectorX& weights)
{
  detail::check_weights("field \"" + _name + "\"", weights.size(), states.size());
  Eigen::Matrix4d a = Eigen::Matrix4d::Zero();
  Eigen::Vector3d v;
  for (std::size_t i = 0; i < states.size(); ++i) {
    const IField& other = states[i].field(_name);
    detail::check_field_length(_name, "a sigma point's value",
                               static_cast<Eigen::Index>(other.get_size()), 3);
    other.read_into(v);
    detail::add_weighted_outer(a, from_rotation_vector(v), weights(static_cast<Eigen::Index>(i)));
  }
  _data = detail::mean_rotation(a);
}

void AngleAxisField::operator+=(const VectorX& other) { displace(other, false); }

void AngleAxisField::operator-=(const VectorX& other) { displace(other, true); }

void AngleAxisField::read_into(Eigen::Ref<VectorX> out) const
{
  detail::check_field_length(_name, "the destination", out.size(), 3);
  out = _data.angle() * _data.axis();
}

void AngleAxisField::displace(const Eigen::Ref<const VectorX>& d, bool inverse)
{
  detail::check_field_length(_name, "the displacement", d.size(), 3);
  _data = detail::composed(_data, d, inverse);
}

bool AngleAxisField::assign_from(const IField& other)
{
  if (typeid(other) != typeid(*this)) {
    return false;
  }
  const auto& same = static_cast<const AngleAxisField&>(other);
  _index = same._index;
  _size = same._size;
  if (_name != same._name) {
    _name = same._name;
  }
  _data = same._data;
  return true;
}

}  // namespace ukf
