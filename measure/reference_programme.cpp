#include "measure/reference_programme.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "engine/wav_file.h"

namespace torvalen::measure {

namespace {

constexpr double rate = reference_rate_Hz;
constexpr double two_pi = 6.283185307179586;
constexpr double full_scale = 2147483648.0;

// xorshift64*: the same noise on every machine.
class Noise {
public:
    double next() {  // uniform in [-1, 1)
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return static_cast<double>((state_ * 2685821657736338717ull) >> 11) / 4503599627370496.0 - 1.0;
    }

private:
    uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

double note_Hz(int midi) { return 440.0 * std::pow(2.0, (midi - 69) / 12.0); }

// A tone of `harmonics` partials falling as 1/k (a soft sawtooth).
double partials(double phase, int harmonics) {
    double v = 0;
    for (int k = 1; k <= harmonics; ++k) v += std::sin(k * phase) / k;
    return v;
}

using Buffer = std::vector<std::array<double, 2>>;

// Scales frames [from, to) so that their largest sample is `peak_dB` re full scale.
void set_peak(Buffer& b, size_t from, size_t to, double peak_dB) {
    double peak = 0;
    for (size_t i = from; i < to; ++i) peak = std::max({peak, std::fabs(b[i][0]), std::fabs(b[i][1])});
    const double gain = peak > 0 ? std::pow(10.0, peak_dB / 20.0) / peak : 0.0;
    for (size_t i = from; i < to; ++i) b[i][0] *= gain, b[i][1] *= gain;
}

// Band music from `from` for `seconds`: 120 beats a minute, a four-chord loop.
// `dense` adds harmonics and a busier hi-hat.
void band(Buffer& b, size_t from, double seconds, bool dense, Noise& noise) {
    static constexpr std::array<std::array<int, 3>, 4> chords = {{{60, 64, 67}, {57, 60, 64}, {53, 57, 60}, {55, 59, 62}}};
    static constexpr std::array<int, 4> roots = {36, 33, 29, 31};
    const double beat = 0.5;
    const int harmonics = dense ? 12 : 6;
    double hat_hp = 0, last_noise = 0;
    for (size_t i = 0; i < static_cast<size_t>(seconds * rate); ++i) {
        const double t = i / rate;
        const int beat_index = static_cast<int>(t / beat);
        const double tb = t - beat_index * beat;  // time since the beat
        const int bar = (beat_index / 4) % 4;
        // Kick on every beat: a falling sine.
        const double kick = std::exp(-tb / 0.09) * std::sin(two_pi * (45.0 * tb + 40.0 * 0.03 * (1 - std::exp(-tb / 0.03))));
        // Snare on beats 2 and 4: tone and noise.
        const double n = noise.next();
        const double snare = (beat_index % 2 == 1) ? std::exp(-tb / 0.07) * (0.5 * std::sin(two_pi * 185.0 * tb) + 0.6 * n) : 0.0;
        // Hi-hat on eighths (sixteenths when dense): differentiated noise.
        const double step = dense ? beat / 4 : beat / 2;
        const double th = std::fmod(t, step);
        hat_hp = n - last_noise;
        last_noise = n;
        const double hat = 0.25 * std::exp(-th / 0.02) * hat_hp;
        // Bass: the chord's root in eighths.
        const double bass_t = std::fmod(t, beat / 2);
        const double bass = 0.6 * std::min(1.0, bass_t / 0.005) * std::exp(-bass_t / 0.4) *
                            partials(two_pi * note_Hz(roots[bar]) * t, 4);
        // Pad: the chord spread over the stereo image, slightly detuned between sides.
        double pad_l = 0, pad_r = 0;
        for (size_t k = 0; k < 3; ++k) {
            const double f = note_Hz(chords[bar][k]);
            const double pan = 0.25 + 0.25 * k;
            pad_l += (1 - pan) * partials(two_pi * f * t, harmonics);
            pad_r += pan * partials(two_pi * f * 1.003 * t + 0.7 * k, harmonics);
        }
        const double pad_gain = 0.22 * (0.8 + 0.2 * std::sin(two_pi * 0.25 * t));
        const double centre = 0.9 * kick + 0.45 * snare + bass;
        b[from + i][0] += centre + pad_gain * pad_l + hat * 0.8;
        b[from + i][1] += centre + pad_gain * pad_r + hat * 1.2;
    }
}

// A resonance of a formant filter (two-pole, unity peak gain near `f`).
struct Resonator {
    double y1 = 0, y2 = 0;
    double step(double x, double f, double bw) {
        const double r = std::exp(-M_PI * bw / rate);
        const double a1 = -2 * r * std::cos(two_pi * f / rate), a2 = r * r;
        const double y = (1 - r) * x - a1 * y1 - a2 * y2;
        y2 = y1;
        y1 = y;
        return y;
    }
};

// Speech from `from` for `seconds`: syllables of a voiced source through three
// moving formants, with fricatives and pauses between phrases; mono in the centre.
void speech(Buffer& b, size_t from, double seconds, Noise& noise) {
    static constexpr std::array<std::array<double, 3>, 5> vowels = {
        {{730, 1090, 2440}, {530, 1840, 2480}, {270, 2290, 3010}, {570, 840, 2410}, {300, 870, 2240}}};
    std::array<Resonator, 3> formant{};
    Resonator hiss;
    double phase = 0;
    const double syllable = 0.22;
    for (size_t i = 0; i < static_cast<size_t>(seconds * rate); ++i) {
        const double t = i / rate;
        const int s = static_cast<int>(t / syllable);
        const double ts = t - s * syllable;
        const bool pause = s % 9 == 8;  // a breath after every eight syllables
        const auto& v = vowels[(s * 3 + s / 5) % 5];
        const double pitch = 115.0 + 30.0 * std::sin(two_pi * 0.3 * t) + 12.0 * ((s % 4) - 1.5);
        phase += pitch / rate;
        phase -= std::floor(phase);
        const double glottal = phase < 0.4 ? std::sin(M_PI * phase / 0.4) : 0.0;  // rounded pulses
        const double envelope = pause ? 0.0 : std::sin(M_PI * ts / syllable) * (0.6 + 0.4 * ((s * 7) % 5) / 4.0);
        const double voiced = glottal - 0.4;  // no DC in the source
        double y = 0;
        for (size_t k = 0; k < 3; ++k) y += formant[k].step(voiced, v[k], 80.0 + 40.0 * k) * (1.0 - 0.3 * k);
        const double fricative = (s % 3 == 2 && ts < 0.06) ? hiss.step(noise.next(), 5500.0, 3000.0) * 0.7 : 0.0;
        const double x = 3.0 * envelope * y + fricative;
        b[from + i][0] += x;
        b[from + i][1] += x;
    }
}

// Strings from `from` for `seconds`: sustained notes with vibrato, swelling from
// -20 dB to 0 dB.
void strings(Buffer& b, size_t from, double seconds) {
    static constexpr std::array<int, 4> notes = {55, 62, 67, 71};
    for (size_t i = 0; i < static_cast<size_t>(seconds * rate); ++i) {
        const double t = i / rate;
        const double swell = std::pow(10.0, (-20.0 + 20.0 * t / seconds) / 20.0) * std::min(1.0, t / 0.5);
        double l = 0, r = 0;
        for (size_t k = 0; k < notes.size(); ++k) {
            const double f = note_Hz(notes[k]);
            const double vibrato = 0.004 * std::sin(two_pi * (5.0 + 0.3 * k) * t);
            const double v = partials(two_pi * f * t * (1 + vibrato), 8);
            const double pan = 0.2 + 0.2 * k;
            l += (1 - pan) * v;
            r += pan * v;
        }
        b[from + i][0] += swell * l;
        b[from + i][1] += swell * r;
    }
}

}  // namespace

std::vector<float> reference_programme() {
    const size_t total = static_cast<size_t>(reference_seconds) * reference_rate_Hz;
    Buffer b(total, {0.0, 0.0});
    Noise noise;
    auto at = [](double s) { return static_cast<size_t>(s * rate); };
    band(b, at(0), 8.0, false, noise);
    set_peak(b, at(0), at(8), -8.0);
    speech(b, at(8), 7.0, noise);
    set_peak(b, at(8), at(15), -10.0);
    strings(b, at(15), 5.0);
    set_peak(b, at(15), at(20), -12.0);
    band(b, at(20), 4.0, true, noise);
    set_peak(b, at(20), at(24), -1.0);
    std::vector<float> out(2 * total);
    for (size_t i = 0; i < total; ++i) {
        out[2 * i] = static_cast<float>(b[i][0] * full_scale);
        out[2 * i + 1] = static_cast<float>(b[i][1] * full_scale);
    }
    return out;
}

bool write_reference_programme(const std::filesystem::path& file, std::string& error) {
    auto writer = WavWriter::create(file, reference_rate_Hz, error);
    if (!writer) return false;
    const std::vector<float> samples = reference_programme();
    if (!writer->write(samples) || !writer->close()) {
        error = "cannot write " + file.string();
        return false;
    }
    return true;
}

}  // namespace torvalen::measure
