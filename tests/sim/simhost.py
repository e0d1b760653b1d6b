"""Runs korvane-sim for the end-to-end tests and reads its JSON report. Every report a run
prints is checked against docs/report.schema.json, the report's documented form."""
import contextlib
import hashlib
import json
import os
import pty
import select
import shutil
import subprocess
import tempfile
import time

import jsonschema  # Debian's python3-jsonschema

SIM = os.environ.get("KORVANE_SIM", "build/native/korvane-sim")
SOURCE = os.environ.get("KORVANE_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
FIXTURES = os.path.join(SOURCE, "tests", "sim", "fixtures")
MACHINES = os.path.join(SOURCE, "machines")

with open(os.path.join(SOURCE, "docs", "report.schema.json"), encoding="utf-8") as schema_file:
    SCHEMA = json.load(schema_file)
jsonschema.Draft202012Validator.check_schema(SCHEMA)
REPORT_VALIDATOR = jsonschema.Draft202012Validator(SCHEMA)


def _undescribed(node, path="#"):
    """The fields of the schema that say nothing of their meaning."""
    missing = []
    if isinstance(node, dict):
        for name, field in node.get("properties", {}).items():
            target = SCHEMA["$defs"][field["$ref"].split("/")[-1]] if "$ref" in field else field
            if "description" not in field and "description" not in target:
                missing.append(f"{path}/properties/{name}")
        for key, child in node.items():
            missing += _undescribed(child, f"{path}/{key}")
    elif isinstance(node, list):
        for index, child in enumerate(node):
            missing += _undescribed(child, f"{path}/{index}")
    return missing


if _undescribed(SCHEMA):
    raise AssertionError(f"docs/report.schema.json leaves fields undescribed: {_undescribed(SCHEMA)}")


def check_report(text):
    parsed = json.loads(text)
    errors = sorted(REPORT_VALIDATOR.iter_errors(parsed), key=lambda e: list(e.absolute_path))
    if errors:
        raise AssertionError("the report does not match docs/report.schema.json:\n" + "\n".join(
            f"  at {'/'.join(map(str, e.absolute_path)) or '(top)'}: {e.message}" for e in errors))
    return parsed


def run(*args, env=None, check=True, stdin=subprocess.DEVNULL):
    """Runs korvane-sim with args; returns the CompletedProcess. The screen is drawn in UTF-8
    unless env says otherwise; the report of a --json run that succeeds is checked."""
    environment = dict(os.environ, LC_ALL="C.UTF-8")
    environment.update(env or {})
    result = subprocess.run([SIM, *args], capture_output=True, stdin=stdin, env=environment, timeout=60)
    if check and result.returncode != 0:
        raise AssertionError(f"korvane-sim {' '.join(args)} exited {result.returncode}: {result.stderr.decode()}")
    if "--json" in args and result.returncode == 0:
        check_report(result.stdout.decode("utf-8"))
    return result


def refuse(test, *args, message, stdin=subprocess.DEVNULL):
    """Runs korvane-sim with args, which it must refuse before a run starts: exit status 2,
    nothing on standard output, and on standard error one printable line that holds message
    (whatever the input held, nothing there may drive a terminal). Returns that line."""
    result = run(*args, check=False, stdin=stdin)
    test.assertEqual(result.returncode, 2, result.stderr)
    test.assertEqual(result.stdout, b"", "a run started")
    text = result.stderr.decode("utf-8")
    test.assertRegex(text, r"\A[^\x00-\x1f\x7f-\x9f]+\n\Z")
    test.assertIn(message, text)
    return text


def report(*args, **kwargs):
    return json.loads(run("--json", *args, **kwargs).stdout.decode("utf-8"))


def fixture(name):
    return os.path.join(FIXTURES, name)


def machine(name):
    """A sample machine of machines/, the ones users start from."""
    return os.path.join(MACHINES, name)


def temporary_folder(test, prefix="korvane-"):
    """A folder of the test's own, removed with everything in it when the test ends."""
    folder = tempfile.mkdtemp(prefix=prefix)
    test.addCleanup(shutil.rmtree, folder, True)
    return folder


def write(folder, name, data):
    """Writes data (bytes, or text as Latin-1) to a file in folder; returns its path."""
    path = os.path.join(folder, name)
    with open(path, "wb") as file:
        file.write(data if isinstance(data, bytes) else data.encode("latin-1"))
    return path


def read(path):
    with open(path, "rb") as file:
        return file.read()


def digest(path):
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


def snapshot(folder):
    """Every file below folder with its digest and modification time, every symbolic link with
    its target, and every folder: what a run that may write nothing must leave as it was."""
    def seen(path):
        if os.path.islink(path):
            return "link to " + os.readlink(path)
        return "folder" if os.path.isdir(path) else (digest(path), os.stat(path).st_mtime_ns)
    return {os.path.relpath(os.path.join(parent, name), folder): seen(os.path.join(parent, name))
            for parent, folders, names in os.walk(folder) for name in names + folders}


def start(test, *args, **options):
    """korvane-sim with args as a process of its own, killed if still running when the test ends."""
    process = subprocess.Popen([SIM, *args], **options)
    test.addCleanup(process.wait)
    test.addCleanup(process.kill)
    return process


def wait_for(probe, timeout=30):
    """probe()'s first result that is not None, asked every 50 ms; None after timeout seconds."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        result = probe()
        if result is not None:
            return result
        time.sleep(0.05)
    return None


class Terminal:
    """korvane-sim running on a pseudo-terminal of its own."""

    def __init__(self, pid, fd):
        self.pid, self.fd = pid, fd

    def read_until(self, text, timeout=20):
        """What the screen showed until text appeared, or until timeout seconds passed."""
        seen = b""
        deadline = time.time() + timeout
        while time.time() < deadline and text.encode() not in seen:
            ready, _, _ = select.select([self.fd], [], [], 0.2)
            if ready:
                try:
                    seen += os.read(self.fd, 4096)
                except OSError:
                    break
        return seen.decode("utf-8", "replace")

    def press(self, keys):
        """Types keys and waits for the program to end; returns its exit status."""
        os.write(self.fd, keys)
        _, status = os.waitpid(self.pid, 0)
        self.pid = 0
        return os.waitstatus_to_exitcode(status)


@contextlib.contextmanager
def on_terminal(*args, env=None):
    """Runs korvane-sim with args on a pseudo-terminal; kills it if it is still running when
    the block ends."""
    pid, fd = pty.fork()
    if pid == 0:
        os.execve(SIM, [SIM, *args], {**os.environ, **(env or {})})
    terminal = Terminal(pid, fd)
    try:
        yield terminal
    finally:
        if terminal.pid:
            os.kill(terminal.pid, 9)
            os.waitpid(terminal.pid, 0)
        os.close(fd)


# Each test process gets its own runtime directory, so that its korvane-sim instances meet
# each other (the guard) but no instance of another test.
RUNTIME = tempfile.mkdtemp(prefix="korvane-sim-test-")
os.environ["XDG_RUNTIME_DIR"] = RUNTIME
LOCKS = os.path.join(RUNTIME, f"korvane-sim-{os.geteuid()}")  # where the instances' lock files go
