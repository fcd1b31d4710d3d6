#pragma once

// The in-process topic graph of the stand-in: publications are copied into the queue of every
// subscription of the same topic and message type, and run by spin()/spin_some() of the node that
// owns the subscription.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <typeindex>

namespace rclcpp::standin
{

class SubscriptionEntry
{
public:
  SubscriptionEntry(std::string topic, std::type_index type, const void* owner, std::size_t depth,
                    bool transient_local = false)
    : topic(std::move(topic)), type(type), owner(owner), depth(depth == 0 ? 1 : depth),
      transient_local(transient_local)
  {
  }
  virtual ~SubscriptionEntry() = default;
  /// Queues a copy of `message` (a const MessageT*), dropping the oldest beyond the depth.
  virtual void enqueue(const void* message, uint64_t sequence) = 0;
  /// Sequence number of the oldest queued message, or UINT64_MAX when none is queued.
  virtual uint64_t oldest() const = 0;
  /// Runs the callback on the oldest queued message.
  virtual void execute_one() = 0;

  const std::string topic;
  const std::type_index type;
  const void* const owner;
  const std::size_t depth;
  const bool transient_local;
};

struct PublisherEntry
{
  std::string topic;
  std::type_index type;
  const void* owner;
  bool transient_local = false;
  std::size_t depth = 1;
  // A transient-local publisher's last `depth` messages (each a const MessageT), for late joiners.
  std::deque<std::shared_ptr<const void>> retained;
};

/// A transient-local subscription first receives what matching transient-local publishers kept.
void register_subscription(const std::shared_ptr<SubscriptionEntry>& entry);
void register_publisher(PublisherEntry* entry);
void unregister_publisher(const PublisherEntry* entry);
/// Delivers `message` (a const MessageT of `publisher`'s type) to every live subscription of the
/// publisher's topic and type whose QoS is compatible, and keeps it when the publisher is
/// transient-local (`keep` owns a copy).
void deliver(PublisherEntry* publisher, const void* message, std::shared_ptr<const void> keep);
std::size_t count_subscriptions(const std::string& topic);
std::size_t count_publishers(const std::string& topic);
/// Runs, in publication order, the messages queued for `owner`'s subscriptions when called.
/// Returns how many ran.
std::size_t run_ready(const void* owner);
/// Blocks up to `timeout_ms` or until something is published or the context shuts down.
void wait_for_work(int timeout_ms);
/// Expands a topic name against the node's namespace and fully qualified name; throws
/// exceptions::InvalidTopicNameError for an invalid one.
std::string resolve_topic(const std::string& topic, const std::string& node_namespace,
                          const std::string& fully_qualified_node);

}  // namespace rclcpp::standin
