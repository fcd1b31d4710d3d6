#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "drive_replay.hpp"
#include "geometry_msgs/msg/transform_stamped.hpp"
#include "geometry_msgs/msg/twist_stamped.hpp"
#include "nav_msgs/msg/odometry.hpp"
#include "sensor_msgs/msg/imu.hpp"

namespace localisation_replay
{

/// Which topics of a bag feed which of the node's inputs; an empty name is not read.
struct BagTopics
{
  std::string encoder;     // geometry_msgs/msg/TwistStamped
  std::string wheel_odom;  // nav_msgs/msg/Odometry
  std::string imu;         // sensor_msgs/msg/Imu
  std::string vo;          // nav_msgs/msg/Odometry
};

/// What a bag holds for a replay: rows in stamp order (stable for equal stamps), with every
/// message's frames and covariances; the transforms of "/tf_static" and of "/tf" (in stamp
/// order); messages per topic; and the messages that could not be deserialised, which are left
/// out.
struct BagContents
{
  std::vector<DriveRow> rows;
  std::vector<geometry_msgs::msg::TransformStamped> static_transforms, transforms;
  std::map<std::string, std::size_t> messages;
  std::map<std::string, std::size_t> undeserialisable;
};

/// Whether this build reads bags (it does where rosbag2_cpp was found: against real ROS 2).
bool bag_support();

/// Reads a ROS 2 bag (a folder with metadata.yaml, or a .db3 file). Throws std::runtime_error
/// naming the bag, and the topic where there is one: a path that is not a readable bag, a topic
/// it does not have, a topic whose type is not the one its option takes, no topic chosen; in a
/// build without rosbag2, saying so.
BagContents read_bag(const std::string& path, const BagTopics& topics);

/// The rows the node's messages make, exactly as localisation_replay sends them back out.
DriveRow row_of(const geometry_msgs::msg::TwistStamped& m);
DriveRow row_of(const sensor_msgs::msg::Imu& m);
DriveRow vo_row_of(const nav_msgs::msg::Odometry& m);
DriveRow wheel_row_of(const nav_msgs::msg::Odometry& m);

/// Puts rows in stamp order, keeping the order of equal stamps.
void sort_by_stamp(std::vector<DriveRow>& rows);

}  // namespace localisation_replay
