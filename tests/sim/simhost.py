"""Runs korvane-sim for the end-to-end tests and reads its JSON report."""
import json
import os
import subprocess
import tempfile

SIM = os.environ.get("KORVANE_SIM", "build/native/korvane-sim")
SOURCE = os.environ.get("KORVANE_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
FIXTURES = os.path.join(SOURCE, "tests", "sim", "fixtures")
MACHINES = os.path.join(SOURCE, "machines")


def run(*args, env=None, check=True, stdin=subprocess.DEVNULL):
    """Runs korvane-sim with args; returns the CompletedProcess."""
    environment = dict(os.environ)
    environment.update(env or {})
    result = subprocess.run([SIM, *args], capture_output=True, stdin=stdin, env=environment, timeout=60)
    if check and result.returncode != 0:
        raise AssertionError(f"korvane-sim {' '.join(args)} exited {result.returncode}: {result.stderr.decode()}")
    return result


def report(*args, **kwargs):
    """Runs korvane-sim --json with args and returns the parsed report."""
    result = run("--json", *args, **kwargs)
    return json.loads(result.stdout.decode("utf-8"))


def fixture(name):
    return os.path.join(FIXTURES, name)


# Each test process gets its own runtime directory, so that its korvane-sim instances meet
# each other (the guard) but no instance of another test.
RUNTIME = tempfile.mkdtemp(prefix="korvane-sim-test-")
os.environ["XDG_RUNTIME_DIR"] = RUNTIME
