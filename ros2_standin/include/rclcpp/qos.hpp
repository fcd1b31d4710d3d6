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

enum class ReliabilityPolicy { BestEffort = 2, Reliable = 1, SystemDefault = 0, Unknown = 3 };
enum class DurabilityPolicy { Volatile = 2, TransientLocal = 1, SystemDefault = 0, Unknown = 3 };

/// Keep-last history of `depth` messages, reliable unless set otherwise, volatile. Delivery in
/// one process is the same for both reliabilities; a best-effort subscription accepts reliable
/// and best-effort publishers alike, as in ROS 2. A transient-local publisher keeps its last
/// `depth` messages for subscriptions that join later, when they are transient-local too; a
/// transient-local subscription hears no volatile publisher (their QoS is incompatible).
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
  ReliabilityPolicy reliability() const { return _reliability; }
  QoS& reliable()
  {
    _reliability = ReliabilityPolicy::Reliable;
    return *this;
  }
  QoS& best_effort()
  {
    _reliability = ReliabilityPolicy::BestEffort;
    return *this;
  }
  DurabilityPolicy durability() const { return _durability; }
  QoS& transient_local()
  {
    _durability = DurabilityPolicy::TransientLocal;
    return *this;
  }
  QoS& durability_volatile()
  {
    _durability = DurabilityPolicy::Volatile;
    return *this;
  }

private:
  std::size_t _depth;
  ReliabilityPolicy _reliability = ReliabilityPolicy::Reliable;
  DurabilityPolicy _durability = DurabilityPolicy::Volatile;
};

/// ROS 2's profile for sensor streams: keep-last 5, best effort.
class SensorDataQoS : public QoS
{
public:
  explicit SensorDataQoS(const QoSInitialization& init = KeepLast(5)) : QoS(init) { best_effort(); }
};

}  // namespace rclcpp
