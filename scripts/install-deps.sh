#!/usr/bin/env bash
# Installs the Debian packages Korvane needs to build, test and run.
# Idempotent: returns at once when everything is already present.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev libgl-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  liblzma-dev xz-utils binutils
  socat mbpoll python3 python3-pymodbus python3-serial python3-serial-asyncio libmodbus-dev
  xvfb xauth x11-utils imagemagick libxcb1-dev
  fp-utils clang libclang-rt-14-dev clang-format clang-tidy
  libqt6svg6 dpkg-dev at-spi2-core python3-pyatspi dbus-x11
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# Every program and Python module the tests and their peers call, checked after the install so
# that a missing step fails here in seconds, with its name, instead of as a broken peer test.
self_check() {
  local absent=()
  local prog
  for prog in cmake ninja c++ clang clang-format clang-tidy socat mbpoll xvfb-run Xvfb xauth xwininfo \
    convert chmcmd objcopy xz dpkg-deb dbus-launch setpriv; do
    command -v "$prog" >/dev/null 2>&1 || absent+=("program $prog")
  done
  [ -x /usr/libexec/at-spi-bus-launcher ] || absent+=("program /usr/libexec/at-spi-bus-launcher")
  # The tests run Debian's own interpreter: its modules are the ones the packages install.
  local mod
  for mod in pymodbus.client pymodbus.server pymodbus.datastore pymodbus.transaction serial \
    serial_asyncio pyatspi gi; do
    /usr/bin/python3 -c "import $mod" >/dev/null 2>&1 || absent+=("python module $mod")
  done
  if [ ${#absent[@]} -ne 0 ]; then
    printf 'install-deps: missing after install: %s\n' "${absent[@]}" >&2
    return 1
  fi
}

if [ ${#missing[@]} -eq 0 ]; then
  self_check
  exit $?
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2

self_check
