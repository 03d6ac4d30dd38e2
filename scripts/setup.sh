#!/bin/bash
# Installs every Debian package that building, running and testing the daemon need.
# Non-interactive and idempotent: the package lists are refreshed only when something is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build git
    libboost1.81-dev libboost-log1.81-dev libboost-filesystem1.81-dev
    libboost-thread1.81-dev libboost-system1.81-dev
    libgtest-dev googletest
    psmisc util-linux procps python3-websockets
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
