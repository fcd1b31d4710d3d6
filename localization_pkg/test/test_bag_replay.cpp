// Replaying ROS 2 bags through the node: built only where rosbag2 is (real ROS 2, colcon test).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bag.hpp"
#include "drive_replay.hpp"
#include "rclcpp/rclcpp.hpp"
#include "rclcpp/serialization.hpp"
#include "rosbag2_cpp/writer.hpp"

using localisation_replay::DriveRow;
using localisation_replay::Sensor;

namespace
{

localisation_replay::BagTopics jackal_topics()
{
  localisation_replay::BagTopics topics;
  topics.wheel_odom = "/jackal_velocity_controller/odom";
  topics.imu = "/imu/data";
  return topics;
}

std::string error_of(const std::string& path, const localisation_replay::BagTopics& topics)
{
  try {
    localisation_replay::read_bag(path, topics);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(BagReplay, TheJackalBagGivesTheEstimatesOfItsCsv)
{
  ASSERT_TRUE(localisation_replay::bag_support());
  const auto contents = localisation_replay::read_bag(LOCALISATION_JACKAL_BAG, jackal_topics());
  ASSERT_EQ(contents.rows.size(), 6121u);
  EXPECT_EQ(contents.messages.at("/imu/data"), 3061u);
  EXPECT_TRUE(contents.undeserialisable.empty());
  EXPECT_EQ(contents.rows.front().frame_id, "base_link");
  ASSERT_TRUE(contents.rows.front().covariance);  // the IMU's own, 2.5e-5 on both blocks
  EXPECT_DOUBLE_EQ(contents.rows.front().covariance->accel[0], 2.5e-5);

  // The CSV holds the same messages without their covariances: the configured noise on both
  // sides, through wheel_odom_topic on one and encoder_vel on the other.
  std::vector<DriveRow> csv;
  localisation_replay::read_drive(LOCALISATION_JACKAL_DRIVE, csv);
  ASSERT_EQ(csv.size(), contents.rows.size());
  // The Jackal's frames are REP 105's.
  localisation_replay::Options ignore, base;
  ignore.parameters = {{"message_covariance", "ignore"}, {"base_link_frame", "base_link"}};
  base.parameters = {{"base_link_frame", "base_link"}};
  const auto from_bag =
    localisation_replay::replay(contents.rows, LOCALISATION_FUSION_CONFIG, {}, std::nullopt, ignore);
  const auto from_csv =
    localisation_replay::replay(csv, LOCALISATION_FUSION_CONFIG, {}, std::nullopt, base);
  EXPECT_EQ(from_bag.dropped, 0u);
  ASSERT_EQ(from_bag.odometry.size(), from_csv.odometry.size());
  double largest = 0.0;
  for (std::size_t k = 0; k < from_bag.odometry.size(); ++k) {
    const auto& a = from_bag.odometry[k];
    const auto& b = from_csv.odometry[k];
    ASSERT_EQ(a.header.stamp, b.header.stamp) << k;
    for (const auto& [u, v] :
         {std::pair{a.pose.pose.position.x, b.pose.pose.position.x},
          std::pair{a.pose.pose.position.y, b.pose.pose.position.y},
          std::pair{a.pose.pose.orientation.z, b.pose.pose.orientation.z},
          std::pair{a.twist.twist.linear.x, b.twist.twist.linear.x}}) {
      largest = std::max(largest, std::abs(u - v));
    }
  }
  EXPECT_LE(largest, 1e-9);
  std::printf("Jackal bag against its CSV: largest difference %.3g\n", largest);

  // With the messages' own covariances (the default) the estimate differs: the IMU claims far
  // less noise than the configuration.
  const auto own =
    localisation_replay::replay(contents.rows, LOCALISATION_FUSION_CONFIG, {}, std::nullopt, base);
  EXPECT_NE(own.odometry.back().pose.pose.position.x, from_bag.odometry.back().pose.pose.position.x);
}

TEST(BagReplay, BagErrorsNameTheBagAndTheTopic)
{
  const std::string bag = LOCALISATION_JACKAL_BAG;
  const std::string not_a_bag = ::testing::TempDir() + "not_a_bag";
  std::filesystem::create_directories(not_a_bag);
  std::ofstream(not_a_bag + "/metadata.yaml") << "this is not a bag\n";
  std::string e = error_of(not_a_bag, jackal_topics());
  EXPECT_NE(e.find("bag " + not_a_bag + " cannot be read as a ROS 2 bag"), std::string::npos) << e;

  auto topics = jackal_topics();
  topics.vo = "/camera/odom";
  e = error_of(bag, topics);
  EXPECT_NE(e.find("has no topic /camera/odom (--vo-topic)"), std::string::npos) << e;
  EXPECT_NE(e.find("/imu/data (sensor_msgs/msg/Imu)"), std::string::npos) << e;

  topics = localisation_replay::BagTopics{};
  topics.imu = "/jackal_velocity_controller/odom";
  e = error_of(bag, topics);
  EXPECT_NE(e.find("topic /jackal_velocity_controller/odom is nav_msgs/msg/Odometry, but "
                   "--imu-topic takes sensor_msgs/msg/Imu"),
            std::string::npos)
    << e;
  e = error_of(bag, localisation_replay::BagTopics{});
  EXPECT_NE(e.find("choose the topics to replay"), std::string::npos) << e;
}

TEST(BagReplay, AMessageThatCannotBeDeserialisedIsDroppedAndCounted)
{
  const std::string path = ::testing::TempDir() + "broken_bag";
  std::filesystem::remove_all(path);
  {
    rosbag2_cpp::Writer writer;
    writer.open(path);
    sensor_msgs::msg::Imu good;
    good.header.stamp.sec = 5;
    good.linear_acceleration.z = 9.8;
    writer.write(good, "/imu", rclcpp::Time(5, 0));
    // No Imu: after the CDR header and the stamp, a frame id said to be 2^31 - 1 bytes long.
    const uint8_t bytes[] = {0, 1, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0x7f, 'a', 'b'};
    auto bad = std::make_shared<rclcpp::SerializedMessage>(sizeof(bytes));
    auto& raw = bad->get_rcl_serialized_message();
    std::memcpy(raw.buffer, bytes, sizeof(bytes));
    raw.buffer_length = sizeof(bytes);
    writer.write(bad, "/imu", "sensor_msgs/msg/Imu", rclcpp::Time(6, 0));
  }
  localisation_replay::BagTopics topics;
  topics.imu = "/imu";
  const auto contents = localisation_replay::read_bag(path, topics);
  EXPECT_EQ(contents.rows.size(), 1u);
  EXPECT_EQ(contents.messages.at("/imu"), 2u);
  EXPECT_EQ(contents.undeserialisable.at("/imu"), 1u);
}
