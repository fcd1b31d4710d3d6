#pragma once

#include <stdexcept>
#include <string>

namespace tf2
{

/// The base of every tf2 error.
class TransformException : public std::runtime_error
{
public:
  explicit TransformException(const std::string errorDescription)
    : std::runtime_error(errorDescription)
  {
  }
};

/// The two frames are not part of the same tree.
class ConnectivityException : public TransformException
{
public:
  explicit ConnectivityException(const std::string errorDescription)
    : tf2::TransformException(errorDescription)
  {
  }
};

/// A frame is unknown.
class LookupException : public TransformException
{
public:
  explicit LookupException(const std::string errorDescription)
    : tf2::TransformException(errorDescription)
  {
  }
};

/// The time asked for is outside the transforms held.
class ExtrapolationException : public TransformException
{
public:
  explicit ExtrapolationException(const std::string errorDescription)
    : tf2::TransformException(errorDescription)
  {
  }
};

/// An argument is invalid, such as an empty frame id.
class InvalidArgumentException : public TransformException
{
public:
  explicit InvalidArgumentException(const std::string errorDescription)
    : tf2::TransformException(errorDescription)
  {
  }
};

}  // namespace tf2
