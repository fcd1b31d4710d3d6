#pragma once

// rclcpp_components registers a node class with class_loader so that a component container can
// load it from the package's shared library. The stand-in has no containers (its nodes live in the
// one process that makes them): the macro registers nothing.
#define RCLCPP_COMPONENTS_REGISTER_NODE(NodeClass)
