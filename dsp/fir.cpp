#include "dsp/fir.h"

#include <algorithm>
#include <cstring>

namespace torvalen::dsp {

RunFir::RunFir(std::span<const float> table, std::size_t stride)
    : h_(table.begin(), table.end()), stride_(stride == 0 ? 1 : stride),
      history_(table.empty() ? 0 : (table.size() - 1) * stride_) {
    for (auto& x : x_) x.assign(history_ + max_run + 16, 0.0f);
}

void RunFir::run(const float* in_l, const float* in_r, float* out_l, float* out_r, std::size_t n) {
    if (h_.empty()) {  // default-constructed: no table, silence
        std::fill(out_l, out_l + n, 0.0f);
        std::fill(out_r, out_r + n, 0.0f);
        return;
    }
    const simd::Kernels& kernels = simd::kernels();
    const float* in[2] = {in_l, in_r};
    for (std::size_t c = 0; c < 2; ++c) {
        float* x = x_[c].data();
        std::memcpy(x + history_, in[c], n * sizeof(float));
        const float* h = h_.data();
        const float* xc = x;
        kernels.fir_block(&h, &xc, 1, h_.size(), stride_, y_[c], n);
        std::memmove(x, x + n, history_ * sizeof(float));
    }
    std::memcpy(out_l, y_[0], n * sizeof(float));
    std::memcpy(out_r, y_[1], n * sizeof(float));
}

DelayLine::DelayLine(std::size_t length_frames, std::size_t width)
    : length_(length_frames), width_(width == 0 ? 1 : width),
      bl_(length_ * width_), br_(length_ * width_) {}

}  // namespace torvalen::dsp
