// Time and heap allocations per filter update for three configurations at 50 Hz:
//   the vehicle (15 states, wheel encoders, integrator step 0.01 s),
//   a 12-state POINT_MASS_3D body with an orientation sensor,
//   a POINT_MASS_3D body holding its orientation as ANGLE_AXIS, with visual odometry.
// Each iteration is what the node does per message: copy the template measurement, populate it,
// update. Allocations are counted by interposing malloc, calloc and realloc in this binary.
#include <atomic>
#include <cmath>
#include <string>

#include <benchmark/benchmark.h>

#include "ukf/Filter.hpp"

namespace
{
std::atomic<long long> g_allocations{0};
}  // namespace

// Every heap allocation goes through malloc, calloc or realloc (operator new and Eigen's aligned
// allocator included), so counting them here counts everything. glibc lets a program define these
// and reach its own through the __libc_ names.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);

void* malloc(std::size_t size)
{
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size)
{
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size)
{
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, size);
}
}

namespace
{

std::string config(const char* name) { return std::string(UKF_BENCH_CONFIG_DIR) + "/" + name; }

// A drive: speed and turn rate changing smoothly, as a small vehicle's would.
struct Drive
{
  double speed(long k) const { return 1.2 + 0.6 * std::sin(0.013 * static_cast<double>(k)); }
  double yaw_rate(long k) const { return 0.4 * std::sin(0.0021 * static_cast<double>(k)); }
};

template <typename Populate>
void run(benchmark::State& bench, const char* file, Populate populate)
{
  ukf::Filter filter(config(file));
  long k = 0;
  // Warm up so that the steady state is measured, not the first allocations of the scratch space.
  for (; k < 50; ++k) {
    ukf::Measurement z = filter.get_empty_measurement();
    populate(z, k);
    filter.update(z, 0.02 * static_cast<double>(k));
  }
  const long long before = g_allocations.load();
  long updates = 0;
  for (auto _ : bench) {
    ukf::Measurement z = filter.get_empty_measurement();
    populate(z, k);
    filter.update(z, 0.02 * static_cast<double>(k));
    ++k;
    ++updates;
  }
  bench.counters["allocs_per_update"] = benchmark::Counter(
    static_cast<double>(g_allocations.load() - before) / static_cast<double>(updates));
  bench.counters["updates_per_s"] =
    benchmark::Counter(static_cast<double>(updates), benchmark::Counter::kIsRate);
}

void BM_VehicleEncoders(benchmark::State& bench)
{
  const Drive drive;
  run(bench, "vehicle.json", [&](ukf::Measurement& z, long k) {
    ukf::VectorX v(2);
    v << drive.speed(k), drive.yaw_rate(k);
    z.sensor_populate("encoders", v);
  });
}

void BM_PointMass3DOrientation(benchmark::State& bench)
{
  run(bench, "point_mass_3d_orientation.json", [](ukf::Measurement& z, long k) {
    ukf::VectorX v(3);
    v << 0.0, 0.0, ukf::wrap_angle(0.002 * static_cast<double>(k));
    z.sensor_populate("compass", v);
  });
}

void BM_AngleAxisVisualOdometry(benchmark::State& bench)
{
  run(bench, "angle_axis_vo.json", [](ukf::Measurement& z, long k) {
    const double t = 0.02 * static_cast<double>(k);
    ukf::VectorX v(6);
    v << 10 * std::sin(0.1 * t), 10 * (1 - std::cos(0.1 * t)), 0.0, 0.0, 0.0,
      ukf::wrap_angle(0.2 + 0.1 * t);
    z.sensor_populate("vo", v);
  });
}

}  // namespace

BENCHMARK(BM_VehicleEncoders)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PointMass3DOrientation)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AngleAxisVisualOdometry)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
