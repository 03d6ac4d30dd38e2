#!/bin/bash
# Sets up, builds and runs the daemon in the foreground (as root; Ctrl-C stops it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
exec build/daemon/tarq-daemon
