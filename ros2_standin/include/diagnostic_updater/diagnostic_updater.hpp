#pragma once

// The slice of diagnostic_updater (Humble) the node uses. The stand-in has no timers: an Updater
// publishes when a task is added and on force_update(), not every period.

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "diagnostic_msgs/msg/diagnostic_array.hpp"
#include "rclcpp/rclcpp.hpp"

namespace diagnostic_updater
{

class DiagnosticStatusWrapper : public diagnostic_msgs::msg::DiagnosticStatus
{
public:
  void summary(unsigned char lvl, const std::string s)
  {
    level = lvl;
    message = s;
  }
  /// Raises the level to `lvl` when it is higher; messages of the same kind (OK, or not) are
  /// joined with "; ", a worse one replaces the rest.
  void mergeSummary(unsigned char lvl, const std::string s)
  {
    if ((lvl > 0) == (level > 0)) {
      if (!message.empty()) {
        message += "; ";
      }
      message += s;
    } else if (lvl > level) {
      message = s;
    }
    if (lvl > level) {
      level = lvl;
    }
  }
  template <class T>
  void add(const std::string& key, const T& val)
  {
    std::stringstream ss;
    ss << val;
    add(key, ss.str());
  }
  void add(const std::string& key, const std::string& s)
  {
    diagnostic_msgs::msg::KeyValue kv;
    kv.key = key;
    kv.value = s;
    values.push_back(kv);
  }
  void add(const std::string& key, const bool& b) { add(key, std::string(b ? "True" : "False")); }
};

using TaskFunction = std::function<void(DiagnosticStatusWrapper&)>;

class Updater
{
public:
  /// Publishes on "/diagnostics"; declares "diagnostic_updater.period" (default `period`) and
  /// "diagnostic_updater.use_fqn" (false: statuses are named "<node name>: <task name>").
  template <class NodeT>
  explicit Updater(NodeT node, double period = 1.0)
  {
    _publisher =
      node->template create_publisher<diagnostic_msgs::msg::DiagnosticArray>("/diagnostics", 1);
    if (!node->has_parameter("diagnostic_updater.period")) {
      node->declare_parameter("diagnostic_updater.period", rclcpp::ParameterValue(period));
    }
    bool use_fqn = false;
    if (!node->has_parameter("diagnostic_updater.use_fqn")) {
      use_fqn = node->declare_parameter("diagnostic_updater.use_fqn", rclcpp::ParameterValue(false))
                  .template get<bool>();
    }
    _node_name = use_fqn ? node->get_fully_qualified_name() : node->get_name();
  }

  void setHardwareID(const std::string& hwid) { _hwid = hwid; }

  /// Adds a task; a placeholder status ("Node starting up") is published at once.
  void add(const std::string& name, TaskFunction f)
  {
    _tasks.emplace_back(name, std::move(f));
    DiagnosticStatusWrapper stat;
    stat.name = name;
    stat.summary(0, "Node starting up");
    publish({stat});
  }

  /// Runs every task and publishes their statuses.
  void force_update()
  {
    std::vector<diagnostic_msgs::msg::DiagnosticStatus> statuses;
    for (auto& [name, task] : _tasks) {
      DiagnosticStatusWrapper status;
      status.name = name;
      status.level = 2;
      status.message = "No message was set";
      status.hardware_id = _hwid;
      task(status);
      statuses.push_back(status);
    }
    if (!statuses.empty()) {
      publish(std::move(statuses));
    }
  }

private:
  void publish(std::vector<diagnostic_msgs::msg::DiagnosticStatus> statuses)
  {
    diagnostic_msgs::msg::DiagnosticArray msg;
    for (auto& s : statuses) {
      s.name = _node_name + ": " + s.name;
    }
    msg.status = std::move(statuses);
    _publisher->publish(msg);
  }

  std::string _node_name;
  std::string _hwid;
  std::vector<std::pair<std::string, TaskFunction>> _tasks;
  rclcpp::Publisher<diagnostic_msgs::msg::DiagnosticArray>::SharedPtr _publisher;
};

}  // namespace diagnostic_updater
