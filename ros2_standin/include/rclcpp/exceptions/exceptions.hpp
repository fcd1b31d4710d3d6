#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace rclcpp::exceptions
{

/// An error of the underlying client library; what() ends with ", at <file>:<line>".
class RCLError : public std::runtime_error
{
public:
  explicit RCLError(const std::string& message) : std::runtime_error(message) {}
};

/// An invalid argument to the underlying client library, such as a node created before init().
class RCLInvalidArgument : public std::invalid_argument
{
public:
  explicit RCLInvalidArgument(const std::string& message) : std::invalid_argument(message) {}
};

class RCLInvalidROSArgsError : public RCLError
{
public:
  using RCLError::RCLError;
};

class UnknownROSArgsError : public std::runtime_error
{
public:
  explicit UnknownROSArgsError(std::vector<std::string> unknown_ros_args);
  const std::vector<std::string> unknown_ros_args;
};

class InvalidNodeNameError : public std::invalid_argument
{
public:
  using std::invalid_argument::invalid_argument;
};

class InvalidNamespaceError : public std::invalid_argument
{
public:
  using std::invalid_argument::invalid_argument;
};

class InvalidTopicNameError : public std::invalid_argument
{
public:
  using std::invalid_argument::invalid_argument;
};

class InvalidParametersException : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

class ParameterAlreadyDeclaredException : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

class ParameterNotDeclaredException : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

class ParameterUninitializedException : public std::runtime_error
{
public:
  explicit ParameterUninitializedException(const std::string& name)
    : std::runtime_error("parameter '" + name + "' is not initialized")
  {
  }
};

class UninitializedStaticallyTypedParameterException : public std::runtime_error
{
public:
  explicit UninitializedStaticallyTypedParameterException(const std::string& name)
    : std::runtime_error("Statically typed parameter '" + name + "' must be initialized.")
  {
  }
};

/// A parameter given a value of another type than it was declared with.
class InvalidParameterTypeException : public std::runtime_error
{
public:
  InvalidParameterTypeException(const std::string& name, const std::string message)
    : std::runtime_error("parameter '" + name + "' has invalid type: " + message)
  {
  }
};

/// A parameter given a value its descriptor refuses, such as one outside its range.
class InvalidParameterValueException : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

}  // namespace rclcpp::exceptions
