#pragma once

#include <string>

#include "rclcpp/context.hpp"

namespace rclcpp
{

enum class SignalHandlerOptions {
  All,
  SigInt,
  SigTerm,
  None,
};

struct rcl_allocator_t_standin
{
};
using rcl_allocator_t = rcl_allocator_t_standin;
inline rcl_allocator_t rcl_get_default_allocator() { return {}; }

class InitOptions
{
public:
  explicit InitOptions(rcl_allocator_t allocator = rcl_get_default_allocator()) { (void)allocator; }
  bool auto_initialize_logging() const { return _auto_initialize_logging; }
  InitOptions& auto_initialize_logging(bool value)
  {
    _auto_initialize_logging = value;
    return *this;
  }
  bool shutdown_on_signal = true;

private:
  bool _auto_initialize_logging = true;
};

/// Parses the ROS arguments after "--ros-args" (up to a lone "--"): "-p [node:]name:=value",
/// "--param", "--log-level [name:=]level", "-r"/"--remap" (accepted, not applied). Installs the
/// SIGINT/SIGTERM handlers. Throws ContextAlreadyInitialized while the context is valid,
/// exceptions::UnknownROSArgsError for an unknown ROS flag and RCLInvalidROSArgsError for a
/// malformed rule or an unsupported "--params-file".
void init(int argc, char const* const* argv, const InitOptions& init_options = InitOptions(),
          SignalHandlerOptions signal_handler_options = SignalHandlerOptions::All);

/// True while the context is initialised and not shut down; a received signal shuts it down.
bool ok(Context::SharedPtr context = nullptr);

/// Shuts the context down, uninstalls the signal handlers and wakes spinning executors; false when
/// the context was not valid.
bool shutdown(Context::SharedPtr context = nullptr,
              const std::string& reason = "user called rclcpp::shutdown()");

}  // namespace rclcpp
