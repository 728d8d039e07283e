#include "engine/sample_convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace torvalen {
namespace {

constexpr float fs = 2147483648.0f;  // engine full scale
const float nan = std::numeric_limits<float>::quiet_NaN();
const float inf = std::numeric_limits<float>::infinity();

std::vector<unsigned char> bytes(std::initializer_list<int> list) {
    std::vector<unsigned char> v;
    for (int b : list) v.push_back(static_cast<unsigned char>(b));
    return v;
}

// One device sample → engine value.
float in(uint32_t type, const std::vector<unsigned char>& sample) {
    float engine = -1.0f;
    device_to_engine(type, sample.data(), 1, &engine, 1);
    return engine;
}

// One engine value → device sample bytes.
std::vector<unsigned char> out(uint32_t type, float engine) {
    std::vector<unsigned char> device(sample_bytes(type), 0xAA);
    engine_to_device(type, &engine, 1, 1, device.data());
    return device;
}

int32_t as_i32(const std::vector<unsigned char>& b) {
    int32_t v;
    std::memcpy(&v, b.data(), 4);
    return v;
}

TEST(SampleConvert, SampleSizes) {
    for (uint32_t t : {0u, 16u}) EXPECT_EQ(sample_bytes(t), 2u) << t;
    for (uint32_t t : {1u, 17u}) EXPECT_EQ(sample_bytes(t), 3u) << t;
    for (uint32_t t : {2u, 3u, 8u, 9u, 10u, 11u, 18u, 19u, 24u, 25u, 26u, 27u})
        EXPECT_EQ(sample_bytes(t), 4u) << t;
    for (uint32_t t : {4u, 20u}) EXPECT_EQ(sample_bytes(t), 8u) << t;
    for (uint32_t t : {5u, 6u, 7u, 12u, 15u, 21u, 23u, 28u, 32u, 999u}) EXPECT_EQ(sample_bytes(t), 0u) << t;
}

TEST(SampleConvert, Int16BothWays) {
    EXPECT_EQ(in(sample_int16_lsb, bytes({0x34, 0x12})), 0x1234 * 65536.0f);
    EXPECT_EQ(in(sample_int16_msb, bytes({0x12, 0x34})), 0x1234 * 65536.0f);
    EXPECT_EQ(in(sample_int16_lsb, bytes({0x00, 0x80})), -fs);
    EXPECT_EQ(in(sample_int16_lsb, bytes({0xff, 0x7f})), 32767 * 65536.0f);

    EXPECT_EQ(out(sample_int16_lsb, 0x1234 * 65536.0f), bytes({0x34, 0x12}));
    EXPECT_EQ(out(sample_int16_msb, 0x1234 * 65536.0f), bytes({0x12, 0x34}));
    // Truncated, then the lowest bit cleared.
    EXPECT_EQ(out(sample_int16_lsb, 0x1235 * 65536.0f), bytes({0x34, 0x12}));
    EXPECT_EQ(out(sample_int16_lsb, 3.9f * 65536.0f), bytes({0x02, 0x00}));
    EXPECT_EQ(out(sample_int16_lsb, -1.5f * 65536.0f), bytes({0xfe, 0xff}));  // -1 → -2
    // Clamping and NaN.
    EXPECT_EQ(out(sample_int16_lsb, 3.0e9f), bytes({0xfe, 0x7f}));
    EXPECT_EQ(out(sample_int16_lsb, -3.0e9f), bytes({0x00, 0x80}));
    EXPECT_EQ(out(sample_int16_lsb, inf), bytes({0xfe, 0x7f}));
    EXPECT_EQ(out(sample_int16_lsb, nan), bytes({0x00, 0x00}));
}

TEST(SampleConvert, Int24BothWays) {
    EXPECT_EQ(in(sample_int24_lsb, bytes({0x56, 0x34, 0x12})), 0x123456 * 256.0f);
    EXPECT_EQ(in(sample_int24_msb, bytes({0x12, 0x34, 0x56})), 0x123456 * 256.0f);
    EXPECT_EQ(in(sample_int24_lsb, bytes({0x00, 0x00, 0x80})), -fs);
    EXPECT_EQ(in(sample_int24_lsb, bytes({0xff, 0xff, 0xff})), -256.0f);

    EXPECT_EQ(out(sample_int24_lsb, 0x123456 * 256.0f), bytes({0x56, 0x34, 0x12}));
    EXPECT_EQ(out(sample_int24_msb, 0x123456 * 256.0f), bytes({0x12, 0x34, 0x56}));
    EXPECT_EQ(out(sample_int24_lsb, -256.0f), bytes({0xff, 0xff, 0xff}));
    EXPECT_EQ(out(sample_int24_lsb, 3.0e9f), bytes({0xff, 0xff, 0x7f}));
    EXPECT_EQ(out(sample_int24_lsb, -3.0e9f), bytes({0x00, 0x00, 0x80}));
    EXPECT_EQ(out(sample_int24_lsb, nan), bytes({0x00, 0x00, 0x00}));
}

TEST(SampleConvert, Int32BothWays) {
    EXPECT_EQ(in(sample_int32_lsb, bytes({0x00, 0x01, 0x00, 0x00})), 256.0f);
    EXPECT_EQ(in(sample_int32_msb, bytes({0x00, 0x00, 0x01, 0x00})), 256.0f);
    EXPECT_EQ(in(sample_int32_lsb, bytes({0x00, 0x00, 0x00, 0x80})), -fs);

    EXPECT_EQ(as_i32(out(sample_int32_lsb, 123456768.0f)), 123456768);
    EXPECT_EQ(out(sample_int32_msb, 256.0f), bytes({0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(as_i32(out(sample_int32_lsb, fs)), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(as_i32(out(sample_int32_lsb, 5.0e9f)), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(as_i32(out(sample_int32_lsb, -fs)), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(as_i32(out(sample_int32_lsb, -5.0e9f)), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(as_i32(out(sample_int32_lsb, -inf)), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(as_i32(out(sample_int32_lsb, nan)), 0);
}

TEST(SampleConvert, Int32WithFewerValidBits) {
    struct Case {
        uint32_t lsb, msb;
        float up;       // device → engine factor
        int32_t top;    // largest device value
    };
    const Case cases[] = {{sample_int32_lsb16, sample_int32_msb16, 65536.0f, 32767},
                          {sample_int32_lsb18, sample_int32_msb18, 16384.0f, 131071},
                          {sample_int32_lsb20, sample_int32_msb20, 4096.0f, 524287},
                          {sample_int32_lsb24, sample_int32_msb24, 256.0f, 8388607}};
    for (const Case& c : cases) {
        SCOPED_TRACE(sample_type_name(c.lsb));
        EXPECT_EQ(in(c.lsb, bytes({0xe8, 0x03, 0x00, 0x00})), 1000 * c.up);
        EXPECT_EQ(in(c.msb, bytes({0x00, 0x00, 0x03, 0xe8})), 1000 * c.up);
        EXPECT_EQ(in(c.lsb, bytes({0x18, 0xfc, 0xff, 0xff})), -1000 * c.up);
        EXPECT_EQ(as_i32(out(c.lsb, 1000 * c.up)), 1000);
        EXPECT_EQ(out(c.msb, 1000 * c.up), bytes({0x00, 0x00, 0x03, 0xe8}));
        EXPECT_EQ(as_i32(out(c.lsb, -1000 * c.up)), -1000);
        EXPECT_EQ(as_i32(out(c.lsb, 3.0e9f)), c.top);
        EXPECT_EQ(as_i32(out(c.lsb, -3.0e9f)), -c.top - 1);
        EXPECT_EQ(as_i32(out(c.lsb, nan)), 0);
    }
}

TEST(SampleConvert, FloatBothWays) {
    const float half = 0.5f;
    std::vector<unsigned char> le(4);
    std::memcpy(le.data(), &half, 4);
    std::vector<unsigned char> be(le.rbegin(), le.rend());
    EXPECT_EQ(in(sample_float32_lsb, le), fs / 2);
    EXPECT_EQ(in(sample_float32_msb, be), fs / 2);
    EXPECT_EQ(out(sample_float32_lsb, fs / 2), le);
    EXPECT_EQ(out(sample_float32_msb, fs / 2), be);

    const double quarter = 0.25;
    std::vector<unsigned char> le64(8);
    std::memcpy(le64.data(), &quarter, 8);
    std::vector<unsigned char> be64(le64.rbegin(), le64.rend());
    EXPECT_EQ(in(sample_float64_lsb, le64), fs / 4);
    EXPECT_EQ(in(sample_float64_msb, be64), fs / 4);
    EXPECT_EQ(out(sample_float64_lsb, fs / 4), le64);
    EXPECT_EQ(out(sample_float64_msb, fs / 4), be64);

    // Float devices carry overs unclamped; NaN and infinities do not get through.
    auto f32 = [](const std::vector<unsigned char>& b) {
        float v;
        std::memcpy(&v, b.data(), 4);
        return v;
    };
    EXPECT_FLOAT_EQ(f32(out(sample_float32_lsb, 2 * fs)), 2.0f);
    EXPECT_EQ(f32(out(sample_float32_lsb, nan)), 0.0f);
    EXPECT_EQ(f32(out(sample_float32_lsb, inf)), 1.0f);
    EXPECT_EQ(f32(out(sample_float32_lsb, -inf)), -1.0f);
    std::vector<unsigned char> nan_bytes(4);
    std::memcpy(nan_bytes.data(), &nan, 4);
    EXPECT_EQ(in(sample_float32_lsb, nan_bytes), 0.0f);
    const double big = 1e300;
    std::vector<unsigned char> big_bytes(8);
    std::memcpy(big_bytes.data(), &big, 8);
    EXPECT_EQ(in(sample_float64_lsb, big_bytes), 0.0f);  // beyond single precision
}

TEST(SampleConvert, EveryTypeRoundTripsRepresentableValues) {
    const uint32_t types[] = {0, 1, 2, 3, 4, 8, 9, 10, 11, 16, 17, 18, 19, 20, 24, 25, 26, 27};
    for (uint32_t type : types) {
        SCOPED_TRACE(sample_type_name(type));
        // Multiples of 2^17 fit every type (16 valid bits, lowest one cleared).
        std::vector<float> engine;
        for (int k = -16384; k < 16384; k += 997) engine.push_back(static_cast<float>(k) * 131072.0f);
        engine.push_back(-fs);
        const size_t frames = engine.size();  // not a multiple of 4: the tail path runs too
        ASSERT_NE(frames % 4, 0u);
        std::vector<unsigned char> device(frames * sample_bytes(type));
        engine_to_device(type, engine.data(), 1, frames, device.data());
        std::vector<float> back(frames, 1.0f);
        device_to_engine(type, device.data(), frames, back.data(), 1);
        EXPECT_EQ(back, engine);
    }
}

TEST(SampleConvert, StridedSidesAndMonoMix) {
    // Interleaved stereo block of 6 frames: left k*2^20, right -k*2^20.
    std::vector<float> stereo;
    for (int k = 0; k < 6; ++k) {
        stereo.push_back(k * 1048576.0f);
        stereo.push_back(-k * 1048576.0f);
    }
    std::vector<int32_t> left(6), right(6), mono(6);
    engine_to_device(sample_int32_lsb, stereo.data(), 2, 6, left.data());
    engine_to_device(sample_int32_lsb, stereo.data() + 1, 2, 6, right.data());
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(left[k], k * 1048576);
        EXPECT_EQ(right[k], -k * 1048576);
    }
    // (L + R) / 2 of a signal and its negative is silence; of L and 0 it is L/2.
    engine_mono_to_device(sample_int32_lsb, stereo.data(), 6, mono.data());
    for (int k = 0; k < 6; ++k) EXPECT_EQ(mono[k], 0);
    for (int k = 0; k < 6; ++k) stereo[2 * k + 1] = 0;
    engine_mono_to_device(sample_int32_lsb, stereo.data(), 6, mono.data());
    for (int k = 0; k < 6; ++k) EXPECT_EQ(mono[k], k * 524288);

    // Device → one side leaves the other side alone.
    std::vector<float> block(12, 7.0f);
    device_to_engine(sample_int32_lsb, left.data(), 6, block.data() + 1, 2);
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(block[2 * k], 7.0f);
        EXPECT_EQ(block[2 * k + 1], k * 1048576.0f);
    }
}

TEST(SampleConvert, UnknownTypesAreSilent) {
    for (uint32_t type : {5u, 12u, 21u, 28u, 1000u}) {
        std::vector<float> engine(8, 5.0f);
        const std::vector<unsigned char> device(64, 0x55);
        device_to_engine(type, device.data(), 4, engine.data(), 2);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(engine[i], i % 2 ? 5.0f : 0.0f) << type;
        std::vector<unsigned char> untouched(64, 0);
        engine_to_device(type, engine.data(), 1, 8, untouched.data());
        EXPECT_EQ(untouched, std::vector<unsigned char>(64, 0)) << type;
        EXPECT_STREQ(sample_type_name(type), "unknown");
    }
}

}  // namespace
}  // namespace torvalen
