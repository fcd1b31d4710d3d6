#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>

namespace rclcpp
{

enum ParameterType : uint8_t {
  PARAMETER_NOT_SET = 0,
  PARAMETER_BOOL = 1,
  PARAMETER_INTEGER = 2,
  PARAMETER_DOUBLE = 3,
  PARAMETER_STRING = 4,
};

/// "not set", "bool", "integer", "double", "string".
std::string to_string(ParameterType type);

/// Reading a parameter value as another type; what() is "expected [string] got [integer]".
class ParameterTypeException : public std::runtime_error
{
public:
  ParameterTypeException(ParameterType expected, ParameterType actual)
    : std::runtime_error("expected [" + to_string(expected) + "] got [" + to_string(actual) + "]")
  {
  }
};

class ParameterValue
{
public:
  ParameterValue() = default;
  explicit ParameterValue(bool value) : _value(value) {}
  explicit ParameterValue(int value) : _value(static_cast<int64_t>(value)) {}
  explicit ParameterValue(int64_t value) : _value(value) {}
  explicit ParameterValue(float value) : _value(static_cast<double>(value)) {}
  explicit ParameterValue(double value) : _value(value) {}
  explicit ParameterValue(const std::string& value) : _value(value) {}
  explicit ParameterValue(const char* value) : _value(std::string(value)) {}

  ParameterType get_type() const;

  template <typename T>
  decltype(auto) get() const
  {
    if constexpr (std::is_same_v<T, bool>) {
      return std::get<bool>(checked(PARAMETER_BOOL));
    } else if constexpr (std::is_integral_v<T>) {
      return static_cast<T>(std::get<int64_t>(checked(PARAMETER_INTEGER)));
    } else if constexpr (std::is_floating_point_v<T>) {
      return static_cast<T>(std::get<double>(checked(PARAMETER_DOUBLE)));
    } else {
      return std::get<std::string>(checked(PARAMETER_STRING));
    }
  }

  bool operator==(const ParameterValue& rhs) const { return _value == rhs._value; }
  bool operator!=(const ParameterValue& rhs) const { return !(*this == rhs); }

private:
  using Storage = std::variant<std::monostate, bool, int64_t, double, std::string>;
  const Storage& checked(ParameterType expected) const;

  Storage _value;
};

/// The value as text, as ROS 2 prints it.
std::string to_string(const ParameterValue& value);

}  // namespace rclcpp
