#!/bin/bash
# Configures and builds one tree: scripts/build.sh BUILD_DIR [SANITIZER]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
sanitize=${2:-}
cmake -S . -B "$dir" -G Ninja -DTARQ_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
