#include "ukf/State.hpp"

#include <iostream>
#include <stdexcept>
#include <utility>

#include "ukf/factories.hpp"

namespace ukf
{

State::State() : _size(0) {}

State::State(const json& config_data) : _size(0)
{
  const json& fields = config::require(config_data, "fields", "\"initial_state\"");
  if (!fields.is_array()) {
    throw std::runtime_error("Invalid config: \"fields\" of \"initial_state\" must be an array (got " +
                             config::kind_of(fields) + ")");
  }
  for (const json& element : fields) {
    _fields.push_back(create_field_from_json(_size, element));
    _size += _fields.back()->get_size();
  }
}

State::State(const State& other) : _size(other._size)
{
  _fields.reserve(other._fields.size());
  for (const auto& f : other._fields) {
    _fields.push_back(f->clone());
  }
}

State& State::operator=(const State& other)
{
  if (this == &other) {
    return *this;
  }
  bool reused = _fields.size() == other._fields.size();
  for (std::size_t i = 0; reused && i < _fields.size(); ++i) {
    reused = _fields[i]->assign_from(*other._fields[i]);
  }
  if (!reused) {
    std::vector<std::unique_ptr<IField>> copies;
    copies.reserve(other._fields.size());
    for (const auto& f : other._fields) {
      copies.push_back(f->clone());
    }
    _fields = std::move(copies);
  }
  _size = other._size;
  return *this;
}

State::State(State&& other) noexcept : _fields(std::move(other._fields)), _size(other._size)
{
  other._fields.clear();
  other._size = 0;
}

State& State::operator=(State&& other) noexcept
{
  if (this != &other) {
    _fields = std::move(other._fields);
    _size = other._size;
    other._fields.clear();
    other._size = 0;
  }
  return *this;
}

State::~State() = default;

const IField* State::find_field(const std::string& name) const
{
  for (const auto& f : _fields) {
    if (f->has_name(name)) {
      return f.get();
    }
  }
  return nullptr;
}

const IField& State::field(const std::string& name) const
{
  const IField* f = find_field(name);
  if (f == nullptr) {
    throw std::runtime_error("Field not found: " + name);
  }
  return *f;
}

const IField& State::field(const std::string& name, std::size_t& hint) const
{
  if (hint < _fields.size() && _fields[hint]->has_name(name)) {
    return *_fields[hint];
  }
  for (std::size_t i = 0; i < _fields.size(); ++i) {
    if (_fields[i]->has_name(name)) {
      hint = i;
      return *_fields[i];
    }
  }
  throw std::runtime_error("Field not found: " + name);
}

const IField& State::field(std::size_t i) const
{
  if (i >= _fields.size()) {
    throw std::out_of_range("State::field: position " + std::to_string(i) +
                            " is past the last field (the state has " +
                            std::to_string(_fields.size()) + " fields)");
  }
  return *_fields[i];
}

IField& State::field(std::size_t i)
{
  return const_cast<IField&>(static_cast<const State&>(*this).field(i));
}

VectorX State::operator[](const std::string& name) const { return field(name).get_vector(); }

VectorX State::operator[](std::size_t i) const { return field(i).get_vector(); }

VectorX State::get_vector() const
{
  VectorX v;
  get_vector_into(v);
  return v;
}

void State::get_vector_into(VectorX& out) const
{
  out.setZero(static_cast<Eigen::Index>(_size));
  for (const auto& f : _fields) {
    f->read_into(out.segment(static_cast<Eigen::Index>(f->get_index()),
                             static_cast<Eigen::Index>(f->get_size())));
  }
}

void State::check_slice(const IField& f, Eigen::Index length, const char* what) const
{
  const std::size_t end = f.get_index() + f.get_size();
  if (static_cast<std::size_t>(length) < end) {
    throw std::invalid_argument(std::string(what) + " has " + config::entries(length) +
                                ", field \"" + f.get_name() + "\" needs entries " +
                                std::to_string(f.get_index()) + " to " + std::to_string(end) +
                                " (exclusive)");
  }
}

void State::add_field(std::unique_ptr<IField> field)
{
  if (!field) {
    throw std::invalid_argument("State::add_field: no field");
  }
  if (field->get_index() != _size) {
    throw std::invalid_argument("State::add_field: field \"" + field->get_name() +
                                "\" starts at index " + std::to_string(field->get_index()) +
                                ", the state ends at " + std::to_string(_size));
  }
  _size += field->get_size();
  _fields.push_back(std::move(field));
}

void State::set_vector(const VectorX& state)
{
  for (const auto& f : _fields) {
    check_slice(*f, state.size(), "set_vector's argument");
  }
  for (auto& f : _fields) {
    f->set_vector(state.segment(static_cast<Eigen::Index>(f->get_index()),
                                static_cast<Eigen::Index>(f->get_size())));
  }
}

void State::set_zero()
{
  for (auto& f : _fields) {
    f->set_zero();
  }
}

void State::save_mean(std::vector<State>& states, VectorX& weights)
{
  for (auto& f : _fields) {
    f->save_mean(states, weights);
  }
}

void State::displace(const Eigen::Ref<const VectorX>& other, bool inverse)
{
  // Every field ends within size(), so one comparison covers them all; the loop only finds the
  // field to name.
  if (static_cast<std::size_t>(other.size()) < _size) {
    for (const auto& f : _fields) {
      check_slice(*f, other.size(), "the displacement");
    }
  }
  for (auto& f : _fields) {
    f->displace(other.segment(static_cast<Eigen::Index>(f->get_index()),
                              static_cast<Eigen::Index>(f->get_size())),
                inverse);
  }
}

State& State::operator+=(const VectorX& other)
{
  displace(other, false);
  return *this;
}

State& State::operator-=(const VectorX& other)
{
  displace(other, true);
  return *this;
}

State State::operator+(const VectorX& other) const
{
  State result(*this);
  result += other;
  return result;
}

State State::operator-(const VectorX& other) const
{
  State result(*this);
  result -= other;
  return result;
}

void State::apply_state(const State& other, bool inverse)
{
  if (other._fields.size() < _fields.size()) {
    throw std::invalid_argument("state arithmetic: the right operand has " +
                                std::to_string(other._fields.size()) + " fields, the left " +
                                std::to_string(_fields.size()));
  }
  VectorX scratch;
  for (std::size_t i = 0; i < _fields.size(); ++i) {
    const IField& theirs = *other._fields[i];
    const auto n = static_cast<Eigen::Index>(theirs.get_size());
    if (scratch.size() < n) {
      scratch.resize(n);
    }
    theirs.read_into(scratch.head(n));
    _fields[i]->displace(scratch.head(n), inverse);
  }
}

State& State::operator+=(const State& other)
{
  apply_state(other, false);
  return *this;
}

State& State::operator-=(const State& other)
{
  apply_state(other, true);
  return *this;
}

State State::operator+(State& other)
{
  State result(*this);
  result += other;
  return result;
}

State State::operator-(State& other)
{
  State result(*this);
  result -= other;
  return result;
}

void State::print(std::ostream& os) const
{
  os << "State of size " << _size << '\n';
  for (const auto& f : _fields) {
    os << "  " << f->get_name() << " [" << f->get_index() << ", " << f->get_size()
       << "]: " << f->get_vector().transpose() << '\n';
  }
}

void State::print() const { print(std::cout); }

State operator+(VectorX lhs, State& rhs)
{
  State result(rhs);
  result += lhs;
  return result;
}

State operator-(const VectorX& lhs, State& rhs)
{
  State result(rhs);
  result.set_vector(lhs);
  result -= rhs;
  return result;
}

}  // namespace ukf
