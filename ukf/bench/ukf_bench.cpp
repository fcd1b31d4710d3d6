// Time and heap allocations per filter update for three configurations at 50 Hz:
//   the vehicle (15 states, wheel encoders, integrator step 0.01 s),
//   a 12-state POINT_MASS_3D body with an orientation sensor,
//   a POINT_MASS_3D body holding its orientation as ANGLE_AXIS, with visual odometry.
//   a point mass of n = 6, 15, 30 and 60 generic states with a position sensor (BM_StateSize).
// Each iteration is what the node does per message: copy the template measurement, populate it,
// update. Allocations are counted by interposing malloc, calloc and realloc in this binary.
#include <atomic>
#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "ukf/Filter.hpp"
#include "ukf/models/iModel.hpp"

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

// Each iteration is one message: copy the template measurement, populate it, hand it to the
// filter. Allocations are counted apart: those of preparing the measurement (the copy of the
// template's sensors), and those of the update itself.
template <typename Populate>
void run(benchmark::State& bench, ukf::Filter filter, Populate populate)
{
  long k = 0;
  // Warm up so that the steady state is measured, not the first sizing of the scratch space.
  // One measurement serves every update, as in the node: the template is assigned over it, which
  // keeps its sensor objects, and the filter copies it into its record the same way.
  ukf::Measurement z = filter.get_empty_measurement();
  for (; k < 50; ++k) {
    z = filter.empty_measurement();
    populate(z, k);
    filter.update(z, 0.02 * static_cast<double>(k));
  }
  long long in_update = 0, in_measurement = 0;
  long updates = 0;
  for (auto _ : bench) {
    const long long start = g_allocations.load();
    z = filter.empty_measurement();
    populate(z, k);
    const long long prepared = g_allocations.load();
    filter.update(z, 0.02 * static_cast<double>(k));
    in_update += g_allocations.load() - prepared;
    in_measurement += prepared - start;
    ++k;
    ++updates;
  }
  const auto per_update = [&](long long n) {
    return benchmark::Counter(static_cast<double>(n) / static_cast<double>(updates));
  };
  bench.counters["allocs_per_update"] = per_update(in_update);
  bench.counters["allocs_per_measurement"] = per_update(in_measurement);
  bench.counters["updates_per_s"] =
    benchmark::Counter(static_cast<double>(updates), benchmark::Counter::kIsRate);
}

void BM_VehicleEncoders(benchmark::State& bench)
{
  const Drive drive;
  ukf::VectorX v(2);
  run(bench, ukf::Filter(config("vehicle.json")), [&](ukf::Measurement& z, long k) {
    v << drive.speed(k), drive.yaw_rate(k);
    z.sensor_populate("encoders", v);
  });
}

void BM_PointMass3DOrientation(benchmark::State& bench)
{
  ukf::VectorX v(3);
  run(bench, ukf::Filter(config("point_mass_3d_orientation.json")),
      [&](ukf::Measurement& z, long k) {
        v << 0.0, 0.0, ukf::wrap_angle(0.002 * static_cast<double>(k));
        z.sensor_populate("compass", v);
      });
}

void BM_AngleAxisVisualOdometry(benchmark::State& bench)
{
  ukf::VectorX v(6);
  run(bench, ukf::Filter(config("angle_axis_vo.json")), [&](ukf::Measurement& z, long k) {
    const double t = 0.02 * static_cast<double>(k);
    v << 10 * std::sin(0.1 * t), 10 * (1 - std::cos(0.1 * t)), 0.0, 0.0, 0.0,
      ukf::wrap_angle(0.2 + 0.1 * t);
    z.sensor_populate("vo", v);
  });
}

// How the cost grows with the state: n generic entries, a position block (the first half) moving
// with a velocity block (the second half), as POINT_MASS_3D moves its position, and one position
// sensor reading the first three entries. No built-in model takes a state of any size, so the
// model is written here against the model interface, in its flat form: the filter calls its
// f_into() and add_process_noise(), which write into the filter's own storage.
class PointMassN final : public ukf::IModel
{
public:
  explicit PointMassN(int n) : _n(n), _half(n / 2) {}
  ukf::VectorX f(const ukf::State& state, double t) const override
  {
    ukf::VectorX d(_n);
    f_into(state, t, d);
    return d;
  }
  void f_into(const ukf::State& state, double /*t*/, Eigen::Ref<ukf::VectorX> out) const override
  {
    state.field(1).read_into(out.tail(_n - _half));  // the velocity block
    out.head(_half) = out.segment(_half, _half);
    out.tail(_n - _half).setZero();
  }
  ukf::MatrixX process_noise_covariance(double dt) const override
  {
    return ukf::MatrixX::Identity(_n, _n) * (0.01 * dt);
  }
  void add_process_noise(double dt, Eigen::Ref<ukf::MatrixX> out) const override
  {
    out.diagonal().array() += 0.01 * dt;
  }
  double get_integrator_step() const override { return 0.01; }
  std::string get_name() const override { return "point mass of size " + std::to_string(_n); }

private:
  int _n, _half;
};

ukf::Filter point_mass_of_size(int n)
{
  using ukf::json;
  const auto field = [](const char* name, int size) {
    return json{{"type", "GENERIC_FIELD"}, {"name", name}, {"size", size},
                {"initial_values", std::vector<double>(static_cast<std::size_t>(size), 0.0)}};
  };
  const ukf::State state(json{{"fields", {field("Position", n / 2), field("Velocity", n - n / 2)}}});
  ukf::Measurement sensors(json{
    {"sensors",
     {{{"type", "POSITION_SENSOR"},
       {"name", "position"},
       {"size", 3},
       {"noise", {{0.04, 0.0, 0.0}, {0.0, 0.04, 0.0}, {0.0, 0.0, 0.04}}},
       {"state_pos_field", "Position"}}}}});
  return ukf::Filter(state, 0.1 * ukf::MatrixX::Identity(n, n), std::make_unique<PointMassN>(n),
                     sensors);
}

void BM_StateSize(benchmark::State& bench)
{
  const int n = static_cast<int>(bench.range(0));
  ukf::VectorX v(3);
  run(bench, point_mass_of_size(n), [&](ukf::Measurement& z, long k) {
    const double t = 0.02 * static_cast<double>(k);
    v << 5 * std::sin(0.1 * t), 5 * (1 - std::cos(0.1 * t)), 0.0;
    z.sensor_populate("position", v);
  });
}

}  // namespace

BENCHMARK(BM_VehicleEncoders)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PointMass3DOrientation)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AngleAxisVisualOdometry)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StateSize)->Arg(6)->Arg(15)->Arg(30)->Arg(60)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
