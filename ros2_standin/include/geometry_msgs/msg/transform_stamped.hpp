#pragma once

#include <memory>
#include <string>

#include "geometry_msgs/msg/transform.hpp"
#include "rosidl_runtime_cpp/message_initialization.hpp"
#include "std_msgs/msg/header.hpp"

namespace geometry_msgs::msg
{

template <class ContainerAllocator>
struct TransformStamped_
{
  using Type = TransformStamped_<ContainerAllocator>;

  explicit TransformStamped_(rosidl_runtime_cpp::MessageInitialization _init =
                               rosidl_runtime_cpp::MessageInitialization::ALL)
    : header(_init), transform(_init)
  {
    (void)_init;
  }
  explicit TransformStamped_(const ContainerAllocator&,
                             rosidl_runtime_cpp::MessageInitialization _init =
                               rosidl_runtime_cpp::MessageInitialization::ALL)
    : TransformStamped_(_init)
  {
  }

  using _header_type = std_msgs::msg::Header_<ContainerAllocator>;
  _header_type header;
  using _child_frame_id_type = std::string;
  _child_frame_id_type child_frame_id;
  using _transform_type = geometry_msgs::msg::Transform_<ContainerAllocator>;
  _transform_type transform;

  ROS2_STANDIN_MESSAGE_ALIASES(Type);

  bool operator==(const Type& other) const
  {
    return header == other.header && child_frame_id == other.child_frame_id &&
           transform == other.transform;
  }
  bool operator!=(const Type& other) const { return !(*this == other); }
};

using TransformStamped = TransformStamped_<std::allocator<void>>;

}  // namespace geometry_msgs::msg
