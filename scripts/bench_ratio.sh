#!/usr/bin/env bash
# The vehicle update's speed against a hand-written fixed-size filter, in the same run: RUNS
# alternating runs of ukf_bench's vehicle and angle-axis cases and of the baseline, each line
# giving the vehicle's time, the baseline's, their ratio, and the angle-axis case against the
# vehicle. Timings on a shared machine drift between runs: compare within a line.
#   scripts/bench_ratio.sh BASELINE DRIVE [RUNS]   (after scripts/test.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
baseline=${1:?usage: bench_ratio.sh BASELINE_UKF DRIVE_CSV [RUNS]}
drive=${2:?usage: bench_ratio.sh BASELINE_UKF DRIVE_CSV [RUNS]}
runs=${3:-3}
bench="$root/build/ukf/ukf_bench"
for ((i = 0; i < runs; i++)); do
  out=$("$bench" --benchmark_filter='Vehicle|AngleAxis' --benchmark_min_time=2 2>/dev/null)
  vehicle=$(awk '/^BM_VehicleEncoders/ {print $2}' <<<"$out")
  angle_axis=$(awk '/^BM_AngleAxisVisualOdometry/ {print $2}' <<<"$out")
  base_ns=$("$baseline" "$drive" | awk -F= '/baseline_ns_per_update/ {print $2}')
  python3 -c "v, a, b = $vehicle, $angle_axis, $base_ns / 1000
print(f'vehicle {v} us, baseline {b:.2f} us, ratio {v / b:.2f}; angle-axis {a} us, {a / v:.2f} x vehicle')"
done
