#include "ukf/helpers.hpp"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace ukf
{

namespace config
{

json load_file(const std::string& path)
{
  std::ifstream file(path);
  if (!file.is_open()) {
    throw std::runtime_error("Could not open filter config file: " + path);
  }
  return json::parse(file);
}

std::string kind_of(const json& value)
{
  switch (value.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::object:
      return "an object";
    case json::value_t::array:
      return "an array";
    case json::value_t::string:
      return "a string";
    case json::value_t::boolean:
      return "a boolean";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
      return "a number";
    default:
      return std::string("a ") + value.type_name();
  }
}

const json& require(const json& obj, const std::string& key, const std::string& where)
{
  if (!obj.is_object()) {
    throw std::runtime_error("Invalid config: " + where + " must be an object (got " +
                             kind_of(obj) + ")");
  }
  const auto it = obj.find(key);
  if (it == obj.end()) {
    throw std::runtime_error("Invalid config: missing key \"" + key + "\" in " + where);
  }
  return *it;
}

void raise_type_error(int id, const std::string& place, const std::string& phrase)
{
  throw json::type_error::create(id, place + ": " + phrase, nullptr);
}

namespace
{

// The JSON library's own phrases, with the JSON type name of `value` at their end.
std::string must_be(const char* type, const json& value)
{
  return std::string("type must be ") + type + ", but is " + value.type_name();
}

std::string no_index(const json& value)
{
  return std::string("cannot use operator[] with a numeric argument with ") + value.type_name();
}

}  // namespace

double read_number(const json& obj, const std::string& key, const std::string& where)
{
  const json& value = require(obj, key, where);
  if (!value.is_number()) {
    raise_type_error(302, "\"" + key + "\" of " + where, must_be("number", value));
  }
  return value.get<double>();
}

std::string read_string(const json& obj, const std::string& key, const std::string& where)
{
  const json& value = require(obj, key, where);
  if (!value.is_string()) {
    raise_type_error(302, "\"" + key + "\" of " + where, must_be("string", value));
  }
  return value.get<std::string>();
}

VectorX to_vector(const json& value, const std::string& what)
{
  // As the JSON conversion reads it: null and an empty object are empty vectors, and any other
  // value that is not an array cannot be indexed.
  if (value.is_null() || (value.is_object() && value.empty())) {
    return VectorX();
  }
  if (!value.is_array()) {
    raise_type_error(305, what, no_index(value));
  }
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (!value[i].is_number()) {
      raise_type_error(302, what + ", entry " + std::to_string(i), must_be("number", value[i]));
    }
  }
  return to_vector(value);
}

VectorX to_vector(const json& value)
{
  VectorX v;
  v.resize(static_cast<Eigen::Index>(value.size()));
  for (std::size_t i = 0; i < value.size(); ++i) {
    v(static_cast<Eigen::Index>(i)) = value[i].get<double>();
  }
  return v;
}

// The matrix as the JSON conversion of MatrixX reads it: other JSON types raise the JSON
// library's own type errors.
static MatrixX to_matrix_unchecked(const json& value, const std::string& what)
{
  if (value.is_array() && value.empty()) {
    throw std::runtime_error("Invalid config: " + what + " has no rows");
  }
  const std::size_t rows = value.size();
  const std::size_t cols = value[0].size();
  MatrixX m;
  m.resize(static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(cols));
  for (std::size_t r = 0; r < rows; ++r) {
    const json& row = value[r];
    if (row.is_array() && row.size() < cols) {
      throw std::runtime_error("Invalid config: " + what + ": row " + std::to_string(r) + " has " +
                               std::to_string(row.size()) + " " +
                               (row.size() == 1 ? "entry" : "entries") + ", the first row has " +
                               std::to_string(cols));
    }
    for (std::size_t c = 0; c < cols; ++c) {
      m(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c)) = row[c].get<double>();
    }
  }
  return m;
}

MatrixX to_matrix(const json& value, const std::string& what)
{
  if (!value.is_array()) {
    raise_type_error(305, what, no_index(value));
  }
  if (value.empty()) {
    throw std::runtime_error("Invalid config: " + what + " has no rows");
  }
  for (std::size_t r = 0; r < value.size(); ++r) {
    const json& row = value[r];
    const std::string place = what + ", row " + std::to_string(r);
    if (!row.is_array()) {
      raise_type_error(305, place, no_index(row));
    }
    for (std::size_t c = 0; c < row.size(); ++c) {
      if (!row[c].is_number()) {
        raise_type_error(302, place + ", entry " + std::to_string(c), must_be("number", row[c]));
      }
    }
  }
  return to_matrix_unchecked(value, what);
}

int read_size(const json& obj, const std::string& where)
{
  const json& value = require(obj, "size", where);
  // The JSON library converts out-of-range numbers to int with undefined behaviour, so the range
  // is checked first.
  const double d = read_number(obj, "size", where);
  if (!(d >= std::numeric_limits<int>::min() && d <= std::numeric_limits<int>::max()) ||
      d != std::floor(d)) {
    throw std::runtime_error("Invalid config: \"size\" of " + where + " is " + value.dump() +
                             ", it must be a whole number of entries");
  }
  const int size = value.get<int>();
  if (size < 0) {
    throw std::runtime_error("Invalid config: \"size\" of " + where + " is " +
                             std::to_string(size) + ", it must not be negative");
  }
  return size;
}

std::string read_name(const json& obj, const std::string& where)
{
  return read_string(obj, "name", where);
}

std::string describe(const json& obj, const std::string& kind, const std::string& position_label,
                     std::size_t position)
{
  if (obj.is_object()) {
    const auto it = obj.find("name");
    if (it != obj.end() && it->is_string()) {
      return kind + " \"" + it->get<std::string>() + "\"";
    }
  }
  return kind + " at " + position_label + " " + std::to_string(position);
}

std::string format_number(double value)
{
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%.17g", value);
  return buffer;
}

}  // namespace config
}  // namespace ukf

namespace nlohmann
{

void adl_serializer<ukf::VectorX>::from_json(const json& j, ukf::VectorX& v)
{
  v = ukf::config::to_vector(j);
}

void adl_serializer<ukf::MatrixX>::from_json(const json& j, ukf::MatrixX& m)
{
  m = ukf::config::to_matrix_unchecked(j, "matrix");
}

}  // namespace nlohmann
