#!/usr/bin/env bash
# Configures and builds Torvalen into BUILD_DIR (default: build).
# Extra arguments go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
# TORVALEN_WERROR=1 (CI) makes every compiler warning an error.
extra=()
[ "${TORVALEN_WERROR:-0}" = 1 ] && extra+=(-DTORVALEN_WERROR=ON)
cmake -S . -B "$build_dir" -G Ninja "${extra[@]}" "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
