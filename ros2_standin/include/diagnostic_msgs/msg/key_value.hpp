#pragma once

#include <memory>
#include <string>

namespace diagnostic_msgs::msg
{

struct KeyValue
{
  using SharedPtr = std::shared_ptr<KeyValue>;
  std::string key;
  std::string value;
};

}  // namespace diagnostic_msgs::msg
