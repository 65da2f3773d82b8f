#!/bin/sh
# Runs a Windows program under wine64 in a private, headless prefix (the first argument),
# creating the prefix on first use with the null graphics driver. The wineserver and Wine's
# system processes are started detached from the caller's output and kept for a while, so a
# test ends when its program does instead of when Wine's background processes let go of it.
# The program's exit status is the script's.
set -eu
prefix=$1; shift
# winemenubuilder is off, so that nothing run here (an installer's shortcut, the prefix's file
# types) adds entries to the desktop's menus or file associations in the user's home.
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Wine takes the ANSI code page from the locale (C.UTF-8 gives 1252, ja_JP.UTF-8 gives 932), so
# it is fixed here unless MMFCAST_WINE_LOCALE asks for another.
export LC_ALL="${MMFCAST_WINE_LOCALE:-C.UTF-8}"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
mkdir -p "$prefix"
(
  # Nothing started here may inherit the lock, or a long-lived server would hold it.
  flock 9
  if [ ! -f "$prefix/.mmfcast-ready" ]; then
    "$wine" wineboot -i </dev/null >/dev/null 2>&1 9>&- || true
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 9>&-
    "$wineserver" -k </dev/null >/dev/null 2>&1 9>&- || true
    "$wineserver" -w </dev/null >/dev/null 2>&1 9>&- || true
    touch "$prefix/.mmfcast-ready"
  fi
  # Exit status 0 means no server was running for the prefix and this one now is.
  if "$wineserver" -p30 </dev/null >/dev/null 2>&1 9>&-; then
    "$wine" wineboot </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$prefix.lock"

# Wine starts its desktop process (explorer.exe) from the first program that makes a window, and
# that process keeps the program's standard output and error for a second or so after the
# program ends. The program therefore writes to files that are relayed as they grow, and the
# relay ends with the program itself.
out=$(mktemp "$prefix/.run.XXXXXX") err=$(mktemp "$prefix/.run.XXXXXX")
pid=
trap 'rm -f "$out" "$err"' EXIT
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; exit 143' TERM INT HUP
if (exec 3<&0) 2>/dev/null; then exec 3<&0; else exec 3</dev/null; fi
run_once() {
  "$wine" "$@" <&3 >"$out" 2>"$err" 3<&- &
  pid=$!
  tail -s 0.05 --pid="$pid" -n +1 -f "$out" 3<&- &
  relay_out=$!
  tail -s 0.05 --pid="$pid" -n +1 -f "$err" >&2 3<&- &
  relay_err=$!
  status=0
  wait "$pid" || status=$?
  wait "$relay_out" "$relay_err" || true
}
run_once "$@"
# Now and then (about once in a few thousand starts) Wine fails to start a program: it ends with
# status 1 before the program printed anything. Such a start is made again, once, and said so.
if [ "$status" -eq 1 ] && [ ! -s "$out" ] && [ ! -s "$err" ]; then
  echo "wine_run.sh: $* ended with status 1 and printed nothing; starting it again" >&2
  run_once "$@"
fi
exec 3<&-
# A program that fails without a word would leave a test runner's log empty: the status at
# least is told.
if [ "$status" -ne 0 ] && [ ! -s "$out" ] && [ ! -s "$err" ]; then
  echo "wine_run.sh: $* ended with status $status and printed nothing" >&2
fi
exit "$status"
