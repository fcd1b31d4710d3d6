#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <typeindex>
#include <utility>

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
  using Callback = std::function<void(std::shared_ptr<const MessageT>)>;

  Subscription(const std::string& topic, const void* owner, std::size_t depth, Callback callback,
               bool transient_local = false)
    : SubscriptionBase(topic, std::type_index(typeid(MessageT)), owner, depth, transient_local),
      _callback(std::move(callback))
  {
  }

  void enqueue(const void* message, uint64_t sequence) override
  {
    _queue.emplace_back(sequence,
                        std::make_shared<const MessageT>(*static_cast<const MessageT*>(message)));
    while (_queue.size() > depth) {
      _queue.pop_front();
    }
  }
  uint64_t oldest() const override
  {
    return _queue.empty() ? std::numeric_limits<uint64_t>::max() : _queue.front().first;
  }
  void execute_one() override
  {
    std::shared_ptr<const MessageT> msg = std::move(_queue.front().second);
    _queue.pop_front();
    _callback(std::move(msg));
  }

private:
  Callback _callback;
  std::deque<std::pair<uint64_t, std::shared_ptr<const MessageT>>> _queue;
};

}  // namespace rclcpp
