#!/bin/bash
# The Windows developer kit as a programmer gets it from the zip: sdk/ holds mmfcast.dll (the
# public API alone exported, MinGW's runtime inside it), its import library, the headers, the
# CMake package and the pkg-config files, and nothing that -lmmfcast -static would pick instead.
# A C program built with x86_64-w64-mingw32-gcc and -lmmfcast alone (and with pkg-config's
# flags) runs under Wine with the DLL beside it; the examples, C++ included, build through
# find_package(mmfcast) and send_line runs.
# check_kit.sh WINE_RUN PREFIX ZIP VERSION SOURCE_DIR TOOLCHAIN_FILE CMAKE_GENERATOR
set -euo pipefail
wine_run=$1 prefix=$2 zip=$3 version=$4 source_dir=$5 toolchain=$6 generator=$7

fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d "$(dirname "$zip")/kit-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
wine() { "$wine_run" "$prefix" "$@" | tr -d '\r'; }
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }

echo "== the kit in $(basename "$zip")"
(cd "$work" && cmake -E tar xf "$zip")
kit=$(find "$work" -mindepth 2 -maxdepth 2 -type d -name sdk)
[ -n "$kit" ] || fail "no sdk folder in the zip"
(cd "$kit" && find . -type f | LC_ALL=C sort)
for f in bin/mmfcast.dll lib/libmmfcast.dll.a include/mmfcast/mmfcast.h include/mmfcast/export.h \
         include/mmfcast/version.h include/mmfcast/mmf/channel.h lib/cmake/mmfcast/mmfcastConfig.cmake \
         lib/pkgconfig/mmfcast.pc lib/pkgconfig/mmfcast-c.pc; do
  [ -f "$kit/$f" ] || fail "sdk/$f is missing"
done
[ -z "$(find "$kit" -name 'libmmfcast.a')" ] || fail "the kit holds a static library, which -static would pick"

echo "== what mmfcast.dll imports and exports"
objdump=x86_64-w64-mingw32-objdump
imports=$("$objdump" -p "$kit/bin/mmfcast.dll" | awk '/DLL Name:/ {print $3}' | sort)
echo "imports: $(tr '\n' ' ' <<<"$imports")"
stray=$(grep -viE '^(kernel32|user32|advapi32|msvcrt)\.dll$' <<<"$imports" || true)
[ -z "$stray" ] || fail "mmfcast.dll needs more than Windows' own DLLs: $stray"
exported=$("$objdump" -p "$kit/bin/mmfcast.dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed 1d | awk '/^[[:space:]]*\[/ {print $NF}' | c++filt)
echo "$(wc -l <<<"$exported") exports"
public='^(mmfcast_[a-z0-9_]+$|cMMF::|RaiseDataArrival\(|ModSubclass::|mmfcast::Channel::|mmfcast::platform::[A-Za-z_]+(\[abi:cxx11\])?\()'
stray=$(grep -Ev "$public" <<<"$exported" || true)
[ -z "$stray" ] || fail "mmfcast.dll exports more than the public API: $stray"
for function in $(grep -o '^MMFCAST_EXPORT [^(]*(' "$kit/include/mmfcast/mmfcast.h" | grep -oE 'mmfcast_[a-z0-9_]+\($' | tr -d '('); do
  grep -qx "$function" <<<"$exported" || fail "mmfcast.dll does not export $function"
done

echo "== a C program with -lmmfcast alone, and with pkg-config's flags"
gcc=x86_64-w64-mingw32-gcc
run=$work/run
mkdir -p "$run"
cp "$kit/bin/mmfcast.dll" "$run/"
"$gcc" -std=c99 -Wall -Wextra -Wpedantic -Werror "$source_dir/tests/package/kit_client.c" \
  -I"$kit/include" -L"$kit/lib" -lmmfcast -o "$run/kit_client.exe" || fail "the C client does not build with -lmmfcast"
"$objdump" -p "$run/kit_client.exe" | grep -cx $'\tDLL Name: mmfcast.dll' >/dev/null || fail "kit_client.exe does not import mmfcast.dll"
pc_flags=$(PKG_CONFIG_LIBDIR=$kit/lib/pkgconfig pkg-config --cflags --libs mmfcast-c)
echo "pkg-config --cflags --libs mmfcast-c: $pc_flags"
libs=$(PKG_CONFIG_LIBDIR=$kit/lib/pkgconfig pkg-config --libs-only-l --libs-only-other mmfcast-c mmfcast)
[[ "$libs" =~ ^-lmmfcast[[:space:]]*$ ]] || fail "pkg-config names more than -lmmfcast: '$libs'"
# shellcheck disable=SC2086
"$gcc" -std=c99 "$kit/share/doc/libmmfcast-dev/examples/ask.c" $pc_flags -o "$run/ask.exe" ||
  fail "the kit's examples/ask.c does not build with pkg-config's flags"
out=$(wine "$(windows_path "$run/kit_client.exe")" "$version") || fail "kit_client.exe exited $?: $out"
echo "$out"
[ "$out" = "$(printf 'version %s\nmax 4095\nsent' "$version")" ] || fail "kit_client printed '$out'"

echo "== the examples through find_package(mmfcast)"
# The consumer's own C++ runtime is linked statically, as the project's programs are; the
# library still comes from mmfcast.dll.
if ! { cmake -S "$kit/share/doc/libmmfcast-dev/examples" -B "$work/examples" -G "$generator" \
         -DCMAKE_TOOLCHAIN_FILE="$toolchain" -Dmmfcast_DIR="$kit/lib/cmake/mmfcast" \
         -DCMAKE_EXE_LINKER_FLAGS=-static -DCMAKE_BUILD_TYPE=Release &&
       cmake --build "$work/examples"; } >"$work/examples.log" 2>&1; then
  cat "$work/examples.log"
  fail "the examples do not build against the kit"
fi
for program in send_line print_lines ask; do
  "$objdump" -p "$work/examples/$program.exe" | grep -cx $'\tDLL Name: mmfcast.dll' >/dev/null ||
    fail "$program.exe does not import mmfcast.dll"
done
cp "$work/examples/send_line.exe" "$run/"
wine "$(windows_path "$run/send_line.exe")" hello from the kit || fail "send_line.exe exited $?"
echo "all developer-kit checks passed"
