#include "dsp/hf_clipper.h"

#include <algorithm>

#include "dsp/fir_tables.h"

namespace torvalen::dsp {

HighFrequencyClipper::HighFrequencyClipper()
    : high_path_(fir_tables::hf_clip_path_57),
      centre_delay_(centre_frames),
      y_delay_(y_extra_frames),
      hold_(hold_entries) {}

void HighFrequencyClipper::process(float& l, float& r, int& latency_frames_counter) {
    float x[2] = {l, r};
    process_run(x, 1, latency_frames_counter);
    l = x[0];
    r = x[1];
}

void HighFrequencyClipper::process_run(float* x, std::size_t n, int& latency_frames_counter) {
    std::copy(x, x + 2 * n, z_);
    high_path_.process_block(z_, n);
    for (std::size_t i = 0; i < n; ++i) centre_delay_.process(x[2 * i], x[2 * i + 1]);  // x is now y
    up_z_.run(z_, n);
    up_y_.run(x, n);
    // The clip gains of the run's sub-samples, then the hold over all of them.
    for (std::size_t i = 0; i < n; ++i) {
        const SubSamples z = up_z_.at(i), y = up_y_.at(i);
        for (int j = 0; j < oversampling; ++j) {
            const std::size_t q = oversampling * i + static_cast<std::size_t>(j);
            sub_z_[0][q] = z.l[j];
            sub_z_[1][q] = z.r[j];
            sub_gain_[0][q] = clip_gain(z.l[j], y.l[j]);
            sub_gain_[1][q] = clip_gain(z.r[j], y.r[j]);
        }
    }
    hold_.process_run(sub_z_[0], sub_z_[1], sub_gain_[0], sub_gain_[1], oversampling * n);
    for (std::size_t i = 0; i < n; ++i) {
        SubSamples z;
        for (int j = 0; j < oversampling; ++j) {
            z.l[j] = sub_z_[0][oversampling * i + static_cast<std::size_t>(j)];
            z.r[j] = sub_z_[1][oversampling * i + static_cast<std::size_t>(j)];
        }
        down_.put(i, z);
    }
    down_.run(z_, n);
    for (std::size_t i = 0; i < n; ++i) {
        float l = x[2 * i], r = x[2 * i + 1];
        y_delay_.process(l, r);
        x[2 * i] = l + z_[2 * i];
        x[2 * i + 1] = r + z_[2 * i + 1];
    }
    latency_frames_counter += latency_frames;
}

}  // namespace torvalen::dsp
