#pragma once

#include <string>
#include <vector>

#include "rclcpp/parameter.hpp"

namespace rclcpp
{

class NodeOptions
{
public:
  NodeOptions() = default;

  const std::vector<std::string>& arguments() const { return _arguments; }
  NodeOptions& arguments(const std::vector<std::string>& arguments)
  {
    _arguments = arguments;
    return *this;
  }
  std::vector<Parameter>& parameter_overrides() { return _parameter_overrides; }
  const std::vector<Parameter>& parameter_overrides() const { return _parameter_overrides; }
  NodeOptions& parameter_overrides(const std::vector<Parameter>& overrides)
  {
    _parameter_overrides = overrides;
    return *this;
  }
  template <typename ParameterT>
  NodeOptions& append_parameter_override(const std::string& name, const ParameterT& value)
  {
    _parameter_overrides.emplace_back(name, ParameterValue(value));
    return *this;
  }
  bool use_global_arguments() const { return _use_global_arguments; }
  NodeOptions& use_global_arguments(bool value)
  {
    _use_global_arguments = value;
    return *this;
  }
  bool allow_undeclared_parameters() const { return _allow_undeclared_parameters; }
  NodeOptions& allow_undeclared_parameters(bool value)
  {
    _allow_undeclared_parameters = value;
    return *this;
  }
  bool automatically_declare_parameters_from_overrides() const { return _auto_declare; }
  NodeOptions& automatically_declare_parameters_from_overrides(bool value)
  {
    _auto_declare = value;
    return *this;
  }

private:
  std::vector<std::string> _arguments;
  std::vector<Parameter> _parameter_overrides;
  bool _use_global_arguments = true;
  bool _allow_undeclared_parameters = false;
  bool _auto_declare = false;
};

}  // namespace rclcpp
