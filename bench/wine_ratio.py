#!/usr/bin/env python3
"""korvane.exe under Wine against korvane-sim on the same large XP machine, in one run.

The machine is the XP worst-case walk of korvane-bench (supported device keys of 16
instances with 16 subkeys each; 100 adapters confirmed in the last device keys), written as a
UTF-16LE 5.00 .reg file. Wine imports it with regedit (timed on its own), then korvane.exe
runs from its start until its result dialog has been found, read and dismissed by the probe
and the process has ended. korvane-sim runs the same file with --json: its whole process,
the load of the .reg file included. The ratio is Wine's run over korvane-sim's.

    bench/wine_ratio.py [--device-keys N] [--bench build/bench/bench/korvane-bench]
                        [--sim build/bench/korvane-sim]

KORVANE_WIN64_BUILD names the win64 build with korvane.exe and korvane-probe.exe
(default build/win64).
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "wine"))
import winehost  # noqa: E402


def timed(function):
    start = time.monotonic()
    result = function()
    return result, time.monotonic() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--device-keys", type=int, default=128)
    parser.add_argument("--bench", default=os.path.join(SOURCE, "build", "bench", "bench", "korvane-bench"))
    parser.add_argument("--sim", default=os.path.join(SOURCE, "build", "bench", "korvane-sim"))
    parser.add_argument("--sim-runs", type=int, default=5)
    options = parser.parse_args()

    work = tempfile.mkdtemp(prefix="korvane-wine-ratio-")
    try:
        machine = os.path.join(work, "xp-worst.reg")
        made = subprocess.run([options.bench, "write-xp", machine, str(options.device_keys)], check=True,
                              capture_output=True, text=True)
        keys = made.stdout.split()[0]
        print(f"machine: {options.device_keys} device keys, {keys} keys, {os.path.getsize(machine)} bytes")

        # korvane-sim: the median of several whole processes.
        runtime = tempfile.mkdtemp(dir=work)
        sim_env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
        sim_times = []
        for _ in range(options.sim_runs):
            result, seconds = timed(lambda: subprocess.run([options.sim, "--machine", machine, "--os", "winxp",
                                                            "--json"], capture_output=True, env=sim_env))
            if result.returncode != 0:
                raise SystemExit(f"korvane-sim failed: {result.stderr.decode()}")
            sim_times.append(seconds)
        sim_times.sort()
        sim = sim_times[len(sim_times) // 2]
        sim_lists = json.loads(result.stdout)["shown"]["lists"]
        print(f"korvane-sim: median {sim:.3f} s of {options.sim_runs} runs (load of the file included); "
              f"{len(sim_lists.get('1004', []))} adapters listed")

        with winehost.Prefix("winxp") as prefix:
            _, imported = timed(lambda: prefix.import_reg(machine))
            print(f"wine regedit /s import: {imported:.1f} s")

            def run_korvane():
                run = prefix.start_korvane()
                shown = prefix.probe("ok", timeout=600)
                return shown, run.wait(timeout=120)
            (shown, code), wine = timed(run_korvane)
        listed = sum(len(control.get("entries", [])) for control in shown.get("controls", [])
                     if control.get("id") == 1004)
        print(f"korvane.exe under Wine: {wine:.3f} s from start to the dialog dismissed and the process ended "
              f"(exit {code}); {listed} adapters listed")
        if code is None or listed != len(sim_lists.get("1004", [])):
            print(f"the two runs disagree: {shown}", file=sys.stderr)
            return 1
        print(f"ratio Wine / korvane-sim: {wine / sim:.1f}")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
