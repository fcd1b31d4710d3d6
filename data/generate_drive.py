#!/usr/bin/env python3
"""Generates data/sample_drive.csv: 150 s of a small wheeled vehicle at 50 Hz.

The vehicle drives straight, turns left and right, stops and drives on, with smooth (rate-limited)
speed and turn-rate changes. Ground truth (x, y, yaw) is integrated exactly along each 20 ms arc;
the encoder readings are the true forward speed and yaw rate plus white noise (0.03 m/s, 0.01
rad/s) and a 1 mm/s speed quantisation, as a wheel-odometry driver delivers them.

    python3 data/generate_drive.py [--seed 7] [--noise-scale 1] [--out data/sample_drive.csv]

data/sample_drive.csv is seed 7 (the default) at noise scale 1. --noise-scale multiplies both
white-noise levels (0.5 for a gentler encoder, 2 for a worse one).

With --multi-sensor the same drive is sampled by three sensors with the errors real ones show,
one row per message in stamp order, truth on every row (data/multi_sensor_drive.csv is seed 7):

- encoders, 50 Hz: the readings above, scaled by +3 % and with a 0.02 rad/s yaw-rate bias while
  moving (worn tyres, slip);
- IMU, 100 Hz: specific force in the body frame (forward acceleration, centripetal v * w, and
  +9.80665 on z from gravity) with 0.05 m/s^2 white noise, body rates with 0.005 rad/s;
- visual odometry, 10 Hz: position with 0.05 m and roll, pitch, yaw with 0.01 rad white noise,
  and four outages of about 2 s.

    python3 data/generate_drive.py --multi-sensor [--seed 7] [--out data/multi_sensor_drive.csv]

Options of the multi-sensor drive for tests of frames and tilt (each adds columns; without them
the file is as above):

- --imu-mount "ROLL PITCH YAW" (radians) mounts the IMU rotated: its readings are given in its
  own frame, whose axes are those of the base turned by Rz(yaw) Ry(pitch) Rx(roll);
- --imu-lever "X Y Z" (metres) puts it there on the vehicle: its accelerometer also feels the
  tangential dw/dt x r and centripetal w x (w x r) accelerations of that lever arm;
- --imu-frame NAME (default imu_link with a mount or lever) writes the IMU rows' frame_id;
- --tilt A (radians) drives over ground that rolls and pitches slowly by up to A: the IMU feels
  gravity through the tilt, reports its orientation (roll and pitch with 0.01 rad of noise, yaw
  with 0.05 rad) in columns imu_roll, imu_pitch, imu_yaw, and a column speed gives the true
  forward speed.

Husky-like mounting: --imu-mount "1.5707963267948966 0 -1.5707963267948966" --imu-lever "0 -0.3 0.52"

Options of the multi-sensor drive for the errors of real sensors (without them every number is as
above):

- --accel-noise A and --gyro-noise G (m/s^2, rad/s) set the IMU's white noise (real units show
  0.3-0.6 and 0.01-0.03);
- --gyro-bias "X Y Z" and --accel-bias "X Y Z" add constant biases to the IMU's readings, and
  --bias-walk "GYRO ACCEL" lets each wander as a random walk of that many rad/s and m/s^2 per
  square root of a second; columns gyro_bias_x..z and accel_bias_x..z then give their truth;
- --speed-scale S (default 1.03) and --yaw-rate-scale S (default 1) scale the wheels' speed and
  yaw rate, and --yaw-rate-bias B (default 0.02 rad/s) biases the yaw rate while moving: a
  skid-steered robot reports S w + B for a true yaw rate w;
- --laps N drives the plan N times in a row (150 s each).

The drive of the real-sensor example: --multi-sensor --laps 2 --accel-noise 0.4 --gyro-noise 0.02
--gyro-bias "0 0 0.04" --accel-bias "0.3 -0.2 0" --bias-walk "0.0005 0.005" --yaw-rate-scale 0.2
--yaw-rate-bias 0
"""

import argparse
import math
import random

RATE_HZ = 50
START_SEC = 1700000000

# (duration s, target speed m/s, target yaw rate rad/s)
PLAN = [
    (4.0, 0.0, 0.0),    # standing
    (20.0, 1.5, 0.0),   # straight
    (10.0, 1.2, 0.25),  # left turn
    (15.0, 1.5, 0.0),   # straight
    (12.0, 1.0, -0.3),  # right turn
    (8.0, 0.0, 0.0),    # stop
    (18.0, 1.8, 0.0),   # straight, faster
    (9.0, 1.0, 0.35),   # tight left
    (14.0, 1.4, -0.15), # gentle right
    (20.0, 1.6, 0.05),  # long, nearly straight
    (12.0, 1.0, -0.25), # right
    (8.0, 0.0, 0.0),    # final stop
]
MAX_ACCEL = 0.8       # m/s^2
MAX_YAW_ACCEL = 0.5   # rad/s^2
SPEED_NOISE = 0.03
YAW_RATE_NOISE = 0.01
SPEED_QUANTUM = 0.001


def approach(value, target, step):
    return min(value + step, target) if value < target else max(value - step, target)


def along_arc(x, y, yaw, speed, yaw_rate, dt):
    """The pose after dt at a constant speed and yaw rate: exactly along the arc."""
    if abs(yaw_rate) > 1e-12:
        x += speed / yaw_rate * (math.sin(yaw + yaw_rate * dt) - math.sin(yaw))
        y -= speed / yaw_rate * (math.cos(yaw + yaw_rate * dt) - math.cos(yaw))
    else:
        x += speed * dt * math.cos(yaw)
        y += speed * dt * math.sin(yaw)
    return x, y, yaw + yaw_rate * dt


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--noise-scale", type=float, default=1.0,
                        help="factor on the speed and yaw-rate noise (default 1)")
    parser.add_argument("--multi-sensor", action="store_true",
                        help="encoders, IMU and visual odometry, one row per message")
    parser.add_argument("--out", default=None,
                        help="default data/sample_drive.csv, or data/multi_sensor_drive.csv")
    parser.add_argument("--imu-mount", default=None, metavar="'ROLL PITCH YAW'",
                        help="the IMU's frame turned from the base's (radians)")
    parser.add_argument("--imu-lever", default=None, metavar="'X Y Z'",
                        help="where the IMU sits in the base frame (metres)")
    parser.add_argument("--imu-frame", default=None, help="frame_id of the IMU rows")
    parser.add_argument("--tilt", type=float, default=0.0,
                        help="roll and pitch of the ground up to this many radians")
    parser.add_argument("--accel-noise", type=float, default=ACCEL_NOISE,
                        help="the accelerometer's white noise, m/s^2 (default %g)" % ACCEL_NOISE)
    parser.add_argument("--gyro-noise", type=float, default=GYRO_NOISE,
                        help="the gyro's white noise, rad/s (default %g)" % GYRO_NOISE)
    parser.add_argument("--gyro-bias", default=None, metavar="'X Y Z'",
                        help="the gyro's bias at the start, rad/s")
    parser.add_argument("--accel-bias", default=None, metavar="'X Y Z'",
                        help="the accelerometer's bias at the start, m/s^2")
    parser.add_argument("--bias-walk", default=None, metavar="'GYRO ACCEL'",
                        help="the biases' random walks, per square root of a second")
    parser.add_argument("--speed-scale", type=float, default=ENCODER_SCALE,
                        help="the wheels' speed over the true speed (default %g)" % ENCODER_SCALE)
    parser.add_argument("--yaw-rate-scale", type=float, default=1.0,
                        help="the wheels' yaw rate over the true yaw rate (default 1)")
    parser.add_argument("--yaw-rate-bias", type=float, default=ENCODER_YAW_BIAS,
                        help="the wheels' yaw-rate bias while moving, rad/s (default %g)"
                        % ENCODER_YAW_BIAS)
    parser.add_argument("--laps", type=int, default=1, help="times the plan is driven (default 1)")
    args = parser.parse_args()
    real = Errors(args.accel_noise, args.gyro_noise,
                  parse_numbers(parser, "--gyro-bias", args.gyro_bias),
                  parse_numbers(parser, "--accel-bias", args.accel_bias),
                  parse_numbers(parser, "--bias-walk", args.bias_walk, 2, "0.00001 0.0001", 0.0),
                  args.speed_scale, args.yaw_rate_scale, args.yaw_rate_bias)
    for name, value in (("--accel-noise", args.accel_noise), ("--gyro-noise", args.gyro_noise),
                        ("--speed-scale", args.speed_scale)):
        if not (math.isfinite(value) and value >= 0.0):
            parser.error("%s must be a finite number, zero or more, got %g" % (name, value))
    for name, value in (("--yaw-rate-scale", args.yaw_rate_scale),
                        ("--yaw-rate-bias", args.yaw_rate_bias)):
        if not math.isfinite(value):
            parser.error("%s must be finite, got %g" % (name, value))
    if args.laps < 1:
        parser.error("--laps must be 1 or more, got %d" % args.laps)
    if args.multi_sensor:
        mount = Mount(parse_numbers(parser, "--imu-mount", args.imu_mount),
                      parse_numbers(parser, "--imu-lever", args.imu_lever),
                      args.imu_frame)
        if not 0.0 <= args.tilt < 0.5:
            parser.error("--tilt must be from 0 up to 0.5 rad, got %g" % args.tilt)
        multi_sensor(args.seed, args.noise_scale, args.out or "data/multi_sensor_drive.csv",
                     mount, args.tilt, real, args.laps)
        return
    if args.imu_mount or args.imu_lever or args.imu_frame or args.tilt:
        parser.error("--imu-mount, --imu-lever, --imu-frame and --tilt need --multi-sensor")
    if real.changed() or args.laps != 1:
        parser.error("the options of real sensors' errors and --laps need --multi-sensor")
    args.out = args.out or "data/sample_drive.csv"
    rng = random.Random(args.seed)

    speed_noise = SPEED_NOISE * args.noise_scale
    rate_noise = YAW_RATE_NOISE * args.noise_scale
    dt = 1.0 / RATE_HZ
    x = y = yaw = 0.0
    speed = yaw_rate = 0.0
    k = 0
    with open(args.out, "w") as out:
        out.write("sec,nanosec,linear_x,angular_z,x,y,yaw\n")
        for duration, target_speed, target_rate in PLAN:
            for _ in range(int(round(duration * RATE_HZ))):
                ns_total = k * (1_000_000_000 // RATE_HZ)
                sec = START_SEC + ns_total // 1_000_000_000
                nanosec = ns_total % 1_000_000_000
                measured_speed = speed + rng.gauss(0.0, speed_noise) if speed != 0.0 else 0.0
                measured_speed = round(measured_speed / SPEED_QUANTUM) * SPEED_QUANTUM
                measured_rate = yaw_rate + rng.gauss(0.0, rate_noise) if speed != 0.0 else 0.0
                out.write(f"{sec},{nanosec},{measured_speed:.3f},{measured_rate:.6f},"
                          f"{x:.6f},{y:.6f},{math.atan2(math.sin(yaw), math.cos(yaw)):.6f}\n")
                # Advance the truth over the next 20 ms along an exact arc.
                speed = approach(speed, target_speed, MAX_ACCEL * dt)
                yaw_rate = approach(yaw_rate, target_rate if target_speed > 0 else 0.0,
                                    MAX_YAW_ACCEL * dt)
                x, y, yaw = along_arc(x, y, yaw, speed, yaw_rate, dt)
                k += 1


IMU_HZ = 100
VO_HZ = 10
GRAVITY = 9.80665
ENCODER_SCALE = 1.03
ENCODER_YAW_BIAS = 0.02
ACCEL_NOISE = 0.05
GYRO_NOISE = 0.005
VO_POSITION_NOISE = 0.05
VO_ANGLE_NOISE = 0.01
VO_OUTAGES = 4
VO_OUTAGE_S = 2.0
MULTI_HEADER = ("sec,nanosec,sensor,linear_x,angular_z,accel_x,accel_y,accel_z,gyro_x,gyro_y,"
                "gyro_z,vo_x,vo_y,vo_z,vo_roll,vo_pitch,vo_yaw,x,y,yaw\n")


def wrap(a):
    return math.atan2(math.sin(a), math.cos(a))


def parse_numbers(parser, option, text, count=3, example="0 -0.3 0.52", least=None):
    """The `count` numbers of one option's argument (None without it), each at least `least`
    when given; anything else stops with a message naming the option."""
    if text is None:
        return None
    try:
        values = [float(v) for v in text.split()]
    except ValueError:
        values = []
    if len(values) != count or not all(math.isfinite(v) and (least is None or v >= least)
                                       for v in values):
        words = {2: "two", 3: "three"}[count]
        floor = "" if least is None else f", {least:g} or more,"
        parser.error(f"{option} takes {words} numbers{floor} in one argument, such as "
                     f"\"{example}\", got {text!r}")
    return values


def rotation(roll, pitch, yaw):
    """Rz(yaw) Ry(pitch) Rx(roll) as rows."""
    cr, sr, cp, sp, cy, sy = (math.cos(roll), math.sin(roll), math.cos(pitch), math.sin(pitch),
                              math.cos(yaw), math.sin(yaw))
    return [[cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr],
            [sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr],
            [-sp, cp * sr, cp * cr]]


def apply(m, v):
    return [sum(m[r][c] * v[c] for c in range(3)) for r in range(3)]


def transpose(m):
    return [[m[c][r] for c in range(3)] for r in range(3)]


def matmul(a, b):
    return [[sum(a[r][k] * b[k][c] for k in range(3)) for c in range(3)] for r in range(3)]


def cross(a, b):
    return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]


def euler(m):
    """Roll, pitch, yaw of a rotation matrix (away from +-90 degrees of pitch)."""
    return [math.atan2(m[2][1], m[2][2]), math.atan2(-m[2][0], math.hypot(m[0][0], m[1][0])),
            math.atan2(m[1][0], m[0][0])]


class Mount:
    """How the IMU sits on the vehicle: its frame's rotation from the base's, and its place."""

    def __init__(self, rpy, lever, frame):
        self.rotation = rotation(*rpy) if rpy else None
        self.lever = lever
        self.frame = frame or ("imu_link" if rpy or lever else None)

    def active(self):
        return self.rotation is not None or self.lever is not None or self.frame is not None


TILT_ROLL_PERIOD = 23.0   # s
TILT_PITCH_PERIOD = 31.0  # s
TILT_ANGLE_NOISE = 0.01   # rad, roll and pitch as the IMU reports them
TILT_YAW_NOISE = 0.05     # rad, a magnetometer's yaw


class Errors:
    """The errors of real sensors: the IMU's noise and wandering biases, the wheels' scales."""

    def __init__(self, accel_noise, gyro_noise, gyro_bias, accel_bias, walk, speed_scale,
                 yaw_rate_scale, yaw_rate_bias):
        self.accel_noise, self.gyro_noise = accel_noise, gyro_noise
        self.gyro_bias = list(gyro_bias) if gyro_bias else [0.0, 0.0, 0.0]
        self.accel_bias = list(accel_bias) if accel_bias else [0.0, 0.0, 0.0]
        self.walk = walk or (0.0, 0.0)
        self.biased = bool(gyro_bias or accel_bias or walk)
        self.speed_scale, self.yaw_rate_scale = speed_scale, yaw_rate_scale
        self.yaw_rate_bias = yaw_rate_bias

    def changed(self):
        return (self.biased or self.accel_noise != ACCEL_NOISE or self.gyro_noise != GYRO_NOISE
                or self.speed_scale != ENCODER_SCALE or self.yaw_rate_scale != 1.0
                or self.yaw_rate_bias != ENCODER_YAW_BIAS)

    def wander(self, rng, dt):
        """Moves the biases on by one step of their random walks."""
        for bias, density in ((self.gyro_bias, self.walk[0]), (self.accel_bias, self.walk[1])):
            if density > 0.0:
                for i in range(3):
                    bias[i] += rng.gauss(0.0, density * math.sqrt(dt))


def tilt_at(amplitude, t):
    """Roll and pitch of the ground at t, and their rates."""
    wr, wp = 2 * math.pi / TILT_ROLL_PERIOD, 2 * math.pi / TILT_PITCH_PERIOD
    return (amplitude * math.sin(wr * t), amplitude * math.sin(wp * t + 1.0),
            amplitude * wr * math.cos(wr * t), amplitude * wp * math.cos(wp * t + 1.0))


def body_rates(roll, pitch, roll_rate, pitch_rate, yaw_rate):
    """Body angular velocity from the rates of Rz(yaw) Ry(pitch) Rx(roll)."""
    cr, sr, cp, sp = math.cos(roll), math.sin(roll), math.cos(pitch), math.sin(pitch)
    return [roll_rate - yaw_rate * sp,
            pitch_rate * cr + yaw_rate * sr * cp,
            -pitch_rate * sr + yaw_rate * cr * cp]


def multi_sensor(seed, noise_scale, path, mount=Mount(None, None, None), tilt=0.0, real=None,
                 laps=1):
    real = real or Errors(ACCEL_NOISE, GYRO_NOISE, None, None, None, ENCODER_SCALE, 1.0,
                          ENCODER_YAW_BIAS)
    rng = random.Random(seed)
    # The biases wander on their own generator, so that the other errors stay those of the seed.
    walk_rng = random.Random(seed + 1)
    dt = 1.0 / IMU_HZ
    plan = PLAN * laps
    total = sum(d for d, _, _ in plan)
    # Outages start at random in the middle of the drive and do not overlap.
    outages = []
    while len(outages) < VO_OUTAGES:
        start = rng.uniform(10.0, total - 10.0)
        if all(abs(start - s) > VO_OUTAGE_S + 3.0 for s in outages):
            outages.append(start)
    # Extra columns, each row's cells for them: the IMU's frame; its orientation and the true
    # forward speed over tilted ground.
    header = MULTI_HEADER.rstrip("\n")
    if mount.active():
        header += ",frame_id"
    if tilt > 0.0:
        header += ",imu_roll,imu_pitch,imu_yaw,speed"
    if real.biased:
        header += (",gyro_bias_x,gyro_bias_y,gyro_bias_z,accel_bias_x,accel_bias_y,"
                   "accel_bias_z")

    def extra(sensor, orientation=None, true_speed=0.0):
        cells = ""
        if mount.active():
            cells += "," + (mount.frame if sensor == "imu" else "")
        if tilt > 0.0:
            cells += (",%.6f,%.6f,%.6f" % tuple(orientation) if orientation else ",,,")
            cells += ",%.6f" % true_speed
        if real.biased:
            cells += ",%.6f,%.6f,%.6f,%.6f,%.6f,%.6f" % tuple(real.gyro_bias + real.accel_bias)
        return cells

    x = y = yaw = 0.0
    speed = yaw_rate = 0.0
    k = 0
    with open(path, "w") as out:
        out.write(header + "\n")
        for duration, target_speed, target_rate in plan:
            for _ in range(int(round(duration * IMU_HZ))):
                ns_total = k * (1_000_000_000 // IMU_HZ)
                t = ns_total * 1e-9
                stamp = f"{START_SEC + ns_total // 1_000_000_000},{ns_total % 1_000_000_000}"
                truth = f"{x:.6f},{y:.6f},{wrap(yaw):.6f}"
                next_speed = approach(speed, target_speed, MAX_ACCEL * dt)
                next_rate = approach(yaw_rate, target_rate if target_speed > 0 else 0.0,
                                     MAX_YAW_ACCEL * dt)
                roll, pitch, roll_rate, pitch_rate = tilt_at(tilt, t)
                if k % (IMU_HZ // RATE_HZ) == 0:
                    moving = speed != 0.0
                    v = (speed * real.speed_scale + rng.gauss(0.0, SPEED_NOISE * noise_scale)
                         if moving else 0.0)
                    v = round(v / SPEED_QUANTUM) * SPEED_QUANTUM
                    w = (scaled(real.yaw_rate_scale, yaw_rate) + real.yaw_rate_bias
                         + rng.gauss(0.0, YAW_RATE_NOISE * noise_scale) if moving else 0.0)
                    out.write(f"{stamp},encoders,{v:.3f},{w:.6f},,,,,,,,,,,,,{truth}"
                              f"{extra('encoders', None, speed)}\n")
                # Specific force over the next 10 ms: the forward acceleration, the centripetal
                # acceleration of the arc and the reaction to gravity (through the ground's tilt).
                if tilt > 0.0:
                    gravity = [-GRAVITY * math.sin(pitch),
                               GRAVITY * math.sin(roll) * math.cos(pitch),
                               GRAVITY * math.cos(roll) * math.cos(pitch)]
                    g = body_rates(roll, pitch, roll_rate, pitch_rate, yaw_rate)
                else:
                    gravity = [0.0, 0.0, GRAVITY]
                    g = [0.0, 0.0, yaw_rate]
                a = [(next_speed - speed) / dt + gravity[0], speed * yaw_rate + gravity[1],
                     gravity[2]]
                if mount.lever is not None:
                    # The lever arm: tangential and centripetal acceleration of the IMU's place.
                    nr, np_, nrr, npr = tilt_at(tilt, t + dt)
                    g_next = (body_rates(nr, np_, nrr, npr, next_rate) if tilt > 0.0
                              else [0.0, 0.0, next_rate])
                    g_dot = [(n - c) / dt for n, c in zip(g_next, g)]
                    a = [ai + ti + ci for ai, ti, ci in
                         zip(a, cross(g_dot, mount.lever), cross(g, cross(g, mount.lever)))]
                a = [v + rng.gauss(0.0, real.accel_noise) for v in a]
                g = [v + rng.gauss(0.0, real.gyro_noise) for v in g]
                if real.biased:
                    a = [v + b for v, b in zip(a, real.accel_bias)]
                    g = [v + b for v, b in zip(g, real.gyro_bias)]
                orientation = None
                if tilt > 0.0:
                    body = rotation(roll + rng.gauss(0.0, TILT_ANGLE_NOISE),
                                    pitch + rng.gauss(0.0, TILT_ANGLE_NOISE),
                                    wrap(yaw + rng.gauss(0.0, TILT_YAW_NOISE)))
                    orientation = euler(matmul(body, mount.rotation) if mount.rotation else body)
                if mount.rotation is not None:
                    # Into the IMU's own frame.
                    a = apply(transpose(mount.rotation), a)
                    g = apply(transpose(mount.rotation), g)
                out.write(f"{stamp},imu,,,{a[0]:.5f},{a[1]:.5f},{a[2]:.5f},"
                          f"{g[0]:.6f},{g[1]:.6f},{g[2]:.6f},,,,,,,{truth}"
                          f"{extra('imu', orientation, speed)}\n")
                if k % (IMU_HZ // VO_HZ) == 0 and not any(s <= t < s + VO_OUTAGE_S
                                                          for s in outages):
                    p = [x + rng.gauss(0.0, VO_POSITION_NOISE), y + rng.gauss(0.0, VO_POSITION_NOISE),
                         rng.gauss(0.0, VO_POSITION_NOISE)]
                    e = [roll + rng.gauss(0.0, VO_ANGLE_NOISE), pitch + rng.gauss(0.0, VO_ANGLE_NOISE),
                         wrap(yaw + rng.gauss(0.0, VO_ANGLE_NOISE))]
                    out.write(f"{stamp},vo,,,,,,,,,{p[0]:.5f},{p[1]:.5f},{p[2]:.5f},"
                              f"{e[0]:.6f},{e[1]:.6f},{e[2]:.6f},{truth}{extra('vo', None, speed)}\n")
                # Advance the truth over the next 10 ms along an exact arc (its ground projection
                # over tilted ground).
                speed, yaw_rate = next_speed, next_rate
                x, y, yaw = along_arc(x, y, yaw, speed * math.cos(pitch), yaw_rate, dt)
                real.wander(walk_rng, dt)
                k += 1


def scaled(scale, value):
    """scale * value, and value itself at a scale of 1 so that its digits are kept exactly."""
    return value if scale == 1.0 else scale * value


if __name__ == "__main__":
    main()
