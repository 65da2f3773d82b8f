#!/bin/sh
# Runs a Windows program under wine64 in a private, headless prefix (the first argument),
# creating the prefix on first use with the null graphics driver.
set -eu
prefix=$1; shift
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
if [ ! -f "$prefix/.mmfcast-ready" ]; then
  mkdir -p "$prefix"
  (
    flock 9
    if [ ! -f "$prefix/.mmfcast-ready" ]; then
      "$wine" wineboot -i >/dev/null 2>&1 || true
      "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
      /usr/lib/wine/wineserver -k || true
      /usr/lib/wine/wineserver -w || true
      touch "$prefix/.mmfcast-ready"
    fi
  ) 9>"$prefix.lock"
fi
exec "$wine" "$@"
