#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Torvalen needs.
# Safe to run again: it only asks apt for what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config git
  libsqlite3-dev libcrypt-dev
  libgtest-dev libgmock-dev libbenchmark-dev libfftw3-dev
  python3 python3-numpy python3-scipy sqlite3
  portaudio19-dev jackd2 libjack-jackd2-dev libsamplerate0-dev
  clang libfuzzer-14-dev
  libebur128-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -eq 0 ] && [ "${TORVALEN_FORCE_APT_UPDATE:-0}" != 1 ]; then
  exit 0
fi

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update
if [ "${#missing[@]}" -gt 0 ]; then
  "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
