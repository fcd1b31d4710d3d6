#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diagnostic_msgs/msg/key_value.hpp"

namespace diagnostic_msgs::msg
{

struct DiagnosticStatus
{
  using SharedPtr = std::shared_ptr<DiagnosticStatus>;
  static constexpr uint8_t OK = 0;
  static constexpr uint8_t WARN = 1;
  static constexpr uint8_t ERROR = 2;
  static constexpr uint8_t STALE = 3;
  uint8_t level = 0;
  std::string name;
  std::string message;
  std::string hardware_id;
  std::vector<KeyValue> values;
};

}  // namespace diagnostic_msgs::msg
