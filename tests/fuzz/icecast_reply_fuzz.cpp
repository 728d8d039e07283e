// libFuzzer target: the Icecast server's replies to a source login and to a
// song-title request. The first byte picks the size of the pieces the bytes arrive
// in; the rest is what the server sent.
#include <cstddef>
#include <cstdint>
#include <span>

#include "stream/icecast_protocol.h"

using namespace torvalen::stream;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t piece = data[0] == 0 ? size : data[0];
    std::span<const char> wire(reinterpret_cast<const char*>(data + 1), size - 1);
    LoginReply login(data[0] & 1);  // after a PUT with Expect: 100-continue, or not
    MetadataReply metadata;
    for (size_t at = 0; at < wire.size(); at += piece) {
        const auto part = wire.subspan(at, std::min(piece, wire.size() - at));
        const LoginReply::State before = login.state();
        const LoginReply::State after = login.feed(part);
        // A decided reply stays decided and takes no more bytes.
        if (before != LoginReply::State::need_more && (after != before || login.used() != 0)) __builtin_trap();
        if (login.used() > part.size()) __builtin_trap();
        metadata.feed(part);
    }
    // Accepted only on a 200 status line, or a 100 when that was asked for.
    if (login.state() == LoginReply::State::accepted && login.status_code() != 200 &&
        !((data[0] & 1) && login.status_code() == 100))
        __builtin_trap();
    return 0;
}
