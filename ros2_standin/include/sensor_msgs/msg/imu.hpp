#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "geometry_msgs/msg/quaternion.hpp"
#include "geometry_msgs/msg/vector3.hpp"
#include "rosidl_runtime_cpp/message_initialization.hpp"
#include "std_msgs/msg/header.hpp"

namespace sensor_msgs::msg
{

template <class ContainerAllocator>
struct Imu_
{
  using Type = Imu_<ContainerAllocator>;

  explicit Imu_(rosidl_runtime_cpp::MessageInitialization _init =
                  rosidl_runtime_cpp::MessageInitialization::ALL)
    : header(_init), orientation(_init), angular_velocity(_init), linear_acceleration(_init)
  {
    (void)_init;
    if (_init != rosidl_runtime_cpp::MessageInitialization::SKIP) {
      orientation_covariance.fill(0.0);
    }
    if (_init != rosidl_runtime_cpp::MessageInitialization::SKIP) {
      angular_velocity_covariance.fill(0.0);
    }
    if (_init != rosidl_runtime_cpp::MessageInitialization::SKIP) {
      linear_acceleration_covariance.fill(0.0);
    }
  }
  explicit Imu_(const ContainerAllocator&, rosidl_runtime_cpp::MessageInitialization _init =
                                             rosidl_runtime_cpp::MessageInitialization::ALL)
    : Imu_(_init)
  {
  }

  using _header_type = std_msgs::msg::Header_<ContainerAllocator>;
  _header_type header;
  using _orientation_type = geometry_msgs::msg::Quaternion_<ContainerAllocator>;
  _orientation_type orientation;
  using _orientation_covariance_type = std::array<double, 9>;
  _orientation_covariance_type orientation_covariance;
  using _angular_velocity_type = geometry_msgs::msg::Vector3_<ContainerAllocator>;
  _angular_velocity_type angular_velocity;
  using _angular_velocity_covariance_type = std::array<double, 9>;
  _angular_velocity_covariance_type angular_velocity_covariance;
  using _linear_acceleration_type = geometry_msgs::msg::Vector3_<ContainerAllocator>;
  _linear_acceleration_type linear_acceleration;
  using _linear_acceleration_covariance_type = std::array<double, 9>;
  _linear_acceleration_covariance_type linear_acceleration_covariance;

  ROS2_STANDIN_MESSAGE_ALIASES(Type);

  bool operator==(const Type& other) const
  {
    return header == other.header && orientation == other.orientation &&
           orientation_covariance == other.orientation_covariance &&
           angular_velocity == other.angular_velocity &&
           angular_velocity_covariance == other.angular_velocity_covariance &&
           linear_acceleration == other.linear_acceleration &&
           linear_acceleration_covariance == other.linear_acceleration_covariance;
  }
  bool operator!=(const Type& other) const { return !(*this == other); }
};

using Imu = Imu_<std::allocator<void>>;

}  // namespace sensor_msgs::msg
