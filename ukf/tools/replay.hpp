#pragma once

#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>

#include "ukf/Filter.hpp"

namespace ukf::tools
{

/// A line of measurements that cannot be used; what() names the problem, line() the line number.
class LineError : public std::runtime_error
{
public:
  LineError(std::size_t line, const std::string& problem)
    : std::runtime_error("line " + std::to_string(line) + ": " + problem), _line(line)
  {
  }
  std::size_t line() const { return _line; }

private:
  std::size_t _line;
};

/// Runs a filter over measurement lines, one update per line:
///   {"t": 12.5, "sensors": {"encoders": [0.5, -0.1]}, "noise": {"encoders": [[..], [..]]}}
/// and renders each result as one line:
///   {"t": 12.5, "state": [...], "covariance": [[...]], "fields": {"Position3D": [...], ...}}
/// with every number written so that it reads back to the same double.
class Replay
{
public:
  /// A line more than `max_interval` seconds after the previous one is rejected (default: no
  /// limit beyond the model's own bound on integration steps).
  explicit Replay(Filter filter, double max_interval = std::numeric_limits<double>::infinity())
    : _filter(std::move(filter)), _max_interval(max_interval)
  {
  }

  /// Applies one input line and returns its output line (without a newline). A line that is empty
  /// or only white space returns an empty string and changes nothing. Throws LineError, leaving
  /// the filter unchanged, for malformed JSON, an unknown key or sensor, a value of the wrong type
  /// or length, a non-finite value, a time going backwards or any update the filter rejects.
  std::string process(const std::string& line, std::size_t line_number);

  const Filter& filter() const { return _filter; }

private:
  Filter _filter;
  double _max_interval;
  bool _has_previous = false;
  double _previous = 0.0;
};

}  // namespace ukf::tools
