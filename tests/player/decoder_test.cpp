// File decoding against material made by sox and ffmpeg: samples, levels and
// frequencies, seeking, tags, and damaged or hostile files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "player/file_decoder.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace torvalen::player;
using torvalen::testing::TempDir;
namespace fs = std::filesystem;

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

struct Decoded {
    ItemInfo info;
    std::vector<float> samples;
    int last_result = 0;
};

// Reads a file to its end in one-second blocks; gives up after `max_blocks`.
Decoded decode(const fs::path& path, int max_blocks = 600) {
    Decoded d;
    auto decoder = OpenDecoder(path, d.info);
    if (!decoder) {
        d.last_result = -2;
        return d;
    }
    std::vector<float> block(96000);
    for (int i = 0; i < max_blocks; ++i) {
        const BlockResult r = ReadBlock(*decoder, block);
        d.samples.insert(d.samples.end(), block.begin(), block.begin() + static_cast<long>(r.count));
        d.last_result = r.result;
        if (r.result != 1) break;
    }
    return d;
}

struct Tone {
    double rms_dbfs;
    double hz;
};
// Level and frequency of one channel over [from, from + frames) at 48 kHz.
Tone measure(const std::vector<float>& s, int channel, size_t from, size_t frames) {
    double sum = 0;
    int crossings = 0;
    for (size_t i = from; i < from + frames && 2 * i + 1 < s.size(); ++i) {
        const double v = s[2 * i + channel] / 2147483648.0;
        sum += v * v;
        if (i > from && s[2 * (i - 1) + channel] < 0 && s[2 * i + channel] >= 0) ++crossings;
    }
    return {10 * std::log10(sum / frames + 1e-30), crossings * 48000.0 / frames};
}

// First frame whose left sample exceeds a quarter of full scale.
size_t onset(const std::vector<float>& s) {
    for (size_t i = 0; 2 * i < s.size(); ++i)
        if (std::fabs(s[2 * i]) > 0.25 * 2147483648.0) return i;
    return SIZE_MAX;
}

class Material : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir("torvalen-decode");
        // Three seconds: 1000 Hz left, 1500 Hz right, peaks at -6 dBFS; and the same
        // tone starting at 1.5 s (silence before) for the seek checks.
        const std::string synth = "synth 3 sine 1000 sine 1500 gain -6";
        ok_ = run("sox -n -r 48000 -c 2 -b 16 " + q(at("tone48.wav")) + " " + synth) &&
              run("sox -n -r 44100 -c 2 -b 16 " + q(at("tone44.wav")) + " " + synth) &&
              run("sox -n -r 44100 -c 2 -b 16 " + q(at("onset.wav")) + " synth 1.5 sine 1000 sine 1500 gain -6 pad 1.5 0") &&
              run("sox " + q(at("tone48.wav")) + " -t raw -e signed -b 16 " + q(at("tone48.raw")));
        const std::string tags = " -metadata title='Night Drive' -metadata artist='The Testers' ";
        for (const char* src : {"tone48", "tone44", "onset"}) {
            const std::string in = "ffmpeg -y -v error -i " + q(at(std::string(src) + ".wav"));
            ok_ = ok_ && run(in + tags + "-c:a pcm_s16le " + q(at(std::string(src) + "_tagged.wav"))) &&
                  run(in + tags + q(at(std::string(src) + ".flac"))) &&
                  run(in + tags + "-c:a libvorbis -q:a 5 " + q(at(std::string(src) + ".ogg"))) &&
                  run(in + tags + "-c:a libmp3lame -b:a 192k " + q(at(std::string(src) + ".mp3")));
        }
    }
    static void TearDownTestSuite() { delete dir_; }
    static fs::path at(const std::string& name) { return *dir_ / name; }
    static TempDir* dir_;
    static bool ok_;
};
TempDir* Material::dir_ = nullptr;
bool Material::ok_ = false;

TEST_F(Material, LosslessKindsDecodeExactlyAndResampleCleanly) {
    ASSERT_TRUE(ok_) << "sox or ffmpeg could not make the test material";
    const std::string raw = torvalen::testing::read_file(at("tone48.raw"));
    ASSERT_EQ(raw.size(), 3u * 48000 * 4);
    for (const char* name : {"tone48.wav", "tone48.flac"}) {
        const Decoded d = decode(at(name));
        ASSERT_EQ(d.samples.size(), raw.size() / 2) << name;
        EXPECT_EQ(d.last_result, 0) << name;
        EXPECT_EQ(d.info.source_rate, 48000u);
        EXPECT_EQ(d.info.channels, 2u);
        size_t mismatches = 0;
        for (size_t i = 0; i < d.samples.size(); ++i) {
            int16_t v;
            std::memcpy(&v, raw.data() + 2 * i, 2);
            mismatches += d.samples[i] != static_cast<float>(v) * 65536.0f;
        }
        EXPECT_EQ(mismatches, 0u) << name;
    }
    // 44.1 kHz sources come out at 48 kHz: the right length, level and pitch.
    for (const char* name : {"tone44.wav", "tone44.flac"}) {
        const Decoded d = decode(at(name));
        EXPECT_NEAR(static_cast<double>(d.samples.size()), 3.0 * 96000, 2 * 256) << name;
        for (int ch = 0; ch < 2; ++ch) {
            const Tone t = measure(d.samples, ch, 48000, 48000);
            EXPECT_NEAR(t.rms_dbfs, -6.0 - 3.01, 0.05) << name;
            EXPECT_NEAR(t.hz, ch ? 1500 : 1000, 1.0) << name;
        }
    }
    // 24-bit mono and 32-bit float mono (classic headers): both sides equal, exact scale.
    ASSERT_TRUE(run("sox -n -r 48000 -c 1 -b 24 -t wavpcm " + q(at("m24.wav")) + " synth 0.5 sine 440 gain -1"));
    ASSERT_TRUE(run("sox " + q(at("m24.wav")) + " -t raw -e signed -b 32 " + q(at("m24.raw"))));
    const Decoded m = decode(at("m24.wav"));
    const std::string m_raw = torvalen::testing::read_file(at("m24.raw"));
    ASSERT_EQ(m.samples.size(), m_raw.size() / 2);
    EXPECT_EQ(m.info.channels, 1u);
    for (size_t i = 0; i < m.samples.size() / 2; i += 97) {
        int32_t v;
        std::memcpy(&v, m_raw.data() + 4 * i, 4);
        ASSERT_EQ(m.samples[2 * i], static_cast<float>(v)) << i;
        ASSERT_EQ(m.samples[2 * i + 1], m.samples[2 * i]) << i;
    }
}

TEST_F(Material, LossyKindsKeepLevelPitchAndChannels) {
    ASSERT_TRUE(ok_);
    for (const char* name : {"tone48.mp3", "tone44.mp3", "tone48.ogg", "tone44.ogg"}) {
        const Decoded d = decode(at(name));
        EXPECT_EQ(d.last_result, 0) << name;
        EXPECT_NEAR(static_cast<double>(d.samples.size()), 3.0 * 96000, 2 * 2400) << name;
        for (int ch = 0; ch < 2; ++ch) {
            const Tone t = measure(d.samples, ch, 48000, 48000);
            EXPECT_NEAR(t.rms_dbfs, -9.01, 0.3) << name << " channel " << ch;
            EXPECT_NEAR(t.hz, ch ? 1500 : 1000, 2.0) << name << " channel " << ch;
        }
    }
    // A 48 kHz mono MP3 reports its own rate and channel count; both sides agree.
    ASSERT_TRUE(run("ffmpeg -y -v error -i " + q(at("tone48.wav")) + " -ac 1 -c:a libmp3lame " + q(at("mono.mp3"))));
    const Decoded m = decode(at("mono.mp3"));
    EXPECT_EQ(m.info.source_rate, 48000u);
    EXPECT_EQ(m.info.channels, 1u);
    ASSERT_GT(m.samples.size(), 96000u);
    for (size_t i = 0; i < m.samples.size(); i += 2) ASSERT_EQ(m.samples[i], m.samples[i + 1]) << i;
}

TEST_F(Material, SeekLandsWithinOneFrame) {
    ASSERT_TRUE(ok_);
    // The tone starts 1.5 s in; a seek to 1.0 s must show it 0.5 s later: to the
    // sample for WAV, FLAC and Vorbis (a sine needs 4 frames to pass the threshold),
    // within one frame of 1152 source samples for MP3.
    struct Case {
        const char* name;
        size_t frames;  // tolerance in 48 kHz frames
    };
    for (const Case c : {Case{"onset.wav", 8}, Case{"onset.flac", 8}, Case{"onset.ogg", 8}, Case{"onset.mp3", 1254}}) {
        ItemInfo info;
        auto decoder = OpenDecoder(at(c.name), info);
        ASSERT_TRUE(decoder) << c.name;
        const uint64_t length = GetLength(*decoder);
        EXPECT_NEAR(static_cast<double>(length), 3.0 * 96000, 2 * 4) << c.name;
        // Half-way (after reading a little) and then to 1.0 s.
        std::vector<float> block(96000);
        ASSERT_EQ(ReadBlock(*decoder, block).result, 1);
        SeekDecoder(*decoder, length / 2, length);
        ASSERT_EQ(ReadBlock(*decoder, block).result, 1);
        EXPECT_GT(std::fabs(block[6000]) + std::fabs(block[6002]), 1e8) << c.name << ": middle is inside the tone";
        EXPECT_EQ(SeekDecoder(*decoder, 96000, 0), 96000u);
        const BlockResult r = ReadBlock(*decoder, block);
        ASSERT_EQ(r.result, 1);
        block.resize(r.count);
        const size_t at_frame = onset(block);
        EXPECT_NEAR(static_cast<double>(at_frame), 24000, c.frames) << c.name;
    }
}

TEST_F(Material, TagsOfEveryKind) {
    ASSERT_TRUE(ok_);
    // ID3v2.3 carries text outside ISO-8859-1 as UTF-16 with a byte-order mark;
    // ID3v1 alone is read when there is no version 2 tag.
    const std::string title = "Ωmega Ünïcode 日本 🎵";
    ASSERT_TRUE(run("ffmpeg -y -v error -i " + q(at("tone48.wav")) + " -t 0.5 -id3v2_version 3 -metadata title='" + title +
                    "' -metadata artist='Zoë' " + q(at("utf16.mp3"))));
    ASSERT_TRUE(run("ffmpeg -y -v error -i " + q(at("tone48.wav")) + " -t 0.5 -id3v2_version 0 " + q(at("v1.mp3"))));
    std::string v1 = "TAG" + std::string("Old Style") + std::string(21, '\0') + "V One" + std::string(25, '\0');
    v1.resize(128, '\0');
    torvalen::testing::write_file(at("v1.mp3"), torvalen::testing::read_file(at("v1.mp3")) + v1);
    const std::string utf16 = torvalen::testing::read_file(at("utf16.mp3"));
    ASSERT_NE(utf16.find("\xFF\xFE"), std::string::npos) << "ffmpeg wrote no UTF-16 text";

    struct Case {
        const char* name;
        std::string artist, title;
    };
    for (const Case& c : {Case{"tone44_tagged.wav", "The Testers", "Night Drive"},
                          Case{"tone44.flac", "The Testers", "Night Drive"},
                          Case{"tone44.ogg", "The Testers", "Night Drive"},
                          Case{"tone44.mp3", "The Testers", "Night Drive"},
                          Case{"utf16.mp3", "Zoë", title}, Case{"v1.mp3", "V One", "Old Style"}}) {
        ItemInfo info;
        auto decoder = OpenDecoder(at(c.name), info);
        ASSERT_TRUE(decoder) << c.name;
        EXPECT_EQ(info.artist.value_or("-"), c.artist) << c.name;
        EXPECT_EQ(info.title.value_or("-"), c.title) << c.name;
        const auto tags = ReadFileTags(at(c.name));
        ASSERT_TRUE(tags) << c.name;
        EXPECT_EQ(*tags->artist, c.artist);
        EXPECT_EQ(*tags->title, c.title);
    }
    // No tags: the file plays, the tags-only read fails, both strings stay empty.
    ItemInfo info;
    EXPECT_TRUE(OpenDecoder(at("tone48.wav"), info));
    EXPECT_FALSE(info.artist || info.title);
    EXPECT_FALSE(ReadFileTags(at("tone48.wav")));
    EXPECT_EQ(info.kind_name, "Wav");
}

// A classic 44-byte-header WAV with the given fields and `data_bytes` of audio.
std::string wav(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, uint32_t data_size, size_t data_bytes) {
    auto u16 = [](uint16_t v) { return std::string{char(v & 0xFF), char(v >> 8)}; };
    auto u32 = [&](uint32_t v) { return u16(uint16_t(v & 0xFFFF)) + u16(uint16_t(v >> 16)); };
    const uint16_t align = uint16_t(channels * (bits / 8));
    return "RIFF" + u32(36 + data_size) + "WAVEfmt " + u32(16) + u16(tag) + u16(channels) + u32(rate) +
           u32(rate * align) + u16(align) + u16(bits) + "data" + u32(data_size) + std::string(data_bytes, '\x10');
}

TEST_F(Material, DamagedAndHostileFilesFailOrEndCleanly) {
    ASSERT_TRUE(ok_);
    using torvalen::testing::read_file;
    using torvalen::testing::write_file;
    auto fails = [&](const std::string& name, const std::string& bytes) {
        write_file(at(name), bytes);
        ItemInfo info;
        info.title = "stale";
        EXPECT_FALSE(OpenDecoder(at(name), info)) << name;
        EXPECT_FALSE(info.title) << name;
        EXPECT_FALSE(ReadFileTags(at(name))) << name;
    };
    // WAV headers out of range, unsupported or lying.
    fails("zero_channels.wav", wav(1, 0, 48000, 16, 4000, 4000));
    fails("many_channels.wav", wav(1, 65535, 48000, 16, 4000, 4000));
    fails("zero_rate.wav", wav(1, 2, 0, 16, 4000, 4000));
    fails("huge_rate.wav", wav(1, 2, 4000000000u, 16, 4000, 4000));
    fails("eight_bit.wav", wav(1, 2, 48000, 8, 4000, 4000));
    fails("three_channels.wav", wav(1, 3, 48000, 16, 4000, 4000));
    fails("short.wav", wav(1, 2, 48000, 16, 0, 0).substr(0, 30));
    // Text, garbage and tags claiming more than the file holds.
    const std::string text = "This is a plain text file, not audio at all.\n";
    for (const char* name : {"text.mp3", "text.wav", "text.ogg", "text.flac"}) fails(name, text);
    std::mt19937 rng(7);
    std::string ff(256 * 1024, '\xFF');
    for (size_t i = 0; i < ff.size(); i += 3) ff[i] = char(rng());
    write_file(at("ff.mp3"), ff);
    const Decoded g = decode(at("ff.mp3"), 50);
    EXPECT_NE(g.last_result, 1) << "garbage must not play on for ever";
    fails("id3_past_end.mp3", std::string("ID3\x04\x00\x00\x7F\x7F\x7F\x7F", 10) + "TIT2" + std::string(2000, '\x01'));
    // Names: no extension, a trailing dot, a dot only in a folder; missing, a folder.
    fs::create_directories(at("dir.mp3"));
    fs::create_directories(at("x.wav.d"));
    fs::copy_file(at("tone48.wav"), at("x.wav.d/plain"));
    fs::copy_file(at("tone48.flac"), at("UPPER.FLAC"));
    ItemInfo info;
    for (const char* name : {"dir.mp3", "missing.wav", "x.wav.d/plain", "tone48.", "tone48"})
        EXPECT_FALSE(OpenDecoder(at(name), info)) << name;
    EXPECT_TRUE(OpenDecoder(at("UPPER.FLAC"), info));
    EXPECT_EQ(info.kind, DecoderKind::flac);
    // A name that is not UTF-8 opens by its bytes and shows its stray byte as ISO-8859-1.
    const fs::path latin1 = at("caf\xE9 \xC3\xA9.flac");
    fs::copy_file(at("tone48.flac"), latin1);
    EXPECT_TRUE(OpenDecoder(latin1, info));
    EXPECT_EQ(display_path(latin1.filename()), "caf\xC3\xA9 \xC3\xA9.flac");

    // A data chunk running past the end plays what is there.
    write_file(at("long_data.wav"), wav(1, 2, 48000, 16, 0x7FFFFFF0u, 40000));
    const Decoded ld = decode(at("long_data.wav"));
    EXPECT_EQ(ld.samples.size(), 20000u);
    EXPECT_EQ(ld.last_result, 0);

    // A FLAC with a damaged frame and an Ogg with a page of bad checksum: decoding
    // goes on or stops with an error, and always finishes.
    for (const char* name : {"tone48.flac", "tone48.ogg", "tone48.mp3"}) {
        std::string bytes = read_file(at(name));
        for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 64; ++i) bytes[i] = char(rng());
        write_file(at(std::string("broken_") + name), bytes);
        const Decoded b = decode(at(std::string("broken_") + name));
        EXPECT_NE(b.last_result, 1) << name;
        EXPECT_LE(b.samples.size(), 3u * 96000 + 4800) << name;
    }
    // Files cut short while open end early and cleanly.
    for (const char* name : {"tone44_tagged.wav", "tone44.mp3", "tone44.flac", "tone44.ogg"}) {
        const fs::path copy = at(std::string("cut_") + name);
        fs::copy_file(at(name), copy);
        ItemInfo ci;
        auto decoder = OpenDecoder(copy, ci);
        ASSERT_TRUE(decoder) << name;
        fs::resize_file(copy, fs::file_size(copy) / 3);
        std::vector<float> block(96000);
        size_t total = 0;
        int result = 1;
        for (int i = 0; i < 10 && result == 1; ++i) {
            const BlockResult r = ReadBlock(*decoder, block);
            total += r.count;
            result = r.result;
        }
        EXPECT_NE(result, 1) << name;
        EXPECT_LT(total, 2u * 96000) << name;
    }
}

}  // namespace

namespace {

// ID3v2.4 rules built by hand: synchsafe sizes, an extended header, per-frame
// unsynchronisation with a data-length field, UTF-16 big-endian text; and the
// precedence of a WAV's "id3 " chunk over its LIST/INFO chunk.
TEST(Mp3Frames, TheLongestFramesFitTheReadersBuffer) {
    // MPEG-2.5 Layer II at 160 kb/s and 8 kHz: 2880 bytes, 2881 padded (found by the
    // fuzzer: the reader's buffer held 2048).
    const uint8_t longest[4] = {0xFF, 0xE5, 0xEA, 0xC0};
    const auto h = parse_mp3_header(longest);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->length, 2881u);
    std::vector<uint8_t> file;
    for (int i = 0; i < 6; ++i) {
        file.insert(file.end(), longest, longest + 4);
        file.resize(file.size() + h->length - 4, 0x55);
    }
    MemorySource source(file);
    ItemInfo info;
    // Whether libmpg123 takes these frames or not, reading them stays inside the buffer
    // (AddressSanitizer checks the copy) and ends.
    if (auto reader = open_mp3(source, info)) {
        std::vector<float> block(4096);
        for (int i = 0; i < 64 && reader->read(block) > 0; ++i) {
        }
    }
}

TEST(Tags, Id3v2RulesAndWavChunkPrecedence) {
    auto bytes = [](std::string s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    // Title "A\xFF\xE1" stored unsynchronised as "A\xFF\x00\xE1"; artist "Hé" as UTF-16BE.
    const std::string title_frame = std::string("TIT2\0\0\0\x09\0\x03", 10) + std::string("\0\0\0\x04", 4) +
                                    std::string("\x03" "A\xFF\x00\xE1", 5);
    const std::string artist_frame = std::string("TPE1\0\0\0\x05\0\0", 10) + std::string("\x02\x00H\x00\xE9", 5);
    const std::string ext = std::string("\0\0\0\x06\x01\0", 6);
    std::string body = ext + title_frame + artist_frame;
    body.resize(0x17F, '\0');  // padding up to the stated size (synchsafe 0x0000027F)
    const std::string tag = std::string("ID3\x04\x00\x40\x00\x00\x02\x7F", 10) + body;
    const std::string frame = std::string("\xFF\xFB\x90\x00", 4) + std::string(413, '\0');
    const auto file = bytes(tag + frame + frame);
    MemorySource source(file);
    const Mp3Layout layout = scan_mp3(source);
    EXPECT_EQ(layout.data_start, 0x17Fu + 10);
    EXPECT_EQ(layout.data_end, file.size());
    ASSERT_TRUE(layout.tags.complete());
    EXPECT_EQ(*layout.tags.title, "A\xC3\xBF\xC3\xA1") << "resynchronised, not UTF-8: read as ISO-8859-1";
    EXPECT_EQ(*layout.tags.artist, "H\xC3\xA9");
    // A tag claiming more than the file holds: no tags, the data range stays inside the file.
    const auto cut = bytes(tag.substr(0, 60));
    MemorySource cut_source(cut);
    const Mp3Layout cut_layout = scan_mp3(cut_source);
    EXPECT_LE(cut_layout.data_start, cut.size());
    EXPECT_TRUE(cut_layout.tags.complete()) << "frames inside what is there are still read";

    // WAV: "id3 " with both tags wins over LIST; with a title only, LIST is taken.
    auto chunk = [](const std::string& id, const std::string& data) {
        const uint32_t n = static_cast<uint32_t>(data.size());
        return id + std::string{char(n), char(n >> 8), char(n >> 16), char(n >> 24)} + data + std::string(n % 2, '\0');
    };
    auto v1 = [](const std::string& title, const std::string& artist) {
        std::string b = "TAG" + title;
        b.resize(33, '\0');
        b += artist;
        b.resize(128, '\0');
        return b;
    };
    const std::string fmt = wav(1, 2, 48000, 16, 4, 0).substr(12, 24);
    const std::string list = chunk("LIST", "INFO" + chunk("INAM", std::string("List Title\0", 11)) + chunk("IART", "List Artist"));
    for (const bool complete : {true, false}) {
        const std::string riff_body = "WAVE" + fmt + chunk("id3 ", v1("Id3 Title", complete ? "Id3 Artist" : "")) + list +
                                      chunk("data", std::string(8, '\0'));
        const auto w = bytes("RIFF" + std::string(4, '\0') + riff_body);
        MemorySource ws(w);
        const auto layout_w = scan_wav(ws, true);
        ASSERT_TRUE(layout_w);
        EXPECT_EQ(layout_w->data_end - layout_w->data_start, 8u);
        EXPECT_EQ(*layout_w->tags.title, complete ? "Id3 Title" : "List Title");
        EXPECT_EQ(*layout_w->tags.artist, complete ? "Id3 Artist" : "List Artist");
    }
}

}  // namespace
