#!/usr/bin/env python3
"""`ros2 bag play --clock` of a recording into the running node, checked against
`localisation_replay --bag` of the same recording.

    bag_play_check.py --bag BAG --config CONFIG.json --work DIR -- TOPIC OPTIONS ...

With a sourced ROS 2 Humble and the workspace's install, as a ROS user would:
  1. `localisation_replay --bag BAG` gives the reference estimates (its wall time is reported);
  2. the node starts with use_sim_time:=true (`ros2 launch`), `ros2 bag record` records its
     /odometry/filtered and /tf, and `ros2 bag play BAG --clock` plays the recording into it;
  3. the recorded bag is read back with rosbag2_py: the count, the frames, the stamps in order,
     finite values, one transform per estimate, and every estimate equal to the reference's of
     the same stamp to 1e-9. Messages lost to QoS, if any, are reported.

The topic options (--wheel-odom-topic T --imu-topic T, as localisation_replay takes them) map the
bag's topics; the node gets the same topics and "fusion_delay" 0.1 s, which puts the two topics'
messages back in stamp order whatever order DDS delivers them in. Exit status 0 when every check
passes.
"""

import argparse
import csv
import math
import os
import shutil
import signal
import subprocess
import sys
import time

FUSION_DELAY = "0.1"
TOLERANCE = 1e-9


def stop(process, timeout=15.0):
    if process.poll() is None:
        os.killpg(process.pid, signal.SIGINT)
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bag", required=True)
    parser.add_argument("--config", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("topics", nargs="+")
    args = parser.parse_args()
    pairs = dict(zip(args.topics[::2], args.topics[1::2]))
    node_parameters = {"--wheel-odom-topic": "wheel_odom_topic", "--imu-topic": "imu_topic",
                       "--vo-topic": "vo_topic", "--encoder-topic": None}
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    common = {"base_link_frame": "base_link", "fusion_delay": FUSION_DELAY, "publish_tf": "true"}
    errors = []

    # 1. The reference.
    reference_csv = os.path.join(args.work, "reference.csv")
    command = (["ros2", "run", "localization_pkg", "localisation_replay", "--bag", args.bag,
                "--config", args.config, "--csv", reference_csv,
                "--svg", os.path.join(args.work, "reference.svg")] + args.topics +
               ["--ros-args"] + [a for k, v in common.items() for a in ("-p", f"{k}:={v}")])
    print("$ " + " ".join(command), flush=True)
    start = time.monotonic()
    replay = subprocess.run(command, capture_output=True, text=True)
    wall = time.monotonic() - start
    print(replay.stdout, end="")
    if replay.returncode != 0:
        sys.exit(f"FAILED: localisation_replay --bag exited {replay.returncode}: {replay.stderr}")
    print(f"localisation_replay --bag took {wall:.2f} s of wall time, start-up included")
    with open(reference_csv) as f:
        reference = {row["stamp"]: row for row in csv.DictReader(f)}

    # 2. The node, a recorder and the player, each a process of its own.
    node_command = (["ros2", "launch", "localization_pkg", "localisation.launch.py",
                     "use_sim_time:=true", f"ukf_config:={args.config}"] +
                    [f"{k}:={v}" for k, v in common.items()])
    for option, topic in pairs.items():
        if node_parameters.get(option):
            node_command.append(f"{node_parameters[option]}:={topic}")
    recorded = os.path.join(args.work, "recorded")
    print("$ " + " ".join(node_command), flush=True)
    # Into a file, not a pipe: a pipe nobody reads fills, and the node then blocks on its log.
    node_log = os.path.join(args.work, "node.log")
    node = subprocess.Popen(node_command, stdout=open(node_log, "w"), stderr=subprocess.STDOUT,
                            start_new_session=True)
    recorder = subprocess.Popen(["ros2", "bag", "record", "-o", recorded, "/odometry/filtered",
                                 "/tf"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)
    import rclpy  # after the processes: its start-up takes a moment of its own
    rclpy.init()
    probe = rclpy.create_node("bag_play_check")
    deadline = time.monotonic() + 30.0
    topic = next(iter(t for o, t in pairs.items() if node_parameters.get(o)))
    while (probe.count_subscribers(topic) < 1 or probe.count_subscribers("/odometry/filtered") < 1):
        if time.monotonic() > deadline:
            stop(recorder)
            stop(node)
            sys.exit("FAILED: the node or the recorder did not appear within 30 s")
        rclpy.spin_once(probe, timeout_sec=0.1)
    probe.destroy_node()
    rclpy.shutdown()
    time.sleep(1.0)
    print(f"$ ros2 bag play {args.bag} --clock", flush=True)
    subprocess.run(["ros2", "bag", "play", args.bag, "--clock"], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    time.sleep(1.5)
    stop(recorder)
    stop(node)
    with open(node_log) as f:
        log = f.read().splitlines()
    dropped = [line for line in log if "Dropped" in line]

    # 3. The recording, read back.
    import rosbag2_py
    from rclpy.serialization import deserialize_message
    from nav_msgs.msg import Odometry
    from tf2_msgs.msg import TFMessage
    reader = rosbag2_py.SequentialReader()
    reader.open(rosbag2_py.StorageOptions(uri=recorded, storage_id="sqlite3"),
                rosbag2_py.ConverterOptions("cdr", "cdr"))
    estimates, transforms = [], 0
    while reader.has_next():
        name, data, _ = reader.read_next()
        if name == "/odometry/filtered":
            estimates.append(deserialize_message(data, Odometry))
        elif name == "/tf":
            transforms += len(deserialize_message(data, TFMessage).transforms)
    previous, largest, missing = None, 0.0, 0
    for o in estimates:
        stamp = f"{o.header.stamp.sec}.{o.header.stamp.nanosec:09d}"
        if (o.header.frame_id, o.child_frame_id) != ("odom", "base_link"):
            errors.append(f"estimate {stamp}: frames {o.header.frame_id} -> {o.child_frame_id}")
        key = (o.header.stamp.sec, o.header.stamp.nanosec)
        if previous is not None and key <= previous:
            errors.append(f"estimate {stamp} is not after the one before it")
        previous = key
        p, q, v = o.pose.pose.position, o.pose.pose.orientation, o.twist.twist.linear
        values = [p.x, p.y, p.z, q.x, q.y, q.z, q.w, v.x]
        if not all(math.isfinite(x) for x in values):
            errors.append(f"estimate {stamp} is not finite")
        ref = reference.get(stamp)
        if ref is None:
            missing += 1
            continue
        for x, column in zip(values, ("x", "y", "z", "qx", "qy", "qz", "qw", "vx")):
            largest = max(largest, abs(x - float(ref[column])))
    if missing:
        errors.append(f"{missing} recorded estimates have no reference estimate of their stamp")
    if largest > TOLERANCE:
        errors.append(f"the recorded estimates differ from localisation_replay --bag's by up to "
                      f"{largest:.3g}")
    if transforms != len(estimates):
        errors.append(f"{transforms} transforms recorded for {len(estimates)} estimates")
    if dropped:
        errors.append(f"the node dropped messages: {dropped[0]}")
    lost = len(reference) - len(estimates)
    held = float(FUSION_DELAY)
    print(f"recorded {len(estimates)} estimates and {transforms} transforms of the reference's "
          f"{len(reference)}; largest difference {largest:.3g}; {lost} not published (the node "
          f"holds the last {held} s of messages, by fusion_delay, until later ones come)")
    if not estimates or lost > 20:
        errors.append(f"{lost} estimates missing, more than the last {held} s of the recording")
    if estimates:
        p = estimates[-1].pose.pose.position
        print(f"final recorded pose: x {p.x:.3f} m, y {p.y:.3f} m")
    for e in errors:
        print("FAILED: " + e, file=sys.stderr)
    if not errors:
        print("passed: ros2 bag play --clock into the node gives localisation_replay --bag's "
              "estimates")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
