#pragma once

#include <string>

namespace rcl_interfaces::msg
{

struct SetParametersResult
{
  bool successful = false;
  std::string reason;
};

}  // namespace rcl_interfaces::msg
