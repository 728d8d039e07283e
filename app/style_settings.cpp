#include "app/style_settings.h"

#include <charconv>
#include <cstring>

#include "app/http/json.h"

namespace torvalen {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A whole decimal integer within [low, high]; nothing for anything else.
std::optional<int> parse_int(std::string_view text, int low, int high) {
    int value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high) return std::nullopt;
    return value;
}

// Face names go into CSS font declarations and JSON: printable ASCII only, and
// none of the characters that would end a quoted name or a declaration.
bool valid_face(std::string_view face) {
    if (face.empty() || face.size() >= FontRecord::face_size) return false;
    if (face.front() == ' ' || face.back() == ' ') return false;
    for (char c : face) {
        if (c < 0x20 || c > 0x7E) return false;
        if (std::string_view("\"'\\;{}<>").find(c) != std::string_view::npos) return false;
    }
    return true;
}

void put_i32(std::array<std::byte, FontRecord::size>& out, size_t at, int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    for (size_t i = 0; i < 4; ++i) out[at + i] = static_cast<std::byte>((u >> (8 * i)) & 0xFF);
}

int32_t get_i32(std::span<const std::byte, FontRecord::size> in, size_t at) {
    uint32_t u = 0;
    for (size_t i = 0; i < 4; ++i) u |= static_cast<uint32_t>(in[at + i]) << (8 * i);
    return static_cast<int32_t>(u);
}

// Every field "font.NAME.PART" splits into NAME and PART at the last dot.
bool split_font_field(std::string_view rest, std::string_view& name, std::string_view& part) {
    const size_t dot = rest.rfind('.');
    if (dot == std::string_view::npos) return false;
    name = rest.substr(0, dot);
    part = rest.substr(dot + 1);
    return true;
}

}  // namespace

std::string color_to_hex(ColorRef color) {
    static constexpr char digits[] = "0123456789abcdef";
    const uint8_t rgb[3] = {static_cast<uint8_t>(color & 0xFF), static_cast<uint8_t>((color >> 8) & 0xFF),
                            static_cast<uint8_t>((color >> 16) & 0xFF)};
    std::string text = "#";
    for (uint8_t byte : rgb) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

std::optional<ColorRef> color_from_hex(std::string_view text) {
    if (text.size() != 7 || text[0] != '#') return std::nullopt;
    uint8_t rgb[3] = {};
    for (size_t i = 0; i < 3; ++i) {
        const int high = hex_digit(text[1 + 2 * i]);
        const int low = hex_digit(text[2 + 2 * i]);
        if (high < 0 || low < 0) return std::nullopt;
        rgb[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return color_rgb(rgb[0], rgb[1], rgb[2]);
}

int32_t font_height_of_points(int points) {
    // Rounded to the nearest pixel, as the platform's MulDiv does.
    const int64_t scaled = static_cast<int64_t>(points) * font_pixels_per_inch;
    const int64_t pixels = scaled >= 0 ? (scaled + 36) / 72 : -((-scaled + 36) / 72);
    return static_cast<int32_t>(-pixels);
}

int font_points_of_height(int32_t height) {
    const int64_t pixels = height < 0 ? -static_cast<int64_t>(height) : height;
    return static_cast<int>((pixels * 72 + font_pixels_per_inch / 2) / font_pixels_per_inch);
}

std::string FontRecord::face() const {
    const char* begin = face_name.data();
    const void* nul = std::memchr(begin, 0, face_name.size());
    const size_t length = nul ? static_cast<size_t>(static_cast<const char*>(nul) - begin) : face_name.size();
    return std::string(begin, length);
}

bool FontRecord::set_face(std::string_view face) {
    if (face.size() >= face_size) return false;
    face_name.fill('\0');
    std::memcpy(face_name.data(), face.data(), face.size());
    return true;
}

std::array<std::byte, FontRecord::size> FontRecord::to_bytes() const {
    std::array<std::byte, size> out{};
    put_i32(out, 0, height);
    put_i32(out, 4, width);
    put_i32(out, 8, escapement);
    put_i32(out, 12, orientation);
    put_i32(out, 16, weight);
    const uint8_t flags[8] = {italic,        underline,      strike_out, char_set,
                              out_precision, clip_precision, quality,    pitch_and_family};
    for (size_t i = 0; i < 8; ++i) out[20 + i] = static_cast<std::byte>(flags[i]);
    for (size_t i = 0; i < face_size; ++i) out[28 + i] = static_cast<std::byte>(face_name[i]);
    return out;
}

FontRecord FontRecord::from_bytes(std::span<const std::byte, size> in) {
    FontRecord font;
    font.height = get_i32(in, 0);
    font.width = get_i32(in, 4);
    font.escapement = get_i32(in, 8);
    font.orientation = get_i32(in, 12);
    font.weight = get_i32(in, 16);
    uint8_t* flags[8] = {&font.italic,        &font.underline,      &font.strike_out, &font.char_set,
                         &font.out_precision, &font.clip_precision, &font.quality,    &font.pitch_and_family};
    for (size_t i = 0; i < 8; ++i) *flags[i] = static_cast<uint8_t>(in[20 + i]);
    for (size_t i = 0; i < face_size; ++i) font.face_name[i] = static_cast<char>(in[28 + i]);
    return font;
}

FontRecord StyleSettings::default_font(size_t index) {
    FontRecord font;
    font.height = font_height_of_points(default_font_points[index]);
    font.weight = default_font_weights[index];
    font.set_face(default_face);
    return font;
}

StyleSettings StyleSettings::load(const SettingsKey& persist) {
    StyleSettings style;
    if (auto key = persist.open(colors_key)) {
        for (size_t i = 0; i < color_count; ++i) key->read_dword(color_names[i], style.colors[i]);
        std::array<std::byte, custom_count * 4> bytes{};
        if (key->read_binary(custom_value, bytes)) {
            for (size_t i = 0; i < custom_count; ++i) {
                uint32_t value = 0;
                for (size_t b = 0; b < 4; ++b) value |= static_cast<uint32_t>(bytes[4 * i + b]) << (8 * b);
                style.custom[i] = value;
            }
        }
    }
    if (auto key = persist.open(fonts_key)) {
        for (size_t i = 0; i < font_count; ++i) {
            std::array<std::byte, FontRecord::size> bytes{};
            if (key->read_binary(font_names[i], bytes)) style.fonts[i] = FontRecord::from_bytes(bytes);
        }
    }
    return style;
}

bool StyleSettings::save(const SettingsKey& persist) const {
    SettingsStore* store = persist.store();
    if (!store) return false;
    SettingsStore::Transaction transaction(*store);
    auto colors_at = persist.create(colors_key);
    auto fonts_at = persist.create(fonts_key);
    if (!colors_at || !fonts_at) return false;
    for (size_t i = 0; i < color_count; ++i) {
        if (!colors_at->write_dword(color_names[i], colors[i])) return false;
    }
    std::array<std::byte, custom_count * 4> bytes{};
    for (size_t i = 0; i < custom_count; ++i) {
        for (size_t b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<std::byte>((custom[i] >> (8 * b)) & 0xFF);
    }
    if (!colors_at->write_binary(custom_value, bytes)) return false;
    for (size_t i = 0; i < font_count; ++i) {
        if (!fonts_at->write_binary(font_names[i], fonts[i].to_bytes())) return false;
    }
    return transaction.commit();
}

std::optional<size_t> StyleSettings::color_index(std::string_view name) {
    for (size_t i = 0; i < color_count; ++i) {
        if (name == color_names[i]) return i;
    }
    return std::nullopt;
}

std::optional<size_t> StyleSettings::font_index(std::string_view name) {
    for (size_t i = 0; i < font_count; ++i) {
        if (name == font_names[i]) return i;
    }
    return std::nullopt;
}

std::optional<ColorRef> StyleSettings::color(std::string_view name) const {
    if (auto i = color_index(name)) return colors[*i];
    return std::nullopt;
}

void StyleSettings::write_json(http::Json& json) const {
    json.begin_object();
    json.key("colors").begin_object();
    for (size_t i = 0; i < color_count; ++i) json.member(color_names[i], color_to_hex(colors[i]));
    json.end_object();
    json.key("custom").begin_array();
    for (ColorRef c : custom) json.value(color_to_hex(c));
    json.end_array();
    json.key("fonts").begin_object();
    for (size_t i = 0; i < font_count; ++i) {
        json.key(font_names[i]).begin_object();
        json.member("face", fonts[i].face());
        json.member("points", fonts[i].points());
        json.member("weight", fonts[i].weight);
        json.end_object();
    }
    json.end_object();
    json.end_object();
}

bool StyleSettings::apply_field(std::string_view field, std::string_view value) {
    constexpr std::string_view color_prefix = "color.";
    constexpr std::string_view custom_prefix = "custom.";
    constexpr std::string_view font_prefix = "font.";

    if (field.starts_with(color_prefix)) {
        const auto index = color_index(field.substr(color_prefix.size()));
        const auto parsed = color_from_hex(value);
        if (!index || !parsed) return false;
        colors[*index] = *parsed;
        return true;
    }
    if (field.starts_with(custom_prefix)) {
        const auto index = parse_int(field.substr(custom_prefix.size()), 0, static_cast<int>(custom_count) - 1);
        const auto parsed = color_from_hex(value);
        if (!index || !parsed) return false;
        custom[static_cast<size_t>(*index)] = *parsed;
        return true;
    }
    if (field.starts_with(font_prefix)) {
        std::string_view name, part;
        if (!split_font_field(field.substr(font_prefix.size()), name, part)) return false;
        const auto index = font_index(name);
        if (!index) return false;
        FontRecord& font = fonts[*index];
        if (part == "face") {
            if (!valid_face(value)) return false;
            return font.set_face(value);
        }
        if (part == "points") {
            const auto points = parse_int(value, 1, 200);
            if (!points) return false;
            font.height = font_height_of_points(*points);
            return true;
        }
        if (part == "weight") {
            const auto weight = parse_int(value, 1, 1000);
            if (!weight) return false;
            font.weight = *weight;
            return true;
        }
    }
    return false;
}

}  // namespace torvalen
