#include "app/render.h"

#include <samplerate.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>

#include "app/command_line.h"
#include "app/frame_queue.h"
#include "app/standard_modules.h"
#include "broadcast/rds_content.h"
#include "broadcast/sound_out.h"
#include "broadcast/sound_out_settings.h"
#include "dsp/detectors.h"
#include "engine/buses.h"
#include "engine/instance.h"
#include "engine/realtime.h"
#include "engine/settings_store.h"
#include "engine/virtual_device.h"
#include "engine/wav_file.h"
#include "params/page_tree.h"
#include "params/preset_bar.h"

namespace torvalen {

namespace fs = std::filesystem;

const char* const render_usage_text =
    "Usage: torvalen render [options] IN.wav OUT.wav\n"
    "\n"
    "Runs one instance over IN.wav as fast as possible and writes OUT.wav (32-bit\n"
    "float), time-aligned with the input: the engine's block and, when Sound Out\n"
    "takes the processor's output, the processor's latency are removed, so the output\n"
    "has the input's length. Other input rates are converted. The stored settings are\n"
    "read from a snapshot and never changed. Nothing is sent over a link or to a\n"
    "streaming server, and no link receiver listens.\n"
    "\n"
    "Options:\n"
    "  --home DIR             settings home to take the instance from\n"
    "  --instance NAME        the instance whose settings to use (default: the one\n"
    "                         current at the last exit, else the first)\n"
    "  --processor one|5      \"Torvalen One\" or \"Torvalen 5\"\n"
    "  --preset NAME          load this stored preset into the processor\n"
    "  --preset-file F.fmt4   import this preset file into the processor\n"
    "  --mpx                  write the 192 kHz output of the multiplex path\n"
    "\n"
    "RDS content for this run (with --mpx; the stored content is not changed):\n"
    "  --rds-pi HEX           programme identification, 1 to 4 hex digits\n"
    "  --rds-ps TEXT          fixed programme service name, up to 8 characters\n"
    "  --rds-rt TEXT          the only radiotext message, up to 63 characters\n"
    "  --rds-pty N            programme type 0 to 31\n"
    "  --rds-ptyn TEXT        programme type name, up to 8 characters (turns it on)\n"
    "  --rds-af MHZ,MHZ,...   alternative frequencies, 87.6 to 107.9 MHz, at most 25\n"
    "  --rds-ct on|off        clock time groups\n"
    "  --rds-ta on|off        traffic announcement flag\n"
    "Texts are printable ASCII.\n";

namespace {

constexpr uint32_t render_frames = 1024;  // frames per block (a multiple of 4)

constexpr std::size_t rds_ps_characters = 8;
constexpr std::size_t rds_rt_characters = broadcast::rds_text_bytes - 1;  // the end mark follows

// RDS content given on the command line; what is set replaces the stored value.
struct RdsOverrides {
    std::optional<uint16_t> pi;
    std::optional<std::string> ps, rt, ptyn;
    std::optional<uint32_t> pty;
    std::optional<std::array<uint8_t, broadcast::rds_text_bytes>> af_list;
    std::optional<bool> clock_time, ta;

    bool any() const { return pi || ps || rt || ptyn || pty || af_list || clock_time || ta; }
};

struct RenderOptions {
    fs::path home;
    std::string instance;
    std::optional<ProcessorType> processor;
    std::string preset;
    fs::path preset_file;
    bool mpx = false;
    RdsOverrides rds;
    fs::path in, out;
};

bool parse_rds_hex(const std::string& text, uint16_t& value) {
    std::string_view digits = text;
    if (!digits.empty() && (digits.back() == 'H' || digits.back() == 'h')) digits.remove_suffix(1);
    if (digits.empty() || digits.size() > 4) return false;
    for (char c : digits)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    value = static_cast<uint16_t>(broadcast::parse_hex(digits));
    return true;
}

bool parse_on_off(const std::string& text, bool& value) {
    if (text == "on") value = true;
    else if (text == "off") value = false;
    else return false;
    return true;
}

// Printable ASCII, 1 to `limit` characters.
bool valid_rds_text(const std::string& text, std::size_t limit) {
    if (text.empty() || text.size() > limit) return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// "MHZ,MHZ,...": FM frequencies on the 0.1 MHz raster from 87.6 to 107.9 MHz.
bool parse_af_list(const std::string& text, std::array<uint8_t, broadcast::rds_text_bytes>& list,
                   std::string& error) {
    std::vector<broadcast::AfEntry> entries;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        double MHz = 0.0;
        const char* end = item.data() + item.size();
        const auto [ptr, ec] = std::from_chars(item.data(), end, MHz);
        if (item.empty() || ec != std::errc() || ptr != end) {
            error = "--rds-af wants frequencies in MHz separated by commas, not \"" + item + "\"";
            return false;
        }
        const double tenths = std::round(MHz * 10.0);
        if (!(MHz >= 87.6 - 1e-6 && MHz <= 107.9 + 1e-6) || std::fabs(MHz * 10.0 - tenths) > 1e-6) {
            error = "--rds-af frequency " + item + " MHz is not on the 0.1 MHz raster from 87.6 to 107.9 MHz";
            return false;
        }
        entries.push_back({false, tenths / 10.0});
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (entries.size() > broadcast::rds_max_af_entries) {
        error = "--rds-af takes at most " + std::to_string(broadcast::rds_max_af_entries) + " frequencies, not " +
                std::to_string(entries.size());
        return false;
    }
    if (!broadcast::encode_af_list(entries, false, list)) {
        error = "--rds-af list cannot be coded";
        return false;
    }
    return true;
}

// Reads the value of one --rds-* option into `r`; false with `error` when it is bad.
bool parse_rds_option(const std::string& option, const std::string& v, RdsOverrides& r, std::string& error) {
    if (option == "--rds-pi") {
        uint16_t pi = 0;
        if (!parse_rds_hex(v, pi)) {
            error = "--rds-pi wants 1 to 4 hexadecimal digits, not \"" + v + "\"";
            return false;
        }
        r.pi = pi;
    } else if (option == "--rds-ps" || option == "--rds-ptyn") {
        if (!valid_rds_text(v, rds_ps_characters)) {
            error = option + " wants 1 to 8 printable ASCII characters, not \"" + v + "\" (" +
                    std::to_string(v.size()) + ")";
            return false;
        }
        (option == "--rds-ps" ? r.ps : r.ptyn) = v;
    } else if (option == "--rds-rt") {
        if (!valid_rds_text(v, rds_rt_characters)) {
            error = "--rds-rt wants 1 to " + std::to_string(rds_rt_characters) +
                    " printable ASCII characters, not " + std::to_string(v.size());
            return false;
        }
        r.rt = v;
    } else if (option == "--rds-pty") {
        uint32_t pty = 0;
        const auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), pty);
        if (v.empty() || ec != std::errc() || ptr != v.data() + v.size() || pty > 31) {
            error = "--rds-pty wants a programme type from 0 to 31, not \"" + v + "\"";
            return false;
        }
        r.pty = pty;
    } else if (option == "--rds-af") {
        std::array<uint8_t, broadcast::rds_text_bytes> list{};
        if (!parse_af_list(v, list, error)) return false;
        r.af_list = list;
    } else if (option == "--rds-ct" || option == "--rds-ta") {
        bool on = false;
        if (!parse_on_off(v, on)) {
            error = option + " wants on or off, not \"" + v + "\"";
            return false;
        }
        (option == "--rds-ct" ? r.clock_time : r.ta) = on;
    } else {
        error = "unknown render option " + option;
        return false;
    }
    return true;
}

bool parse(const std::vector<std::string>& args, RenderOptions& o, std::string& error) {
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            v = args[++i];
            return true;
        };
        std::string v;
        if (a == "--home") {
            if (!value(v)) return false;
            o.home = v;
        } else if (a == "--instance") {
            if (!value(o.instance)) return false;
        } else if (a == "--processor") {
            if (!value(v)) return false;
            if (v == "one") o.processor = processor_one;
            else if (v == "5") o.processor = processor_five;
            else {
                error = "--processor wants one or 5";
                return false;
            }
        } else if (a == "--preset") {
            if (!value(o.preset)) return false;
        } else if (a == "--preset-file") {
            if (!value(v)) return false;
            o.preset_file = v;
        } else if (a == "--mpx") {
            o.mpx = true;
        } else if (a.starts_with("--rds-")) {
            if (!value(v) || !parse_rds_option(a, v, o.rds, error)) return false;
        } else if (!a.empty() && a[0] == '-') {
            error = "unknown render option " + a;
            return false;
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 2) {
        error = "render wants an input and an output file";
        return false;
    }
    if (!o.preset.empty() && !o.preset_file.empty()) {
        error = "--preset and --preset-file exclude each other";
        return false;
    }
    if (o.rds.any() && !o.mpx) {
        error = "the --rds-* options need --mpx";
        return false;
    }
    o.in = files[0];
    o.out = files[1];
    return true;
}

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "torvalen-render.XXXXXX").string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A consistent copy of the settings file, taken without writing to the original.

// Puts the input into `queue` as interleaved stereo at `rate_Hz`, followed by
// `pad_frames` of silence, and closes it. Returns the input's length at `rate_Hz` in
// frames, or -1 (the queue is then cancelled).
int64_t feed_input(WavReader& reader, uint32_t rate_Hz, uint64_t pad_frames, FrameQueue& queue,
                   std::string& error) {
    constexpr size_t chunk = 8192;
    std::vector<float> in(2 * chunk), out;
    int64_t frames = 0;
    auto fail = [&](std::string why) {
        error = std::move(why);
        queue.cancel();
        return int64_t{-1};
    };
    if (reader.sample_rate() == rate_Hz) {
        while (size_t n = reader.read(in)) {
            if (!queue.put(std::span<const float>(in).first(2 * n))) return -1;
            frames += static_cast<int64_t>(n);
        }
    } else {
        const double ratio = static_cast<double>(rate_Hz) / reader.sample_rate();
        int src_error = 0;
        // libsamplerate's medium sinc: the same 97 dB SNR as its best, flat over 90 % of
        // the band (19.8 kHz of a 44.1 kHz file, 21.6 kHz of a 48 kHz one: above the
        // 15 kHz of FM), at a fraction of the cost. The best one held a multiplex render
        // (a 48 kHz file converted to 192 kHz) to its own speed.
        std::unique_ptr<SRC_STATE, SRC_STATE* (*)(SRC_STATE*)> src(src_new(SRC_SINC_MEDIUM_QUALITY, 2, &src_error),
                                                                   src_delete);
        if (!src) return fail(std::string("cannot convert the sample rate: ") + src_strerror(src_error));
        out.resize(2 * (static_cast<size_t>(chunk * ratio) + 64));
        bool end = false;
        while (!end) {
            size_t n = reader.read(in);
            end = n < chunk;
            // libsamplerate works at full scale 1.
            for (size_t i = 0; i < 2 * n; ++i) in[i] *= 1.0f / 2147483648.0f;
            SRC_DATA data{};
            data.data_in = in.data();
            data.input_frames = static_cast<long>(n);
            data.src_ratio = ratio;
            data.end_of_input = end ? 1 : 0;
            do {
                data.data_out = out.data();
                data.output_frames = static_cast<long>(out.size() / 2);
                if (int e = src_process(src.get(), &data); e != 0)
                    return fail(std::string("sample rate conversion failed: ") + src_strerror(e));
                for (long i = 0; i < 2 * data.output_frames_gen; ++i) out[i] *= 2147483648.0f;
                if (!queue.put(std::span<const float>(out).first(2 * data.output_frames_gen))) return -1;
                frames += data.output_frames_gen;
                data.data_in += 2 * data.input_frames_used;
                data.input_frames -= data.input_frames_used;
            } while (data.input_frames > 0 || (end && data.output_frames_gen > 0));
        }
    }
    std::vector<float> silence(2 * chunk, 0.0f);
    for (uint64_t left = pad_frames; left > 0;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, chunk));
        if (!queue.put(std::span<const float>(silence).first(2 * n))) return -1;
        left -= n;
    }
    queue.close();
    return frames;
}

// Integrated loudness after BS.1770: K-weighted mean square in 400 ms blocks with
// 75 % overlap, absolute gate -70 LUFS, relative gate -10 LU.
class IntegratedLoudness {
public:
    void add(float l, float r) {
        k_.process(l, r);
        const double x = static_cast<double>(l) / dsp::full_scale, y = static_cast<double>(r) / dsp::full_scale;
        sum_ += x * x + y * y;
        if (++count_ == step_frames) {
            steps_.push_back(sum_ / step_frames);
            sum_ = 0;
            count_ = 0;
        }
    }
    std::optional<double> lufs() const {
        std::vector<double> blocks;
        for (size_t i = 3; i < steps_.size(); ++i)
            blocks.push_back((steps_[i] + steps_[i - 1] + steps_[i - 2] + steps_[i - 3]) / 4.0);
        auto loudness = [](double z) { return -0.691 + 10.0 * std::log10(std::max(z, 1e-30)); };
        auto gated_mean = [&](double gate) -> std::optional<double> {
            double sum = 0;
            size_t n = 0;
            for (double z : blocks)
                if (loudness(z) > gate) sum += z, ++n;
            if (n == 0) return std::nullopt;
            return sum / static_cast<double>(n);
        };
        auto absolute = gated_mean(-70.0);
        if (!absolute) return std::nullopt;
        auto relative = gated_mean(loudness(*absolute) - 10.0);
        return relative ? std::optional(loudness(*relative)) : std::nullopt;
    }

private:
    static constexpr uint32_t step_frames = 4800;  // 100 ms at 48 kHz
    dsp::KWeighting k_;
    double sum_ = 0;
    uint32_t count_ = 0;
    std::vector<double> steps_;
};

std::string dB_text(double v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", v);
    return buffer;
}

// Puts the multiplex path on for the run and the overrides into the RDS content
// (under the content lock; the modulator takes them with its next group).
void apply_mpx(broadcast::SoundOut& sound_out, const RdsOverrides& r) {
    sound_out.set_value(broadcast::control_input_mode, 1.0f);
    if (!r.any()) return;
    sound_out.set_value(broadcast::control_rds_enable, 1.0f);
    broadcast::RdsContent& c = sound_out.rds_content();
    {
        std::lock_guard guard(c.lock);
        if (r.pi) c.pi = *r.pi;
        if (r.pty) c.pty = *r.pty;
        if (r.ps) {
            c.ps_mode = 0;
            c.fixed_ps = *r.ps;
            c.fixed_ps.resize(rds_ps_characters, ' ');
        }
        if (r.rt) {
            // The radiotext is the rotation's one item: a user text holding it.
            c.user_texts[0] = *r.rt;
            c.items.fill(0);
            c.items[0] = broadcast::item_user_text;
            c.item_count = 1;
            c.rt_position = 0;
            c.ps_position = 0;
            c.rt_enable = 1;
        }
        if (r.ptyn) {
            c.ptyn = *r.ptyn;
            c.ptyn.resize(rds_ps_characters, ' ');
            c.ptyn_enable = 1;
        }
        if (r.af_list) c.af_list = *r.af_list;
        if (r.clock_time) c.clock_on = *r.clock_time ? 1 : 0;
    }
    if (r.ta) c.ta.store(*r.ta ? 1 : 0);
}

// Where the output comes from: the bus Sound Out's "Input Select" takes (as its
// engine reads it) and that item's text. Without a Sound Out, the processor.
struct OutputSource {
    uint32_t bus = bus_proc;
    std::string name;
};

OutputSource output_source(Instance& instance) {
    OutputSource source;
    auto* sound_out = dynamic_cast<broadcast::SoundOut*>(instance.sound_out());
    float select = 0.0f;
    if (!sound_out || !sound_out->get_value(broadcast::control_input_select, select)) return source;
    source.bus = std::min<uint32_t>(static_cast<uint32_t>(select), bus_proc);
    const auto items = params::list_items(broadcast::sound_out_controls()[broadcast::control_input_select]);
    if (items && source.bus < items->size()) source.name = (*items)[source.bus];
    return source;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "torvalen render: %s\n", message.c_str());
    return 1;
}

}  // namespace

int run_render(const std::vector<std::string>& args, RenderFigures* figures) {
    if (std::find(args.begin(), args.end(), "--help") != args.end()) {
        std::fputs(render_usage_text, stdout);
        return 0;
    }
    // Offline: never compete with a live processor on this machine.
    set_realtime_wanted(false);
    RenderOptions o;
    std::string error;
    if (!parse(args, o, error)) {
        std::fprintf(stderr, "torvalen render: %s (see torvalen render --help)\n", error.c_str());
        return 2;
    }
    auto reader = WavReader::open(o.in, error);
    if (!reader) return fail(error);
    if (reader->sample_rate() < 8000 || reader->sample_rate() > 384000)
        return fail(o.in.string() + " runs at " + std::to_string(reader->sample_rate()) +
                    " Hz; 8000 to 384000 Hz can be converted");

    TempFolder temp;
    if (temp.path().empty()) return fail("cannot create a temporary folder");

    // The instance comes from a snapshot of the stored settings: the render never
    // changes them, and a running copy of the program is not disturbed.
    const fs::path home = o.home.empty() ? default_settings_home() : o.home;
    const fs::path stored = home / "settings.db";
    const fs::path snapshot = temp.path() / "settings.db";
    if (fs::exists(stored) && !snapshot_settings_file(stored, snapshot, error)) return fail(error);
    auto store = SettingsStore::open(snapshot, error, SettingsStore::Durability::scratch);
    if (!store) return fail(error);
    auto root = store->root().create("Software");
    auto tree = root ? root->create("Torv3") : std::nullopt;
    auto instances = tree ? tree->create("Instances") : std::nullopt;
    if (!instances) return fail("cannot read the settings tree");

    std::string name = o.instance;
    if (name.empty()) {
        const auto names = instances->subkeys();
        std::string saved;
        if (auto main = tree->open("Persist")) {
            if (auto m = main->open("Main")) m->read_text("Saved_Inst_Name", saved);
        }
        if (!saved.empty() && std::find(names.begin(), names.end(), saved) != names.end()) name = saved;
        else if (!names.empty()) name = names.front();
        else name = "Render";
    } else if (!instances->open(name)) {
        return fail("there is no instance \"" + name + "\" in " + stored.string());
    }
    if (o.processor) instances->create(name)->write_dword_in("ProcType", *o.processor);

    // With --preset the snapshot receives the factory presets like a running program's
    // settings, so --preset can name one in a fresh settings home. Nothing else in a
    // render reads them, and installing them costs a noticeable part of a short render.
    StandardModules modules({data_folder(o.home), true});
    if (!o.preset.empty()) modules.offer_factory_presets(find_factory_presets());
    auto instance = Instance::create(*instances, name, modules, error);
    if (!instance) return fail(error);
    instance->set_unlocked(true);
    instance->set_meters_shown(false);  // nobody sees them

    if (!o.preset.empty() || !o.preset_file.empty()) {
        ProcessorModule* processor = instance->processor();
        params::PresetBar* bar = processor ? processor->module_presets() : nullptr;
        if (!bar) return fail("this build has no processor with presets");
        const auto outcome = o.preset.empty() ? bar->import_preset(o.preset_file) : bar->choose_preset(o.preset);
        if (!outcome.ok) return fail(outcome.message.empty() ? "the preset could not be loaded" : outcome.message);
    }
    if (o.mpx) {
        auto* sound_out = dynamic_cast<broadcast::SoundOut*>(instance->sound_out());
        if (!sound_out) return fail("this instance has no Sound Out for the multiplex");
        apply_mpx(*sound_out, o.rds);
    }

    const uint32_t rate = o.mpx ? mpx_rate_Hz : chain_rate_Hz;
    // A processor knows its latency once it has run a block with its settings:
    // one block of silence tells it before the file goes through.
    {
        VirtualDeviceConfig probe;
        probe.sample_rate_Hz = rate;
        probe.frame_size = render_frames;
        probe.freewheel = true;
        probe.length_frames = render_frames;
        auto device = VirtualDevice::open(probe, error);
        if (!device || !device->start(*instance, error)) return fail(error);
        device->wait_finished();
        device->stop();
    }
    // Only the latency of the path the output takes is removed: from Sound In (or
    // a source that has nothing to do with the input) no processor is in it.
    const OutputSource source = output_source(*instance);
    const bool through_processor = source.bus == bus_proc;
    const uint32_t latency_48k = through_processor ? instance->processor_latency_samples() : 0;
    const uint64_t latency = static_cast<uint64_t>(latency_48k) * (rate / chain_rate_Hz);
    // Three threads: this one reads and converts the input into the engine's queue,
    // the device thread runs the engine, and a writer drops the latency from the front
    // of the output, measures it and writes it. Reading and writing stay off the
    // engine's thread, and nothing goes through a temporary file.
    const fs::path partial = o.out.string() + ".partial";
    auto writer = WavWriter::create(partial, rate, error);
    if (!writer) return fail(error);
    FrameQueue input(2 * 65536), output(2 * 65536);

    VirtualDeviceConfig config;
    config.sample_rate_Hz = rate;
    config.frame_size = render_frames;
    config.freewheel = true;
    config.feed = [&input](std::span<float> block) { return input.take(block) / 2; };
    config.sink = [&output](std::span<const float> block) { output.put(block); };
    if (o.mpx) {
        // The RDS groups of every block are built before the next: rendered as
        // fast as the engine runs, none is skipped or repeated.
        if (auto* sound_out = dynamic_cast<broadcast::SoundOut*>(instance->sound_out()))
            config.after_block = [sound_out] { sound_out->rds_modulator().wait_refills(2000); };
    }
    auto device = VirtualDevice::open(config, error);
    if (!device) return fail(error);

    double peak = 0, true_peak = 0;
    IntegratedLoudness loudness;
    std::atomic<bool> write_failed{false};
    std::thread write_thread([&] {
        std::vector<float> buffer(2 * 8192);
        // The true peaks in runs of frames, side by side in vector lanes: this thread
        // shares the machine with the engine's.
        dsp::TruePeakRun oversampler;
        auto fold_true_peaks = [&] {
            const std::size_t n = oversampler.measure();
            float run_peak = 0.0f;
            for (std::size_t i = 0; i < n; ++i)
                run_peak = std::max({run_peak, oversampler.peak_l(i), oversampler.peak_r(i)});
            true_peak = std::max(true_peak, static_cast<double>(run_peak));
        };
        uint64_t skip = latency;
        while (size_t got = output.take(buffer)) {
            const size_t dropped = static_cast<size_t>(std::min<uint64_t>(skip, got / 2));
            skip -= dropped;
            const std::span<const float> kept = std::span<const float>(buffer).first(got).subspan(2 * dropped);
            if (kept.empty() || write_failed.load(std::memory_order_relaxed)) continue;  // drained, so the engine never waits
            float block_peak = 0.0f;
            for (size_t i = 0; i + 1 < kept.size(); i += 2) {
                block_peak = std::max({block_peak, std::fabs(kept[i]), std::fabs(kept[i + 1])});
                if (!o.mpx) loudness.add(kept[i], kept[i + 1]);
                if (oversampler.add(kept[i], kept[i + 1])) fold_true_peaks();
            }
            peak = std::max(peak, static_cast<double>(block_peak));
            if (!writer->write(kept)) write_failed.store(true, std::memory_order_relaxed);
        }
        if (oversampler.size() > 0) fold_true_peaks();
    });
    // Ends the writer however the render ends: the device has stopped by then.
    auto finish_writer = [&] {
        output.close();
        if (write_thread.joinable()) write_thread.join();
    };

    if (!device->start(*instance, error)) {
        input.cancel();
        finish_writer();
        fs::remove(partial);
        return fail(error);
    }
    const uint64_t total_blocks = (reader->frames() * rate / reader->sample_rate() + latency) / render_frames + 1;
    int64_t frames = -1;
    std::string read_error;
    std::thread read_thread([&] { frames = feed_input(*reader, rate, latency, input, read_error); });
    const bool show_progress = total_blocks > 2000;  // about 40 s of audio at 48 kHz
    int shown = -1;
    while (!device->finished() && !write_failed.load(std::memory_order_relaxed)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // often: a short file is done in milliseconds
        const int percent = static_cast<int>(100 * device->blocks() / total_blocks);
        if (show_progress && percent / 10 != shown / 10) {
            std::fprintf(stderr, "torvalen render: %d %%\n", percent);
            shown = percent;
        }
    }
    input.cancel();  // a device stopped early never waits for more input, nor the reader for room
    read_thread.join();
    reader.reset();
    device->stop();
    finish_writer();
    Instance::destroy(std::move(instance), false);
    if (write_failed || frames < 0) {
        fs::remove(partial);
        return fail(write_failed ? "cannot write " + o.out.string() : read_error);
    }
    const bool complete = writer->frames() == static_cast<uint64_t>(frames);
    if (!writer->close() || !complete) {
        fs::remove(partial);
        return fail("cannot write " + o.out.string());
    }
    std::error_code ec;
    fs::rename(partial, o.out, ec);
    if (ec) {
        fs::remove(partial);
        return fail("cannot write " + o.out.string() + ": " + ec.message());
    }

    const std::string removed =
        through_processor ? "processor latency " + std::to_string(latency_48k) + " samples (" +
                                dB_text(1000.0 * latency_48k / chain_rate_Hz) + " ms) removed"
                          : "output from \"" + source.name + "\", no processor latency in its path";
    true_peak = std::max(true_peak, peak);
    auto dB_or_inf = [](double level) {
        return level > 0 ? dB_text(20.0 * std::log10(level / dsp::full_scale)) : std::string("-inf");
    };
    std::string report = "torvalen render: " + std::to_string(frames) + " frames at " + std::to_string(rate) +
                         " Hz; " + removed + "; peak " + dB_or_inf(peak) + " dBFS, true peak " +
                         dB_or_inf(true_peak) + " dBTP";
    const auto lufs = o.mpx ? std::nullopt : loudness.lufs();
    if (!o.mpx)
        report += "; integrated loudness " + (lufs ? dB_text(*lufs) + " LUFS" : std::string("below the gate"));
    if (figures) {
        figures->frames = static_cast<uint64_t>(frames);
        if (peak > 0) figures->peak_dBFS = 20.0 * std::log10(peak / dsp::full_scale);
        if (true_peak > 0) figures->true_peak_dBFS = 20.0 * std::log10(true_peak / dsp::full_scale);
        figures->lufs = lufs;
    }
    std::printf("%s\n", report.c_str());
    return 0;
}

}  // namespace torvalen
