#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Torvalen needs.
# Safe to run again: it only asks apt for what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config git
  libsqlite3-dev libcrypt-dev
  libgtest-dev libgmock-dev libbenchmark-dev libfftw3-dev
  python3 python3-numpy python3-scipy sqlite3
  portaudio19-dev jackd2 libjack-jackd2-dev libsamplerate0-dev libmicrohttpd-dev
  clang libfuzzer-14-dev
  libebur128-dev
  libsystemd-dev systemd
  libogg-dev libvorbis-dev libmpg123-dev libflac-dev sox ffmpeg
  libopusenc-dev libopus-dev libmp3lame-dev libavcodec-dev libavutil-dev icecast2
  libssl3
  nodejs chromium fonts-liberation
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# npm: Debian's package, unless the installed node brings its own.
command -v npm >/dev/null 2>&1 || missing+=(npm)

if [ "${#missing[@]}" -gt 0 ] || [ "${TORVALEN_FORCE_APT_UPDATE:-0}" = 1 ]; then
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update
  if [ "${#missing[@]}" -gt 0 ]; then
    "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
  fi
fi

# The browser tests' node packages (tests/ui), exactly as the lock file pins them:
# installed when missing or older than the lock file.
ui_tests="$(dirname "$0")/../tests/ui"
if [ ! -f "$ui_tests/node_modules/.package-lock.json" ] ||
   [ "$ui_tests/package-lock.json" -nt "$ui_tests/node_modules/.package-lock.json" ]; then
  (cd "$ui_tests" && npm ci --no-audit --no-fund)
fi
