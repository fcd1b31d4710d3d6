#pragma once

#include <memory>
#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rosidl_runtime_cpp/message_initialization.hpp"

namespace tf2_msgs::msg
{

template <class ContainerAllocator>
struct TFMessage_
{
  using Type = TFMessage_<ContainerAllocator>;

  explicit TFMessage_(rosidl_runtime_cpp::MessageInitialization _init =
                        rosidl_runtime_cpp::MessageInitialization::ALL)
  {
    (void)_init;
  }
  explicit TFMessage_(const ContainerAllocator&, rosidl_runtime_cpp::MessageInitialization _init =
                                                   rosidl_runtime_cpp::MessageInitialization::ALL)
    : TFMessage_(_init)
  {
  }

  using _transforms_type = std::vector<geometry_msgs::msg::TransformStamped_<ContainerAllocator>>;
  _transforms_type transforms;

  ROS2_STANDIN_MESSAGE_ALIASES(Type);

  bool operator==(const Type& other) const { return transforms == other.transforms; }
  bool operator!=(const Type& other) const { return !(*this == other); }
};

using TFMessage = TFMessage_<std::allocator<void>>;

}  // namespace tf2_msgs::msg
