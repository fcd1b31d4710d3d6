#!/usr/bin/env python3
"""Checks localisation_tune: it finds a generated drive's known noise, keeps the configuration's
keys in their order, and names what is wrong with bad input.

    tune_check.py TUNE GENERATOR FUSION_CONFIG

TUNE is the localisation_tune executable, GENERATOR data/generate_drive.py and FUSION_CONFIG the
package's fusion configuration. Exit status 0 when every check passes.
"""

import json
import math
import os
import subprocess
import sys
import tempfile

# The generated drive's noise: the IMU's (set below) and the encoders' speed (the generator's).
ACCEL, GYRO, SPEED = 0.4, 0.02, 0.03


def run(args, expect_ok=True):
    done = subprocess.run(args, capture_output=True, text=True)
    if (done.returncode == 0) != expect_ok:
        sys.exit("unexpected exit %d from %s\n%s%s" % (done.returncode, " ".join(args),
                                                       done.stdout, done.stderr))
    return done


def expect_error(args, text):
    done = run(args, expect_ok=False)
    if text not in done.stderr:
        sys.exit("expected %r in the error of %s, got:\n%s" % (text, " ".join(args), done.stderr))


def main():
    tune, generator, fusion = sys.argv[1:4]
    failures = []
    with tempfile.TemporaryDirectory() as work:
        drive = os.path.join(work, "known.csv")
        subprocess.run([sys.executable, generator, "--multi-sensor", "--seed", "3", "--accel-noise",
                        str(ACCEL), "--gyro-noise", str(GYRO), "--out", drive], check=True)
        tuned = os.path.join(work, "tuned.json")
        done = run([tune, drive, "--config", fusion, "--sensors", "encoders,imu", "-o", tuned,
                    "--budget", "1200000"])
        print(done.stdout)
        with open(fusion) as f:
            before = json.load(f)
        with open(tuned) as f:
            after = json.load(f)
        noise = {s["name"]: [math.sqrt(s["noise"][i][i]) for i in range(s["size"])]
                 for s in after["measurement"]["sensors"]}
        expected = {("imu", i): v for i, v in enumerate([ACCEL] * 3 + [GYRO] * 3)}
        expected[("encoders", 0)] = SPEED
        for (sensor, i), truth in expected.items():
            found = noise[sensor][i]
            ok = abs(found - truth) <= 0.2 * truth
            print("%s[%d]: %.4g, known %.4g%s" % (sensor, i, found, truth, "" if ok else "  MISSED"))
            if not ok:
                failures.append("%s[%d]" % (sensor, i))
        # Only numbers change: every key stays, in its order.
        def keys(value, path=""):
            if isinstance(value, dict):
                return [path + "/" + k for k in value] + sum(
                    (keys(v, path + "/" + k) for k, v in value.items()), [])
            if isinstance(value, list):
                return sum((keys(v, "%s/%d" % (path, i)) for i, v in enumerate(value)), [])
            return []
        if keys(before) != keys(after):
            failures.append("the tuned configuration's keys differ from the original's")

        # Bad input is named.
        expect_error([tune, drive, "--config", fusion, "--sensors", "gps"], "--sensors gps")
        expect_error([tune, drive, "--config", fusion, "--sensors", "encoders", "--tune", "gsp"],
                     'no sensor "gsp" took part in the replay (those that did: encoders)')
        frozen = dict(before)
        frozen["measurement"] = {"sensors": [
            dict(s, noise=[[0.0] * s["size"]] * s["size"]) if s["name"] == "encoders" else s
            for s in before["measurement"]["sensors"]]}
        frozen_path = os.path.join(work, "frozen.json")
        with open(frozen_path, "w") as f:
            json.dump(frozen, f)
        expect_error([tune, drive, "--config", frozen_path, "--sensors", "encoders,imu",
                      "--tune", "encoders", "--no-process"], "nothing to tune in " + frozen_path)
        broken = dict(before, filter={"alpha": 1.0})
        broken_path = os.path.join(work, "broken.json")
        with open(broken_path, "w") as f:
            json.dump(broken, f)
        expect_error([tune, drive, "--config", broken_path],
                     "the filter cannot run on " + drive + " with " + broken_path)
        expect_error([tune, drive, "--config", os.path.join(work, "missing.json")],
                     "cannot read " + os.path.join(work, "missing.json"))
    if failures:
        sys.exit("missed: " + ", ".join(failures))
    print("every check passed")


if __name__ == "__main__":
    main()
