#!/bin/bash
# Builds the Debian packages from this build directory, unpacks each into a private root and
# checks what a user gets: the programs, the library and its CMake package, the icon sizes,
# and a desktop entry, metainfo and manual pages that their validators accept.
# Usage: check_package.sh BUILD_DIR CXX_COMPILER CMAKE_GENERATOR. Exits 77 (skipped) when a
# tool it needs is missing.
set -euo pipefail
build=$1
cxx=$2
generator=$3

for tool in cpack dpkg-deb dpkg-shlibdeps file desktop-file-validate appstreamcli man; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed (bash scripts/deps.sh native)"
    exit 77
  fi
done

work=$(mktemp -d "$build/package-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log"
  exit 1
}
shopt -s nullglob
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 4 ] || { ls -l "$work/out"; fail "expected 4 packages, got ${#debs[@]}"; exit 1; }

root=$work/root
for deb in "${debs[@]}"; do
  echo "== $(basename "$deb") ($(stat -c %s "$deb") bytes)"
  dpkg-deb --field "$deb" Package Version Architecture Depends
  dpkg-deb -x "$deb" "$root"
done
prog=$(dpkg-deb --field "$work"/out/mmfcast_*.deb Depends)
[[ $prog == *libc6* && $prog == *libqt6widgets6* ]] ||
  fail "mmfcast's Depends lacks the shared libraries found by dpkg-shlibdeps: '$prog'"
# mmfcast-cli loads libmosquitto only for bridge --mqtt, so dpkg-shlibdeps cannot see it.
if grep -q libmosquitto.so.1 "$root/usr/bin/mmfcast-cli"; then
  recommends=$(dpkg-deb --field "$work"/out/mmfcast_*.deb Recommends)
  [[ $recommends == *libmosquitto1* ]] || fail "mmfcast does not recommend libmosquitto1: '$recommends'"
fi
lib_deb=("$work"/out/libmmfcast0_*.deb)
[ ${#lib_deb[@]} -eq 1 ] || fail "no libmmfcast0 package"
if [ ${#lib_deb[@]} -eq 1 ]; then
  libdeps=$(dpkg-deb --field "${lib_deb[0]}" Depends)
  [[ $libdeps == *libc6* && $libdeps == *libstdc++6* && $libdeps == *zlib1g* ]] ||
    fail "libmmfcast0's Depends lacks its shared libraries: '$libdeps'"
  dpkg-deb --ctrl-tarfile "${lib_deb[0]}" | tar -t | grep -c shlibs >/dev/null || fail "libmmfcast0 has no shlibs file"
fi
devdeps=$(dpkg-deb --field "$work"/out/libmmfcast-dev_*.deb Depends)
[[ $devdeps == *"libmmfcast0 (= "* ]] || fail "libmmfcast-dev does not depend on its libmmfcast0: '$devdeps'"

py_deb=("$work"/out/python3-mmfcast_*_all.deb)
if [ ${#py_deb[@]} -eq 1 ]; then
  pydeps=$(dpkg-deb --field "${py_deb[0]}" Depends)
  [[ $pydeps == *python3* && $pydeps == *"libmmfcast0 (>= "* ]] ||
    fail "python3-mmfcast does not depend on python3 and libmmfcast0: '$pydeps'"
else
  fail "no python3-mmfcast package for all architectures"
fi

id=io.github.mmfcast.mmfcast
expected=(
  usr/bin/mmfcast usr/bin/mmfcast-cli
  usr/share/applications/$id.desktop usr/share/metainfo/$id.metainfo.xml
  usr/share/icons/hicolor/scalable/apps/$id.svg
  usr/share/man/man1/mmfcast.1.gz usr/share/man/man1/mmfcast-cli.1.gz
  usr/include/mmfcast/mmf/cMMF.h usr/include/mmfcast/mmf/MMFItem.h
  usr/include/mmfcast/mmf/channel.h usr/include/mmfcast/mmf/pub_channel.h
  usr/include/mmfcast/hook/ModSubclass.h usr/include/mmfcast/platform/platform.h
  usr/include/mmfcast/export.h usr/include/mmfcast/version.h usr/include/mmfcast/mmfcast.h
  usr/lib/python3/dist-packages/mmfcast/__init__.py usr/lib/python3/dist-packages/mmfcast/_channel.py
  usr/lib/python3/dist-packages/mmfcast/_library.py usr/lib/python3/dist-packages/mmfcast/py.typed
  usr/share/doc/python3-mmfcast/examples/ask.py usr/share/doc/python3-mmfcast/examples/answer.py
  usr/share/doc/libmmfcast-dev/examples/ask.c usr/share/doc/libmmfcast-dev/examples/CMakeLists.txt
)
# The reference goes with libmmfcast-dev in builds that make it (the release build does).
if grep -q '^MMFCAST_BUILD_DOCS:BOOL=ON' "$build/CMakeCache.txt"; then
  expected+=(usr/share/doc/libmmfcast-dev/html/index.html usr/share/doc/libmmfcast-dev/html/mmfcast_8h.html
             usr/share/doc/libmmfcast-dev/html/python.html)
fi
for size in 16 22 24 32 48 64 128 256; do
  expected+=("usr/share/icons/hicolor/${size}x${size}/apps/$id.png")
done
for path in "${expected[@]}"; do
  [ -f "$root/$path" ] || fail "missing /$path"
done
for size in 16 22 24 32 48 64 128 256; do
  png=$root/usr/share/icons/hicolor/${size}x${size}/apps/$id.png
  [ -f "$png" ] || continue
  # A PNG's width and height are the big-endian words at bytes 16 and 20.
  dims=$(od -An -tu1 -j16 -N8 "$png" | awk '{print $3*256+$4 "x" $7*256+$8}')
  [ "$dims" = "${size}x${size}" ] || fail "$png is $dims"
done
for prog_name in mmfcast mmfcast-cli; do
  [ -x "$root/usr/bin/$prog_name" ] || fail "/usr/bin/$prog_name is not executable"
done
for name in libmmfcast.a libmmfcast.so libmmfcast.so.0 mmfcast.pc mmfcast-c.pc; do
  [ -n "$(find "$root/usr/lib" -name "$name")" ] || fail "missing $name"
done
config=$(find "$root/usr/lib" -name mmfcastConfig.cmake)
[ -n "$config" ] || fail "missing mmfcastConfig.cmake"
[ -n "$(find "$root/usr/lib" -name mmfcastTargets.cmake)" ] || fail "missing mmfcastTargets.cmake"
[ -n "$(find "$root/usr/lib" -name mmfcastConfigVersion.cmake)" ] || fail "missing mmfcastConfigVersion.cmake"

# The unpacked programs answer --version with the package's version.
version=$(dpkg-deb --field "$work"/out/mmfcast_*.deb Version)
for prog_name in mmfcast mmfcast-cli; do
  out=$("$root/usr/bin/$prog_name" --version 2>&1) || fail "$prog_name --version failed: $out"
  [ "$out" = "$prog_name $version" ] || fail "$prog_name --version says '$out', package is $version"
done

echo "== python3: a send and a receive through the unpacked python3-mmfcast and libmmfcast0"
if ! PYTHONPATH=$root/usr/lib/python3/dist-packages MMFCAST_SESSION_DIR=$work/py-session \
     MMFCAST_LIBRARY=$(find "$root/usr/lib" -name 'libmmfcast.so.0' | head -1) /usr/bin/python3 -c '
import subprocess, sys, mmfcast
with mmfcast.Channel("Deb") as channel:
    sender = subprocess.Popen([sys.executable, "-c", "import mmfcast; mmfcast.Channel(\"Deb\", send_only=True).send(\"grüße\")"])
    assert channel.receive_text(timeout=20) == "grüße"
    assert sender.wait() == 0
'; then
  fail "a text did not pass through the unpacked python3-mmfcast"
fi

echo "== the bridges' user services"
for service in 'mmfcast-bridge@:home-user-.wine:--wine %f' 'mmfcast-mqtt-bridge@:lab:--config %h/'; do
  name=${service%%:*} rest=${service#*:}
  instance=${rest%%:*} starts=${rest#*:}
  unit=$root/usr/lib/systemd/user/$name.service
  [ -f "$unit" ] || fail "missing the user service $name.service"
  grep -q "^ExecStart=/usr/bin/mmfcast-cli bridge $starts" "$unit" || fail "$name.service starts no bridge"
  if command -v systemd-analyze >/dev/null 2>&1; then
    # Checked with the unpacked program standing where the unit names it; a key systemd does not
    # know is only warned about, so any word from it fails the check.
    sed "s|/usr/bin/mmfcast-cli|$root/usr/bin/mmfcast-cli|" "$unit" >"$work/$name$instance.service"
    if ! out=$(systemd-analyze verify --man=no "$work/$name$instance.service" 2>&1) || [ -n "$out" ]; then
      fail "systemd-analyze verify $name$instance.service: $out"
    fi
  fi
done

echo "== desktop-file-validate"
desktop-file-validate "$root/usr/share/applications/$id.desktop" || fail "desktop-file-validate"
icon=$(sed -n 's/^Icon=//p' "$root/usr/share/applications/$id.desktop")
[ "$icon" = "$id" ] || fail "the desktop entry names the icon '$icon'"

echo "== appstreamcli validate --no-net"
appstreamcli validate --no-net --pedantic "$root/usr/share/metainfo/$id.metainfo.xml" ||
  fail "appstreamcli validate"
grep -q '<screenshot' "$root/usr/share/metainfo/$id.metainfo.xml" || fail "metainfo has no screenshot"
grep -q '@' "$root/usr/share/metainfo/$id.metainfo.xml" && fail "metainfo has an unfilled @VARIABLE@"

for page in mmfcast mmfcast-cli; do
  file=$root/usr/share/man/man1/$page.1.gz
  [ -f "$file" ] || continue
  echo "== man -l $page.1.gz"
  # With --warnings man passes groff's warnings (unknown macros, bad escapes) to standard error.
  warnings=$(MANPAGER=cat MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$file" 2>&1 >/dev/null) ||
    fail "man -l $page.1.gz"
  [ -z "$warnings" ] || fail "man -l $page.1.gz: $warnings"
  if command -v groff >/dev/null; then
    warnings=$(zcat "$file" | groff -ww -z -man 2>&1) || fail "groff $page.1"
    [ -z "$warnings" ] || fail "groff -ww $page.1: $warnings"
  fi
  zcat "$file" | grep -Eq "@[A-Za-z_]+@" && fail "$page.1 has an unfilled @VARIABLE@"
done

echo "== completion of mmfcast-cli in bash, zsh and fish"
bash "$(dirname "$0")/check_completion.sh" "$root" || fail "completion from the unpacked package"

# Each of mmfcast-cli's options that --help lists is described in its manual page.
page_text=$(zcat "$root/usr/share/man/man1/mmfcast-cli.1.gz" | sed 's/\\-/-/g')
for cmd in send listen; do
  for opt in $("$root/usr/bin/mmfcast-cli" "$cmd" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    [ "$opt" = --help ] && continue
    grep -q -- "$opt" <<<"$page_text" || fail "mmfcast-cli.1 does not describe $cmd $opt"
  done
done

# lintian: every error or warning fails the check unless it is listed here with its reason, and
# so does any hardening tag (lintian files those as information).
if command -v lintian >/dev/null; then
  echo "== lintian"
  build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
  # libmmfcast0's postinst and postrm only replace the ones CPack writes for a shared library,
  # which call ldconfig; dpkg's ldconfig trigger does that instead.
  explained='maintainer-script-empty'
  if [[ $build_type != Release && $build_type != RelWithDebInfo && $build_type != MinSizeRel ]]; then
    # An unoptimised build cannot use _FORTIFY_SOURCE; the release build's packages are checked
    # for it.
    explained+='|hardening-no-fortify-functions'
  fi
  tags=$(lintian -I --tag-display-limit 0 "${debs[@]}" 2>&1 | grep -v 'running with root privileges') || true
  echo "$tags"
  while IFS= read -r tag; do
    [ -z "$tag" ] && continue
    name=$(awk '{print $3}' <<<"$tag")
    [[ $name =~ ^($explained)$ ]] && continue
    # The library's reads go to buffers whose size is known only at run time, which
    # _FORTIFY_SOURCE cannot check; that it is fortified shows in its calls of __memcpy_chk.
    if [[ $name == hardening-no-fortify-functions && $tag == *libmmfcast.so* ]]; then
      so=$(find "$root/usr/lib" -name 'libmmfcast.so.*.*' | head -1)
      nm -D --undefined-only "$so" | grep -c '__[a-z]*_chk@' >/dev/null && continue
    fi
    [[ $tag == [EW]:* || $name == hardening-* ]] && fail "lintian: $tag"
  done <<<"$tags"
else
  fail "lintian is not installed (bash scripts/deps.sh native)"
fi

# A project outside this tree finds the unpacked library with find_package and links it.
echo "== find_package(mmfcast) from the unpacked libmmfcast-dev"
mkdir -p "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer LANGUAGES CXX)
# The package asks for C++20 at least; the standard a project chose above it stays.
set(CMAKE_CXX_STANDARD 23)
find_package(mmfcast 0.1 REQUIRED)
add_executable(consumer main.cpp)
target_link_libraries(consumer PRIVATE mmfcast::mmf)
CMAKE
cat >"$work/consumer/main.cpp" <<'CPP'
#include <mmfcast/mmf/cMMF.h>
static_assert(__cplusplus > 202002L, "the package must not lower the project's standard");
int main() {
  cMMF mmf;
  return mmf.AddMMFItem(u"MyPubMemory", 4096) == mmf.GetMMFIndex(u"MyPubMemory") ? 0 : 1;
}
CPP
if ! { cmake -S "$work/consumer" -B "$work/consumer/build" -G "$generator" \
         -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF &&
       cmake --build "$work/consumer/build"; } >"$work/consumer.log" 2>&1; then
  cat "$work/consumer.log"
  fail "a project cannot build against the unpacked libmmfcast-dev"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all package checks passed"
