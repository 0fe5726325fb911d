#!/usr/bin/env bash
# Installs the Debian packages Korvane needs to build, test and run.
# Idempotent: returns at once when everything is already present.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev libgl-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  liblzma-dev xz-utils binutils
  socat mbpoll python3 python3-pymodbus python3-serial libmodbus-dev
  xvfb xauth x11-utils imagemagick
  fp-utils clang libclang-rt-14-dev clang-format
  libqt6svg6 dpkg-dev at-spi2-core python3-pyatspi dbus-x11
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
