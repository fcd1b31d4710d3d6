#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "rosidl_runtime_cpp/message_initialization.hpp"

namespace geometry_msgs::msg
{

template <class ContainerAllocator>
struct Point_
{
  using Type = Point_<ContainerAllocator>;

  explicit Point_(rosidl_runtime_cpp::MessageInitialization _init =
                    rosidl_runtime_cpp::MessageInitialization::ALL)
  {
    (void)_init;
    if (_init != rosidl_runtime_cpp::MessageInitialization::SKIP &&
        _init != rosidl_runtime_cpp::MessageInitialization::DEFAULTS_ONLY) {
      x = 0.0;
    }
    if (_init != rosidl_runtime_cpp::MessageInitialization::SKIP &&
        _init != rosidl_runtime_cpp::MessageInitialization::DEFAULTS_ONLY) {
      y = 0.0;
    }
    if (_init != rosidl_runtime_cpp::MessageInitialization::SKIP &&
        _init != rosidl_runtime_cpp::MessageInitialization::DEFAULTS_ONLY) {
      z = 0.0;
    }
  }
  explicit Point_(const ContainerAllocator&, rosidl_runtime_cpp::MessageInitialization _init =
                                               rosidl_runtime_cpp::MessageInitialization::ALL)
    : Point_(_init)
  {
  }

  using _x_type = double;
  _x_type x;
  using _y_type = double;
  _y_type y;
  using _z_type = double;
  _z_type z;

  ROS2_STANDIN_MESSAGE_ALIASES(Type);

  bool operator==(const Type& other) const { return x == other.x && y == other.y && z == other.z; }
  bool operator!=(const Type& other) const { return !(*this == other); }
};

using Point = Point_<std::allocator<void>>;

}  // namespace geometry_msgs::msg
