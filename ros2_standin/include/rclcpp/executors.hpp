#pragma once

#include "rclcpp/node.hpp"

namespace rclcpp
{

/// Runs the node's callbacks on the calling thread, one at a time, until the context shuts down
/// (shutdown() or SIGINT/SIGTERM). Throws exceptions::RCLError when the context is not valid.
/// An exception from a callback leaves spin().
void spin(Node::SharedPtr node_ptr);
/// Runs the callbacks whose messages are already queued, without blocking.
void spin_some(Node::SharedPtr node_ptr);

}  // namespace rclcpp
