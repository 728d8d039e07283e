// The Now Playing object with a real settings store: the file, UDP and TCP
// sources over loopback, the two input forms, the failsafe rule, the output
// switches (RDS through the real content record) and hostile input.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "broadcast/rds_content.h"
#include "engine/user_text.h"
#include "nowplaying/now_playing.h"
#include "nowplaying/text.h"
#include "tests/support/temp_dir.h"

namespace torvalen::nowplaying {
namespace {

struct Rig {
    torvalen::testing::TempDir dir{"nowplaying-test"};
    std::unique_ptr<SettingsStore> store;
    SettingsKey instance;
    std::unique_ptr<NowPlaying> np;

    explicit Rig(NowPlayingSettings s) {
        std::string error;
        store = SettingsStore::open(dir / "settings.db", error);
        instance = *store->root().create("Instance 1");
        uint32_t word = 0;
        NowPlayingOptions o;
        o.loopback_only = true;
        o.retry_ms = 100;
        np = NowPlaying::create(instance, word, o);
        EXPECT_TRUE(np);
        EXPECT_EQ(np->apply(s), "");
    }
    // Waits (up to 10 s, the machine is shared) until `done` holds.
    template <class F>
    bool wait_for(F done) {
        for (int i = 0; i < 1000; ++i) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return done();
    }
    bool wait_text(const std::string& text) {
        return wait_for([&] { return np->current().text == text; });
    }
};

void send_udp(uint16_t port, std::string_view data) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::close(fd);
}

int connect_tcp(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void write_file(const std::filesystem::path& file, std::string_view data) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << data;
}

TEST(NowPlayingText, ParsingRulesAndHostileInput) {
    // Artist and title: any case, any order, spaces trimmed, ";" or line breaks.
    EXPECT_EQ(parse_incoming("ARTIST=Foo;TITLE=Bar", true)->text, "Foo - Bar");
    auto pair = parse_incoming("title = Bar  \r\nartist = Foo  \n", true);
    ASSERT_TRUE(pair);
    EXPECT_EQ(pair->artist, "Foo");
    EXPECT_EQ(pair->title, "Bar");
    EXPECT_FALSE(parse_incoming("artist=Foo", true));           // no title
    EXPECT_FALSE(parse_incoming("artist=Foo;title=   ", true));  // empty title
    EXPECT_FALSE(parse_incoming("artist Foo;title Bar", true));  // no "="
    // Whole line: the first token only.
    EXPECT_EQ(parse_incoming("Foo - Bar\nmore", false)->text, "Foo - Bar");
    EXPECT_EQ(parse_incoming("Foo - Bar;more", false)->artist, "");
    EXPECT_FALSE(parse_incoming("\nFoo", false));

    // Hostile: control characters become spaces, ISO-8859-1 becomes UTF-8,
    // invalid UTF-8 and binary never give invalid text, long lines are cut on a
    // character boundary, the text ends at a zero byte.
    EXPECT_EQ(parse_incoming("A\x01\x1b[2JB\x7f", false)->text, "A  [2JB");
    EXPECT_EQ(parse_incoming("Mot\xf6rhead", false)->text, "Mot\xc3\xb6rhead");
    EXPECT_EQ(parse_incoming("x\xc2\x85y", false)->text, "x y");  // C1 control in UTF-8
    EXPECT_EQ(parse_incoming(std::string("ab\0cd", 5), false)->text, "ab");
    std::string binary(65507, '\0');
    for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>((i * 7919 + 13) & 0xff);
    for (bool parsed : {false, true}) {
        if (auto t = parse_incoming(binary, parsed)) {
            EXPECT_TRUE(clean_user_text(t->text));
            EXPECT_LE(t->text.size(), 2 * max_field_bytes + 3);
        }
    }
    std::string longline;
    for (int i = 0; i < 200; ++i) longline += "\xc3\xa9";  // 400 bytes of "é"
    const auto cut = parse_incoming(longline, false);
    ASSERT_TRUE(cut);
    EXPECT_LE(cut->text.size(), max_field_bytes);
    EXPECT_TRUE(valid_utf8(cut->text));
}

TEST(NowPlayingSources, FileRewrittenAndReplacedByRename) {
    NowPlayingSettings s;
    s.mode = mode_file;
    s.input_mode = 0;
    Rig rig(s);
    const auto file = rig.dir / "np.txt";
    s.file = file.string();
    write_file(file, "First - One\n");
    ASSERT_EQ(rig.np->apply(s), "");
    ASSERT_TRUE(rig.np->start());
    EXPECT_TRUE(rig.wait_text("First - One"));
    write_file(file, "Second - Two\n");  // rewritten in place
    EXPECT_TRUE(rig.wait_text("Second - Two"));
    write_file(rig.dir / "np.tmp", "Third - Three\n");  // replaced atomically
    std::filesystem::rename(rig.dir / "np.tmp", file);
    EXPECT_TRUE(rig.wait_text("Third - Three"));
    write_file(rig.dir / "other.txt", "Not - This\n");  // another file of the folder
    std::filesystem::remove(file);                      // deleted: the text stays
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(rig.np->current().text, "Third - Three");
    write_file(file, "Fourth - Four\n");  // and comes back
    EXPECT_TRUE(rig.wait_text("Fourth - Four"));
    rig.np->stop();
    EXPECT_FALSE(rig.np->running());
}

TEST(NowPlayingSources, UdpDatagramsAndHostileOnes) {
    NowPlayingSettings s;
    s.mode = mode_udp;
    s.udp_port = 0;  // a free port
    Rig rig(s);
    ASSERT_TRUE(rig.np->start());
    ASSERT_TRUE(rig.wait_for([&] { return rig.np->listening(); }));
    const uint16_t port = rig.np->bound_port();
    send_udp(port, "ARTIST=Foo;TITLE=Bar");
    EXPECT_TRUE(rig.wait_text("Foo - Bar"));
    // Binary of the largest datagram and a half pair change nothing; the next
    // good datagram still arrives.
    std::string binary(65507, '\xff');
    send_udp(port, binary);
    send_udp(port, "artist=Only");
    send_udp(port, "artist=Baz\ntitle=Qux\x01");
    EXPECT_TRUE(rig.wait_text("Baz - Qux"));
    EXPECT_GE(rig.np->connections_served(), 4u);
    rig.np->stop();  // returns although the thread is waiting in poll
    EXPECT_FALSE(rig.np->listening());
}

TEST(NowPlayingSources, TcpClientsOneAfterAnotherSilentAndFlooding) {
    NowPlayingSettings s;
    s.mode = mode_tcp;
    s.tcp_port = 0;
    s.poll_timeout_ms = 300;
    s.input_mode = 0;
    Rig rig(s);
    ASSERT_TRUE(rig.np->start());
    ASSERT_TRUE(rig.wait_for([&] { return rig.np->listening(); }));
    const uint16_t port = rig.np->bound_port();

    // A client that sends nothing holds the slot until the time-out only.
    const int silent = connect_tcp(port);
    ASSERT_GE(silent, 0);
    for (const char* text : {"One - First\r\n", "Two - Second\r\n"}) {
        const int fd = connect_tcp(port);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::send(fd, text, std::strlen(text), MSG_NOSIGNAL), static_cast<ssize_t>(std::strlen(text)));
        ::shutdown(fd, SHUT_WR);
        EXPECT_TRUE(rig.wait_text(std::string(text, std::strlen(text) - 2)));
        ::close(fd);
    }
    ::close(silent);

    // 10 MB from one client: the first bytes count, the rest is dropped.
    const int flood = connect_tcp(port);
    ASSERT_GE(flood, 0);
    std::string big = "Flood - Line\n" + std::string(10 * 1024 * 1024, 'x');
    size_t sent = 0;
    while (sent < big.size()) {
        const ssize_t n = ::send(flood, big.data() + sent, big.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the server closed its side
        sent += static_cast<size_t>(n);
    }
    ::close(flood);
    EXPECT_TRUE(rig.wait_text("Flood - Line"));
    rig.np->stop();
}

TEST(NowPlayingRules, PlayerFailsafeStlAndModes) {
    NowPlayingSettings s;
    s.mode = mode_player;
    Rig rig(s);
    rig.np->player_title("A", "B");  // not running: ignored
    EXPECT_EQ(rig.np->current().text, "");
    ASSERT_TRUE(rig.np->start());
    rig.np->player_title("A", "B");
    EXPECT_EQ(rig.np->current().text, "A - B");
    const uint64_t v = rig.np->version();
    rig.np->player_title("A", "B");  // the same pair: nothing changes
    EXPECT_EQ(rig.np->version(), v);
    rig.np->player_title("A", "");  // both are needed
    rig.np->stl_title("S", "T");    // not the link's mode
    EXPECT_EQ(rig.np->current().text, "A - B");
    rig.np->incoming_text("Net - Text");  // network text only in modes 0, 1, 3
    EXPECT_EQ(rig.np->current().text, "A - B");

    // Mode 0 (file) with no file: the player's titles only during failsafe.
    s.mode = mode_file;
    s.file = (rig.dir / "missing.txt").string();
    ASSERT_EQ(rig.np->apply(s), "");
    EXPECT_TRUE(rig.np->running());
    EXPECT_EQ(rig.np->current().text, "");  // a file source starts from nothing
    rig.np->player_title("C", "D");
    EXPECT_EQ(rig.np->current().text, "");
    rig.np->set_failsafe(true);
    rig.np->player_title("C", "D");
    EXPECT_EQ(rig.np->current().text, "C - D");
    rig.np->set_failsafe(false);
    rig.np->player_title("E", "F");
    EXPECT_EQ(rig.np->current().text, "C - D");

    // The link: a pair, or one text with no title.
    s.mode = mode_stl;
    ASSERT_EQ(rig.np->apply(s), "");
    rig.np->stl_title("Link", "Song");
    EXPECT_EQ(rig.np->current().text, "Link - Song");
    rig.np->stl_title("Just one line", "");
    EXPECT_EQ(rig.np->current().text, "Just one line");

    // Refusals leave everything as it was.
    NowPlayingSettings bad = s;
    bad.mode = 6;
    EXPECT_NE(rig.np->apply(bad), "");
    bad = s;
    bad.udp_port = 70000;
    EXPECT_NE(rig.np->apply(bad), "");
    EXPECT_EQ(rig.np->settings(), s);
}

TEST(NowPlayingOutputs, SwitchesDecideWhoTakesTheTextAndSettingsPersist) {
    NowPlayingSettings s;
    s.mode = mode_player;
    s.send_to_rds = 1;
    s.send_to_streaming = 0;
    s.send_to_stl = 1;
    Rig rig(s);
    std::vector<std::optional<NowPlayingText>> streams, link;
    const uint64_t a = rig.np->subscribe(NowPlayingOutput::streaming, [&](const auto& t) { streams.push_back(t); });
    const uint64_t b = rig.np->subscribe(NowPlayingOutput::stl, [&](const auto& t) { link.push_back(t); });

    // RDS reads the text through the real content record when item 0 is due.
    broadcast::RdsContent rds;
    rds.items = {broadcast::item_now_playing};
    rds.item_count = 1;
    rds.now_playing_source = rig.np.get();
    rds.next_rt();
    EXPECT_EQ(rds.rt_display, "Empty Now Playing String");

    ASSERT_TRUE(rig.np->start());
    rig.np->player_title("Artist", "Title");
    EXPECT_TRUE(rds.next_rt());
    EXPECT_EQ(rds.rt_display, "Artist - Title");
    EXPECT_TRUE(streams.empty());
    ASSERT_EQ(link.size(), 1u);
    EXPECT_EQ(link[0]->title, "Title");
    EXPECT_FALSE(rig.np->output_text(NowPlayingOutput::streaming));

    // Switching: RDS off, streams on; the outputs learn it at once.
    s.send_to_rds = 0;
    s.send_to_streaming = 1;
    ASSERT_EQ(rig.np->apply(s), "");
    EXPECT_TRUE(rds.next_rt());
    EXPECT_EQ(rds.rt_display, "Empty Now Playing String");
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0]->text, "Artist - Title");
    EXPECT_TRUE(rig.np->running());  // Apply restarted the running source
    rig.np->unsubscribe(a);
    rig.np->player_title("Next", "One");
    EXPECT_EQ(streams.size(), 1u);
    EXPECT_EQ(link.size(), 2u);
    rig.np->unsubscribe(b);

    // Destruction saves every value in "NOWPLAYING".
    s.file = "/srv/playout/np.txt";
    s.udp_port = 30001;
    ASSERT_EQ(rig.np->apply(s), "");
    rig.np.reset();
    const auto key = rig.instance.open(settings_key_name);
    ASSERT_TRUE(key);
    uint64_t rds_flag = 9, streaming_flag = 9;
    uint32_t port = 0, mode = 9;
    std::string file;
    EXPECT_TRUE(key->read_qword("SendtoRDS", rds_flag));
    EXPECT_TRUE(key->read_qword("SendtoStreaming", streaming_flag));
    EXPECT_TRUE(key->read_dword("UDP_Port", port));
    EXPECT_TRUE(key->read_dword("Now_Playing_Mode", mode));
    EXPECT_TRUE(key->read_text("File", file));
    EXPECT_EQ(rds_flag, 0u);
    EXPECT_EQ(streaming_flag, 1u);
    EXPECT_EQ(port, 30001u);
    EXPECT_EQ(mode, uint32_t{mode_player});
    EXPECT_EQ(file, "/srv/playout/np.txt");
    uint32_t word = 0;
    auto again = NowPlaying::create(rig.instance, word);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->settings(), s);
}

}  // namespace
}  // namespace torvalen::nowplaying
