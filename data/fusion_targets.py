#!/usr/bin/env python3
"""Replays multi-sensor drives through the node and checks what fusion must achieve.

For data/multi_sensor_drive.csv and drives of five more generator seeds it runs
localisation_replay twice, with every sensor and with the IMU but no visual odometry, and checks:

- fused RMS position error at most 0.25 x that of encoder dead reckoning;
- fused RMS heading error at most 0.02 rad;
- with the IMU but no visual odometry, RMS heading error at most 0.5 x dead reckoning's.

    python3 data/fusion_targets.py [--replay PATH] [--config CONFIG.json] [--seeds 1 2 3 4 5]

--replay defaults to localisation_replay on the PATH (after sourcing an install's setup.bash) or
build/localization_pkg/localisation_replay; --config to the package's fusion configuration.
Exit status 0 when every drive meets every target.
"""

import argparse
import os
import sys
import tempfile

from replay_figures import HERE, ROOT, replay, run, tool


def figures(replay_path, drive, config, sensors):
    f = replay(replay_path, drive, config, "--sensors", sensors)
    dr = f["dead_reckoning"]
    return f["rms_position_error"], f["rms_heading_error"], dr["rms_position_error"], \
        dr["rms_heading_error"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--replay", default=tool("localisation_replay"))
    parser.add_argument("--config", default=os.path.join(
        ROOT, "localization_pkg/config/localisation_fusion_config.json"))
    parser.add_argument("--seeds", type=int, nargs="*", default=[1, 2, 3, 4, 5])
    args = parser.parse_args()

    failed = 0
    print(f"{'drive':<24} {'fused RMS':>10} {'DR RMS':>9} {'ratio':>7} {'heading':>9} "
          f"{'IMU-only heading':>17} {'DR heading':>11} {'ratio':>7}")
    with tempfile.TemporaryDirectory() as work:
        drives = [("multi_sensor_drive.csv", os.path.join(HERE, "multi_sensor_drive.csv"))]
        for seed in args.seeds:
            path = os.path.join(work, f"seed{seed}.csv")
            run([sys.executable, os.path.join(HERE, "generate_drive.py"), "--multi-sensor",
                 "--seed", str(seed), "--out", path])
            drives.append((f"seed {seed}", path))
        for name, drive in drives:
            rms, heading, dr_rms, _ = figures(args.replay, drive, args.config, "encoders,imu,vo")
            _, imu_heading, _, dr_heading = figures(args.replay, drive, args.config,
                                                    "encoders,imu")
            ok = rms <= 0.25 * dr_rms and heading <= 0.02 and imu_heading <= 0.5 * dr_heading
            failed += 0 if ok else 1
            print(f"{name:<24} {rms:>8.3f} m {dr_rms:>7.2f} m {rms / dr_rms:>7.4f} "
                  f"{heading:>9.4f} {imu_heading:>17.4f} {dr_heading:>11.4f} "
                  f"{imu_heading / dr_heading:>7.4f}{'' if ok else '  MISSED'}")
    print("every target met" if failed == 0 else f"{failed} drive(s) missed a target")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
