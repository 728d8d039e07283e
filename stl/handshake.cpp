#include "stl/handshake.h"

#include <algorithm>
#include <cstring>

namespace torvalen::stl {
namespace {

constexpr size_t session_key_size = 33;  // 32 random bytes and a zero byte
constexpr std::string_view ok_reply("OK", 3);
constexpr std::string_view fail_reply("FAIL", 5);


void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

const char* tx_status_text(TxStatus s) {
    static constexpr const char* texts[] = {
        "",
        "Connecting",
        "Connected with encyption",
        "Re-connecting",
        "DNS error.Is IPAddress/URL correct",
        "Networking error",
        "Failed to connect to remote host",
        "Remote host busy",
        "Remote host sent unexpected reply",
        "Public/Private key not available yet",
        "Memory allocation error",
        "CRC error.Indication of corrupt packet",
        "Encryption or Decryption error",
        "Password incorrect",
        "Audio encoder setup error",
        "Disconnected",
        "Connection closedf by remote host",
        "Receive from remote host timed out",
        "Unknown encoder configurationt",
        "Connection failure",
        "Connect timeout",
        "Remote host needs encryption.The encryption library is not present on this computer.",
        "Connected without encyption",
    };
    auto i = static_cast<size_t>(s);
    return i < std::size(texts) ? texts[i] : "";
}

const char* rx_status_text(RxStatus s) {
    static constexpr const char* texts[] = {
        "Disconnected",
        "Connected with encryption",
        "Connecting",
        "Networking erro",
        "System error",
        "Memory allocation error",
        "CRC check error",
        "Encryption error",
        "Password error",
        "Remote  client closed stream",
        "Ready for incoming encrypted connections",
        "Receive time out",
        "Unexpected packet received",
        "Ready incoming unencrypted connections",
        "Connected without encryption",
    };
    auto i = static_cast<size_t>(s);
    return i < std::size(texts) ? texts[i] : "";
}

std::array<uint8_t, 12> format_payload(const StreamFormat& f) {
    std::array<uint8_t, 12> p{};
    put32(&p[0], f.encoder);
    put32(&p[4], f.channels);
    put32(&p[8], f.sample_rate);
    return p;
}

std::optional<StreamFormat> parse_format(std::span<const uint8_t> payload) {
    if (payload.size() != 12) return std::nullopt;
    return StreamFormat{get32(&payload[0]), get32(&payload[4]), get32(&payload[8])};
}

std::string now_playing_payload(std::string_view artist, std::string_view title) {
    std::string s(artist);
    s += '\n';
    if (!title.empty()) {
        s += title;
        s += '\n';
    }
    s += '\0';
    return s;
}

NowPlayingText parse_now_playing(std::span<const uint8_t> payload) {
    std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
    text = text.substr(0, text.find('\0'));
    NowPlayingText out;
    size_t first = text.find('\n');
    size_t second = first == std::string_view::npos ? first : text.find('\n', first + 1);
    if (second != std::string_view::npos) {
        out.artist = text.substr(0, first);
        out.title = text.substr(first + 1, second - first - 1);
        out.has_title = true;
    } else {
        out.artist = text.substr(0, first);
    }
    return out;
}

bool password_matches(std::span<const uint8_t> payload, std::string_view expected) {
    // The received text ends at its first 0 (or with the payload). Every byte of it is
    // looked at whatever the outcome, so the time taken says nothing about where the
    // first difference lies.
    size_t length = payload.size();
    for (size_t i = 0; i < payload.size(); ++i) {
        if (payload[i] == 0) {
            length = i;
            break;
        }
    }
    unsigned diff = length != expected.size() ? 1u : 0u;
    for (size_t i = 0; i < length; ++i) {
        uint8_t want = i < expected.size() ? static_cast<uint8_t>(expected[i]) : 0;
        diff |= static_cast<unsigned>(payload[i] ^ want);
    }
    return diff == 0;
}

bool refuse_busy(ByteStream& stream) {
    std::vector<uint8_t> packet;
    build_packet(packet, packet_type::refusal, {}, nullptr);
    return stream.write_all(packet);
}

// ---- Client -------------------------------------------------------------------

ClientHandshake::ClientHandshake(Connection& connection, CryptoBinding& crypto, const RsaKeyPair* key,
                                 ClientLogin login)
    : c_(connection), crypto_(crypto), key_(key), login_(std::move(login)) {}

ClientHandshake::State ClientHandshake::fail(TxStatus s, bool refuse) {
    // A protocol failure tells the server the client gives up; a network failure
    // leaves nothing to tell.
    if (refuse) c_.send_short(packet_type::refusal);
    status_ = s;
    return state_ = State::failed;
}

ClientHandshake::State ClientHandshake::receive_failed(ReceiveStatus r) {
    return fail(r == ReceiveStatus::timeout ? TxStatus::receive_timeout : TxStatus::networking_error, false);
}

ClientHandshake::State ClientHandshake::run() {
    while (state_ != State::done && state_ != State::failed) step();
    return state_;
}

ClientHandshake::State ClientHandshake::step() {
    if (state_ == State::done || state_ == State::failed) return state_;
    ReceiveStatus r = c_.receive_frame(login_.receive_timeout_ms);
    if (r != ReceiveStatus::short_packet && r != ReceiveStatus::long_packet) return receive_failed(r);
    switch (state_) {
    case State::greeting:
        if (r == ReceiveStatus::long_packet) {
            c_.consume_frame();
            return fail(TxStatus::unexpected_reply, true);
        } else {
            uint16_t type = c_.frame_short_type();
            c_.consume_frame();
            return on_greeting(type);
        }
    case State::session_key:
        if (r == ReceiveStatus::short_packet) {
            c_.consume_frame();
            return fail(TxStatus::unexpected_reply, true);
        }
        return on_session_key();
    case State::password_reply:
        if (r == ReceiveStatus::short_packet) {
            c_.consume_frame();
            return fail(TxStatus::unexpected_reply, true);
        }
        return on_password_reply();
    default: return state_;
    }
}

ClientHandshake::State ClientHandshake::on_greeting(uint16_t type) {
    if (type == packet_type::greeting_plain) return send_password();
    if (type == packet_type::refusal) return fail(TxStatus::remote_busy, false);
    if (type != packet_type::greeting_encrypted) return fail(TxStatus::unexpected_reply, true);
    if (!crypto_.bind()) return fail(TxStatus::encryption_library_missing, true);
    if (!key_ || !*key_) return fail(TxStatus::no_key_pair, true);
    std::optional<std::string> pem = crypto_.public_key_pem(*key_);
    if (!pem) return fail(TxStatus::memory_error, true);
    if (!c_.send_text(packet_type::key, *pem, true)) return fail(TxStatus::networking_error, false);
    return state_ = State::session_key;
}

ClientHandshake::State ClientHandshake::on_session_key() {
    LongPacket p;
    switch (c_.check(false, p)) {
    case ParseStatus::ok: break;
    case ParseStatus::crc_error: return fail(TxStatus::crc_error, true);
    default: return fail(TxStatus::unexpected_reply, true);
    }
    if (p.type != packet_type::key) return fail(TxStatus::unexpected_reply, true);
    std::optional<std::vector<uint8_t>> key = crypto_.oaep_decrypt(*key_, p.payload);
    if (!key || key->size() != session_key_size) return fail(TxStatus::crypt_error, true);
    std::optional<AesSession> aes = AesSession::create(crypto_, std::span(*key).first(AesSession::key_size));
    std::fill(key->begin(), key->end(), 0);
    if (!aes) return fail(TxStatus::crypt_error, true);
    c_.set_session(*aes);
    return send_password();
}

ClientHandshake::State ClientHandshake::send_password() {
    std::string text = login_.password;
    text += '\0';
    bool sent = c_.send_text(packet_type::password, text);
    std::fill(text.begin(), text.end(), '\0');
    if (!sent) return fail(TxStatus::networking_error, false);
    return state_ = State::password_reply;
}

ClientHandshake::State ClientHandshake::on_password_reply() {
    LongPacket p;
    switch (c_.check(true, p)) {
    case ParseStatus::ok: break;
    case ParseStatus::decrypt_error: return fail(TxStatus::crypt_error, true);
    case ParseStatus::crc_error: return fail(TxStatus::crc_error, true);
    case ParseStatus::malformed: return fail(TxStatus::unexpected_reply, true);
    }
    if (p.type != packet_type::password) return fail(TxStatus::unexpected_reply, true);
    if (p.payload.size() < ok_reply.size() || std::memcmp(p.payload.data(), ok_reply.data(), ok_reply.size()) != 0)
        return fail(TxStatus::password_incorrect, true);
    if (login_.format.encoder != encoder_pcm && login_.format.encoder != encoder_aac)
        return fail(TxStatus::unknown_encoder, true);
    auto format = format_payload(login_.format);
    if (!c_.send(packet_type::format, format)) return fail(TxStatus::networking_error, false);
    if (login_.now_playing && !login_.now_playing->empty() &&
        !c_.send_text(packet_type::now_playing, *login_.now_playing))
        return fail(TxStatus::networking_error, false);
    status_ = c_.encrypted() ? TxStatus::connected_encrypted : TxStatus::connected_unencrypted;
    return state_ = State::done;
}

// ---- Server -------------------------------------------------------------------

ServerHandshake::ServerHandshake(Connection& connection, CryptoBinding& crypto, ServerLogin login)
    : c_(connection), crypto_(crypto), login_(std::move(login)) {}

ServerHandshake::State ServerHandshake::fail(RxStatus s) {
    status_ = s;
    return state_ = State::failed;
}

ServerHandshake::State ServerHandshake::run() {
    while (state_ != State::done && state_ != State::failed) step();
    return state_;
}

bool ServerHandshake::receive_long(uint16_t type, bool decrypt, LongPacket& out) {
    ReceiveStatus r = c_.receive_frame(login_.receive_timeout_ms);
    if (r == ReceiveStatus::timeout) return fail(RxStatus::receive_timeout), false;
    if (r == ReceiveStatus::short_packet) {
        uint16_t t = c_.frame_short_type();
        c_.consume_frame();
        return fail(t == packet_type::refusal ? RxStatus::client_closed : RxStatus::unexpected_packet), false;
    }
    if (r != ReceiveStatus::long_packet) return fail(RxStatus::networking_error), false;
    switch (c_.check(decrypt, out)) {
    case ParseStatus::ok: break;
    case ParseStatus::decrypt_error: return fail(RxStatus::encryption_error), false;
    case ParseStatus::crc_error: return fail(RxStatus::crc_error), false;
    case ParseStatus::malformed: return fail(RxStatus::unexpected_packet), false;
    }
    if (out.type == type) return true;
    return fail(out.type == packet_type::close ? RxStatus::client_closed : RxStatus::unexpected_packet), false;
}

ServerHandshake::State ServerHandshake::step() {
    LongPacket p;
    switch (state_) {
    case State::start: {
        bool secure = crypto_.bind();
        if (!c_.send_short(secure ? packet_type::greeting_encrypted : packet_type::greeting_plain))
            return fail(RxStatus::networking_error);
        return state_ = secure ? State::public_key : State::password;
    }
    case State::public_key: {
        if (!receive_long(packet_type::key, false, p)) return state_;
        std::array<uint8_t, session_key_size> key{};
        if (!crypto_.random_bytes(std::span(key).first(AesSession::key_size))) return fail(RxStatus::encryption_error);
        std::optional<std::vector<uint8_t>> sealed = crypto_.oaep_encrypt(p.payload, key);
        std::optional<AesSession> aes = AesSession::create(crypto_, std::span(key).first(AesSession::key_size));
        key.fill(0);
        if (!sealed || !aes) return fail(RxStatus::encryption_error);
        if (!c_.send(packet_type::key, *sealed, true)) return fail(RxStatus::networking_error);
        c_.set_session(*aes);
        return state_ = State::password;
    }
    case State::password: {
        if (!receive_long(packet_type::password, true, p)) return state_;
        bool good = password_matches(p.payload, login_.password);
        if (!c_.send_text(packet_type::password, good ? ok_reply : fail_reply)) return fail(RxStatus::networking_error);
        if (!good) return fail(RxStatus::password_error);
        return state_ = State::format;
    }
    case State::format: {
        if (!receive_long(packet_type::format, true, p)) return state_;
        std::optional<StreamFormat> f = parse_format(p.payload);
        if (!f) return fail(RxStatus::unexpected_packet);
        format_ = *f;
        status_ = c_.encrypted() ? RxStatus::connected_encrypted : RxStatus::connected_unencrypted;
        return state_ = State::done;
    }
    default: return state_;
    }
}

}  // namespace torvalen::stl
