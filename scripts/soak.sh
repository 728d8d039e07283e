#!/usr/bin/env bash
# Soak run: one torvalen process with 8 instances on virtual devices (seven at
# 48 kHz, one at 192 kHz with the multiplex and RDS), fed a looped music-like
# programme, for MINUTES; then a summary table: engine overruns per instance, CPU
# share of one core for the process, resident memory and open descriptors at
# start and end, whether every instance's output kept its level, and whether the
# program stopped cleanly. The driver is tools/soak.py.
#
#     scripts/soak.sh MINUTES
#
# Environment: TORVALEN_BIN (default build/torvalen), KEEP=1 keeps the work folder
# (settings home, programme files, the program's log). Exit status 0 when every
# instance kept its level without overruns and the program stopped cleanly.
set -euo pipefail
minutes=${1:?usage: scripts/soak.sh MINUTES}
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${TORVALEN_BIN:-$root/build/torvalen}
[ -x "$bin" ] || { echo "soak: $bin not found (scripts/build.sh)" >&2; exit 2; }
work=$(mktemp -d /tmp/torvalen-soak.XXXXXX)
cleanup() {
    if [ "${KEEP:-0}" = 1 ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
# The driver stops the program itself (SIGTERM) on every way out, also on Ctrl-C.
/usr/bin/python3 "$root/tools/soak.py" "$minutes" "$bin" "$work"
