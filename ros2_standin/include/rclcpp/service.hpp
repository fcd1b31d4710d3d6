#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace rclcpp
{

/// A service of type ServiceT. The stand-in has no other process to call it: it holds the
/// callback, and a test may call it in-process through handle().
template <typename ServiceT>
class Service
{
public:
  using SharedPtr = std::shared_ptr<Service<ServiceT>>;
  using Callback = std::function<void(std::shared_ptr<typename ServiceT::Request>,
                                      std::shared_ptr<typename ServiceT::Response>)>;

  Service(std::string name, Callback callback)
    : _name(std::move(name)), _callback(std::move(callback))
  {
  }
  const char* get_service_name() const { return _name.c_str(); }

  /// Stand-in only: what a client's call would get back.
  std::shared_ptr<typename ServiceT::Response> handle(
    std::shared_ptr<typename ServiceT::Request> request)
  {
    auto response = std::make_shared<typename ServiceT::Response>();
    _callback(std::move(request), response);
    return response;
  }

private:
  std::string _name;
  Callback _callback;
};

}  // namespace rclcpp
