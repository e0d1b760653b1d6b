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

korvane_setup() {
  # hivex reads and writes offline installations' hives; regtree (registry-tools) reads them
  # back in the tests as an independent reader.
  local packages=(cmake ninja-build g++ make pkg-config libgtest-dev googletest python3 libhivex-dev libhivex-bin
                  registry-tools)
  if [ "${1:-native}" = all ]; then
    packages+=(mingw-w64 binutils-mingw-w64 wine wine64 xvfb xauth x11-utils locales imagemagick fonts-ipafont-gothic)
  fi
  korvane_apt_install "${packages[@]}"
  if [ "${1:-native}" = all ] && ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    # The Japanese runs under Wine take their language and code page from this locale.
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
    $sudo locale-gen >/dev/null
  fi
}
