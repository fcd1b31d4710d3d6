#!/usr/bin/env python3
"""Checks the bias and scale states on generated drives whose errors are known.

The robot of these drives has the errors of a real one: IMU noise 0.3 m/s^2 and 0.01 rad/s, a gyro
bias of 0.04 rad/s and an accelerometer bias of (0.3, -0.2, 0) m/s^2 that both wander slowly,
wheels whose speed reads 3 % long and whose yaw rate reads 5 times the true one (a skid-steered
robot's; the gyro turns 0.2 times the wheels). data/bias_states_config.json estimates all of that
(GyroBias, AccelBias, SpeedScale, YawRateScale). The script

1. tunes that configuration's noise with localisation_tune on a drive of 150 s (seed 5);
2. replays a drive of 300 s of another seed (7) with encoders and IMU only, and reports
   - each estimated state's largest error after the first 60 s, against its truth (target 10 %),
   - the RMS heading error (target 0.02 rad),
   - the RMS position error against dead reckoning of the wheels' speed with the gyro's yaw rate
     (target at most 0.25 times), and the mean NIS against its expected value.

    python3 data/bias_targets.py [--replay PATH] [--tune PATH] [--config C.json] [--smoke]

The tools default to those on the PATH (after sourcing an install's setup.bash) or in build/.
Exit status 0 when every target is met. --smoke is the quickest form, for CI: a short tuning
(--budget 200000) and a replay of one lap (150 s); it prints the same figures and fails only when
a tool fails or an estimated state is not finite, not on the targets.
"""

import argparse
import csv
import math
import os
import sys
import tempfile

from replay_figures import HERE, replay, run, tool

ERRORS = ["--accel-noise", "0.3", "--gyro-noise", "0.01", "--gyro-bias", "0 0 0.04",
          "--accel-bias", "0.3 -0.2 0", "--bias-walk", "0.00001 0.0001", "--yaw-rate-scale", "5",
          "--yaw-rate-bias", "0"]
SPEED_SCALE, YAW_RATE_SCALE = 1.03, 5.0


def gyro_dead_reckoning_rms(drive):
    """RMS position error of the wheels' speed integrated with the gyro's yaw rate."""
    x = y = yaw = gyro = 0.0
    last = None
    squares = []
    with open(drive) as f:
        for r in csv.DictReader(f):
            t = int(r["sec"]) + int(r["nanosec"]) * 1e-9
            if r["sensor"] == "imu":
                gyro = float(r["gyro_z"])
            if r["sensor"] != "encoders":
                continue
            if last is not None:
                x += speed * math.cos(yaw) * (t - last)
                y += speed * math.sin(yaw) * (t - last)
                yaw += gyro * (t - last)
            speed, last = float(r["linear_x"]), t
            squares.append((x - float(r["x"])) ** 2 + (y - float(r["y"])) ** 2)
    return math.sqrt(sum(squares) / len(squares))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--replay", default=tool("localisation_replay"))
    parser.add_argument("--tune", default=tool("localisation_tune"))
    parser.add_argument("--config", default=os.path.join(HERE, "bias_states_config.json"))
    parser.add_argument("--smoke", action="store_true",
                        help="short runs that check the script and the tools, not the targets")
    args = parser.parse_args()
    generator = os.path.join(HERE, "generate_drive.py")
    with tempfile.TemporaryDirectory() as work:
        learn, drive = os.path.join(work, "learn.csv"), os.path.join(work, "drive.csv")
        run([sys.executable, generator, "--multi-sensor", "--seed", "5", "--out", learn] + ERRORS)
        run([sys.executable, generator, "--multi-sensor", "--seed", "7", "--laps",
             "1" if args.smoke else "2", "--out", drive] + ERRORS)
        tuned = os.path.join(work, "tuned.json")
        print(run([args.tune, learn, "--config", args.config, "--sensors", "encoders,imu", "-o",
                   tuned] + (["--budget", "200000"] if args.smoke else [])))
        states = os.path.join(work, "states.csv")
        figures = replay(args.replay, drive, tuned, "--sensors", "encoders,imu", "--states",
                         states)
        rms, heading = figures["rms_position_error"], figures["rms_heading_error"]
        consistency = figures["consistency"]
        nis_ratio = consistency["mean_nis"] / consistency["expected_nis"]
        dead_reckoning = gyro_dead_reckoning_rms(drive)

        with open(drive) as f:
            truth_rows = [r for r in csv.DictReader(f) if r["sensor"] == "imu"]
        start = int(truth_rows[0]["sec"]) + int(truth_rows[0]["nanosec"]) * 1e-9
        worst = {}
        with open(states) as f:
            for r in csv.DictReader(f):
                t = float(r["time"]) - start
                if t < 60.0:
                    continue
                row = truth_rows[min(int(t * 100), len(truth_rows) - 1)]
                truth = {"GyroBias_z": float(row["gyro_bias_z"]), "SpeedScale": SPEED_SCALE,
                         "YawRateScale": YAW_RATE_SCALE}
                for name, value in truth.items():
                    error = abs(float(r[name]) - value) / abs(value)
                    if not math.isfinite(error):
                        sys.exit(f"the estimated {name} is not finite at {t:.2f} s")
                    worst[name] = max(worst.get(name, 0.0), error)
    failed = []
    for name, error in sorted(worst.items()):
        print("%-13s largest error after 60 s %5.1f %%" % (name, 100 * error))
        if error > 0.10:
            failed.append(name)
    print("RMS heading error %.4f rad (target 0.02)" % heading)
    print("RMS position error %.3f m, dead reckoning with the gyro %.3f m: %.3f of it (target 0.25)"
          % (rms, dead_reckoning, rms / dead_reckoning))
    print("mean NIS %.2f of its expected value" % nis_ratio)
    if heading > 0.02:
        failed.append("heading")
    if rms > 0.25 * dead_reckoning:
        failed.append("position")
    print("every target met" if not failed else "missed: " + ", ".join(failed))
    if args.smoke:
        print("smoke run: the targets are not checked")
        return 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
