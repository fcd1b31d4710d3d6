#include <exception>
#include <memory>

#include "rclcpp/rclcpp.hpp"
#include "zendrafell_localisation/zendrafell_localisation.hpp"

int main(int argc, char** argv)
{
  rclcpp::init(argc, argv);
  try {
    auto node = std::make_shared<ZendrafellLocalisationNode>();
    rclcpp::spin(node);
  } catch (const std::exception& e) {
    // A start-up failure (a missing or invalid configuration) ends the process with its reason
    // instead of an abort.
    RCLCPP_FATAL(rclcpp::get_logger("localisation_node"), "%s", e.what());
    rclcpp::shutdown();
    return 1;
  }
  rclcpp::shutdown();
  return 0;
}
