// Reading a ROS 2 bag with rosbag2_cpp: built only where rosbag2 is (real ROS 2).
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include "bag.hpp"
#include "rclcpp/serialization.hpp"
#include "rclcpp/serialized_message.hpp"
#include "rosbag2_cpp/reader.hpp"
#include "tf2_msgs/msg/tf_message.hpp"

namespace localisation_replay
{

namespace
{

// Deserialises one message; false when its bytes are not a message of that type.
template <typename MessageT>
bool deserialise(const rosbag2_storage::SerializedBagMessage& in, MessageT& out)
{
  static const rclcpp::Serialization<MessageT> serialization;
  try {
    const rclcpp::SerializedMessage serialized(*in.serialized_data);
    serialization.deserialize_message(&serialized, &out);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

bool bag_support() { return true; }

BagContents read_bag(const std::string& path, const BagTopics& topics)
{
  struct Wanted
  {
    const std::string& topic;
    const char* option;
    const char* type;
  };
  const Wanted wanted[] = {
    {topics.encoder, "--encoder-topic", "geometry_msgs/msg/TwistStamped"},
    {topics.wheel_odom, "--wheel-odom-topic", "nav_msgs/msg/Odometry"},
    {topics.imu, "--imu-topic", "sensor_msgs/msg/Imu"},
    {topics.vo, "--vo-topic", "nav_msgs/msg/Odometry"},
  };
  rosbag2_cpp::Reader reader;
  try {
    reader.open(path);
  } catch (const std::exception& e) {
    throw std::runtime_error("bag " + path + " cannot be read as a ROS 2 bag: " + e.what());
  }
  std::map<std::string, std::string> types;
  std::string listed;
  for (const auto& t : reader.get_all_topics_and_types()) {
    types[t.name] = t.type;
    listed += (listed.empty() ? "" : ", ") + t.name + " (" + t.type + ")";
  }
  bool any = false;
  for (std::size_t i = 0; i < std::size(wanted); ++i) {
    const Wanted& w = wanted[i];
    if (w.topic.empty()) {
      continue;
    }
    any = true;
    const auto found = types.find(w.topic);
    if (found == types.end()) {
      throw std::runtime_error("bag " + path + " has no topic " + w.topic + " (" + w.option +
                               "); its topics are " + listed);
    }
    if (found->second != w.type) {
      throw std::runtime_error("bag " + path + ": topic " + w.topic + " is " + found->second +
                               ", but " + w.option + " takes " + w.type);
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (wanted[j].topic == w.topic) {
        throw std::runtime_error("bag " + path + ": topic " + w.topic + " is given to both " +
                                 wanted[j].option + " and " + w.option);
      }
    }
  }
  if (!any) {
    throw std::runtime_error("bag " + path + ": choose the topics to replay with --encoder-topic, "
                             "--wheel-odom-topic, --imu-topic or --vo-topic; its topics are " +
                             listed);
  }
  for (const char* tf : {"/tf", "/tf_static"}) {
    const auto found = types.find(tf);
    if (found != types.end() && found->second != "tf2_msgs/msg/TFMessage") {
      throw std::runtime_error("bag " + path + ": topic " + std::string(tf) + " is " +
                               found->second + ", not tf2_msgs/msg/TFMessage");
    }
  }

  BagContents contents;
  std::size_t read = 0;
  try {
    while (reader.has_next()) {
      const auto message = reader.read_next();
      ++read;
      const std::string& topic = message->topic_name;
      bool ok = true;
      if (topic == "/tf" || topic == "/tf_static") {
        tf2_msgs::msg::TFMessage m;
        ok = deserialise(*message, m);
        auto& into = topic == "/tf" ? contents.transforms : contents.static_transforms;
        into.insert(into.end(), m.transforms.begin(), m.transforms.end());
      } else if (topic == topics.encoder) {
        geometry_msgs::msg::TwistStamped m;
        ok = deserialise(*message, m);
        if (ok) {
          contents.rows.push_back(row_of(m));
        }
      } else if (topic == topics.imu) {
        sensor_msgs::msg::Imu m;
        ok = deserialise(*message, m);
        if (ok) {
          contents.rows.push_back(row_of(m));
        }
      } else if (topic == topics.wheel_odom || topic == topics.vo) {
        nav_msgs::msg::Odometry m;
        ok = deserialise(*message, m);
        if (ok) {
          contents.rows.push_back(topic == topics.vo ? vo_row_of(m) : wheel_row_of(m));
        }
      } else {
        continue;
      }
      ++contents.messages[topic];
      if (!ok) {
        ++contents.undeserialisable[topic];
      }
    }
  } catch (const std::exception& e) {
    throw std::runtime_error("bag " + path + ": reading stopped after " + std::to_string(read) +
                             " messages (is it truncated?): " + e.what());
  }
  sort_by_stamp(contents.rows);
  std::stable_sort(contents.transforms.begin(), contents.transforms.end(),
                   [](const auto& a, const auto& b) {
                     return std::make_pair(a.header.stamp.sec, a.header.stamp.nanosec) <
                            std::make_pair(b.header.stamp.sec, b.header.stamp.nanosec);
                   });
  return contents;
}

}  // namespace localisation_replay
