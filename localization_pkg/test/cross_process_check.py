#!/usr/bin/env python3
"""Drives the installed localisation node from another process over DDS, as a ROS 2 user would.

    cross_process_check.py [--expect-config PATH] [--fusion] [--mounted] [--frames ODOM BASE]
                           [--tf] [--covariance] -- COMMAND ...

COMMAND starts the node (for example `ros2 run localization_pkg localization_node --ros-args -p
ukf_config:=...` or `ros2 launch localization_pkg localisation.launch.py`) in its own process
group. This process then publishes TwistStamped messages on "encoder_vel" and checks every reply on
"odometry/filtered": one per message, frames "odom" and "odom_base_link", the stamps of the
messages in order, finite values, and motion in the driven direction (forward at 1 m/s, turning
left at 0.2 rad/s, so x and y grow and the heading turns anticlockwise, as REP 103 has it).
Finally it sends SIGINT to the process group, as Ctrl-C in a terminal does, and requires the
command to end with status 0. With --expect-config, the node's log must name that configuration.

--fusion also publishes, between the encoder messages, sensor_msgs/Imu on "imu" (the turn's rate,
its centripetal acceleration and gravity's reaction) and, every fifth, nav_msgs/Odometry on "vo"
(the exact pose), and expects one reply per message of any topic. --frames sets the frames the
replies must carry, --tf requires one transform on "/tf" per reply with its stamp and pose, and
--covariance requires positive variances in both covariance arrays. The IMU messages are in the
base frame (the second of --frames).

--mounted is a robot whose IMU is mounted as on a Clearpath Husky (base x = -imu z, base y =
-imu x, base z = imu y, 0.3 m right and 0.52 m up): `ros2 run tf2_ros static_transform_publisher`
runs as a process of its own with that mounting; the IMU messages go out in "imu_link", rotated
into it and with the lever arm's centripetal acceleration; the wheels go out as nav_msgs/Odometry
on "wheel/odom" instead of encoder_vel (the node must have wheel_odom_topic:=wheel/odom). Every
message must be answered and the node must log no dropped message.

--namespace NS talks to a node started in that namespace. --ros-cli then checks, with the ROS 2
command line while the node runs, what a user does to it: `ros2 param set` refused on a read-only
parameter and `ros2 param describe` saying so, a pose set with `ros2 topic pub` on "set_pose"
(the next reply carries it), `ros2 service call` of "reset" (answered with success, and the
configured initial pose published), and a DiagnosticArray on /diagnostics from the node.

Needs a sourced ROS 2 Humble and the workspace's install. Exit status 0 when every check passes.
"""

import argparse
import math
import os
import signal
import subprocess
import sys
import threading
import time

import rclpy
from diagnostic_msgs.msg import DiagnosticArray
from geometry_msgs.msg import TwistStamped
from nav_msgs.msg import Odometry
from rclpy.qos import QoSProfile, ReliabilityPolicy, HistoryPolicy
from sensor_msgs.msg import Imu
from tf2_msgs.msg import TFMessage

MESSAGES = 100
RATE_HZ = 50.0           # spacing of the stamps
FIRST_STAMP = (1700000000, 0)
SPEED = 1.0              # m/s forward
YAW_RATE = 0.2           # rad/s, anticlockwise seen from above
START_TIMEOUT = 30.0     # s for the node to appear on the graph
REPLY_TIMEOUT = 20.0     # s for all replies after the last message
STOP_TIMEOUT = 15.0      # s for the command to end after SIGINT


GRAVITY = 9.80665


def stamp_of(k, offset_ns=0):
    ns = FIRST_STAMP[1] + round(k * 1e9 / RATE_HZ) + offset_ns
    return FIRST_STAMP[0] + ns // 1000000000, ns % 1000000000


def exact_pose(seconds):
    yaw = YAW_RATE * seconds
    return SPEED / YAW_RATE * math.sin(yaw), SPEED / YAW_RATE * (1.0 - math.cos(yaw)), yaw


class Log:
    """Collects the command's output on a thread and echoes it with a prefix."""

    def __init__(self, stream):
        self.lines = []
        self._thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self._thread.start()

    def _read(self, stream):
        for raw in iter(stream.readline, b''):
            line = raw.decode(errors='replace').rstrip('\n')
            self.lines.append(line)
            print('  node | ' + line, flush=True)

    def join(self):
        self._thread.join(timeout=5.0)


def check_replies(sent, replies, frames=('odom', 'odom_base_link'), covariance=False):
    errors = []
    if len(replies) != len(sent):
        errors.append(f'{len(replies)} odometry messages for {len(sent)} messages sent')
    for i, odom in enumerate(replies):
        where = f'reply {i}'
        if (odom.header.frame_id, odom.child_frame_id) != tuple(frames):
            errors.append(f'{where}: frames "{odom.header.frame_id}" -> "{odom.child_frame_id}", '
                          f'expected "{frames[0]}" -> "{frames[1]}"')
        if covariance and not (odom.pose.covariance[0] > 0 and odom.pose.covariance[35] > 0
                               and odom.twist.covariance[0] > 0):
            errors.append(f'{where}: the covariance arrays have no positive variances')
        stamp = (odom.header.stamp.sec, odom.header.stamp.nanosec)
        if i < len(sent) and stamp != sent[i]:
            errors.append(f'{where}: stamp {stamp}, expected {sent[i]} (the stamps in order)')
        p, q = odom.pose.pose.position, odom.pose.pose.orientation
        v, w = odom.twist.twist.linear, odom.twist.twist.angular
        values = [p.x, p.y, p.z, q.x, q.y, q.z, q.w, v.x, v.y, v.z, w.x, w.y, w.z]
        values += list(odom.pose.covariance) + list(odom.twist.covariance)
        if not all(math.isfinite(x) for x in values):
            errors.append(f'{where}: a value is not finite')
    if replies and not errors:
        last = replies[-1]
        p, q = last.pose.pose.position, last.pose.pose.orientation
        yaw = math.atan2(2.0 * (q.w * q.z + q.x * q.y), 1.0 - 2.0 * (q.y * q.y + q.z * q.z))
        seconds = (sent[-1][0] - FIRST_STAMP[0]) + (sent[-1][1] - FIRST_STAMP[1]) * 1e-9
        exact_x, exact_y, exact_yaw = exact_pose(seconds)
        print(f'final pose: x {p.x:.3f} m, y {p.y:.3f} m, yaw {yaw:.3f} rad '
              f'(exact path: {exact_x:.3f}, {exact_y:.3f}, {exact_yaw:.3f})')
        # The filter starts at rest and takes a moment to follow the speed.
        if not 0.9 * exact_x < p.x < 1.05 * exact_x:
            errors.append(f'final x {p.x:.3f} m, expected forward motion near {exact_x:.3f} m')
        if not 0.6 * exact_y < p.y < 1.3 * exact_y:
            errors.append(f'final y {p.y:.3f} m, expected a left turn near {exact_y:.3f} m')
        if not 0.8 * exact_yaw < yaw < 1.1 * exact_yaw:
            errors.append(f'final yaw {yaw:.3f} rad, expected near {exact_yaw:.3f} rad')
        if abs(p.z) > 0.05:
            errors.append(f'final z {p.z:.3f} m: a ground vehicle stays on the ground')
    return errors


def check_transforms(replies, transforms):
    errors = []
    if len(transforms) != len(replies):
        errors.append(f'{len(transforms)} transforms on /tf for {len(replies)} odometry messages')
    for i, (odom, tf) in enumerate(zip(replies, transforms)):
        t = tf.transform
        if (tf.header.stamp != odom.header.stamp or tf.header.frame_id != odom.header.frame_id
                or tf.child_frame_id != odom.child_frame_id
                or t.translation.x != odom.pose.pose.position.x
                or t.translation.y != odom.pose.pose.position.y
                or t.rotation != odom.pose.pose.orientation):
            errors.append(f'transform {i} differs from odometry message {i}')
    return errors


# The Husky's IMU mounting: the static transform's arguments, and where the IMU sits.
MOUNT_ARGS = ['--x', '0', '--y', '-0.3', '--z', '0.52', '--roll', str(math.pi / 2), '--pitch', '0',
              '--yaw', str(-math.pi / 2), '--frame-id', 'base_link', '--child-frame-id', 'imu_link']
LEVER = (0.0, -0.3, 0.52)


def imu_message(k, base_frame, mounted=False):
    msg = Imu()
    msg.header.stamp.sec, msg.header.stamp.nanosec = stamp_of(k, 10000000)
    msg.orientation_covariance[0] = -1.0
    # In the base frame: the turn's centripetal acceleration, gravity's reaction and the rate.
    accel = [0.0, SPEED * YAW_RATE, GRAVITY]
    rate = [0.0, 0.0, YAW_RATE]
    if mounted:
        # Where the IMU sits it also feels w x (w x r), here -w^2 (r_x, r_y, 0).
        accel = [accel[0] - YAW_RATE ** 2 * LEVER[0], accel[1] - YAW_RATE ** 2 * LEVER[1], accel[2]]
        # In the IMU's frame: imu x = -base y, imu y = base z, imu z = -base x.
        accel = [-accel[1], accel[2], -accel[0]]
        rate = [-rate[1], rate[2], -rate[0]]
        msg.header.frame_id = 'imu_link'
    else:
        msg.header.frame_id = base_frame
    msg.linear_acceleration.x, msg.linear_acceleration.y, msg.linear_acceleration.z = accel
    msg.angular_velocity.x, msg.angular_velocity.y, msg.angular_velocity.z = rate
    return msg


def wheel_message(k):
    msg = Odometry()
    msg.header.stamp.sec, msg.header.stamp.nanosec = stamp_of(k)
    msg.header.frame_id = 'odom'
    msg.child_frame_id = 'base_link'
    msg.twist.twist.linear.x = SPEED
    msg.twist.twist.angular.z = YAW_RATE
    return msg


def vo_message(k):
    msg = Odometry()
    msg.header.stamp.sec, msg.header.stamp.nanosec = stamp_of(k, 10000000)
    msg.header.frame_id = 'odom'
    x, y, yaw = exact_pose(k / RATE_HZ + 0.01)
    msg.pose.pose.position.x, msg.pose.pose.position.y = x, y
    msg.pose.pose.orientation.z, msg.pose.pose.orientation.w = math.sin(yaw / 2), math.cos(yaw / 2)
    return msg


def drive(node, fusion=False, base_frame='odom_base_link', mounted=False):
    """Publishes the drive; returns (stamps sent, replies, transforms), or raises on a timeout."""
    replies, transforms = [], []
    qos = QoSProfile(history=HistoryPolicy.KEEP_LAST, depth=4 * MESSAGES,
                     reliability=ReliabilityPolicy.RELIABLE)
    node.create_subscription(Odometry, 'odometry/filtered', replies.append, qos)
    node.create_subscription(TFMessage, '/tf', lambda m: transforms.extend(m.transforms), qos)
    if mounted:
        publisher = node.create_publisher(Odometry, 'wheel/odom', qos)
    else:
        publisher = node.create_publisher(TwistStamped, 'encoder_vel', qos)
    inputs = [publisher]
    if fusion or mounted:
        imu = node.create_publisher(Imu, 'imu', qos)
        inputs.append(imu)
    if fusion:
        vo = node.create_publisher(Odometry, 'vo', qos)
        inputs.append(vo)

    deadline = time.monotonic() + START_TIMEOUT
    while (node.count_subscribers('encoder_vel') < 1 or node.count_publishers('odometry/filtered') < 1
           or any(p.get_subscription_count() < 1 for p in inputs)):
        if time.monotonic() > deadline:
            raise TimeoutError(f'the node did not appear on the graph within {START_TIMEOUT:.0f} s')
        rclpy.spin_once(node, timeout_sec=0.1)
    if mounted:
        # The node hears the static transform when discovery matches it with the publisher.
        end = time.monotonic() + 2.0
        while time.monotonic() < end:
            rclpy.spin_once(node, timeout_sec=0.05)

    sent = []
    for k in range(MESSAGES):
        if mounted:
            msg = wheel_message(k)
        else:
            msg = TwistStamped()
            msg.header.stamp.sec, msg.header.stamp.nanosec = stamp_of(k)
            msg.header.frame_id = 'base_link'
            msg.twist.linear.x = SPEED
            msg.twist.angular.z = YAW_RATE
        publisher.publish(msg)
        sent.append(stamp_of(k))
        if fusion or mounted:
            # Each message goes out after the previous one was answered, so that the stamps
            # reach the node in order.
            pace(node, replies, len(sent))
            if fusion and k % 5 == 0:
                vo.publish(vo_message(k))
            else:
                imu.publish(imu_message(k, base_frame, mounted))
            sent.append(stamp_of(k, 10000000))
            pace(node, replies, len(sent))
        else:
            # Paced well below the node's rate, so that its keep-last-10 queue never overflows.
            end = time.monotonic() + 0.005
            while time.monotonic() < end:
                rclpy.spin_once(node, timeout_sec=0.001)

    deadline = time.monotonic() + REPLY_TIMEOUT
    while len(replies) < len(sent) and time.monotonic() < deadline:
        rclpy.spin_once(node, timeout_sec=0.05)
    # Anything beyond one reply per message would show up here.
    end = time.monotonic() + 0.3
    while time.monotonic() < end:
        rclpy.spin_once(node, timeout_sec=0.05)
    return sent, replies, transforms


def pace(node, replies, count):
    deadline = time.monotonic() + 2.0
    while len(replies) < count and time.monotonic() < deadline:
        rclpy.spin_once(node, timeout_sec=0.01)


def cli(command, timeout=60.0):
    """Runs a ROS 2 command line and returns what it printed (both streams)."""
    print('$ ' + ' '.join(command), flush=True)
    done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    out = done.stdout + done.stderr
    for line in out.splitlines():
        print('  cli | ' + line, flush=True)
    return out


def wait_for(node, replies, count, timeout=20.0):
    deadline = time.monotonic() + timeout
    while len(replies) < count and time.monotonic() < deadline:
        rclpy.spin_once(node, timeout_sec=0.05)
    return len(replies) >= count


SET_POSE = ('{header: {frame_id: odom}, pose: {pose: {position: {x: 5.0, y: -2.0}, '
            'orientation: {z: 0.479425538604203, w: 0.8775825618903728}}, '
            'covariance: [0.25, 0, 0, 0, 0, 0, 0, 0.25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, '
            '0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.07]}}')


def check_ros_cli(node, namespace, replies):
    """The command-line checks of --ros-cli; returns the errors."""
    errors = []
    prefix = '/' + namespace.strip('/') if namespace.strip('/') else ''
    name = prefix + '/localisation_node'
    out = cli(['ros2', 'param', 'set', name, 'publish_tf', 'true'])
    if 'cannot be set because it is read-only' not in out:
        errors.append('ros2 param set of publish_tf was not refused as read-only')
    out = cli(['ros2', 'param', 'describe', name, 'fusion_delay'])
    if 'Read only: true' not in out or 'Min value: 0' not in out:
        errors.append('ros2 param describe of fusion_delay lacks "Read only: true" or its range')

    diagnostics = []
    node.create_subscription(DiagnosticArray, '/diagnostics',
                             lambda m: diagnostics.append(m), 10)
    count = len(replies)
    cli(['ros2', 'topic', 'pub', '--once', '-w', '1', prefix + '/set_pose',
         'geometry_msgs/msg/PoseWithCovarianceStamped', SET_POSE])
    if not wait_for(node, replies, count + 1):
        errors.append('no estimate published after set_pose')
    else:
        p = replies[-1].pose.pose
        yaw = 2.0 * math.atan2(p.orientation.z, p.orientation.w)
        if abs(p.position.x - 5.0) > 1e-9 or abs(p.position.y + 2.0) > 1e-9 or \
                abs(yaw - 1.0) > 1e-9:
            errors.append(f'after set_pose the estimate is at ({p.position.x}, {p.position.y}), '
                          f'yaw {yaw}, not (5, -2), yaw 1')
    count = len(replies)
    out = cli(['ros2', 'service', 'call', prefix + '/reset', 'std_srvs/srv/Trigger'])
    if 'success=True' not in out or 'filter restarted from its configuration' not in out:
        errors.append('ros2 service call of reset was not answered with success')
    if not wait_for(node, replies, count + 1):
        errors.append('no estimate published after reset')
    elif abs(replies[-1].pose.pose.position.x) > 1e-9:
        errors.append('after reset the estimate is not at the configured initial pose')
    deadline = time.monotonic() + 10.0
    ours = []
    while not ours and time.monotonic() < deadline:
        rclpy.spin_once(node, timeout_sec=0.1)
        ours = [s for m in diagnostics for s in m.status if s.name.startswith('localisation_node')]
    if not ours:
        errors.append('no status of localisation_node on /diagnostics within 10 s')
    else:
        levels = {0: 'OK', 1: 'WARN', 2: 'ERROR', 3: 'STALE'}
        seen = {f'{s.name}: {levels.get(ord(s.level), s.level)}, {s.message}' for s in ours}
        print('diagnostics: ' + '; '.join(sorted(seen)))
    return errors


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--expect-config', help='configuration path the node must log')
    parser.add_argument('--fusion', action='store_true', help='also publish on "imu" and "vo"')
    parser.add_argument('--mounted', action='store_true',
                        help='a rotated IMU through a static transform, wheels on "wheel/odom"')
    parser.add_argument('--frames', nargs=2, default=['odom', 'odom_base_link'],
                        metavar=('ODOM', 'BASE'), help='frames every reply must carry')
    parser.add_argument('--tf', action='store_true', help='require a transform per reply')
    parser.add_argument('--covariance', action='store_true', help='require covariances')
    parser.add_argument('--namespace', default='', help='the namespace the node runs in')
    parser.add_argument('--ros-cli', action='store_true',
                        help='also check param set, set_pose, reset and /diagnostics')
    parser.add_argument('command', nargs='+', help='the command that starts the node')
    args = parser.parse_args()

    mount = None
    if args.mounted:
        mount_command = ['ros2', 'run', 'tf2_ros', 'static_transform_publisher'] + MOUNT_ARGS
        print('$ ' + ' '.join(mount_command), flush=True)
        mount = subprocess.Popen(mount_command, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL, start_new_session=True)
    print('$ ' + ' '.join(args.command), flush=True)
    child = subprocess.Popen(args.command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             start_new_session=True)
    log = Log(child.stdout)
    errors = []
    rclpy.init()
    node = rclpy.create_node('cross_process_check', namespace=args.namespace or None)
    try:
        sent, replies, transforms = drive(node, args.fusion, args.frames[1], args.mounted)
        errors += check_replies(sent, replies, args.frames, args.covariance)
        if args.tf:
            errors += check_transforms(replies, transforms)
        elif transforms:
            errors.append(f'{len(transforms)} transforms on /tf, expected none')
        print(f'{len(sent)} messages sent, {len(replies)} odometry messages and '
              f'{len(transforms)} transforms received')
        if args.ros_cli:
            errors += check_ros_cli(node, args.namespace, replies)
    except TimeoutError as e:
        errors.append(str(e))
    finally:
        node.destroy_node()
        rclpy.shutdown()

    status = None
    if child.poll() is None:
        os.killpg(child.pid, signal.SIGINT)  # as Ctrl-C does: every process of the group
        try:
            status = child.wait(timeout=STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
            errors.append(f'the command did not end within {STOP_TIMEOUT:.0f} s of SIGINT')
    else:
        status = child.returncode
        errors.append(f'the command ended by itself with status {status} before SIGINT')
    log.join()
    if mount is not None:
        os.killpg(mount.pid, signal.SIGINT)
        try:
            mount.wait(timeout=STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            os.killpg(mount.pid, signal.SIGKILL)
            mount.wait()
        dropped = [line for line in log.lines if 'Dropped' in line]
        if dropped:
            errors.append(f'the node dropped messages: {dropped[0]}')
    if status is not None and status != 0:
        errors.append(f'the command ended with status {status} after SIGINT, expected 0')
    if args.expect_config:
        wanted = 'Config used for UKF: ' + args.expect_config
        if not any(line.endswith(wanted) for line in log.lines):
            errors.append(f'the node did not log "{wanted}"')

    for e in errors:
        print('FAILED: ' + e, file=sys.stderr)
    if not errors:
        print(f'passed: every reply checked; SIGINT ended the command with status {status}')
    return 1 if errors else 0


if __name__ == '__main__':
    sys.exit(main())
