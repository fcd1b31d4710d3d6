#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rcl_interfaces/msg/floating_point_range.hpp"

namespace rcl_interfaces::msg
{

struct ParameterDescriptor
{
  std::string name;
  uint8_t type = 0;
  std::string description;
  std::string additional_constraints;
  bool read_only = false;
  bool dynamic_typing = false;
  /// At most one range; only a double value is held to it.
  std::vector<FloatingPointRange> floating_point_range;
};

}  // namespace rcl_interfaces::msg
