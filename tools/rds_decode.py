#!/usr/bin/python3
"""Reads the RDS groups back from a recorded 192 kHz multiplex (a float or PCM WAV,
left channel) and says whether they came back to back.

    /usr/bin/python3 tools/rds_decode.py MPX.wav [--list]

The receiver: the 57 kHz carrier is rebuilt from the pilot (three times its phase,
tracked over 4 ms, so a jump in the recording is followed), the baseband is
integrated over half bits (biphase), decoded differentially, and groups are found
by the checkword syndromes of their four blocks (no error correction). Symbol
timing is tracked window by window, so the grid is found again after a splice.

Two groups are back to back when the second's block 1 starts 104 bits (16815
samples) after the first's. Otherwise the pair is a splice (the bit grid moved by
half a bit or more: samples of the waveform were skipped or repeated) or a gap
(whole groups did not decode: block errors). Prints one summary line per figure;
exits 1 when any group was lost or spliced.
"""
import sys

import numpy as np
from scipy.io import wavfile

FS = 192000
PILOT = 19000.0
BIT = 16815.0 / 104.0  # samples per bit
GROUP = 104 * BIT
OFFSETS = {"A": 0x0FC, "B": 0x198, "C": 0x168, "C'": 0x350, "D": 0x1B4}


def syndrome(word):
    reg = word
    for bit in range(25, 9, -1):
        if reg & (1 << bit):
            reg ^= 0x5B9 << (bit - 10)
    return reg & 0x3FF


def baseband(x):
    """The RDS baseband: x times 2 sin(3 (w n + phi[n])), phi the pilot phase."""
    n = len(x)
    out = np.empty(n, dtype=np.float32)
    w = 2 * np.pi * PILOT / FS
    half = 384  # 4 ms moving average for the pilot phase
    chunk = 1 << 20
    for start in range(0, n, chunk):
        a = max(0, start - half)
        b = min(n, start + chunk + half)
        seg = x[a:b].astype(np.float64)
        idx = np.arange(a, b)
        ph = w * (idx % 192)  # the carriers repeat every 192 samples
        zc = np.concatenate([[0.0], np.cumsum(seg * np.cos(ph))])
        zs = np.concatenate([[0.0], np.cumsum(seg * np.sin(ph))])
        lo = np.clip(np.arange(start, min(n, start + chunk)) - half - a, 0, b - a)
        hi = np.clip(np.arange(start, min(n, start + chunk)) + half - a, 0, b - a)
        # z = mean(x e^{-jwn}); x = A sin(wn + phi) gives arg z = phi - pi/2.
        re = zc[hi] - zc[lo]
        im = -(zs[hi] - zs[lo])
        phi = np.arctan2(im, re) + np.pi / 2
        k = np.arange(start, min(n, start + chunk))
        out[start:start + len(k)] = seg[k - a] * 2 * np.sin(3 * (w * (k % 192) + phi))
    return out


def bits_of(base):
    prefix = np.concatenate([[0.0], np.cumsum(base, dtype=np.float64)])
    n = len(base)

    def metric(t):
        t = np.asarray(t)
        i0 = np.clip(t.astype(np.int64), 0, n)
        i1 = np.clip((t + BIT / 2).astype(np.int64), 0, n)
        i2 = np.clip((t + BIT).astype(np.int64), 0, n)
        return (prefix[i1] - prefix[i0]) - (prefix[i2] - prefix[i1])

    window = 256  # bits per timing estimate
    candidates = np.linspace(-BIT / 2, BIT / 2, 33)
    k = np.arange(window) * BIT
    # First estimate: 64 offsets over one bit, 400 bits from the start.
    first = np.arange(64) * BIT / 64
    scores = [np.abs(metric(o + np.arange(400) * BIT)).sum() for o in first]
    t = first[int(np.argmax(scores))]
    levels, times = [], []
    while t + (window + 1) * BIT < n:
        grid = t + candidates[:, None] + k[None, :]
        m = metric(grid)
        best = int(np.argmax(np.abs(m).sum(axis=1)))
        levels.append(m[best] > 0)
        times.append(grid[best])
        t = grid[best][-1] + BIT
    e = np.concatenate(levels).astype(np.uint8)
    bits = e ^ np.concatenate([[0], e[:-1]]).astype(np.uint8)
    return bits, np.concatenate(times)


def groups_of(bits):
    n = len(bits)
    unit = np.array([syndrome(1 << (25 - j)) for j in range(26)], dtype=np.int64)
    m = n - 25
    s = np.zeros(max(m, 0), dtype=np.int64)
    for j in range(26):
        s ^= bits[j:j + m].astype(np.int64) * unit[j]
    last = m - 78
    if last <= 0:
        return []
    ok = ((s[:last] == OFFSETS["A"]) & (s[26:26 + last] == OFFSETS["B"]) &
          ((s[52:52 + last] == OFFSETS["C"]) | (s[52:52 + last] == OFFSETS["C'"])) &
          (s[78:78 + last] == OFFSETS["D"]))
    found, next_free = [], 0
    for i in np.flatnonzero(ok):
        if i < next_free:
            continue
        found.append(int(i))
        next_free = i + 104
    return found


def words(bits, i):
    out = []
    for b in range(4):
        v = 0
        for j in range(16):
            v = (v << 1) | int(bits[i + 26 * b + j])
        out.append(v)
    return out


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    rate, data = wavfile.read(sys.argv[1], mmap=True)
    if rate != FS:
        sys.exit(f"{sys.argv[1]} runs at {rate} Hz, not {FS}")
    x = data[:, 0] if data.ndim == 2 else data
    bits, times = bits_of(baseband(x))
    found = groups_of(bits)
    if len(found) < 2:
        print(f"groups decoded: {len(found)} (no RDS?)")
        return 1
    starts = times[found]
    back_to_back = splices = gaps = missing = 0
    events = []
    for j in range(1, len(found)):
        delta = starts[j] - starts[j - 1]
        count = int(round(delta / GROUP))
        residual = delta - count * GROUP
        if abs(residual) >= BIT / 2:
            splices += 1
            events.append((starts[j - 1] / FS, f"splice: bit grid moved by {residual / BIT:+.2f} bits "
                                               f"({residual:+.0f} samples; a repeated engine block moves it by "
                                               f"the block length)"))
        elif count == 1:
            back_to_back += 1
        else:
            gaps += 1
            missing += count - 1
            events.append((starts[j - 1] / FS, f"gap: {count - 1} group(s) not decoded"))
    span_s = (starts[-1] - starts[0]) / FS
    expected = int(round((starts[-1] - starts[0]) / GROUP)) + 1
    print(f"recording: {len(x) / FS:.1f} s; RDS from {starts[0] / FS:.2f} s to {starts[-1] / FS:.2f} s ({span_s:.1f} s)")
    print(f"groups decoded: {len(found)} of {expected} expected on the grid")
    print(f"back to back: {back_to_back} of {len(found) - 1} pairs")
    print(f"splices: {splices}")
    print(f"gaps: {gaps} ({missing} groups not decoded)")
    for at, what in events[:50]:
        print(f"  at {at:.3f} s: {what}")
    if "--list" in sys.argv:
        for i in found:
            print(" ".join(f"{w:04X}" for w in words(bits, i)))
    return 0 if splices == 0 and gaps == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
