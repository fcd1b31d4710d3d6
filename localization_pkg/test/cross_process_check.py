#!/usr/bin/env python3
"""Drives the installed localisation node from another process over DDS, as a ROS 2 user would.

    cross_process_check.py [--expect-config PATH] -- COMMAND ...

COMMAND starts the node (for example `ros2 run localization_pkg localization_node --ros-args -p
ukf_config:=...` or `ros2 launch localization_pkg localisation.launch.py`) in its own process
group. This process then publishes TwistStamped messages on "encoder_vel" and checks every reply on
"odometry/filtered": one per message, frames "odom" and "odom_base_link", the stamps of the
messages in order, finite values, and motion in the driven direction (forward at 1 m/s, turning
left at 0.2 rad/s, so x and y grow and the heading turns anticlockwise, as REP 103 has it).
Finally it sends SIGINT to the process group, as Ctrl-C in a terminal does, and requires the
command to end with status 0. With --expect-config, the node's log must name that configuration.

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
from geometry_msgs.msg import TwistStamped
from nav_msgs.msg import Odometry
from rclpy.qos import QoSProfile, ReliabilityPolicy, HistoryPolicy

MESSAGES = 100
RATE_HZ = 50.0           # spacing of the stamps
FIRST_STAMP = (1700000000, 0)
SPEED = 1.0              # m/s forward
YAW_RATE = 0.2           # rad/s, anticlockwise seen from above
START_TIMEOUT = 30.0     # s for the node to appear on the graph
REPLY_TIMEOUT = 20.0     # s for all replies after the last message
STOP_TIMEOUT = 15.0      # s for the command to end after SIGINT


def stamp_of(k):
    ns = FIRST_STAMP[1] + round(k * 1e9 / RATE_HZ)
    return FIRST_STAMP[0] + ns // 1000000000, ns % 1000000000


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


def check_replies(sent, replies):
    errors = []
    if len(replies) != len(sent):
        errors.append(f'{len(replies)} odometry messages for {len(sent)} encoder messages')
    for i, odom in enumerate(replies):
        where = f'reply {i}'
        if odom.header.frame_id != 'odom' or odom.child_frame_id != 'odom_base_link':
            errors.append(f'{where}: frames "{odom.header.frame_id}" -> "{odom.child_frame_id}", '
                          'expected "odom" -> "odom_base_link"')
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
        seconds = (len(sent) - 1) / RATE_HZ
        exact_yaw = YAW_RATE * seconds
        exact_x = SPEED / YAW_RATE * math.sin(exact_yaw)
        exact_y = SPEED / YAW_RATE * (1.0 - math.cos(exact_yaw))
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


def drive(node):
    """Publishes the drive and returns (stamps sent, replies), or raises on a timeout."""
    replies = []
    qos = QoSProfile(history=HistoryPolicy.KEEP_LAST, depth=MESSAGES,
                     reliability=ReliabilityPolicy.RELIABLE)
    node.create_subscription(Odometry, 'odometry/filtered', replies.append, qos)
    publisher = node.create_publisher(TwistStamped, 'encoder_vel', qos)

    deadline = time.monotonic() + START_TIMEOUT
    while (node.count_subscribers('encoder_vel') < 1 or node.count_publishers('odometry/filtered') < 1
           or publisher.get_subscription_count() < 1):
        if time.monotonic() > deadline:
            raise TimeoutError(f'the node did not appear on the graph within {START_TIMEOUT:.0f} s')
        rclpy.spin_once(node, timeout_sec=0.1)

    sent = []
    for k in range(MESSAGES):
        msg = TwistStamped()
        msg.header.stamp.sec, msg.header.stamp.nanosec = stamp_of(k)
        msg.header.frame_id = 'base_link'
        msg.twist.linear.x = SPEED
        msg.twist.angular.z = YAW_RATE
        publisher.publish(msg)
        sent.append(stamp_of(k))
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
    return sent, replies


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--expect-config', help='configuration path the node must log')
    parser.add_argument('command', nargs='+', help='the command that starts the node')
    args = parser.parse_args()

    print('$ ' + ' '.join(args.command), flush=True)
    child = subprocess.Popen(args.command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             start_new_session=True)
    log = Log(child.stdout)
    errors = []
    rclpy.init()
    node = rclpy.create_node('cross_process_check')
    try:
        sent, replies = drive(node)
        errors += check_replies(sent, replies)
        print(f'{len(sent)} encoder messages sent, {len(replies)} odometry messages received')
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
