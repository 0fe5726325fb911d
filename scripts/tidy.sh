#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy at the top of the tree) over the Qt-free layers: the Modbus
# engine, the serial component with its platform layer and port control, the application,
# configuration, monitor and help cores, and the setup loader. Uses the compile commands of
# the ci build (cmake --preset ci writes them; nothing has to be built first). Fails on any
# finding but the complexity report, which is shown as a warning.
#   scripts/tidy.sh [build folder]      (default build/ci)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/ci}
tidy=clang-tidy
command -v "$tidy" >/dev/null 2>&1 || { echo "tidy: $tidy not found (package clang-tidy)" >&2; exit 1; }
if [ ! -f "$build/compile_commands.json" ]; then
  echo "tidy: $build/compile_commands.json is missing: run cmake --preset ci first" >&2
  exit 1
fi

# The sources of those layers in the compile commands (once each), and a header filter for the
# headers beside them; generated sources and the windows stay out.
layers='(modbus|serial|app/core|config/core|monitor/core|help/core|loader|bus)/'
filter=$(/usr/bin/python3 -c 'import re, sys; print("^" + re.escape(sys.argv[1]) + "/" + sys.argv[2])' \
  "$PWD" "$layers")
mapfile -t files < <(/usr/bin/python3 - "$build/compile_commands.json" "$filter" <<'PY'
import json, re, sys
match = re.compile(sys.argv[2])
for f in sorted({e["file"] for e in json.load(open(sys.argv[1]))}):
    if match.search(f):
        print(f)
PY
)
if [ ${#files[@]} -eq 0 ]; then
  echo "tidy: no sources of the Qt-free layers in $build/compile_commands.json" >&2
  exit 1
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# One clang-tidy per source, two at a time; each writes its own file so findings never mix.
# The compile commands are GCC's: clang does not know some of its warning options.
tidy_one() {
  local name
  name=$(printf '%s' "$1" | tr '/' '_')
  "$tidy" -p "$build" --quiet --header-filter="$filter" --extra-arg=-Wno-unknown-warning-option \
    "$1" >"$out/$name.txt" 2>&1 || { echo "$1" >>"$out/failed.list"; }
}
export -f tidy_one
export tidy build filter out
echo "clang-tidy over ${#files[@]} sources of the Qt-free layers ($build)"
printf '%s\0' "${files[@]}" | xargs -0 -n 1 -P 2 bash -c 'tidy_one "$0"'
for f in "$out"/*.txt; do grep -v -e '^[0-9]* warnings\? generated\.$' "$f" || true; done
if [ -s "$out/failed.list" ]; then
  echo "tidy: findings in:" >&2
  sed 's/^/  /' "$out/failed.list" >&2
  exit 1
fi
echo "tidy: clean"
