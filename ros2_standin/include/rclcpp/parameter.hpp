#pragma once

#include <cstdint>
#include <string>

#include "rclcpp/exceptions/exceptions.hpp"
#include "rclcpp/parameter_value.hpp"

namespace rclcpp
{

class Parameter
{
public:
  Parameter() = default;
  explicit Parameter(const std::string& name) : _name(name) {}
  Parameter(const std::string& name, const ParameterValue& value) : _name(name), _value(value) {}
  template <typename ValueTypeT>
  Parameter(const std::string& name, ValueTypeT value) : Parameter(name, ParameterValue(value))
  {
  }

  const std::string& get_name() const { return _name; }
  ParameterType get_type() const { return _value.get_type(); }
  std::string get_type_name() const { return to_string(get_type()); }
  const ParameterValue& get_parameter_value() const { return _value; }

  bool as_bool() const { return _value.get<bool>(); }
  int64_t as_int() const { return _value.get<int64_t>(); }
  double as_double() const { return _value.get<double>(); }
  const std::string& as_string() const { return _value.get<std::string>(); }
  std::string value_to_string() const { return to_string(_value); }

  /// The value as T; for std::string a copy. A wrong type throws InvalidParameterTypeException.
  template <typename T>
  decltype(auto) get_value() const
  {
    try {
      if constexpr (std::is_same_v<T, std::string>) {
        return std::string(_value.get<std::string>());
      } else {
        return _value.get<T>();
      }
    } catch (const ParameterTypeException& e) {
      throw exceptions::InvalidParameterTypeException(_name, e.what());
    }
  }

private:
  std::string _name;
  ParameterValue _value;
};

}  // namespace rclcpp
