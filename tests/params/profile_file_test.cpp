#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>

#include "params/preset_file.h"
#include "params/profile_file.h"
#include "test_module.h"

namespace torvalen::params {
namespace {

using testing::file_text;
using testing::put_file;
using testing::TempDir;
namespace fs = std::filesystem;

TEST(Structures, EncodeBytesInMemoryOrderWithChecksum) {
    EXPECT_EQ(encode_float_structure(1.0f), "0000803FBF");
    EXPECT_EQ(encode_u32_structure(0x20600), "0006020008");
    EXPECT_EQ(encode_u32_structure(0xFFFFFFFF), "FFFFFFFFFC");
    EXPECT_EQ(decode_float_structure("0000803FBF"), 1.0f);
    EXPECT_EQ(decode_float_structure("0000803fbf"), 1.0f) << "either case";
    for (float v : {-40.0f, 0.5f, 12345.678f, -0.0f}) {
        EXPECT_EQ(decode_float_structure(encode_float_structure(v)), v);
    }
    EXPECT_FALSE(decode_float_structure("0000803FBE")) << "checksum";
    EXPECT_FALSE(decode_float_structure("0000803FB")) << "short";
    EXPECT_FALSE(decode_float_structure("0000803FBF0")) << "long";
    EXPECT_FALSE(decode_float_structure("0000803GBF")) << "not hex";
    EXPECT_FALSE(decode_float_structure(""));
}

TEST(ProfileFiles, ReadLfCrlfAndSpacesAroundEquals) {
    const auto file = ProfileFile::parse(
        "ignored=before any section\r\n"
        "[Header]\r\n"
        "Name = Morning Drive \r\n"
        "Type=Format3\n"
        "  [ Input ]  \r"
        "Levels_Gain (dB)\t=\t0000803FBF\n"
        "no equals sign here\n"
        "Levels_Gain (dB)=00000000 00\n"
        "[header]\n"
        "Name=second\n");
    EXPECT_EQ(file.value("Header", "Name"), "Morning Drive");
    EXPECT_EQ(file.value("HEADER", "type"), "Format3") << "names compare without case";
    EXPECT_EQ(file.value("Input", "Levels_Gain (dB)"), "0000803FBF") << "the first value wins";
    EXPECT_FALSE(file.value("Header", "ignored"));
    EXPECT_FALSE(file.value("Input", "no equals sign here"));
    EXPECT_TRUE(file.has_section("input"));
    EXPECT_FALSE(file.has_section("Entries"));
}

TEST(ProfileFiles, KeysAndNotesKeepLineStructure) {
    EXPECT_EQ(preset_file_key("Processor", "Enable\nOff\nOn\n"), "Processor_Enable\\nOff\\nOn\\n");
    EXPECT_EQ(preset_file_key(std::string(100, 'g'), std::string(100, 'l')).size(), 127u);

    const std::string notes = "Line one\r\nC:\\music\\new\nend";
    const std::string encoded = encode_notes(notes);
    EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(decode_notes(encoded, notes.size()), notes);
    // Notes without line breaks are written as they are, backslashes included,
    // as older files hold them.
    EXPECT_EQ(encode_notes("C:\\new"), "C:\\new");
    EXPECT_EQ(decode_notes("C:\\new", 6), "C:\\new");
    EXPECT_EQ(decode_notes("abcdef", 3), "abc") << "the stated length limits the notes";
}

TEST(ProfileFiles, AtomicWriteReplacesWholeOrNothing) {
    TempDir dir;
    const fs::path file = dir.path() / "preset.fmt4";
    std::string error;
    ASSERT_TRUE(write_file_atomically(file, "first", error)) << error;
    ASSERT_TRUE(write_file_atomically(file, "second", error)) << error;
    EXPECT_EQ(file_text(file), "second");

    // A folder that cannot be written: the old file stays and no temporary is left.
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
        EXPECT_FALSE(write_file_atomically(file, "third", error));
        EXPECT_FALSE(error.empty());
        chmod(dir.path().c_str(), 0755);
        EXPECT_EQ(file_text(file), "second");
    }
    // A write that fails part way (the file-size limit of a full disk) in a
    // child process: the old file stays whole.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::string child_error;
        _exit(write_file_atomically(file, std::string(100000, 'x'), child_error) ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3);
    EXPECT_EQ(file_text(file), "second");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1u) << "no temporary file left";
    EXPECT_FALSE(write_file_atomically(dir.path() / "missing" / "x.fmt4", "x", error));
}

TEST(ProfileFiles, OversizedFilesAreRefusedUnread) {
    TempDir dir;
    const fs::path file = dir.path() / "big.fmt4";
    put_file(file, std::string(max_profile_file_bytes + 1, 'A'));
    std::string error;
    EXPECT_FALSE(read_file_limited(file, max_profile_file_bytes, error));
    EXPECT_FALSE(error.empty());
    put_file(file, "[Header]");
    EXPECT_EQ(read_file_limited(file, max_profile_file_bytes, error), "[Header]");
    EXPECT_FALSE(read_file_limited(dir.path() / "none.fmt4", max_profile_file_bytes, error));
}

TEST(PresetFileText, RoundTripsValuesNotesAndListKeys) {
    std::string error;
    const auto tree = build_page_tree(testing::test_table, error);
    ASSERT_TRUE(tree);
    const std::string text = write_preset_file(*tree, "Rock", testing::test_version, "Loud\nand clear",
                                               [](uint32_t index) { return std::optional(float(index % 2)); });
    EXPECT_NE(text.find("[Header]\r\nName=Rock\r\nType=Format3\r\nVersion=Test Module-v1.0.0\r\n"), std::string::npos);
    EXPECT_NE(text.find("Levels_Off\\nOn\\n=0000000000\r\n"), std::string::npos);
    EXPECT_NE(text.find("Notes Length=0E0000000E\r\n"), std::string::npos);

    const ImportedPreset imported = read_preset_file(text, *tree, testing::test_version);
    ASSERT_EQ(imported.status, FileStatus::ok);
    EXPECT_EQ(imported.name, "Rock");
    EXPECT_EQ(imported.notes, "Loud\nand clear");
    ASSERT_EQ(imported.values.size(), tree->control_count());
    for (const LoadedValue& v : imported.values) {
        const ControlNode* node = tree->find(v.index);
        const float written = float(v.index % 2);
        // Values outside a control's range fall back to its default.
        const bool in_range = written >= std::min(node->display_min, node->display_max) &&
                              written <= std::max(node->display_min, node->display_max);
        EXPECT_EQ(v.fallback, !in_range) << node->label;
        EXPECT_EQ(v.value, in_range ? written : node->default_value) << node->label;
    }
    EXPECT_EQ(read_preset_file(text, *tree, "Test Module-v0.9.0").status, FileStatus::version_mismatch);
}

}  // namespace
}  // namespace torvalen::params
