#include "engine/user_text.h"

#include <cstdint>

namespace torvalen {

size_t utf8_sequence_length(std::string_view text) {
    if (text.empty()) return 0;
    const auto b0 = static_cast<unsigned char>(text[0]);
    if (b0 < 0x80) return 1;
    size_t length = 0;
    uint32_t min = 0;
    uint32_t code = 0;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2, min = 0x80, code = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3, min = 0x800, code = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4, min = 0x10000, code = b0 & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if ((b & 0xC0) != 0x80) return 0;
        code = (code << 6) | (b & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

bool valid_utf8(std::string_view text) {
    while (!text.empty()) {
        const size_t n = utf8_sequence_length(text);
        if (n == 0) return false;
        text.remove_prefix(n);
    }
    return true;
}

bool clean_user_text(std::string_view text, bool allow_line_breaks) {
    while (!text.empty()) {
        const size_t n = utf8_sequence_length(text);
        if (n == 0) return false;
        const auto b0 = static_cast<unsigned char>(text[0]);
        if (n == 1 && (b0 < 0x20 || b0 == 0x7F)) {
            if (!allow_line_breaks || (b0 != '\n' && b0 != '\r' && b0 != '\t')) return false;
        }
        // C1 controls, U+0080 ... U+009F: C2 80 ... C2 9F.
        if (n == 2 && b0 == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0) return false;
        text.remove_prefix(n);
    }
    return true;
}

std::string escape_for_log(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    auto escape_byte = [&](unsigned char b) {
        out += "\\x";
        out += hex[b >> 4];
        out += hex[b & 15];
    };
    while (!text.empty()) {
        const size_t n = utf8_sequence_length(text);
        const auto b0 = static_cast<unsigned char>(text[0]);
        if (n == 0) {
            escape_byte(b0);
            text.remove_prefix(1);
            continue;
        }
        if (n == 1) {
            if (b0 < 0x20 || b0 == 0x7F) escape_byte(b0);
            else out += static_cast<char>(b0);
        } else if (n == 2 && b0 == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0) {
            escape_byte(b0);
            escape_byte(static_cast<unsigned char>(text[1]));
        } else {
            out.append(text.substr(0, n));
        }
        text.remove_prefix(n);
    }
    return out;
}

std::string repair_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const size_t n = utf8_sequence_length(text);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            text.remove_prefix(1);
        } else {
            out.append(text.substr(0, n));
            text.remove_prefix(n);
        }
    }
    return out;
}

}  // namespace torvalen
