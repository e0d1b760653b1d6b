#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, with apt-get as root or
# through sudo, skipping what is there:
#   scripts/setup.sh [native|all|bench] native: korvane-sim and its tests (the default);
#                                     all: also the Windows builds, Wine, Xvfb and fonts;
#                                     bench: native, and the tools bench/other_tools.sh times
# run.sh, test.sh and fuzz.sh source it and call korvane_setup native|all. Without root and
# without sudo it names what to install and fails.

# Prints the command prefix that runs $@ as root ("" or "sudo"); fails, naming what to run
# as root, when neither is at hand.
korvane_as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    echo ""
  elif command -v sudo >/dev/null 2>&1; then
    echo "sudo"
  else
    echo "setup: this needs root, and sudo is not installed; as root, run:" >&2
    echo "  $*" >&2
    return 1
  fi
}

korvane_apt_install() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo
  sudo=$(korvane_as_root apt-get install --no-install-recommends "${missing[@]}") || return 1
  echo "setup: installing ${missing[*]}" >&2
  $sudo apt-get update -qq || return 1
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The i686 build runs in a 32-bit Wine prefix, which needs Debian's 32-bit Wine: installed
# only where the kernel runs 32-bit programs (some are built or booted without that); the
# Wine tests ask the kernel the same way and report the i686 cases as skipped where it cannot.
korvane_setup_wine32() {
  local check
  check=$(KORVANE_WINE_ARCH=win32 python3 "$(dirname "${BASH_SOURCE[0]}")/../tests/wine/winehost.py" check-arch) || {
    echo "setup: no 32-bit Wine: ${check#SKIPPED: }" >&2
    return 0
  }
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    local sudo
    sudo=$(korvane_as_root dpkg --add-architecture i386) || return 1
    $sudo dpkg --add-architecture i386 || return 1
  fi
  korvane_apt_install wine32:i386
}

# The Japanese runs under Wine take their language and code page from this locale.
korvane_setup_japanese_locale() {
  locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$' && return 0
  local sudo
  sudo=$(korvane_as_root "sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen && locale-gen") || return 1
  $sudo sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen || return 1
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
  $sudo locale-gen >/dev/null
}

korvane_setup() {
  # hivex reads and writes offline installations' hives; regtree (registry-tools) reads them
  # back in the tests as an independent reader; python3-jsonschema checks the reports against
  # their schema and groff the manual page; ntfs-3g mounts the NTFS disk on which the tests
  # check that a saved hive keeps its Windows security descriptor.
  local packages=(cmake ninja-build g++ make pkg-config libgtest-dev googletest python3 libhivex-dev libhivex-bin
                  registry-tools python3-jsonschema groff-base ntfs-3g)
  if [ "${1:-native}" = all ]; then
    # fonts-wine: Wine's own fonts, Marlett among them, which draws the caption's buttons.
    # icoutils: wrestool, which reads korvane.exe's version resource in the tests.
    packages+=(mingw-w64 binutils-mingw-w64 wine wine64 xvfb xauth x11-utils locales imagemagick fonts-ipafont-gothic
               fonts-wine icoutils)
  fi
  # The registry tools a user might otherwise use on a hive, which the benchmarks time beside
  # korvane-sim: hivexregedit (libwin-hivex-perl) and reged (chntpw); GNU time measures them.
  [ "${1:-native}" = bench ] && packages+=(libwin-hivex-perl chntpw time)
  korvane_apt_install "${packages[@]}" || return 1
  if [ "${1:-native}" = all ]; then
    korvane_setup_wine32 || return 1
    korvane_setup_japanese_locale || return 1
  fi
}

# Run rather than sourced: set up, build nothing.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-native}" in
    native|all|bench) korvane_setup "${1:-native}" || exit 1 ;;
    *) echo "usage: scripts/setup.sh [native|all|bench]" >&2; exit 2 ;;
  esac
fi
