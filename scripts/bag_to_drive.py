#!/usr/bin/env python3
"""Turns a ROS 2 bag into localisation_replay's drive CSV.

    python3 scripts/bag_to_drive.py BAG -o DRIVE.csv [--encoder-topic T] [--wheel-odom-topic T]
                                    [--imu-topic T] [--vo-topic T]

Each message of the chosen topics becomes one row, in stamp order (the order of equal stamps
kept): TwistStamped as "encoders", Odometry as "wheel_odom" (its twist) or "vo" (its pose), Imu
as "imu" with its orientation when it reports one. Frames and covariances go into the optional
columns (frame_id, child_frame_id, accel_cov, gyro_cov, orientation_cov, pose_cov, twist_cov), so
that `localisation_replay DRIVE.csv` replays the bag as `localisation_replay --bag` does, numbers
written so that they read back to the same doubles. A wheel-odometry row keeps the twist's
forward speed and yaw rate only. The bag's static transforms are printed as --static-tf
arguments.

Needs rosbag2_py (ROS 2 Humble's rosbag2, with its setup script sourced).
"""

import argparse
import math
import sys

HEADER = ["sec", "nanosec", "sensor", "linear_x", "angular_z", "accel_x", "accel_y", "accel_z",
          "gyro_x", "gyro_y", "gyro_z", "vo_x", "vo_y", "vo_z", "vo_roll", "vo_pitch", "vo_yaw",
          "imu_roll", "imu_pitch", "imu_yaw", "frame_id", "child_frame_id", "accel_cov",
          "gyro_cov", "orientation_cov", "pose_cov", "twist_cov"]
TYPES = {"encoder": "geometry_msgs/msg/TwistStamped", "wheel_odom": "nav_msgs/msg/Odometry",
         "imu": "sensor_msgs/msg/Imu", "vo": "nav_msgs/msg/Odometry"}


def euler(q):
    """Roll, pitch, yaw of a quaternion as the node computes them (Rz(yaw) Ry(pitch) Rx(roll))."""
    n = math.sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w)
    if not n > 0.0 or not math.isfinite(n):
        return [math.nan] * 3
    x, y, z, w = q.x / n, q.y / n, q.z / n, q.w / n
    r00 = 1 - 2 * (y * y + z * z)
    r10 = 2 * (x * y + w * z)
    r20 = 2 * (x * z - w * y)
    r21 = 2 * (y * z + w * x)
    r22 = 1 - 2 * (x * x + y * y)
    r01 = 2 * (x * y - w * z)
    r11 = 1 - 2 * (x * x + z * z)
    cos_pitch = math.hypot(r00, r10)
    pitch = math.atan2(-r20, cos_pitch)
    if cos_pitch > 1e-5:
        yaw, roll = math.atan2(r10, r00), math.atan2(r21, r22)
    else:
        yaw = math.atan2(r10, r00) if cos_pitch > 0.0 else 0.0
        roll = yaw + math.atan2(r01, r11) if r20 < 0 else math.atan2(-r01, r11) - yaw
    wrap = lambda a: math.atan2(math.sin(a), math.cos(a))  # noqa: E731
    return [wrap(roll), pitch, wrap(yaw)]


def number(v):
    return repr(float(v))


def covariance(values):
    values = list(values)
    return "" if not any(v != 0.0 for v in values) else " ".join(number(v) for v in values)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bag")
    parser.add_argument("-o", "--out", required=True, help="the drive CSV to write")
    for option in ("encoder", "wheel_odom", "imu", "vo"):
        parser.add_argument("--" + option.replace("_", "-") + "-topic", dest=option, default="",
                            help=f"the topic of {TYPES[option]} messages")
    args = parser.parse_args()
    try:
        import rosbag2_py
        from rclpy.serialization import deserialize_message
        from rosidl_runtime_py.utilities import get_message
    except ImportError as e:
        sys.exit(f"bag_to_drive.py: needs rosbag2_py, rclpy and rosidl_runtime_py from ROS 2 "
                 f"Humble (source /opt/ros/humble/setup.bash first): {e}")

    chosen = {getattr(args, o): o for o in TYPES if getattr(args, o)}
    if not chosen:
        parser.error("choose topics with --encoder-topic, --wheel-odom-topic, --imu-topic or "
                     "--vo-topic")
    reader = rosbag2_py.SequentialReader()
    try:
        reader.open(rosbag2_py.StorageOptions(uri=args.bag, storage_id="sqlite3"),
                    rosbag2_py.ConverterOptions("cdr", "cdr"))
    except Exception as e:  # rosbag2_py raises RuntimeError with its own words
        sys.exit(f"bag_to_drive.py: bag {args.bag} cannot be read as a ROS 2 bag: {e}")
    types = {t.name: t.type for t in reader.get_all_topics_and_types()}
    listed = ", ".join(f"{n} ({t})" for n, t in types.items())
    for topic, option in chosen.items():
        if topic not in types:
            sys.exit(f"bag_to_drive.py: bag {args.bag} has no topic {topic}; its topics are {listed}")
        if types[topic] != TYPES[option]:
            sys.exit(f"bag_to_drive.py: bag {args.bag}: topic {topic} is {types[topic]}, but "
                     f"--{option.replace('_', '-')}-topic takes {TYPES[option]}")

    rows, statics, dropped = [], {}, {}
    classes = {t: get_message(types[t]) for t in chosen}
    if "/tf_static" in types:
        classes["/tf_static"] = get_message(types["/tf_static"])
    while reader.has_next():
        topic, data, _ = reader.read_next()
        if topic not in classes:
            continue
        try:
            msg = deserialize_message(data, classes[topic])
        except Exception:  # a message that is not what its topic says: dropped, counted
            dropped[topic] = dropped.get(topic, 0) + 1
            continue
        if topic == "/tf_static":
            for t in msg.transforms:
                statics[t.child_frame_id] = t
            continue
        kind = chosen[topic]
        cell = {h: "" for h in HEADER}
        cell["sec"], cell["nanosec"] = str(msg.header.stamp.sec), str(msg.header.stamp.nanosec)
        if kind == "encoder":
            cell["sensor"] = "encoders"
            cell["linear_x"], cell["angular_z"] = number(msg.twist.linear.x), number(msg.twist.angular.z)
        elif kind == "wheel_odom":
            cell["sensor"] = "wheel_odom"
            cell["linear_x"] = number(msg.twist.twist.linear.x)
            cell["angular_z"] = number(msg.twist.twist.angular.z)
            cell["child_frame_id"] = msg.child_frame_id
            cell["twist_cov"] = covariance(msg.twist.covariance)
        elif kind == "imu":
            cell["sensor"] = "imu"
            a, w = msg.linear_acceleration, msg.angular_velocity
            for name, v in zip(("accel_x", "accel_y", "accel_z", "gyro_x", "gyro_y", "gyro_z"),
                               (a.x, a.y, a.z, w.x, w.y, w.z)):
                cell[name] = number(v)
            if msg.orientation_covariance[0] != -1.0:
                for name, v in zip(("imu_roll", "imu_pitch", "imu_yaw"), euler(msg.orientation)):
                    cell[name] = number(v)
                cell["orientation_cov"] = covariance(msg.orientation_covariance)
            cell["frame_id"] = msg.header.frame_id
            cell["accel_cov"] = covariance(msg.linear_acceleration_covariance)
            cell["gyro_cov"] = covariance(msg.angular_velocity_covariance)
        else:
            cell["sensor"] = "vo"
            p = msg.pose.pose.position
            for name, v in zip(("vo_x", "vo_y", "vo_z", "vo_roll", "vo_pitch", "vo_yaw"),
                               [p.x, p.y, p.z] + euler(msg.pose.pose.orientation)):
                cell[name] = number(v)
            cell["frame_id"], cell["child_frame_id"] = msg.header.frame_id, msg.child_frame_id
            cell["pose_cov"] = covariance(msg.pose.covariance)
        for name in ("frame_id", "child_frame_id"):
            if "," in cell[name]:
                sys.exit(f"bag_to_drive.py: a frame id with a comma cannot go into a CSV: "
                         f"{cell[name]!r} on {topic}")
        rows.append(((msg.header.stamp.sec, msg.header.stamp.nanosec), cell))
    rows.sort(key=lambda r: r[0])  # stable: equal stamps keep the bag's order

    with open(args.out, "w") as out:
        out.write(",".join(HEADER) + "\n")
        for _, cell in rows:
            out.write(",".join(cell[h] for h in HEADER) + "\n")
    counts = {}
    for _, cell in rows:
        counts[cell["sensor"]] = counts.get(cell["sensor"], 0) + 1
    print(f"wrote {args.out}: " + ", ".join(f"{n} {s}" for s, n in counts.items()) + " rows")
    for topic, n in dropped.items():
        print(f"  {n} messages on {topic} could not be deserialised and were left out")
    for t in statics.values():
        r = t.transform.rotation
        roll, pitch, yaw = euler(r)
        v = t.transform.translation
        print(f"  static transform: --static-tf \"{t.header.frame_id} {t.child_frame_id} "
              f"{number(v.x)} {number(v.y)} {number(v.z)} {number(roll)} {number(pitch)} "
              f"{number(yaw)}\"")


if __name__ == "__main__":
    main()
