#!/usr/bin/env bash
# The demonstration ./run starts when it is given no arguments and no serial
# port is configured: socat makes a virtual serial pair, a headless Korvane
# serves samples/demo-slave.kvw as slave on one end, and Korvane polls it as
# master on the other end (samples/demo-master.kvw, port opened at start).
#
# usage: scripts/demo.sh KORVANE [POLLS]
#        scripts/demo.sh --bus KORVANE [SEEN]
#
# With a display the master is the main window and the demonstration lasts
# until it is closed. Without one the master runs headless too: its status
# lines are printed until POLLS polls (default 5) have answered, or 30 seconds
# have passed, and then everything ends. Every process started here is
# stopped on the way out, whatever ends the script.
#
# --bus: one shared line instead of a pair. korvane-bus (beside KORVANE) joins
# four pseudo-terminals, one per program: two headless Korvane slaves
# (samples/demo-slave.kvw, devices 1-5, and samples/demo-slave-b.kvw, devices
# 21-25), a pymodbus master polling devices 1 and 21 in turn
# (scripts/demo-bus-master.py), and Korvane listening only
# (samples/demo-listener.kvw: slot 1 is device 1, slot 2 device 21), which
# writes nothing and fills its tables from the replies it sees. With a display
# the listener is the main window (choose the address, 1 or 21, to see either
# device) and the demonstration lasts until it is closed; without one it runs
# headless, its status lines are printed until SEEN exchanges (default 40)
# were seen or 30 seconds have passed, and what it kept is shown beside what
# the slaves hold.
set -euo pipefail

bus=0
if [[ ${1:-} == --bus ]]; then
  bus=1
  shift
fi
exe=$1
polls=${2:-5}
root="$(cd "$(dirname "$0")/.." && pwd)"

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

# Holding registers 1-16 of `slot` (1-5) in a saved workspace, two lines.
show_holding() {
  awk -v slot="$2" '/^;HOLDREG/ { n++; next } n == slot && m < 2 { print "    " $0; m++ }' "$1" | tr -d '\r'
}

if ((bus)); then
  seen_wanted=$polls
  [[ -z ${2:-} ]] && seen_wanted=40
  busexe="$(dirname "$exe")/korvane-bus"
  [[ -x $busexe ]] || { echo "demo: $busexe is not built" >&2; exit 1; }
  /usr/bin/python3 -c "import pymodbus.client" 2>/dev/null ||
    { echo "demo: pymodbus (python3-pymodbus) is not installed" >&2; exit 1; }

  # The bus is ready once it has printed "ready" after its nodes.
  mkfifo "$work/bus.out"
  "$busexe" --nodes 4 --link "$work/node" >"$work/bus.out" 2>"$work/bus.log" &
  buspid=$!
  pids+=("$buspid")
  exec 4<"$work/bus.out"
  ready=0
  while IFS= read -r -t 10 line <&4; do
    echo "$line" >>"$work/bus.nodes"
    [[ $line == ready ]] && { ready=1; break; }
  done
  if ((!ready)); then
    echo "demo: korvane-bus did not start" >&2
    cat "$work/bus.log" >&2
    exit 1
  fi
  # Keep reading what the bus prints, so it never blocks on a full pipe.
  cat <&4 >>"$work/bus.nodes" &
  catpid=$!
  pids+=("$catpid")
  exec 4<&-
  master_node="$work/node3"
  listener_node="$work/node4"

  # Each slave is ready once its "Open Port" has come out of the master's node;
  # the bus carries bytes only to nodes a program holds, as head does here.
  n=0
  for sample in demo-slave.kvw demo-slave-b.kvw; do
    n=$((n + 1))
    "$exe" "$root/samples/$sample" --open --headless --port "1=$work/node$n" \
      --save-on-exit "$work/slave$n-saved.kvw" >"$work/slave$n.log" 2>&1 &
    pids+=($!)
    if ! timeout 15 head -c 9 "$master_node" >/dev/null; then
      echo "demo: the slave on node $n did not open its port" >&2
      cat "$work/slave$n.log" >&2
      exit 1
    fi
  done

  # The listener writes nothing: it is ready once it holds its node open.
  listening() {
    local pid=$1 device fd
    device="$(readlink -f "$listener_node")"
    for fd in /proc/"$pid"/fd/*; do
      [[ "$(readlink "$fd" 2>/dev/null)" == "$device" ]] && return 0
    done
    return 1
  }
  wait_listening() {
    local pid=$1
    for _ in $(seq 150); do
      listening "$pid" && return 0
      kill -0 "$pid" 2>/dev/null || return 1
      sleep 0.1
    done
    return 1
  }
  start_master() {
    /usr/bin/python3 "$root/scripts/demo-bus-master.py" "$master_node" >"$work/master.log" 2>&1 &
    pids+=($!)
  }

  echo "Korvane on a shared bus: slaves at devices 1 and 21 on $work/node1 and node2,"
  echo "a pymodbus master on node3, Korvane listening only on node4 (COM1 of each)"
  if [[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ]]; then
    "$exe" "$root/samples/demo-listener.kvw" --listen --open --port "1=$listener_node" &
    listener=$!
    pids+=("$listener")
    wait_listening "$listener" || { echo "demo: the listener did not open its port" >&2; exit 1; }
    start_master
    status=0
    wait "$listener" || status=$?
    exit "$status"
  fi

  echo "No display: the listener runs headless and prints its status line for $seen_wanted exchanges."
  mkfifo "$work/status"
  "$exe" "$root/samples/demo-listener.kvw" --listen --open --headless --port "1=$listener_node" \
    --save-on-exit "$work/listener-saved.kvw" >"$work/status" 2>"$work/listener.log" &
  listener=$!
  pids+=("$listener")
  exec 3<"$work/status"
  wait_listening "$listener" || { echo "demo: the listener did not open its port" >&2; exit 1; }
  start_master
  seen=0
  end=$((SECONDS + 30))
  while ((seen < seen_wanted && SECONDS < end)); do
    if ! IFS= read -r -t $((end - SECONDS)) line <&3; then
      break
    fi
    [[ -z $line ]] && continue
    echo "  $line"
    [[ $line == "Seen: "* ]] && seen=$((seen + 1))
  done
  if ((seen < seen_wanted)); then
    echo "demo: $seen of $seen_wanted exchanges seen" >&2
    cat "$work/listener.log" "$work/master.log" >&2
    exit 1
  fi
  # Stopped by a signal, the listener and the slaves save their workspaces;
  # the bus last, which then prints its byte counts.
  for pid in "${pids[@]}"; do
    [[ $pid == "$buspid" || $pid == "$catpid" ]] || kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    [[ $pid == "$buspid" || $pid == "$catpid" ]] || wait "$pid" 2>/dev/null || true
  done
  kill -TERM "$buspid" 2>/dev/null || true
  wait "$buspid" 2>/dev/null || true
  wait "$catpid" 2>/dev/null || true
  pids=()
  echo "Holding registers 1-16 of device 1: slave, then what the listener kept"
  show_holding "$work/slave1-saved.kvw" 1
  show_holding "$work/listener-saved.kvw" 1
  echo "Holding registers 1-16 of device 21: slave, then what the listener kept"
  show_holding "$work/slave2-saved.kvw" 1
  show_holding "$work/listener-saved.kvw" 2
  echo "Byte counts of the bus (the listener is node 4):"
  grep '^node [0-9]*: wrote' "$work/bus.nodes" | sed 's/^/  /'
  echo "Demonstration done: $seen exchanges seen."
  exit 0
fi

command -v socat >/dev/null || { echo "demo: socat is not installed" >&2; exit 1; }

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
show_holding "$work/master-saved.kvw" 1 | sed 's/^  //'
echo "Demonstration done: $ok polls answered."
