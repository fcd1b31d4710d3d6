#pragma once

// The ROS 2 stand-in: the slice of rclcpp (Humble) that this project uses, with the same include
// paths, names, signatures, defaults, exception types and console format, for machines where ROS 2
// is not installed. Topics are an in-process graph.

#include "rclcpp/context.hpp"
#include "rclcpp/exceptions.hpp"
#include "rclcpp/executors.hpp"
#include "rclcpp/logger.hpp"
#include "rclcpp/logging.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/node_options.hpp"
#include "rclcpp/parameter.hpp"
#include "rclcpp/publisher.hpp"
#include "rclcpp/qos.hpp"
#include "rclcpp/subscription.hpp"
#include "rclcpp/utilities.hpp"
