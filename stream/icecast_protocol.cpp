#include "stream/icecast_protocol.h"

#include <array>
#include <cstdio>

namespace torvalen::stream {

namespace {

constexpr std::array<std::string_view, 12> connection_texts = {
    "Disconnected",
    "Connecting",
    "Connected",
    "Not enabled",
    "Plugin not present",
    "Encoder did not initialize",
    "Bad URL/Port or Server not running",
    "",
    "Memory allocation error",
    "Authentication failure",
    "Streaing error",
    "Networking error",
};

constexpr std::array<std::string_view, 8> metadata_texts = {
    "",
    "Now Playing server not found",
    "Now Playing OK",
    "Now Playing fail",
    "Memory allocation error",
    "Network  error",
    "Not Supported",
    "Hack!Might work",
};

bool fields_safe(const SourceRequestFields& f) {
    for (const std::string* s : {&f.mount, &f.server, &f.port, &f.user, &f.password, &f.station, &f.web_page, &f.genre})
        if (!header_safe(*s)) return false;
    return true;
}

std::string kbps(uint32_t bps) { return std::to_string(bps / 1000); }

// The headers both logins share, each line ending in CR LF.
std::string stream_headers(const SourceRequestFields& f) {
    std::string h;
    h += "Authorization: Basic " + base64(f.user + ":" + f.password) + "\r\n";
    h += "Content-Type: ";
    h += content_type(f.type);
    h += "\r\n";
    h += "ice-name: " + f.station + "\r\n";
    h += "ice-url: " + f.web_page + "\r\n";
    h += "ice-genre: " + f.genre + "\r\n";
    h += f.make_public ? "ice-private: 0\r\nice-public: 1\r\n" : "ice-private: 1\r\nice-public: 0\r\n";
    h += "ice-bitrate: " + kbps(f.bitrate_bps) + "\r\n";
    h += "ice-audio-info: samplerate=" + std::to_string(f.rate_Hz) + ";bitrate=" + kbps(f.bitrate_bps) +
         ";channels=" + (f.channels == 1 ? "1" : "2") + "\r\n";
    h += "Ice-metadata: 1\r\n";
    return h;
}

}  // namespace

std::string_view connection_status_text(uint32_t code) {
    return code < connection_texts.size() ? connection_texts[code] : std::string_view{};
}

std::string_view metadata_status_text(uint32_t code) {
    return code < metadata_texts.size() ? metadata_texts[code] : std::string_view{};
}

std::string base64(std::string_view bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8) |
                           uint8_t(bytes[i + 2]);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
        if (rest == 2) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string percent_encode(std::string_view bytes) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '-' || u == '.' ||
            u == '_' || u == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}

bool header_safe(std::string_view value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::string_view content_type(uint32_t type) {
    switch (type) {
        case encoder_vorbis:
        case encoder_opus: return "audio/ogg";
        case encoder_mp3: return "audio/mpeg";
        case encoder_aac: return "audio/aacp";
        default: return {};
    }
}

std::optional<std::string> build_put_request(const SourceRequestFields& f) {
    if (content_type(f.type).empty() || !fields_safe(f)) return std::nullopt;
    std::string r = "PUT " + f.mount + " HTTP/1.1\r\nHost: " + f.server + ":" + f.port + "\r\n";
    r += stream_headers(f);
    r += "Expect: 100-continue\r\n\r\n";
    return r;
}

std::optional<std::string> build_source_request(const SourceRequestFields& f) {
    if (content_type(f.type).empty() || !fields_safe(f)) return std::nullopt;
    std::string r = "SOURCE " + f.mount + " HTTP/1.1\r\nAccept: */*\r\nHost: " + f.server + ":" + f.port + "\r\n";
    r += stream_headers(f);
    r += "\r\n";
    return r;
}

std::optional<std::string> build_metadata_request(const MetadataRequestFields& f) {
    for (const std::string* s : {&f.mount, &f.server, &f.port, &f.admin_user, &f.admin_password})
        if (!header_safe(*s)) return std::nullopt;
    // The song is percent-encoded, so any byte of it is safe; the mount too goes
    // into the query and is encoded.
    std::string r = "GET /admin/metadata?mount=" + percent_encode(f.mount) +
                    "&mode=updinfo&song=" + percent_encode(f.song) + " HTTP/1.1\r\nHost: " + f.server + ":" +
                    f.port + "\r\nAccept: text/html\r\nAccept-Language: en-US\r\nAuthorization: Basic " +
                    base64(f.admin_user + ":" + f.admin_password) + "\r\nConnection: close\r\n\r\n";
    return r;
}

LoginReply::State LoginReply::feed(std::span<const char> bytes) {
    used_ = 0;
    for (const char c : bytes) {
        if (state_ != State::need_more) break;
        ++used_;
        if (c == '\n') {
            std::string_view text(line_);
            if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
            const bool go_on = line(text);
            line_.clear();
            if (!go_on) break;
            continue;
        }
        if (line_.size() >= line_limit) {
            state_ = State::malformed;
            line_.clear();
            line_.shrink_to_fit();
            break;
        }
        line_ += c;
    }
    return state_;
}

// One whole line; false when the reply is decided.
bool LoginReply::line(std::string_view text) {
    if (in_headers_) {
        // Headers of an interim reply end with a blank line; then the final
        // status line follows.
        if (text.empty()) in_headers_ = false;
        return true;
    }
    if (text.empty()) return true;  // blank lines before a status line are tolerated
    // "HTTP/1.x CODE reason" (some servers answer "ICY 200 OK").
    const std::size_t space = text.find(' ');
    const std::string_view proto = text.substr(0, space);
    if (space == std::string_view::npos || !(proto.starts_with("HTTP/") || proto == "ICY")) {
        state_ = State::malformed;
        return false;
    }
    std::string_view rest = text.substr(space + 1);
    int code = 0;
    std::size_t digits = 0;
    while (digits < rest.size() && digits < 3 && rest[digits] >= '0' && rest[digits] <= '9') {
        code = code * 10 + (rest[digits] - '0');
        ++digits;
    }
    if (digits != 3 || (rest.size() > 3 && rest[3] != ' ')) {
        state_ = State::malformed;
        return false;
    }
    code_ = code;
    if (code == 100 && continue_accepts_) {
        state_ = State::accepted;
        return false;
    }
    if (code >= 100 && code < 200) {
        in_headers_ = true;  // interim: wait for the final answer
        return true;
    }
    state_ = code == 200 ? State::accepted : State::refused;
    return false;
}

bool MetadataReply::feed(std::span<const char> bytes) {
    if (finished()) return success_;
    const std::size_t room = body_limit - seen_.size();
    seen_.append(bytes.data(), bytes.size() < room ? bytes.size() : room);
    if (seen_.find(success_text) != std::string::npos) success_ = true;
    if (seen_.size() >= body_limit) full_ = true;
    return success_;
}

}  // namespace torvalen::stream
