#pragma once

// The in-process topic graph of the stand-in: publications are copied into the queue of every
// subscription of the same topic and message type, and run by spin()/spin_some() of the node that
// owns the subscription.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <typeindex>

namespace rclcpp::standin
{

class SubscriptionEntry
{
public:
  SubscriptionEntry(std::string topic, std::type_index type, const void* owner, std::size_t depth)
    : topic(std::move(topic)), type(type), owner(owner), depth(depth == 0 ? 1 : depth)
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
};

struct PublisherEntry
{
  std::string topic;
  std::type_index type;
  const void* owner;
};

void register_subscription(const std::shared_ptr<SubscriptionEntry>& entry);
void register_publisher(const PublisherEntry* entry);
void unregister_publisher(const PublisherEntry* entry);
/// Delivers `message` to every live subscription of `topic` and `type`.
void deliver(const std::string& topic, std::type_index type, const void* message);
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
