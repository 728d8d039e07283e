// libFuzzer target: both ends of the link's connection set-up fed with arbitrary
// bytes from the peer. The first byte picks the end and whether the crypto library
// is present.
#include <cstddef>
#include <cstdint>
#include <span>

#include "stl/byte_stream.h"
#include "stl/connection.h"
#include "stl/crypto.h"
#include "stl/handshake.h"

using namespace torvalen::stl;

namespace {

CryptoBinding& absent() {
    static CryptoBinding binding("/nonexistent/libcrypto.so.3");
    return binding;
}

const RsaKeyPair& key_pair() {
    static RsaKeyPair key = [] {
        process_crypto().bind();
        return process_crypto().generate_key_pair();
    }();
    return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    MemoryStream stream(std::span<const uint8_t>(data + 1, size - 1));
    Connection c(stream);
    CryptoBinding& crypto = (mode & 2) ? process_crypto() : absent();
    if (mode & 1) {
        ServerHandshake h(c, crypto, {"Vexor##5150Kappa", 0});
        if (h.run() == ServerHandshake::State::done && h.status() != RxStatus::connected_encrypted &&
            h.status() != RxStatus::connected_unencrypted)
            __builtin_trap();
    } else {
        ClientLogin login{"Vexor##5150Kappa", {encoder_pcm, 2, 48000}, now_playing_payload("A", "T"), 0};
        ClientHandshake h(c, crypto, (mode & 4) ? &key_pair() : nullptr, login);
        // Without the library the client can never end up encrypted.
        if (h.run() == ClientHandshake::State::done && !(mode & 2) && c.encrypted()) __builtin_trap();
    }
    for (;;) {
        Incoming in = c.next_packet(0);
        if (in.status != ReceiveStatus::short_packet && in.status != ReceiveStatus::long_packet) break;
    }
    return 0;
}
