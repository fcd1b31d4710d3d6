#pragma once

#include <memory>
#include <string>

namespace std_srvs::srv
{

/// std_srvs/srv/Trigger: no request; whether it worked, and a message.
struct Trigger
{
  struct Request
  {
    using SharedPtr = std::shared_ptr<Request>;
    uint8_t structure_needs_at_least_one_member = 0;
  };
  struct Response
  {
    using SharedPtr = std::shared_ptr<Response>;
    bool success = false;
    std::string message;
  };
};

}  // namespace std_srvs::srv
