#!/usr/bin/python3
"""Designs the fixed FIR coefficient tables of the processing chain and writes them
as constant C++ tables (dsp/fir_tables.h, dsp/fir_tables.cpp).

Every designed table is linear phase (symmetric) and comes from a linear programme
over its zero-phase amplitude A(f): pass bands within a tolerance of their target
curve, stop bands under their bound, and the named response points met exactly (or,
where the named points cannot all be met at that length, as closely as possible).
The three tables whose values are known (the 21- and 27-tap crossover tables, the
two short "Pure" pre-emphasis tables) are written as given.

Run with Debian's interpreter (it has numpy and scipy):
    /usr/bin/python3 tools/design_fir.py            # writes the two files, prints the report
    /usr/bin/python3 tools/design_fir.py --check    # prints the report only
"""
import argparse
import pathlib
import sys

import numpy as np
import scipy.optimize as so
from scipy.interpolate import PchipInterpolator

ROOT = pathlib.Path(__file__).resolve().parent.parent


def db(x):
    return 10.0 ** (np.asarray(x, float) / 20.0)


# --- zero-phase amplitude of a symmetric FIR ---------------------------------------

def half_len(n):
    return (n + 1) // 2 if n % 2 else n // 2


def basis(n, f, fs):
    """Rows map the free half of the taps to A(f)."""
    w = 2 * np.pi * np.asarray(f, float) / fs
    if n % 2:  # odd length: g[k] = h[M - k]
        k = np.arange(half_len(n))
        b = np.cos(np.outer(w, k))
        b[:, 1:] *= 2
    else:  # even length: g[k] = h[M - 1 - k]
        k = np.arange(half_len(n))
        b = 2 * np.cos(np.outer(w, k + 0.5))
    return b


def expand(n, g):
    h = np.zeros(n)
    m = n // 2
    k = np.arange(len(g))
    if n % 2:
        h[m - k] = g
        h[m + k] = g
    else:
        h[m - 1 - k] = g
        h[m + k] = g
    return h


def expansion_matrix(n):
    return np.array([expand(n, e) for e in np.eye(half_len(n))]).T


def response_db(h, f, fs):
    n = np.arange(len(h))
    H = np.exp(-2j * np.pi * np.outer(np.atleast_1d(f), n) / fs) @ h
    return 20 * np.log10(np.abs(H) + 1e-300)


def grid(f0, f1, n, fs, density=64):
    return np.linspace(f0, f1, max(int((f1 - f0) / fs * n * density), 16))


def solve(n, fs, passes, stops, exact=(), soft=(), mono=None, equalities=()):
    """Linear programme. Variables: half taps g and one error bound t.

    passes: (f0, f1, target(f), tolerance(f)); |A - target| <= t * tolerance.
      With soft points present the pass bands are hard instead (|A - target| <= tolerance).
    stops: (f0, f1, bound); |A| <= bound (hard).
    exact: (f, value); A(f) = value.
    soft: (f, value); |A(f) - value| <= t * value (then t measures the point error).
    mono: (f0, f1, floor); A non-increasing over [f0, f1] and A >= -floor there.
    equalities: (row over g, value).
    """
    nv = half_len(n)
    rows, rhs = [], []
    t_in_pass = 0.0 if soft else 1.0
    for f0, f1, target, tol in passes:
        f = grid(f0, f1, n, fs)
        B = basis(n, f, fs)
        d, tl = target(f), tol(f)
        col = -t_in_pass * np.ones((len(f), 1))
        scale = 1.0 if soft else 1.0 / tl
        extra = tl if soft else 0.0
        rows += [np.hstack([B * np.atleast_1d(scale)[:, None] if not soft else B, col]),
                 np.hstack([-(B * np.atleast_1d(scale)[:, None]) if not soft else -B, col])]
        rhs += [d * scale + extra, -d * scale + extra]
    for f0, f1, bound in stops:
        f = grid(f0, f1, n, fs)
        B = basis(n, f, fs) / bound
        z = np.zeros((len(f), 1))
        rows += [np.hstack([B, z]), np.hstack([-B, z])]
        rhs += [np.ones(len(f)), np.ones(len(f))]
    if mono:
        f = grid(mono[0], mono[1], n, fs)
        B = basis(n, f, fs)
        rows += [np.hstack([B[1:] - B[:-1], np.zeros((len(f) - 1, 1))]),
                 np.hstack([-B, np.zeros((len(f), 1))])]
        rhs += [np.zeros(len(f) - 1), np.full(len(f), mono[2])]
    for f, v in soft:
        r = basis(n, [f], fs)[0] / v
        rows += [np.append(r, -1.0)[None, :], np.append(-r, -1.0)[None, :]]
        rhs += [[1.0], [-1.0]]
    a_eq, b_eq = [], []
    for f, v in exact:
        a_eq.append(np.append(basis(n, [f], fs)[0], 0.0))
        b_eq.append(v)
    for row, v in equalities:
        a_eq.append(np.append(row, 0.0))
        b_eq.append(v)
    c = np.zeros(nv + 1)
    c[-1] = 1.0
    res = so.linprog(c, A_ub=np.vstack(rows), b_ub=np.concatenate(rhs),
                     A_eq=np.array(a_eq) if a_eq else None, b_eq=np.array(b_eq) if b_eq else None,
                     bounds=[(None, None)] * (nv + 1), method="highs",
                     options=dict(primal_feasibility_tolerance=1e-10, dual_feasibility_tolerance=1e-10))
    if res.status != 0:
        sys.exit(f"design of a {n}-tap table failed: {res.message}")
    return expand(n, res.x[:-1]), res.x[-1]


def centre_tap(n, value):
    row = np.zeros(half_len(n))
    row[0] = 1.0
    return (row, value)


def phase_sums(n, value):
    """Every polyphase branch (taps j, j+4, j+8, ...) sums to value. Branches 0/3 and
    1/2 mirror each other in a symmetric table, so two rows suffice."""
    P = expansion_matrix(n)
    return [(P[j::4].sum(axis=0), value) for j in (0, 1)]


# --- the tables ----------------------------------------------------------------------

FS = 48000.0
FS_X4 = 192000.0
FLAT = db(0.01) - 1.0  # +-0.01 dB as an amplitude tolerance
MARGIN_DB = 0.1  # stop bands are designed this far under their bound, so rounding to float keeps them under


def ones(f):
    return np.ones_like(f)


def low_pass(name, n, pass_edge, points, stop_edge, stop_db, centre, role):
    h, t = solve(n, FS, [(0, pass_edge, ones, lambda f: FLAT * ones(f))],
                 [(stop_edge, FS / 2, db(stop_db - MARGIN_DB))],
                 exact=[(f, db(v)) for f, v in points], equalities=[centre_tap(n, centre)])
    checks = [("pass band max deviation 0..%g Hz" % pass_edge,
               lambda hh: np.abs(response_db(hh, grid(0, pass_edge, n, FS), FS)).max(), None)]
    checks += [("at %g Hz" % f, (lambda f: lambda hh: response_db(hh, f, FS)[0])(f), v) for f, v in points]
    checks += [("stop band max from %g Hz" % stop_edge,
                lambda hh: response_db(hh, grid(stop_edge, FS / 2, n, FS), FS).max(), stop_db)]
    return dict(name=name, h=h, fs=FS, role=role, checks=checks, centre=centre)


def boost(name, n, tau_s, lf_db, db_15k, f_6db, stop_db, centre, role):
    # The curve rises like the pre-emphasis |1 + j*2*pi*f*tau| raised to the power that
    # carries it from the stated LF gain to the stated 15 kHz gain.
    curve = lambda f: np.sqrt(1 + (2 * np.pi * f * tau_s) ** 2)
    alpha = np.log(db(db_15k - lf_db)) / np.log(curve(15000.0))
    target = lambda f: db(lf_db) * curve(f) ** alpha
    h, t = solve(n, FS, [(0, 14000, target, lambda f: 0.01 * target(f))],
                 [(19000, FS / 2, db(stop_db - MARGIN_DB))],
                 exact=[(0.0, db(lf_db)), (15000.0, db(db_15k)), (f_6db, db(-6.0))])
    checks = [("at 0 Hz", lambda hh: response_db(hh, 0.0, FS)[0], lf_db),
              ("max deviation from the curve 0..14 kHz",
               lambda hh: np.abs(response_db(hh, grid(1, 14000, n, FS), FS)
                                 - 20 * np.log10(target(grid(1, 14000, n, FS)))).max(), None),
              ("at 15000 Hz", lambda hh: response_db(hh, 15000.0, FS)[0], db_15k),
              ("at %g Hz" % f_6db, lambda hh: response_db(hh, f_6db, FS)[0], -6.0),
              ("stop band max from 19000 Hz",
               lambda hh: response_db(hh, grid(19000, FS / 2, n, FS), FS).max(), stop_db)]
    return dict(name=name, h=h, fs=FS, role=role, checks=checks, centre=centre)


def hf_clip_path():
    n = 57
    pts = [(2000, -26.5), (4000, -15.9), (8000, -4.8), (10000, -0.8), (14000, 3.3), (20000, 6.7)]
    lf = np.log2([p[0] for p in pts])
    shape = PchipInterpolator(lf, [p[1] for p in pts])
    slope_db_per_octave = 10.6  # the 2 kHz -> 4 kHz rise, continued below 2 kHz

    def target(f):
        x = np.log2(np.maximum(f, 1.0))
        below = pts[0][1] + (x - lf[0]) * slope_db_per_octave
        return db(np.where(f < pts[0][0], below, shape(np.clip(x, lf[0], lf[-1]))))

    h, t = solve(n, FS, [(50, 20000, target, lambda f: 0.02 * target(f) + 1e-4)],
                 [(22000, FS / 2, db(-60.0 - MARGIN_DB))],
                 exact=[(0.0, 0.0)] + [(f, db(v)) for f, v in pts])
    checks = [("sum of taps (DC amplitude)", lambda hh: float(hh.sum()), None)]
    checks += [("at %g Hz" % f, (lambda f: lambda hh: response_db(hh, f, FS)[0])(f), v) for f, v in pts]
    checks += [("stop band max from 22000 Hz",
                lambda hh: response_db(hh, grid(22000, FS / 2, n, FS), FS).max(), -60.0)]
    return dict(name="hf_clip_path_57", h=h, fs=FS, checks=checks, centre=None,
                role="high-frequency path of the pre-emphasis clipper (high-pass, 48 kHz)")


def rate_converter(name, n, branch_sum, pass_db, points, stop_edge, stop_db, role, flat_db=None):
    """4x polyphase prototype at 192 kHz: all four branches sum to branch_sum, so DC and
    its images at 48 and 96 kHz come out right; points relative to the pass band.

    flat_db: a tighter tolerance from 0 to 15 kHz (pass_db then holds from 15 to 20 kHz).
    The chain passes several converter pairs in series (band oversampling, the 6 kHz split
    of the Garde crossovers, the high-frequency clipper, the safety clipper), and their
    pass-band ripples add up: each must be far flatter than the chain's own tolerance in
    the broadcast band."""
    g = 4 * branch_sum
    lo_db = pass_db if flat_db is None else flat_db
    tol = lambda f: g * np.where(f <= 15000, db(lo_db) - 1, db(pass_db) - 1)
    h, t = solve(n, FS_X4, [(0, 20000, lambda f: g * ones(f), tol)],
                 [(stop_edge, FS_X4 / 2, g * db(stop_db))],
                 soft=[(f, g * db(v)) for f, v in points],
                 mono=(20000, stop_edge, g * db(stop_db)),
                 equalities=phase_sums(n, branch_sum))
    rel = lambda hh, f: response_db(hh, f, FS_X4) - 20 * np.log10(g)
    checks = [("branch sums", lambda hh: [float(hh[j::4].sum()) for j in range(4)], branch_sum),
              ("pass band max deviation 0..20000 Hz",
               lambda hh: np.abs(rel(hh, grid(0, 20000, n, FS_X4))).max(), pass_db),
              ("pass band peak to peak 0..15000 Hz",
               lambda hh: np.ptp(rel(hh, grid(0, 15000, n, FS_X4))), None)]
    checks += [("at %g Hz" % f, (lambda f: lambda hh: rel(hh, f)[0])(f), v) for f, v in points]
    checks += [("at 28000 Hz", lambda hh: rel(hh, 28000.0)[0], None),
               ("stop band max from %g Hz" % stop_edge,
                lambda hh: rel(hh, grid(stop_edge, FS_X4 / 2, n, FS_X4)).max(), stop_db)]
    return dict(name=name, h=h, fs=FS_X4, role=role, checks=checks, centre=None)


GIVEN = [
    dict(name="lin_phase_top_21", role="linear-phase crossover top split (given)",
         half=[-0.00098858215, 0.00046367708, 0.0058716126, 0.0088178599, -0.0036054982,
               -0.030955067, -0.041912071, 0.0085182665, 0.1293623, 0.26339021, 0.32231587]),
    dict(name="lin_phase_prototype_27", role="linear-phase crossover prototype, used as a sparse FIR (given)",
         half=[-0.00084450009, -0.00086182659, 0.0011035749, 0.005185938, 0.0079453578,
               0.0034903537, -0.011139164, -0.029468926, -0.034462944, -0.006974204,
               0.059679687, 0.14948718, 0.22762872, 0.25864992]),
    dict(name="pre_emphasis_pure_50us_11", role='pre-emphasis "Pure" 50 us (given; only the first three taps are non-zero)',
         taps=[-0.338996, 1.68975, -0.338996] + [0.0] * 8),
    dict(name="pre_emphasis_pure_75us_13", role='pre-emphasis "Pure" 75 us (given; only the first three taps are non-zero)',
         taps=[-0.689202, 2.40127, -0.689202] + [0.0] * 10),
]


def designed_tables():
    return [
        low_pass("fm_band_limit_53", 53, 15000, [(15730, -0.5), (16450, -3.0), (18480, -40.0)],
                 19000, -82.0, 0.702443, 'FM band limit (input and output low-pass "FM", AM input)'),
        low_pass("hd_band_limit_101", 101, 20000, [(20720, -3.0), (21740, -40.0)],
                 22000, -82.0, 0.872048, "HD band limit"),
        low_pass("am_8k_101", 101, 8000, [(8720, -3.0), (9760, -40.0)],
                 10000, -80.0, 0.371922, "AM 8 kHz output low-pass"),
        low_pass("am_5k_211", 211, 5000, [(5360, -3.0), (5870, -40.0)],
                 6000, -83.0, 0.227709, "AM 5 kHz output low-pass"),
        boost("pre_emphasis_boost_25us_31", 31, 25e-6, 0.49, 7.7, 17030, -70.0, 1.14907,
              'pre-emphasis "Boost" 25 us'),
        boost("pre_emphasis_boost_50us_33", 33, 50e-6, -0.32, 13.4, 17590, -60.0, 1.94538,
              'pre-emphasis "Boost" 50 us'),
        boost("pre_emphasis_boost_75us_37", 37, 75e-6, 0.25, 16.8, 17590, -71.0, 2.74274,
              'pre-emphasis "Boost" 75 us'),
        hf_clip_path(),
        rate_converter("rate_converter_prototype_120", 120, 0.24905, 0.2,
                       [(24000, -27.2), (26000, -53.0)], 30000, -135.0,
                       "4x interpolation / decimation prototype (192 kHz), stored scale", flat_db=0.01),
        rate_converter("mpx_upsampler_prototype_148", 148, 0.24986, 0.01,
                       [(21000, -0.4), (22000, -2.3), (23000, -6.5), (24000, -14.0), (26000, -43.0)],
                       32000, -139.0, "4x up-sampler of the MPX output (192 kHz), stored scale"),
    ]


# --- output --------------------------------------------------------------------------

def fmt(x):
    s = "%.9g" % float(np.float32(x))
    if "e" not in s and "." not in s:
        s += ".0"
    return s + "f"


def table_text(name, taps):
    lines = []
    per_line = 6
    for i in range(0, len(taps), per_line):
        lines.append("    " + ", ".join(fmt(v) for v in taps[i:i + per_line]) + ",")
    return "constexpr std::array<float, %d> %s = {{\n%s\n}};\n" % (len(taps), name, "\n".join(lines))


def write(tables):
    header = ["// Generated by tools/design_fir.py; do not edit by hand.",
              "// Fixed FIR coefficient tables of the processing chain. Symmetric tables are",
              "// linear phase with a delay of (taps - 1) / 2 samples.",
              "#pragma once", "", "#include <array>", "", "namespace torvalen::dsp::fir_tables {", ""]
    source = ["// Generated by tools/design_fir.py; do not edit by hand.",
              '#include "dsp/fir_tables.h"', "", "namespace torvalen::dsp::fir_tables {", ""]
    for t in tables:
        n = len(t["taps"])
        header.append("// %s: %d taps." % (t["role"], n))
        header.append("extern const std::array<float, %d> %s;" % (n, t["name"]))
        source.append("// %s" % t["role"])
        source.append(table_text(t["name"], t["taps"]))
    header += ["",
               "// The two 4x rate-conversion prototypes as used: the stored tables times 4.0, so",
               "// that every polyphase branch has (almost exactly) unity gain. Multiplying a float",
               "// by 4.0 is exact, so these equal a start-up scaling bit for bit, without any",
               "// start-up step or mutable table.",
               "extern const std::array<float, 120> rate_converter_prototype;",
               "extern const std::array<float, 148> mpx_upsampler_prototype;", "",
               "}  // namespace torvalen::dsp::fir_tables", ""]
    source += ["namespace {",
               "template <std::size_t N>",
               "constexpr std::array<float, N> times_four(const std::array<float, N>& stored) {",
               "    std::array<float, N> out{};",
               "    for (std::size_t i = 0; i < N; ++i) out[i] = stored[i] * 4.0f;  // 4x: one branch of four",
               "    return out;",
               "}",
               "}  // namespace", "",
               "constexpr std::array<float, 120> rate_converter_prototype = times_four(rate_converter_prototype_120);",
               "constexpr std::array<float, 148> mpx_upsampler_prototype = times_four(mpx_upsampler_prototype_148);",
               "", "}  // namespace torvalen::dsp::fir_tables", ""]
    (ROOT / "dsp" / "fir_tables.h").write_text("\n".join(header))
    (ROOT / "dsp" / "fir_tables.cpp").write_text("\n".join(source))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--check", action="store_true", help="print the report without writing files")
    args = ap.parse_args()
    tables = []
    for g in GIVEN:
        taps = g.get("taps")
        if taps is None:
            half = g["half"]
            taps = half + half[-2::-1]
        tables.append(dict(name=g["name"], role=g["role"], taps=np.array(taps)))
    for d in designed_tables():
        hf = d["h"].astype(np.float32).astype(float)  # report what the stored floats do
        print("%s (%d taps, %s)" % (d["name"], len(hf), d["role"]))
        if d["centre"] is not None:
            print("  centre tap %.6f (stated %.6f)" % (hf[len(hf) // 2], d["centre"]))
        else:
            print("  centre tap %.6f" % hf[len(hf) // 2])
        for label, fn, stated in d["checks"]:
            v = fn(hf)
            vs = ("[" + ", ".join("%.6f" % x for x in v) + "]") if isinstance(v, list) else "%.3f" % v
            print("  %-42s %s%s" % (label, vs, "" if stated is None else "   (stated %s)" % stated))
        tables.append(dict(name=d["name"], role=d["role"], taps=hf))
    if not args.check:
        write(tables)
        print("wrote dsp/fir_tables.h and dsp/fir_tables.cpp")


if __name__ == "__main__":
    main()
