#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "rosidl_runtime_cpp/message_initialization.hpp"

namespace builtin_interfaces::msg
{

template <class ContainerAllocator>
struct Time_
{
  using Type = Time_<ContainerAllocator>;

  explicit Time_(rosidl_runtime_cpp::MessageInitialization _init =
                   rosidl_runtime_cpp::MessageInitialization::ALL)
  {
    (void)_init;
    if (_init != rosidl_runtime_cpp::MessageInitialization::SKIP &&
        _init != rosidl_runtime_cpp::MessageInitialization::DEFAULTS_ONLY) {
      sec = 0;
    }
    if (_init != rosidl_runtime_cpp::MessageInitialization::SKIP &&
        _init != rosidl_runtime_cpp::MessageInitialization::DEFAULTS_ONLY) {
      nanosec = 0;
    }
  }
  explicit Time_(const ContainerAllocator&, rosidl_runtime_cpp::MessageInitialization _init =
                                              rosidl_runtime_cpp::MessageInitialization::ALL)
    : Time_(_init)
  {
  }

  using _sec_type = int32_t;
  _sec_type sec;
  using _nanosec_type = uint32_t;
  _nanosec_type nanosec;

  ROS2_STANDIN_MESSAGE_ALIASES(Type);

  bool operator==(const Type& other) const { return sec == other.sec && nanosec == other.nanosec; }
  bool operator!=(const Type& other) const { return !(*this == other); }
};

using Time = Time_<std::allocator<void>>;

}  // namespace builtin_interfaces::msg
