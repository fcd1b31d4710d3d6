#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "geometry_msgs/msg/twist.hpp"
#include "rosidl_runtime_cpp/message_initialization.hpp"
#include "std_msgs/msg/header.hpp"

namespace geometry_msgs::msg
{

template <class ContainerAllocator>
struct TwistStamped_
{
  using Type = TwistStamped_<ContainerAllocator>;

  explicit TwistStamped_(rosidl_runtime_cpp::MessageInitialization _init =
                           rosidl_runtime_cpp::MessageInitialization::ALL)
    : header(_init), twist(_init)
  {
    (void)_init;
  }
  explicit TwistStamped_(const ContainerAllocator&,
                         rosidl_runtime_cpp::MessageInitialization _init =
                           rosidl_runtime_cpp::MessageInitialization::ALL)
    : TwistStamped_(_init)
  {
  }

  using _header_type = std_msgs::msg::Header_<ContainerAllocator>;
  _header_type header;
  using _twist_type = geometry_msgs::msg::Twist_<ContainerAllocator>;
  _twist_type twist;

  ROS2_STANDIN_MESSAGE_ALIASES(Type);

  bool operator==(const Type& other) const
  {
    return header == other.header && twist == other.twist;
  }
  bool operator!=(const Type& other) const { return !(*this == other); }
};

using TwistStamped = TwistStamped_<std::allocator<void>>;

}  // namespace geometry_msgs::msg
