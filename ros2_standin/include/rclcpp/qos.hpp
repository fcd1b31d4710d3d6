#pragma once

#include <cstddef>

namespace rclcpp
{

struct QoSInitialization
{
  std::size_t depth;
  explicit QoSInitialization(std::size_t depth_) : depth(depth_) {}
};

struct KeepLast : QoSInitialization
{
  explicit KeepLast(std::size_t depth_) : QoSInitialization(depth_) {}
};

/// Keep-last history of `depth` messages, reliable, volatile.
class QoS
{
public:
  QoS(std::size_t history_depth) : _depth(history_depth) {}  // NOLINT: implicit, as in ROS 2
  explicit QoS(const QoSInitialization& init) : _depth(init.depth) {}
  std::size_t depth() const { return _depth; }
  QoS& keep_last(std::size_t depth)
  {
    _depth = depth;
    return *this;
  }

private:
  std::size_t _depth;
};

}  // namespace rclcpp
