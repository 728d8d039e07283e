// torvalen-factory-presets: writes the factory preset files of both processors.
//
//   build/torvalen-factory-presets [FOLDER]     (default: presets/ of the source tree)
//
// Each preset below starts from the processor's defaults and changes the controls
// it lists. The tool renders the reference programme (measure/reference_programme.h)
// through `torvalen render` with every preset in a fresh settings home, and writes
// the preset's notes with what it is for and the integrated loudness and true peak
// it measured. FOLDER/one/ gets the "Torvalen One" files, FOLDER/five/ the
// "Torvalen 5" ones. The test tests/app/factory_presets_test.cpp measures again and
// compares with the notes.
#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/render.h"
#include "dsp/processor_five.h"
#include "dsp/processor_one.h"
#include "engine/settings_store.h"
#include "measure/reference_programme.h"
#include "params/preset_file.h"
#include "params/profile_file.h"

using namespace torvalen;
namespace fs = std::filesystem;

namespace {

// One control's display value (a list's item index), addressed by its captions;
// a list control's label is its item text.
struct Setting {
    std::string page, group, label;
    float value;
};

enum class Processor { one, five };

struct Preset {
    std::string file, name, purpose;
    std::vector<Setting> one, five;  // per processor
};

const std::vector<std::string> bands = {"H2", "H1", "M2", "M1", "B"};
const std::string off_on = "Off\nOn\n";

// The five per-band controls of `group`, H2 first.
std::vector<Setting> per_band(const std::string& page, const std::string& group, std::vector<float> values) {
    std::vector<Setting> out;
    for (size_t b = 0; b < 5; ++b) out.push_back({page, group, bands[b], values[b]});
    if (group == "St Enh Max") out[3].label = "M";
    return out;
}

std::vector<Setting> operator+(std::vector<Setting> a, const std::vector<Setting>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An equaliser band: frequency, Q and gain.
std::vector<Setting> eq(int band, float Hz, float q, float dB) {
    const std::string group = "EQ " + std::to_string(band);
    return {{"Para EQ", group, "Freq", Hz}, {"Para EQ", group, "Q", q},
            {"Para EQ", group, band == 1 ? "Amp  (dB)" : "Amp (dB)", dB}};
}

std::vector<Setting> eq_on() { return {{"Para EQ", "Para EQ Enable", off_on, 1}}; }

// The AGC of "Torvalen One": gate, attack, release, maximum boost.
std::vector<Setting> agc_one(float gate, float attack, float release, float boost) {
    return {{"AGC", "AGC Gate Thresh", "Thresh (dB)", gate},
            {"AGC", "AGC Timing", "Attack", attack},
            {"AGC", "AGC Timing", "Release", release},
            {"AGC", "AGC Max Boost (dB)", "B", boost}};
}

// The two-band AGC of "Torvalen 5": gate, attack, release and boost for both bands.
std::vector<Setting> agc_five(float gate, float attack, float release, float boost) {
    std::vector<Setting> out = {{"AGC", "AGC Gate Thresh", "Thresh (dB)", gate}};
    for (const char* band : {"MH", "B"}) {
        out.push_back({"AGC", "AGC Attack", band, attack});
        out.push_back({"AGC", "AGC Release", band, release});
        out.push_back({"AGC", "AGC Max Boost (dB)", band, boost});
    }
    return out;
}

// Compressor on with per-band drives; the stereo enhancer on or off.
std::vector<Setting> dynamics(bool compressor, std::vector<float> comp_drive, bool enhancer) {
    std::vector<Setting> out = {{"Compressor", "Comp Enable", off_on, compressor ? 1.0f : 0.0f},
                                {"Stereo Enhancer", "St Enh Enable", off_on, enhancer ? 1.0f : 0.0f}};
    return out + per_band("Compressor", "Comp Drive (dB)", comp_drive);
}

// Band limiter and final limiter: band-limiter drive, clip thresholds, limiter drive.
std::vector<Setting> limiting(Processor p, float mbl_drive, std::vector<float> clip, float lim_drive) {
    const std::string page = p == Processor::one ? "Band Limite" : "Band Limiter";
    return std::vector<Setting>{{page, "MBL Drive", "Drive (dB)", mbl_drive},
                                {"Limiter", "Lim Drive", "Drive  (dB)", lim_drive}} +
           per_band(page, "MBL Clip Thresh (dB)", clip);
}

std::vector<Preset> presets() {
    std::vector<Preset> list;
    const auto both = [](std::vector<Setting> shared, std::vector<Setting> one, std::vector<Setting> five) {
        return std::pair{shared + one, shared + five};
    };
    {
        auto [one, five] = both(
            dynamics(true, {4, 4, 4, 4, 5}, false) + eq_on() + eq(4, 12000, 1, 1),
            agc_one(-30, 17.5f, 18, 10) + limiting(Processor::one, 0, {3, 4, 6, 6, 3}, 1),
            agc_five(-60, 17, 18, 10) + limiting(Processor::five, 0, {3, 4, 6, 6, 3}, 1));
        list.push_back({"gentle", "Gentle",
                        "Light, transparent processing for adult contemporary, easy listening and "
                        "background music: slow AGC with little boost of quiet passages, light compression "
                        "and limiting, no stereo enhancement, so the programme keeps most of its dynamics.",
                        one, five});
    }
    {
        auto [one, five] = both(
            dynamics(true, {10, 10, 9, 9, 11}, true) + eq_on() + eq(1, 60, 1, 2) + eq(2, 300, 2, -1) +
                eq(4, 10000, 1, 3) +
                std::vector<Setting>{{"Bass Enhancer", "Bass Enhance", off_on, 1}, {"Bass Enhancer", "Bass Enhance", "Boost", 8}},
            agc_one(-30, 16, 16, 15) + limiting(Processor::one, 5, {0, 2, 4, 4, 0}, 6),
            agc_five(-60, 16, 16, 15) + limiting(Processor::five, 5, {0, 2, 4, 4, 0}, 6));
        list.push_back({"pop", "Pop",
                        "Bright, dense and loud for contemporary hit radio: firm bass with the bass enhancer, "
                        "lifted air and low end on the equaliser, strong band compression, stereo enhancement "
                        "and hard limiting for a consistent, competitive level.",
                        one, five});
    }
    {
        auto [one, five] = both(
            dynamics(true, {9, 10, 11, 11, 10}, true) + eq_on() + eq(1, 80, 1, 1) + eq(3, 2500, 2, 2) +
                std::vector<Setting>{{"Stereo Enhancer", "St Enh Width", "H2", 8},
                                     {"Stereo Enhancer", "St Enh Width", "H1", 6},
                                     {"Stereo Enhancer", "St Enh Width", "M2", 4}},
            agc_one(-30, 16.5f, 17, 15) + limiting(Processor::one, 5.5f, {0, 1, 3, 3, 0}, 6),
            agc_five(-60, 16.5f, 17, 15) + limiting(Processor::five, 5.5f, {0, 1, 3, 3, 0}, 6));
        list.push_back({"rock", "Rock",
                        "Punchy and mid-forward for rock and classic rock: presence lift around 2.5 kHz, "
                        "extra drive in the middle bands, moderate stereo enhancement and dense limiting that "
                        "keeps guitars and vocals in front.",
                        one, five});
    }
    {
        auto [one, five] = both(
            dynamics(true, {8, 8, 8, 8, 8}, false) + eq_on() + eq(1, 120, 1, -2) + eq(3, 3000, 2, 2) +
                std::vector<Setting>{{"Input", "HPF", "20Hz\n50Hz\n80Hz\n200Hz\n", 2}} +
                per_band("Compressor", "Comp RMS ntegrate", {10, 10, 10, 11, 11}),
            agc_one(-25, 15, 15, 12) + limiting(Processor::one, 3, {0, 2, 5, 5, 0}, 3),
            agc_five(-50, 15, 15, 12) + limiting(Processor::five, 3, {0, 2, 5, 5, 0}, 3));
        list.push_back({"talk", "Talk",
                        "Clear speech for news and talk radio: rumble cut at 80 Hz, less boom and more presence for "
                        "intelligibility, a fast AGC that levels voices, a higher gate so pauses and breaths "
                        "are not pulled up, no stereo enhancement and moderate limiting.",
                        one, five});
    }
    {
        auto [one, five] = both(dynamics(false, {8, 8, 8, 8, 10}, false),
                                agc_one(-35, 19, 19.5f, 6) + limiting(Processor::one, -3, {5, 6, 8, 8, 5}, -2),
                                agc_five(-65, 19, 19.5f, 6) + limiting(Processor::five, -3, {5, 6, 8, 8, 5}, -2));
        list.push_back({"classical", "Classical",
                        "Dynamic processing for classical music and jazz: a very slow AGC with little boost, compression and stereo "
                        "enhancement off, and limiters that only catch peaks, so crescendos and quiet "
                        "passages keep their range.",
                        one, five});
    }
    {
        const std::vector<Setting> power = {
            {"Power Limiter", "Power Limiter Enable", "Off\nOn (Clip On)\nOn (Clip Off)\n", 1},
            {"Power Limiter", "Power Limiter Level", "EBU R128-23\nEBU R128-18\nBS.412\n", 0},
            // The limiter holds the short-term loudness (about 0.1 s) under its level;
            // programme integrated over minutes sits 3 to 4 LU below that, so the
            // custom level is set above -23 for an integrated -23 LUFS.
            {"Power Limiter", "Power Limiter Level", "Standard\nCustom\n", 1},
            {"Power Limiter", "Power Limiter Level", "Level (dB)", -19.5f},
            {"Power Limiter", "Power Limiter Drive", "Drive (dB)", 17}};
        auto [one, five] = both(dynamics(true, {4, 4, 4, 4, 5}, false) + power,
                                agc_one(-30, 17.5f, 18, 10) + limiting(Processor::one, 0, {3, 4, 6, 6, 3}, 1),
                                agc_five(-60, 17, 18, 10) + limiting(Processor::five, 0, {3, 4, 6, 6, 3}, 1));
        list.push_back({"ebu-r128", "EBU R128 -23 LUFS",
                        "Loudness-normalised output for streams, television sound and archives: gentle "
                        "processing, then the loudness limiter driven hard at a custom level of -19.5 dB, "
                        "which holds the short-term loudness just above the EBU R128 target so that the "
                        "integrated loudness lands on -23 LUFS with ample true-peak headroom. The loudness "
                        "limiter adds 200 ms of delay.",
                        one, five});
    }
    return list;
}

const params::ControlNode* find(const params::PageTree& tree, const Setting& s) {
    for (const auto& page : tree.pages) {
        if (page.label != s.page) continue;
        for (const auto& group : page.groups) {
            if (!s.group.empty() && group.label != s.group) continue;
            for (const auto& control : group.controls)
                if (control.label == s.label) return &control;
        }
    }
    return nullptr;
}

std::string figure(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", std::fabs(v) < 0.05 ? 0.0 : v);
    return text;
}

// Builds one preset's file text with `notes` on a fresh processor; empty on error.
std::string build(Processor p, const Preset& preset, const std::vector<Setting>& settings, const std::string& notes,
                  SettingsStore& store, int serial) {
    auto instance = store.root().create("Preset" + std::to_string(serial));
    uint32_t error = 0;
    std::unique_ptr<dsp::ChainProcessor> processor;
    if (p == Processor::one) processor = dsp::ProcessorOne::create(*instance, error);
    else processor = dsp::ProcessorFive::create(*instance, error);
    if (!processor) return {};
    processor->set_unlocked(true);
    const params::PageTree& tree = processor->controls().tree();
    for (const Setting& s : settings) {
        const params::ControlNode* control = find(tree, s);
        float read = 0;
        if (!control || (processor->set_value(control->index, s.value),
                         !processor->get_value(control->index, read) || std::fabs(read - s.value) > 0.01f)) {
            std::fprintf(stderr, "%s: control %s / %s / %s cannot hold %g\n", preset.name.c_str(), s.page.c_str(),
                         s.group.c_str(), s.label.c_str(), s.value);
            return {};
        }
    }
    return params::write_preset_file(tree, preset.name, processor->identity().key_name, notes,
                                     [&](uint32_t index) -> std::optional<float> {
                                         float v = 0;
                                         if (!processor->get_value(index, v)) return std::nullopt;
                                         return v;
                                     });
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path out = argc > 1 ? fs::path(argv[1]) : fs::path(TORVALEN_SOURCE_DIR) / "presets";
    std::string error;
    std::string pattern = (fs::temp_directory_path() / "torvalen-factory.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return 1;
    const fs::path temp = pattern;
    auto store = SettingsStore::open(temp / "build.db", error);
    const fs::path reference = temp / "reference.wav";
    if (!store || !measure::write_reference_programme(reference, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    int serial = 0, failures = 0;
    for (const Preset& preset : presets()) {
        for (Processor p : {Processor::one, Processor::five}) {
            const auto& settings = p == Processor::one ? preset.one : preset.five;
            const std::string draft = build(p, preset, settings, preset.purpose, *store, ++serial);
            const fs::path draft_file = temp / "draft.fmt4";
            if (draft.empty() || !params::write_file_atomically(draft_file, draft, error)) {
                ++failures;
                continue;
            }
            RenderFigures figures;
            const fs::path home = temp / ("home" + std::to_string(serial));
            if (run_render({"--home", home.string(), "--processor", p == Processor::one ? "one" : "5",
                            "--preset-file", draft_file.string(), reference.string(), (temp / "out.wav").string()},
                           &figures) != 0 ||
                !figures.lufs) {
                ++failures;
                continue;
            }
            const std::string notes = preset.purpose + "\n\nMeasured on the reference programme (" +
                                      std::to_string(measure::reference_seconds) +
                                      " s of music, speech and quiet strings, rendered by torvalen render in a "
                                      "fresh settings home): integrated loudness " +
                                      figure(*figures.lufs) + " LUFS, true peak " + figure(figures.true_peak_dBFS) +
                                      " dBTP.";
            const fs::path file = out / (p == Processor::one ? "one" : "five") / (preset.file + ".fmt4");
            fs::create_directories(file.parent_path());
            const std::string text = build(p, preset, settings, notes, *store, ++serial);
            if (text.empty() || !params::write_file_atomically(file, text, error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                ++failures;
                continue;
            }
            std::printf("%-10s %-20s %6.1f LUFS %6.1f dBTP %6.2f dBFS  %s\n", p == Processor::one ? "One" : "5",
                        preset.name.c_str(), *figures.lufs, figures.true_peak_dBFS, figures.peak_dBFS,
                        file.c_str());
        }
    }
    store.reset();
    fs::remove_all(temp);
    return failures == 0 ? 0 : 1;
}
