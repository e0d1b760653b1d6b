# Installs what the build and the tests need on a Debian machine, skipping what is there.
# Sourced by run.sh and test.sh:  korvane_setup native|all

korvane_apt_install() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "setup: installing ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
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
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo dpkg --add-architecture i386
  fi
  korvane_apt_install wine32:i386
}

korvane_setup() {
  # hivex reads and writes offline installations' hives; regtree (registry-tools) reads them
  # back in the tests as an independent reader; ntfs-3g mounts the NTFS disk on which the tests
  # check that a saved hive keeps its Windows security descriptor.
  local packages=(cmake ninja-build g++ make pkg-config libgtest-dev googletest python3 libhivex-dev libhivex-bin
                  registry-tools ntfs-3g)
  if [ "${1:-native}" = all ]; then
    # fonts-wine: Wine's own fonts, Marlett among them, which draws the caption's buttons.
    packages+=(mingw-w64 binutils-mingw-w64 wine wine64 xvfb xauth x11-utils locales imagemagick fonts-ipafont-gothic
               fonts-wine)
  fi
  korvane_apt_install "${packages[@]}"
  if [ "${1:-native}" = all ]; then
    korvane_setup_wine32
  fi
  if [ "${1:-native}" = all ] && ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    # The Japanese runs under Wine take their language and code page from this locale.
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
    $sudo locale-gen >/dev/null
  fi
}
