#!/bin/sh
# Under Wine: how long 10 separate `mmfcast-cli send` processes take in all, first with every
# receiver answering, then with one receiver that never answers (started last, so Wine does not
# yet count it hung and only the broadcast's deadline and the session-wide mark stand between it
# and the senders) beside a listening copy, then with a new such receiver and no copy running
# at all. Then where the hung run's time goes: the first send's wait for the deadline, and the
# other sends next to Wine starting as many programs. A send beside a hung receiver reports it
# not reached (exit status 5). Run from the top of the source tree after
# `cmake --build --preset mingw-x64`.
#   bench/hung_receiver_wine.sh [BUILD_DIR]
set -eu
build=$(cd "${1:-build/mingw-x64}" && pwd)
# A prefix of its own: in the tests' prefix the two would share one Windows session, and the
# sends here would write into the area the tests read (and the tests' windows get these
# notifications).
prefix=$build/wineprefix-bench
cli=$build/cli/mmfcast-cli.exe
child=$build/tests/mmfcast_child.exe
# The programs timed start wine directly: the test runner's relays would add their own start-up
# time.
run() {
  WINEPREFIX=$prefix WINEDEBUG=-all LC_ALL=C.UTF-8 /usr/lib/wine/wine64 "$@" </dev/null >/dev/null
}
ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }
# Runs the command 10 times, with the run's number as its last argument; prints the sum of the
# runs' times and each run's time, in ms. A run that ends with another status than $expected
# is marked with "!".
expected=0
ten() {
  each=
  for i in 1 2 3 4 5 6 7 8 9 10; do
    t=$(date +%s%N)
    status=0
    "$@" "$i" || status=$?
    mark=
    [ "$status" -eq "$expected" ] || mark=!
    each="$each $(ms_since "$t")$mark"
  done
  echo "$(echo "$each" | tr -d '!' | awk '{ for (i = 1; i <= NF; i++) sum += $i } END { print sum }') $each"
}
sends() { run "$cli" send "line $1" 2>/dev/null; }
starts() { run "$cli" --version; }
windows() { run "$child" window-once; }
# The median of the numbers given.
median() { printf '%s\n' "$@" | tr -d '!' | sort -n | sed -n "$((($# + 1) / 2))p"; }

# The prefix is made (and its server started) before anything is timed or listened on.
cmake/wine_run.sh "$prefix" "$cli" --version >/dev/null
listen_out=$(mktemp)
# Started as the script itself (not through a function's subshell), so that killing it ends the
# Windows program too.
cmake/wine_run.sh "$prefix" "$cli" listen >"$listen_out" 2>&1 &
listener=$!
sleep 2
runs=$(ten sends)
all=$runs
set -- $runs
answering=$1
echo "10 sends, every receiver answering: $answering ms (each: $(shift; echo "$@"))"
fifo=$(mktemp -u)
mkfifo "$fifo"
cmake/wine_run.sh "$prefix" "$child" unresponsive <"$fifo" >/dev/null 2>&1 &
hung=$!
exec 9>"$fifo"
sleep 2
expected=5
runs=$(ten sends)
all="$all $runs"
set -- $runs
total=$1
shift
first=${1%!}
shift
echo "10 sends, one receiver hung, a copy listening: $total ms (each: $first $*)"
# The deadline: what the first send took beyond a usual one.
deadline=$((first - $(median $(printf '%s\n' "$@" | tr -d '!'))))
send=$(median "$@")
# The programs the split compares a send with, run after the sends (run between them, their
# ends would slow the sends down).
expected=0
starts=$(ten starts)
windows=$(ten windows)
all="$all $starts $windows"
start=$(median ${starts#* })
window=$(median ${windows#* })
echo "each send after the first (median): $send ms; Wine starting mmfcast-cli --version: $start ms, a program that makes one window: $window ms"
# A send makes no window, but its first look at the windows sets up the program's desktop as a
# first window does: what the sends after the first cost beyond that is our joining and sending.
echo "split of the hung run: deadline $deadline ms; the other nine sends $((total - first)) ms, against $((9 * window)) ms for Wine starting nine programs that make one window"
kill "$hung" "$listener" 2>/dev/null || true
wait "$hung" "$listener" 2>/dev/null || true
# No copy running: what a sender learnt must outlast it for the next one to skip the window.
cmake/wine_run.sh "$prefix" "$child" unresponsive <"$fifo" >/dev/null 2>&1 &
hung=$!
sleep 2
expected=5
runs=$(ten sends)
all="$all $runs"
set -- $runs
echo "10 sends, one receiver hung, no copy running: $1 ms (each: $(shift; echo "$@"))"
kill "$hung" 2>/dev/null || true
wait "$hung" 2>/dev/null || true
exec 9>&-
rm -f "$fifo"
heard=$(grep -c '^line ' "$listen_out" || true)
echo "lines the listener printed: $heard of 20"
[ "$heard" -eq 20 ] || sed 's/^/  listener: /' "$listen_out" | grep -v '^  listener: line ' | head -5
rm -f "$listen_out"
failed=$(printf '%s\n' $all | grep -c '!' || true)
[ "$failed" -eq 0 ] || {
  echo "$failed runs failed (marked !)"
  exit 1
}
