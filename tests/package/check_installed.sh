#!/bin/bash
# Installs this build into a temporary prefix and checks the library as a programmer gets it:
# each installed header compiles on its own with strict warnings, the shared library exports
# only the public API, pkg-config builds a program with the shared and with the static library,
# and the example project builds against the prefix and talks to mmfcast-cli both ways.
# Usage: check_installed.sh SOURCE_DIR BUILD_DIR CXX_COMPILER CMAKE_GENERATOR
set -euo pipefail
source_dir=$1
build=$2
cxx=$3
generator=$4

work=$(mktemp -d "$build/installed-check.XXXXXX")
children=()
cleanup() {
  for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
libdir=$(dirname "$(find "$prefix" -name 'libmmfcast.so' | head -n 1)")

echo "== each installed header on its own"
flags=(-std=c++20 -Wall -Wextra -Wpedantic -Wconversion -Wshadow -Werror -fsyntax-only)
while IFS= read -r header; do
  name=${header#"$prefix/include/"}
  echo "#include <$name>" >"$work/one.cpp"
  "$cxx" "${flags[@]}" -I"$prefix/include" "$work/one.cpp" 2>"$work/header.log" ||
    { cat "$work/header.log"; fail "<$name> does not compile on its own"; }
done < <(find "$prefix/include/mmfcast" -name '*.h' | sort)
echo '#include <mmfcast/mmfcast.h>' >"$work/one.c"
cc -std=c99 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I"$prefix/include" "$work/one.c" ||
  fail "<mmfcast/mmfcast.h> does not compile as C99"

echo "== exported symbols"
exported=$(nm -DC --defined-only "$libdir/libmmfcast.so" | awk '$2 != "A"' | cut -d' ' -f3-)
echo "$(wc -l <<<"$exported") symbols"
public='^(mmfcast_[a-z0-9_]+(@@MMFCAST_0)?$|cMMF::|typeinfo (name )?for cMMF$|RaiseDataArrival\(|ModSubclass::|mmfcast::Channel::|mmfcast::platform::[A-Za-z_]+\()'
stray=$(grep -Ev "$public" <<<"$exported" | grep -v '^mmfcast::platform::[A-Za-z_]*\[abi:cxx11\](' || true)
stray+=$(grep -E '::State::|::os::' <<<"$exported" || true)
[ -z "$stray" ] || fail "the shared library exports more than the public API: $stray"
# grep -c reads all of its input, so the command before it never dies of SIGPIPE, which
# pipefail would count as a failure.
objdump -p "$libdir/libmmfcast.so" | grep -c 'SONAME *libmmfcast.so.0' >/dev/null || fail "no SONAME libmmfcast.so.0"

echo "== pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
cat >"$work/pc.cpp" <<'CPP'
#include <mmfcast/mmf/channel.h>
int main() { return mmfcast::Channel().max_text_bytes() == 4095 ? 0 : 1; }
CPP
# shellcheck disable=SC2046
"$cxx" -std=c++20 "$work/pc.cpp" -o "$work/pc-shared" $(pkg-config --cflags --libs mmfcast) \
  -Wl,-rpath,"$libdir" || fail "pkg-config --libs does not link the shared library"
# shellcheck disable=SC2046
# As README says: the static library by name, and what it needs from pkg-config --static.
"$cxx" -std=c++20 "$work/pc.cpp" -o "$work/pc-static" $(pkg-config --cflags --libs-only-L mmfcast) \
  -l:libmmfcast.a $(pkg-config --static --libs-only-l --libs-only-other mmfcast | sed 's/-lmmfcast //') ||
  fail "pkg-config --static does not name what the static library needs"
cat >"$work/pc.c" <<'C'
#include <mmfcast/mmfcast.h>
int main(void) {
  mmfcast_channel* channel = mmfcast_join("pc", 0, NULL);
  int status = mmfcast_max_text_bytes(channel) == 4095 ? 0 : 1;
  mmfcast_leave(channel);
  return status;
}
C
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror "$work/pc.c" -o "$work/pc-c" $(pkg-config --cflags --libs mmfcast-c) \
  -Wl,-rpath,"$libdir" || fail "pkg-config mmfcast-c does not build a C program"
# shellcheck disable=SC2046
cc -std=c99 "$work/pc.c" -o "$work/pc-c-static" $(pkg-config --cflags --libs-only-L mmfcast-c) \
  -l:libmmfcast.a $(pkg-config --static --libs-only-l --libs-only-other mmfcast-c | sed 's/-lmmfcast //') ||
  fail "pkg-config --static mmfcast-c does not name what the static library needs"
# The flags leave the standard to the program: a newer one stays, an older one is named.
[[ " $(pkg-config --cflags mmfcast) " == *" -std="* ]] && fail "pkg-config --cflags mmfcast sets the standard"
printf '%s\n' '#include <mmfcast/mmf/channel.h>' \
  'static_assert(__cplusplus > 202002L, "compiled as C++20, not as asked");' 'int main() {}' >"$work/std.cpp"
# shellcheck disable=SC2046
"$cxx" -std=c++23 -fsyntax-only "$work/std.cpp" $(pkg-config --cflags mmfcast) ||
  fail "a program built with -std=c++23 and pkg-config's flags is not C++23"
# shellcheck disable=SC2046
"$cxx" -std=c++17 -fsyntax-only "$work/pc.cpp" $(pkg-config --cflags mmfcast) 2>"$work/std17.log" &&
  fail "the C++ headers compile as C++17"
grep -q 'need C++20 or newer' "$work/std17.log" || fail "C++17 is refused without the reason: $(head -3 "$work/std17.log")"
for program in pc-shared pc-static pc-c pc-c-static; do
  MMFCAST_SESSION_DIR=$work/pc-session "$work/$program" || fail "$program, built with pkg-config, failed"
done

echo "== the examples, built against the prefix (shared, and static)"
for variant in shared static; do
  static=OFF
  [ "$variant" = static ] && static=ON
  if ! { cmake -S "$source_dir/examples" -B "$work/examples-$variant" -G "$generator" \
           -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" \
           -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DMMFCAST_EXAMPLES_STATIC=$static &&
         cmake --build "$work/examples-$variant"; } >"$work/examples.log" 2>&1; then
    cat "$work/examples.log"
    fail "the examples do not build against the installed $variant library"
    exit 1
  fi
done
ldd "$work/examples-shared/send_line" | grep -c libmmfcast.so.0 >/dev/null || fail "send_line is not linked with libmmfcast.so.0"
ldd "$work/examples-static/send_line" | grep -c libmmfcast >/dev/null && fail "the static send_line needs libmmfcast"
ldd "$work/pc-static" | grep -c libmmfcast >/dev/null && fail "pc-static needs libmmfcast.so"

export MMFCAST_SESSION_DIR=$work/session
cli=$prefix/bin/mmfcast-cli
# Waits until the session has N published endpoints, so a line sent next reaches them.
wait_for_endpoints() {
  for _ in $(seq 100); do
    [ "$(find "$MMFCAST_SESSION_DIR" -name 'peer-*.sock' 2>/dev/null | wc -l)" -ge "$1" ] && return 0
    sleep 0.05
  done
  return 1
}
wait_for_line() {  # FILE LINE
  for _ in $(seq 100); do
    grep -qxF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

echo "== mmfcast-cli send -> print_lines"
"$work/examples-shared/print_lines" >"$work/printed" 2>&1 &
children+=($!)
wait_for_endpoints 1 || fail "print_lines did not join the session"
line='grüße aus mmfcast-cli'
"$cli" send "$line" || fail "mmfcast-cli send failed"
wait_for_line "$work/printed" "$line" || fail "print_lines printed '$(cat "$work/printed")', not '$line'"
kill "${children[0]}"
wait "${children[0]}" 2>/dev/null || true

echo "== send_line -> mmfcast-cli listen"
rm -rf "$MMFCAST_SESSION_DIR"
"$cli" listen --count 1 --timeout 10 >"$work/heard" 2>&1 &
listener=$!
children+=("$listener")
wait_for_endpoints 1 || fail "mmfcast-cli listen did not join the session"
"$work/examples-static/send_line" hello from   send_line || fail "send_line exited $?"
wait "$listener" || fail "mmfcast-cli listen exited $?"
[ "$(cat "$work/heard")" = "hello from send_line" ] || fail "listen heard '$(cat "$work/heard")'"

long=$(head -c 4096 /dev/zero | tr '\0' x)
"$work/examples-shared/send_line" "$long" 2>"$work/long.err" && fail "send_line sent a line too long for the area"
grep -q 'longer than 4095 bytes' "$work/long.err" || fail "send_line said '$(cat "$work/long.err")'"

# ask (C) and ask.py (Python, the mmfcast package of the source tree over the installed library)
# each send a question on a channel of their own and
# print the answer that mmfcast-cli --channel sends back.
own=(--channel "Own$$" --size 8192)
for asker in "$work/examples-shared/ask" "$work/examples-static/ask" "python3 $source_dir/python/examples/ask.py"; do
  echo "== $asker <-> mmfcast-cli ${own[*]}"
  rm -rf "$MMFCAST_SESSION_DIR"
  "$cli" listen "${own[@]}" --count 1 --timeout 20 >"$work/question" 2>&1 &
  listener=$!
  children+=("$listener")
  wait_for_endpoints 1 || fail "mmfcast-cli listen did not join the session"
  # shellcheck disable=SC2086
  PYTHONPATH=$source_dir/python MMFCAST_LIBRARY=$libdir/libmmfcast.so.0 $asker "Own$$" "which file?" >"$work/answer" 2>&1 &
  asking=$!
  children+=("$asking")
  wait "$listener" || fail "mmfcast-cli listen exited $? ($(cat "$work/question"))"
  [ "$(cat "$work/question")" = "which file?" ] || fail "listen heard '$(cat "$work/question")'"
  "$cli" send "${own[@]}" "this one: notes.txt" || fail "mmfcast-cli send --channel failed"
  wait "$asking" || fail "$asker exited $? ($(cat "$work/answer"))"
  [ "$(cat "$work/answer")" = "this one: notes.txt" ] || fail "$asker heard '$(cat "$work/answer")'"
done

# The Python package, installed offline with pip from a copy of its folder (pip builds in the
# folder it is given), passes a text between two processes over the installed library.
# The system's Python, which Debian's python3-pip and python3-setuptools (with wheel) serve.
py=python3
[ -x /usr/bin/python3 ] && py=/usr/bin/python3
if "$py" -c 'import pip, setuptools, wheel' 2>/dev/null; then
  echo "== pip install ./python, then a send and a receive through it"
  cp -r "$source_dir/python" "$work/python-source"
  rm -rf "$work/python-source/build" "$work/python-source"/*.egg-info
  if "$py" -m pip install -q --no-build-isolation --no-index --target "$work/python" \
       "$work/python-source" >"$work/pip.log" 2>&1; then
    rm -rf "$MMFCAST_SESSION_DIR"
    export PYTHONPATH=$work/python MMFCAST_LIBRARY=$libdir/libmmfcast.so.0
    [ -f "$work/python/mmfcast/py.typed" ] || fail "the installed package has no py.typed"
    "$py" -c '
import subprocess, sys, mmfcast
with mmfcast.Channel("Py") as channel:
    sender = subprocess.Popen([sys.executable, "-c", "import mmfcast; mmfcast.Channel(\"Py\", send_only=True).send(\"grüße\")"])
    assert channel.receive_text(timeout=20) == "grüße"
    assert sender.wait() == 0
' || fail "python3 -c: a text did not pass through the pip-installed package"
    unset PYTHONPATH MMFCAST_LIBRARY
  else
    cat "$work/pip.log"
    fail "pip install --no-build-isolation --no-index ./python failed"
  fi
else
  echo "skipped pip install ./python: $py lacks pip, setuptools or wheel (bash scripts/deps.sh native)"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all installed-library checks passed"
