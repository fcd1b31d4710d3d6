#include "ukf/helpers.hpp"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace ukf
{

double wrap_angle(double x)
{
  // fmod(y, 2 pi) is exactly y for 0 <= y < 2 pi, so the call is skipped there; the result is
  // bit for bit that of the formula.
  const double y = x + kPi;
  double a = (y >= 0.0 && y < kTwoPi) ? y : std::fmod(y, kTwoPi);
  if (a < 0.0) {
    a = a + kTwoPi;
  }
  return a - kPi;
}

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

const json& require(const json& obj, const std::string& key, const std::string& where)
{
  if (!obj.is_object()) {
    return obj[key];  // const access on a non-object: the JSON library's own type error
  }
  const auto it = obj.find(key);
  if (it == obj.end()) {
    throw std::runtime_error("Invalid config: missing key \"" + key + "\" in " + where);
  }
  return *it;
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

MatrixX to_matrix(const json& value, const std::string& what)
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
                               std::to_string(row.size()) + " entries, the first row has " +
                               std::to_string(cols));
    }
    for (std::size_t c = 0; c < cols; ++c) {
      m(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c)) = row[c].get<double>();
    }
  }
  return m;
}

int read_size(const json& obj, const std::string& where)
{
  const json& value = require(obj, "size", where);
  // The JSON library converts out-of-range numbers to int with undefined behaviour, so the range
  // is checked first; a value that is not a number still raises the library's own type error.
  if (value.is_number()) {
    const double d = value.get<double>();
    if (!(d >= std::numeric_limits<int>::min() && d <= std::numeric_limits<int>::max()) ||
        d != std::floor(d)) {
      throw std::runtime_error("Invalid config: \"size\" of " + where + " is " + value.dump() +
                               ", it must be a whole number of entries");
    }
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
  return require(obj, "name", where).get<std::string>();
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
  m = ukf::config::to_matrix(j, "matrix");
}

}  // namespace nlohmann
