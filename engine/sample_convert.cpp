#include "engine/sample_convert.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace torvalen {

namespace {

constexpr float two_pow_minus_31 = 1.0f / 2147483648.0f;

// Raw integer load/store of N bytes in the channel's byte order.
template <bool BigEndian>
inline uint32_t load_u32(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (BigEndian != (std::endian::native == std::endian::big)) v = __builtin_bswap32(v);
    return v;
}
template <bool BigEndian>
inline void store_u32(unsigned char* p, uint32_t v) {
    if constexpr (BigEndian != (std::endian::native == std::endian::big)) v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}
template <bool BigEndian>
inline uint64_t load_u64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (BigEndian != (std::endian::native == std::endian::big)) v = __builtin_bswap64(v);
    return v;
}
template <bool BigEndian>
inline void store_u64(unsigned char* p, uint64_t v) {
    if constexpr (BigEndian != (std::endian::native == std::endian::big)) v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

// Engine value → integer truncated toward zero, clamped to [lo, hi]; NaN gives 0.
// `scale` is the divisor from engine scale to device scale (a power of two, so the
// division is exact before truncation).
inline int32_t to_int(float engine, float inverse_scale, int32_t lo, int32_t hi) {
    if (std::isnan(engine)) return 0;
    const double v = static_cast<double>(engine) * static_cast<double>(inverse_scale);
    if (v >= static_cast<double>(hi)) return hi;
    if (v <= static_cast<double>(lo)) return lo;
    return static_cast<int32_t>(v);  // truncation toward zero
}

// A device float (already at ±1.0 scale) as an engine value; anything that is not
// a finite number enters as silence so it cannot poison filter states.
inline float finite_or_zero(double v) {
    const float f = static_cast<float>(v * 2147483648.0);
    return std::isfinite(f) ? f : 0.0f;
}

// Engine value → device float at ±1.0 scale: NaN leaves as 0, infinities as full
// scale; finite values pass unclamped.
inline double device_float(float engine) {
    if (std::isnan(engine)) return 0.0;
    if (std::isinf(engine)) return engine > 0 ? 1.0 : -1.0;
    return static_cast<double>(engine) * static_cast<double>(two_pow_minus_31);
}

template <bool BigEndian>
struct Int16 {
    static constexpr size_t bytes = 2;
    static float in(const unsigned char* p) {
        const uint16_t raw = BigEndian ? static_cast<uint16_t>(p[0] << 8 | p[1])
                                       : static_cast<uint16_t>(p[1] << 8 | p[0]);
        return static_cast<float>(static_cast<int16_t>(raw)) * 65536.0f;
    }
    static void out(unsigned char* p, float v) {
        // Truncated to 16 bits, then the lowest bit cleared.
        const int32_t s = to_int(v, 1.0f / 65536.0f, -32768, 32767) & ~1;
        const uint16_t raw = static_cast<uint16_t>(s);
        p[BigEndian ? 0 : 1] = static_cast<unsigned char>(raw >> 8);
        p[BigEndian ? 1 : 0] = static_cast<unsigned char>(raw & 0xff);
    }
};

template <bool BigEndian>
struct Int24 {
    static constexpr size_t bytes = 3;
    static float in(const unsigned char* p) {
        const uint32_t hi = BigEndian ? p[0] : p[2], mid = p[1], lo = BigEndian ? p[2] : p[0];
        // Place the 24 bits at the top of 32: that is the ×256.
        const int32_t v = static_cast<int32_t>(hi << 24 | mid << 16 | lo << 8);
        return static_cast<float>(v);
    }
    static void out(unsigned char* p, float v) {
        const uint32_t s = static_cast<uint32_t>(to_int(v, 1.0f / 256.0f, -8388608, 8388607));
        p[BigEndian ? 0 : 2] = static_cast<unsigned char>(s >> 16);
        p[1] = static_cast<unsigned char>(s >> 8);
        p[BigEndian ? 2 : 0] = static_cast<unsigned char>(s);
    }
};

// A 32-bit container holding `ValidBits` right-aligned bits (32: a plain Int32).
template <bool BigEndian, int ValidBits>
struct Int32Bits {
    static constexpr size_t bytes = 4;
    static constexpr float up = static_cast<float>(1u << (32 - ValidBits));  // 2^(32-bits)
    static constexpr int32_t hi = static_cast<int32_t>((1ull << (ValidBits - 1)) - 1);
    static constexpr int32_t lo = -hi - 1;
    static float in(const unsigned char* p) {
        return static_cast<float>(static_cast<int32_t>(load_u32<BigEndian>(p))) * up;
    }
    static void out(unsigned char* p, float v) {
        store_u32<BigEndian>(p, static_cast<uint32_t>(to_int(v, 1.0f / up, lo, hi)));
    }
};

template <bool BigEndian>
struct Float32 {
    static constexpr size_t bytes = 4;
    static float in(const unsigned char* p) {
        return finite_or_zero(std::bit_cast<float>(load_u32<BigEndian>(p)));
    }
    static void out(unsigned char* p, float v) {
        store_u32<BigEndian>(p, std::bit_cast<uint32_t>(static_cast<float>(device_float(v))));
    }
};

template <bool BigEndian>
struct Float64 {
    static constexpr size_t bytes = 8;
    static float in(const unsigned char* p) {
        return finite_or_zero(std::bit_cast<double>(load_u64<BigEndian>(p)));
    }
    static void out(unsigned char* p, float v) {
        store_u64<BigEndian>(p, std::bit_cast<uint64_t>(device_float(v)));
    }
};

template <class Codec>
void read_channel(const void* device, size_t frames, float* engine, size_t stride) {
    const auto* p = static_cast<const unsigned char*>(device);
    constexpr size_t b = Codec::bytes;
    size_t i = 0;
    for (; i + 4 <= frames; i += 4, p += 4 * b, engine += 4 * stride) {
        engine[0] = Codec::in(p);
        engine[stride] = Codec::in(p + b);
        engine[2 * stride] = Codec::in(p + 2 * b);
        engine[3 * stride] = Codec::in(p + 3 * b);
    }
    for (; i < frames; ++i, p += b, engine += stride) *engine = Codec::in(p);
}

// `Source` gives the engine value of frame i.
template <class Codec, class Source>
void write_channel(Source source, size_t frames, void* device) {
    auto* p = static_cast<unsigned char*>(device);
    constexpr size_t b = Codec::bytes;
    size_t i = 0;
    for (; i + 4 <= frames; i += 4, p += 4 * b) {
        Codec::out(p, source(i));
        Codec::out(p + b, source(i + 1));
        Codec::out(p + 2 * b, source(i + 2));
        Codec::out(p + 3 * b, source(i + 3));
    }
    for (; i < frames; ++i, p += b) Codec::out(p, source(i));
}

// Calls `fn` with a value of the codec type for `type`; false for an unknown code.
template <class Fn>
bool with_codec(uint32_t type, Fn&& fn) {
    switch (type) {
        case sample_int16_msb: fn(Int16<true>{}); return true;
        case sample_int24_msb: fn(Int24<true>{}); return true;
        case sample_int32_msb: fn(Int32Bits<true, 32>{}); return true;
        case sample_float32_msb: fn(Float32<true>{}); return true;
        case sample_float64_msb: fn(Float64<true>{}); return true;
        case sample_int32_msb16: fn(Int32Bits<true, 16>{}); return true;
        case sample_int32_msb18: fn(Int32Bits<true, 18>{}); return true;
        case sample_int32_msb20: fn(Int32Bits<true, 20>{}); return true;
        case sample_int32_msb24: fn(Int32Bits<true, 24>{}); return true;
        case sample_int16_lsb: fn(Int16<false>{}); return true;
        case sample_int24_lsb: fn(Int24<false>{}); return true;
        case sample_int32_lsb: fn(Int32Bits<false, 32>{}); return true;
        case sample_float32_lsb: fn(Float32<false>{}); return true;
        case sample_float64_lsb: fn(Float64<false>{}); return true;
        case sample_int32_lsb16: fn(Int32Bits<false, 16>{}); return true;
        case sample_int32_lsb18: fn(Int32Bits<false, 18>{}); return true;
        case sample_int32_lsb20: fn(Int32Bits<false, 20>{}); return true;
        case sample_int32_lsb24: fn(Int32Bits<false, 24>{}); return true;
        default: return false;
    }
}

}  // namespace

size_t sample_bytes(uint32_t type) {
    size_t bytes = 0;
    with_codec(type, [&](auto codec) { bytes = decltype(codec)::bytes; });
    return bytes;
}

const char* sample_type_name(uint32_t type) {
    switch (type) {
        case sample_int16_msb: return "Int16MSB";
        case sample_int24_msb: return "Int24MSB";
        case sample_int32_msb: return "Int32MSB";
        case sample_float32_msb: return "Float32MSB";
        case sample_float64_msb: return "Float64MSB";
        case sample_int32_msb16: return "Int32MSB16";
        case sample_int32_msb18: return "Int32MSB18";
        case sample_int32_msb20: return "Int32MSB20";
        case sample_int32_msb24: return "Int32MSB24";
        case sample_int16_lsb: return "Int16LSB";
        case sample_int24_lsb: return "Int24LSB";
        case sample_int32_lsb: return "Int32LSB";
        case sample_float32_lsb: return "Float32LSB";
        case sample_float64_lsb: return "Float64LSB";
        case sample_int32_lsb16: return "Int32LSB16";
        case sample_int32_lsb18: return "Int32LSB18";
        case sample_int32_lsb20: return "Int32LSB20";
        case sample_int32_lsb24: return "Int32LSB24";
        default: return "unknown";
    }
}

void device_to_engine(uint32_t type, const void* device, size_t frames, float* engine,
                      size_t stride) {
    const bool known = with_codec(type, [&](auto codec) {
        read_channel<decltype(codec)>(device, frames, engine, stride);
    });
    if (!known)
        for (size_t i = 0; i < frames; ++i) engine[i * stride] = 0.0f;
}

void engine_to_device(uint32_t type, const float* engine, size_t stride, size_t frames,
                      void* device) {
    with_codec(type, [&](auto codec) {
        write_channel<decltype(codec)>([=](size_t i) { return engine[i * stride]; }, frames, device);
    });
}

void engine_mono_to_device(uint32_t type, const float* stereo, size_t frames, void* device) {
    with_codec(type, [&](auto codec) {
        write_channel<decltype(codec)>(
            [=](size_t i) { return (stereo[2 * i] + stereo[2 * i + 1]) * 0.5f; }, frames, device);
    });
}

}  // namespace torvalen
