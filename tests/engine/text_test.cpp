#include "engine/text.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

namespace {

using torvalen::text::append;
using torvalen::text::Buffer;
using torvalen::text::build;
using torvalen::text::Owned;
namespace text = torvalen::text;

std::string snprintf_text(const char* format, auto... values) {
    char out[128];
    std::snprintf(out, sizeof out, format, values...);
    return out;
}

// Reference for udP: the plain decimal digits with a "." inserted P places from the right.
std::string reference_fixed(uint32_t value, unsigned decimals) {
    std::string digits = std::to_string(value);
    if (decimals == 0) return digits;
    if (digits.size() <= decimals) digits.insert(0, decimals + 1 - digits.size(), '0');
    digits.insert(digits.size() - decimals, ".");
    return digits;
}

TEST(TextBuild, ComposesItemsInOrder) {
    EXPECT_EQ(build("s u", {"CPU ", 12}), "CPU 12");
    EXPECT_EQ(build("ud2 s", {12345, " ms"}), "123.45 ms");
    EXPECT_EQ(build("ud2 s", {5, " ms"}), "0.05 ms");
    EXPECT_EQ(build("ud2 s", {0, " ms"}), "0.00 ms");
    EXPECT_EQ(build("un3 s un2 s", {7, ":", 5, ""}), "007:05");
    EXPECT_EQ(build("un3 s un2 s un3 s un2 s s s u s u s",
                    {1, ":", 2, ":", 3, ".", 4, "|", "x", " ", 5, "/", 6, "!"}),
              "001:02:003.04|x 5/6!");
    // Spaces only separate, in any number, leading and trailing included.
    EXPECT_EQ(build("  s  ud4 ", {"t=", 12345}), "t=1.2345");
    EXPECT_EQ(build("su", {"n", 3}), "n3");
    EXPECT_EQ(build("", {}), "");
    EXPECT_EQ(build("   ", {}), "");
}

TEST(TextBuild, TextArgumentsOfEveryForm) {
    const std::string owned_by_caller = "str";
    const char* null_text = nullptr;
    EXPECT_EQ(build("s s s s", {"a", std::string_view("bc"), owned_by_caller, null_text}), "abcstr");
    // Result is sized to its contents, even with embedded NULs from views.
    const auto with_nul = build("s", {std::string_view("a\0b", 3)});
    ASSERT_TRUE(with_nul);
    EXPECT_EQ(with_nul->size(), 3u);
}

TEST(TextBuild, PaddedTextIsExactlyTheWidth) {
    EXPECT_EQ(build("sn8", {"abcdefghij"}), "abcd... ");
    EXPECT_EQ(build("sn8", {"abc"}), "abc     ");
    EXPECT_EQ(build("sn8", {"abcdefgh"}), "abcdefgh");
    EXPECT_EQ(build("sn8", {"abcdefghi"}), "abcd... ");
    EXPECT_EQ(build("sn8", {static_cast<const char*>(nullptr)}), std::string(8, ' '));
    EXPECT_EQ(build("sn4", {"abcde"}), "... ");
    // Two-digit widths.
    EXPECT_EQ(build("sn12", {"abc"}), "abc" + std::string(9, ' '));
    EXPECT_EQ(build("sn12 s", {"abcdefghijklmnopqrst", "|"}), "abcdefgh... |");
    EXPECT_EQ(build("sn10s", {"x", "|"}), "x         |");
    // Below four characters only texts that fit are allowed.
    EXPECT_EQ(build("sn3", {"abc"}), "abc");
    EXPECT_EQ(build("sn0", {""}), "");
    EXPECT_EQ(build("sn3", {"abcd"}), std::nullopt);
}

TEST(TextNumbers, UnsignedForms) {
    EXPECT_EQ(build("u", {0}), "0");
    EXPECT_EQ(build("u", {4294967295u}), "4294967295");
    EXPECT_EQ(build("u", {-1}), "4294967295");                    // converted to 32 bits
    EXPECT_EQ(build("u", {(int64_t{1} << 32) + 5}), "5");
    EXPECT_EQ(build("ud0", {5}), "5");
    EXPECT_EQ(build("ud3", {0}), "0.000");
    EXPECT_EQ(build("ud9", {4294967295u}), "4.294967295");
    EXPECT_EQ(build("un3", {7}), "007");
    EXPECT_EQ(build("un3", {1234}), "999");
    EXPECT_EQ(build("un9", {4294967295u}), "999999999");
    EXPECT_EQ(build("un0 s", {12345, "|"}), "|");
}

TEST(TextNumbers, DigitLimitDropsDecimalsThenSaturates) {
    EXPECT_EQ(build("ud2n3", {999}), "9.99");
    EXPECT_EQ(build("ud2n3", {1000}), "10.0");
    EXPECT_EQ(build("ud2n3", {12345}), "123");
    EXPECT_EQ(build("ud2n3", {123456}), "999");
    EXPECT_EQ(build("ud0n2", {12345}), "12345");  // no decimals: no limit
    EXPECT_EQ(build("ud3n9", {4294967295u}), "4294967.29");
    EXPECT_EQ(build("ud1n8", {4294967295u}), "99999999");
    EXPECT_EQ(build("id1n3 s", {-123, " dB"}), "-12.3 dB");
    EXPECT_EQ(build("id1n3 s", {12345, " dB"}), "999 dB");
    EXPECT_EQ(build("id1n3 s", {995, " dB"}), "99.5 dB");
    EXPECT_EQ(build("id1n3", {-12345}), "-999");
    EXPECT_EQ(build("id2n5", {-1234567}), "-12345");
    EXPECT_EQ(build("id1n4", {5}), "0.5");
}

TEST(TextNumbers, SignedForms) {
    EXPECT_EQ(build("i", {0}), "0");
    EXPECT_EQ(build("i", {-42}), "-42");
    EXPECT_EQ(build("i", {4294967295u}), "-1");
    EXPECT_EQ(build("i", {INT32_MIN}), "-2147483648");
    EXPECT_EQ(build("i", {INT32_MAX}), "2147483647");
    EXPECT_EQ(build("id3", {INT32_MIN}), "-2147483.648");
    EXPECT_EQ(build("id2", {-5}), "-0.05");
    EXPECT_EQ(build("in3", {-7}), "-007");
    EXPECT_EQ(build("in2", {-500}), "-99");
    EXPECT_EQ(build("in9", {INT32_MIN}), "-999999999");
    EXPECT_EQ(build("in0", {-5}), "-");
    EXPECT_EQ(build("in0", {5}), "");
}

TEST(TextNumbers, Hexadecimal) {
    EXPECT_EQ(build("h", {0}), "0");
    EXPECT_EQ(build("hX", {255}), "0xFF");
    EXPECT_EQ(build("hH", {0}), "0h");
    EXPECT_EQ(build("h hX hH", {0xDEADBEEFu, 16, 10}), "DEADBEEF0x10Ah");
}

TEST(TextNumbers, AgreeWithReferenceFormattingOverRandomValues) {
    std::mt19937 random(20240601);
    for (int n = 0; n < 2000; ++n) {
        const uint32_t value = random() >> (random() % 32);
        const auto signed_value = static_cast<int32_t>(value);
        const unsigned decimals = random() % 10;
        SCOPED_TRACE(value);
        EXPECT_EQ(build("u", {value}), std::to_string(value));
        EXPECT_EQ(build("i", {signed_value}), std::to_string(signed_value));
        EXPECT_EQ(build("h", {value}), snprintf_text("%X", value));
        EXPECT_EQ(build("un5", {value}), snprintf_text("%05u", std::min(value, 99999u)));
        const std::string format = "ud" + std::to_string(decimals);
        EXPECT_EQ(build(format, {value}), reference_fixed(value, decimals));
        EXPECT_EQ(text::decimal_text(value), std::to_string(value));
        EXPECT_EQ(text::decimal_text(signed_value), std::to_string(signed_value));
        EXPECT_EQ(text::hex_text(value), snprintf_text("%X", value));
    }
}

TEST(TextFloat, RoundsToTheGivenDecimals) {
    EXPECT_EQ(build("f2", {3.14159}), "3.14");
    EXPECT_EQ(build("f0", {2.7}), "3");
    EXPECT_EQ(build("f3", {0.0}), "0.000");
    EXPECT_EQ(build("f1", {-2.25f}), "-2.3");
    EXPECT_EQ(build("f2", {-0.5}), "-0.50");
    EXPECT_EQ(build("f1", {7}), "7.0");  // an integer argument is taken by value
    // The carry of the rounded fraction moves into the whole part.
    EXPECT_EQ(build("f1", {9.96}), "10.0");
    EXPECT_EQ(build("f2", {-99.999}), "-100.00");
}

TEST(TextFloat, UsesSinglePrecision) {
    EXPECT_EQ(build("f9", {0.1}), "0.100000001");
    EXPECT_EQ(build("f0", {16777217.0}), "16777216");
    // The whole part of large values is exact, all digits.
    for (double value : {3e38, double{FLT_MAX}, -1e30, 1.8446744073709552e19}) {
        const auto single = static_cast<double>(static_cast<float>(value));
        EXPECT_EQ(build("f1", {value}), snprintf_text("%.1f", single));
    }
}

TEST(TextFloat, NonFiniteValuesPrintNan) {
    EXPECT_EQ(build("f2", {NAN}), "NAN");
    EXPECT_EQ(build("f2 s", {INFINITY, "|"}), "NAN|");
    EXPECT_EQ(build("f0", {-INFINITY}), "NAN");
    EXPECT_EQ(build("f1", {1e300}), "NAN");  // infinite at single precision
}

TEST(TextFormat, InvalidItemsFailTheWholeCall) {
    for (const char* format : {"x", "d", "v", "z", "S", "5", "s x", "ud", "udn3", "ud2n", "un", "idn", "sn", "srn",
                               "f", "fx", "hx", "u5", "sr2", "s-"}) {
        SCOPED_TRACE(format);
        EXPECT_EQ(build(format, {1}), std::nullopt);
        EXPECT_EQ(build(format, {"t"}), std::nullopt);
    }
}

TEST(TextFormat, ArgumentsMustMatchItemsInKindAndNumber) {
    std::string owned = "o";
    EXPECT_EQ(build("s", {5}), std::nullopt);
    EXPECT_EQ(build("sn4", {5}), std::nullopt);
    EXPECT_EQ(build("u", {"5"}), std::nullopt);
    EXPECT_EQ(build("i", {1.5}), std::nullopt);
    EXPECT_EQ(build("h", {static_cast<const char*>(nullptr)}), std::nullopt);
    EXPECT_EQ(build("f1", {"1"}), std::nullopt);
    EXPECT_EQ(build("sr", {"not owned"}), std::nullopt);
    EXPECT_EQ(build("s", {Owned{&owned}}), std::nullopt);
    EXPECT_EQ(build("s u", {"a"}), std::nullopt);
    EXPECT_EQ(build("s", {"a", "b"}), std::nullopt);
    EXPECT_EQ(build("", {"a"}), std::nullopt);
    EXPECT_EQ(owned, "o");
}

TEST(TextOwned, ReleasedOnlyWhenTheCallSucceeds) {
    std::string first = "first ";
    std::string second = "second";
    EXPECT_EQ(build("sr s sr", {Owned{&first}, "& ", Owned{&second}}), "first & second");
    EXPECT_TRUE(first.empty());
    EXPECT_TRUE(second.empty());

    std::string kept = "kept";
    EXPECT_EQ(build("sr x", {Owned{&kept}, 1}), std::nullopt);
    EXPECT_EQ(build("sr u", {Owned{&kept}, "1"}), std::nullopt);
    EXPECT_EQ(build("sr s", {Owned{&kept}}), std::nullopt);
    EXPECT_EQ(kept, "kept");

    std::string padded = "abcdefghij";
    EXPECT_EQ(build("srn8 s", {Owned{&padded}, "|"}), "abcd... |");
    EXPECT_TRUE(padded.empty());
    EXPECT_EQ(build("sr srn3", {Owned{nullptr}, Owned{nullptr}}), "   ");
}

TEST(TextAppend, GrowsByDoublingWithinTheLimit) {
    Buffer buffer;
    buffer.capacity = 16;
    ASSERT_TRUE(append(buffer, "s", {"0123456789"}));
    EXPECT_EQ(buffer.view(), "0123456789");
    EXPECT_EQ(buffer.used, 10u);
    EXPECT_EQ(buffer.capacity, 16u);

    const char* before = buffer.data.get();
    EXPECT_FALSE(append(buffer, "s", {"abcdefghij"}));
    EXPECT_EQ(buffer.data.get(), before);
    EXPECT_EQ(buffer.view(), "0123456789");
    EXPECT_EQ(buffer.capacity, 16u);

    buffer.max_doublings = 1;
    ASSERT_TRUE(append(buffer, "s", {"abcdefghij"}));
    EXPECT_EQ(buffer.capacity, 32u);
    EXPECT_EQ(buffer.used, 20u);
    EXPECT_EQ(buffer.view(), "0123456789abcdefghij");
    EXPECT_EQ(buffer.data[20], '\0');
}

TEST(TextAppend, ExactFitAndRepeatedDoubling) {
    Buffer buffer;
    buffer.capacity = 4;
    buffer.max_doublings = 1;
    EXPECT_FALSE(append(buffer, "s u", {"twelve ", 12345}));  // needs 13 bytes, 8 at most
    EXPECT_FALSE(buffer.data);
    EXPECT_EQ(buffer.capacity, 4u);
    buffer.max_doublings = 2;
    ASSERT_TRUE(append(buffer, "s u", {"twelve ", 12345}));
    EXPECT_EQ(buffer.capacity, 16u);
    EXPECT_EQ(buffer.view(), "twelve 12345");

    const char* before = buffer.data.get();
    ASSERT_TRUE(append(buffer, "un3", {7}));  // 12 + 3 + NUL fills 16 exactly
    EXPECT_EQ(buffer.data.get(), before);
    EXPECT_EQ(buffer.capacity, 16u);
    EXPECT_EQ(buffer.view(), "twelve 12345007");
}

TEST(TextAppend, FailuresLeaveTheBufferUnchanged) {
    Buffer empty;
    EXPECT_FALSE(append(empty, "s", {""}));  // no data and no capacity
    EXPECT_FALSE(empty.data);

    Buffer buffer;
    buffer.capacity = 8;
    buffer.max_doublings = 4;
    EXPECT_FALSE(append(buffer, "s d", {"a", 1}));
    EXPECT_FALSE(buffer.data);  // nothing allocated for an invalid format
    ASSERT_TRUE(append(buffer, "", {}));
    EXPECT_EQ(buffer.view(), "");
    EXPECT_EQ(buffer.data[0], '\0');

    std::string owned = "owned";
    EXPECT_FALSE(append(buffer, "sr u", {Owned{&owned}, "x"}));
    EXPECT_EQ(owned, "owned");
    EXPECT_EQ(buffer.used, 0u);
    ASSERT_TRUE(append(buffer, "sr", {Owned{&owned}}));
    EXPECT_TRUE(owned.empty());
    EXPECT_EQ(buffer.view(), "owned");
}

TEST(TextAppend, MayAppendItsOwnContents) {
    Buffer buffer;
    buffer.capacity = 8;
    buffer.max_doublings = 8;
    ASSERT_TRUE(append(buffer, "s", {"abc"}));
    for (int n = 0; n < 4; ++n) ASSERT_TRUE(append(buffer, "s", {buffer.view()}));
    std::string expected;
    for (int n = 0; n < 16; ++n) expected += "abc";
    EXPECT_EQ(buffer.view(), expected);
    EXPECT_EQ(buffer.used, 48u);
    EXPECT_EQ(buffer.capacity, 64u);
}

TEST(TextHelpers, FixedPointText) {
    EXPECT_EQ(text::fixed_point_text(5, 2), "0.05");
    EXPECT_EQ(text::fixed_point_text(-125, 1), "-12.5");
    EXPECT_EQ(text::fixed_point_text(42, 0), "42");
    EXPECT_EQ(text::fixed_point_text(0, 3), "0.000");
    EXPECT_EQ(text::fixed_point_text(-7, 3), "-0.007");
    EXPECT_EQ(text::fixed_point_text(INT32_MIN, 2), "-21474836.48");
    EXPECT_EQ(text::fixed_point_text(7, 12), "0.000000000007");
    EXPECT_EQ(text::fixed_point_text(INT32_MAX, 10), "0.2147483647");
}

TEST(TextHelpers, CopyAndNumberTexts) {
    EXPECT_EQ(text::copy_text(nullptr), std::nullopt);
    EXPECT_EQ(text::copy_text(""), std::nullopt);
    EXPECT_EQ(text::copy_text("abc"), "abc");
    EXPECT_EQ(text::decimal_text(0u), "0");
    EXPECT_EQ(text::decimal_text(INT32_MIN), "-2147483648");
    EXPECT_EQ(text::hex_text(0), "0");
    EXPECT_EQ(text::hex_text(0xABCDEF12u), "ABCDEF12");
}

TEST(TextHelpers, WideTextConversions) {
    const std::wstring wide = L"Gr\u00FC\u00DFe \u20AC \U0001D11E";
    const auto multibyte = text::to_multibyte(wide);
    EXPECT_EQ(multibyte, "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9D\x84\x9E");
    ASSERT_TRUE(multibyte);
    EXPECT_EQ(text::to_wide(*multibyte), wide);
    EXPECT_EQ(text::to_wide("\x7F\xDF\xBF\xEF\xBF\xBF\xF4\x8F\xBF\xBF"), L"\x7F\u07FF\uFFFF\U0010FFFF");

    EXPECT_EQ(text::to_multibyte(L""), std::nullopt);
    EXPECT_EQ(text::to_multibyte(std::wstring(1, static_cast<wchar_t>(0xD800))), std::nullopt);
    EXPECT_EQ(text::to_multibyte(std::wstring(1, static_cast<wchar_t>(0x110000))), std::nullopt);
    for (const char* invalid : {"", "\x80", "a\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                                "\xF8\x88\x80\x80\x80", "\xC3\x41"}) {
        SCOPED_TRACE(invalid);
        EXPECT_EQ(text::to_wide(invalid), std::nullopt);
    }
}

TEST(TextHelpers, ParseDecimal) {
    EXPECT_EQ(text::parse_decimal(nullptr), 0u);
    EXPECT_EQ(text::parse_decimal(""), 0u);
    EXPECT_EQ(text::parse_decimal("0"), 0u);
    EXPECT_EQ(text::parse_decimal("0042"), 42u);
    EXPECT_EQ(text::parse_decimal("4294967295"), 4294967295u);
    EXPECT_EQ(text::parse_decimal("4294967296"), 4294967295u);
    EXPECT_EQ(text::parse_decimal("99999999999999999999999999"), 4294967295u);
    for (const char* stray : {"12a", "-1", "+1", " 1", "1 ", "1.5", "99999999999x"}) {
        EXPECT_EQ(text::parse_decimal(stray), 0u) << stray;
    }
}

TEST(TextHelpers, ParseHex) {
    EXPECT_EQ(text::parse_hex(nullptr), 0u);
    EXPECT_EQ(text::parse_hex(""), 0u);
    EXPECT_EQ(text::parse_hex("ff"), 255u);
    EXPECT_EQ(text::parse_hex("FFh"), 255u);
    EXPECT_EQ(text::parse_hex("1aH"), 26u);
    EXPECT_EQ(text::parse_hex("DeadBeef"), 0xDEADBEEFu);
    EXPECT_EQ(text::parse_hex("FFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(text::parse_hex("100000000"), 0xFFFFFFFFu);
    EXPECT_EQ(text::parse_hex("123456789ABCDEF0h"), 0xFFFFFFFFu);
    for (const char* stray : {"0x10", "g", "12hh", "h1", "1 ", "-1", "FFFFFFFFFFz"}) {
        EXPECT_EQ(text::parse_hex(stray), 0u) << stray;
    }
}

TEST(TextHelpers, DirectoryPart) {
    EXPECT_EQ(text::directory_part("C:\\dir\\file.wav"), "C:\\dir");
    EXPECT_EQ(text::directory_part("C:\\dir\\\\\\file.wav"), "C:\\dir");
    EXPECT_EQ(text::directory_part("/home/user/x.wav"), "/home/user");
    EXPECT_EQ(text::directory_part("a/b\\c"), "a/b");
    EXPECT_EQ(text::directory_part("dir//"), "dir");
    EXPECT_EQ(text::directory_part("file.wav"), std::nullopt);
    EXPECT_EQ(text::directory_part("\\file.wav"), std::nullopt);
    EXPECT_EQ(text::directory_part("//file.wav"), std::nullopt);
    EXPECT_EQ(text::directory_part(""), std::nullopt);
}

}  // namespace
