// The factory presets: each file imports whole, its notes state the loudness and
// true peak that `torvalen render` measures on the reference programme, and the
// preset bars of a fresh settings home receive them without overwriting a user's
// preset of the same name.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/render.h"
#include "dsp/processor_five.h"
#include "dsp/processor_one.h"
#include "engine/settings_store.h"
#include "measure/reference_programme.h"
#include "params/preset_file.h"
#include "tests/support/temp_dir.h"

namespace torvalen {
namespace {

namespace fs = std::filesystem;

const fs::path source_presets = fs::path(TORVALEN_SOURCE_DIR) / "presets";

std::vector<fs::path> preset_files(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() == ".fmt4") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::unique_ptr<dsp::ChainProcessor> make_processor(bool one, const SettingsKey& instance,
                                                    const fs::path& factory = {}) {
    uint32_t error = 0;
    std::unique_ptr<dsp::ChainProcessor> p;
    if (one) p = dsp::ProcessorOne::create(instance, error, factory);
    else p = dsp::ProcessorFive::create(instance, error, factory);
    if (p) p->set_unlocked(true);
    return p;
}

TEST(FactoryPresets, NotesStateWhatTheReferenceProgrammeMeasures) {
    testing::TempDir temp;
    ASSERT_TRUE(temp.ok());
    std::string error;
    const fs::path reference = temp / "reference.wav";
    ASSERT_TRUE(measure::write_reference_programme(reference, error)) << error;
    auto store = SettingsStore::open(temp / "tree.db", error);
    ASSERT_TRUE(store) << error;
    const std::regex figures_in_notes("integrated loudness (-?[0-9]+\\.[0-9]) LUFS, true peak (-?[0-9]+\\.[0-9]) dBTP");

    for (const bool one : {true, false}) {
        const fs::path folder = source_presets / (one ? "one" : "five");
        const auto files = preset_files(folder);
        EXPECT_GE(files.size(), 6u) << folder;
        auto processor = make_processor(one, *store->root().create(one ? "One" : "Five"));
        ASSERT_TRUE(processor);
        std::map<std::string, double> loudness;
        for (const fs::path& file : files) {
            SCOPED_TRACE(file.string());
            // Every control is in the file with a valid value: nothing falls back.
            const params::ImportedPreset preset = params::read_preset_file(
                testing::read_file(file), processor->controls().tree(), processor->identity().key_name);
            ASSERT_EQ(preset.status, params::FileStatus::ok);
            EXPECT_TRUE(std::none_of(preset.values.begin(), preset.values.end(),
                                     [](const params::LoadedValue& v) { return v.fallback; }));
            EXPECT_FALSE(preset.name.empty());
            std::smatch noted;
            ASSERT_TRUE(std::regex_search(preset.notes, noted, figures_in_notes)) << preset.notes;
            EXPECT_NE(preset.notes.find(" for "), std::string::npos) << "the notes say what the preset is for";

            RenderFigures measured;
            ASSERT_EQ(run_render({"--home", (temp / ("home-" + file.stem().string())).string(), "--processor",
                                  one ? "one" : "5", "--preset-file", file.string(), reference.string(),
                                  (temp / "out.wav").string()},
                                 &measured),
                      0);
            ASSERT_TRUE(measured.lufs);
            EXPECT_NEAR(*measured.lufs, std::stod(noted[1]), 0.5) << preset.name;
            EXPECT_NEAR(measured.true_peak_dBFS, std::stod(noted[2]), 0.5) << preset.name;
            loudness[preset.name] = *measured.lufs;
        }
        // Each preset does what its name says: the loudness one holds its target,
        // the dense ones are louder than the dynamic ones.
        ASSERT_EQ(loudness.count("EBU R128 -23 LUFS"), 1u);
        EXPECT_NEAR(loudness["EBU R128 -23 LUFS"], -23.0, 1.0);
        EXPECT_GT(loudness["Pop"], loudness["Gentle"] + 1.0);
        EXPECT_GT(loudness["Rock"], loudness["Classical"] + 1.0);
    }
}

TEST(FactoryPresets, FreshHomeReceivesThemOnceAndUserPresetsStay) {
    testing::TempDir temp;
    ASSERT_TRUE(temp.ok());
    // The program and `render` find the source tree's presets from the build folder.
    const fs::path folder = find_factory_presets();
    ASSERT_FALSE(folder.empty());
    EXPECT_TRUE(fs::equivalent(folder, source_presets)) << folder;
    std::string error;
    auto store = SettingsStore::open(temp / "settings.db", error);
    ASSERT_TRUE(store) << error;
    const SettingsKey instance = *store->root().create("Studio");
    const auto names_in = [](const fs::path& dir, const params::PageTree& tree, std::string_view version) {
        std::map<std::string, params::ImportedPreset> out;
        for (const fs::path& file : preset_files(dir)) {
            auto preset = params::read_preset_file(testing::read_file(file), tree, version);
            out[preset.name] = preset;
        }
        return out;
    };

    // The user's own "Pop" exists before the factory presets arrive.
    {
        auto p = make_processor(true, instance);
        ASSERT_TRUE(p);
        p->preset_bar().set_notes("my own pop");
        ASSERT_TRUE(p->preset_bar().save_preset("Pop").ok);
    }
    std::map<std::string, params::ImportedPreset> one_files;
    {
        auto p = make_processor(true, instance, folder);
        ASSERT_TRUE(p);
        one_files = names_in(folder / "one", p->controls().tree(), p->identity().key_name);
        const auto list = p->preset_bar().preset_names();
        for (const auto& [name, file] : one_files)
            EXPECT_NE(std::find(list.begin(), list.end(), name), list.end()) << name;
        EXPECT_EQ(list.size(), one_files.size());  // the user's "Pop" is one of them, not a second
        ASSERT_TRUE(p->preset_bar().choose_preset("Pop").ok);
        EXPECT_EQ(p->preset_bar().notes(), "my own pop");
        // A stored factory preset loads the file's values and notes.
        ASSERT_TRUE(p->preset_bar().choose_preset("Gentle").ok);
        EXPECT_EQ(p->preset_bar().notes(), one_files["Gentle"].notes);
        for (const params::LoadedValue& v : one_files["Gentle"].values) {
            float now = 0;
            ASSERT_TRUE(p->get_value(v.index, now));
            EXPECT_EQ(now, v.value) << v.index;
        }
        ASSERT_TRUE(p->preset_bar().delete_preset("Rock").ok);
        ASSERT_TRUE(p->preset_bar().delete_preset("Pop").ok);
    }
    // Offered once: deleted presets stay deleted on the next start.
    {
        auto p = make_processor(true, instance, folder);
        ASSERT_TRUE(p);
        const auto list = p->preset_bar().preset_names();
        EXPECT_EQ(std::count(list.begin(), list.end(), "Rock"), 0);
        EXPECT_EQ(std::count(list.begin(), list.end(), "Pop"), 0);
        EXPECT_EQ(list.size(), one_files.size() - 2);
    }
    // The other processor's key receives its own set.
    {
        auto p = make_processor(false, instance, folder);
        ASSERT_TRUE(p);
        const auto five_files = names_in(folder / "five", p->controls().tree(), p->identity().key_name);
        EXPECT_GE(five_files.size(), 6u);
        EXPECT_EQ(p->preset_bar().preset_names().size(), five_files.size());
        ASSERT_TRUE(p->preset_bar().choose_preset("Talk").ok);
        EXPECT_EQ(p->preset_bar().notes(), five_files.at("Talk").notes);
    }
}

}  // namespace
}  // namespace torvalen
