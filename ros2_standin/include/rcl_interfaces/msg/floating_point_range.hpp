#pragma once

namespace rcl_interfaces::msg
{

/// An inclusive range of a double parameter; step 0 means any value in it.
struct FloatingPointRange
{
  double from_value = 0.0;
  double to_value = 0.0;
  double step = 0.0;
};

}  // namespace rcl_interfaces::msg
