#pragma once

#include <cstdint>
#include <string>

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
};

}  // namespace rcl_interfaces::msg
