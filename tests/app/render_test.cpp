// Drives `torvalen render` over generated files.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/frame_queue.h"
#include "app/standard_modules.h"
#include "broadcast/rds_content.h"
#include "broadcast/sound_out.h"
#include "engine/instance.h"
#include "engine/settings_store.h"
#include "engine/wav_file.h"
#include "stl/link_settings.h"
#include "tests/broadcast/mpx_rig.h"
#include "tests/support/temp_dir.h"

namespace torvalen {
namespace {

namespace fs = std::filesystem;

class RenderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(temp_.ok()); }

    int render(const std::string& args, std::string& output) {
        const std::string cmd = std::string(TORVALEN_BINARY_DIR) + "/torvalen render --home '" +
                                (temp_ / "home").string() + "' " + args + " 2>&1";
        FILE* p = ::popen(cmd.c_str(), "r");
        if (!p) return -1;
        char buffer[512];
        output.clear();
        while (size_t n = std::fread(buffer, 1, sizeof buffer, p)) output.append(buffer, n);
        const int status = ::pclose(p);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Writes `seconds` of stereo silence with 20 ms bursts of a 1 kHz tone starting
    // at each of `bursts_s`.
    fs::path write_bursts(uint32_t rate, double seconds, std::vector<double> bursts_s) {
        const fs::path file = temp_ / ("bursts" + std::to_string(rate) + ".wav");
        std::string error;
        auto writer = WavWriter::create(file, rate, error);
        EXPECT_TRUE(writer) << error;
        const size_t frames = static_cast<size_t>(seconds * rate);
        std::vector<float> samples(2 * frames, 0.0f);
        for (double start : bursts_s) {
            const size_t first = static_cast<size_t>(start * rate);
            for (size_t i = 0; i < static_cast<size_t>(0.02 * rate); ++i) {
                const float v = static_cast<float>(0.5 * 2147483648.0 * std::sin(2 * M_PI * 1000.0 * i / rate));
                samples[2 * (first + i)] = v;
                samples[2 * (first + i) + 1] = v;
            }
        }
        writer->write(samples);
        return file;
    }
    static std::vector<float> read_left(const fs::path& file, uint32_t& rate) {
        std::string error;
        auto reader = WavReader::open(file, error);
        EXPECT_TRUE(reader) << error;
        if (!reader) return {};
        rate = reader->sample_rate();
        std::vector<float> stereo(2 * reader->frames()), left(reader->frames());
        reader->read(stereo);
        for (size_t i = 0; i < left.size(); ++i) left[i] = stereo[2 * i];
        return left;
    }
    // Energy centroid (in seconds) of the signal within [from, to) seconds.
    static double centroid(const std::vector<float>& x, uint32_t rate, double from, double to) {
        double weighted = 0, total = 0;
        for (size_t i = static_cast<size_t>(from * rate); i < static_cast<size_t>(to * rate) && i < x.size(); ++i) {
            const double e = static_cast<double>(x[i]) * x[i];
            weighted += e * i;
            total += e;
        }
        return total > 0 ? weighted / total / rate : -1.0;
    }

    testing::TempDir temp_{"torvalen-render"};
};

TEST(FrameQueue, CarriesEverySampleInOrderAndEndsWhereThePutterCloses) {
    // A ring smaller than the chunks on either side, chunks of sizes that wrap it at
    // every offset: the taker gets the sequence whole, then a short take at the end.
    FrameQueue queue(70);
    constexpr int total = 20011;
    std::thread putter([&] {
        std::vector<float> chunk;
        for (int n = 0, size = 1; n < total; n += size, size = size % 97 + 13) {
            chunk.clear();
            for (int i = n; i < std::min(total, n + size); ++i) chunk.push_back(static_cast<float>(i));
            ASSERT_TRUE(queue.put(chunk));
        }
        queue.close();
    });
    std::vector<float> got, buffer(512);
    while (std::size_t n = queue.take(buffer)) got.insert(got.end(), buffer.begin(), buffer.begin() + n);
    putter.join();
    ASSERT_EQ(got.size(), static_cast<std::size_t>(total));
    for (int i = 0; i < total; ++i) ASSERT_EQ(got[i], static_cast<float>(i)) << "sample " << i;

    // A putter waiting for room gives up when the queue is cancelled.
    FrameQueue full(8);
    const std::vector<float> nine(9, 1.0f);
    bool put = true;
    std::thread waiting([&] { put = full.put(nine); });
    full.cancel();
    waiting.join();
    EXPECT_FALSE(put);
}

TEST_F(RenderTest, OutputKeepsTheInputsLengthAndTiming) {
    const fs::path in = write_bursts(48000, 3.0, {1.0, 2.0});
    const fs::path out = temp_ / "out.wav";
    std::string log;
    ASSERT_EQ(render("'" + in.string() + "' '" + out.string() + "'", log), 0) << log;
    EXPECT_NE(log.find("processor latency 2746 samples"), std::string::npos) << log;
    EXPECT_NE(log.find("integrated loudness"), std::string::npos) << log;
    uint32_t rate = 0;
    const auto input = read_left(in, rate);
    const auto output = read_left(out, rate);
    ASSERT_EQ(output.size(), input.size());
    EXPECT_EQ(rate, 48000u);
    // The processed bursts sit where the input's are, within 2 ms (processing
    // reshapes their envelope; a latency left in would move them by 57 ms, a block by 21 ms).
    for (double at : {1.0, 2.0}) {
        const double expected = centroid(input, 48000, at - 0.2, at + 0.2);
        const double got = centroid(output, 48000, at - 0.2, at + 0.2);
        EXPECT_NEAR(got, expected, 0.002) << "burst at " << at << " s";
    }
    EXPECT_FALSE(fs::exists(out.string() + ".partial"));
}

TEST_F(RenderTest, OutputNotThroughTheProcessorKeepsItsTiming) {
    // A stored instance whose Sound Out takes "Sound In": no processor latency in
    // the output's path, so none may be removed.
    fs::create_directories(temp_ / "home");
    {
        std::string error;
        auto store = SettingsStore::open(temp_ / "home" / "settings.db", error);
        ASSERT_TRUE(store) << error;
        auto instances = store->root().create("Software")->create("Torv3")->create("Instances");
        StandardModules modules({data_folder(temp_ / "home"), true});  // the home's data folder
        auto instance = Instance::create(*instances, "Direct", modules, error);
        ASSERT_TRUE(instance) << error;
        instance->set_unlocked(true);
        auto* sound_out = dynamic_cast<broadcast::SoundOut*>(instance->sound_out());
        ASSERT_TRUE(sound_out);
        sound_out->set_value(broadcast::control_input_select, 0.0f);
        sound_out->set_value(broadcast::control_mpx_mono, 0.0f);  // a multiplex of the programme alone
        sound_out->set_value(broadcast::control_rds_enable, 0.0f);
        ASSERT_TRUE(sound_out->module_presets()->save_preset("Direct").ok);
        Instance::destroy(std::move(instance), false);
    }
    const fs::path in = write_bursts(48000, 2.0, {1.0});
    const fs::path out = temp_ / "out.wav";
    std::string log;
    ASSERT_EQ(render("--instance Direct '" + in.string() + "' '" + out.string() + "'", log), 0) << log;
    EXPECT_NE(log.find("output from \"Sound In\", no processor latency"), std::string::npos) << log;
    uint32_t rate = 0;
    const auto input = read_left(in, rate);
    const auto output = read_left(out, rate);
    ASSERT_EQ(output.size(), input.size());
    EXPECT_NEAR(centroid(output, 48000, 0.8, 1.2), centroid(input, 48000, 0.8, 1.2), 0.002);

    // The multiplex of the same: the file, converted to 192 kHz, keeps its length and
    // its timing to a few microseconds (the converter's delay is removed).
    ASSERT_EQ(render("--mpx --instance Direct '" + in.string() + "' '" + out.string() + "'", log), 0) << log;
    const auto mpx = read_left(out, rate);
    EXPECT_EQ(rate, 192000u);
    EXPECT_EQ(mpx.size(), 4 * input.size());
    EXPECT_NEAR(centroid(mpx, 192000, 0.8, 1.2), centroid(input, 48000, 0.8, 1.2), 10e-6);
}

TEST_F(RenderTest, OtherRatesAreConvertedAndTheMultiplexRunsAt192k) {
    const fs::path in = write_bursts(44100, 1.0, {0.5});
    const fs::path out = temp_ / "out.wav";
    std::string log;
    ASSERT_EQ(render("--processor 5 '" + in.string() + "' '" + out.string() + "'", log), 0) << log;
    uint32_t rate = 0;
    auto output = read_left(out, rate);
    EXPECT_EQ(rate, 48000u);
    EXPECT_NEAR(static_cast<double>(output.size()), 48000.0, 2.0);
    EXPECT_NEAR(centroid(output, 48000, 0.3, 0.7), 0.51, 0.002);

    ASSERT_EQ(render("--mpx '" + in.string() + "' '" + out.string() + "'", log), 0) << log;
    output = read_left(out, rate);
    EXPECT_EQ(rate, 192000u);
    EXPECT_NEAR(static_cast<double>(output.size()), 192000.0, 8.0);
}

TEST_F(RenderTest, BadInputFailsClearlyAndTouchesNothing) {
    // A stored instance whose settings must survive every render unchanged.
    fs::create_directories(temp_ / "home");
    {
        std::string error;
        auto store = SettingsStore::open(temp_ / "home" / "settings.db", error);
        ASSERT_TRUE(store) << error;
        store->root().create("Software")->create("Torv3")->create("Instances")->create("Studio")->write_dword_in(
            "ProcType", 0);
    }
    const std::string before = testing::read_file(temp_ / "home" / "settings.db");

    testing::write_file(temp_ / "junk.wav", "RIFF....not audio at all");
    const fs::path out = temp_ / "out.wav";
    std::string log;
    EXPECT_EQ(render("'" + (temp_ / "junk.wav").string() + "' '" + out.string() + "'", log), 1);
    EXPECT_NE(log.find("junk.wav"), std::string::npos) << log;
    EXPECT_EQ(render("'" + (temp_ / "missing.wav").string() + "' '" + out.string() + "'", log), 1);
    EXPECT_EQ(render("--instance Nobody '" + write_bursts(48000, 0.2, {0.05}).string() + "' '" + out.string() + "'", log), 1);
    EXPECT_NE(log.find("Nobody"), std::string::npos) << log;
    EXPECT_EQ(render("--preset Missing '" + write_bursts(48000, 0.2, {0.05}).string() + "' '" + out.string() + "'", log), 1);
    EXPECT_EQ(render("only-one-file.wav", log), 2);
    EXPECT_FALSE(fs::exists(out));

    ASSERT_EQ(render("--instance Studio '" + write_bursts(48000, 0.2, {0.05}).string() + "' '" + out.string() + "'", log), 0) << log;
    EXPECT_TRUE(fs::exists(out));
    EXPECT_EQ(testing::read_file(temp_ / "home" / "settings.db"), before);
}

TEST_F(RenderTest, NothingIsSentOverTheStoredLink) {
    // A link receiver stands in on loopback, and the stored instance's link sender
    // connects to it at startup: a render must not put the file on the link.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length), 0);
    fs::create_directories(temp_ / "home");
    {
        std::string error;
        auto store = SettingsStore::open(temp_ / "home" / "settings.db", error);
        ASSERT_TRUE(store) << error;
        auto instance = store->root().create("Software")->create("Torv3")->create("Instances")->create("Linked");
        stl::TxSettings tx;
        tx.url = "127.0.0.1";
        tx.port = std::to_string(ntohs(a.sin_port));
        tx.enable = tx.connect_at_startup = true;
        tx.encoder_type = 0;
        ASSERT_TRUE(stl::save_tx_settings(*instance->create(stl::tx_key_name), tx));
    }
    const fs::path out = temp_ / "out.wav";
    std::string log;
    ASSERT_EQ(render("--instance Linked '" + write_bursts(48000, 10.0, {1.0}).string() + "' '" + out.string() + "'", log), 0)
        << log;
    EXPECT_LT(::accept(listener, nullptr, nullptr), 0) << "the render connected to the link";
    ::close(listener);
}

TEST_F(RenderTest, RdsOptionsReachTheReceiver) {
    // The first radiotext message follows the PS hold time (64 groups, 5.6 s) and
    // takes seven radiotext slots, about one a second: 20 s carry it at least twice.
    const fs::path in = write_bursts(48000, 20.0, {1.0, 2.5});
    const fs::path out = temp_ / "mpx.wav";
    std::string log;
    ASSERT_EQ(render("--mpx --rds-pi 5a3C --rds-ps 'TEST FM' --rds-rt 'Render check, radiotext 42' --rds-pty 7 "
                     "--rds-ptyn JAZZY --rds-af 88.1,104.3,107.9 --rds-ta on '" +
                         in.string() + "' '" + out.string() + "'",
                     log),
              0)
        << log;
    uint32_t rate = 0;
    const auto left = read_left(out, rate);
    ASSERT_EQ(rate, 192000u);
    const std::vector<double> mpx(left.begin(), left.end());
    const auto groups = broadcast::testing::decode_rds(mpx, 17000);
    // 1187.5 bit/s in 104-bit groups: every group of the 20 s is there (an offline
    // render waits for the modulator, so none is skipped).
    EXPECT_GE(groups.size(), static_cast<size_t>(20.0 * 1187.5 / 104 * 0.97)) << groups.size();
    // The overrides are on air from the first group on: no group carries the stored
    // PI, programme type or an empty programme type name.
    for (size_t i = 0; i < groups.size(); ++i) {
        const auto& g = groups[i];
        ASSERT_EQ(g.blocks[0], 0x5A3C) << "group " << i;
        ASSERT_EQ((g.blocks[1] >> 5) & 31, 7u) << "group " << i;
        if ((g.blocks[1] >> 11) == 20) {  // 10A: "JAZZ" then "Y   "
            ASSERT_EQ(g.blocks[2], (g.blocks[1] & 1) == 0 ? 0x4A41 : 0x5920) << "group " << i;
        }
        if ((g.blocks[1] >> 11) <= 1) {
            ASSERT_TRUE((g.blocks[1] >> 4) & 1) << "TA in group " << i;
        }
    }
    const broadcast::testing::Station s = broadcast::testing::read_station(groups);
    EXPECT_EQ(s.pi, 0x5A3C);
    EXPECT_EQ(s.ps, "TEST FM ");
    const std::string rt = "Render check, radiotext 42";
    EXPECT_EQ(s.rt.substr(0, rt.size()), rt);
    EXPECT_EQ(s.rt[rt.size()], '\r');
    EXPECT_EQ(s.pty, 7u);
    EXPECT_EQ(s.ptyn, "JAZZY   ");
    EXPECT_TRUE(s.ta);
    // The coded list goes out two codes per 0A group: count, three entries, filler.
    const std::vector<uint8_t> af = {0xE3, broadcast::af_fm_code(88.1), broadcast::af_fm_code(104.3),
                                     broadcast::af_fm_code(107.9)};
    EXPECT_NE(std::search(s.af.begin(), s.af.end(), af.begin(), af.end()), s.af.end());
}

TEST_F(RenderTest, BadRdsValuesAreRefused) {
    const fs::path in = write_bursts(48000, 0.2, {0.05});
    const fs::path out = temp_ / "out.wav";
    const std::string files = " '" + in.string() + "' '" + out.string() + "'";
    struct Case {
        std::string options, mentions;
    };
    const std::vector<Case> cases = {
        {"--rds-pi C0G1", "--rds-pi"},
        {"--rds-pi 12345", "--rds-pi"},
        {"--rds-pi ''", "--rds-pi"},
        {"--rds-pty 32", "--rds-pty"},
        {"--rds-pty -1", "--rds-pty"},
        {"--rds-pty 5x", "--rds-pty"},
        {"--rds-ps NINECHARS", "--rds-ps"},
        {"--rds-ptyn TOOLONGNAME", "--rds-ptyn"},
        {"--rds-rt '" + std::string(64, 'x') + "'", "--rds-rt"},
        {"--rds-af 87.5", "87.5"},
        {"--rds-af 108.0", "108.0"},
        {"--rds-af 88.15", "88.15"},
        {"--rds-af 88.1,,90.0", "--rds-af"},
        {"--rds-af 88.1,abc", "abc"},
        {"--rds-ct yes", "--rds-ct"},
        {"--rds-ta 1", "--rds-ta"},
    };
    std::string log;
    for (const Case& c : cases) {
        EXPECT_EQ(render("--mpx " + c.options + files, log), 2) << c.options;
        EXPECT_NE(log.find(c.mentions), std::string::npos) << c.options << ": " << log;
    }
    std::string many = "--rds-af 88.0";
    for (int k = 1; k < 26; ++k) many += "," + std::to_string(88 + k / 2) + (k % 2 ? ".5" : ".0");
    EXPECT_EQ(render("--mpx " + many + files, log), 2);
    EXPECT_NE(log.find("at most 25"), std::string::npos) << log;
    EXPECT_EQ(render("--mpx --rds-ps", log), 2);
    EXPECT_NE(log.find("needs a value"), std::string::npos) << log;
    // Without the multiplex there is no RDS to override.
    EXPECT_EQ(render("--rds-ps RADIO" + files, log), 2);
    EXPECT_NE(log.find("--mpx"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(out));
    // The limits themselves are accepted.
    ASSERT_EQ(render("--mpx --rds-pi FFFFh --rds-pty 31 --rds-ps 12345678 --rds-rt '" + std::string(63, 'x') +
                         "' --rds-af 87.6,107.9 --rds-ct off --rds-ta off" + files,
                     log),
              0)
        << log;
    EXPECT_TRUE(fs::exists(out));
}

}  // namespace
}  // namespace torvalen
