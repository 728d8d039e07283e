// Both ends of the connection set-up over a real socket pair, then the data phase
// and the closing rules.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "stl/connect.h"
#include "stl/handshake.h"

using namespace torvalen::stl;

namespace {

struct Ends {
    TxStatus client = TxStatus::none;
    RxStatus server = RxStatus::disconnected;
    StreamFormat format;
};

const RsaKeyPair& shared_key() {
    static RsaKeyPair key = [] {
        process_crypto().bind();
        return process_crypto().generate_key_pair();
    }();
    return key;
}

// Runs the server handshake on a thread and the client here; `after` continues
// both data phases while the connections are alive.
template <typename After>
Ends run(CryptoBinding& server_crypto, CryptoBinding& client_crypto, const RsaKeyPair* key,
         const std::string& server_password, ClientLogin login, After after) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    set_socket_timeouts(fds[0], 2000, 2000);
    SocketStream server_stream(fds[0]), client_stream(fds[1]);
    Connection server(server_stream), client(client_stream);
    Ends ends;
    std::thread t([&] {
        ServerHandshake h(server, server_crypto, {server_password, 2000});
        h.run();
        ends.server = h.status();
        ends.format = h.format();
        if (h.state() != ServerHandshake::State::done) ::shutdown(fds[0], SHUT_RDWR);
    });
    login.receive_timeout_ms = login.receive_timeout_ms ? login.receive_timeout_ms : 2000;
    ClientHandshake h(client, client_crypto, key, login);
    h.run();
    ends.client = h.status();
    t.join();
    if (h.state() == ClientHandshake::State::done) after(server, client);
    close(fds[0]);
    close(fds[1]);
    return ends;
}

void no_data(Connection&, Connection&) {}

}  // namespace

TEST(StlHandshake, LogsInWithAndWithoutEncryptionAndCarriesData) {
    CryptoBinding absent("/nonexistent/libcrypto.so.3");
    for (bool secure : {false, true}) {
        SCOPED_TRACE(secure ? "encrypted" : "unencrypted");
        ClientLogin login{"Vexor##5150Kappa", {encoder_aac, 2, 48000}, now_playing_payload("Artist", "Title"), 0};
        Ends e = run(secure ? process_crypto() : absent, process_crypto(), &shared_key(), "Vexor##5150Kappa", login,
                     [&](Connection& server, Connection& client) {
                         EXPECT_EQ(server.encrypted(), secure);
                         EXPECT_EQ(client.encrypted(), secure);
                         Incoming np = server.next_packet(2000);
                         ASSERT_EQ(np.status, ReceiveStatus::long_packet);
                         EXPECT_EQ(np.type, packet_type::now_playing);
                         EXPECT_EQ(parse_now_playing(np.payload).title, "Title");
                         // A short packet between audio packets, then audio, then Close.
                         std::vector<uint8_t> audio(1920, 0xFF);
                         ASSERT_TRUE(client.send_short(packet_type::refusal));
                         ASSERT_TRUE(client.send(packet_type::aac, audio));
                         Incoming in = server.next_packet(2000);
                         EXPECT_EQ(in.status, ReceiveStatus::short_packet);
                         in = server.next_packet(2000);
                         ASSERT_EQ(in.status, ReceiveStatus::long_packet);
                         EXPECT_EQ(in.type, packet_type::aac);
                         EXPECT_EQ(std::vector<uint8_t>(in.payload.begin(), in.payload.end()), audio);
                         ASSERT_TRUE(server.send_close());
                         in = client.next_packet(2000);
                         EXPECT_EQ(in.type, packet_type::close);
                         EXPECT_EQ(std::string(reinterpret_cast<const char*>(in.payload.data())), "Close");
                     });
        EXPECT_EQ(e.client, secure ? TxStatus::connected_encrypted : TxStatus::connected_unencrypted);
        EXPECT_EQ(e.server, secure ? RxStatus::connected_encrypted : RxStatus::connected_unencrypted);
        EXPECT_EQ(e.format, (StreamFormat{encoder_aac, 2, 48000}));
    }
}

TEST(StlHandshake, FailuresShowTheirStatus) {
    CryptoBinding absent("/nonexistent/libcrypto.so.3");
    ClientLogin login{"Vexor##5150Kappa", {encoder_pcm, 1, 192000}, std::nullopt, 0};

    // Wrong password, encrypted and not; a password that is a prefix of the right one.
    for (CryptoBinding* server : {&process_crypto(), &absent}) {
        Ends e = run(*server, process_crypto(), &shared_key(), "Vexor##5150Kappa!", login, no_data);
        EXPECT_STREQ(tx_status_text(e.client), "Password incorrect");
        EXPECT_STREQ(rx_status_text(e.server), "Password error");
    }
    // Encryption demanded, library missing here; no key pair yet.
    Ends e = run(process_crypto(), absent, &shared_key(), login.password, login, no_data);
    EXPECT_STREQ(tx_status_text(e.client),
                 "Remote host needs encryption.The encryption library is not present on this computer.");
    EXPECT_EQ(e.server, RxStatus::client_closed);
    e = run(process_crypto(), process_crypto(), nullptr, login.password, login, no_data);
    EXPECT_STREQ(tx_status_text(e.client), "Public/Private key not available yet");
    // An encoder the link does not know: refused after the log-in.
    ClientLogin odd = login;
    odd.format.encoder = 7;
    e = run(absent, process_crypto(), nullptr, login.password, odd, no_data);
    EXPECT_STREQ(tx_status_text(e.client), "Unknown encoder configurationt");
    EXPECT_EQ(e.server, RxStatus::client_closed);

    // Busy server, a silent one, and one that talks nonsense.
    int fds[2];
    for (int mode = 0; mode < 3; ++mode) {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        SocketStream server(fds[0]), client_stream(fds[1]);
        std::vector<uint8_t> greeting;
        if (mode == 0) refuse_busy(server);
        if (mode == 2) build_packet(greeting, packet_type::password, std::vector<uint8_t>{'O', 'K', 0}, nullptr);
        server.write_all(greeting);
        Connection client(client_stream);
        ClientLogin quick = login;
        quick.receive_timeout_ms = 200;
        ClientHandshake h(client, process_crypto(), &shared_key(), quick);
        EXPECT_EQ(h.run(), ClientHandshake::State::failed);
        const char* want[] = {"Remote host busy", "Receive from remote host timed out",
                              "Remote host sent unexpected reply"};
        EXPECT_STREQ(tx_status_text(h.status()), want[mode]);
        close(fds[0]);
        close(fds[1]);
    }
}

TEST(StlHandshake, ConnectStepOverLoopback) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    std::string port = std::to_string(ntohs(a.sin_port));

    ConnectResult r = connect_to("127.0.0.1", port, true, 1000, 10);
    ASSERT_GE(r.fd, 0);  // no IPv6 address: IPv4 is taken
    close(r.fd);
    close(listener);  // nothing listens there now
    EXPECT_EQ(connect_to("127.0.0.1", port, false, 1000, 10).status, TxStatus::connection_failure);
    EXPECT_STREQ(tx_status_text(connect_to("127.0.0.1", "no-such-service", false, 1000, 10).status),
                 "DNS error.Is IPAddress/URL correct");
}
