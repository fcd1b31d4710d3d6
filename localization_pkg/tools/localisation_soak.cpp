// localisation_soak [--messages N] [--hostile K] [--fusion] [--no-allocations] [--ros-args ...]
//
// A long soak of the real node through its topics: N encoder messages (default one million) at
// 50 Hz stamps, with K hostile ones (default 400) mixed in at fixed pseudo-random places: NaN and
// infinite twists, stamps going back, jumps of 1e9 s, and equal stamps. With --fusion the node
// runs the fusion configuration with every opt-in feature (IMU and visual-odometry topics,
// covariance, transform, a fusion delay of 20 ms), and each encoder message is joined by two IMU
// messages and every fifth by a visual-odometry pose; at the hostile places these carry NaN
// accelerations, a zero quaternion, a negative variance or an infinite position. It reports messages per
// second, resident memory after the first ten thousand messages and at the end, the node's heap
// allocations per message of each input in the steady state, dropped messages and filter
// restarts, and fails (exit 1) if a published value is not finite or the filter's
// covariance stops being symmetric positive semi-definite.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <Eigen/Eigenvalues>

#include "drive_replay.hpp"
#include "geometry_msgs/msg/twist_stamped.hpp"
#include "nav_msgs/msg/odometry.hpp"
#include "rclcpp/rclcpp.hpp"
#include "sensor_msgs/msg/imu.hpp"
#include "zendrafell_localisation/zendrafell_localisation.hpp"

// Every heap allocation of the process is counted, so that the node's share per message can be
// reported: what happens inside its spin, from the subscription's delivery to its publishing.
namespace
{
std::atomic<long long> g_allocations{0};
}  // namespace

void* operator new(std::size_t size)
{
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    return p;
  }
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace
{

long resident_kib()
{
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  return -1;
}

bool symmetric_psd(const ukf::MatrixX& p)
{
  const double scale = std::max(1.0, p.cwiseAbs().maxCoeff());
  if ((p - p.transpose()).cwiseAbs().maxCoeff() > 1e-12 * scale) {
    return false;
  }
  const Eigen::SelfAdjointEigenSolver<ukf::MatrixX> solver(p, Eigen::EigenvaluesOnly);
  return solver.eigenvalues().minCoeff() >= -1e-9 * scale;
}

constexpr long kMaxMessages = 100000000;

int usage()
{
  std::fprintf(stderr, "usage: localisation_soak [--messages N] [--hostile K] [--fusion] "
                       "[--no-allocations] [--ros-args ...]\n"
                       "  --no-allocations: fail when the node allocates per message once warm\n"
                       "  1 <= N <= %ld (default 1000000), 0 <= K <= N (default 400)\n",
               kMaxMessages);
  return 2;
}

// A whole, non-negative count, or -1.
long count(const char* text)
{
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  return (end == text || *end != '\0' || errno == ERANGE || v < 0) ? -1 : v;
}

}  // namespace

int main(int argc, char** argv)
{
  long messages = 1000000;
  long hostile = 400;
  bool fusion = false;
  bool no_allocations = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--ros-args") {
      break;
    } else if (a == "--messages" || a == "--hostile") {
      const long v = i + 1 < argc ? count(argv[++i]) : -1;
      if (v < 0) {
        std::fprintf(stderr, "localisation_soak: %s needs a whole number >= 0\n", a.c_str());
        return usage();
      }
      (a == "--messages" ? messages : hostile) = v;
    } else if (a == "--fusion") {
      fusion = true;
    } else if (a == "--no-allocations") {
      no_allocations = true;
    } else if (a == "-h" || a == "--help") {
      usage();
      return 0;
    } else {
      std::fprintf(stderr, "localisation_soak: unknown argument \"%s\"\n", a.c_str());
      return usage();
    }
  }
  // The upper bound keeps the stamps within a ROS time's 32-bit seconds and the plan in memory.
  if (messages < 1 || messages > kMaxMessages || hostile > messages) {
    std::fprintf(stderr,
                 "localisation_soak: need 1 <= --messages <= %ld and --hostile <= --messages\n",
                 kMaxMessages);
    return usage();
  }
  rclcpp::init(argc, argv);
  rclcpp::get_logger("localisation_node").set_level(rclcpp::Logger::Level::Error);
  std::shared_ptr<ZendrafellLocalisationNode> node;
  try {
    rclcpp::NodeOptions options;
    if (fusion) {
      options.append_parameter_override("ukf_config",
                                        localisation_replay::package_config(LOCALISATION_FUSION_CONFIG));
      options.append_parameter_override("imu_topic", std::string("imu"));
      options.append_parameter_override("vo_topic", std::string("vo"));
      options.append_parameter_override("publish_covariance", true);
      options.append_parameter_override("publish_tf", true);
      options.append_parameter_override("fusion_delay", 0.02);
    }
    node = std::make_shared<ZendrafellLocalisationNode>(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "localisation_soak: %s\n", e.what());
    rclcpp::shutdown();
    return 1;
  }
  auto driver = std::make_shared<rclcpp::Node>("localisation_soak");
  auto publisher = driver->create_publisher<geometry_msgs::msg::TwistStamped>("encoder_vel", 10);
  auto imu_publisher = driver->create_publisher<sensor_msgs::msg::Imu>("imu", 10);
  auto vo_publisher = driver->create_publisher<nav_msgs::msg::Odometry>("vo", 10);
  long published = 0, non_finite = 0, sent = 0;
  auto subscription = driver->create_subscription<nav_msgs::msg::Odometry>(
    "odometry/filtered", 10, [&](const nav_msgs::msg::Odometry& o) {
      ++published;
      bool finite = localisation_replay::all_finite(o);
      for (std::size_t i = 0; i < 36; ++i) {
        finite = finite && std::isfinite(o.pose.covariance[i]) &&
                 std::isfinite(o.twist.covariance[i]);
      }
      non_finite += finite ? 0 : 1;
    });
  // The node's allocations per message of each input: those of its spin, which takes the message
  // from the subscription to the published estimate.
  enum Input { kEncoder, kImu, kVo };
  long long node_allocations[3] = {0, 0, 0};
  long counted[3] = {0, 0, 0};
  bool counting = false;
  const auto deliver = [&](Input input) {
    ++sent;
    const long long before = g_allocations.load(std::memory_order_relaxed);
    rclcpp::spin_some(node);
    if (counting) {
      node_allocations[input] += g_allocations.load(std::memory_order_relaxed) - before;
      ++counted[input];
    }
    // With a fusion delay one message may release several; spin_some() takes one at a time.
    for (long before = published - 1; before != published;) {
      before = published;
      rclcpp::spin_some(driver);
    }
  };

  std::mt19937_64 rng(2026);
  std::uniform_int_distribution<long> where(0, messages - 1);
  // Exactly `hostile` distinct messages, drawn with rejection; when most messages are to be
  // hostile, the ordinary ones are drawn instead, so that the draw always ends quickly.
  std::vector<char> kind(static_cast<std::size_t>(messages), 0);
  if (hostile <= messages / 2) {
    for (long k = 0; k < hostile;) {
      char& slot = kind[static_cast<std::size_t>(where(rng))];
      if (slot == 0) {
        slot = static_cast<char>(1 + k++ % 5);
      }
    }
  } else {
    std::vector<char> ordinary(static_cast<std::size_t>(messages), 0);
    for (long k = 0; k < messages - hostile;) {
      char& slot = ordinary[static_cast<std::size_t>(where(rng))];
      k += slot == 0 ? 1 : 0;
      slot = 1;
    }
    long k = 0;
    for (std::size_t i = 0; i < kind.size(); ++i) {
      kind[i] = ordinary[i] != 0 ? 0 : static_cast<char>(1 + k++ % 5);
    }
  }
  std::normal_distribution<double> noise(0.0, 0.03);

  long rss_start = -1, bad_covariance = 0;
  const auto start = std::chrono::steady_clock::now();
  // Stamps start at 1e9 s; each jump moves them 1e9 s forward, the next one back again (a ROS
  // stamp's seconds are 32-bit), and the drive goes on from there after the restart.
  const long long t0_ns = 1000000000LL * 1000000000LL;
  long long offset_ns = 0;
  long long jump_ns = 1000000000LL * 1000000000LL;
  for (long k = 0; k < messages; ++k) {
    long long ns = t0_ns + offset_ns + static_cast<long long>(k) * 20000000LL;
    const double t = 0.02 * static_cast<double>(k);
    double speed = 1.2 + 0.5 * std::sin(0.01 * t) + noise(rng);
    double yaw_rate = 0.3 * std::sin(0.05 * t) + 0.1 * noise(rng);
    switch (kind[static_cast<std::size_t>(k)]) {
      case 1:
        speed = std::nan("");
        break;
      case 2:
        yaw_rate = -INFINITY;
        break;
      case 3:
        ns -= 5000000000LL;  // five seconds back
        break;
      case 4:
        offset_ns += jump_ns;
        ns += jump_ns;
        jump_ns = -jump_ns;
        break;
      case 5:
        ns -= 20000000LL;  // the previous message's stamp again
        break;
      default:
        break;
    }
    const auto stamp = [](long long at) {
      builtin_interfaces::msg::Time time;
      time.sec = static_cast<int32_t>(at / 1000000000LL);
      time.nanosec = static_cast<uint32_t>(at % 1000000000LL);
      return time;
    };
    geometry_msgs::msg::TwistStamped m;
    m.header.stamp = stamp(ns);
    m.twist.linear.x = speed;
    m.twist.angular.z = yaw_rate;
    // Counted: well-formed messages after a warm-up, and not within three steps of a hostile one:
    // a time jump restarts the filter, whose first update (held back by the fusion delay into
    // the next step) sizes its scratch space.
    counting = k >= 1000;
    for (long back = 0; back <= 3; ++back) {
      counting = counting && kind[static_cast<std::size_t>(k - back)] == 0;
    }
    publisher->publish(m);
    deliver(kEncoder);
    if (fusion) {
      const char hostile_kind = kind[static_cast<std::size_t>(k)];
      const double heading = 0.3 / 0.05 * (1.0 - std::cos(0.05 * t));  // the integrated yaw rate
      for (int half = 0; half < 2; ++half) {
        sensor_msgs::msg::Imu imu;
        imu.header.stamp = stamp(ns + half * 10000000LL);
        imu.linear_acceleration.y = speed * yaw_rate + noise(rng);
        imu.linear_acceleration.z = 9.80665 + noise(rng);
        imu.angular_velocity.z = yaw_rate + 0.1 * noise(rng);
        if (half == 1 && hostile_kind == 1) {
          imu.linear_acceleration.x = std::nan("");
        } else if (half == 1 && hostile_kind == 3) {
          imu.angular_velocity_covariance = {-1e-4, 0, 0, 0, 1e-4, 0, 0, 0, 1e-4};
        }
        imu_publisher->publish(imu);
        deliver(kImu);
      }
      if (k % 5 == 0 || hostile_kind == 2 || hostile_kind == 5) {
        nav_msgs::msg::Odometry vo;
        vo.header.stamp = stamp(ns + 10000000LL);
        vo.pose.pose.orientation.z = std::sin(heading / 2);
        vo.pose.pose.orientation.w = std::cos(heading / 2);
        if (hostile_kind == 2) {
          vo.pose.pose.orientation.w = vo.pose.pose.orientation.z = 0.0;
        } else if (hostile_kind == 5) {
          vo.pose.pose.position.x = INFINITY;
        }
        vo_publisher->publish(vo);
        deliver(kVo);
      }
    }
    if (k + 1 == 10000) {
      rss_start = resident_kib();
    }
    if ((k + 1) % 1000 == 0 && !symmetric_psd(node->get_filter().get_covar())) {
      ++bad_covariance;
    }
  }
  const double seconds =
    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long rss_end = resident_kib();
  node->flush_held();
  for (int i = 0; i < 100; ++i) {
    rclcpp::spin_some(driver);
  }
  std::printf("messages: %ld sent (%ld encoder messages, %ld of them hostile), %ld published, %zu "
              "dropped, %zu filter restarts\n",
              sent, messages, hostile, published, node->dropped_messages(),
              node->filter_restarts());
  std::printf("speed: %.0f messages per second (%.1f s)\n", sent / seconds, seconds);
  if (rss_start > 0) {
    std::printf("resident memory: %ld KiB after 10000 messages, %ld KiB at the end (%+.2f %%)\n",
                rss_start, rss_end, 100.0 * (rss_end - rss_start) / rss_start);
  } else {
    std::printf("resident memory: %ld KiB at the end (fewer than 10000 messages)\n", rss_end);
  }
  std::printf("allocations per message in the node (steady state):");
  const char* names[3] = {"encoder", "imu", "vo"};
  long long allocations = 0;
  for (int i = 0; i < 3; ++i) {
    allocations += node_allocations[i];
    if (counted[i] > 0) {
      std::printf(" %s %.2f (%lld in %ld)", names[i],
                  static_cast<double>(node_allocations[i]) / static_cast<double>(counted[i]),
                  node_allocations[i], counted[i]);
    }
  }
  std::printf("\n");
  std::printf("non-finite published values: %ld; covariance checks failed: %ld\n", non_finite,
              bad_covariance);
  rclcpp::shutdown();
  const bool allocations_ok = !no_allocations || allocations == 0;
  return (non_finite == 0 && bad_covariance == 0 && allocations_ok) ? 0 : 1;
}
