#!/usr/bin/env bash
# The session transport at scale, between real mmfcast-cli copies in a private session
# directory: 300 listeners through file removal and `rm -rf`, a sender short of descriptors,
# 300 senders started at once, senders pushed out at a listener's connection limit, and
# waiters behind a stopped send-lock holder, and 1,000 listeners hearing one sender. Prints one
# line of figures per case; not part of the test command (it takes a few minutes and loads the
# machine). THOUSAND_ONLY=1 runs only the last case.
#   scripts/transport_scale.sh [BUILD_DIR]   (default build/dev)
set -uo pipefail

build=${1:-build/dev}
cli=$(realpath "$build/cli/mmfcast-cli")
child=$(realpath "$build/tests/mmfcast_child")
work=$(mktemp -d /tmp/mmfcast-scale-XXXXXX)
dir=$work/session
export MMFCAST_SESSION_DIR=$dir
listeners=${LISTENERS:-300}
pids=()

cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

now_ms() { date +%s%3N; }
sockets() { find "$dir" -maxdepth 1 -name 'peer-*.sock' 2>/dev/null | wc -l; }
wait_sockets() { # N SECONDS
  local until=$(($(now_ms) + $2 * 1000))
  while (($(sockets) < $1)) && (($(now_ms) < until)); do sleep 0.05; done
  sockets
}
# How many listener outputs hold the line exactly.
heard_by() { grep -lxF -- "$1" "$work"/out.* 2>/dev/null | wc -l; }

start_listeners() {
  for i in $(seq 1 "$listeners"); do
    "$cli" listen >"$work/out.$i" 2>"$work/err.$i" &
    pids+=($!)
  done
  echo "listeners: $(wait_sockets "$listeners" 60) of $listeners published" \
    "($(cat /proc/sys/fs/inotify/max_user_instances) inotify instances allowed per user)"
}

# ---- 7. 1,000 listeners and one sender ------------------------------------------------------
# Each line is sent by a new process, so its time includes starting the program and connecting
# to every listener; the listeners' output is read once all of them have answered.
thousand_listeners() {
  local n=${THOUSAND:-1000} start took status msg i
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  pids=()
  rm -rf "$dir" "$work"/out.* "$work"/err.*
  local saved=$listeners
  listeners=$n
  start_listeners
  listeners=$saved
  for i in 1 2 3; do
    start=$(now_ms)
    msg=$("$cli" send "thousand-$i" 2>&1)
    status=$?
    took=$(($(now_ms) - start))
    sleep 1
    echo "case 7 ($n listeners, one sender): send $i took ${took} ms, status $status," \
      "heard by $(heard_by "thousand-$i")/$n${msg:+; says: $msg}"
  done
  echo "case 7: listeners that wrote to standard error: $(find "$work" -name 'err.*' -size +0 | wc -l)"
}
if [[ ${THOUSAND_ONLY:-} == 1 ]]; then
  thousand_listeners
  exit 0
fi

# ---- 1. files removed, directory kept -------------------------------------------------------
start_listeners
"$cli" send one
before=$(now_ms)
rm -f "$dir"/*
wait_sockets "$listeners" 10 >/dev/null
republished=$(($(now_ms) - before))
status=0
for t in two three four five; do "$cli" send "$t" || status=$?; done
stale=$(grep -c -x one "$work"/out.* | awk -F: '$2 > 1' | wc -l)
echo "case 1 (rm -f files, dir kept): republished in ${republished} ms; 'five' heard by" \
  "$(heard_by five)/$listeners, 'two' by $(heard_by two)/$listeners; listeners showing" \
  "'one' again: $stale; last send status $status"

# ---- 2 and 5. rm -rf of the busy session -----------------------------------------------------
"$cli" send before-rm >/dev/null
rm_out=$(rm -rf "$dir" 2>&1)
rm_status=$?
start=$(now_ms)
n=0
while (($(heard_by "after-rm-$n") < listeners)) && (($(now_ms) - start < 10000)); do
  n=$((n + 1))
  "$cli" send "after-rm-$n" 2>/dev/null
done
all_ms=$(($(now_ms) - start))
echo "case 2/5 (rm -rf, 300 listeners, most without an inotify watch): rm status $rm_status" \
  "${rm_out:+($rm_out)}; all $listeners heard a line ${all_ms} ms after rm returned" \
  "(line $n heard by $(heard_by "after-rm-$n")/$listeners)"
wait_sockets "$listeners" 10 >/dev/null

# ---- 4. a sender short of descriptors --------------------------------------------------------
start=$(now_ms)
msg=$( (ulimit -n 64 && "$cli" send "few-descriptors") 2>&1)
status=$?
echo "case 4 (sender with ulimit -n 64, $listeners listeners): status $status in" \
  "$(($(now_ms) - start)) ms, heard by $(heard_by few-descriptors)/$listeners; says: $msg"
start=$(now_ms)
msg=$( (ulimit -S -n 64 && "$cli" send "soft-limit-only") 2>&1)
status=$?
echo "case 4b (soft limit 64, hard limit $(ulimit -H -n)): status $status in" \
  "$(($(now_ms) - start)) ms, heard by $(heard_by soft-limit-only)/$listeners${msg:+; says: $msg}"

# ---- 6. 300 one-line senders started at once -------------------------------------------------
for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
wait 2>/dev/null
pids=()
rm -rf "$dir" "$work"/out.* "$work"/err.*
"$cli" listen >"$work/out.one" &
pids+=($!)
wait_sockets 1 10 >/dev/null
start=$(now_ms)
failed=0
(
  for i in $(seq 1 300); do "$cli" send "burst-$i" >/dev/null 2>&1 & done
  wait
  times >"$work/times"
)
took=$(($(now_ms) - start))
echo "case 6 (300 one-line senders at once): $(grep -c '^burst-' "$work/out.one")/300 lines" \
  "at the listener, ${took} ms until all exited; CPU of the senders (user sys):" \
  "$(tail -1 "$work/times")"

# ---- 3. senders pushed out at the 256-connection limit ---------------------------------------
start=$(now_ms)
(
  for i in $(seq 1 280); do
    { echo "push-$i-a"; sleep 2; echo "push-$i-b"; sleep 2; echo "push-$i-c"; } |
      "$cli" send - >/dev/null 2>"$work/push-err.$i" &
  done
  wait
)
echo "case 3 (280 long-lived senders, 3 lines each, 256 connections kept): " \
  "$(grep -c '^push-' "$work/out.one")/840 lines at the listener in $(($(now_ms) - start)) ms;" \
  "senders reporting a failure: $(find "$work" -name 'push-err.*' -size +0 | wc -l)"

# ---- 6b. waiters behind a stopped send-lock holder -------------------------------------------
coproc holder { "$child" lock-hold 60000; }
read -r _ <&"${holder[0]}"
read -r _ <&"${holder[0]}"
kill -STOP "$holder_PID"
(
  for i in $(seq 1 50); do "$cli" send "waiter-$i" >/dev/null 2>&1 & done
  wait
  times >"$work/times"
)
kill -KILL "$holder_PID" 2>/dev/null
echo "case 6b (50 senders behind a stopped holder, taken over after 2 s):" \
  "$(grep -c '^waiter-' "$work/out.one")/50 lines; CPU of the waiters (user sys): $(tail -1 "$work/times")"

thousand_listeners
