#!/usr/bin/env bash
# Makes the release people download: build/release/korvane-VERSION.zip and SHA256SUMS.
# Builds the i686 korvane.exe with the win32 preset from a tree without uncommitted changes,
# checks it as the tests do (imports, version, the 80386 instruction set), and packs it with
# the texts in docs/release/ and LICENSE under 8.3 names: KORVANE.EXE, README.TXT (ASCII),
# README_J.TXT (Shift-JIS), LICENSE.TXT, all texts with CRLF line ends. The zip's entries have
# a fixed order and the commit's date (or SOURCE_DATE_EPOCH), so two runs give the same bytes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/setup.sh
korvane_apt_install cmake ninja-build mingw-w64 binutils-mingw-w64 python3 icoutils

if ! git rev-parse --git-dir >/dev/null 2>&1; then
  echo "release: $root is no git work tree; a release is made from a commit" >&2
  exit 1
fi
changes=$(git status --porcelain)
if [ -n "$changes" ]; then
  echo "release: the tree has uncommitted changes; commit or stash them first:" >&2
  echo "$changes" >&2
  exit 1
fi
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}

cmake --preset win32 >/dev/null
cmake --build --preset win32 --target korvane
build="$root/build/win32"

echo "release: checking $build/korvane.exe" >&2
(cd tests/wine && KORVANE_WIN32_BUILD="$build" PYTHONDONTWRITEBYTECODE=1 python3 -m unittest -q \
  test_executables.Executables.test_i686_build_loads_on_windows_95_and_nt_4 \
  test_executables.Executables.test_i686_build_runs_on_an_80386)

python3 - "$root" "$build" <<'PYTHON'
import hashlib
import os
import re
import sys
import time
import zipfile

root, build = sys.argv[1], sys.argv[2]
with open(os.path.join(build, "generated", "version.h"), encoding="utf-8") as header:
    version = re.search(r'KORVANE_VERSION_TEXT "([^"]+)"', header.read()).group(1)
release = os.path.join(root, "build", "release")
name = f"korvane-{version}.zip"
COLUMNS = 78


def text(path, encoding):
    """The file as CRLF lines in ENCODING, refused if a line is wider than COLUMNS."""
    with open(os.path.join(root, path), encoding="utf-8") as source:
        lines = source.read().splitlines()
    for number, line in enumerate(lines, 1):
        try:
            encoded = line.encode(encoding)
        except UnicodeEncodeError as error:
            raise SystemExit(f"release: {path}:{number}: not {encoding}: {error.reason}")
        # In Shift-JIS a double-width character takes two bytes: bytes are columns.
        if len(encoded) > COLUMNS:
            raise SystemExit(f"release: {path}:{number}: {len(encoded)} columns, more than {COLUMNS}")
    return "".join(line + "\r\n" for line in lines).encode(encoding)


with open(os.path.join(build, "korvane.exe"), "rb") as exe:
    program = exe.read()
entries = [
    ("KORVANE.EXE", program),
    ("README.TXT", text("docs/release/README.TXT", "ascii")),
    ("README_J.TXT", text("docs/release/README_J.TXT", "cp932")),
    ("LICENSE.TXT", text("LICENSE", "ascii")),
]

# A zip stores local time to two seconds, from 1980 on: the epoch's UTC time, so stated.
stamp = time.gmtime(min(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800), 4354819198))
date_time = (stamp.tm_year, stamp.tm_mon, stamp.tm_mday, stamp.tm_hour, stamp.tm_min, stamp.tm_sec & ~1)

os.makedirs(release, exist_ok=True)
target = os.path.join(release, name)
partial = target + ".part"
with zipfile.ZipFile(partial, "w") as archive:
    for entry, data in entries:
        info = zipfile.ZipInfo(entry, date_time)
        info.create_system = 0  # MS-DOS: plain files, no Unix owner or mode
        info.external_attr = 0x20  # the archive attribute, as Windows sets it
        info.compress_type = zipfile.ZIP_DEFLATED
        archive.writestr(info, data, compresslevel=9)
os.replace(partial, target)

with open(target, "rb") as archive:
    digest = hashlib.sha256(archive.read()).hexdigest()
with open(os.path.join(release, "SHA256SUMS"), "w", encoding="ascii", newline="\n") as sums:
    sums.write(f"{digest}  {name}\n")
print(f"{target}: {os.path.getsize(target)} bytes, sha256 {digest}")
for entry, data in entries:
    print(f"  {entry:<12} {len(data):>6} bytes")
PYTHON
