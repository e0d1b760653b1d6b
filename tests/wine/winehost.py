"""Runs korvane.exe and the Win32 test programs under Wine.

A case works in a Wine prefix of its own, copied from one booted template (booting takes far
longer than copying), with the Windows version set for it, machine fixtures imported with
regedit, and one wineserver kept running from the first import to the last run (HKEY_DYN_DATA
lives only as long as the server does). Closing the prefix stops that server and removes the
prefix. Dialogs are read and dismissed by korvane-probe.exe; registry writes come from a dump
of the keys afterwards and, for their order and byte counts, from Wine's traces.

    with winehost.Prefix("winxp", machines=["machine.reg"]) as prefix:
        run, shown = prefix.show("ok", trace=True)
        run.wait()
        writes = run.registry_writes()

Each build runs in a prefix of its own architecture: the x86_64 build in a 64-bit prefix, the
i686 build (the one every supported Windows runs) in a 32-bit prefix (WINEARCH=win32), where no
WoW64 stands between the program and the registry. KORVANE_WINE_ARCH (win64 or win32) chooses
for the process; the programs come from that build (KORVANE_WIN64_BUILD, KORVANE_WIN32_BUILD).

Run as a program: `winehost.py boot-template DIR`, `winehost.py remove-template DIR`,
`winehost.py case TEST_ID` (one unittest case), `winehost.py check-arch`; each of them exits
with SKIPPED (77) and says why when this machine cannot run the architecture's programs.
`winehost.py list-cases` prints the cases ctest runs in each prefix, "NAME TEST_ID" a line: every
test method of the test_*.py files here but test_executables.py (no Wine needed), named by its
@case or by its class's CASE_PREFIX and the method's name; a class made by @table_cases has a
method of each row of its CASES.
"""
import ast
import atexit
import errno
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import glob
import tempfile
import time

SOURCE = os.path.abspath(os.environ.get("KORVANE_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", "..")))
BUILDS = {arch: os.path.abspath(os.environ.get(f"KORVANE_{arch.upper()}_BUILD", os.path.join(SOURCE, "build", arch)))
          for arch in ("win64", "win32")}
ARCH = os.environ.get("KORVANE_WINE_ARCH", "win64")
if ARCH not in BUILDS:
    raise SystemExit(f"KORVANE_WINE_ARCH is {ARCH!r}: want win64 or win32")
KORVANE_EXE = os.path.join(BUILDS[ARCH], "korvane.exe")
PROBE_EXE = os.path.join(BUILDS[ARCH], "korvane-probe.exe")
CONTRACT_EXE = os.path.join(BUILDS[ARCH], "korvane_contract_tests.exe")
# What ctest takes for a case that did not run (SKIP_RETURN_CODE).
SKIPPED = 77

_TEMPLATE_MARK = ".korvane-template"
_QUIET = "-all"
# The ANSI registry calls that korvane.exe makes, traced at the call (byte counts as the
# caller gave them) while +reg shows the handles each open and create returned.
_TRACED = ("RegOpenKeyExA", "RegCreateKeyExA", "RegSetValueExA", "RegCloseKey")
_TRACED_CALLS = ";".join(_TRACED)
_TRACE = "-all,+reg,+relay"


class WineError(AssertionError):
    pass


def _run(command, env, timeout, check=True):
    # Output goes to files, not pipes: a wineserver that the command starts keeps whatever it
    # inherited open long after the command has ended.
    with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
        code = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                              timeout=timeout).returncode
        stdout.seek(0)
        stderr.seek(0)
        result = subprocess.CompletedProcess(command, code, stdout.read(), stderr.read())
    if check and result.returncode != 0:
        raise WineError(f"{' '.join(command)} exited {result.returncode}: "
                        f"{result.stderr.decode(errors='replace')[-2000:]}")
    return result


# --- The machine ------------------------------------------------------------------------

def _i386_program(status):
    """A static i386 Linux program that only exits with `status`: an ELF header, one loadable
    segment, and the exit system call."""
    base = 0x08048000
    code = b"\xbb" + struct.pack("<I", status) + b"\xb8\x01\x00\x00\x00\xcd\x80"  # ebx=status; eax=1; int 80h
    size = 52 + 32 + len(code)
    header = b"\x7fELF\x01\x01\x01" + bytes(9) + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + 84, 52, 0, 0, 52, 32,
                                                                  1, 0, 0, 0)
    segment = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
    return header + segment + code


def unavailable():
    """Why this machine cannot run the prefix architecture's programs, or None when it can.
    A 32-bit prefix needs a kernel that runs 32-bit (i386) programs, which Wine's 32-bit loader
    is; some kernels are built or booted without that, and then no 32-bit Wine can start."""
    if ARCH != "win32":
        return None
    folder = tempfile.mkdtemp(prefix="korvane-i386-")
    try:
        path = os.path.join(folder, "exit32")
        with open(path, "wb") as program:
            program.write(_i386_program(32))
        os.chmod(path, 0o755)
        try:
            code = subprocess.run([path], stdin=subprocess.DEVNULL, capture_output=True, timeout=30).returncode
        except OSError as error:
            if error.errno == errno.ENOEXEC:
                return "this kernel does not run 32-bit (i386) programs, so no 32-bit Wine can start here"
            return None  # not a verdict on the kernel (a noexec temporary folder, say): let the cases tell
        return None if code == 32 else f"a 32-bit (i386) test program ended with {code}, not 32"
    finally:
        shutil.rmtree(folder, ignore_errors=True)


# --- The X display -----------------------------------------------------------------------

_display = None


def display():
    """The DISPLAY of an Xvfb server of this process, started on first use, stopped at exit."""
    global _display
    if _display is None:
        read, write = os.pipe()
        server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
                                  pass_fds=(write,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        os.close(write)
        # The display's number and a line break, or nothing if the server ends first.
        with os.fdopen(read, "rb") as pipe:
            number = pipe.readline()
        if not number.strip():
            server.kill()
            server.wait()
            raise WineError("Xvfb did not start")
        _display = (":" + number.decode().strip(), server)
        atexit.register(_stop_display)
    return _display[0]


def _stop_display():
    global _display
    if _display is not None:
        _display[1].terminate()
        try:
            _display[1].wait(timeout=10)
        except subprocess.TimeoutExpired:
            _display[1].kill()
            _display[1].wait()
        _display = None


def _environment(prefix, locale="C.UTF-8"):
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": prefix,
        "WINEDEBUG": _QUIET,
        "WINEARCH": ARCH,
        # No Mono or Gecko installer prompts in a fresh prefix.
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "DISPLAY": display(),
        "LC_ALL": locale,
    })
    env.pop("WINESERVER", None)
    return env


# --- Template prefix ---------------------------------------------------------------------

def boot_template(path):
    """Boots a Wine prefix at `path` for cases to copy; returns the path."""
    if os.path.exists(os.path.join(path, _TEMPLATE_MARK)):
        return path
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    env = _environment(path)
    try:
        _run(["wine", "wineboot", "-i"], env, timeout=600)
    finally:
        # Wait for the boot's server to save the registry and go.
        _run(["wineserver", "-w"], env, timeout=120, check=False)
    with open(os.path.join(path, _TEMPLATE_MARK), "w") as mark:
        mark.write("booted\n")
    return path


def remove_template(path):
    if os.path.isdir(path):
        _run(["wineserver", "-k"], _environment(path), timeout=60, check=False)
        shutil.rmtree(path, ignore_errors=True)


_own_template = None


def template():
    """The booted template: KORVANE_WINE_TEMPLATE when a test run booted one, else our own."""
    global _own_template
    shared = os.environ.get("KORVANE_WINE_TEMPLATE")
    if shared and os.path.exists(os.path.join(shared, _TEMPLATE_MARK)):
        return shared
    if _own_template is None:
        _own_template = boot_template(os.path.join(tempfile.mkdtemp(prefix="korvane-wine-template-"), "prefix"))
        atexit.register(lambda: remove_template(_own_template) or shutil.rmtree(os.path.dirname(_own_template),
                                                                               ignore_errors=True))
    return _own_template


def _copy_prefix(source, target):
    """Copies a prefix: the registry files and everything small for real, the big files under
    drive_c (DLLs, programs, fonts, which nothing rewrites) as hard links, which makes a copy
    take a fraction of a second. The registry files must be copies: the wineserver writes
    them in place."""
    drive = os.path.join(source, "drive_c") + os.sep

    def copy(src, dst):
        if src.startswith(drive) and os.path.getsize(src) >= 65536:
            try:
                os.link(src, dst)
                return dst
            except OSError:
                pass
        return shutil.copy2(src, dst)
    shutil.copytree(source, target, symlinks=True, copy_function=copy)
    os.remove(os.path.join(target, _TEMPLATE_MARK))


# --- Prefixes ----------------------------------------------------------------------------

class Prefix:
    """A Wine prefix of its own for one test case, with its own wineserver, and the machine
    files given imported in turn."""

    def __init__(self, version="winxp", locale="C.UTF-8", machines=()):
        source = template()
        base = None
        if os.stat(os.path.dirname(source)).st_dev != os.stat(tempfile.gettempdir()).st_dev:
            base = os.path.dirname(source)  # hard links need the same file system
        self.root = tempfile.mkdtemp(prefix="korvane-wine-case-", dir=base)
        self.path = os.path.join(self.root, "prefix")
        self.runs = []
        self._server = False
        self._tracing = False
        try:
            _copy_prefix(source, self.path)
            self.env = _environment(self.path, locale)
            # One server for the whole case: HKEY_DYN_DATA keys imported now must still be
            # there when korvane.exe runs.
            _run(["wineserver", "-p"], self.env, timeout=60)
            self._server = True
            self.set_version(version)
            for machine in machines:
                self.import_reg(machine)
        except BaseException:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def wine(self, *args, check=True, timeout=120):
        """Runs a Wine program to its end; returns the CompletedProcess."""
        return _run(["wine", *args], self.env, timeout=timeout, check=check)

    def set_version(self, version):
        self.wine("reg", "add", "HKCU\\Software\\Wine", "/v", "Version", "/t", "REG_SZ", "/d", version, "/f")

    def import_reg(self, path):
        """Imports a .reg file (REGEDIT4 or version 5, HKEY_DYN_DATA included) into the registry."""
        self.wine("regedit", "/s", os.path.abspath(path))

    def start(self, exe, *args, trace=False):
        """Starts a Win32 program; returns its Run. With trace, Wine traces its registry calls."""
        extra = {}
        if trace:
            if not self._tracing:
                self.wine("reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/t", "REG_SZ",
                          "/d", _TRACED_CALLS, "/f")
                self._tracing = True
            extra["WINEDEBUG"] = _TRACE
        run = Run(exe, args, {**self.env, **extra}, self.root, trace)
        self.runs.append(run)
        return run

    def start_korvane(self, trace=False):
        return self.start(KORVANE_EXE, trace=trace)

    def show(self, action="ok", trace=False):
        """Starts korvane.exe and probes the dialog or notice it shows (see probe); returns the
        Run and what the window showed. A run that shows none is a failure."""
        run = self.start_korvane(trace=trace)
        shown = self.probe(action)
        if not shown["found"]:
            raise WineError(f"korvane.exe showed no window; its errors: {run.stderr()[-2000:]}")
        return run, shown

    def probe(self, action="ok", timeout=30):
        """Waits for a dialog-class window of korvane.exe, returns what it shows (see probe.cpp)
        and dismisses it: ok, enter, escape, close (WM_CLOSE) or none."""
        result = self.wine(PROBE_EXE, "window", str(int(timeout * 1000)), action, check=False, timeout=timeout + 60)
        return _last_json(result)

    def dialog_count(self):
        """How many visible dialog-class windows korvane.exe has, and their handles."""
        return _last_json(self.wine(PROBE_EXE, "count", check=False))

    def dump(self, key):
        """The values of `key` itself (e.g. HKEY_LOCAL_MACHINE\\System\\...), subkeys left out:
        {"found": bool, "values": [{"name", "type", "size", "data"}]}, data as hex."""
        return _last_json(self.wine(PROBE_EXE, "dump", key, check=False))

    def window_icon(self, title):
        """The icon images the X11 window titled `title` carries ({(width, height): [ARGB]}).
        Wine 8.0 answers WM_GETICON from another process with 0, so a dialog's big icon is
        read here, from _NET_WM_ICON, which Wine sets from it (or from Wine's own default
        icon when the window has none: compare with icon_file_images)."""
        result = subprocess.run(["xprop", "-name", title, "-notype", "-f", "_NET_WM_ICON", "32c", " $0+\\n",
                                 "_NET_WM_ICON"], env=self.env, capture_output=True, text=True, timeout=30)
        numbers = [int(n) for n in re.findall(r"\d+", result.stdout.partition(" ")[2])] if result.returncode == 0 else []
        images, i = {}, 0
        while i + 2 <= len(numbers):
            width, height = numbers[i], numbers[i + 1]
            images[(width, height)] = numbers[i + 2:i + 2 + width * height]
            i += 2 + width * height
        return images

    def close(self):
        for run in self.runs:
            run.kill()
        if self._server:
            _run(["wineserver", "-k"], self.env, timeout=60, check=False)
            _run(["wineserver", "-w"], self.env, timeout=60, check=False)
            self._server = False
        for run in self.runs:
            run.close()
        self.runs = []
        shutil.rmtree(self.root, ignore_errors=True)


def _last_json(result):
    lines = result.stdout.decode(errors="replace").strip().splitlines()
    if not lines:
        raise WineError(f"no output; stderr: {result.stderr.decode(errors='replace')[-2000:]}")
    return json.loads(lines[-1])


class Run:
    """A Win32 program started in a prefix."""

    def __init__(self, exe, args, env, workdir, traced):
        self.exe = exe
        self.traced = traced
        self._stdout = tempfile.TemporaryFile(dir=workdir)
        self._stderr = tempfile.TemporaryFile(dir=workdir)
        self.process = subprocess.Popen(["wine", exe, *args], env=env, stdin=subprocess.DEVNULL,
                                        stdout=self._stdout, stderr=self._stderr)

    def wait(self, timeout=30):
        """The exit code, or None if the program is still running after `timeout` seconds."""
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def running(self):
        return self.process.poll() is None

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()

    def close(self):
        self.kill()
        self._stdout.close()
        self._stderr.close()

    def stdout(self):
        return _contents(self._stdout)

    def stderr(self):
        return _contents(self._stderr)

    def registry_writes(self):
        """The program's creates and sets in call order, from the trace (see parse_trace)."""
        if not self.traced:
            raise WineError("the run was not traced")
        return parse_trace(self.stderr().splitlines(), image_range(self.exe))


def _contents(file):
    file.seek(0)
    return file.read().decode(errors="replace")


def icon_file_images(path):
    """The images of an .ico file as ARGB pixels, rows from the top ({(width, height): [ARGB]}).
    Our icon's images are palettized (1 to 8 bits a pixel) with an AND mask for transparency;
    any other kind is refused rather than misread."""
    with open(path, "rb") as icon:
        data = icon.read()
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    if kind != 1:
        raise WineError(f"{path} is not an icon file")
    images = {}
    for entry in range(count):
        width, height, _, _, _, _, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * entry)
        width, height = width or 256, height or 256
        dib = data[offset:offset + size]
        header = struct.unpack_from("<IiiHHIIiiII", dib, 0)
        header_size, bpp, used = header[0], header[4], header[9]
        if dib.startswith(b"\x89PNG") or bpp > 8:
            raise WineError(f"{path}: the {width}x{height} image is not palettized")
        colours = used or 1 << bpp
        palette = [struct.unpack_from("<BBBB", dib, header_size + 4 * c) for c in range(colours)]
        pixels_at = header_size + 4 * colours
        stride = ((width * bpp + 31) // 32) * 4
        mask_at = pixels_at + stride * height
        mask_stride = ((width + 31) // 32) * 4
        argb = []
        for row in range(height):
            source = height - 1 - row  # bottom-up
            for column in range(width):
                bit = column * bpp
                byte = dib[pixels_at + source * stride + bit // 8]
                blue, green, red, _ = palette[(byte >> (8 - bpp - bit % 8)) & ((1 << bpp) - 1)]
                masked = dib[mask_at + source * mask_stride + column // 8] >> (7 - column % 8) & 1
                argb.append((0 if masked else 255) << 24 | red << 16 | green << 8 | blue)
        images[(width, height)] = argb
    return images


def same_image(shown, expected):
    """True when two ARGB images agree in every pixel's transparency, and in its colour
    wherever it is opaque."""
    if len(shown) != len(expected):
        return False
    for a, b in zip(shown, expected):
        if (a >> 24 == 0) != (b >> 24 == 0):
            return False
        if b >> 24 and (a & 0xFFFFFF) != (b & 0xFFFFFF):
            return False
    return True


def text(field, codepage="cp1252"):
    """An ANSI text as the probe reports it (one character per byte), decoded."""
    return field.encode("latin-1").decode(codepage)


# --- Registry traces ---------------------------------------------------------------------

def image_range(exe):
    """(base, end) of the executable's image as its PE header asks for it."""
    with open(exe, "rb") as image:
        header = image.read(4096)
    pe = struct.unpack_from("<I", header, 0x3C)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", header, optional)[0]
    base = struct.unpack_from("<Q", header, optional + 24)[0] if magic == 0x20B else \
        struct.unpack_from("<I", header, optional + 28)[0]
    size = struct.unpack_from("<I", header, optional + 56)[0]
    return base, base + size


_ROOTS = {0x80000002: "HKEY_LOCAL_MACHINE", 0x80000006: "HKEY_DYN_DATA"}
_CALL = re.compile(rf"^([0-9a-f]+):Call (\w+)\.({'|'.join(_TRACED)})\((.*)\) ret=([0-9a-f]+)$")
_RET = re.compile(rf"^([0-9a-f]+):Ret  (\w+)\.({'|'.join(_TRACED)})\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$")
_NT_RESULT = re.compile(r"^([0-9a-f]+):trace:reg:(NtCreateKey|NtOpenKeyEx) <- (0x[0-9a-f]+|\(nil\))$")


def _split_arguments(text):
    parts, current, quoted, escaped = [], "", False, False
    for char in text:
        if escaped:
            escaped = False
        elif char == "\\" and quoted:
            escaped = True
        elif char == '"':
            quoted = not quoted
        elif char == "," and not quoted:
            parts.append(current)
            current = ""
            continue
        current += char
    parts.append(current)
    return parts


_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}


def _unescape(quoted):
    """The bytes of a string as Wine's debugstr_a prints it: a backslash before anything but
    an escape it writes stands for itself."""
    return re.sub(r'\\(x[0-9a-fA-F]{2}|[nrt\\"])',
                  lambda m: chr(int(m.group(1)[1:], 16)) if len(m.group(1)) == 3 else _ESCAPES[m.group(1)],
                  quoted[1:-1]).encode("latin-1")


def _string_argument(argument):
    """None for a null pointer, else the string's bytes."""
    argument = argument.strip()
    quote = argument.find('"')
    return None if quote < 0 else _unescape(argument[quote:])


def _number(argument, bits=64):
    return int(argument.strip().split()[0], 16) & ((1 << bits) - 1)


def _root(handle):
    return _ROOTS.get(handle & 0xFFFFFFFF) if handle >> 31 in (1, 0x1FFFFFFFF) else None


def parse_trace(lines, image=None):
    """The registry creates and sets that the program itself called, in order, from a run
    traced with WINEDEBUG=+reg,+relay (the relay limited to the calls korvane.exe makes).

    Wine 8.0's +reg channel shows these calls only at the NtCreateKey/NtSetValueKey level, in
    UTF-16 byte counts; the relay shows the ANSI call as made, with the caller's byte count,
    and +reg the handle that each open or create returned, so keys can be named.

    Each record: ("create", root, path, None, None, None, status) or
    ("set", root, path, name, type, size, status), the form in which the tests hold korvane-sim's
    report; root and path name the key that the handle was opened or created as (path as the
    caller passed it, joined to its parent's); names and paths are the ANSI bytes read as
    Latin-1, one character a byte.
    """
    keys = {}          # handle -> (root, path)
    pending = {}       # thread -> [call, arguments, last handle returned]
    records = []
    for line in lines:
        match = _CALL.match(line)
        if match:
            thread, _, function, arguments, returns = match.groups()
            if image and not image[0] <= int(returns, 16) < image[1]:
                continue
            pending[thread] = [function, _split_arguments(arguments), None]
            continue
        match = _NT_RESULT.match(line)
        if match and match.group(1) in pending:
            result = match.group(3)
            pending[match.group(1)][2] = None if result == "(nil)" else int(result, 16)
            continue
        match = _RET.match(line)
        if not match or match.group(1) not in pending:
            continue
        thread, _, function, status, _ = match.groups()
        call, arguments, handle = pending.pop(thread)
        if call != function:
            continue
        status = _number(status, 32)
        parent = _number(arguments[0])
        root, base = (_root(parent), b"") if _root(parent) else keys.get(parent, (None, b""))
        if function in ("RegOpenKeyExA", "RegCreateKeyExA"):
            sub = _string_argument(arguments[1]) or b""
            path = base + b"\\" + sub if base and sub else base or sub
            if status == 0 and handle is not None:
                keys[handle] = (root, path)
            if function == "RegCreateKeyExA":
                records.append(("create", root, path.decode("latin-1"), None, None, None, status))
        elif function == "RegSetValueExA":
            name = _string_argument(arguments[1])
            records.append(("set", root, base.decode("latin-1"), (name or b"").decode("latin-1"),
                            _number(arguments[3], 32), _number(arguments[5], 32), status))
        elif function == "RegCloseKey" and status == 0:
            keys.pop(parent, None)
    return records


def case(name):
    """Names a test method's ctest case (wine64.NAME, wine32.NAME)."""
    def named(method):
        method.case_name = name
        return method
    return named


def table_cases(cls):
    """Gives the class a test method test_NAME for each row NAME of its CASES, which calls
    check with the row's fields."""
    for name, row in cls.CASES.items():
        setattr(cls, f"test_{name}", lambda self, row=row: self.check(*row))
    return cls


def list_cases(folder=os.path.dirname(os.path.abspath(__file__))):
    """(name, module.Class.method) of every case, read from the test files without running them."""
    cases = []
    for path in sorted(glob.glob(os.path.join(folder, "test_*.py"))):
        module = os.path.basename(path)[:-3]
        if module == "test_executables":
            continue
        with open(path, encoding="utf-8") as source:
            tree = ast.parse(source.read(), path)
        for cls in (node for node in tree.body if isinstance(node, ast.ClassDef)):
            prefix = "".join(node.value.value for node in cls.body if isinstance(node, ast.Assign)
                             and [t.id for t in node.targets if isinstance(t, ast.Name)] == ["CASE_PREFIX"])
            rows = [key.value for node in cls.body if isinstance(node, ast.Assign) and isinstance(node.value, ast.Dict)
                    and [t.id for t in node.targets if isinstance(t, ast.Name)] == ["CASES"] for key in node.value.keys]
            cases += [(prefix + row, f"{module}.{cls.name}.test_{row}") for row in rows]
            for method in (node for node in cls.body if isinstance(node, ast.FunctionDef)):
                if not method.name.startswith("test_"):
                    continue
                named = [d.args[0].value for d in method.decorator_list if isinstance(d, ast.Call)
                         and ast.unparse(d.func) in ("case", "winehost.case")]
                cases.append((named[0] if named else prefix + method.name[len("test_"):],
                              f"{module}.{cls.name}.{method.name}"))
    return cases


def run_case(test_id):
    """Runs one unittest case (module.Class.method, from this folder); 0 when it passed, 1 when
    it failed, SKIPPED when it skipped itself."""
    import unittest
    suite = unittest.defaultTestLoader.loadTestsFromName(test_id)
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    if result.testsRun > 0 and len(result.skipped) == result.testsRun:
        for _, reason in result.skipped:
            print(f"SKIPPED: {reason}")
        return SKIPPED
    return 0 if result.testsRun > 0 else 1


def main(argv):
    command = argv[1] if len(argv) > 1 else ""
    if command in ("boot-template", "case", "check-arch"):
        reason = unavailable()
        if reason:
            print(f"SKIPPED: {ARCH} prefix: {reason}")
            return SKIPPED
    if command == "check-arch" and len(argv) == 2:
        print(f"{ARCH} prefix: this machine runs its programs")
        return 0
    if command == "boot-template" and len(argv) == 3:
        started = time.monotonic()
        boot_template(argv[2])
        print(f"booted {argv[2]} ({ARCH}) in {time.monotonic() - started:.1f} s")
        return 0
    if command == "remove-template" and len(argv) == 3:
        remove_template(argv[2])
        return 0
    if command == "case" and len(argv) == 3:
        return run_case(argv[2])
    if command == "list-cases" and len(argv) == 2:
        for name, test_id in list_cases():
            print(name, test_id)
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
