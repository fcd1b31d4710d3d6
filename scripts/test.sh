#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test.
#   scripts/test.sh              the normal build (build/)
#   scripts/test.sh --sanitize   the same under AddressSanitizer and UndefinedBehaviorSanitizer
#                                (build-asan/); any report fails the run
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/common.sh"
install_missing_packages

build="$root/build"
flags=()
if [ "${1:-}" = "--sanitize" ]; then
  build="$root/build-asan"
  flags=(-DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer")
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
fi

reset_stale_build "$build" "$root/superbuild" Ninja
cmake -S "$root/superbuild" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUKF_BUILD_BENCHMARKS=ON "${flags[@]}"
cmake --build "$build" -j 2
ctest --test-dir "$build" --output-on-failure -j 2

if [ "${1:-}" != "--sanitize" ]; then
  # The installed package works from another CMake project through find_package(ukf).
  prefix="$build/install-check"
  rm -rf "$prefix" "$build/consumer"
  cmake --install "$build/ukf" --prefix "$prefix" >/dev/null
  cmake -S "$root/ukf/test/consumer" -B "$build/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$build/consumer" >/dev/null
  "$build/consumer/consumer" "$root/ukf/test/data/point_mass_2d.json"
fi
echo "All tests passed."
