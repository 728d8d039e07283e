#!/usr/bin/python3
"""Writes a music-like stereo test programme as 16-bit WAV: chords, a melody,
pink and brown noise, a near-silent passage and level changes of 20 dB and more,
so a processor's gain riding has something to do. The same programme at 192 kHz
is the 48 kHz one up-sampled by 4 (nothing above 20 kHz).

    /usr/bin/python3 tools/make_programme.py SECONDS OUT48.wav [OUT192.wav]
"""
import sys

import numpy as np
from scipy.io import wavfile
from scipy.signal import resample_poly

FS = 48000


def pink(n, rng):
    white = rng.standard_normal(n)
    spectrum = np.fft.rfft(white)
    f = np.arange(len(spectrum), dtype=float)
    f[0] = 1.0
    x = np.fft.irfft(spectrum / np.sqrt(f), n)
    return x / np.max(np.abs(x))


def brown(n, rng):
    x = np.cumsum(rng.standard_normal(n))
    x -= np.convolve(x, np.ones(4801) / 4801, mode="same")  # no drift below 10 Hz
    return x / np.max(np.abs(x))


def tones(n, freqs, t0):
    t = (np.arange(n) + t0) / FS
    return sum(np.sin(2 * np.pi * f * t) / len(freqs) for f in freqs)


def programme(seconds, seed=7):
    rng = np.random.default_rng(seed)
    parts = []
    # (length s, generator, level dBFS, stereo spread)
    sections = [
        (6, lambda n, t: tones(n, [220, 277.2, 329.6, 440], t), -14, 0.3),
        (6, lambda n, t: pink(n, rng), -20, 0.8),
        (4, lambda n, t: tones(n, [110, 880], t) * (0.5 + 0.5 * np.sin(2 * np.pi * 3 * np.arange(n) / FS)), -10, 0.1),
        (4, lambda n, t: pink(n, rng), -42, 1.0),  # a quiet passage
        (6, lambda n, t: brown(n, rng) * 0.7 + 0.3 * tones(n, [196, 246.9, 293.7], t), -8, 0.5),
        (4, lambda n, t: np.concatenate([tones(n // 8, [f], t) for f in (262, 294, 330, 349, 392, 440, 494, 523)]
                                        + [np.zeros(n - 8 * (n // 8))]), -18, 0.0),
    ]
    total = int(seconds * FS)
    done = 0
    k = 0
    while done < total:
        length_s, make, level_dB, spread = sections[k % len(sections)]
        n = min(int(length_s * FS), total - done)
        mono = make(n, done)
        side = pink(n, rng) * 0.1 * spread
        gain = 10 ** (level_dB / 20)
        # Short fades keep the section joins free of clicks.
        fade = np.ones(n)
        m = min(480, n // 2)
        fade[:m] = np.linspace(0, 1, m)
        fade[n - m:] = np.linspace(1, 0, m)
        left = (mono + side) * gain * fade
        right = (mono - side) * gain * fade
        parts.append(np.stack([left, right], axis=1))
        done += n
        k += 1
    return np.concatenate(parts)


def write(path, x, fs):
    pcm = np.clip(np.round(x * 32767), -32768, 32767).astype(np.int16)
    wavfile.write(path, fs, pcm)


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    x = programme(float(sys.argv[1]))
    write(sys.argv[2], x, FS)
    if len(sys.argv) == 4:
        write(sys.argv[3], resample_poly(x, 4, 1, axis=0), 4 * FS)


if __name__ == "__main__":
    main()
