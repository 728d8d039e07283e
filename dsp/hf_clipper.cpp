#include "dsp/hf_clipper.h"

#include "dsp/fir_tables.h"

namespace torvalen::dsp {

HighFrequencyClipper::HighFrequencyClipper()
    : high_path_(fir_tables::hf_clip_path_57),
      centre_delay_(centre_frames),
      y_delay_(y_extra_frames),
      hold_(hold_entries) {}

void HighFrequencyClipper::process(float& l, float& r, int& latency_frames_counter) {
    float zl = l, zr = r;
    high_path_.process(zl, zr);
    centre_delay_.process(l, r);  // (l, r) is now y
    SubSamples z = up_z_.process(zl, zr);
    const SubSamples y = up_y_.process(l, r);
    for (int j = 0; j < oversampling; ++j) {
        const float gl = clip_gain(z.l[j], y.l[j]);
        const float gr = clip_gain(z.r[j], y.r[j]);
        hold_.process(z.l[j], z.r[j], gl, gr);
    }
    down_.process(z, zl, zr);
    y_delay_.process(l, r);
    l += zl;
    r += zr;
    latency_frames_counter += latency_frames;
}

}  // namespace torvalen::dsp
