#!/usr/bin/env bash
# Builds the Debian package of Korvane:
#   scripts/package.sh [BUILD_DIR]     (default: build-package)
# leaves BUILD_DIR/korvane_<version>_<arch>.deb, to be installed with
#   sudo apt-get install ./build-package/korvane_*.deb
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-package}"

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_BENCH=OFF -DKORVANE_BUILD_FUZZ=OFF
cmake --build "$build" -j "$(nproc)"
(cd "$build" && cpack -G DEB)
ls -1 "$build"/korvane_*.deb
