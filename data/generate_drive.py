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
    args = parser.parse_args()
    if args.multi_sensor:
        multi_sensor(args.seed, args.noise_scale, args.out or "data/multi_sensor_drive.csv")
        return
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


def multi_sensor(seed, noise_scale, path):
    rng = random.Random(seed)
    dt = 1.0 / IMU_HZ
    total = sum(d for d, _, _ in PLAN)
    # Outages start at random in the middle of the drive and do not overlap.
    outages = []
    while len(outages) < VO_OUTAGES:
        start = rng.uniform(10.0, total - 10.0)
        if all(abs(start - s) > VO_OUTAGE_S + 3.0 for s in outages):
            outages.append(start)
    x = y = yaw = 0.0
    speed = yaw_rate = 0.0
    k = 0
    with open(path, "w") as out:
        out.write(MULTI_HEADER)
        for duration, target_speed, target_rate in PLAN:
            for _ in range(int(round(duration * IMU_HZ))):
                ns_total = k * (1_000_000_000 // IMU_HZ)
                t = ns_total * 1e-9
                stamp = f"{START_SEC + ns_total // 1_000_000_000},{ns_total % 1_000_000_000}"
                truth = f"{x:.6f},{y:.6f},{wrap(yaw):.6f}"
                next_speed = approach(speed, target_speed, MAX_ACCEL * dt)
                next_rate = approach(yaw_rate, target_rate if target_speed > 0 else 0.0,
                                     MAX_YAW_ACCEL * dt)
                if k % (IMU_HZ // RATE_HZ) == 0:
                    moving = speed != 0.0
                    v = (speed * ENCODER_SCALE + rng.gauss(0.0, SPEED_NOISE * noise_scale)
                         if moving else 0.0)
                    v = round(v / SPEED_QUANTUM) * SPEED_QUANTUM
                    w = (yaw_rate + ENCODER_YAW_BIAS + rng.gauss(0.0, YAW_RATE_NOISE * noise_scale)
                         if moving else 0.0)
                    out.write(f"{stamp},encoders,{v:.3f},{w:.6f},,,,,,,,,,,,,{truth}\n")
                # Specific force over the next 10 ms: the forward acceleration, the centripetal
                # acceleration of the arc and the reaction to gravity.
                a = [(next_speed - speed) / dt, speed * yaw_rate, GRAVITY]
                g = [0.0, 0.0, yaw_rate]
                a = [v + rng.gauss(0.0, ACCEL_NOISE) for v in a]
                g = [v + rng.gauss(0.0, GYRO_NOISE) for v in g]
                out.write(f"{stamp},imu,,,{a[0]:.5f},{a[1]:.5f},{a[2]:.5f},"
                          f"{g[0]:.6f},{g[1]:.6f},{g[2]:.6f},,,,,,,{truth}\n")
                if k % (IMU_HZ // VO_HZ) == 0 and not any(s <= t < s + VO_OUTAGE_S
                                                          for s in outages):
                    p = [x + rng.gauss(0.0, VO_POSITION_NOISE), y + rng.gauss(0.0, VO_POSITION_NOISE),
                         rng.gauss(0.0, VO_POSITION_NOISE)]
                    e = [rng.gauss(0.0, VO_ANGLE_NOISE), rng.gauss(0.0, VO_ANGLE_NOISE),
                         wrap(yaw + rng.gauss(0.0, VO_ANGLE_NOISE))]
                    out.write(f"{stamp},vo,,,,,,,,,{p[0]:.5f},{p[1]:.5f},{p[2]:.5f},"
                              f"{e[0]:.6f},{e[1]:.6f},{e[2]:.6f},{truth}\n")
                # Advance the truth over the next 10 ms along an exact arc.
                speed, yaw_rate = next_speed, next_rate
                x, y, yaw = along_arc(x, y, yaw, speed, yaw_rate, dt)
                k += 1


if __name__ == "__main__":
    main()
