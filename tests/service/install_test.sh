#!/usr/bin/env bash
# Installs the build into a temporary prefix, checks the systemd units with
# systemd-analyze, then runs the installed program (which must find its web
# interface and factory presets by itself) and fetches its page and /healthz over
# loopback.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix/usr" >/dev/null
for unit in "$prefix"/usr/lib/systemd/system/torvalen.service "$prefix"/usr/lib/systemd/user/torvalen.service; do
  grep -q "^ExecStart=$prefix/usr/bin/torvalen" "$unit"
  cp "$unit" "$prefix/check.service"
  systemd-analyze verify "$prefix/check.service"
done
test -x "$prefix/usr/bin/torvalen-sweep"
test -f "$prefix/usr/lib/sysusers.d/torvalen.conf"
test -f "$prefix/usr/share/torvalen/presets/one/pop.fmt4"
test -f "$prefix/usr/share/torvalen/presets/five/ebu-r128.fmt4"

env -u TORVALEN_UI_DIR "$prefix/usr/bin/torvalen" --home "$prefix/home" --listen 127.0.0.1:0 2>"$prefix/log" &
pid=$!
for _ in $(seq 100); do grep -q "running;" "$prefix/log" && break; sleep 0.1; done
url=$(sed -n 's/.*web interface at \(http:[^ ]*\).*/\1/p' "$prefix/log" | head -n 1)
test -n "$url"
# The installed program takes its factory presets from the installed tree.
grep -q "factory presets from $prefix/usr/share/torvalen/presets" "$prefix/log"
/usr/bin/python3 - "$url" <<'PY'
import sys, urllib.request
base = sys.argv[1]
page = urllib.request.urlopen(base + "/").read().decode()
assert "<html" in page.lower(), page[:200]
assert urllib.request.urlopen(base + "/healthz").read() == b"ok\n"
PY
kill -TERM "$pid"
wait "$pid"
echo "installed tree runs and serves its interface"
