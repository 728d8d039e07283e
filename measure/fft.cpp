#include "measure/fft.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "dsp/simd.h"

namespace torvalen::measure {

namespace {

using dsp::simd::f4;

// A complex value (or four of them) in split form.
template <class V>
struct Cx {
    V re, im;
};

template <class V>
inline Cx<V> operator+(Cx<V> a, Cx<V> b) { return {a.re + b.re, a.im + b.im}; }
template <class V>
inline Cx<V> operator-(Cx<V> a, Cx<V> b) { return {a.re - b.re, a.im - b.im}; }
// a times -i.
template <class V>
inline Cx<V> times_minus_i(Cx<V> a) { return {a.im, -a.re}; }
template <class V, class W>
inline Cx<V> rotate(Cx<V> a, W wr, W wi) { return {a.re * wr - a.im * wi, a.re * wi + a.im * wr}; }

template <class V>
inline V load_v(const float* p);
template <>
inline float load_v<float>(const float* p) { return *p; }
template <>
inline f4 load_v<f4>(const float* p) { return dsp::simd::load(p); }

inline void store_v(float* p, float v) { *p = v; }
inline void store_v(float* p, f4 v) { dsp::simd::store(p, v); }

template <class V>
inline Cx<V> load_cx(const float* re, const float* im, std::size_t at) {
    return {load_v<V>(re + at), load_v<V>(im + at)};
}
template <class V>
inline void store_cx(float* re, float* im, std::size_t at, Cx<V> v) {
    store_v(re + at, v.re);
    store_v(im + at, v.im);
}

// sin(2 pi / 3)
constexpr float sin_third = 0.86602540378443864676f;

// Output t of a pass goes to y[q + s (r p + t)] after the twiddle e^(-2 pi i p t / L).
// The radix kernels below take the inputs a_j = x[q + s (p + j m)] for one (p, q)
// run of `V` lanes along q, with the pass's twiddles of this p broadcast.

template <class V>
inline void radix2(const float* xr, const float* xi, float* yr, float* yi, std::size_t in,
                   std::size_t in_step, std::size_t out, std::size_t out_step, float w1r, float w1i) {
    const Cx<V> a0 = load_cx<V>(xr, xi, in);
    const Cx<V> a1 = load_cx<V>(xr, xi, in + in_step);
    store_cx(yr, yi, out, a0 + a1);
    store_cx(yr, yi, out + out_step, rotate(a0 - a1, w1r, w1i));
}

template <class V>
inline void radix3(const float* xr, const float* xi, float* yr, float* yi, std::size_t in,
                   std::size_t in_step, std::size_t out, std::size_t out_step, const float* w) {
    const Cx<V> a0 = load_cx<V>(xr, xi, in);
    const Cx<V> a1 = load_cx<V>(xr, xi, in + in_step);
    const Cx<V> a2 = load_cx<V>(xr, xi, in + 2 * in_step);
    const Cx<V> s = a1 + a2;
    const Cx<V> d = a1 - a2;
    const Cx<V> c{a0.re - 0.5f * s.re, a0.im - 0.5f * s.im};
    const Cx<V> e{sin_third * d.im, -sin_third * d.re};  // -i sin(2 pi/3) d
    store_cx(yr, yi, out, a0 + s);
    store_cx(yr, yi, out + out_step, rotate(c + e, w[0], w[1]));
    store_cx(yr, yi, out + 2 * out_step, rotate(c - e, w[2], w[3]));
}

template <class V>
inline void radix4(const float* xr, const float* xi, float* yr, float* yi, std::size_t in,
                   std::size_t in_step, std::size_t out, std::size_t out_step, const float* w) {
    const Cx<V> a0 = load_cx<V>(xr, xi, in);
    const Cx<V> a1 = load_cx<V>(xr, xi, in + in_step);
    const Cx<V> a2 = load_cx<V>(xr, xi, in + 2 * in_step);
    const Cx<V> a3 = load_cx<V>(xr, xi, in + 3 * in_step);
    const Cx<V> t0 = a0 + a2, t1 = a0 - a2, t2 = a1 + a3, t3 = times_minus_i(a1 - a3);
    store_cx(yr, yi, out, t0 + t2);
    store_cx(yr, yi, out + out_step, rotate(t1 + t3, w[0], w[1]));
    store_cx(yr, yi, out + 2 * out_step, rotate(t0 - t2, w[2], w[3]));
    store_cx(yr, yi, out + 3 * out_step, rotate(t1 - t3, w[4], w[5]));
}

inline f4 reversed(f4 v) { return __builtin_shufflevector(v, v, 3, 2, 1, 0); }
inline f4 evens(f4 a, f4 b) { return __builtin_shufflevector(a, b, 0, 2, 4, 6); }
inline f4 odds(f4 a, f4 b) { return __builtin_shufflevector(a, b, 1, 3, 5, 7); }
// Interleaves re and im into eight floats at p.
inline void store_interleaved(float* p, f4 re, f4 im) {
    store_v(p, __builtin_shufflevector(re, im, 0, 4, 1, 5));
    store_v(p + 4, __builtin_shufflevector(re, im, 2, 6, 3, 7));
}

// Rows r0..r3 become columns: c_i[j] = r_j[i].
inline void transpose(f4& r0, f4& r1, f4& r2, f4& r3) {
    const f4 t0 = __builtin_shufflevector(r0, r1, 0, 4, 1, 5);
    const f4 t1 = __builtin_shufflevector(r0, r1, 2, 6, 3, 7);
    const f4 t2 = __builtin_shufflevector(r2, r3, 0, 4, 1, 5);
    const f4 t3 = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);
    r0 = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    r1 = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    r2 = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    r3 = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// The first radix-4 pass (stride 1) runs four p at a time: inputs are contiguous in
// p, the twiddle rows are contiguous in p, and a 4 x 4 transpose turns the four
// output rows (t) into the contiguous runs y[4p ... 4p + 15].
void radix4_first(const float* xr, const float* xi, float* yr, float* yi, std::size_t m,
                  const float* twr, const float* twi) {
    for (std::size_t p = 0; p < m; p += 4) {
        const Cx<f4> a0 = load_cx<f4>(xr, xi, p);
        const Cx<f4> a1 = load_cx<f4>(xr, xi, p + m);
        const Cx<f4> a2 = load_cx<f4>(xr, xi, p + 2 * m);
        const Cx<f4> a3 = load_cx<f4>(xr, xi, p + 3 * m);
        const Cx<f4> t0 = a0 + a2, t1 = a0 - a2, t2 = a1 + a3, t3 = times_minus_i(a1 - a3);
        Cx<f4> y0 = t0 + t2;
        Cx<f4> y1 = rotate(t1 + t3, load_v<f4>(twr + p), load_v<f4>(twi + p));
        Cx<f4> y2 = rotate(t0 - t2, load_v<f4>(twr + m + p), load_v<f4>(twi + m + p));
        Cx<f4> y3 = rotate(t1 - t3, load_v<f4>(twr + 2 * m + p), load_v<f4>(twi + 2 * m + p));
        transpose(y0.re, y1.re, y2.re, y3.re);
        transpose(y0.im, y1.im, y2.im, y3.im);
        float* outr = yr + 4 * p;
        float* outi = yi + 4 * p;
        store_v(outr, y0.re);
        store_v(outr + 4, y1.re);
        store_v(outr + 8, y2.re);
        store_v(outr + 12, y3.re);
        store_v(outi, y0.im);
        store_v(outi + 4, y1.im);
        store_v(outi + 8, y2.im);
        store_v(outi + 12, y3.im);
    }
}

// Any odd prime radix r, one complex value at a time. Pairs j and r - j share their
// cosines and sines, so each output pair costs (r - 1) / 2 multiply-adds per term;
// sums run in double so long radices keep their accuracy.
void radix_general(const float* xr, const float* xi, float* yr, float* yi, std::size_t in,
                   std::size_t in_step, std::size_t out, std::size_t out_step, uint32_t r,
                   const float* rootr, const float* rooti, const float* twr, const float* twi,
                   std::size_t tw_step, float* scratch) {
    const uint32_t h = (r - 1) / 2;
    float* sr = scratch;
    float* si = scratch + h;
    float* dr = scratch + 2 * h;
    float* di = scratch + 3 * h;
    const float a0r = xr[in], a0i = xi[in];
    double y0r = a0r, y0i = a0i;
    for (uint32_t j = 1; j <= h; ++j) {
        const float ajr = xr[in + j * in_step], aji = xi[in + j * in_step];
        const float bjr = xr[in + (r - j) * in_step], bji = xi[in + (r - j) * in_step];
        sr[j - 1] = ajr + bjr;
        si[j - 1] = aji + bji;
        dr[j - 1] = ajr - bjr;
        di[j - 1] = aji - bji;
        y0r += sr[j - 1];
        y0i += si[j - 1];
    }
    yr[out] = static_cast<float>(y0r);
    yi[out] = static_cast<float>(y0i);
    for (uint32_t t = 1; t <= h; ++t) {
        double cr = a0r, ci = a0i, qr = 0.0, qi = 0.0;
        uint32_t k = 0;
        for (uint32_t j = 0; j < h; ++j) {
            k += t;
            if (k >= r) k -= r;
            const double c = rootr[k];
            const double s = -rooti[k];  // root = cos - i sin
            cr += sr[j] * c;
            ci += si[j] * c;
            qr += di[j] * s;
            qi -= dr[j] * s;
        }
        const float ur = static_cast<float>(cr + qr), ui = static_cast<float>(ci + qi);
        const float vr = static_cast<float>(cr - qr), vi = static_cast<float>(ci - qi);
        const float w1r = twr[(t - 1) * tw_step], w1i = twi[(t - 1) * tw_step];
        const float w2r = twr[(r - t - 1) * tw_step], w2i = twi[(r - t - 1) * tw_step];
        yr[out + t * out_step] = ur * w1r - ui * w1i;
        yi[out + t * out_step] = ur * w1i + ui * w1r;
        yr[out + (r - t) * out_step] = vr * w2r - vi * w2i;
        yi[out + (r - t) * out_step] = vr * w2i + vi * w2r;
    }
}

// Radices in the order the passes run: fours, at most one two, threes, then the
// other primes ascending.
std::vector<uint32_t> factorise(uint32_t m) {
    std::vector<uint32_t> f;
    while (m % 4 == 0) {
        f.push_back(4);
        m /= 4;
    }
    if (m % 2 == 0) {
        f.push_back(2);
        m /= 2;
    }
    for (uint32_t p = 3; m > 1;) {
        if (static_cast<uint64_t>(p) * p > m) {
            f.push_back(m);
            break;
        }
        if (m % p == 0) {
            f.push_back(p);
            m /= p;
        } else {
            p += 2;
        }
    }
    return f;
}

// e^(-2 pi i k / n) with the angle reduced exactly first.
void unit_root(uint64_t k, uint64_t n, float& re, float& im) {
    const double angle = -2.0 * std::numbers::pi * static_cast<double>(k % n) / static_cast<double>(n);
    re = static_cast<float>(std::cos(angle));
    im = static_cast<float>(std::sin(angle));
}

}  // namespace

RealFft::RealFft(uint32_t n) {
    if (n == 0 || n > max_length) return;
    n_ = n;
    m_ = n % 2 == 0 ? n / 2 : n;
    factors_ = factorise(m_);

    uint32_t length = m_, stride = 1, largest_general = 0;
    for (const uint32_t r : factors_) {
        Pass pass{r, length, stride, twiddle_re_.size(), root_re_.size()};
        const uint32_t m = length / r;
        twiddle_re_.resize(pass.twiddle_at + static_cast<std::size_t>(r - 1) * m);
        twiddle_im_.resize(twiddle_re_.size());
        for (uint32_t t = 1; t < r; ++t)
            for (uint32_t p = 0; p < m; ++p) {
                const std::size_t at = pass.twiddle_at + static_cast<std::size_t>(t - 1) * m + p;
                unit_root(static_cast<uint64_t>(p) * t, length, twiddle_re_[at], twiddle_im_[at]);
            }
        if (r > 4) {
            root_re_.resize(pass.root_at + r);
            root_im_.resize(root_re_.size());
            for (uint32_t k = 0; k < r; ++k) unit_root(k, r, root_re_[pass.root_at + k], root_im_[pass.root_at + k]);
            largest_general = std::max(largest_general, r);
        }
        passes_.push_back(pass);
        length = m;
        stride *= r;
    }
    if (n % 2 == 0) {
        split_re_.resize(n / 4 + 1);
        split_im_.resize(n / 4 + 1);
        for (uint32_t k = 0; k <= n / 4; ++k) unit_root(k, n, split_re_[k], split_im_[k]);
    }
    work_size_ = 4 * static_cast<std::size_t>(m_) + 2 * static_cast<std::size_t>(largest_general);
}

void RealFft::run_pass(const Pass& pass, const float* xr, const float* xi, float* yr, float* yi,
                       float* scratch) const {
    const std::size_t r = pass.radix, s = pass.stride, m = pass.length / pass.radix;
    const float* twr = twiddle_re_.data() + pass.twiddle_at;
    const float* twi = twiddle_im_.data() + pass.twiddle_at;
    const std::size_t in_step = s * m, out_step = s;
    const std::size_t vector_end = s - s % 4;  // lanes along q that fill whole vectors

    if (r == 4 && s == 1 && m % 4 == 0) {
        radix4_first(xr, xi, yr, yi, m, twr, twi);
        return;
    }
    for (std::size_t p = 0; p < m; ++p) {
        const std::size_t in0 = s * p, out0 = s * r * p;
        switch (r) {
        case 2: {
            const float w1r = twr[p], w1i = twi[p];
            std::size_t q = 0;
            for (; q < vector_end; q += 4) radix2<f4>(xr, xi, yr, yi, in0 + q, in_step, out0 + q, out_step, w1r, w1i);
            for (; q < s; ++q) radix2<float>(xr, xi, yr, yi, in0 + q, in_step, out0 + q, out_step, w1r, w1i);
            break;
        }
        case 3: {
            const float w[4] = {twr[p], twi[p], twr[m + p], twi[m + p]};
            std::size_t q = 0;
            for (; q < vector_end; q += 4) radix3<f4>(xr, xi, yr, yi, in0 + q, in_step, out0 + q, out_step, w);
            for (; q < s; ++q) radix3<float>(xr, xi, yr, yi, in0 + q, in_step, out0 + q, out_step, w);
            break;
        }
        case 4: {
            const float w[6] = {twr[p], twi[p], twr[m + p], twi[m + p], twr[2 * m + p], twi[2 * m + p]};
            std::size_t q = 0;
            for (; q < vector_end; q += 4) radix4<f4>(xr, xi, yr, yi, in0 + q, in_step, out0 + q, out_step, w);
            for (; q < s; ++q) radix4<float>(xr, xi, yr, yi, in0 + q, in_step, out0 + q, out_step, w);
            break;
        }
        default:
            for (std::size_t q = 0; q < s; ++q)
                radix_general(xr, xi, yr, yi, in0 + q, in_step, out0 + q, out_step, pass.radix,
                              root_re_.data() + pass.root_at, root_im_.data() + pass.root_at, twr + p,
                              twi + p, m, scratch);
            break;
        }
    }
}

void RealFft::complex_forward(float* re, float* im, float* re2, float* im2, float* scratch) const {
    float *xr = re, *xi = im, *yr = re2, *yi = im2;
    for (const Pass& pass : passes_) {
        run_pass(pass, xr, xi, yr, yi, scratch);
        std::swap(xr, yr);
        std::swap(xi, yi);
    }
    if (xr != re) {
        std::memcpy(re, xr, m_ * sizeof(float));
        std::memcpy(im, xi, m_ * sizeof(float));
    }
}

bool RealFft::forward(std::span<float> data, std::span<float> work) const {
    if (n_ == 0 || data.size() < n_ || work.size() < work_size_) return false;
    float* zr = work.data();
    float* zi = zr + m_;
    float* scratch = zr + 4 * static_cast<std::size_t>(m_);
    float* x = data.data();
    if (n_ % 2 != 0) {
        std::memcpy(zr, x, n_ * sizeof(float));
        std::fill(zi, zi + n_, 0.0f);
        complex_forward(zr, zi, zi + m_, zi + 2 * m_, scratch);
        x[0] = zr[0];
        for (uint32_t j = 1; 2 * j < n_; ++j) {
            x[2 * j - 1] = zr[j];
            x[2 * j] = zi[j];
        }
        return true;
    }
    uint32_t i = 0;
    for (; i + 4 <= m_; i += 4) {
        const f4 a = load_v<f4>(x + 2 * i), b = load_v<f4>(x + 2 * i + 4);
        store_v(zr + i, evens(a, b));
        store_v(zi + i, odds(a, b));
    }
    for (; i < m_; ++i) {
        zr[i] = x[2 * i];
        zi[i] = x[2 * i + 1];
    }
    complex_forward(zr, zi, zi + m_, zi + 2 * m_, scratch);
    // Split step: X[k] = E[k] + W^k O[k] and X[m-k] = conj(E[k] - W^k O[k]), with
    // E, O the spectra of the even and odd samples taken out of Z.
    x[0] = zr[0] + zi[0];
    x[n_ - 1] = zr[0] - zi[0];
    uint32_t k = 1;
    // Four k ascending and their partners m - k descending, while the two runs
    // stay apart.
    for (; 2 * k + 6 < m_; k += 4) {
        const uint32_t j = m_ - k - 3;
        const f4 zrk = load_v<f4>(zr + k), zik = load_v<f4>(zi + k);
        const f4 zrj = reversed(load_v<f4>(zr + j)), zij = reversed(load_v<f4>(zi + j));
        const f4 er = 0.5f * (zrk + zrj), ei = 0.5f * (zik - zij);
        const f4 or_ = 0.5f * (zik + zij), oi = -0.5f * (zrk - zrj);
        const f4 wr = load_v<f4>(split_re_.data() + k), wi = load_v<f4>(split_im_.data() + k);
        const f4 pr = wr * or_ - wi * oi, pi = wr * oi + wi * or_;
        store_interleaved(x + 2 * k - 1, er + pr, ei + pi);
        store_interleaved(x + 2 * j - 1, reversed(er - pr), reversed(pi - ei));
    }
    for (; 2 * k <= m_; ++k) {
        const uint32_t j = m_ - k;
        const float er = 0.5f * (zr[k] + zr[j]), ei = 0.5f * (zi[k] - zi[j]);
        const float or_ = 0.5f * (zi[k] + zi[j]), oi = -0.5f * (zr[k] - zr[j]);
        const float wr = split_re_[k], wi = split_im_[k];
        const float pr = wr * or_ - wi * oi, pi = wr * oi + wi * or_;
        x[2 * k - 1] = er + pr;
        x[2 * k] = ei + pi;
        if (j != k) {
            x[2 * j - 1] = er - pr;
            x[2 * j] = pi - ei;
        }
    }
    return true;
}

bool RealFft::inverse(std::span<float> data, std::span<float> work) const {
    if (n_ == 0 || data.size() < n_ || work.size() < work_size_) return false;
    float* zr = work.data();
    float* zi = zr + m_;
    float* scratch = zr + 4 * static_cast<std::size_t>(m_);
    float* x = data.data();
    // The inverse is the forward transform with real and imaginary parts swapped
    // on the way in and out.
    if (n_ % 2 != 0) {
        zr[0] = x[0];
        zi[0] = 0.0f;
        for (uint32_t j = 1; 2 * j < n_; ++j) {
            zr[j] = zr[n_ - j] = x[2 * j - 1];
            zi[j] = x[2 * j];
            zi[n_ - j] = -x[2 * j];
        }
        complex_forward(zi, zr, zi + m_, zi + 2 * m_, scratch);
        std::memcpy(x, zr, n_ * sizeof(float));
        return true;
    }
    // Z'[k] = E'[k] + i O'[k], E' = X[k] + conj X[m-k], O' = (X[k] - conj X[m-k]) conj(W^k):
    // twice the spectrum of z, so the half-length inverse yields n times the samples.
    const float nyquist = x[n_ - 1];
    zr[0] = x[0] + nyquist;
    zi[0] = x[0] - nyquist;
    uint32_t k = 1;
    for (; 2 * k + 6 < m_; k += 4) {
        const uint32_t j = m_ - k - 3;
        const f4 ak = load_v<f4>(x + 2 * k - 1), bk = load_v<f4>(x + 2 * k + 3);
        const f4 aj = load_v<f4>(x + 2 * j - 1), bj = load_v<f4>(x + 2 * j + 3);
        const f4 xkr = evens(ak, bk), xki = odds(ak, bk);
        const f4 xjr = reversed(evens(aj, bj)), xji = reversed(odds(aj, bj));
        const f4 er = xkr + xjr, ei = xki - xji;
        const f4 dr = xkr - xjr, di = xki + xji;
        const f4 wr = load_v<f4>(split_re_.data() + k), wi = load_v<f4>(split_im_.data() + k);
        const f4 or_ = dr * wr + di * wi, oi = di * wr - dr * wi;
        store_v(zr + k, er - oi);
        store_v(zi + k, ei + or_);
        store_v(zr + j, reversed(er + oi));
        store_v(zi + j, reversed(or_ - ei));
    }
    for (; 2 * k <= m_; ++k) {
        const uint32_t j = m_ - k;
        const float xkr = x[2 * k - 1], xki = x[2 * k];
        const float xjr = x[2 * j - 1], xji = x[2 * j];
        const float er = xkr + xjr, ei = xki - xji;
        const float dr = xkr - xjr, di = xki + xji;
        const float wr = split_re_[k], wi = split_im_[k];
        const float or_ = dr * wr + di * wi, oi = di * wr - dr * wi;
        zr[k] = er - oi;
        zi[k] = ei + or_;
        zr[j] = er + oi;
        zi[j] = or_ - ei;
    }
    complex_forward(zi, zr, zi + m_, zi + 2 * m_, scratch);
    uint32_t i = 0;
    for (; i + 4 <= m_; i += 4) store_interleaved(x + 2 * i, load_v<f4>(zr + i), load_v<f4>(zi + i));
    for (; i < m_; ++i) {
        x[2 * i] = zr[i];
        x[2 * i + 1] = zi[i];
    }
    return true;
}

}  // namespace torvalen::measure
