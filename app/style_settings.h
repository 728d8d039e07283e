// The process-wide palette and fonts: 25 named colours, the 16 custom colours the
// colour chooser offers, and the four named fonts. Kept under
// `Software\Torv3\Persist\COLORS` and `...\Persist\FONTS`:
//   - each named colour a DWORD in the layout 0x00BBGGRR (red in the lowest byte);
//   - `Colors`: binary, 64 bytes, the 16 custom colours as little-endian DWORDs;
//   - `SmallFont`, `MediumFont`, `TitleFont`, `LargeFont`: binary, 60 bytes each, a
//     logical-font record (see FontRecord).
// A value that is missing or of the wrong size keeps its default, value by value.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/settings_store.h"

namespace torvalen {

namespace http {
class Json;
}

// A colour as stored: 0x00BBGGRR.
using ColorRef = uint32_t;

constexpr ColorRef color_rgb(uint8_t r, uint8_t g, uint8_t b) {
    return static_cast<ColorRef>(r) | (static_cast<ColorRef>(g) << 8) | (static_cast<ColorRef>(b) << 16);
}

// "#rrggbb" (lower-case hex digits) of the colour's red, green and blue bytes.
std::string color_to_hex(ColorRef color);
// Parses "#rrggbb" (either case, exactly seven characters).
std::optional<ColorRef> color_from_hex(std::string_view text);

// Screen resolution fonts are sized for: 96 pixels per inch.
inline constexpr int font_pixels_per_inch = 96;
// The record's height of a font of `points` points: -(points x 96 / 72), rounded.
int32_t font_height_of_points(int points);
// The points of a record's height (negative: character height; positive: cell height).
int font_points_of_height(int32_t height);

// The 60-byte logical-font record, field by field (little-endian):
// height i32 @0, width i32 @4, escapement i32 @8, orientation i32 @12, weight i32 @16,
// italic, underline, strike_out, char_set, out_precision, clip_precision, quality,
// pitch_and_family (one byte each) @20..27, face name char[32] @28 (NUL-terminated).
struct FontRecord {
    static constexpr size_t size = 60;
    static constexpr size_t face_size = 32;

    int32_t height = 0;
    int32_t width = 0;
    int32_t escapement = 0;
    int32_t orientation = 0;
    int32_t weight = 400;
    uint8_t italic = 0;
    uint8_t underline = 0;
    uint8_t strike_out = 0;
    uint8_t char_set = 0;
    uint8_t out_precision = 0;
    uint8_t clip_precision = 0;
    uint8_t quality = 0;
    uint8_t pitch_and_family = 0;
    std::array<char, face_size> face_name{};

    std::string face() const;                  // up to the first NUL
    bool set_face(std::string_view face);      // false when longer than 31 characters
    int points() const { return font_points_of_height(height); }

    std::array<std::byte, size> to_bytes() const;
    static FontRecord from_bytes(std::span<const std::byte, size> bytes);

    bool operator==(const FontRecord&) const = default;
};

struct StyleSettings {
    static constexpr size_t color_count = 25;
    static constexpr size_t custom_count = 16;
    static constexpr size_t font_count = 4;

    // Value names in `COLORS`, in the order of `colors`.
    static constexpr std::array<const char*, color_count> color_names = {
        "Background",     "Foreground",      "DarkBackground", "Title",          "TitleTextColor",
        "TextColor",      "Tab_Inactive",    "Tab_Highlighted", "Tab_Active",    "GrayedTextColor",
        "MeterBackground", "MeterBarLevel1", "MeterBarLevel2", "MeterBarLevel3", "MeterBarGR1",
        "MeterBarGR2",    "MeterBarGR3",     "MeterBarGR4",    "Progress",       "ProgressBk",
        "RedPen",         "GreenPen",        "SumPen",         "GratPen",        "DivPen"};
    static constexpr std::array<ColorRef, color_count> default_colors = {
        0x4E4E4E, 0x808080, 0x2F2F2F, 0xA04310, 0xFFFFFF,  //
        0xFFFFFF, 0x616161, 0xDEA52E, 0xB76B20, 0xC0C0C0,  //
        0x000000, 0x40FF40, 0x80C080, 0x0000FF, 0x00FFFF,  //
        0x0080FF, 0x4040FF, 0xC0C000, 0xFF4040, 0xC0C0C0,  //
        0x4040FF, 0x40FF40, 0xFFFFFF, 0x6D6D6D, 0xEBBD85};
    static constexpr std::array<ColorRef, custom_count> default_custom = {
        color_rgb(255, 0, 0),   color_rgb(0, 255, 0),     color_rgb(0, 0, 255),   color_rgb(255, 255, 0),
        color_rgb(0, 255, 255), color_rgb(255, 0, 255),   color_rgb(255, 0, 0),   color_rgb(0, 255, 0),
        color_rgb(0, 0, 255),   color_rgb(255, 255, 0),   color_rgb(0, 255, 255), color_rgb(255, 0, 255),
        color_rgb(255, 255, 255), color_rgb(192, 192, 192), color_rgb(64, 64, 64), color_rgb(0, 0, 0)};

    // Value names in `FONTS`, in the order of `fonts`.
    static constexpr std::array<const char*, font_count> font_names = {"SmallFont", "MediumFont",
                                                                       "TitleFont", "LargeFont"};
    static constexpr std::array<int, font_count> default_font_points = {7, 9, 10, 28};
    static constexpr std::array<int32_t, font_count> default_font_weights = {400, 400, 700, 700};
    static constexpr const char* default_face = "calibri";
    static FontRecord default_font(size_t index);

    // Key and value names of the store.
    static constexpr const char* colors_key = "COLORS";
    static constexpr const char* fonts_key = "FONTS";
    static constexpr const char* custom_value = "Colors";

    std::array<ColorRef, color_count> colors = default_colors;
    std::array<ColorRef, custom_count> custom = default_custom;
    std::array<FontRecord, font_count> fonts = {default_font(0), default_font(1), default_font(2),
                                                default_font(3)};

    // Reads `COLORS` and `FONTS` under `persist` (never creates them).
    static StyleSettings load(const SettingsKey& persist);
    // Writes every colour, the custom colours and the four fonts in one transaction.
    bool save(const SettingsKey& persist) const;

    // Index of a colour or font name, or nothing.
    static std::optional<size_t> color_index(std::string_view name);
    static std::optional<size_t> font_index(std::string_view name);
    std::optional<ColorRef> color(std::string_view name) const;

    // Writes the "style" object of GET /api/state (the value only; the caller
    // writes the key): {"colors":{NAME:"#rrggbb",...},"custom":["#rrggbb",...],
    // "fonts":{NAME:{"face":..., "points":N, "weight":N},...}}.
    void write_json(http::Json& json) const;

    // Applies one form field of POST /api/style: `color.NAME` = "#rrggbb",
    // `custom.K` = "#rrggbb" (K 0..15), `font.NAME.face` (1..31 printable
    // characters, none of " ' \ ; { } < >), `font.NAME.points` (1..200),
    // `font.NAME.weight` (1..1000). False, with nothing changed, for an unknown
    // field or a malformed value.
    bool apply_field(std::string_view field, std::string_view value);

    // Applies every (field, value) pair of `fields` or none: the pairs go to a
    // copy first, which replaces these settings only when all were accepted.
    template <typename Fields>
    bool apply_fields(const Fields& fields) {
        StyleSettings copy = *this;
        for (const auto& [field, value] : fields) {
            if (!copy.apply_field(field, value)) return false;
        }
        *this = copy;
        return true;
    }

    bool operator==(const StyleSettings&) const = default;
};

}  // namespace torvalen
