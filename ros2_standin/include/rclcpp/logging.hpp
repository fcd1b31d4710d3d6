#pragma once

#include <sstream>
#include <type_traits>

#include "rclcpp/logger.hpp"

namespace rclcpp::standin
{
/// Writes one console line "[SEVERITY] [seconds.nanoseconds] [logger]: message" when `severity`
/// passes the logger's threshold (INFO unless set otherwise).
void log(const Logger& logger, Logger::Level severity, const char* format, ...)
  __attribute__((format(printf, 3, 4)));
}  // namespace rclcpp::standin

#define ROS2_STANDIN_LOG(level, logger, ...)                                            \
  do {                                                                                  \
    static_assert(                                                                      \
      ::std::is_same_v<::std::remove_cv_t<::std::remove_reference_t<decltype(logger)>>, \
                       ::rclcpp::Logger>,                                               \
      "First argument to logging macros must be an rclcpp::Logger");                    \
    ::rclcpp::standin::log((logger), ::rclcpp::Logger::Level::level, __VA_ARGS__);      \
  } while (0)

#define RCLCPP_DEBUG(logger, ...) ROS2_STANDIN_LOG(Debug, logger, __VA_ARGS__)
#define RCLCPP_INFO(logger, ...) ROS2_STANDIN_LOG(Info, logger, __VA_ARGS__)
#define RCLCPP_WARN(logger, ...) ROS2_STANDIN_LOG(Warn, logger, __VA_ARGS__)
#define RCLCPP_ERROR(logger, ...) ROS2_STANDIN_LOG(Error, logger, __VA_ARGS__)
#define RCLCPP_FATAL(logger, ...) ROS2_STANDIN_LOG(Fatal, logger, __VA_ARGS__)

#define ROS2_STANDIN_LOG_STREAM(level, logger, stream_arg)                  \
  do {                                                                      \
    ::std::stringstream rclcpp_stream_ss_;                                  \
    rclcpp_stream_ss_ << stream_arg;                                        \
    ROS2_STANDIN_LOG(level, logger, "%s", rclcpp_stream_ss_.str().c_str()); \
  } while (0)

#define RCLCPP_DEBUG_STREAM(logger, s) ROS2_STANDIN_LOG_STREAM(Debug, logger, s)
#define RCLCPP_INFO_STREAM(logger, s) ROS2_STANDIN_LOG_STREAM(Info, logger, s)
#define RCLCPP_WARN_STREAM(logger, s) ROS2_STANDIN_LOG_STREAM(Warn, logger, s)
#define RCLCPP_ERROR_STREAM(logger, s) ROS2_STANDIN_LOG_STREAM(Error, logger, s)
#define RCLCPP_FATAL_STREAM(logger, s) ROS2_STANDIN_LOG_STREAM(Fatal, logger, s)
