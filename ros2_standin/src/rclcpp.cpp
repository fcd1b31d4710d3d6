#include "rclcpp/rclcpp.hpp"

#include <unistd.h>

#include <algorithm>
#include <deque>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

namespace rclcpp
{

// ---------------------------------------------------------------------------------------------
// Context, arguments and signals.

namespace
{

struct Override
{
  std::string node_key;  // "/**" for every node, otherwise "/<node name>"
  std::string name;
  ParameterValue value;
};

struct GlobalState
{
  std::mutex mutex;
  std::condition_variable work;
  bool valid = false;
  std::vector<Override> global_overrides;
  Logger::Level default_level = Logger::Level::Info;
  std::map<std::string, Logger::Level, std::less<>> levels;  // found by a logger's C string
  struct sigaction old_int
  {
  };
  struct sigaction old_term
  {
  };
  bool int_installed = false;
  bool term_installed = false;
};

GlobalState& state()
{
  static GlobalState s;
  return s;
}

std::atomic<int> g_signal{0};
std::atomic<bool> g_valid{false};
std::atomic<bool> g_ever_initialised{false};

const char* kInvalidContext =
  "failed to create guard condition: the given context is not valid, either rcl_init() was not "
  "called or rcl_shutdown() was called., at ./src/rcl/guard_condition.c:67";
// Before the first init() the default context has no rcl context at all.
const char* kNullContext =
  "failed to create guard condition: context argument is null, at ./src/rcl/guard_condition.c:65";

void chain(int signum, const struct sigaction& old, siginfo_t* info, void* context)
{
  if ((old.sa_flags & SA_SIGINFO) != 0) {
    if (old.sa_sigaction != nullptr) {
      old.sa_sigaction(signum, info, context);
    }
  } else if (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN && old.sa_handler != nullptr) {
    old.sa_handler(signum);
  }
}

void on_signal(int signum, siginfo_t* info, void* context)
{
  g_signal.store(signum);
  GlobalState& s = state();
  chain(signum, signum == SIGINT ? s.old_int : s.old_term, info, context);
}

void install(int signum, struct sigaction& old, bool& installed)
{
  struct sigaction action
  {
  };
  action.sa_sigaction = on_signal;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  installed = sigaction(signum, &action, &old) == 0;
}

void uninstall_handlers()
{
  GlobalState& s = state();
  if (s.int_installed) {
    sigaction(SIGINT, &s.old_int, nullptr);
    s.int_installed = false;
  }
  if (s.term_installed) {
    sigaction(SIGTERM, &s.old_term, nullptr);
    s.term_installed = false;
  }
}

bool shutdown_context()
{
  GlobalState& s = state();
  bool was_valid;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    was_valid = s.valid;
    s.valid = false;
  }
  g_valid.store(false);
  uninstall_handlers();
  s.work.notify_all();
  return was_valid;
}

// A received signal shuts the context down, as the client library's signal thread does.
void handle_pending_signal()
{
  const int signum = g_signal.exchange(0);
  if (signum != 0) {
    RCLCPP_INFO(get_logger("rclcpp"), "signal_handler(signum=%d)", signum);
    shutdown_context();
  }
}

bool full_match_integer(const std::string& text, int64_t& out)
{
  if (text.empty()) {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0') {
    return false;
  }
  out = v;
  return true;
}

bool full_match_double(const std::string& text, double& out)
{
  if (text == ".inf" || text == ".Inf" || text == ".INF" || text == "+.inf") {
    out = HUGE_VAL;
    return true;
  }
  if (text == "-.inf" || text == "-.Inf" || text == "-.INF") {
    out = -HUGE_VAL;
    return true;
  }
  if (text == ".nan" || text == ".NaN" || text == ".NAN") {
    out = std::nan("");
    return true;
  }
  if (text.empty()) {
    return false;
  }
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0') {
    return false;
  }
  out = v;
  return true;
}

}  // namespace

namespace
{

// The YAML scalar typing of rcl's parameter parser: bool, then integer, then double, else string.
ParameterValue parse_parameter_value(const std::string& text)
{
  static const char* trues[] = {"true", "True", "TRUE", "yes", "Yes", "YES",
                                "y",    "Y",    "on",   "On",  "ON"};
  static const char* falses[] = {"false", "False", "FALSE", "no",  "No", "NO",
                                 "n",     "N",     "off",   "Off", "OFF"};
  for (const char* t : trues) {
    if (text == t) {
      return ParameterValue(true);
    }
  }
  for (const char* f : falses) {
    if (text == f) {
      return ParameterValue(false);
    }
  }
  if (text.size() >= 2 && ((text.front() == '\'' && text.back() == '\'') ||
                           (text.front() == '"' && text.back() == '"'))) {
    return ParameterValue(text.substr(1, text.size() - 2));
  }
  int64_t i = 0;
  if (full_match_integer(text, i)) {
    return ParameterValue(i);
  }
  double d = 0;
  if (full_match_double(text, d)) {
    return ParameterValue(d);
  }
  return ParameterValue(text);
}

Logger::Level parse_level(const std::string& text)
{
  std::string lower = text;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "debug") {
    return Logger::Level::Debug;
  }
  if (lower == "info") {
    return Logger::Level::Info;
  }
  if (lower == "warn") {
    return Logger::Level::Warn;
  }
  if (lower == "error") {
    return Logger::Level::Error;
  }
  if (lower == "fatal") {
    return Logger::Level::Fatal;
  }
  throw exceptions::RCLInvalidROSArgsError("Couldn't parse log level: '" + text + "'");
}

// Parses the ROS arguments of `args` into `overrides` (and log levels into the global state).
void parse_ros_args(const std::vector<std::string>& args, std::vector<Override>& overrides,
                    bool apply_log_levels)
{
  std::vector<std::string> unknown;
  bool in_ros = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--ros-args") {
      in_ros = true;
      continue;
    }
    if (!in_ros) {
      continue;
    }
    if (a == "--") {
      in_ros = false;
      continue;
    }
    const auto next = [&]() -> std::string {
      if (i + 1 >= args.size()) {
        throw exceptions::RCLInvalidROSArgsError("Couldn't parse trailing " + a +
                                                 " flag. No argument provided");
      }
      return args[++i];
    };
    if (a == "-p" || a == "--param") {
      const std::string rule = next();
      const auto assign = rule.find(":=");
      if (assign == std::string::npos || assign == 0) {
        throw exceptions::RCLInvalidROSArgsError("Couldn't parse parameter override rule: '" + a +
                                                 " " + rule + "'");
      }
      std::string lhs = rule.substr(0, assign);
      std::string node_key = "/**";
      const auto colon = lhs.find(':');
      if (colon != std::string::npos) {
        node_key = lhs.substr(0, colon);
        lhs = lhs.substr(colon + 1);
        if (node_key.empty() || node_key[0] != '/') {
          node_key = "/" + node_key;
        }
      }
      overrides.push_back({node_key, lhs, parse_parameter_value(rule.substr(assign + 2))});
    } else if (a == "--log-level") {
      const std::string rule = next();
      const auto assign = rule.find(":=");
      if (apply_log_levels) {
        if (assign == std::string::npos) {
          state().default_level = parse_level(rule);
        } else {
          state().levels[rule.substr(0, assign)] = parse_level(rule.substr(assign + 2));
        }
      }
    } else if (a == "-r" || a == "--remap") {
      next();
    } else if (a == "--params-file") {
      throw exceptions::RCLInvalidROSArgsError(
        "--params-file is not supported by the ROS 2 stand-in; use -p name:=value");
    } else {
      unknown.push_back(a);
    }
  }
  if (!unknown.empty()) {
    throw exceptions::UnknownROSArgsError(unknown);
  }
}

}  // namespace

exceptions::UnknownROSArgsError::UnknownROSArgsError(std::vector<std::string> args)
  : std::runtime_error([&] {
      std::string text = "found unknown ROS arguments: ";
      for (std::size_t i = 0; i < args.size(); ++i) {
        text += (i == 0 ? "'" : ", '") + args[i] + "'";
      }
      return text;
    }()),
    unknown_ros_args(std::move(args))
{
}

bool Context::is_valid() const { return g_valid.load(); }

Context::SharedPtr contexts::get_global_default_context()
{
  static Context::SharedPtr context = std::make_shared<Context>();
  return context;
}

void init(int argc, char const* const* argv, const InitOptions& init_options,
          SignalHandlerOptions signal_handler_options)
{
  GlobalState& s = state();
  handle_pending_signal();
  if (g_valid.load()) {
    throw ContextAlreadyInitialized();
  }
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    args.emplace_back(argv[i] != nullptr ? argv[i] : "");
  }
  std::vector<Override> overrides;
  parse_ros_args(args, overrides, true);
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.global_overrides = std::move(overrides);
    s.valid = true;
  }
  g_signal.store(0);
  g_valid.store(true);
  g_ever_initialised.store(true);
  if (init_options.shutdown_on_signal) {
    if (signal_handler_options == SignalHandlerOptions::All ||
        signal_handler_options == SignalHandlerOptions::SigInt) {
      install(SIGINT, s.old_int, s.int_installed);
    }
    if (signal_handler_options == SignalHandlerOptions::All ||
        signal_handler_options == SignalHandlerOptions::SigTerm) {
      install(SIGTERM, s.old_term, s.term_installed);
    }
  }
}

bool ok(Context::SharedPtr)
{
  handle_pending_signal();
  return g_valid.load();
}

bool shutdown(Context::SharedPtr, const std::string&)
{
  handle_pending_signal();
  const bool was_valid = shutdown_context();
  uninstall_handlers();
  return was_valid;
}

// ---------------------------------------------------------------------------------------------
// Parameters.

std::string to_string(ParameterType type)
{
  switch (type) {
    case PARAMETER_NOT_SET:
      return "not set";
    case PARAMETER_BOOL:
      return "bool";
    case PARAMETER_INTEGER:
      return "integer";
    case PARAMETER_DOUBLE:
      return "double";
    case PARAMETER_STRING:
      return "string";
  }
  return "unknown type";
}

ParameterType ParameterValue::get_type() const
{
  return static_cast<ParameterType>(_value.index());
}

const ParameterValue::Storage& ParameterValue::checked(ParameterType expected) const
{
  if (get_type() != expected) {
    throw ParameterTypeException(expected, get_type());
  }
  return _value;
}

std::string to_string(const ParameterValue& value)
{
  switch (value.get_type()) {
    case PARAMETER_NOT_SET:
      return "not set";
    case PARAMETER_BOOL:
      return value.get<bool>() ? "true" : "false";
    case PARAMETER_INTEGER:
      return std::to_string(value.get<int64_t>());
    case PARAMETER_DOUBLE: {
      char buffer[64];
      std::snprintf(buffer, sizeof(buffer), "%g", value.get<double>());
      return buffer;
    }
    case PARAMETER_STRING:
      return value.get<std::string>();
  }
  return "";
}

// ---------------------------------------------------------------------------------------------
// Logging.

void Logger::set_level(Level level) { state().levels[*_name] = level; }

Logger get_logger(const std::string& name) { return Logger(name); }

namespace standin
{

void log(const Logger& logger, Logger::Level severity, const char* format, ...)
{
  GlobalState& s = state();
  Logger::Level threshold = s.default_level;
  const auto it = s.levels.find(logger.get_name());
  if (it != s.levels.end() && it->second != Logger::Level::Unset) {
    threshold = it->second;
  }
  if (severity < threshold) {
    return;
  }
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string message(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) {
    std::vsnprintf(message.data(), message.size() + 1, format, args);
  }
  va_end(args);

  const char* name = "INFO";
  const char* colour = "";
  switch (severity) {
    case Logger::Level::Debug:
      name = "DEBUG";
      colour = "\033[32m";
      break;
    case Logger::Level::Warn:
      name = "WARN";
      colour = "\033[33m";
      break;
    case Logger::Level::Error:
      name = "ERROR";
      colour = "\033[31m";
      break;
    case Logger::Level::Fatal:
      name = "FATAL";
      colour = "\033[31m";
      break;
    default:
      break;
  }
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
  char time_text[48];
  std::snprintf(time_text, sizeof(time_text), "%010lld.%09lld", ns / 1000000000LL,
                ns % 1000000000LL);

  const char* format_env = std::getenv("RCUTILS_CONSOLE_OUTPUT_FORMAT");
  std::string line = (format_env != nullptr && *format_env != '\0')
                       ? format_env
                       : "[{severity}] [{time}] [{name}]: {message}";
  const std::pair<std::string, std::string> tokens[] = {
    {"{severity}", name},          {"{time}", time_text},
    {"{name}", logger.get_name()}, {"{time_as_nanoseconds}", std::to_string(ns)},
    {"{file_name}", ""},           {"{line_number}", "0"},
    {"{function_name}", ""},       {"{message}", message},
  };
  for (const auto& [token, value] : tokens) {
    for (std::size_t at = line.find(token); at != std::string::npos;
         at = line.find(token, at + value.size())) {
      line.replace(at, token.size(), value);
    }
  }
  const char* use_stdout = std::getenv("RCUTILS_LOGGING_USE_STDOUT");
  FILE* stream = (use_stdout != nullptr && std::strcmp(use_stdout, "1") == 0) ? stdout : stderr;
  const char* colour_env = std::getenv("RCUTILS_COLORIZED_OUTPUT");
  const bool coloured =
    colour_env != nullptr ? std::strcmp(colour_env, "1") == 0 : isatty(fileno(stream)) == 1;
  if (coloured && *colour != '\0') {
    std::fprintf(stream, "%s%s\033[0m\n", colour, line.c_str());
  } else {
    std::fprintf(stream, "%s\n", line.c_str());
  }
  std::fflush(stream);
}

}  // namespace standin

// ---------------------------------------------------------------------------------------------
// Nodes.

namespace
{

void validate_node_name(const std::string& name)
{
  const auto bad = [&](const std::string& why) {
    throw exceptions::InvalidNodeNameError("Invalid node name: " + why + ":\n  '" + name + "'");
  };
  if (name.empty()) {
    bad("node name must not be empty");
  }
  if (std::isdigit(static_cast<unsigned char>(name[0]))) {
    bad("node name must not start with a number");
  }
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') {
      bad("node name must not contain characters other than alphanumerics or '_'");
    }
  }
}

std::string normalise_namespace(const std::string& ns)
{
  std::string out = ns.empty() ? "/" : ns;
  if (out[0] != '/') {
    out = "/" + out;
  }
  if (out.size() > 1 && out.back() == '/') {
    throw exceptions::InvalidNamespaceError("Invalid namespace: namespace must not end with '/'");
  }
  return out;
}

// Why a value breaks its descriptor's range, in rclcpp's words; empty when it does not. Only a
// double is held to a floating-point range, with a step of 0 (any value in it).
std::string out_of_range(const std::string& name, const ParameterValue& value,
                         const rcl_interfaces::msg::ParameterDescriptor& descriptor)
{
  if (descriptor.floating_point_range.empty() || value.get_type() != PARAMETER_DOUBLE) {
    return {};
  }
  const auto& range = descriptor.floating_point_range.front();
  const double v = value.get<double>();
  if (v < range.from_value || v > range.to_value) {
    return "Parameter {" + name + "} doesn't comply with floating point range.";
  }
  return {};
}

}  // namespace

Node::Node(const std::string& node_name, const NodeOptions& options) : Node(node_name, "", options)
{
}

Node::Node(const std::string& node_name, const std::string& namespace_, const NodeOptions& options)
  : _name(node_name), _logger(rclcpp::get_logger(node_name))
{
  handle_pending_signal();
  if (!g_ever_initialised.load()) {
    throw exceptions::RCLInvalidArgument(kNullContext);
  }
  if (!g_valid.load()) {
    throw exceptions::RCLError(kInvalidContext);
  }
  validate_node_name(node_name);
  _namespace = normalise_namespace(namespace_);
  _fully_qualified_name = (_namespace == "/" ? "" : _namespace) + "/" + _name;
  if (_namespace != "/") {
    std::string prefix = _namespace.substr(1);
    std::replace(prefix.begin(), prefix.end(), '/', '.');
    _logger = rclcpp::get_logger(prefix + "." + _name);
  }

  // Overrides: global arguments, then the node's own arguments, then parameter_overrides. Within
  // one source, each node key applies in the order it first appeared.
  const auto apply = [&](const std::vector<Override>& overrides) {
    std::vector<std::string> keys;
    for (const auto& o : overrides) {
      if (std::find(keys.begin(), keys.end(), o.node_key) == keys.end()) {
        keys.push_back(o.node_key);
      }
    }
    for (const auto& key : keys) {
      if (key != "/**" && key != "/*" && key != _fully_qualified_name && key != "/" + _name) {
        continue;
      }
      for (const auto& o : overrides) {
        if (o.node_key == key) {
          _overrides[o.name] = o.value;
        }
      }
    }
  };
  if (options.use_global_arguments()) {
    std::vector<Override> global;
    {
      std::lock_guard<std::mutex> lock(state().mutex);
      global = state().global_overrides;
    }
    apply(global);
  }
  std::vector<Override> local;
  parse_ros_args(options.arguments(), local, false);
  apply(local);
  for (const Parameter& p : options.parameter_overrides()) {
    _overrides[p.get_name()] = p.get_parameter_value();
  }
  declare_parameter("use_sim_time", false);
}

Node::~Node() = default;

const ParameterValue& Node::declare_parameter(
  const std::string& name, const ParameterValue& default_value,
  const rcl_interfaces::msg::ParameterDescriptor& parameter_descriptor, bool ignore_override)
{
  if (name.empty()) {
    throw exceptions::InvalidParametersException("parameter name must not be empty");
  }
  if (_parameters.count(name) > 0) {
    throw exceptions::ParameterAlreadyDeclaredException("parameter '" + name +
                                                        "' has already been declared");
  }
  ParameterValue value = default_value;
  const auto it = _overrides.find(name);
  if (!ignore_override && it != _overrides.end()) {
    if (!parameter_descriptor.dynamic_typing && it->second.get_type() != default_value.get_type()) {
      throw exceptions::InvalidParameterTypeException(
        name, "Wrong parameter type, parameter {" + name + "} is of type {" +
                to_string(default_value.get_type()) + "}, setting it to {" +
                to_string(it->second.get_type()) + "} is not allowed.");
    }
    value = it->second;
  }
  const std::string refused = out_of_range(name, value, parameter_descriptor);
  if (!refused.empty()) {
    throw exceptions::InvalidParameterValueException("parameter '" + name +
                                                     "' could not be set: " + refused);
  }
  _descriptors[name] = parameter_descriptor;
  return _parameters[name] = value;
}

rcl_interfaces::msg::SetParametersResult Node::set_parameter(const Parameter& parameter)
{
  const std::string& name = parameter.get_name();
  const auto it = _parameters.find(name);
  if (it == _parameters.end()) {
    throw exceptions::ParameterNotDeclaredException(name);
  }
  const rcl_interfaces::msg::ParameterDescriptor& descriptor = _descriptors[name];
  rcl_interfaces::msg::SetParametersResult result;
  if (descriptor.read_only) {
    result.reason = "parameter '" + name + "' cannot be set because it is read-only";
    return result;
  }
  const ParameterValue& value = parameter.get_parameter_value();
  if (!descriptor.dynamic_typing && value.get_type() != it->second.get_type()) {
    result.reason = "Wrong parameter type, parameter {" + name + "} is of type {" +
                    to_string(it->second.get_type()) + "}, setting it to {" +
                    to_string(value.get_type()) + "} is not allowed.";
    return result;
  }
  result.reason = out_of_range(name, value, descriptor);
  if (!result.reason.empty()) {
    return result;
  }
  it->second = value;
  result.successful = true;
  return result;
}

rcl_interfaces::msg::ParameterDescriptor Node::describe_parameter(const std::string& name) const
{
  const auto it = _parameters.find(name);
  if (it == _parameters.end()) {
    throw exceptions::ParameterNotDeclaredException(name);
  }
  const auto d = _descriptors.find(name);
  rcl_interfaces::msg::ParameterDescriptor out =
    d == _descriptors.end() ? rcl_interfaces::msg::ParameterDescriptor() : d->second;
  out.name = name;
  out.type = static_cast<uint8_t>(it->second.get_type());
  return out;
}

Parameter Node::get_parameter(const std::string& name) const
{
  const auto it = _parameters.find(name);
  if (it == _parameters.end()) {
    throw exceptions::ParameterNotDeclaredException(name);
  }
  if (it->second.get_type() == PARAMETER_NOT_SET) {
    throw exceptions::ParameterUninitializedException(name);
  }
  return Parameter(name, it->second);
}

bool Node::get_parameter(const std::string& name, Parameter& parameter) const
{
  const auto it = _parameters.find(name);
  if (it == _parameters.end() || it->second.get_type() == PARAMETER_NOT_SET) {
    return false;
  }
  parameter = Parameter(name, it->second);
  return true;
}

std::string Node::resolve(const std::string& topic_name) const
{
  return standin::resolve_topic(topic_name, _namespace, _fully_qualified_name);
}

std::size_t Node::count_publishers(const std::string& topic_name) const
{
  return standin::count_publishers(resolve(topic_name));
}

std::size_t Node::count_subscribers(const std::string& topic_name) const
{
  return standin::count_subscriptions(resolve(topic_name));
}

// ---------------------------------------------------------------------------------------------
// The in-process graph and the executor.

namespace standin
{

namespace
{

struct Graph
{
  std::vector<std::weak_ptr<SubscriptionEntry>> subscriptions;
  std::vector<PublisherEntry*> publishers;
  uint64_t sequence = 0;
};

Graph& graph()
{
  static Graph g;
  return g;
}

// Calls `visit` with every live subscription, in the order they were created, after forgetting
// those that have gone. Allocates nothing, so that a steady flow of messages does not.
template <typename Visit>
void for_each_live(Visit visit)
{
  auto& subs = graph().subscriptions;
  subs.erase(std::remove_if(subs.begin(), subs.end(),
                            [](const std::weak_ptr<SubscriptionEntry>& w) { return w.expired(); }),
             subs.end());
  for (const auto& w : subs) {
    if (auto s = w.lock()) {
      visit(s);
    }
  }
}

}  // namespace

void register_subscription(const std::shared_ptr<SubscriptionEntry>& entry)
{
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    graph().subscriptions.push_back(entry);
    if (entry->transient_local) {
      for (const PublisherEntry* p : graph().publishers) {
        if (p->transient_local && p->topic == entry->topic && p->type == entry->type) {
          for (const auto& message : p->retained) {
            entry->enqueue(message.get(), ++graph().sequence);
          }
        }
      }
    }
  }
  state().work.notify_all();
}

void register_publisher(PublisherEntry* entry)
{
  std::lock_guard<std::mutex> lock(state().mutex);
  graph().publishers.push_back(entry);
}

void unregister_publisher(const PublisherEntry* entry)
{
  std::lock_guard<std::mutex> lock(state().mutex);
  auto& pubs = graph().publishers;
  pubs.erase(std::remove(pubs.begin(), pubs.end(), entry), pubs.end());
}

void deliver(PublisherEntry* publisher, const void* message, std::shared_ptr<const void> keep)
{
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    const uint64_t sequence = ++graph().sequence;
    for_each_live([&](const std::shared_ptr<SubscriptionEntry>& s) {
      // A transient-local subscription and a volatile publisher do not match in ROS 2.
      if (s->topic == publisher->topic && s->type == publisher->type &&
          (publisher->transient_local || !s->transient_local)) {
        s->enqueue(message, sequence);
      }
    });
    if (publisher->transient_local && keep) {
      publisher->retained.push_back(std::move(keep));
      while (publisher->retained.size() > publisher->depth) {
        publisher->retained.pop_front();
      }
    }
  }
  state().work.notify_all();
}

std::size_t count_subscriptions(const std::string& topic)
{
  std::lock_guard<std::mutex> lock(state().mutex);
  std::size_t n = 0;
  for_each_live([&](const std::shared_ptr<SubscriptionEntry>& s) { n += s->topic == topic ? 1 : 0; });
  return n;
}

std::size_t count_publishers(const std::string& topic)
{
  std::lock_guard<std::mutex> lock(state().mutex);
  return static_cast<std::size_t>(
    std::count_if(graph().publishers.begin(), graph().publishers.end(),
                  [&](const PublisherEntry* p) { return p->topic == topic; }));
}

std::size_t run_ready(const void* owner)
{
  // As rclcpp's executor does in spin_some(): one look at what is waiting, then every
  // subscription that had a message at that moment takes one, in the order the subscriptions were
  // created. Further queued messages wait for the next call, as does anything published meanwhile
  // (a callback that publishes to its own node), so spin_some() always returns.
  // Kept between calls (one list per thread, as spin_some() may run on several), so that its
  // capacity is reused; a callback that spins another node gets a list of its own.
  // A deque, so that growing it for a nested call leaves the outer call's list where it is.
  thread_local std::deque<std::vector<std::shared_ptr<SubscriptionEntry>>> lists;
  thread_local std::size_t depth = 0;
  if (lists.size() <= depth) {
    lists.resize(depth + 1);
  }
  std::vector<std::shared_ptr<SubscriptionEntry>>& ready = lists[depth];
  ready.clear();
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    for_each_live([&](const std::shared_ptr<SubscriptionEntry>& s) {
      if (s->owner == owner && s->oldest() != UINT64_MAX) {
        ready.push_back(s);
      }
    });
  }
  ++depth;
  struct Leave
  {
    std::size_t& depth;
    std::vector<std::shared_ptr<SubscriptionEntry>>& list;
    ~Leave()
    {
      list.clear();
      --depth;
    }
  } leave{depth, ready};
  std::size_t ran = 0;
  for (const auto& next : ready) {
    if (!g_valid.load()) {
      break;
    }
    next->execute_one();
    ++ran;
    handle_pending_signal();
  }
  return ran;
}

void wait_for_work(int timeout_ms)
{
  std::unique_lock<std::mutex> lock(state().mutex);
  state().work.wait_for(lock, std::chrono::milliseconds(timeout_ms));
}

std::string resolve_topic(const std::string& topic, const std::string& node_namespace,
                          const std::string& fully_qualified_node)
{
  const auto bad = [&](const std::string& why) {
    throw exceptions::InvalidTopicNameError("Invalid topic name: " + why + ":\n  '" + topic + "'");
  };
  if (topic.empty()) {
    bad("topic name must not be empty");
  }
  std::string name = topic;
  if (name[0] == '~') {
    name = fully_qualified_node + name.substr(1);
  } else if (name[0] != '/') {
    name = (node_namespace == "/" ? "" : node_namespace) + "/" + name;
  }
  if (name.back() == '/') {
    bad("topic name must not end with a forward slash");
  }
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '/') {
      bad("topic name must not contain characters other than alphanumerics, '_', '~', '{', or '}'");
    }
    if (c == '/' && i + 1 < name.size()) {
      if (name[i + 1] == '/') {
        bad("topic name must not contain repeated forward slashes");
      }
      if (std::isdigit(static_cast<unsigned char>(name[i + 1]))) {
        bad("topic name must not have a token that starts with a number");
      }
    }
  }
  return name;
}

}  // namespace standin

void spin_some(Node::SharedPtr node_ptr)
{
  handle_pending_signal();
  if (!g_valid.load()) {
    throw exceptions::RCLError(kInvalidContext);
  }
  standin::run_ready(node_ptr.get());
}

void spin(Node::SharedPtr node_ptr)
{
  handle_pending_signal();
  if (!g_valid.load()) {
    throw exceptions::RCLError(kInvalidContext);
  }
  while (ok()) {
    if (standin::run_ready(node_ptr.get()) == 0) {
      standin::wait_for_work(20);
    }
  }
}

}  // namespace rclcpp
