#pragma once

#include <cstddef>
#include <string>

#include <Eigen/Core>
#include <nlohmann/json.hpp>

namespace ukf
{

/// Dynamically sized column vector of doubles; zero-filled when created or resized.
using VectorX = Eigen::VectorXd;
/// Dynamically sized matrix of doubles; zero-filled when created or resized.
using MatrixX = Eigen::MatrixXd;
using json = nlohmann::json;

/// pi and 2 pi as the nearest doubles; every angle wrap of the library uses these two constants.
constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;

/// Wraps an angle in radians into [-pi, pi): fmod(x + pi, 2 pi), plus 2 pi if negative, minus pi.
double wrap_angle(double x);

/// Helpers shared by the configuration constructors. Every error they raise is a
/// std::runtime_error starting "Invalid config: " that names the key and where it is.
namespace config
{

/// Parses the configuration file at `path`: std::runtime_error "Could not open filter config file:
/// <path>" when it cannot be opened, the JSON library's parse error when it is not JSON.
json load_file(const std::string& path);

/// The value under `key` of `obj`. Throws "Invalid config: missing key ..." when `obj` is an
/// object without it; a value that is not an object raises the JSON library's type error.
const json& require(const json& obj, const std::string& key, const std::string& where);

/// Reads a vector (a JSON array of numbers) exactly as the JSON conversion of VectorX does.
VectorX to_vector(const json& value);

/// Reads a matrix (an array of rows). `what` names the value in error messages, for example
/// "\"noise\" of sensor \"encoders\"". Rejects a matrix without rows and a row shorter than the
/// first; entries past the length of the first row are not read.
MatrixX to_matrix(const json& value, const std::string& what);

/// Reads "size" of a field or sensor object as a signed 32-bit integer and rejects negatives.
int read_size(const json& obj, const std::string& where);

/// Reads "name" of a component object, a string.
std::string read_name(const json& obj, const std::string& where);

/// Describes a component for messages: `kind "name"` when the object has a string "name",
/// otherwise `kind at <position_label> <position>`.
std::string describe(const json& obj, const std::string& kind, const std::string& position_label,
                     std::size_t position);

/// Formats a double for messages so that it reads back to the same value.
std::string format_number(double value);

}  // namespace config
}  // namespace ukf

namespace nlohmann
{

/// JSON to VectorX: the vector takes the number of elements of the value and reads element i as a
/// double into entry i. A null or an empty object reads as an empty vector.
template <>
struct adl_serializer<ukf::VectorX>
{
  static void from_json(const json& j, ukf::VectorX& v);
};

/// JSON to MatrixX: an array of rows; rows = outer length, columns = length of the first row.
template <>
struct adl_serializer<ukf::MatrixX>
{
  static void from_json(const json& j, ukf::MatrixX& m);
};

}  // namespace nlohmann
