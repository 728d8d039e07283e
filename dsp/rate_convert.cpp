#include "dsp/rate_convert.h"

#include "dsp/fir_tables.h"

namespace torvalen::dsp {

using fir_tables::rate_converter_prototype;

Interpolator::Interpolator() {
    for (std::size_t k = 0; k < branch; ++k)
        phases_[k] = simd::load(rate_converter_prototype.data() + oversampling * k);
}

Decimator::Decimator() {
    for (std::size_t m = 0; m < taps; ++m) h_[m] = rate_converter_prototype[m];
}

SinglePhaseDecimator::SinglePhaseDecimator() {
    for (std::size_t k = 0; k < branch; ++k) h_[k] = rate_converter_prototype[3 + oversampling * k];
}

}  // namespace torvalen::dsp
