#!/bin/bash
# Builds and runs every test suite: native debug, ASan+UBSan, the libFuzzer targets' short runs,
# the 64-bit Windows build under Wine, and the 32-bit Windows build (compiled and linked only).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh all
export QT_QPA_PLATFORM=offscreen
unset MMFCAST_SESSION_DIR
presets=(dev asan fuzz mingw-x64)
for preset in "${presets[@]}"; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  if [ "$preset" = dev ]; then
    # Twice, so that a flaky test fails here rather than in someone else's landing.
    ctest --preset "$preset" --repeat until-fail:2
  else
    ctest --preset "$preset"
  fi
done
echo "== mingw-i686 (build only)"
cmake --preset mingw-i686 >/dev/null
cmake --build --preset mingw-i686
