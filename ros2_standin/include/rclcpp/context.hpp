#pragma once

#include <memory>
#include <stdexcept>

namespace rclcpp
{

class ContextAlreadyInitialized : public std::runtime_error
{
public:
  ContextAlreadyInitialized() : std::runtime_error("context is already initialized") {}
};

/// The process-wide context: valid between init() and shutdown() (or a signal).
class Context
{
public:
  using SharedPtr = std::shared_ptr<Context>;
  bool is_valid() const;
};

namespace contexts
{
Context::SharedPtr get_global_default_context();
}  // namespace contexts

}  // namespace rclcpp
