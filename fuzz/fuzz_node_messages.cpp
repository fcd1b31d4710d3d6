// Arbitrary field values (every double bit pattern: NaN, infinities, denormals; every stamp)
// published to the real localisation node through all four of its inputs: TwistStamped on
// "encoder_vel", Imu on "imu", Odometry on "vo" and on "wheel/odom", with the fusion
// configuration, covariance and transform publication, a fusion delay, the IMU's orientation and
// the covariance floor switched on, and sensor frames placed by transforms both sound and hostile. The node may only log and drop: no crash,
// no sanitizer report, no non-finite value published (covariances included), and no message
// taking more than a small bounded time.
//
// One node lives for the whole run, as on a robot, so each input continues the stream the inputs
// before it left: the filter's state, covariance and clock carry over, and a long run reaches
// states no single short input would. Each message is 57 bytes:
//   mode (1): bit 0 clear: the stamp is the previous message's plus `sec` nanoseconds (a signed
//             offset: equal, backwards, 50 Hz, a jump); bit 0 set: the stamp is (sec, nanosec)
//             exactly, any value at all. Bits 1-2: the topic, 0 encoders, 1 IMU, 2 visual
//             odometry, 3 wheel odometry. Bits 3-4 pick the covariances sent (see covariances()).
//             Bit 6: the message is in the sensor's own frame ("sensor_link"; visual odometry
//             also in "sensor_odom"). Bit 7: first, the static transforms base_link ->
//             sensor_link and odom -> sensor_odom are (re)published from the six doubles:
//             translation v0 v1 v2, rotation (v3, v4, v5, 1) normalised, or with bit 5 the raw
//             (v3, v4, v5, v0).
//   sec (4), nanosec (4), six doubles v (6 x 8): the twist's linear x y z and angular x y z; the
//             IMU's linear acceleration x y z and angular velocity x y z; the pose's position
//             v0 v1 v2 and orientation (v3, v4, v5, w), w = 1 or, with bit 5, v0; the wheel
//             odometry's twist as the encoders'; the IMU's orientation as the pose's.
// Because a finding may depend on the messages before it, the last kHistory messages are written
// to node_messages-history.bin (or $ZF_FUZZ_HISTORY) as they go, so the file holds them whatever
// ends the run; the file is itself an input, and running it replays them from a fresh node.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "drive_replay.hpp"
#include "geometry_msgs/msg/twist_stamped.hpp"
#include "nav_msgs/msg/odometry.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/imu.hpp"
#include "tf2_ros/static_transform_broadcaster.h"
#include "zendrafell_localisation/zendrafell_localisation.hpp"

namespace
{

constexpr std::size_t kMessage = 1 + 4 + 4 + 6 * 8;
constexpr std::size_t kHistory = 256;
constexpr int64_t kNano = 1000000000;

// The last kHistory messages, oldest first, kept in a memory-mapped file so that they survive
// whatever ends the process: a sanitizer report, a timeout, an out-of-memory kill.
class History
{
public:
  explicit History(const char* path)
  {
    _fd = ::open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (_fd < 0 || ::ftruncate(_fd, kHistory * kMessage) != 0) {
      std::perror(path);
      std::abort();
    }
    void* map = ::mmap(nullptr, kHistory * kMessage, PROT_READ | PROT_WRITE, MAP_SHARED, _fd, 0);
    if (map == MAP_FAILED) {
      std::perror(path);
      std::abort();
    }
    _file = static_cast<uint8_t*>(map);
  }

  void add(const uint8_t* message)
  {
    std::memcpy(_ring + (_count % kHistory) * kMessage, message, kMessage);
    ++_count;
    const std::size_t kept = _count < kHistory ? _count : kHistory;
    const std::size_t oldest = (_count - kept) % kHistory;
    const std::size_t first = (kHistory - oldest < kept ? kHistory - oldest : kept) * kMessage;
    // Until the ring is full the file grows with it; a write past its end would fault.
    if (kept < kHistory && ::ftruncate(_fd, static_cast<off_t>(kept * kMessage)) != 0) {
      std::abort();
    }
    std::memcpy(_file, _ring + oldest * kMessage, first);
    std::memcpy(_file + first, _ring, kept * kMessage - first);
  }

private:
  int _fd = -1;
  uint8_t* _file = nullptr;
  uint8_t _ring[kHistory * kMessage] = {};
  std::size_t _count = 0;
};

struct Harness
{
  std::shared_ptr<ZendrafellLocalisationNode> node;
  std::shared_ptr<rclcpp::Node> driver;
  rclcpp::Publisher<geometry_msgs::msg::TwistStamped>::SharedPtr publisher;
  rclcpp::Publisher<sensor_msgs::msg::Imu>::SharedPtr imu;
  rclcpp::Publisher<nav_msgs::msg::Odometry>::SharedPtr vo;
  rclcpp::Publisher<nav_msgs::msg::Odometry>::SharedPtr wheel;
  std::unique_ptr<tf2_ros::StaticTransformBroadcaster> statics;
  rclcpp::Subscription<nav_msgs::msg::Odometry>::SharedPtr subscription;
  std::unique_ptr<History> history;
  int64_t last_stamp = 0;  // nanoseconds
};
Harness& harness()
{
  static Harness h = [] {
    // The node looks its package up in the ament index: give it a prefix that lists it.
    const std::string prefix = "/tmp/zf_fuzz_prefix";
    const std::string dir = prefix + "/share/ament_index/resource_index/packages";
    if (std::system(("mkdir -p " + dir).c_str()) != 0) {
      std::abort();
    }
    std::ofstream(dir + "/localization_pkg").close();
    setenv("AMENT_PREFIX_PATH", prefix.c_str(), 1);
    rclcpp::init(0, nullptr);
    rclcpp::get_logger("localisation_node").set_level(rclcpp::Logger::Level::Error);
    Harness made;
    const char* history = std::getenv("ZF_FUZZ_HISTORY");
    made.history = std::make_unique<History>(history ? history : "node_messages-history.bin");
    // Jumps beyond 20 ms (two integration steps, the 50 Hz interval) restart the filter: a longer
    // interval only repeats the same steps, and every input stays quick under the sanitizers.
    rclcpp::NodeOptions options;
    options.append_parameter_override("max_time_jump", 0.02);
    options.append_parameter_override("ukf_config", std::string(ZF_FUZZ_FUSION_CONFIG));
    options.append_parameter_override("imu_topic", std::string("imu"));
    options.append_parameter_override("vo_topic", std::string("vo"));
    options.append_parameter_override("publish_covariance", true);
    options.append_parameter_override("publish_tf", true);
    options.append_parameter_override("fusion_delay", 0.01);
    options.append_parameter_override("base_link_frame", std::string("base_link"));
    options.append_parameter_override("wheel_odom_topic", std::string("wheel/odom"));
    options.append_parameter_override("imu_orientation", std::string("all"));
    options.append_parameter_override("message_covariance", std::string("floor"));
    made.node = std::make_shared<ZendrafellLocalisationNode>(options);
    made.driver = std::make_shared<rclcpp::Node>("fuzz_driver");
    made.publisher =
      made.driver->create_publisher<geometry_msgs::msg::TwistStamped>("encoder_vel", 10);
    made.imu = made.driver->create_publisher<sensor_msgs::msg::Imu>("imu", 10);
    made.vo = made.driver->create_publisher<nav_msgs::msg::Odometry>("vo", 10);
    made.wheel = made.driver->create_publisher<nav_msgs::msg::Odometry>("wheel/odom", 10);
    made.statics = std::make_unique<tf2_ros::StaticTransformBroadcaster>(made.driver);
    made.subscription = made.driver->create_subscription<nav_msgs::msg::Odometry>(
      "odometry/filtered", 10, [](const nav_msgs::msg::Odometry& o) {
        bool finite = localisation_replay::all_finite(o);
        for (std::size_t i = 0; i < 36; ++i) {
          finite = finite && std::isfinite(o.pose.covariance[i]) &&
                   std::isfinite(o.twist.covariance[i]);
        }
        if (!finite) {
          std::fprintf(stderr, "non-finite odometry published\n");
          std::abort();
        }
      });
    return made;
  }();
  return h;
}

// The stamp a message asks for: relative to the previous message's, or exactly as given.
builtin_interfaces::msg::Time stamp_of(const uint8_t* message, int64_t previous)
{
  int32_t sec = 0;
  uint32_t nanosec = 0;
  std::memcpy(&sec, message + 1, 4);
  std::memcpy(&nanosec, message + 5, 4);
  builtin_interfaces::msg::Time stamp;
  const int64_t wanted = previous + sec;
  const int64_t wanted_sec = wanted >= 0 ? wanted / kNano : -((-wanted + kNano - 1) / kNano);
  if ((message[0] & 1) != 0 || wanted_sec < INT32_MIN || wanted_sec > INT32_MAX) {
    stamp.sec = sec;
    stamp.nanosec = nanosec;
  } else {
    stamp.sec = static_cast<int32_t>(wanted_sec);
    stamp.nanosec = static_cast<uint32_t>(wanted - wanted_sec * kNano);
  }
  return stamp;
}

// Bits 3-4 of the mode: 0 no covariance (the configured noise), 1 the first block marked not
// measured (-1), 2 the diagonals from the message's own values (any of them: negative, NaN),
// 3 every block marked not measured.
template <std::size_t N>
void covariance(uint8_t mode, const double* v, std::size_t block, std::array<double, N>& out)
{
  const int pick = (mode >> 3) & 3;
  const std::size_t side = N == 9 ? 3 : 6;
  if ((pick == 1 && block == 0) || pick == 3) {
    out[0] = -1.0;
  } else if (pick == 2) {
    for (std::size_t k = 0; k < side; ++k) {
      out[k * side + k] = v[(block + k) % 6];
    }
  }
}

// A rotation from the message's doubles: (v3, v4, v5, 1) normalised, or with bit 5 of the mode the
// raw (v3, v4, v5, v0), which tf2 and the node must refuse unless it happens to be a unit one.
geometry_msgs::msg::Quaternion rotation_of(uint8_t mode, const double* v)
{
  geometry_msgs::msg::Quaternion q;
  q.x = v[3];
  q.y = v[4];
  q.z = v[5];
  q.w = (mode & 32) != 0 ? v[0] : 1.0;
  const double norm = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
  if ((mode & 32) == 0 && std::isfinite(norm) && norm > 0.0) {
    q.x /= norm;
    q.y /= norm;
    q.z /= norm;
    q.w /= norm;
  }
  return q;
}

void mount_sensor(Harness& h, uint8_t mode, const double* v)
{
  std::vector<geometry_msgs::msg::TransformStamped> mounts(2);
  const char* frames[2][2] = {{"base_link", "sensor_link"}, {"odom", "sensor_odom"}};
  for (std::size_t k = 0; k < 2; ++k) {
    mounts[k].header.frame_id = frames[k][0];
    mounts[k].child_frame_id = frames[k][1];
    mounts[k].transform.translation.x = v[0];
    mounts[k].transform.translation.y = v[1];
    mounts[k].transform.translation.z = v[2];
    mounts[k].transform.rotation = rotation_of(mode, v);
  }
  h.statics->sendTransform(mounts);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
  Harness& h = harness();
  for (std::size_t at = 0; at + kMessage <= size; at += kMessage) {
    const uint8_t* message = data + at;
    h.history->add(message);
    const builtin_interfaces::msg::Time stamp = stamp_of(message, h.last_stamp);
    h.last_stamp = int64_t{stamp.sec} * kNano + stamp.nanosec;
    double v[6];
    std::memcpy(v, message + 9, sizeof(v));
    const uint8_t mode = message[0];
    const int topic = (mode >> 1) & 3;
    geometry_msgs::msg::TwistStamped m;
    sensor_msgs::msg::Imu imu;
    nav_msgs::msg::Odometry vo;
    const bool in_sensor_frame = (mode & 64) != 0;
    if ((mode & 128) != 0) {
      mount_sensor(h, mode, v);
    }
    if (topic == 1) {
      imu.header.stamp = stamp;
      imu.header.frame_id = in_sensor_frame ? "sensor_link" : "";
      imu.orientation = rotation_of(mode, v);
      covariance(mode, v, 0, imu.orientation_covariance);
      imu.linear_acceleration.x = v[0];
      imu.linear_acceleration.y = v[1];
      imu.linear_acceleration.z = v[2];
      imu.angular_velocity.x = v[3];
      imu.angular_velocity.y = v[4];
      imu.angular_velocity.z = v[5];
      covariance(mode, v, 0, imu.linear_acceleration_covariance);
      covariance(mode, v, 3, imu.angular_velocity_covariance);
    } else if (topic == 2) {
      vo.header.stamp = stamp;
      vo.header.frame_id = in_sensor_frame ? "sensor_odom" : "odom";
      vo.child_frame_id = in_sensor_frame ? "sensor_link" : "";
      vo.pose.pose.position.x = v[0];
      vo.pose.pose.position.y = v[1];
      vo.pose.pose.position.z = v[2];
      vo.pose.pose.orientation.x = v[3];
      vo.pose.pose.orientation.y = v[4];
      vo.pose.pose.orientation.z = v[5];
      vo.pose.pose.orientation.w = (mode & 32) != 0 ? v[0] : 1.0;
      covariance(mode, v, 0, vo.pose.covariance);
    } else if (topic == 3) {
      vo.header.stamp = stamp;
      vo.child_frame_id = in_sensor_frame ? "sensor_link" : "";
      vo.twist.twist.linear.x = v[0];
      vo.twist.twist.linear.y = v[1];
      vo.twist.twist.linear.z = v[2];
      vo.twist.twist.angular.x = v[3];
      vo.twist.twist.angular.y = v[4];
      vo.twist.twist.angular.z = v[5];
      covariance(mode, v, 0, vo.twist.covariance);
    } else {
      m.header.stamp = stamp;
      m.twist.linear.x = v[0];
      m.twist.linear.y = v[1];
      m.twist.linear.z = v[2];
      m.twist.angular.x = v[3];
      m.twist.angular.y = v[4];
      m.twist.angular.z = v[5];
    }
    const auto start = std::chrono::steady_clock::now();
    if (topic == 1) {
      h.imu->publish(imu);
    } else if (topic == 2) {
      h.vo->publish(vo);
    } else if (topic == 3) {
      h.wheel->publish(vo);
    } else {
      h.publisher->publish(m);
    }
    rclcpp::spin_some(h.node);
    rclcpp::spin_some(h.node);  // the transforms and the message, each on its own subscription
    // A message may release several held ones; spin_some() takes one per subscription.
    for (int i = 0; i < 4; ++i) {
      rclcpp::spin_some(h.driver);
    }
    const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds > 5.0) {
      std::fprintf(stderr, "one message took %.2f s\n", seconds);
      std::abort();
    }
  }
  return 0;
}
