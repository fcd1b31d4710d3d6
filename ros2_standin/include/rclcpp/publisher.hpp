#pragma once

#include <memory>
#include <string>
#include <type_traits>
#include <typeindex>

#include "rclcpp/standin/graph.hpp"
#include "rclcpp/utilities.hpp"

namespace rclcpp
{

class PublisherBase
{
public:
  PublisherBase(const std::string& topic, std::type_index type, const void* owner,
                bool transient_local = false, std::size_t depth = 1)
    : _entry{topic, type, owner, transient_local, depth == 0 ? 1 : depth, {}}
  {
    standin::register_publisher(&_entry);
  }
  virtual ~PublisherBase() { standin::unregister_publisher(&_entry); }
  PublisherBase(const PublisherBase&) = delete;
  PublisherBase& operator=(const PublisherBase&) = delete;

  const char* get_topic_name() const { return _entry.topic.c_str(); }
  std::size_t get_subscription_count() const { return standin::count_subscriptions(_entry.topic); }

protected:
  standin::PublisherEntry _entry;
};

template <typename MessageT, typename AllocatorT = std::allocator<void>>
class Publisher : public PublisherBase
{
public:
  using SharedPtr = std::shared_ptr<Publisher<MessageT, AllocatorT>>;

  Publisher(const std::string& topic, const void* owner, bool transient_local = false,
            std::size_t depth = 1)
    : PublisherBase(topic, std::type_index(typeid(MessageT)), owner, transient_local, depth)
  {
  }

  /// Delivers a copy to every subscription of the topic; does nothing after shutdown.
  template <typename T>
  std::enable_if_t<std::is_same_v<T, MessageT>> publish(const T& msg)
  {
    if (rclcpp::ok()) {
      standin::deliver(&_entry, &msg,
                       _entry.transient_local ? std::make_shared<const MessageT>(msg) : nullptr);
    }
  }
  template <typename T, typename Deleter>
  std::enable_if_t<std::is_same_v<T, MessageT>> publish(std::unique_ptr<T, Deleter> msg)
  {
    publish(*msg);
  }
};

}  // namespace rclcpp
