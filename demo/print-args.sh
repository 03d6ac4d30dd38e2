#!/bin/bash
# Demonstration helper: prints how it was called and changes nothing on the machine.
echo "[demo] $(basename "$0") called with $# argument(s):$(printf " '%s'" "$@")"
exit 0
