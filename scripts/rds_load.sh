#!/usr/bin/env bash
# RDS under load: runs one torvalen instance on the virtual device at 192 kHz with
# the stereo multiplex and RDS on, recording its output, while two CPU-bound
# processes keep both cores busy; then reads the RDS groups back from the
# recording (tools/rds_decode.py) and counts the groups that did not come back to
# back (splices and gaps).
#
#     scripts/rds_load.sh [MINUTES]        (default 5)
#
# Environment: TORVALEN_BIN (default build/torvalen), FRAMES (block, default 256),
# LOAD (CPU-bound processes, default 2), KEEP=1 keeps the work folder (the
# recording is 92 MB a minute). Exit status 0 when every group came back to back.
set -euo pipefail
minutes=${1:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${TORVALEN_BIN:-$root/build/torvalen}
frames=${FRAMES:-256}
load=${LOAD:-2}
py=/usr/bin/python3
[ -x "$bin" ] || { echo "rds_load: $bin not found (scripts/build.sh)" >&2; exit 2; }

work=$(mktemp -d /tmp/torvalen-rds-load.XXXXXX)
pid=""
load_pids=()
cleanup() {
    for p in "${load_pids[@]}"; do kill "$p" 2>/dev/null || true; done
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    if [ "${KEEP:-0}" = 1 ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$py" "$root/tools/make_programme.py" 60 "$work/prog48.wav" "$work/prog192.wav"
mkdir "$work/home"
"$bin" --home "$work/home" --listen 127.0.0.1:0 --rate 192000 --frames "$frames" \
    --input "$work/prog192.wav" --output "$work/mpx.wav" 2>"$work/log.txt" &
pid=$!
base=""
for _ in $(seq 100); do
    base=$(grep -o 'web interface at http://127.0.0.1:[0-9]*' "$work/log.txt" | sed 's/web interface at //' || true)
    [ -n "$base" ] && break
    kill -0 "$pid" 2>/dev/null || { cat "$work/log.txt" >&2; exit 1; }
    sleep 0.1
done
[ -n "$base" ] || { echo "rds_load: torvalen did not start" >&2; cat "$work/log.txt" >&2; exit 1; }

instance=$(curl -sf "$base/api/state" | jq -r .current)
enc=$(jq -rn --arg v "$instance" '$v|@uri')
# Sound Out (page 4): "Input Mode" to "MPX"; "RDS Enable" is "On" by default.
mode_index=$(curl -sf "$base/api/page?instance=$enc&page=4" |
    jq '[.controls.pages[].groups[].controls[] | select(.items == ["Bypass","MPX"])][0].index')
curl -sf -X POST "$base/api/control/set" --data-urlencode "instance=$instance" \
    -d "page=4&index=$mode_index&value=1" >/dev/null
overruns_start=$(curl -sf "$base/api/cpu?instance=$enc" | jq .overruns)

for _ in $(seq "$load"); do
    sha256sum /dev/zero >/dev/null &
    load_pids+=($!)
done
echo "rds_load: 192 kHz, $frames frames, MPX and RDS on, $load CPU-bound processes, $minutes min ($(nproc) CPUs)"
sleep $((minutes * 60))
for p in "${load_pids[@]}"; do kill "$p" 2>/dev/null || true; done
load_pids=()
cpu=$(curl -sf "$base/api/cpu?instance=$enc")
kill -TERM "$pid"
wait "$pid" || true
pid=""

echo "engine overruns during the run: $(( $(jq .overruns <<<"$cpu") - overruns_start )) (load $(jq .load <<<"$cpu"))"
grep 'torvalen\[RDS\]' "$work/log.txt" | sed 's/^.*torvalen\[RDS\]: /RDS modulator: /' || true
grep -E 'normal priority' "$work/log.txt" || true
status=0
"$py" "$root/tools/rds_decode.py" "$work/mpx.wav" || status=$?
exit $status
