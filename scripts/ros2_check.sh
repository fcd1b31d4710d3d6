#!/usr/bin/env bash
# The check against real ROS 2 Humble, as a ROS user would build and run the packages:
#   1. installs the prebuilt ROS 2 Humble from ../shared/ros2 (its install.sh);
#   2. copies this repository into a scratch colcon workspace (build-ros2/ws/src/zendrafell),
#      checks that colcon sees the two packages, and builds them with colcon;
#   3. `colcon test` in a shell that has sourced only ROS 2's setup script, then
#      `colcon test-result --verbose`; a failed test or a package without results fails the run;
#   4. the ROS 2 stand-in's own tests, built against the real ROS 2, so that every expectation
#      the stand-in is held to is checked against the real thing too;
#   5. the installed node over DDS from another process: `ros2 run` with "ukf_config", `ros2
#      launch`, and `ros2 run` with the source tree's configuration gone (the installed one is
#      used), each ended by SIGINT with status 0 (localization_pkg/test/cross_process_check.py);
#      then `ros2 launch` with fusion:=true and every opt-in feature, fed on all three topics;
#      and a robot with a rotated IMU (static_transform_publisher) and wheel odometry; the shipped
#      parameters file in a namespace, and the node loaded into a component container, each
#      driven with the ROS 2 command line (param set, set_pose, reset, /diagnostics);
#   6. the shared Jackal bag: scripts/bag_to_drive.py, `localisation_replay` of its CSV and of
#      the bag (the same estimates), and `ros2 bag play --clock` into the node with use_sim_time
#      recorded with `ros2 bag record` (localization_pkg/test/bag_play_check.py).
# Without ../shared/ros2 it prints one line saying so and succeeds. ZF_ROS2_DIR overrides where
# the prebuilt ROS 2 is looked for.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
start=$SECONDS

ros2_dir=${ZF_ROS2_DIR:-}
if [ -z "$ros2_dir" ]; then
  # Beside the checkout on the development machines; CI's clean clone may live elsewhere on them.
  for candidate in "$root/../shared/ros2" /work/shared/ros2; do
    if [ -f "$candidate/install.sh" ]; then ros2_dir=$(cd "$candidate" && pwd); break; fi
  done
fi
if [ -z "$ros2_dir" ] || [ ! -f "$ros2_dir/install.sh" ]; then
  echo "real-ROS 2 stage skipped: no prebuilt ROS 2 Humble (../shared/ros2/install.sh) on this machine"
  exit 0
fi

source "$root/scripts/common.sh"
install_missing_packages
sh "$ros2_dir/install.sh"
prefix=/opt/ros/humble
set +u  # ROS 2's and colcon's setup scripts read unset variables
# shellcheck disable=SC1091
source "$prefix/setup.bash"
# shellcheck disable=SC1091
source "$ros2_dir/env.sh"
set -u
# A domain of its own, so that other ROS processes on this machine cannot interfere.
export ROS_DOMAIN_ID=$((RANDOM % 100 + 1))

work="$root/build-ros2"
ws="$work/ws"
rm -rf "$work"
mkdir -p "$ws/src/zendrafell"
# The working tree as git sees it (tracked and new files, no build folders).
git -C "$root" ls-files -z --cached --others --exclude-standard \
  | tar -C "$root" --null --ignore-failed-read -T - -cf - \
  | tar -C "$ws/src/zendrafell" -xf -
cd "$ws"

echo "== colcon list"
listed=$(colcon list)
echo "$listed"
for want in "ukf	src/zendrafell/ukf	(ros.cmake)" \
            "localization_pkg	src/zendrafell/localization_pkg	(ros.ament_cmake)"; do
  grep -qxF "$want" <<<"$listed" || { echo "colcon list lacks: $want" >&2; exit 1; }
done
[ "$(wc -l <<<"$listed")" -eq 2 ] || { echo "colcon list shows more than the two packages" >&2; exit 1; }

echo "== colcon build"
colcon build --packages-up-to localization_pkg --cmake-args -DCMAKE_BUILD_TYPE=Release

echo "== colcon test"
colcon test --event-handlers console_cohesion-
colcon test-result --verbose
results=$(colcon test-result --all)
echo "$results"
for want in "build/ukf/Testing/" "build/localization_pkg/test_results/localization_pkg/"; do
  grep -qF "$want" <<<"$results" || { echo "no test results under $want" >&2; exit 1; }
done

echo "== the stand-in's tests against real ROS 2"
cmake -S "$ws/src/zendrafell/ros2_standin" -B "$work/standin-conformance" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release -DSTANDIN_TESTS_AGAINST_ROS2=ON >/dev/null
cmake --build "$work/standin-conformance" -j 2
ctest --test-dir "$work/standin-conformance" --output-on-failure

echo "== the installed node over DDS"
set +u
# shellcheck disable=SC1091
source "$ws/install/local_setup.bash"
set -u
check="$ws/src/zendrafell/localization_pkg/test/cross_process_check.py"
installed="$ws/install/localization_pkg/share/localization_pkg/config/localisation_config.json"
python3 "$check" --expect-config "$installed" -- \
  ros2 run localization_pkg localization_node --ros-args -p "ukf_config:=$installed"
python3 "$check" --expect-config "$installed" -- \
  ros2 launch localization_pkg localisation.launch.py "ukf_config:=$installed"
# Without the parameter the node takes the source tree's configuration, and the installed one
# once the source tree's is gone.
source_config="$ws/src/zendrafell/localization_pkg/config/localisation_config.json"
python3 "$check" --expect-config "$source_config" -- ros2 run localization_pkg localization_node
mv "$source_config" "$source_config.moved"
python3 "$check" --expect-config "$installed" -- ros2 run localization_pkg localization_node
mv "$source_config.moved" "$source_config"
# Every opt-in feature at once: the fusion configuration selected by the launch file, encoder,
# IMU and visual-odometry topics, other frames, covariance and the transform on /tf.
python3 "$check" --fusion --frames odom base_link --tf --covariance -- \
  ros2 launch localization_pkg localisation.launch.py fusion:=true base_link_frame:=base_link \
  publish_tf:=true publish_covariance:=true
# A robot as robots are: its IMU mounted rotated and offset, described by a static transform that
# static_transform_publisher broadcasts from a process of its own, and its wheel odometry as
# nav_msgs/Odometry.
python3 "$check" --mounted --frames odom base_link -- \
  ros2 launch localization_pkg localisation.launch.py fusion:=true base_link_frame:=base_link \
  wheel_odom_topic:=wheel/odom

# Dropped into a robot's stack: the shipped parameters file and a namespace through the launch
# file, then, on the running node, the ROS 2 command line: `ros2 param set` refused on a read-only
# parameter, `ros2 param describe`, set_pose by `ros2 topic pub`, reset by `ros2 service call`, and
# the node's statuses on /diagnostics.
conventions="$ws/install/localization_pkg/share/localization_pkg/config/ros_conventions.yaml"
python3 "$check" --namespace robot1 --frames odom base_link --tf --covariance --ros-cli -- \
  ros2 launch localization_pkg localisation.launch.py "params_file:=$conventions" namespace:=robot1
# The node as a component: the launch file starts a container and loads it there.
python3 "$check" --ros-cli -- \
  ros2 launch localization_pkg localisation.launch.py composable:=true log_level:=warn

echo "== bags: bag_to_drive.py, localisation_replay --bag, ros2 bag play --clock"
jackal="$ws/src/zendrafell/data/jackal"
fusion="$ws/install/localization_pkg/share/localization_pkg/config/localisation_fusion_config.json"
topics=(--wheel-odom-topic /jackal_velocity_controller/odom --imu-topic /imu/data)
python3 "$ws/src/zendrafell/scripts/bag_to_drive.py" "$jackal" -o "$work/jackal.csv" "${topics[@]}"
ros2 run localization_pkg localisation_replay "$work/jackal.csv" --config "$fusion" \
  --csv "$work/from_csv.csv" --svg "$work/from_csv.svg" --ros-args -p base_link_frame:=base_link
ros2 run localization_pkg localisation_replay --bag "$jackal" "${topics[@]}" --config "$fusion" \
  --csv "$work/from_bag.csv" --svg "$work/from_bag.svg" --ros-args -p base_link_frame:=base_link
# The bag through its CSV (covariances included) and the bag itself: the same estimates.
python3 - "$work/from_csv.csv" "$work/from_bag.csv" <<'PY'
import csv, sys
a, b = (list(csv.DictReader(open(p))) for p in sys.argv[1:3])
assert len(a) == len(b) == 6121, (len(a), len(b))
worst = max(abs(float(x[k]) - float(y[k])) for x, y in zip(a, b) for k in x if k != "stamp")
assert all(x["stamp"] == y["stamp"] for x, y in zip(a, b))
print(f"bag_to_drive.py's CSV and the bag give the same {len(a)} estimates to {worst:.3g}")
assert worst <= 1e-9
PY
python3 "$ws/src/zendrafell/localization_pkg/test/bag_play_check.py" --bag "$jackal" \
  --config "$fusion" --work "$work/bag_play" -- "${topics[@]}"
# The real-robot configuration on the bag: the reference filters' final point within 0.5 m and
# a consistent NIS, with the message covariances ignored as the README shows.
real="$ws/install/localization_pkg/share/localization_pkg/config/localisation_real_robot_config.json"
ros2 run localization_pkg localisation_replay --bag "$jackal" "${topics[@]}" --config "$real" \
  --csv "$work/real.csv" --svg "$work/real.svg" --json "$work/real.json" \
  --ros-args -p base_link_frame:=base_link -p message_covariance:=ignore
python3 - "$work/real.json" <<'PY'
import json, math, sys
j = json.load(open(sys.argv[1]))
p, c = j["final_pose"], j["consistency"]
error, ratio = math.hypot(p["x"] - 2.213, p["y"] - 2.898), c["mean_nis"] / c["expected_nis"]
print(f"real-robot configuration on the bag: {error:.3f} m from the reference, NIS {ratio:.2f} of expected")
assert error <= 0.5 and 0.7 <= ratio <= 1.4
PY

echo "Real-ROS 2 stage passed in $((SECONDS - start)) s."
