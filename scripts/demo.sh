#!/usr/bin/env bash
# The demonstration ./run starts when it is given no arguments and no serial
# port is configured: socat makes a virtual serial pair, a headless Korvane
# serves samples/demo-slave.kvw as slave on one end, and Korvane polls it as
# master on the other end (samples/demo-master.kvw, port opened at start).
#
# usage: scripts/demo.sh KORVANE [POLLS]
#
# With a display the master is the main window and the demonstration lasts
# until it is closed. Without one the master runs headless too: its status
# lines are printed until POLLS polls (default 5) have answered, or 30 seconds
# have passed, and then everything ends. Every process started here is
# stopped on the way out, whatever ends the script.
set -euo pipefail

exe=$1
polls=${2:-5}
root="$(cd "$(dirname "$0")/.." && pwd)"

command -v socat >/dev/null || { echo "demo: socat is not installed" >&2; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/korvane-demo.XXXXXX")"
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

slave_end="$work/slave-end"
master_end="$work/master-end"

# The pair exists once socat has made both links.
socat -d -d "pty,raw,echo=0,link=$slave_end" "pty,raw,echo=0,link=$master_end" \
  2>"$work/socat.log" &
pids+=($!)
for _ in $(seq 100); do
  [[ -e $slave_end && -e $master_end ]] && break
  kill -0 "${pids[0]}" 2>/dev/null || break
  sleep 0.1
done
if [[ ! -e $slave_end || ! -e $master_end ]]; then
  echo "demo: socat made no serial pair" >&2
  cat "$work/socat.log" >&2
  exit 1
fi

# The slave is ready once its "Open Port" has come out of the master's end;
# reading it there also keeps it away from the master.
"$exe" "$root/samples/demo-slave.kvw" --open --headless --port "1=$slave_end" \
  >"$work/slave.log" 2>&1 &
pids+=($!)
if ! timeout 15 head -c 9 "$master_end" >/dev/null; then
  echo "demo: the slave did not open its port" >&2
  cat "$work/slave.log" >&2
  exit 1
fi

echo "Korvane demonstration: slave on $slave_end, master on $master_end (COM1 of each)"
if [[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ]]; then
  # In the background and waited for, so that a signal to this script ends
  # the window too, and the pair and the slave end when the window closes.
  "$exe" "$root/samples/demo-master.kvw" --open --port "1=$master_end" &
  pids+=($!)
  status=0
  wait "${pids[-1]}" || status=$?
  exit "$status"
fi

echo "No display: the master runs headless and prints its status line for $polls polls."
mkfifo "$work/status"
"$exe" "$root/samples/demo-master.kvw" --open --headless --port "1=$master_end" \
  --save-on-exit "$work/master-saved.kvw" >"$work/status" 2>"$work/master.log" &
master=$!
pids+=("$master")
exec 3<"$work/status"
ok=0
end=$((SECONDS + 30))
while ((ok < polls && SECONDS < end)); do
  if ! IFS= read -r -t $((end - SECONDS)) line <&3; then
    break
  fi
  [[ -z $line ]] && continue
  echo "  $line"
  [[ $line == *" Data OK" ]] && ok=$((ok + 1))
done
if ((ok < polls)); then
  echo "demo: $ok of $polls polls answered" >&2
  cat "$work/master.log" >&2
  exit 1
fi
# Stopped by a signal, the master saves its workspace: show what it received.
kill -TERM "$master"
wait "$master" || true
echo "Holding registers 1-16 as the master stored them:"
awk '/^;HOLDREG/ { n++; next } n == 1 && m < 2 { print "  " $0; m++ }' \
  "$work/master-saved.kvw" | tr -d '\r'
echo "Demonstration done: $ok polls answered."
