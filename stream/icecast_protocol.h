// The Icecast source protocol as text: status tables, the login and metadata
// requests, and the parsing of the server's replies. No sockets here, so every
// piece can be tested and fuzzed from memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace torvalen::stream {

// Encoder types, stored as "EncoderType".
enum EncoderType : uint32_t { encoder_vorbis = 1, encoder_opus = 2, encoder_mp3 = 3, encoder_aac = 4 };

// Connection status codes of one server connection.
enum ConnectionStatus : uint32_t {
    status_disconnected = 0,
    status_connecting = 1,
    status_connected = 2,
    status_not_enabled = 3,
    status_plugin_not_present = 4,
    status_encoder_not_initialized = 5,
    status_bad_url = 6,
    status_allocation = 8,
    status_authentication = 9,
    status_streaming_error = 10,
    status_network_error = 11,
};

// Metadata (song title) status codes; 0 shows nothing.
enum MetadataStatus : uint32_t {
    metadata_none = 0,
    metadata_server_not_found = 1,
    metadata_ok = 2,
    metadata_fail = 3,
    metadata_allocation = 4,
    metadata_network = 5,
    metadata_not_supported = 6,
    metadata_hack = 7,
};

// The texts shown for the codes ("" for a code without one).
std::string_view connection_status_text(uint32_t code);
std::string_view metadata_status_text(uint32_t code);

// RFC 4648 Base64 with "=" padding and no line breaks.
std::string base64(std::string_view bytes);
// RFC 3986 percent-encoding: A-Z a-z 0-9 - . _ ~ stay, every other byte is %XX.
std::string percent_encode(std::string_view bytes);
// A value may go into a request line or header: it holds no CR, LF or NUL.
bool header_safe(std::string_view value);

// What a login request says about the stream.
struct SourceRequestFields {
    std::string mount;      // "/stream"
    std::string server;     // host name or address
    std::string port;       // service text
    std::string user;       // source user
    std::string password;   // source password
    std::string station;    // ice-name
    std::string web_page;   // ice-url
    std::string genre;      // ice-genre
    bool make_public = true;
    uint32_t type = encoder_vorbis;
    uint32_t bitrate_bps = 128000;
    uint32_t rate_Hz = 48000;
    uint32_t channels = 2;
};

// The content type the server is told for an encoder type ("" for none).
std::string_view content_type(uint32_t type);

// The HTTP PUT login (with Expect: 100-continue) and the older SOURCE login.
// Nothing when the encoder type is unknown or a field holds CR or LF.
std::optional<std::string> build_put_request(const SourceRequestFields& f);
std::optional<std::string> build_source_request(const SourceRequestFields& f);

// The administration request that sets a mount's song title.
struct MetadataRequestFields {
    std::string mount, server, port, admin_user, admin_password;
    std::string song;
};
std::optional<std::string> build_metadata_request(const MetadataRequestFields& f);

// Reads the server's answer to a login, byte by byte as it arrives: status lines
// and headers. Lines longer than the limit are not buffered: the reply is then
// malformed. After a PUT with "Expect: 100-continue" a "100 Continue" is the
// acceptance (Icecast 2.4 sends nothing more and waits for the audio); otherwise
// interim replies are skipped and only a final 200 accepts.
class LoginReply {
public:
    enum class State { need_more, accepted, refused, malformed };

    static constexpr std::size_t line_limit = 8192;

    explicit LoginReply(bool continue_accepts = false) : continue_accepts_(continue_accepts) {}

    // Takes more bytes; returns the state reached. Once the state is final,
    // further bytes are ignored (they belong to whatever follows the reply).
    State feed(std::span<const char> bytes);
    State state() const { return state_; }
    // The status code of the last status line read (0 before one).
    int status_code() const { return code_; }
    // How many bytes of the last feed were used (the rest follows the reply).
    std::size_t used() const { return used_; }

private:
    bool line(std::string_view text);

    bool continue_accepts_ = false;
    State state_ = State::need_more;
    std::string line_;
    bool in_headers_ = false;  // after a status line, until the blank line
    int code_ = 0;
    std::size_t used_ = 0;
};

// The answer to a metadata request: collects at most body_limit bytes and finds
// the server's word that the update was taken.
class MetadataReply {
public:
    static constexpr std::size_t body_limit = 16384;
    static constexpr std::string_view success_text = "Metadata update successful";

    // Takes more bytes; true once the reply is known to be a success.
    bool feed(std::span<const char> bytes);
    bool success() const { return success_; }
    // True when no further bytes can change the verdict (success seen or the
    // limit reached).
    bool finished() const { return success_ || full_; }

private:
    std::string seen_;
    bool success_ = false;
    bool full_ = false;
};

}  // namespace torvalen::stream
