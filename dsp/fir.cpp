#include "dsp/fir.h"

namespace torvalen::dsp {

SparseFir::SparseFir(std::span<const float, taps> table, std::size_t stride)
    : stride_(stride == 0 ? 1 : stride), span_(taps * stride_), h_lr_(4 * span_) {
    for (std::size_t k = 0; k < taps; ++k) h_[k] = table[k];
}

DelayLine::DelayLine(std::size_t length_frames, std::size_t width)
    : length_(length_frames), width_(width == 0 ? 1 : width),
      bl_(length_ * width_), br_(length_ * width_) {}

}  // namespace torvalen::dsp
