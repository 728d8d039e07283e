// Streaming against a real Icecast server (Debian's icecast2), started by the test
// on a free loopback port with a configuration of its own; listeners are ffprobe
// and ffmpeg reading the mounts over HTTP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>

#include "engine/settings_store.h"
#include "nowplaying/now_playing.h"
#include "stream/icecast_protocol.h"
#include "stream/stream_tx.h"
#include "tests/support/icecast_server.h"
#include "tests/support/temp_dir.h"

namespace torvalen::stream {
namespace {

using namespace std::chrono_literals;
using testing::free_port;
using testing::IcecastServer;
using testing::port_open;

// Runs a command and returns its standard output.
std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        ::pclose(p);
    }
    return out;
}

// Feeds a Stream TX 10 ms blocks of a 1 kHz tone at -6 dBFS, about in real time,
// on bus 4 (48 kHz) or on bus 2 (192 kHz).
class ToneFeeder {
public:
    explicit ToneFeeder(StreamTx& tx, unsigned bus = bus_proc, uint32_t rate = 48000) {
        thread_ = std::thread([this, &tx, bus, rate] {
            std::vector<float> block(2 * rate / 100);
            Buses buses;
            buses.data[bus] = block.data();
            buses.rate[bus] = rate;
            buses.count[bus] = static_cast<uint32_t>(block.size());
            uint64_t n = 0;
            auto next = std::chrono::steady_clock::now();
            while (!quit_) {
                for (size_t f = 0; f < block.size() / 2; ++f, ++n) {
                    const float v = 0.5f * 2147483648.0f * std::sin(2.0 * M_PI * 1000.0 * double(n) / rate);
                    block[2 * f] = block[2 * f + 1] = v;
                }
                tx.process(buses, false);
                next += 10ms;
                std::this_thread::sleep_until(next);
            }
        });
    }
    ~ToneFeeder() {
        quit_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

struct Decoded {
    std::string codec;
    int rate = 0, channels = 0;
    double frequency = 0, amplitude = 0;
};

// A listener: what ffprobe says of the stream and what ffmpeg decodes of its first
// channel. The container is named as the server's content type names it, as a
// player does: FFmpeg 5.1's own guess waits for up to a megabyte of a live MP3
// stream that Icecast starts in mid-frame.
Decoded listen(const std::string& url, const std::string& format) {
    Decoded d;
    const std::string probe = run("timeout 20 ffprobe -v error -icy 0 -f " + format + " -show_entries stream=codec_name,sample_rate,channels "
                                  "-of default=nw=1 '" + url + "' 2>/dev/null");
    auto value = [&](const std::string& key) {
        const auto at = probe.find(key + "=");
        if (at == std::string::npos) return std::string();
        return probe.substr(at + key.size() + 1, probe.find('\n', at) - at - key.size() - 1);
    };
    d.codec = value("codec_name");
    d.rate = std::atoi(value("sample_rate").c_str());
    d.channels = std::atoi(value("channels").c_str());
    const std::string pcm =
        run("timeout 20 ffmpeg -v error -icy 0 -f " + format + " -i '" + url + "' -t 3 -ar 48000 -f f32le - 2>/dev/null");
    const size_t stride = d.channels == 1 ? 1 : 2;
    std::vector<float> s(pcm.size() / 4 / stride);
    for (size_t i = 0; i < s.size(); ++i) std::memcpy(&s[i], pcm.data() + 4 * stride * i, 4);
    if (s.size() > 48000) {
        // Skip the first half second (codec start-up); count rising zero crossings.
        const size_t from = 24000;
        int crossings = 0;
        float peak = 0;
        for (size_t i = from + 1; i < s.size(); ++i) {
            if (s[i - 1] < 0 && s[i] >= 0) ++crossings;
            peak = std::max(peak, std::fabs(s[i]));
        }
        d.frequency = crossings * 48000.0 / double(s.size() - from);
        d.amplitude = peak;
    }
    return d;
}

class IcecastTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/usr/bin/icecast2", X_OK) != 0) GTEST_SKIP() << "icecast2 is not installed";
        ASSERT_TRUE(temp_.ok());
        std::string error;
        store_ = SettingsStore::open(temp_ / "settings.db", error);
        ASSERT_TRUE(store_) << error;
        port_ = free_port();
        server_ = std::make_unique<IcecastServer>(temp_ / "icecast", port_);
        ASSERT_TRUE(server_->start()) << server_->log();
        uint32_t err = 0;
        // The instance's Now Playing object, taking the player's titles.
        nowplaying::NowPlayingOptions np;
        np.auto_start_allowed = false;
        np.default_file = temp_ / "nowplaying.txt";
        now_playing_ = nowplaying::NowPlaying::create(store_->root(), err, np);
        ASSERT_TRUE(now_playing_);
        nowplaying::NowPlayingSettings nps = now_playing_->settings();
        nps.mode = nowplaying::mode_player;
        nps.send_to_streaming = 1;
        ASSERT_EQ(now_playing_->apply(nps), "");
        ASSERT_TRUE(now_playing_->start());
        StreamTxOptions options;
        options.now_playing = now_playing_.get();
        tx_ = StreamTx::create(store_->root(), err, options);
        ASSERT_TRUE(tx_);
        StationSettings st = tx_->station();
        // Long enough that a login waiting for a reply Icecast never sends would
        // miss the tests' deadlines.
        st.timeout_ms = 15000;
        st.short_timeout_ms = 2;
        st.name = "Test Station";
        ASSERT_TRUE(tx_->set_station(st).ok);
    }

    void add_server(unsigned slot, const std::string& name, const std::string& mount, const std::string& password) {
        ASSERT_TRUE(tx_->add_stream(slot, name).ok);
        ServerSettings s = tx_->servers(slot).front();
        s.port = std::to_string(port_);
        s.path = mount;
        s.password = password;
        s.admin_password = "adminpw";
        ASSERT_TRUE(tx_->set_server(slot, 0, s).ok);
    }

    // Waits until `predicate` holds, at most `limit`.
    template <typename P>
    bool eventually(P predicate, std::chrono::milliseconds limit = 10s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (predicate()) return true;
            std::this_thread::sleep_for(50ms);
        }
        return predicate();
    }

    uint32_t status(unsigned slot, unsigned index) { return tx_->stream_states(slot).at(index).status; }

    testing::TempDir temp_{"torvalen-icecast"};
    std::unique_ptr<SettingsStore> store_;
    uint16_t port_ = 0;
    std::unique_ptr<IcecastServer> server_;
    std::unique_ptr<nowplaying::NowPlaying> now_playing_;
    std::unique_ptr<StreamTx> tx_;  // destroyed before the Now Playing object
};

// The stream lists are kept through saving and loading, each stream with its own
// users; names are unique (case-insensitive) and a slot takes at most 8 streams.
TEST(StreamTxSettings, StreamsKeepTheirValuesThroughSaveAndLoad) {
    testing::TempDir temp("torvalen-stream-settings");
    std::string error;
    auto store = SettingsStore::open(temp / "settings.db", error);
    ASSERT_TRUE(store) << error;
    {
        uint32_t err = 0;
        auto tx = StreamTx::create(store->root(), err);
        ASSERT_TRUE(tx);
        for (int i = 0; i < 8; ++i) ASSERT_TRUE(tx->add_stream(1, "S" + std::to_string(i)).ok);
        EXPECT_EQ(tx->add_stream(1, "S9").message, "No more than 8 streams per encoder");
        EXPECT_EQ(tx->add_stream(0, "One").ok, true);
        EXPECT_EQ(tx->add_stream(0, "ONE").message, "Stream name already exists");
        ServerSettings a = tx->servers(1).at(0);
        a.user = "alice";
        a.admin_user = "boss";
        ASSERT_TRUE(tx->set_server(1, 0, a).ok);
        ServerSettings b = tx->servers(1).at(1);
        b.user = "bob";
        ASSERT_TRUE(tx->set_server(1, 1, b).ok);
        b.password = "x\r\nInjected: 1";
        EXPECT_FALSE(tx->set_server(1, 1, b).ok);
        EncoderSettings mp3;
        mp3.type = encoder_mp3;
        mp3.mp3 = {8000, 48000, 2};
        EXPECT_EQ(tx->set_encoder(1, mp3, true).message, "Invalid Combination Of Parameters");
        mp3.mp3 = {64000, 44100, 1};
        ASSERT_TRUE(tx->set_encoder(1, mp3, true).ok);
    }
    uint32_t err = 0;
    auto tx = StreamTx::create(store->root(), err);
    ASSERT_TRUE(tx);
    const auto servers = tx->servers(1);
    ASSERT_EQ(servers.size(), 8u);
    EXPECT_EQ(servers[0].name, "S7");
    EXPECT_EQ(servers[0].user, "alice");
    EXPECT_EQ(servers[0].admin_user, "boss");
    EXPECT_EQ(servers[1].user, "bob");
    EXPECT_EQ(servers[2].user, "source");
    EXPECT_EQ(tx->encoder_settings(1).type, encoder_mp3);
    EXPECT_EQ(tx->encoder_settings(1).mp3, (Mp3Settings{64000, 44100, 1}));
    EXPECT_EQ(tx->servers(0).size(), 1u);
}

// The page's meters: the six level values of what goes to the encoders, after
// "Level" (a -6 dBFS tone at -6 dB reads about -12 dB) and before de-emphasis;
// with the input off they fall to the floor.
TEST(StreamTxSettings, MetersReadTheLevelAfterTheGain) {
    testing::TempDir temp("torvalen-stream-meters");
    std::string error;
    auto store = SettingsStore::open(temp / "settings.db", error);
    ASSERT_TRUE(store) << error;
    uint32_t err = 0;
    StreamTxOptions options;
    options.start_preset_bar = false;
    auto tx = StreamTx::create(store->root(), err, options);
    ASSERT_TRUE(tx);
    StreamTxParams p = tx->params();
    p.input_level_dB = -6.0f;
    p.de_emphasis = 2;
    ASSERT_TRUE(tx->set_params(p));
    EXPECT_EQ(tx->params(), p);
    std::vector<float> block(2 * 480);
    Buses buses;
    buses.data[bus_proc] = block.data();
    buses.rate[bus_proc] = 48000;
    buses.count[bus_proc] = static_cast<uint32_t>(block.size());
    uint64_t n = 0;
    auto feed = [&](int blocks) {
        for (int b = 0; b < blocks; ++b) {
            for (size_t f = 0; f < block.size() / 2; ++f, ++n)
                block[2 * f] = block[2 * f + 1] = 0.5f * 2147483648.0f * std::sin(2.0 * M_PI * 1000.0 * double(n) / 48000);
            tx->process(buses, b == blocks - 1);
        }
    };
    feed(200);  // 2 s: the RMS has settled
    StreamTxMeters m{};
    ASSERT_TRUE(tx->take_meters(m));
    EXPECT_NEAR(m[0], -12.0f, 0.3f);  // true peak L
    EXPECT_NEAR(m[1], -12.0f, 0.3f);
    EXPECT_NEAR(m[4], -15.0f, 0.5f);  // RMS: 3 dB under the peak
    EXPECT_FALSE(tx->take_meters(m));  // taken once
    p.input_enable = false;
    ASSERT_TRUE(tx->set_params(p));
    feed(1);
    ASSERT_TRUE(tx->take_meters(m));
    EXPECT_LT(m[0], -150.0f);
}

// Both slots stream, Vorbis at 44100 Hz stereo (resampled) and MP3 at 48000 Hz
// mono; listeners decode the codec, rate, channels and the tone; the player's
// title reaches the MP3 mount through the Now Playing object, the Vorbis one says
// titles are not supported.
TEST_F(IcecastTest, VorbisAndMp3ReachListenersWithTitles) {
    EncoderSettings vorbis;
    vorbis.type = encoder_vorbis;
    vorbis.vorbis.rate = 44100;
    ASSERT_TRUE(tx_->set_encoder(0, vorbis, true).ok);
    EncoderSettings mp3;
    mp3.type = encoder_mp3;
    mp3.mp3.channels = 1;
    ASSERT_TRUE(tx_->set_encoder(1, mp3, true).ok);
    add_server(0, "Ogg", "/ogg", "hackme");
    add_server(1, "Mp3", "/mp3", "hackme");
    StationSettings st = tx_->station();
    st.now_playing = true;
    ASSERT_TRUE(tx_->set_station(st).ok);

    ToneFeeder feeder(*tx_);
    tx_->start_streaming();
    ASSERT_TRUE(eventually([&] { return status(0, 0) == status_connected && status(1, 0) == status_connected; }))
        << status(0, 0) << " " << status(1, 0) << "\n" << server_->log();
    std::this_thread::sleep_for(1500ms);  // some audio on the server for the listeners' start

    const Decoded ogg = listen(server_->url("/ogg"), "ogg");
    EXPECT_EQ(ogg.codec, "vorbis");
    EXPECT_EQ(ogg.rate, 44100);
    EXPECT_EQ(ogg.channels, 2);
    EXPECT_NEAR(ogg.frequency, 1000.0, 15.0);
    EXPECT_NEAR(ogg.amplitude, 0.5, 0.08);

    const Decoded m = listen(server_->url("/mp3"), "mp3");
    EXPECT_EQ(m.codec, "mp3");
    EXPECT_EQ(m.rate, 48000);
    EXPECT_EQ(m.channels, 1);
    EXPECT_NEAR(m.frequency, 1000.0, 15.0);
    EXPECT_NEAR(m.amplitude, 0.5, 0.08);

    const std::string song = "Artist - Title & more/x";
    now_playing_->player_title("Artist", "Title & more/x");
    const std::string status_url = server_->url("/status-json.xsl");
    EXPECT_TRUE(eventually([&] {
        return run("timeout 5 curl -s '" + status_url + "'").find("\"title\":\"Artist - Title & more/x\"") !=
               std::string::npos;
    })) << run("timeout 5 curl -s '" + status_url + "'");
    EXPECT_TRUE(eventually([&] { return tx_->stream_states(1).at(0).metadata_status == metadata_ok; }));
    EXPECT_TRUE(eventually([&] { return tx_->stream_states(0).at(0).metadata_status == metadata_not_supported; }));
    const auto lines = tx_->status_lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Mp3 .. Connected .. Now Playing OK"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Now  Playing = " + song), lines.end());
    tx_->stop_streaming();
}

// A wrong password ends in "Authentication failure" after both logins; a server
// that goes away and comes back on its port is streamed to again. The input is
// the 192 kHz "STL RX" bus at "Level" -6 dB: the stream carries the tone at 48 kHz
// and half the amplitude.
TEST_F(IcecastTest, WrongPasswordAndReconnect) {
    EncoderSettings mp3;
    mp3.type = encoder_mp3;
    ASSERT_TRUE(tx_->set_encoder(0, mp3, true).ok);
    add_server(0, "Good", "/good", "hackme");
    add_server(0, "Bad", "/bad", "wrong");  // now first in the list
    StationSettings st = tx_->station();
    st.timeout_ms = 500;  // the retry period
    ASSERT_TRUE(tx_->set_station(st).ok);
    StreamTxParams p = tx_->params();
    p.input_select = bus_stl_rx;
    p.input_level_dB = -6.0f;
    ASSERT_TRUE(tx_->set_params(p));
    ToneFeeder feeder(*tx_, bus_stl_rx, 192000);
    tx_->start_streaming();
    ASSERT_TRUE(eventually([&] { return status(0, 1) == status_connected; })) << server_->log();
    EXPECT_TRUE(eventually([&] { return status(0, 0) == status_authentication; })) << status(0, 0);
    const auto lines = tx_->status_lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Bad .. Authentication failure"), lines.end());

    server_->stop();
    EXPECT_TRUE(eventually([&] { return status(0, 1) != status_connected; }));
    ASSERT_TRUE(server_->start()) << server_->log();
    EXPECT_TRUE(eventually([&] { return status(0, 1) == status_connected; })) << status(0, 1);
    std::this_thread::sleep_for(1s);
    const Decoded d = listen(server_->url("/good"), "mp3");
    EXPECT_EQ(d.codec, "mp3");
    EXPECT_EQ(d.rate, 48000);
    EXPECT_NEAR(d.frequency, 1000.0, 15.0);
    EXPECT_NEAR(d.amplitude, 0.25, 0.04);
    tx_->stop_streaming();
    EXPECT_EQ(status(0, 1), status_disconnected);
}

// Opus (mono, 48000 Hz) and AAC-LC in ADTS (44100 Hz stereo, SBR+PS asked for but
// not available) reach listeners; AAC takes titles, Opus says it does not. Beside
// them a server that takes the login and never reads: the encoder thread is not
// held up by it and the other servers keep streaming.
TEST_F(IcecastTest, OpusAndAacBesideAServerThatNeverReads) {
    // The stalled server: answers the login and then reads nothing.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;  // so its buffers fill within seconds
    ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    ::listen(listener, 4);
    std::atomic<bool> quit{false};
    std::thread stalled([&] {
        const int c = ::accept(listener, nullptr, nullptr);
        char request[4096];
        ::recv(c, request, sizeof request, 0);
        const char reply[] = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 200 OK\r\n\r\n";
        ::send(c, reply, sizeof reply - 1, MSG_NOSIGNAL);
        while (!quit) std::this_thread::sleep_for(20ms);
        ::close(c);
    });

    EncoderSettings opus;
    opus.type = encoder_opus;
    opus.opus = {64000, 48000, 1, 0};
    ASSERT_TRUE(tx_->set_encoder(0, opus, true).ok);
    EncoderSettings aac;
    aac.type = encoder_aac;
    aac.aac.sbr_ps = 1;
    ASSERT_TRUE(tx_->set_encoder(1, aac, true).ok);
    add_server(0, "Opus", "/opus", "hackme");
    add_server(1, "Aac", "/aac", "hackme");
    add_server(1, "Stalled", "/stalled", "hackme");
    ServerSettings s = tx_->servers(1).front();
    s.port = std::to_string(ntohs(a.sin_port));
    ASSERT_TRUE(tx_->set_server(1, 0, s).ok);
    StationSettings st = tx_->station();
    st.now_playing = true;
    ASSERT_TRUE(tx_->set_station(st).ok);
    tx_->set_song("Band - Song");

    ToneFeeder feeder(*tx_);
    tx_->start_streaming();
    ASSERT_TRUE(eventually([&] {
        return status(0, 0) == status_connected && status(1, 0) == status_connected && status(1, 1) == status_connected;
    })) << status(0, 0) << " " << status(1, 0) << " " << status(1, 1) << "\n" << server_->log();
    std::this_thread::sleep_for(1500ms);

    const Decoded o = listen(server_->url("/opus"), "ogg");
    EXPECT_EQ(o.codec, "opus");
    EXPECT_EQ(o.channels, 1);
    EXPECT_NEAR(o.frequency, 1000.0, 15.0);
    EXPECT_NEAR(o.amplitude, 0.5, 0.08);
    const Decoded c = listen(server_->url("/aac"), "aac");
    EXPECT_EQ(c.codec, "aac");
    EXPECT_EQ(c.rate, 44100);
    EXPECT_EQ(c.channels, 2);
    EXPECT_NEAR(c.frequency, 1000.0, 15.0);
    EXPECT_NEAR(c.amplitude, 0.5, 0.08);

    // The stalled server's socket buffers filled long ago; it stays connected and
    // what it did not take was dropped, not waited for (no block was lost before
    // the encoders).
    EXPECT_EQ(status(1, 0), status_connected);
    EXPECT_TRUE(eventually([&] { return tx_->stream_states(1).at(0).dropped_bytes > 0; }, 30s));
    EXPECT_EQ(tx_->stream_states(1).at(1).dropped_bytes, 0u);
    EXPECT_EQ(tx_->dropped_blocks(), 0u);
    const std::string status_url = server_->url("/status-json.xsl");
    EXPECT_TRUE(eventually([&] {
        return run("timeout 5 curl -s '" + status_url + "'").find("\"title\":\"Band - Song\"") != std::string::npos;
    }));
    EXPECT_TRUE(eventually([&] { return tx_->stream_states(0).at(0).metadata_status == metadata_not_supported; }));
    const auto lines = tx_->status_lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "Encoder 2 Enabled ... AAC 64 kB/s Stereo  44100Hz SBR  PS CBR (SBR & PS not available: "
                        "sent as AAC-LC)"),
              lines.end());
    tx_->stop_streaming();
    quit = true;
    stalled.join();
    ::close(listener);
}

}  // namespace
}  // namespace torvalen::stream
