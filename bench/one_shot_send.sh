#!/usr/bin/env bash
# A one-shot `mmfcast-cli send` to one `mmfcast-cli listen`, next to `dbus-send` of one signal
# on a private session bus watched by one `dbus-monitor`, in one run: the two take turns, RUNS
# times each, and the script prints each one's median and mean wall time per process and the
# system calls of one run of each (strace -c -f). Run it pinned (`taskset -c 0`) to compare
# CPU cost, as the fan-out benchmark is.
#   [TMPDIR=/run/user/$UID] bench/one_shot_send.sh [BUILD_DIR] [RUNS]   (default build/release, 200)
# The session directory goes under $TMPDIR (default /tmp): a desktop's is on tmpfs.
set -euo pipefail

build=${1:-build/release}
runs=${2:-200}
cli=$(realpath "$build/cli/mmfcast-cli")
for tool in dbus-daemon dbus-send dbus-monitor strace; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (apt-get install dbus strace)" >&2; exit 2; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/mmfcast-one-shot-XXXXXX")
export MMFCAST_SESSION_DIR=$work/session
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A private bus, so that the figures owe nothing to a desktop's own.
address=$(dbus-daemon --session --fork --print-address=1 --print-pid=3 3>"$work/bus.pid")
pids+=("$(cat "$work/bus.pid")")
export DBUS_SESSION_BUS_ADDRESS=$address
dbus-monitor --session "type='signal',interface='org.mmfcast.Bench'" >/dev/null &
pids+=($!)
"$cli" listen >/dev/null &
pids+=($!)
until compgen -G "$MMFCAST_SESSION_DIR/peer-*.sock" >/dev/null; do sleep 0.05; done
sleep 0.3

ours=("$cli" send "a line of text of ordinary length")
theirs=(dbus-send --session --type=signal /org/mmfcast/Bench org.mmfcast.Bench.Line
  "string:a line of text of ordinary length")
"${ours[@]}"
"${theirs[@]}"

: >"$work/ours" && : >"$work/theirs"
for ((i = 0; i < runs; ++i)); do
  for kind in ours theirs; do
    declare -n command=$kind
    start=${EPOCHREALTIME/./}
    "${command[@]}"
    echo $((${EPOCHREALTIME/./} - start)) >>"$work/$kind"
  done
done

summary() { # FILE
  sort -n "$1" | awk '{ v[NR] = $1; s += $1 } END { printf "median %.2f ms, mean %.2f ms", v[int((NR + 1) / 2)] / 1000, s / NR / 1000 }'
}
calls() { # COMMAND...
  strace -f -c -o "$work/strace" "$@" && awk '$NF == "total" { print $(NF - 2) }' "$work/strace"
}
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "mmfcast-cli send: $(summary "$work/ours"), $(calls "${ours[@]}") system calls"
echo "dbus-send:        $(summary "$work/theirs"), $(calls "${theirs[@]}") system calls"
