#!/bin/bash
# Builds the release program and starts one window; run it again for another copy.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh native
cmake --preset release >/dev/null
cmake --build --preset release --target mmfcast >/dev/null
exec ./build/release/ui/qt/mmfcast "$@"
