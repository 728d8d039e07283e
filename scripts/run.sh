#!/usr/bin/env bash
# Sets up the machine, builds, and runs Torvalen. With no arguments it runs on its
# embedded default: the virtual device at 48000 Hz with a silent input.
# Any arguments are passed to the program (see: build/torvalen --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
exec build/torvalen "$@"
