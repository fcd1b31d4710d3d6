#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "rcl_interfaces/msg/parameter_descriptor.hpp"
#include "rcl_interfaces/msg/set_parameters_result.hpp"
#include "rclcpp/clock.hpp"
#include "rclcpp/exceptions/exceptions.hpp"
#include "rclcpp/logger.hpp"
#include "rclcpp/node_options.hpp"
#include "rclcpp/parameter.hpp"
#include "rclcpp/publisher.hpp"
#include "rclcpp/qos.hpp"
#include "rclcpp/service.hpp"
#include "rclcpp/subscription.hpp"

namespace rclcpp
{

class Node : public std::enable_shared_from_this<Node>
{
public:
  using SharedPtr = std::shared_ptr<Node>;
  using ConstSharedPtr = std::shared_ptr<const Node>;
  using WeakPtr = std::weak_ptr<Node>;
  using ConstWeakPtr = std::weak_ptr<const Node>;
  using UniquePtr = std::unique_ptr<Node>;

  template <typename... Args>
  static SharedPtr make_shared(Args&&... args)
  {
    return std::make_shared<Node>(std::forward<Args>(args)...);
  }

  explicit Node(const std::string& node_name, const NodeOptions& options = NodeOptions());
  explicit Node(const std::string& node_name, const std::string& namespace_,
                const NodeOptions& options = NodeOptions());
  virtual ~Node();
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  const char* get_name() const { return _name.c_str(); }
  const char* get_namespace() const { return _namespace.c_str(); }
  const char* get_fully_qualified_name() const { return _fully_qualified_name.c_str(); }
  Logger get_logger() const { return _logger; }

  const ParameterValue& declare_parameter(
    const std::string& name, const ParameterValue& default_value,
    const rcl_interfaces::msg::ParameterDescriptor& parameter_descriptor =
      rcl_interfaces::msg::ParameterDescriptor(),
    bool ignore_override = false);

  /// Declares `name` with the type of `default_value` and returns the effective value by value
  /// (an override, unless `ignore_override`). A string literal default gives a string parameter.
  template <typename ParameterT>
  auto declare_parameter(const std::string& name, const ParameterT& default_value,
                         const rcl_interfaces::msg::ParameterDescriptor& parameter_descriptor =
                           rcl_interfaces::msg::ParameterDescriptor(),
                         bool ignore_override = false)
  {
    using Decayed = std::decay_t<ParameterT>;
    if constexpr (std::is_same_v<Decayed, const char*> || std::is_same_v<Decayed, char*> ||
                  std::is_same_v<Decayed, std::string>) {
      return std::string(declare_parameter(name, ParameterValue(std::string(default_value)),
                                           parameter_descriptor, ignore_override)
                           .template get<std::string>());
    } else {
      return declare_parameter(name, ParameterValue(default_value), parameter_descriptor,
                               ignore_override)
        .template get<ParameterT>();
    }
  }

  Parameter get_parameter(const std::string& name) const;
  bool get_parameter(const std::string& name, Parameter& parameter) const;
  template <typename ParameterT>
  bool get_parameter(const std::string& name, ParameterT& parameter) const
  {
    Parameter p;
    if (!get_parameter(name, p) || p.get_type() == PARAMETER_NOT_SET) {
      return false;
    }
    parameter = p.get_value<ParameterT>();
    return true;
  }
  bool has_parameter(const std::string& name) const { return _parameters.count(name) > 0; }
  /// Sets a declared parameter as `ros2 param set` does: refused (with the reason) when it is
  /// read only, of another type than declared, or outside its range. Throws
  /// ParameterNotDeclaredException for a parameter never declared.
  rcl_interfaces::msg::SetParametersResult set_parameter(const Parameter& parameter);
  /// The descriptor the parameter was declared with, its name and type filled in.
  rcl_interfaces::msg::ParameterDescriptor describe_parameter(const std::string& name) const;

  template <typename MessageT, typename AllocatorT = std::allocator<void>,
            typename PublisherT = Publisher<MessageT, AllocatorT>>
  std::shared_ptr<PublisherT> create_publisher(const std::string& topic_name, const QoS& qos)
  {
    return std::make_shared<PublisherT>(resolve(topic_name), this,
                                        qos.durability() == DurabilityPolicy::TransientLocal,
                                        qos.depth());
  }

  /// `callback` may take `const MessageT&`, `std::shared_ptr<const MessageT>`,
  /// `std::unique_ptr<MessageT>` or `std::shared_ptr<MessageT>`.
  template <typename MessageT, typename CallbackT, typename AllocatorT = std::allocator<void>,
            typename SubscriptionT = Subscription<MessageT, AllocatorT>>
  std::shared_ptr<SubscriptionT> create_subscription(const std::string& topic_name, const QoS& qos,
                                                     CallbackT&& callback)
  {
    using Fn = std::decay_t<CallbackT>;
    Fn fn(std::forward<CallbackT>(callback));
    typename SubscriptionT::Callback adapted;
    if constexpr (std::is_invocable_v<Fn&, const MessageT&>) {
      adapted = [fn](std::shared_ptr<MessageT> m) mutable { fn(*m); };
    } else if constexpr (std::is_invocable_v<Fn&, std::shared_ptr<const MessageT>>) {
      adapted = [fn](std::shared_ptr<MessageT> m) mutable {
        fn(std::shared_ptr<const MessageT>(std::move(m)));
      };
    } else if constexpr (std::is_invocable_v<Fn&, std::unique_ptr<MessageT>>) {
      adapted = [fn](std::shared_ptr<MessageT> m) mutable {
        fn(std::make_unique<MessageT>(*m));
      };
    } else {
      static_assert(std::is_invocable_v<Fn&, std::shared_ptr<MessageT>>,
                    "the subscription callback takes none of the supported argument types");
      adapted = [fn](std::shared_ptr<MessageT> m) mutable { fn(std::move(m)); };
    }
    auto subscription =
      std::make_shared<SubscriptionT>(resolve(topic_name), this, qos.depth(), std::move(adapted),
                                      qos.durability() == DurabilityPolicy::TransientLocal);
    standin::register_subscription(subscription);
    return subscription;
  }

  /// `callback` takes (std::shared_ptr<Request>, std::shared_ptr<Response>).
  template <typename ServiceT, typename CallbackT>
  typename Service<ServiceT>::SharedPtr create_service(const std::string& service_name,
                                                       CallbackT&& callback)
  {
    return std::make_shared<Service<ServiceT>>(resolve(service_name),
                                               std::forward<CallbackT>(callback));
  }

  std::size_t count_publishers(const std::string& topic_name) const;
  std::size_t count_subscribers(const std::string& topic_name) const;

  /// The node's clock (ROS time, which is the system time unless "use_sim_time" is set).
  Clock::SharedPtr get_clock() { return _clock; }
  Clock::ConstSharedPtr get_clock() const { return _clock; }

private:
  std::string resolve(const std::string& topic_name) const;

  std::string _name;
  std::string _namespace;
  std::string _fully_qualified_name;
  Logger _logger;
  Clock::SharedPtr _clock = std::make_shared<Clock>();
  std::map<std::string, ParameterValue> _overrides;
  std::map<std::string, ParameterValue> _parameters;
  std::map<std::string, rcl_interfaces::msg::ParameterDescriptor> _descriptors;
};

}  // namespace rclcpp
