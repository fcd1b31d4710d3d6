#pragma once

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

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
/// Inline: the filter's inner loops wrap angles at every step.
inline double wrap_angle(double x)
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

/// Helpers shared by the configuration constructors. A value of the wrong JSON type raises the
/// JSON library's nlohmann::json::type_error with its own id and phrase, preceded by the key and
/// where it is:
///   [json.exception.type_error.302] "alpha" of "filter": type must be number, but is string
/// Every other error they raise is a std::runtime_error starting "Invalid config: " that names
/// the key and where it is.
namespace config
{

/// Throws nlohmann::json::type_error `id` whose message is `place`, ": " and `phrase`, the JSON
/// library's own wording, for example "type must be number, but is string".
[[noreturn]] void raise_type_error(int id, const std::string& place, const std::string& phrase);

/// Parses the configuration file at `path`: std::runtime_error "Could not open filter config file:
/// <path>" when it cannot be opened, the JSON library's parse error when it is not JSON.
json load_file(const std::string& path);

/// The value under `key` of `obj`. Throws "Invalid config: missing key "<key>" in <where>" when
/// `obj` is an object without it, and "Invalid config: <where> must be an object (got ...)" when
/// `obj` is not an object.
const json& require(const json& obj, const std::string& key, const std::string& where);

/// The number under `key` of `obj`: type error 302 ""<key>" of <where>: type must be number, but
/// is string" for a value of another JSON type.
double read_number(const json& obj, const std::string& key, const std::string& where);

/// The string under `key` of `obj`: type error 302 "... type must be string, but is number".
std::string read_string(const json& obj, const std::string& key, const std::string& where);

/// The JSON type of `value` as messages name it: "a number", "a string", "a boolean", "an array",
/// "an object" or "null".
std::string kind_of(const json& value);

/// Reads a vector (a JSON array of numbers) exactly as the JSON conversion of VectorX does.
VectorX to_vector(const json& value);

/// Reads a vector from a configuration as the JSON conversion does (null and an empty object are
/// empty vectors). A number, string, boolean or non-empty object raises type error 305 "<what>:
/// cannot use operator[] with a numeric argument with <type>", an entry that is not a number 302
/// "<what>, entry <i>: type must be number, but is <type>".
VectorX to_vector(const json& value, const std::string& what);

/// Reads a matrix (an array of rows). `what` names the value in error messages, for example
/// "\"noise\" of sensor \"encoders\"". A matrix or row that is not an array raises type error 305
/// and an entry that is not a number 302, each naming `what`, the row and the entry; a matrix
/// without rows and a row shorter than the first are "Invalid config:" errors. Entries past the
/// length of the first row are not read.
MatrixX to_matrix(const json& value, const std::string& what);

/// Reads "size" of a field or sensor object as a signed 32-bit integer and rejects negatives.
int read_size(const json& obj, const std::string& where);

/// Reads "name" of a component object, a string.
std::string read_name(const json& obj, const std::string& where);

/// Checks every object of a whole configuration against the keys its reader knows and returns
/// one message per key that no reader uses, naming the key and where it is, for example
/// `unknown key "proces_noise" in model "zendrafell": did you mean "process_noise"?` (the
/// suggestion when a known key is within two edits or differs only in case). The library prints
/// nothing: the caller decides whether to show the messages or to refuse the configuration.
/// Parts that are not of the expected JSON type are skipped; the loader reports them.
std::vector<std::string> unknown_keys(const json& config);

/// What a misspelt name was most likely meant to be, for appending to a message:
/// ` (did you mean "NAME"?)` for the known name that differs only in case or is nearest within two
/// edits, else an empty string.
std::string did_you_mean(const std::string& name, const std::vector<std::string>& known);

/// "1 entry", "2 entries": a count of entries for messages.
std::string entries(std::size_t n);

/// unknown_keys() for callers that refuse a configuration with an unknown key: throws
/// std::runtime_error "Invalid config: " followed by the messages, joined by "; ".
void reject_unknown_keys(const json& config);

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
