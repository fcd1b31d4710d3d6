#pragma once

#include <memory>
#include <string>

namespace rclcpp
{

class Logger;
Logger get_logger(const std::string& name);

class Logger
{
public:
  enum class Level {
    Unset = 0,
    Debug = 10,
    Info = 20,
    Warn = 30,
    Error = 40,
    Fatal = 50,
  };

  const char* get_name() const { return _name->c_str(); }
  Logger get_child(const std::string& suffix) const { return Logger(*_name + "." + suffix); }
  void set_level(Level level);

private:
  friend Logger rclcpp::get_logger(const std::string& name);
  explicit Logger(const std::string& name) : _name(std::make_shared<const std::string>(name)) {}
  std::shared_ptr<const std::string> _name;
};

}  // namespace rclcpp
