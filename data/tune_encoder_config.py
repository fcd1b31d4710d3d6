#!/usr/bin/env python3
"""Reproduces the tuning of the shipped encoder-only configuration.

For every candidate (how firmly the entries a ground vehicle hardly changes are held, whether the
forward acceleration is free, the encoder noise, the process noise of forward speed and yaw rate)
it replays the node over a set of generated drives: ten seeds other than the sample
drive's (7), and seeds 1 and 2 with half and with double the generator's noise. It prints, per
candidate, the mean and the largest ratio of the filter's RMS position error to that of dead
reckoning of the same readings, and the largest final error as a share of the distance.

    python3 data/tune_encoder_config.py [--replay build/localization_pkg/localisation_replay]
                                        [--config localization_pkg/config/localisation_config.json]
                                        [--candidates all|shipped]

Needs a built localisation_replay: a sourced install's, or the one scripts/test.sh builds.
"""

import argparse
import copy
import json
import os
import sys
import tempfile

from replay_figures import HERE, ROOT, replay, run as run_command, tool

SEEDS = [1, 2, 3, 4, 5, 6, 8, 9, 10, 11]
NOISE_SCALES = [(1, 0.5), (2, 0.5), (1, 2.0), (2, 2.0)]
SPEED, YAW_RATE, FORWARD_ACCEL = 6, 11, 12  # state entries whose process noise is tuned
# What a ground vehicle on flat ground hardly does: roll and pitch, lateral and vertical velocity,
# roll and pitch rates, lateral and vertical acceleration.
HELD = [3, 4, 7, 8, 9, 10, 13, 14]


def drives(folder):
    made = []
    for seed, scale in [(s, 1.0) for s in SEEDS] + NOISE_SCALES:
        path = os.path.join(folder, f"drive_seed{seed}_noise{scale:g}.csv")
        run_command([sys.executable, os.path.join(HERE, "generate_drive.py"), "--seed",
                     str(seed), "--noise-scale", str(scale), "--out", path])
        made.append((f"seed {seed}, noise x{scale:g}", path))
    return made


def run(replay_path, drive, config):
    f = replay(replay_path, drive, config)
    return (f["rms_position_error"], f["dead_reckoning"]["rms_position_error"],
            f["final_position_error_percent"], f["consistency"]["mean_nis"])


def candidate(base, held, accel_free, speed_sd, rate_sd, q_speed, q_rate):
    """`held`: process noise and initial variance of the entries in HELD (and of the forward
    acceleration unless `accel_free`, which gives it process noise 2 and initial variance 0.1)."""
    c = copy.deepcopy(base)
    sensor = next(s for s in c["measurement"]["sensors"] if s["name"] == "encoders")
    sensor["noise"] = [[speed_sd ** 2, 0.0], [0.0, rate_sd ** 2]]
    q, p0 = c["model"]["process_noise"], c["initial_covariance"]
    for k in HELD + ([] if accel_free else [FORWARD_ACCEL]):
        q[k] = held
        p0[k][k] = held
    if accel_free:
        q[FORWARD_ACCEL], p0[FORWARD_ACCEL][FORWARD_ACCEL] = 2.0, 0.1
    q[SPEED], q[YAW_RATE] = q_speed, q_rate
    return c


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--replay", default=tool("localisation_replay"))
    parser.add_argument("--config", default=os.path.join(ROOT, "localization_pkg", "config",
                                                         "localisation_config.json"))
    parser.add_argument("--candidates", choices=["all", "shipped"], default="all")
    args = parser.parse_args()
    with open(args.config) as f:
        base = json.load(f)

    grid = [("shipped", base)]
    if args.candidates == "all":
        for held in [1e-8, 1e-12]:
            for accel_free in [True, False]:
                for speed_sd, rate_sd in [(0.05, 0.02), (0.03, 0.01)]:
                    for q_speed, q_rate in [(0.05, 0.2), (0.01, 0.02), (0.004, 0.005)]:
                        label = (f"held {held:g}, forward acceleration "
                                 f"{'free' if accel_free else 'held'}, encoder sd ({speed_sd:g}, "
                                 f"{rate_sd:g}), Qc speed {q_speed:g}, yaw rate {q_rate:g}")
                        grid.append((label, candidate(base, held, accel_free, speed_sd, rate_sd,
                                                      q_speed, q_rate)))

    with tempfile.TemporaryDirectory() as folder:
        made = drives(folder)
        for label, config in grid:
            path = os.path.join(folder, "candidate.json")
            with open(path, "w") as f:
                json.dump(config, f)
            ratios, finals, nis = [], [], []
            for name, drive in made:
                rms, dr_rms, final, mean_nis = run(args.replay, drive, path)
                ratios.append(rms / dr_rms)
                finals.append(final)
                nis.append(mean_nis)
                if args.candidates == "shipped":
                    print(f"  {name:22s} filter RMS {rms:.3f} m, dead reckoning {dr_rms:.3f} m, "
                          f"ratio {rms / dr_rms:.3f}, final error {final:.2f} % of the distance, "
                          f"mean NIS {mean_nis:.2f}")
            print(f"{label}: mean ratio {sum(ratios) / len(ratios):.3f}, largest "
                  f"{max(ratios):.3f}, largest final error {max(finals):.2f} %, mean NIS "
                  f"{sum(nis[:len(SEEDS)]) / len(SEEDS):.2f} at the generator's noise",
                  flush=True)


if __name__ == "__main__":
    main()
