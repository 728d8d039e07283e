// Conversion between a sound card's channel buffers and the engine's sample format.
//
// The engine works in 32-bit float at 32-bit-integer scale (full scale is 2^31),
// interleaved stereo. A driver hands us one buffer per channel in the channel's own
// sample type. Type codes follow the numbering that sound-card drivers publish:
// 0..11 are big-endian (MSB first), 16..27 the same layouts little-endian.
//
// The functions are pure, never allocate and run on device callback threads. They
// work directly between the channel buffer and the engine block (no staging
// buffer), four frames per step.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvalen {

enum SampleType : uint32_t {
    sample_int16_msb = 0,
    sample_int24_msb = 1,  // packed, 3 bytes
    sample_int32_msb = 2,
    sample_float32_msb = 3,
    sample_float64_msb = 4,
    sample_int32_msb16 = 8,  // 32-bit container holding 16 valid bits (right-aligned)
    sample_int32_msb18 = 9,
    sample_int32_msb20 = 10,
    sample_int32_msb24 = 11,
    sample_int16_lsb = 16,
    sample_int24_lsb = 17,
    sample_int32_lsb = 18,
    sample_float32_lsb = 19,
    sample_float64_lsb = 20,
    sample_int32_lsb16 = 24,
    sample_int32_lsb18 = 25,
    sample_int32_lsb20 = 26,
    sample_int32_lsb24 = 27,
};

// Bytes per sample of a type; 0 for a code we do not know.
size_t sample_bytes(uint32_t type);

// Short name ("Int32LSB") for logs and read-outs; "unknown" for other codes.
const char* sample_type_name(uint32_t type);

// Device → engine: converts `frames` samples of one channel buffer into every
// `stride`-th float of `engine` (stride 2 fills one side of a stereo block).
// An unknown type yields silence. A NaN from a float device enters as 0.
void device_to_engine(uint32_t type, const void* device, size_t frames, float* engine,
                      size_t stride);

// Engine → device: converts every `stride`-th float of `engine` into `frames`
// samples of one channel buffer. Values beyond the device's range are clamped to
// its full scale; NaN leaves as 0. An unknown type leaves the buffer untouched
// (the caller has zeroed it).
void engine_to_device(uint32_t type, const float* engine, size_t stride, size_t frames,
                      void* device);

// Engine → device for one channel that carries both sides: (L + R) × 0.5 of the
// interleaved stereo block `stereo`.
void engine_mono_to_device(uint32_t type, const float* stereo, size_t frames, void* device);

}  // namespace torvalen
