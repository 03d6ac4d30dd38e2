#!/bin/bash
# Demonstration helper for the long-running programs: prints how it was called, then waits
# until it is stopped. It changes nothing on the machine.
echo "[demo] $(basename "$0") called with $# argument(s):$(printf " '%s'" "$@")"
trap 'echo "[demo] $(basename "$0") stopped"; exit 0' INT
while :; do
    sleep 1
done
