#!/bin/bash
# Builds and runs every test suite: the static checks (clang-format, clang-tidy), native debug,
# ASan+UBSan, ThreadSanitizer over the suites whose threads share the transport, the libFuzzer
# targets' bounded runs, the release build's packages, the 64-bit Windows build under Wine, and
# the 32-bit Windows build (compiled and linked only).
# Every stage runs even when an earlier one failed; a table at the end says what each did, and
# the script exits non-zero when any stage failed.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh all || exit 1
export QT_QPA_PLATFORM=offscreen
unset MMFCAST_SESSION_DIR

rows=()
failed_stages=0
# Counts of the last ctest run, read from its JUnit report.
tests_run=- tests_failed=- tests_skipped=-

# read_junit FILE: sets the counts from a CTest JUnit report.
read_junit() {
  local attr
  tests_run=- tests_failed=- tests_skipped=-
  [ -f "$1" ] || return 0
  attr() { sed -n "s/^[[:space:]]*$1=\"\([0-9]*\)\".*/\1/p" "$2" | head -1; }
  tests_run=$(attr tests "$1")
  tests_failed=$(attr failures "$1")
  tests_skipped=$(( $(attr skipped "$1") + $(attr disabled "$1") ))
}

# stage NAME COMMAND...: runs the command, times it and records a row of the table.
stage() {
  local name=$1 start status result
  shift
  echo "== $name"
  tests_run=- tests_failed=- tests_skipped=-
  start=$(date +%s)
  "$@"
  status=$?
  result=passed
  if [ "$status" -ne 0 ]; then
    result="FAILED ($status)"
    failed_stages=$((failed_stages + 1))
  fi
  rows+=("$(printf '%-12s %-12s %6s %7s %8s %8s' "$name" "$result" "$tests_run" "$tests_failed" \
    "$tests_skipped" "$(($(date +%s) - start))")")
}

# suite PRESET [CTEST ARGS...]: configures, builds and tests one preset.
suite() {
  local preset=$1 junit status
  shift
  junit=$PWD/build/$preset/junit.xml
  rm -f "$junit"
  cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" || return
  ctest --preset "$preset" --output-junit "$junit" "$@"
  status=$?
  read_junit "$junit"
  return "$status"
}

# Two sessions bridged through a mosquitto of the test's own, 20,000 lines each way at once
# (the dev stage sends 2,000).
mqtt_each_way() {
  MMFCAST_MQTT_LINES=20000 suite dev -R '^MqttBridge\.TwoSessions'
}

# The fuzz targets' bounded runs, then the coverage each reached, so a target that stops reaching
# its code shows in the log even when it stays above its floor.
fuzz_suite() {
  local status=0
  suite fuzz || status=$?
  cat build/fuzz/tests/fuzz/*/coverage 2>/dev/null
  return "$status"
}

build_only() {
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1"
}

# The product's sources, as tracked by git (the build trees are not).
sources() { git ls-files -- "$@"; }

check_format() {
  local files
  mapfile -t files < <(sources '*.cpp' '*.h' '*.c')
  tests_run=${#files[@]}
  local unformatted
  # Each file that clang-format would change, once.
  unformatted=$(clang-format-14 --dry-run "${files[@]}" 2>&1 | grep ': warning:' | cut -d: -f1 |
    sort -u)
  tests_failed=$(grep -c . <<<"$unformatted")
  tests_skipped=0
  [ -z "$unformatted" ] || echo "$unformatted"
  [ -z "$unformatted" ]
}

# clang-tidy with the checks in .clang-tidy, over the Linux product code, from the dev build's
# compile commands.
check_tidy() {
  local files out status=0
  cmake --preset dev >/dev/null || return
  mapfile -t files < <(sources ':(glob)mmf/*.cpp' ':(glob)hook/*.cpp' ':(glob)platform/linux/*.cpp' ':(glob)platform/linux/transport/*.cpp' \
    ':(glob)cli/*.cpp' ':(glob)ui/*.cpp' ':(glob)ui/qt/*.cpp')
  tests_run=${#files[@]} tests_failed=0 tests_skipped=0
  out=$(printf '%s\n' "${files[@]}" |
    xargs -P "$(nproc)" -n 4 clang-tidy-14 -p build/dev --quiet \
      --extra-arg=-Wno-unknown-warning-option 2>/dev/null) || status=1
  if grep -q ': \(warning\|error\):' <<<"$out"; then
    grep -A3 ': \(warning\|error\):' <<<"$out"
    tests_failed=$(grep ': \(warning\|error\):' <<<"$out" | cut -d: -f1 | sort -u | wc -l)
    status=1
  fi
  return "$status"
}

stage format check_format
# Twice, so that a flaky test fails here rather than in someone else's landing.
stage dev suite dev --repeat until-fail:2
stage tidy check_tidy
stage asan suite asan
# The send lock's waiter is woken by a helper thread that sleeps on the lock's futex while it
# answers its endpoint; the channel's receivers read stdin on a thread of their own. Only the
# suites that run these (the rest add minutes under the sanitizer, not threads; the many
# copies of LateReceivers do not start within its time there).
stage tsan suite tsan -R '^(SendLockTest|BroadcastTest|Broadcast|OwnEndpoint|AckPage|Channel[A-Za-z]*|MessageChannel|Where/StoppedSendLockHolder)\.'
stage fuzz fuzz_suite
# The release build's own packages: hardening and lintian.
stage release suite release -R '^package\.'
stage mingw-x64 suite mingw-x64
# The Wine bridge between this build's Linux programs and the Windows build's in a prefix, now
# that both are built (the dev stage skips these without the Windows build).
stage wine-bridge suite dev -R '^(Bridge|WineBridge)\.'
stage mqtt-20000 mqtt_each_way
stage mingw-i686 build_only mingw-i686

echo
printf '%-12s %-12s %6s %7s %8s %8s\n' stage result tests failed skipped seconds
printf '%s\n' "${rows[@]}"
[ "$failed_stages" -eq 0 ] || { echo "$failed_stages stage(s) failed"; exit 1; }
echo "all stages passed"
