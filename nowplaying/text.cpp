#include "nowplaying/text.h"

#include <vector>

#include "engine/user_text.h"

namespace torvalen::nowplaying {
namespace {

bool contains_ci(std::string_view text, std::string_view word) {
    if (word.size() > text.size()) return false;
    for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
        bool match = true;
        for (std::size_t k = 0; k < word.size() && match; ++k) {
            char c = text[i + k];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            match = c == word[k];
        }
        if (match) return true;
    }
    return false;
}

void append_code_point(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool is_space(char c) { return c == ' '; }

}  // namespace

std::string clean_field(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    const bool utf8 = valid_utf8(raw);
    std::size_t i = 0;
    while (i < raw.size()) {
        const auto byte = static_cast<unsigned char>(raw[i]);
        uint32_t cp;
        std::size_t length = 1;
        if (utf8 && byte >= 0x80) {
            length = utf8_sequence_length(raw.substr(i));
            if (length == 2) {
                cp = ((byte & 0x1Fu) << 6) | (static_cast<unsigned char>(raw[i + 1]) & 0x3Fu);
            } else {
                cp = 0x100;  // not a C1 control; copied as it is below
            }
        } else {
            cp = byte;  // ASCII, or ISO-8859-1 when the field is not UTF-8
        }
        if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F)) {
            out += ' ';
        } else if (utf8) {
            out.append(raw.substr(i, length));
        } else {
            append_code_point(out, cp);
        }
        i += length;
    }
    // Trim, then cut on a character boundary.
    std::size_t begin = 0, end = out.size();
    while (begin < end && is_space(out[begin])) ++begin;
    while (end > begin && is_space(out[end - 1])) --end;
    std::string result = out.substr(begin, end - begin);
    if (result.size() > max_field_bytes) {
        std::size_t cut = max_field_bytes;
        while (cut > 0 && (static_cast<unsigned char>(result[cut]) & 0xC0) == 0x80) --cut;
        result.resize(cut);
        while (!result.empty() && is_space(result.back())) result.pop_back();
    }
    return result;
}

std::optional<NowPlayingText> parse_incoming(std::string_view input, bool parsed) {
    if (input.size() > max_input_bytes) input = input.substr(0, max_input_bytes);
    if (const auto zero = input.find('\0'); zero != std::string_view::npos) input = input.substr(0, zero);

    std::vector<std::string_view> tokens;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= input.size(); ++i) {
        if (i == input.size() || input[i] == ';' || input[i] == '\r' || input[i] == '\n') {
            tokens.push_back(input.substr(start, i - start));
            start = i + 1;
        }
    }

    if (!parsed) {
        std::string line = clean_field(tokens.front());
        if (line.empty()) return std::nullopt;
        return NowPlayingText{{}, {}, std::move(line)};
    }

    std::optional<std::string_view> artist, title;
    for (std::string_view token : tokens) {
        const auto equals = token.find('=');
        if (equals == std::string_view::npos) continue;
        if (contains_ci(token, "artist"))
            artist = token.substr(equals + 1);
        else if (contains_ci(token, "title"))
            title = token.substr(equals + 1);
        if (artist && title) break;
    }
    if (!artist || !title) return std::nullopt;
    NowPlayingText result{clean_field(*artist), clean_field(*title), {}};
    if (result.artist.empty() || result.title.empty()) return std::nullopt;
    result.text = result.artist + " - " + result.title;
    return result;
}

}  // namespace torvalen::nowplaying
