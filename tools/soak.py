#!/usr/bin/python3
"""Soak run of one torvalen process with 8 instances on virtual devices (see
scripts/soak.sh, which runs this). Seven instances run at 48 kHz, one at 192 kHz
with the stereo multiplex and RDS; all are fed a looped music-like programme.

    /usr/bin/python3 tools/soak.py MINUTES TORVALEN_BIN WORK_DIR

Everything goes through the program's command line and its HTTP API on a free
loopback port: one device per instance, the 192 kHz instance's own rate and block,
Sound Out's "Input Mode", per-instance engine overruns (/api/cpu) and the output
meters of each instance in turn (the "meters" events of the selected Sound Out
page). Resident memory, open descriptors and CPU time come from /proc. Prints a
summary table; exit status 1 when an instance lost its level, overran, or the
program did not stop cleanly.
"""
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

SOUND_OUT_PAGE = 4
INSTANCES = ["Instance 1", "Soak 2", "Soak 3", "Soak 4", "Soak 5", "Soak 6", "Soak 7", "MPX 192k"]
MPX_INSTANCE = "MPX 192k"


class Api:
    def __init__(self, base):
        self.base = base

    def get(self, path, **params):
        url = self.base + path + ("?" + urllib.parse.urlencode(params) if params else "")
        with urllib.request.urlopen(url, timeout=30) as r:
            return json.loads(r.read())

    def post(self, path, **fields):
        data = urllib.parse.urlencode(fields).encode()
        with urllib.request.urlopen(urllib.request.Request(self.base + path, data=data), timeout=30) as r:
            answer = json.loads(r.read())
        if not answer.get("ok"):
            raise RuntimeError(f"{path} {fields}: {answer}")
        return answer


class MeterListener(threading.Thread):
    """Keeps the latest "meters" event per instance from /api/events."""

    def __init__(self, base):
        super().__init__(daemon=True)
        self.base = base
        self.latest = {}
        self.lock = threading.Lock()

    def run(self):
        try:
            with urllib.request.urlopen(self.base + "/api/events", timeout=60) as stream:
                event = None
                for raw in stream:
                    line = raw.decode("utf-8", "replace").rstrip("\n")
                    if line.startswith("event:"):
                        event = line[6:].strip()
                    elif line.startswith("data:") and event == "meters":
                        try:
                            data = json.loads(line[5:])
                        except ValueError:
                            continue
                        if isinstance(data, dict) and "instance" in data:
                            with self.lock:
                                self.latest[data["instance"]] = (time.monotonic(), data)
        except Exception:
            pass  # the program stopped

    def since(self, name, t):
        with self.lock:
            got = self.latest.get(name)
        return got[1] if got and got[0] > t else None


def proc_stats(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime + stime
    rss_kB = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss_kB = int(line.split()[1])
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    return ticks / os.sysconf("SC_CLK_TCK"), rss_kB, fds


def output_dB(meters, range_dB):
    """Output RMS of both channels in dB from the last meter item (Sound Out's "Output")."""
    items = meters.get("items") or []
    if not items:
        return None
    bars = items[-1].get("bars")
    if not bars or len(bars) < 2:
        return None
    return [-bars[ch][0] * range_dB for ch in (0, 1)]


def main():
    minutes, binary, work = float(sys.argv[1]), sys.argv[2], sys.argv[3]
    # A TERM (or HUP) ends the run through the same clean-up as Ctrl-C.
    for s in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, lambda *_, s=s: sys.exit(128 + s))
    subprocess.run(["/usr/bin/python3", os.path.join(os.path.dirname(__file__), "make_programme.py"), "60",
                    f"{work}/prog48.wav", f"{work}/prog192.wav"], check=True)
    os.makedirs(f"{work}/home")
    log_path = f"{work}/log.txt"
    log = open(log_path, "w")
    proc = subprocess.Popen([binary, "--home", f"{work}/home", "--listen", "127.0.0.1:0", "--rate", "48000",
                             "--frames", "256", "--input", f"{work}/prog48.wav", "--input", f"{work}/prog192.wav"],
                            stdout=log, stderr=log)
    ok = True
    try:
        base = None
        for _ in range(200):
            m = re.search(r"web interface at (http://127\.0\.0\.1:\d+)", open(log_path).read())
            if m:
                base = m.group(1)
                break
            if proc.poll() is not None:
                break
            time.sleep(0.1)
        if not base:
            print(open(log_path).read(), file=sys.stderr)
            sys.exit("soak: torvalen did not start")
        api = Api(base)
        first = api.get("/api/state")["current"]
        api.post("/api/sound/interface", instance=first, mode="1")
        if first != INSTANCES[0]:
            api.post("/api/instance/rename", name=INSTANCES[0])
        for name in INSTANCES[1:]:
            api.post("/api/instance/new", name=name)
        api.post("/api/sound/device", instance=MPX_INSTANCE, scope="instance", device="", rate="192000",
                 frames="1024")
        page = api.get("/api/page", instance=MPX_INSTANCE, page=SOUND_OUT_PAGE)
        mode = next(c["index"] for p in page["controls"]["pages"] for g in p["groups"] for c in g["controls"]
                    if c.get("items") == ["Bypass", "MPX"])
        api.post("/api/control/set", instance=MPX_INSTANCE, page=SOUND_OUT_PAGE, index=mode, value="1")
        range_dB = next((g["range"] for g in (page.get("meters") or {}).get("groups", []) if g["name"] == "Output"),
                        40.0)

        listener = MeterListener(base)
        listener.start()
        time.sleep(5)  # devices started, processors settled
        rates = {}
        for line in open(log_path):
            m = re.search(r"torvalen\[(.+?)\]: virtual device started at (\d+) Hz, (\d+) frames", line)
            if m:
                rates[m.group(1)] = f"{int(m.group(2)) // 1000} kHz/{m.group(3)}"
        over_start = {n: api.get("/api/cpu", instance=n)["overruns"] for n in INSTANCES}
        cpu0, rss0, fds0 = proc_stats(proc.pid)
        t0 = time.monotonic()
        print(f"soak: {len(INSTANCES)} instances, {minutes:g} min, pid {proc.pid}, {base}", flush=True)

        levels = {n: [] for n in INSTANCES}
        rss_max = rss0
        end = t0 + minutes * 60
        next_report = t0 + 300
        while time.monotonic() < end:
            for name in INSTANCES:
                if time.monotonic() >= end:
                    break
                api.post("/api/instance/select", name=name)
                api.post("/api/page/select", page=SOUND_OUT_PAGE)
                asked = time.monotonic()
                time.sleep(1.0)  # the bars follow their ballistics for a while
                meters = listener.since(name, asked + 0.6)
                value = output_dB(meters, range_dB) if meters else None
                if value:
                    levels[name].append((time.monotonic() - t0, value))
            rss_max = max(rss_max, proc_stats(proc.pid)[1])
            if time.monotonic() >= next_report:
                next_report += 300
                _, rss, fds = proc_stats(proc.pid)
                print(f"  {(time.monotonic() - t0) / 60:.0f} min: RSS {rss / 1024:.1f} MiB, {fds} descriptors",
                      flush=True)

        over_end = {n: api.get("/api/cpu", instance=n)["overruns"] for n in INSTANCES}
        loads = {n: api.get("/api/cpu", instance=n)["load"] for n in INSTANCES}
        cpu1, rss1, fds1 = proc_stats(proc.pid)
        wall = time.monotonic() - t0
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                ok = False
        log.close()
    clean = proc.returncode == 0 and "settings saved; exit" in open(log_path).read()

    print()
    print(f"{'instance':<11} {'device':<13} {'overruns':>8} {'load':>6} {'level start':>12} {'level end':>10} "
          f"{'lowest':>7} {'samples':>7}  level kept")
    for name in INSTANCES:
        samples = [sum(v) / 2 for _, v in levels[name]]
        overruns = over_end[name] - over_start[name]
        if len(samples) >= 2:
            k = max(1, len(samples) // 5)
            start_dB = statistics.median(samples[:k])
            end_dB = statistics.median(samples[-k:])
            kept = abs(end_dB - start_dB) <= 3.0 and min(start_dB, end_dB) > -range_dB + 1
            low = min(samples)
            row = f"{start_dB:>12.1f} {end_dB:>10.1f} {low:>7.1f} {len(samples):>7}  {'yes' if kept else 'NO'}"
        else:
            kept = False
            row = f"{'-':>12} {'-':>10} {'-':>7} {len(samples):>7}  NO (no meter readings)"
        ok = ok and kept and overruns == 0
        print(f"{name:<11} {rates.get(name, '?'):<13} {overruns:>8} {loads[name]:>6.3f} {row}")
    print()
    print(f"run: {wall / 60:.1f} min; process CPU {100 * (cpu1 - cpu0) / wall:.1f} % of one core "
          f"({os.cpu_count()} CPUs, shared machine)")
    print(f"resident memory: {rss0 / 1024:.1f} MiB at start, {rss1 / 1024:.1f} MiB at end "
          f"(highest {rss_max / 1024:.1f} MiB)")
    print(f"open file descriptors: {fds0} at start, {fds1} at end")
    print(f"output level: median of each instance's output RMS (dB, both channels) over the first and the last "
          f"fifth of its meter readings; kept = within 3 dB and above the meter floor ({-range_dB:g} dB)")
    print(f"stopped cleanly (SIGTERM, settings saved): {'yes' if clean else 'NO'}")
    ok = ok and clean
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
