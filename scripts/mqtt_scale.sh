#!/bin/bash
# Lines through one mosquitto on 127.0.0.1 between bridged sessions, from one run:
#   scripts/mqtt_scale.sh [BUILD_DIR] [LINES] [SESSIONS...]
# For 1 session: LINES sent in it, timed until mosquitto_sub has them all (the bridge's
# publishing alone). For N sessions: each sends LINES at once, timed until every session's
# listener has heard the (N-1)*LINES of the others; each listener's lines are then checked:
# every line of every other session once, in its sender's order.
set -euo pipefail
build=${1:-build/dev}
lines=${2:-20000}
shift 2 || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1 2 10)
cli=$(realpath "$build/cli/mmfcast-cli")
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\nset_tcp_nodelay true\n' \
  "$port" >"$work/mosquitto.conf"
mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
pids+=($!)
sleep 0.5
now() { date +%s.%N; }

for n in "${counts[@]}"; do
  run=$work/run-$n
  mkdir -p "$run"
  for ((s = 1; s <= n; s++)); do
    mkdir -m 700 "$run/s$s"
    "$cli" bridge --mqtt "mqtt://127.0.0.1:$port/scale/$n" --session-dir "$run/s$s" \
      2>"$run/bridge$s.err" &
    pids+=($!)
  done
  for ((s = 1; s <= n; s++)); do
    until grep -q relaying "$run/bridge$s.err"; do sleep 0.05; done
  done
  if [ "$n" -eq 1 ]; then
    mosquitto_sub -p "$port" -t "scale/1" -C "$lines" >"$run/sub.out" &
    sub=$!
    sleep 0.3
    start=$(now)
    seq -f "s1 %g" 1 "$lines" | "$cli" send --session-dir "$run/s1" - || true
    wait "$sub"
    end=$(now)
    heard=$(wc -l <"$run/sub.out")
    awk -v l="$heard" -v a="$start" -v b="$end" \
      'BEGIN { printf "1 session: %d lines published in %.2f s: %.0f lines/s\n", l, b - a, l / (b - a) }'
    continue
  fi
  expected=$(((n - 1) * lines + lines))  # the others' lines and its own sender's
  listeners=()
  for ((s = 1; s <= n; s++)); do
    "$cli" listen --session-dir "$run/s$s" --count "$expected" --timeout 60 >"$run/heard$s" &
    listeners+=($!)
  done
  sleep 0.5
  start=$(now)
  for ((s = 1; s <= n; s++)); do
    (seq -f "s$s %g" 1 "$lines" | "$cli" send --session-dir "$run/s$s" - 2>"$run/send$s.err" || true) &
  done
  failed=0
  for pid in "${listeners[@]}"; do wait "$pid" || failed=1; done
  end=$(now)
  for ((s = 1; s <= n; s++)); do
    for ((o = 1; o <= n; o++)); do
      got=$(grep -c "^s$o " "$run/heard$s" || true)
      if [ "$got" -ne "$lines" ] || ! grep "^s$o " "$run/heard$s" | cut -d' ' -f2 |
        sort -nc 2>/dev/null; then
        echo "session $s heard $got of session $o's $lines lines, or out of order"
        failed=1
      fi
    done
  done
  awk -v n="$n" -v l="$lines" -v a="$start" -v b="$end" 'BEGIN {
    printf "%d sessions, %d lines each: all heard in %.2f s: %.0f lines/s sent, %.0f lines/s delivered across the broker\n",
      n, l, b - a, n * l / (b - a), n * (n - 1) * l / (b - a) }'
  [ "$failed" -eq 0 ] || echo "  (some lines missing; see the bridges' messages in $run)"
  for ((s = 1; s <= n; s++)); do
    kill "${pids[-s]}" 2>/dev/null || true
  done
done
