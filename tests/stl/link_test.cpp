// The two link modules connected over 127.0.0.1: an STL TX fed blocks as the
// engine would feed them, an STL RX whose bus-2 output is measured. Both run their
// real threads, sockets, handshakes and (where asked) the real crypto library.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <numbers>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "engine/settings_store.h"
#include "nowplaying/now_playing.h"
#include "stl/connect.h"
#include "stl/stl_rx.h"
#include "stl/stl_tx.h"
#include "tests/support/ports.h"
#include "tests/support/temp_dir.h"

using namespace torvalen;
using namespace torvalen::stl;
using namespace std::chrono_literals;

namespace {

using torvalen::testing::free_port;

constexpr float full = 2147483648.0f;
constexpr uint32_t frames_48 = 256;

template <typename F>
bool wait_for(F done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Amplitude of the `hz` component of one channel of interleaved stereo.
double tone_amplitude(const std::vector<float>& x, int channel, double hz, double rate) {
    double re = 0, im = 0;
    const size_t n = x.size() / 2;
    for (size_t i = 0; i < n; ++i) {
        const double w = 2 * std::numbers::pi * hz * double(i) / rate;
        re += x[2 * i + channel] * std::cos(w);
        im += x[2 * i + channel] * std::sin(w);
    }
    return 2 * std::hypot(re, im) / double(n);
}

double rms(const std::vector<float>& x, int channel) {
    double s = 0;
    for (size_t i = channel; i < x.size(); i += 2) s += double(x[i]) * x[i];
    return std::sqrt(s / double(x.size() / 2));
}

struct Rig {
    torvalen::testing::TempDir dir{"torvalen-stl"};
    std::unique_ptr<SettingsStore> store;
    CryptoBinding absent{"libcrypto-not-installed.so.3"};
    std::unique_ptr<nowplaying::NowPlaying> np_tx, np_rx;
    std::unique_ptr<StlRx> rx;
    std::unique_ptr<StlTx> tx;
    uint16_t port = free_port();
    std::vector<float> bus4 = std::vector<float>(2 * 1024 + 2), bus2 = std::vector<float>(8 * frames_48);
    Buses buses;
    uint64_t frame = 0;

    explicit Rig(bool encrypted, const std::string& rx_password = default_link_password, uint32_t buffer_ms = 100) {
        std::string error;
        store = SettingsStore::open(dir / "settings.db", error);
        SettingsKey root = store->root();
        uint32_t e = 0;
        np_tx = nowplaying::NowPlaying::create(*root.create("tx"), e);
        np_rx = nowplaying::NowPlaying::create(*root.create("rx"), e);
        nowplaying::NowPlayingSettings nt = np_tx->settings(), nr = np_rx->settings();
        nt.mode = nowplaying::mode_player;
        nt.send_to_stl = 1;
        nr.mode = nowplaying::mode_stl;
        np_tx->apply(nt);
        np_rx->apply(nr);
        np_tx->start();
        np_rx->start();
        np_tx->player_title("The Artist", "The Title");

        StlRxOptions ro;
        ro.crypto = encrypted ? &process_crypto() : &absent;
        ro.now_playing = np_rx.get();
        ro.loopback_only = true;
        rx = StlRx::create(*root.create("rx"), e, ro);
        RxSettings rs = rx->settings();
        rs.port = std::to_string(port);
        rs.enable = true;
        rs.buffer_time_ms = buffer_ms;
        rs.password = rx_password;
        rx->apply_settings(rs);
        rx->start();

        StlTxOptions to;
        to.now_playing = np_tx.get();
        tx = StlTx::create(*root.create("tx"), e, to);
        TxSettings ts = tx->settings();
        ts.port = std::to_string(port);
        ts.enable = true;
        ts.enable_now = true;
        ts.encoder_type = encoder_pcm;
        tx->apply_settings(ts);
        EXPECT_EQ(e, 0u);

        buses.data[bus_proc] = bus4.data();
        buses.rate[bus_proc] = chain_rate_Hz;
        buses.count[bus_proc] = static_cast<uint32_t>(bus4.size());
    }

    // One engine block through both ends in lockstep: a 1 kHz tone at -12 dBFS on
    // the left and -18 dBFS on the right goes in; the receiver's bus 2 comes out.
    // `pull` is the block the receiving engine takes, in 48 kHz frames (0: as sent).
    bool block(std::vector<float>& out, uint32_t frames = frames_48, uint32_t pull = 0,
               std::chrono::milliseconds wait = 2000ms) {
        buses.count[bus_proc] = 2 * frames;
        for (uint32_t i = 0; i < frames; ++i, ++frame) {
            const float s = 0.25f * full * static_cast<float>(std::sin(2 * std::numbers::pi * 1000.0 * double(frame) / 48000.0));
            bus4[2 * i] = s;
            bus4[2 * i + 1] = 0.5f * s;
        }
        const uint64_t before = rx->audio_packets();
        tx->process(buses, false);
        const auto end = std::chrono::steady_clock::now() + wait;
        while (rx->audio_packets() == before && std::chrono::steady_clock::now() < end) std::this_thread::yield();
        std::vector<float> pulled(8 * (pull ? pull : frames));
        rx->fill(pulled, false);
        out.insert(out.end(), pulled.begin(), pulled.end());
        return rx->audio_packets() > before;
    }
};

}  // namespace

TEST(StlJitterRing, EveryResetStartsWithHalfItsLengthOfSilence) {
    // Samples written at one length must not come back after a reset to another.
    JitterRing ring;
    std::vector<float> ones(3000, 1.0f), out;
    auto expect_silence = [&](uint32_t length) {
        ring.reset(length);
        ASSERT_EQ(ring.fill(), length / 2);
        out.assign(length / 2, -1.0f);
        ASSERT_TRUE(ring.read(out));
        for (float v : out) ASSERT_EQ(v, 0.0f) << "after a reset to " << length;
    };
    expect_silence(8000);
    for (int i = 0; i < 4; ++i) {  // round the whole ring
        ASSERT_TRUE(ring.write(ones));
        out.resize(3000);
        ASSERT_TRUE(ring.read(out));
    }
    ASSERT_TRUE(ring.write(ones));
    expect_silence(4000);
    ASSERT_TRUE(ring.write(std::span(ones).first(1500)));
    expect_silence(8000);
}

TEST(StlLink, PcmToneArrivesWithAndWithoutEncryption) {
    for (bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted" : "plain");
        Rig rig(encrypted);
        rig.tx->connect();
        // An encrypted link waits for the first key pair (the attempt before it
        // fails with "Public/Private key not available yet" and is retried).
        ASSERT_TRUE(wait_for([&] { return rig.tx->connected() && rig.rx->session_active(); }, 30s))
            << tx_status_text(rig.tx->status());
        EXPECT_EQ(rig.tx->status(), encrypted ? TxStatus::connected_encrypted : TxStatus::connected_unencrypted);
        EXPECT_TRUE(wait_for([&] {
            return rig.rx->status() == (encrypted ? RxStatus::connected_encrypted : RxStatus::connected_unencrypted);
        }, 2s));

        std::vector<float> out;
        int arrived = 0;
        for (int b = 0; b < 200; ++b) arrived += rig.block(out);
        EXPECT_EQ(arrived, 200);
        // The ring starts half full of silence (50 ms at 100 ms): the first 9600
        // frames at 192 kHz are silent, the last 100 blocks carry the tone.
        std::vector<float> head(out.begin(), out.begin() + 2 * 9000);
        EXPECT_EQ(rms(head, 0), 0.0);
        std::vector<float> tail(out.end() - 2 * 4 * frames_48 * 100, out.end());
        const double left = tone_amplitude(tail, 0, 1000.0, 192000.0);
        const double right = tone_amplitude(tail, 1, 1000.0, 192000.0);
        EXPECT_NEAR(20 * std::log10(left / full), -12.04, 0.1);
        EXPECT_NEAR(20 * std::log10(right / full), -18.06, 0.1);
        // Nothing but the tone: no other frequency, no 4x imaging, no clicks.
        EXPECT_NEAR(rms(tail, 0), left / std::sqrt(2.0), left * 0.01);
        EXPECT_NEAR(rig.rx->ratio(), 1.0f, 0.001f);

        // Now-playing text went over the link after the log-in.
        EXPECT_EQ(rig.np_rx->current().text, "The Artist - The Title");
        EXPECT_EQ(rig.rx->now_playing_display(), "Now playing = The Artist - The Title");
        const auto lines = rig.rx->status_lines();
        EXPECT_EQ(lines[4], "PCM 48 kHz Stereo");

        // Disconnect sends "Close": the receiver goes back to ready.
        rig.tx->disconnect();
        EXPECT_EQ(rig.tx->status(), TxStatus::disconnected);
        EXPECT_TRUE(wait_for([&] { return !rig.rx->session_active(); }, 2s));
        EXPECT_EQ(rig.rx->status(), encrypted ? RxStatus::ready_encrypted : RxStatus::ready_unencrypted);
    }
}

TEST(StlLink, WrongPasswordRestartedReceiverAndVanishedSender) {
    {
        Rig rig(false, "Another#Password1");
        rig.tx->connect();
        EXPECT_TRUE(wait_for([&] { return rig.tx->status() == TxStatus::password_incorrect; }, 5s))
            << tx_status_text(rig.tx->status());
        EXPECT_FALSE(rig.tx->connected());
        EXPECT_TRUE(wait_for([&] { return rig.rx->status() == RxStatus::ready_unencrypted; }, 2s));
    }
    Rig rig(false);
    rig.tx->connect();
    ASSERT_TRUE(wait_for([&] { return rig.tx->connected() && rig.rx->session_active(); }, 5s));
    // The receiver stops (its "Close" reaches the sender) and comes back: the sender
    // keeps trying every time-out and logs in again.
    rig.rx->stop();
    EXPECT_EQ(rig.rx->status(), RxStatus::disconnected);
    EXPECT_TRUE(wait_for([&] { return !rig.tx->connected(); }, 3s));
    rig.rx->start();
    EXPECT_TRUE(wait_for([&] { return rig.tx->connected() && rig.tx->logins() == 2; }, 5s))
        << tx_status_text(rig.tx->status());
    std::vector<float> out;
    EXPECT_TRUE(rig.block(out));
    // The sender is destroyed: its "Close" ends the session and the receiver is
    // ready for the next one.
    rig.tx.reset();
    EXPECT_TRUE(wait_for([&] { return !rig.rx->session_active(); }, 3s));
    EXPECT_EQ(rig.rx->status(), RxStatus::ready_unencrypted);
}

TEST(StlLink, GarbageInTheDataPhaseCostsOnlyThatPacketAndABusyServerRefuses) {
    Rig rig(false);
    ConnectResult c = connect_to("127.0.0.1", std::to_string(rig.port), false, 2000, 2000);
    ASSERT_GE(c.fd, 0);
    SocketStream stream(c.fd);
    Connection client(stream);
    ClientLogin login;
    login.password = default_link_password;
    ClientHandshake h(client, process_crypto(), nullptr, login);
    ASSERT_EQ(h.run(), ClientHandshake::State::done) << tx_status_text(h.status());
    ASSERT_TRUE(wait_for([&] { return rig.rx->session_active(); }, 2s));

    // A second client while the session runs gets the refusal and is closed.
    ConnectResult other = connect_to("127.0.0.1", std::to_string(rig.port), false, 2000, 2000);
    ASSERT_GE(other.fd, 0);
    uint8_t refusal[16];
    ssize_t n = ::recv(other.fd, refusal, sizeof refusal, MSG_WAITALL);
    ASSERT_EQ(n, 8);
    const uint8_t expected[8] = {0xFF, 0xFF, 0x08, 0x00, 0x05, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(refusal, expected, 8), 0);
    ::close(other.fd);

    std::vector<int16_t> samples(512, 1000);
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(samples.data()), samples.size() * 2);
    std::vector<uint8_t> packet;
    for (int i = 0; i < 20; ++i) {
        build_packet(packet, packet_type::pcm, bytes, nullptr);
        if (i == 7) packet[40] ^= 0x10;  // a damaged payload: the CRC fails
        if (i == 12) {
            const uint8_t junk[] = {0x00, 0xFF, 0xFF, 0x40, 0x00, 0x12, 0xFF};
            ASSERT_TRUE(stream.write_all(junk));
        }
        ASSERT_TRUE(stream.write_all(packet));
    }
    EXPECT_TRUE(wait_for([&] { return rig.rx->audio_packets() == 19; }, 2s)) << rig.rx->audio_packets();
    EXPECT_EQ(rig.rx->packets_dropped(), 1u);
    EXPECT_TRUE(rig.rx->session_active());
    // The sender vanishes without "Close": the receiver is ready again.
    ::close(c.fd);
    EXPECT_TRUE(wait_for([&] { return !rig.rx->session_active(); }, 3s));
    EXPECT_EQ(rig.rx->status(), RxStatus::ready_unencrypted);
}

TEST(StlLink, FastSenderIsFollowedAndAStallRecovers) {
    // A sender clock 0.01 % fast (one extra frame every 40 blocks of 256), run
    // faster than real time for 10 minutes of audio with the default 500 ms buffer.
    {
        Rig rig(false, default_link_password, 500);
        rig.tx->connect();
        ASSERT_TRUE(wait_for([&] { return rig.tx->connected() && rig.rx->session_active(); }, 5s));
        std::vector<float> out;
        float low = 1.0f, high = 0.0f;
        const int blocks = 600 * 48000 / frames_48;
        int lost = 0;
        for (int b = 0; b < blocks; ++b) {
            lost += !rig.block(out, b % 40 == 0 ? frames_48 + 1 : frames_48, frames_48);
            out.clear();
            if (b > blocks / 5) {
                low = std::min(low, rig.rx->fullness());
                high = std::max(high, rig.rx->fullness());
            }
        }
        std::printf("fullness %.3f..%.3f, ratio %.6f\n", low, high, double(rig.rx->ratio()));
        EXPECT_EQ(lost, 0);
        EXPECT_EQ(rig.rx->underruns(), 0u);
        EXPECT_GT(low, 0.40f);
        EXPECT_LT(high, 0.60f);
        // The sender's excess is 1/10240 (0.0098 %): the ratio settles just below 1.
        EXPECT_LT(rig.rx->ratio(), 0.99995f);
        EXPECT_GT(rig.rx->ratio(), 0.99985f);
    }
    // A 100 ms buffer pulled down to a fifth settles back to the middle within a
    // minute and stays there, without running empty or full on the way.
    Rig rig(false);
    rig.tx->connect();
    ASSERT_TRUE(wait_for([&] { return rig.tx->connected() && rig.rx->session_active(); }, 5s));
    std::vector<float> out;
    for (int b = 0; b < 100; ++b) rig.block(out);
    std::vector<float> extra(8 * frames_48);
    for (int b = 0; b < 6; ++b) rig.rx->fill(extra, false);
    const uint64_t underruns = rig.rx->underruns();
    float low = 1.0f, high = 0.0f;
    for (int b = 0; b < 120 * 48000 / int(frames_48); ++b) {
        out.clear();
        rig.block(out);
        if (b > 60 * 48000 / int(frames_48)) {
            low = std::min(low, rig.rx->fullness());
            high = std::max(high, rig.rx->fullness());
        }
    }
    EXPECT_EQ(rig.rx->underruns(), underruns);
    EXPECT_GT(low, 0.40f);
    EXPECT_LT(high, 0.60f);

    // A 500 ms stall with a 100 ms buffer: silence, then the tone again.
    std::vector<float> stalled(rig.bus2.size());
    for (int b = 0; b < 94; ++b) rig.rx->fill(stalled, false);
    EXPECT_GT(rig.rx->underruns(), 80u);
    EXPECT_EQ(rms(stalled, 0), 0.0);
    out.clear();
    for (int b = 0; b < 200; ++b) rig.block(out);
    std::vector<float> tail(out.end() - 2 * 4 * frames_48 * 50, out.end());
    EXPECT_NEAR(20 * std::log10(tone_amplitude(tail, 0, 1000.0, 192000.0) / full), -12.04, 0.2);
}

TEST(StlLink, MultiplexAt192kHzTravelsAsMonoPcm) {
    // Sound Out's 192 kHz bus, sent as 192 kHz PCM (mono sum): a 19 kHz pilot-like
    // tone on both channels reaches bus 2 at its own rate, without conversion.
    Rig rig(false);
    TxSettings ts = rig.tx->settings();
    ts.pcm = {2, 192000, 0};  // 192 kHz forces mono
    rig.tx->apply_settings(ts);
    EXPECT_EQ(rig.tx->settings().pcm.channels, 1u);
    ASSERT_TRUE(rig.tx->set_value(tx_control_input_select, 5.0f));
    std::vector<float> bus5(8 * frames_48);
    rig.buses.data[bus_sound_out] = bus5.data();
    rig.buses.rate[bus_sound_out] = mpx_rate_Hz;
    rig.buses.count[bus_sound_out] = static_cast<uint32_t>(bus5.size());
    rig.tx->connect();
    ASSERT_TRUE(wait_for([&] { return rig.tx->connected() && rig.rx->session_active(); }, 5s));
    std::vector<float> out;
    uint64_t frame = 0;
    for (int b = 0; b < 150; ++b) {
        for (size_t i = 0; i < bus5.size() / 2; ++i, ++frame) {
            const float s = 0.1f * full * static_cast<float>(std::sin(2 * std::numbers::pi * 19000.0 * double(frame) / 192000.0));
            bus5[2 * i] = s;
            bus5[2 * i + 1] = s;
        }
        const uint64_t before = rig.rx->audio_packets();
        rig.tx->process(rig.buses, false);
        ASSERT_TRUE(wait_for([&] { return rig.rx->audio_packets() > before; }, 2s));
        rig.rx->fill(rig.bus2, false);
        out.insert(out.end(), rig.bus2.begin(), rig.bus2.end());
    }
    EXPECT_EQ(rig.rx->status_lines()[4], "PCM 192 kHz Mono");
    std::vector<float> tail(out.end() - 2 * 4 * frames_48 * 50, out.end());
    for (int ch = 0; ch < 2; ++ch) {
        const double a = tone_amplitude(tail, ch, 19000.0, 192000.0);
        EXPECT_NEAR(20 * std::log10(a / full), -20.0, 0.1);
        EXPECT_NEAR(rms(tail, ch), a / std::sqrt(2.0), a * 0.01);
    }
}

TEST(StlLink, AacStereoArrives) {
    // AAC-LC at 128 kB/s: one 1024-frame block makes one AAC frame (the encoder
    // hands each out one block late).
    Rig rig(false);
    TxSettings ts = rig.tx->settings();
    ts.encoder_type = encoder_aac;
    ts.aac = {128000, 2, 1, 0};
    rig.tx->apply_settings(ts);
    rig.tx->connect();
    ASSERT_TRUE(wait_for([&] { return rig.tx->connected() && rig.rx->session_active(); }, 5s))
        << tx_status_text(rig.tx->status());
    std::vector<float> out;
    int arrived = 0;
    for (int b = 0; b < 100; ++b) arrived += rig.block(out, 1024, 0, b == 0 ? 100ms : 2000ms);
    EXPECT_GE(arrived, 98);
    EXPECT_EQ(rig.rx->status_lines()[4], "AAC 48 kHz Stereo");
    std::vector<float> tail(out.end() - 2 * 4 * 1024 * 40, out.end());
    const double left = tone_amplitude(tail, 0, 1000.0, 192000.0);
    const double right = tone_amplitude(tail, 1, 1000.0, 192000.0);
    EXPECT_NEAR(20 * std::log10(left / full), -12.04, 0.3);
    EXPECT_NEAR(20 * std::log10(right / full), -18.06, 0.3);
    // A lossy codec, but still the tone and little else.
    EXPECT_NEAR(rms(tail, 0), left / std::sqrt(2.0), left * 0.03);
}
