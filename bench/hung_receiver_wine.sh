#!/bin/sh
# Under Wine: how long 10 separate `mmfcast-cli send` processes take in all, first with every
# receiver answering, then with one receiver that never answers (started last, so Wine does not
# yet count it hung and only the broadcast's deadline and the session-wide mark stand between it
# and the senders). Run from the top of the source tree after `cmake --build --preset mingw-x64`.
#   bench/hung_receiver_wine.sh [BUILD_DIR]
set -eu
build=$(cd "${1:-build/mingw-x64}" && pwd)
prefix=$build/wineprefix
# The senders start wine directly: the test runner's relays would add their own start-up time.
send() {
  WINEPREFIX=$prefix WINEDEBUG=-all LC_ALL=C.UTF-8 /usr/lib/wine/wine64 "$build/cli/mmfcast-cli.exe" send "$@" </dev/null
}
# Prints each send's time and the total, in ms.
ten_sends() {
  start=$(date +%s%N)
  each=
  for i in 1 2 3 4 5 6 7 8 9 10; do
    t=$(date +%s%N)
    send "line $i" >/dev/null
    each="$each $(( ($(date +%s%N) - t) / 1000000 ))"
  done
  echo "$(( ($(date +%s%N) - start) / 1000000 )) (each:$each)"
}
listen_out=$(mktemp)
# Started as the script itself (not through a function's subshell), so that killing it ends the
# Windows program too.
cmake/wine_run.sh "$prefix" "$build/cli/mmfcast-cli.exe" listen >"$listen_out" 2>&1 &
listener=$!
sleep 2
echo "10 sends, every receiver answering: $(ten_sends) ms"
fifo=$(mktemp -u); mkfifo "$fifo"
cmake/wine_run.sh "$prefix" "$build/tests/mmfcast_child.exe" unresponsive <"$fifo" >/dev/null 2>&1 &
hung=$!
exec 9>"$fifo"
sleep 2
echo "10 sends, one receiver hung:       $(ten_sends) ms"
kill "$hung" "$listener" 2>/dev/null || true
wait "$hung" "$listener" 2>/dev/null || true
exec 9>&-
rm -f "$fifo"
echo "lines the listener printed: $(grep -c '^line ' "$listen_out" || true) of 20"
rm -f "$listen_out"
