// Arbitrary TwistStamped field values (every double bit pattern: NaN, infinities, denormals;
// every stamp) published to the real localisation node through "encoder_vel". The node may only
// log and drop: no crash, no sanitizer report, no non-finite value published, and no message
// taking more than a small bounded time.
//
// One node lives for the whole run, as on a robot, so each input continues the stream the inputs
// before it left: the filter's state, covariance and clock carry over, and a long run reaches
// states no single short input would. Each message is 57 bytes:
//   mode (1): bit 0 clear: the stamp is the previous message's plus `sec` nanoseconds (a signed
//             offset: equal, backwards, 50 Hz, a jump); bit 0 set: the stamp is (sec, nanosec)
//             exactly, any value at all
//   sec (4), nanosec (4), linear x y z, angular x y z (6 x 8)
// Because a finding may depend on the messages before it, the last kHistory messages are written
// to node_messages-history.bin (or $ZF_FUZZ_HISTORY) as they go, so the file holds them whatever
// ends the run; the file is itself an input, and running it replays them from a fresh node.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "drive_replay.hpp"
#include "geometry_msgs/msg/twist_stamped.hpp"
#include "nav_msgs/msg/odometry.hpp"
#include "rclcpp/rclcpp.hpp"
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
    made.node = std::make_shared<ZendrafellLocalisationNode>(options);
    made.driver = std::make_shared<rclcpp::Node>("fuzz_driver");
    made.publisher =
      made.driver->create_publisher<geometry_msgs::msg::TwistStamped>("encoder_vel", 10);
    made.subscription = made.driver->create_subscription<nav_msgs::msg::Odometry>(
      "odometry/filtered", 10, [](const nav_msgs::msg::Odometry& o) {
        if (!localisation_replay::all_finite(o)) {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
  Harness& h = harness();
  for (std::size_t at = 0; at + kMessage <= size; at += kMessage) {
    const uint8_t* message = data + at;
    h.history->add(message);
    geometry_msgs::msg::TwistStamped m;
    m.header.stamp = stamp_of(message, h.last_stamp);
    h.last_stamp = int64_t{m.header.stamp.sec} * kNano + m.header.stamp.nanosec;
    double v[6];
    std::memcpy(v, message + 9, sizeof(v));
    m.twist.linear.x = v[0];
    m.twist.linear.y = v[1];
    m.twist.linear.z = v[2];
    m.twist.angular.x = v[3];
    m.twist.angular.y = v[4];
    m.twist.angular.z = v[5];
    const auto start = std::chrono::steady_clock::now();
    h.publisher->publish(m);
    rclcpp::spin_some(h.node);
    rclcpp::spin_some(h.driver);
    const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds > 5.0) {
      std::fprintf(stderr, "one message took %.2f s\n", seconds);
      std::abort();
    }
  }
  return 0;
}
