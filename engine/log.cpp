#include "engine/log.h"

#include <time.h>
#include <unistd.h>

#include <string>

namespace torvalen {

void log_event(std::string_view who, std::string_view what) {
    char stamp[32] = "";
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    if (localtime_r(&now.tv_sec, &local)) strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string line;
    line.reserve(48 + who.size() + what.size());
    line.append(stamp).append(" torvalen[").append(who).append("]: ").append(what).push_back('\n');
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

namespace {
// Length of the well-formed UTF-8 sequence at `at` (2..4), or 0.
size_t utf8_sequence(std::string_view s, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // allowed range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;   // no overlong forms
        if (lead == 0xed) high = 0x9f;  // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (at + length > s.size()) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if ((byte(at + i) & 0xc0) != 0x80) return 0;
    return length;
}
}  // namespace

std::string log_quote(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    auto escape = [&](unsigned char c) {
        out.append("\\x");
        out.push_back(hex[c >> 4]);
        out.push_back(hex[c & 15]);
    };
    for (size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f) {
                escape(c);
            } else {
                if (c == '"' || c == '\\') out.push_back('\\');
                out.push_back(static_cast<char>(c));
            }
            ++at;
            continue;
        }
        const size_t length = utf8_sequence(text, at);
        if (length == 0) {
            escape(c);
            ++at;
        } else if (c == 0xc2 && static_cast<unsigned char>(text[at + 1]) < 0xa0) {
            // U+0080..U+009F: C1 controls (0x9B is a terminal's CSI).
            escape(c);
            escape(static_cast<unsigned char>(text[at + 1]));
            at += 2;
        } else {
            out.append(text.substr(at, length));
            at += length;
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace torvalen
