// The bag reader of a build without rosbag2 (against the ROS 2 stand-in).
#include <stdexcept>

#include "bag.hpp"

namespace localisation_replay
{

bool bag_support() { return false; }

BagContents read_bag(const std::string& path, const BagTopics&)
{
  throw std::runtime_error(
    "--bag " + path +
    ": this build has no rosbag2 support (it was built against the ROS 2 stand-in, not ROS 2 "
    "Humble). Build the package with colcon in a ROS 2 Humble workspace, or turn the bag into a "
    "drive CSV with scripts/bag_to_drive.py where rosbag2_py is installed and replay that");
}

}  // namespace localisation_replay
