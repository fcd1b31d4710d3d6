#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "builtin_interfaces/msg/time.hpp"
#include "rosidl_runtime_cpp/message_initialization.hpp"

namespace std_msgs::msg
{

template <class ContainerAllocator>
struct Header_
{
  using Type = Header_<ContainerAllocator>;

  explicit Header_(rosidl_runtime_cpp::MessageInitialization _init =
                     rosidl_runtime_cpp::MessageInitialization::ALL)
    : stamp(_init)
  {
    (void)_init;
  }
  explicit Header_(const ContainerAllocator&, rosidl_runtime_cpp::MessageInitialization _init =
                                                rosidl_runtime_cpp::MessageInitialization::ALL)
    : Header_(_init)
  {
  }

  using _stamp_type = builtin_interfaces::msg::Time_<ContainerAllocator>;
  _stamp_type stamp;
  using _frame_id_type = std::string;
  _frame_id_type frame_id;

  ROS2_STANDIN_MESSAGE_ALIASES(Type);

  bool operator==(const Type& other) const
  {
    return stamp == other.stamp && frame_id == other.frame_id;
  }
  bool operator!=(const Type& other) const { return !(*this == other); }
};

using Header = Header_<std::allocator<void>>;

}  // namespace std_msgs::msg
