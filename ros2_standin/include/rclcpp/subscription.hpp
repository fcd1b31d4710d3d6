#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <typeindex>
#include <utility>
#include <vector>

#include "rclcpp/standin/graph.hpp"

namespace rclcpp
{

class SubscriptionBase : public standin::SubscriptionEntry
{
public:
  using standin::SubscriptionEntry::SubscriptionEntry;
  const char* get_topic_name() const { return topic.c_str(); }
  std::size_t get_publisher_count() const { return standin::count_publishers(topic); }
};

template <typename MessageT, typename AllocatorT = std::allocator<void>, typename = void,
          typename = void, typename = void>
class Subscription : public SubscriptionBase
{
public:
  using SharedPtr = std::shared_ptr<Subscription>;
  // The subscription's own copy of each message: a callback that takes it mutable gets it as it is.
  using Callback = std::function<void(std::shared_ptr<MessageT>)>;

  Subscription(const std::string& topic, const void* owner, std::size_t depth, Callback callback,
               bool transient_local = false)
    : SubscriptionBase(topic, std::type_index(typeid(MessageT)), owner, depth, transient_local),
      _callback(std::move(callback))
  {
  }

  // The queue is a ring of `depth` slots, and a message's storage goes back to a pool once the
  // callback has let go of it, as rclcpp's message pools do: a steady flow of messages of one
  // shape allocates nothing.
  void enqueue(const void* message, uint64_t sequence) override
  {
    if (_ring.empty()) {
      _ring.resize(depth);
    }
    if (_count == depth) {  // full: the oldest is dropped
      recycle(std::move(_ring[_head].second));
      _head = (_head + 1) % depth;
      --_count;
    }
    std::shared_ptr<MessageT> copy;
    if (!_pool.empty()) {
      copy = std::move(_pool.back());
      _pool.pop_back();
      *copy = *static_cast<const MessageT*>(message);
    } else {
      copy = std::make_shared<MessageT>(*static_cast<const MessageT*>(message));
    }
    _ring[(_head + _count) % depth] = {sequence, std::move(copy)};
    ++_count;
  }
  uint64_t oldest() const override
  {
    return _count == 0 ? std::numeric_limits<uint64_t>::max() : _ring[_head].first;
  }
  void execute_one() override
  {
    std::shared_ptr<MessageT> msg = std::move(_ring[_head].second);
    _head = (_head + 1) % depth;
    --_count;
    _callback(msg);
    recycle(std::move(msg));
  }

private:
  // Back to the pool, unless the callback kept the message.
  void recycle(std::shared_ptr<MessageT> msg)
  {
    if (msg && msg.use_count() == 1 && _pool.size() < depth) {
      _pool.push_back(std::move(msg));
    }
  }

  Callback _callback;
  std::vector<std::pair<uint64_t, std::shared_ptr<MessageT>>> _ring;
  std::size_t _head = 0, _count = 0;
  std::vector<std::shared_ptr<MessageT>> _pool;
};

}  // namespace rclcpp
