#pragma once

#include <memory>
#include <vector>

#include "diagnostic_msgs/msg/diagnostic_status.hpp"
#include "std_msgs/msg/header.hpp"

namespace diagnostic_msgs::msg
{

struct DiagnosticArray
{
  using SharedPtr = std::shared_ptr<DiagnosticArray>;
  std_msgs::msg::Header header;
  std::vector<DiagnosticStatus> status;
};

}  // namespace diagnostic_msgs::msg
