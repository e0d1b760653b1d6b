"""One machine file run two ways: by korvane-sim, and by korvane.exe under Wine with the
same Windows version. Used by the tests that hold the two to the same writes and lists."""
import json
import os
import shutil
import subprocess
import tempfile

import winehost

SIM = os.environ.get("KORVANE_SIM", os.path.join(winehost.SOURCE, "build", "native", "korvane-sim"))


class SimRun:
    """korvane-sim on a copy of the machine, with --save and --changes."""

    def __init__(self, machine, os_name, language="0x0409"):
        self.directory = tempfile.mkdtemp(prefix="korvane-sim-run-")
        self.saved = os.path.join(self.directory, "saved.reg")
        self.changes = os.path.join(self.directory, "changes.reg")
        shutil.copyfile(machine, self.saved)
        runtime = os.path.join(self.directory, "runtime")
        os.mkdir(runtime)
        result = subprocess.run([SIM, "--os", os_name, "--lang", language, "--machine", self.saved, "--save",
                                 "--changes", self.changes, "--json"], capture_output=True, timeout=120,
                                stdin=subprocess.DEVNULL, env=dict(os.environ, XDG_RUNTIME_DIR=runtime))
        if result.returncode != 0:
            raise AssertionError(f"korvane-sim exited {result.returncode}: {result.stderr.decode(errors='replace')}")
        self.report = json.loads(result.stdout)

    def close(self):
        shutil.rmtree(self.directory, ignore_errors=True)

    def writes(self):
        """(op, root, path, name, type, size, status) of each create and set, in order."""
        return [("create", w["root"], w["path"], None, None, None, w["status"]) if w["op"] == "create" else
                ("set", w["root"], w["path"], w["name"], w["type"], len(w["data"]) // 2, w["status"])
                for w in self.report["registry"]["writes"]]

    def written_keys(self):
        """The keys written to, in the order first written, as ROOT\\path."""
        return list(dict.fromkeys(w["root"] + "\\" + w["path"] for w in self.report["registry"]["writes"]
                                  if w["status"] == 0))

    def lists(self):
        shown = self.report["shown"]
        return {int(id): entries for id, entries in shown.get("lists", {}).items()}


def dump_keys(prefix, keys):
    """{key: {name: (type, data bytes)}} of each key alone (subkeys are keys of their own)."""
    out = {}
    for key in keys:
        dumped = prefix.dump(key)
        out[key] = {winehost.text(value["name"]).lower(): (value["type"], bytes.fromhex(value["data"]))
                    for value in dumped["values"]} if dumped["found"] else None
    return out


def without_text_terminator(values):
    """The values with one terminating zero taken off each REG_SZ that has one: Windows NT
    stores an ANSI REG_SZ one byte longer when a zero follows the bytes counted."""
    if values is None:
        return None
    return {name: (kind, data[:-1] if kind == 1 and data.endswith(b"\0") else data)
            for name, (kind, data) in values.items()}
