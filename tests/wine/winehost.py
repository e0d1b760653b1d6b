"""Runs korvane.exe and the Win32 probe under Wine for the tests.

One Xvfb display and one booted template prefix serve a whole test module; each case works
in its own copy of the prefix with its own wineserver, stopped when the case ends.
"""
import json
import os
import shutil
import subprocess
import tempfile
import time

WIN64 = os.environ.get("KORVANE_WIN64_BUILD", "build/win64")
KORVANE_EXE = os.path.join(WIN64, "korvane.exe")
PROBE_EXE = os.path.join(WIN64, "korvane-probe.exe")
SOURCE = os.environ.get("KORVANE_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))

_display = None
_template = None
_workdir = tempfile.mkdtemp(prefix="korvane-wine-")


def _start_display():
    global _display
    if _display is not None:
        return _display[0]
    read, write = os.pipe()
    process = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
                               pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read, 16)
        if not chunk:
            raise RuntimeError("Xvfb did not start")
        number += chunk
    os.close(read)
    _display = (":" + number.decode().strip(), process)
    return _display[0]


def _base_env(prefix):
    env = dict(os.environ)
    env.update({"WINEPREFIX": prefix, "WINEDEBUG": "-all", "DISPLAY": _start_display(), "WINEDLLOVERRIDES": "mscoree,mshtml="})
    env.setdefault("LC_ALL", "C.UTF-8")
    return env


def _template_prefix():
    global _template
    if _template is None:
        _template = os.path.join(_workdir, "template")
        env = _base_env(_template)
        subprocess.run(["wine", "wineboot", "-i"], env=env, capture_output=True, timeout=300)
        # Its service processes keep the wineserver alive: stop it rather than wait for it.
        subprocess.run(["wineserver", "-k"], env=env, capture_output=True, timeout=60)
    return _template


class Prefix:
    """A Wine prefix of its own for one test case."""

    def __init__(self, version="winxp", locale="C.UTF-8"):
        self.path = tempfile.mkdtemp(prefix="case-", dir=_workdir)
        shutil.rmtree(self.path)
        shutil.copytree(_template_prefix(), self.path, symlinks=True)
        self.env = _base_env(self.path)
        self.env["LC_ALL"] = locale
        self.processes = []
        # Keep one wineserver for the whole case: HKEY_DYN_DATA lives only as long as it does.
        subprocess.run(["wineserver", "-p"], env=self.env, check=True)
        self.wine("reg", "add", "HKCU\\Software\\Wine", "/v", "Version", "/t", "REG_SZ", "/d", version, "/f")

    def wine(self, *args, check=True, timeout=120, env=None):
        environment = dict(self.env, **(env or {}))
        result = subprocess.run(["wine", *args], env=environment, capture_output=True, timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError(f"wine {' '.join(args)} exited {result.returncode}: {result.stderr.decode(errors='replace')}")
        return result

    def import_reg(self, path):
        self.wine("regedit", "/s", path)

    def start_korvane(self, env=None):
        environment = dict(self.env, **(env or {}))
        process = subprocess.Popen(["wine", KORVANE_EXE], env=environment, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.processes.append(process)
        return process

    def probe_window(self, action="ok", timeout_ms=20000):
        result = self.wine(PROBE_EXE, "window", str(timeout_ms), action, check=False, timeout=timeout_ms / 1000 + 60)
        return json.loads(result.stdout.decode().strip().splitlines()[-1])

    def dialog_count(self):
        return int(self.wine(PROBE_EXE, "count").stdout.decode().strip())

    def dump(self, key):
        result = self.wine(PROBE_EXE, "dump", key, check=False)
        return json.loads(result.stdout.decode().strip().splitlines()[-1])

    def close(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
            process.wait()
        subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True, timeout=60)
        shutil.rmtree(self.path, ignore_errors=True)


def wait_exit(process, timeout=30):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if process.poll() is not None:
            return process.returncode
        time.sleep(0.1)
    return None


def text(hex_bytes, codepage="cp1252"):
    return bytes.fromhex(hex_bytes).decode(codepage)


def shutdown():
    if _template is not None:
        subprocess.run(["wineserver", "-k"], env=_base_env(_template), capture_output=True)
    if _display is not None:
        _display[1].terminate()
        _display[1].wait()
    shutil.rmtree(_workdir, ignore_errors=True)
