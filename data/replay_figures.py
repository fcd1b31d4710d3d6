"""What the data scripts share: finding localisation_replay and reading its figures.

The figures come from the replay's --json summary, whose keys do not change with the wording of
the printed one. A replay that fails ends the script with the replay's own error, not a
traceback.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def tool(name):
    """`name` on the PATH (a sourced install), else the one scripts/test.sh builds."""
    return shutil.which(name) or os.path.join(ROOT, "build", "localization_pkg", name)


def run(args, env=None):
    """Runs a command and returns its standard output; exits with its error when it fails."""
    try:
        done = subprocess.run(args, capture_output=True, text=True, env=env)
    except OSError as e:
        sys.exit(f"{args[0]}: {e.strerror} (build it with ./scripts/test.sh, or give its path)")
    if done.returncode != 0:
        sys.exit("%s failed (exit %d): %s" % (os.path.basename(args[0]), done.returncode,
                                               done.stderr.strip() or done.stdout.strip()))
    return done.stdout


def replay(replay_path, drive, config, *extra, env=None):
    """The figures of one replay of `drive` with `config` (a dict of the --json summary)."""
    with tempfile.TemporaryDirectory() as work:
        summary = os.path.join(work, "summary.json")
        run([replay_path, drive, "--config", config, "--csv", os.path.join(work, "odometry.csv"),
             "--svg", os.path.join(work, "path.svg"), "--json", summary, *extra], env=env)
        with open(summary) as f:
            return json.load(f)
