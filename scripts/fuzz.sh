#!/usr/bin/env bash
# Builds the three libFuzzer targets with clang (-fsanitize=fuzzer,address,undefined) and runs each
# for SECONDS (default 60) from the committed seed corpus. Any crash, sanitizer report, leak or
# timeout fails the run and leaves the reproducer in build-fuzz/findings/.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
source "$root/scripts/common.sh"
install_missing_packages clang libclang-rt-14-dev

build="$root/build-fuzz"
CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILD_TESTING=OFF -DZF_BUILD_FUZZERS=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" >/dev/null
cmake --build "$build" -j 2 --target fuzz_config fuzz_replay_lines fuzz_node_messages

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
mkdir -p "$build/findings"
declare -A max_len=([config]=4096 [replay_lines]=1024 [node_messages]=560)
for target in config replay_lines node_messages; do
  work="$build/corpus/$target"
  mkdir -p "$work"
  echo "== fuzz_$target for ${seconds}s"
  "$build/fuzz/fuzz_$target" "$work" "$root/fuzz/corpus/$target" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="${max_len[$target]}" \
    -artifact_prefix="$build/findings/$target-" -print_final_stats=1 2>&1 | tail -n 12
done
echo "Fuzzing found nothing."
