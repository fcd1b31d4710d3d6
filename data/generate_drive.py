#!/usr/bin/env python3
"""Generates data/sample_drive.csv: 150 s of a small wheeled vehicle at 50 Hz.

The vehicle drives straight, turns left and right, stops and drives on, with smooth (rate-limited)
speed and turn-rate changes. Ground truth (x, y, yaw) is integrated exactly along each 20 ms arc;
the encoder readings are the true forward speed and yaw rate plus white noise (0.03 m/s, 0.01
rad/s) and a 1 mm/s speed quantisation, as a wheel-odometry driver delivers them.

    python3 data/generate_drive.py [--seed 7] [--noise-scale 1] [--out data/sample_drive.csv]

data/sample_drive.csv is seed 7 (the default) at noise scale 1. --noise-scale multiplies both
white-noise levels (0.5 for a gentler encoder, 2 for a worse one).
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--noise-scale", type=float, default=1.0,
                        help="factor on the speed and yaw-rate noise (default 1)")
    parser.add_argument("--out", default="data/sample_drive.csv")
    args = parser.parse_args()
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
                if abs(yaw_rate) > 1e-12:
                    x += speed / yaw_rate * (math.sin(yaw + yaw_rate * dt) - math.sin(yaw))
                    y -= speed / yaw_rate * (math.cos(yaw + yaw_rate * dt) - math.cos(yaw))
                else:
                    x += speed * dt * math.cos(yaw)
                    y += speed * dt * math.sin(yaw)
                yaw += yaw_rate * dt
                k += 1


if __name__ == "__main__":
    main()
