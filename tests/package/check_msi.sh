#!/bin/bash
# The Windows installer as a user meets it, under Wine in a prefix of its own: a silent install
# puts the programs in Program Files and the shortcut in the Start menu and adds the uninstall
# entry; the installed programs carry the version they were built with and the manifest, print
# their version and pass a line each way; a silent uninstall leaves nothing behind. The developer
# kit is installed only when asked for (ADDLOCAL), into sdk, and removed with the rest.
# check_msi.sh WINE_RUN PREFIX MSI PROBE VERSION LICENSE
set -euo pipefail
wine_run=$1 prefix=$2 msi=$3 probe=$4 version=$5 licence=$6

wine() { "$wine_run" "$prefix" "$@" | tr -d '\r'; }
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }
fail() { echo "FAIL: $*"; exit 1; }
installed="$prefix/drive_c/Program Files/mmfcast"
# The all-users Start menu on Windows; Wine's installer puts a per-machine product's shortcuts
# in the user's own.
shortcuts() {
  local menu='Microsoft/Windows/Start Menu/Programs/mmfcast.lnk' found
  for found in "$prefix/drive_c/ProgramData/$menu" "$prefix"/drive_c/users/*/AppData/Roaming/"$menu"; do
    [ -e "$found" ] && printf '%s\n' "$found"
  done
  true
}
installed_win='C:\Program Files\mmfcast'
uninstall_entries() {
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s |
    grep -c 'DisplayName *REG_SZ *mmfcast$' || true
}

# A prefix that an interrupted run left with the product installed is made anew.
if [ -e "$installed" ] || [ -n "$(shortcuts)" ] || { [ -d "$prefix" ] && [ "$(uninstall_entries)" != 0 ]; }; then
  echo "== the prefix holds an earlier install; starting afresh"
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -w 2>/dev/null || true
  rm -rf "$prefix"
fi

echo "== msiexec /i $(basename "$msi") /qn"
status=0
wine msiexec /i "$(windows_path "$msi")" /qn || status=$?
[ "$status" = 0 ] || fail "msiexec /i exited with $status"
( cd "$installed" && ls -l ) || fail "nothing in Program Files\\mmfcast"
[ ! -e "$installed/sdk" ] || fail "the developer kit is installed without being asked for"
for f in mmfcast.exe mmfcast-cli.exe LICENSE.txt README.txt; do
  [ -f "$installed/$f" ] || fail "$f not installed"
done
shortcut=$(shortcuts)
[ -n "$shortcut" ] || fail "no Start-menu shortcut"
[ "$(printf '%s\n' "$shortcut" | wc -l)" = 1 ] || fail "more than one shortcut: $shortcut"
echo "shortcut: ${shortcut#"$prefix/"}"
[ "$(uninstall_entries)" = 1 ] || fail "no uninstall entry named mmfcast"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s |
  grep -B3 -A12 'DisplayName *REG_SZ *mmfcast$' | grep -E 'DisplayName|DisplayVersion|Publisher|UninstallString' ||
  true

echo "== version resources and manifests"
copyright=$(grep -m1 '^Copyright ' "$licence")
for program in mmfcast mmfcast-cli; do
  info=$(wine "$probe" version "$installed_win\\$program.exe" 2>&1) ||
    fail "no version resource in $program.exe (status $?): $info"
  printf '%s: %s\n' "$program.exe" "$(printf '%s' "$info" | tr '\n' ';')"
  for expected in "FixedFileVersion=$version.0" "FixedProductVersion=$version.0" \
                  "FileVersion=$version" "ProductVersion=$version" "ProductName=mmfcast" \
                  "OriginalFilename=$program.exe" "InternalName=$program" "LegalCopyright=$copyright"; do
    grep -qxF "$expected" <<<"$info" || fail "$program.exe: no $expected"
  done
  grep -q "^FileDescription=$program - ." <<<"$info" || fail "$program.exe: no description"
  manifest=$(wine "$probe" manifest "$installed_win\\$program.exe" 2>&1) ||
    fail "no manifest in $program.exe (status $?): $manifest"
  for expected in 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' PerMonitorV2 \
                  'level="asInvoker"' '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'; do
    grep -qF "$expected" <<<"$manifest" || fail "$program.exe's manifest lacks $expected"
  done
  if grep -qi activeCodePage <<<"$manifest"; then
    fail "$program.exe's manifest sets the ANSI code page"
  fi
done

echo "== the installed programs"
cli_version=$(wine "$installed_win\\mmfcast-cli.exe" --version) || fail "mmfcast-cli --version failed"
echo "mmfcast-cli --version: $cli_version"
[ "$cli_version" = "mmfcast-cli $version" ] || fail "mmfcast-cli --version printed '$cli_version'"
help=$(wine "$installed_win\\mmfcast-cli.exe" --help) || fail "mmfcast-cli --help failed"
grep -q "^On Windows .*--session-dir" <<<"$help" ||
  fail "mmfcast-cli --help does not say which options do not apply on Windows"
wine "$probe" exchange "$installed_win" "$(windows_path "$shortcut")" || fail "the installed window and CLI did not exchange lines"

echo "== msiexec /x $(basename "$msi") /qn"
status=0
wine msiexec /x "$(windows_path "$msi")" /qn || status=$?
[ "$status" = 0 ] || fail "msiexec /x exited with $status"
[ ! -e "$installed" ] || fail "left behind: $(find "$installed" | tr '\n' ' ')"
[ -z "$(shortcuts)" ] || fail "the shortcut is left behind"
[ "$(uninstall_entries)" = 0 ] || fail "the uninstall entry is left behind"
echo "Program Files\\mmfcast, the shortcut and the uninstall entry are gone"

echo "== msiexec /i $(basename "$msi") ADDLOCAL=Complete,DeveloperKit /qn"
status=0
wine msiexec /i "$(windows_path "$msi")" ADDLOCAL=Complete,DeveloperKit /qn || status=$?
[ "$status" = 0 ] || fail "msiexec /i with the developer kit exited with $status"
for f in mmfcast.exe sdk/bin/mmfcast.dll sdk/lib/libmmfcast.dll.a sdk/include/mmfcast/mmfcast.h \
         sdk/lib/cmake/mmfcast/mmfcastConfig.cmake sdk/lib/pkgconfig/mmfcast-c.pc; do
  [ -f "$installed/$f" ] || fail "$f not installed with the developer kit"
done
echo "the developer kit is in Program Files\\mmfcast\\sdk"
status=0
wine msiexec /x "$(windows_path "$msi")" /qn || status=$?
[ "$status" = 0 ] || fail "msiexec /x of the install with the developer kit exited with $status"
[ ! -e "$installed" ] || fail "left behind: $(find "$installed" | tr '\n' ' ')"
echo "Program Files\\mmfcast is gone again"
