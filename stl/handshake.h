// Connection set-up of the link, both ends, as state machines over a Connection:
// the greeting, the optional key exchange (client's RSA public key, server's
// RSA-OAEP-encrypted 32-byte AES-256 session key), the password log-in and the
// stream format. step() waits for the one packet its state expects (at most the
// receive time-out) and acts on it; run() steps until the handshake is done or has
// failed. The statuses are the modules' status indices; their texts are shown as
// they are.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "stl/connection.h"
#include "stl/crypto.h"

namespace torvalen::stl {

// Status of the transmitting end (the client).
enum class TxStatus {
    none = 0,
    connecting = 1,
    connected_encrypted = 2,
    reconnecting = 3,
    dns_error = 4,
    networking_error = 5,
    connect_failed = 6,
    remote_busy = 7,
    unexpected_reply = 8,
    no_key_pair = 9,
    memory_error = 10,
    crc_error = 11,
    crypt_error = 12,
    password_incorrect = 13,
    encoder_setup_error = 14,
    disconnected = 15,
    closed_by_remote = 16,
    receive_timeout = 17,
    unknown_encoder = 18,
    connection_failure = 19,
    connect_timeout = 20,
    encryption_library_missing = 21,
    connected_unencrypted = 22,
};
const char* tx_status_text(TxStatus s);

// Status of the receiving end (the server).
enum class RxStatus {
    disconnected = 0,
    connected_encrypted = 1,
    connecting = 2,
    networking_error = 3,
    system_error = 4,
    memory_error = 5,
    crc_error = 6,
    encryption_error = 7,
    password_error = 8,
    client_closed = 9,
    ready_encrypted = 10,
    receive_timeout = 11,
    unexpected_packet = 12,
    ready_unencrypted = 13,
    connected_unencrypted = 14,
};
const char* rx_status_text(RxStatus s);

// Stream format packet: encoder (0 PCM, 1 AAC), channels, sample rate in Hz.
struct StreamFormat {
    uint32_t encoder = 0;
    uint32_t channels = 2;
    uint32_t sample_rate = 48000;
    bool operator==(const StreamFormat&) const = default;
};
inline constexpr uint32_t encoder_pcm = 0;
inline constexpr uint32_t encoder_aac = 1;
std::array<uint8_t, 12> format_payload(const StreamFormat& f);
// Exactly 12 bytes, else empty.
std::optional<StreamFormat> parse_format(std::span<const uint8_t> payload);

// Now-playing payload: "artist\ntitle\n" (or "text\n" without a title) and a 0.
std::string now_playing_payload(std::string_view artist, std::string_view title);
struct NowPlayingText {
    std::string artist;  // or the single text
    std::string title;
    bool has_title = false;
};
// Splits at the first and second newline; without both, the text (up to its first
// newline or 0) stands alone.
NowPlayingText parse_now_playing(std::span<const uint8_t> payload);

// Constant-time comparison of a received 0-terminated password with the expected one.
bool password_matches(std::span<const uint8_t> payload, std::string_view expected);

// Refuses a connection while a session runs: the 8 bytes FF FF 08 00 05 00 00 00.
bool refuse_busy(ByteStream& stream);

struct ClientLogin {
    std::string password;
    StreamFormat format;
    std::optional<std::string> now_playing;  // a now_playing_payload(), sent when set
    int receive_timeout_ms = 1000;
};

class ClientHandshake {
public:
    enum class State { greeting, session_key, password_reply, done, failed };

    // key: the newest complete key pair, or null when none exists yet.
    ClientHandshake(Connection& connection, CryptoBinding& crypto, const RsaKeyPair* key, ClientLogin login);
    State step();
    State run();
    State state() const { return state_; }
    // The failure's status, or connected_encrypted / connected_unencrypted when done.
    TxStatus status() const { return status_; }

private:
    State fail(TxStatus s, bool refuse);
    State receive_failed(ReceiveStatus r);
    State send_password();
    State on_greeting(uint16_t type);
    State on_session_key();
    State on_password_reply();

    Connection& c_;
    CryptoBinding& crypto_;
    const RsaKeyPair* key_;
    ClientLogin login_;
    State state_ = State::greeting;
    TxStatus status_ = TxStatus::connecting;
};

struct ServerLogin {
    std::string password;
    int receive_timeout_ms = 1000;
};

class ServerHandshake {
public:
    enum class State { start, public_key, password, format, done, failed };

    ServerHandshake(Connection& connection, CryptoBinding& crypto, ServerLogin login);
    State step();
    State run();
    State state() const { return state_; }
    // The failure's status, or connected_encrypted / connected_unencrypted when done.
    RxStatus status() const { return status_; }
    const StreamFormat& format() const { return format_; }

private:
    State fail(RxStatus s);
    // Receives and checks the next long packet of the expected type.
    bool receive_long(uint16_t type, bool decrypt, LongPacket& out);

    Connection& c_;
    CryptoBinding& crypto_;
    ServerLogin login_;
    State state_ = State::start;
    RxStatus status_ = RxStatus::connecting;
    StreamFormat format_;
};

}  // namespace torvalen::stl
