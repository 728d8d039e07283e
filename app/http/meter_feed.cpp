#include "app/http/meter_feed.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "app/http/json.h"
#include "broadcast/sound_out.h"
#include "broadcast/sound_out_settings.h"
#include "dsp/chain_processor.h"
#include "measure/analyser.h"
#include "measure/analyser_settings.h"
#include "measure/sound_in.h"
#include "stl/stl_rx.h"
#include "stl/stl_tx.h"
#include "stream/stream_tx.h"

namespace torvalen::http {

namespace {

using measure::MeterKind;
using measure::MeterRecord;
using K = MeterKind;

constexpr uint32_t sound_in_page = 0;
constexpr uint32_t stl_rx_page = 2;
constexpr uint32_t sound_out_page = 4;
constexpr uint32_t stl_tx_page = 5;
constexpr uint32_t stream_tx_page = 6;

constexpr std::array<MeterRecord, 3> sound_in_layout = {{
    {"Meters", K::root, 1, 0},
    {"Input", K::meter_group, 1, 40},
    {"Lvl", K::level, 6, 40},
}};

// Sound Out's 18 values: input levels (6), loudness twice, power-control gain, MPX
// power, deviation L and R, output levels (6).
constexpr std::array<MeterRecord, 13> sound_out_layout = {{
    {"Meters", K::root, 6, 0},
    {"Input", K::meter_group, 1, 40},
    {"Lvl", K::level, 6, 40},
    {"Loudness", K::meter_group, 1, 40},
    {"LKFS", K::level, 2, 40},
    {"Pwr Limit", K::meter_group, 1, 20},
    {"GR", K::gain_reduction, 1, 20},
    {"MPX Power", K::meter_group, 1, 20},
    {"Pwr", K::level, 1, 20},
    {"Deviation", K::meter_group, 1, 100},
    {"Dev", K::deviation, 2, 100},
    {"Output", K::meter_group, 1, 40},
    {"Lvl", K::level, 6, 40},
}};

constexpr std::array<MeterRecord, 3> analyser_layout = {{
    {"Meters", K::root, 1, 0},
    {"Input", K::meter_group, 1, 40},
    {"Lvl", K::level, 6, 40},
}};

// A deviation value is the MPX peak as a fraction of full scale; full scale is a
// deviation of 100 kHz (the 0.75 of the output stage makes 75 kHz).
constexpr float deviation_kHz_per_unit = 100.0f;

// Accepted decays: the ones the stored "Decay" value can carry.
constexpr std::array<uint32_t, 5> stored_decays = {5, 10, 20, 40, 80};
constexpr uint32_t max_hold_ticks = 1000;
constexpr float max_range_dB = 1000.0f;
constexpr float min_zoom = 1.0f, max_zoom = 1000.0f;
constexpr float max_offset = 1000.0f;

// The positions are fractions of a meter of a few hundred pixels: four decimals
// are more than the eye can see and keep the event small.
// Adding 0.0 turns a negative zero into "0".
double round4(float v) { return std::round(static_cast<double>(v) * 1.0e4) / 1.0e4 + 0.0; }
double round1(float v) { return std::round(static_cast<double>(v) * 10.0) / 10.0 + 0.0; }

std::span<const MeterRecord> processor_layout(const dsp::ChainProcessor& processor) {
    for (auto layout : {measure::processor_one_meter_layout(), measure::processor_five_meter_layout()})
        if (measure::layout_value_count(layout) == processor.identity().meter_count) return layout;
    return {};
}

// The module behind a page and its layout (cheap: no settings access).
struct Source {
    const void* module = nullptr;
    std::span<const MeterRecord> layout;
};

std::optional<Source> source_of(Instance& instance, uint32_t page) {
    switch (page) {
        case sound_in_page:
            if (auto* m = dynamic_cast<measure::SoundIn*>(instance.sound_in())) return Source{m, sound_in_layout};
            break;
        case processor_page:
            if (auto* m = dynamic_cast<dsp::ChainProcessor*>(instance.processor())) {
                const auto layout = processor_layout(*m);
                if (!layout.empty()) return Source{m, layout};
            }
            break;
        case sound_out_page:
            if (auto* m = dynamic_cast<broadcast::SoundOut*>(instance.sound_out())) return Source{m, sound_out_layout};
            break;
        case analyser_page:
            if (auto* m = dynamic_cast<measure::Analyser*>(instance.analyser())) return Source{m, analyser_layout};
            break;
        // The link's pages show the level of what they send or receive.
        case stl_rx_page:
            if (auto* m = dynamic_cast<stl::StlRx*>(instance.stl_rx())) return Source{m, sound_in_layout};
            break;
        case stl_tx_page:
            if (auto* m = dynamic_cast<stl::StlTx*>(instance.stl_tx())) return Source{m, sound_in_layout};
            break;
        // Stream TX meters what goes to its encoders.
        case stream_tx_page:
            if (auto* m = dynamic_cast<stream::StreamTx*>(instance.stream_tx())) return Source{m, sound_in_layout};
            break;
        default: break;
    }
    return std::nullopt;
}

// The settings key of the module behind a page, where its panel keeps its settings.
std::optional<SettingsKey> module_key(Instance& instance, uint32_t page) {
    const SettingsKey instance_key = instance.key();
    switch (page) {
        case sound_in_page:
            if (auto* m = dynamic_cast<measure::SoundIn*>(instance.sound_in())) return m->key();
            break;
        case processor_page:
            if (auto* m = dynamic_cast<dsp::ChainProcessor*>(instance.processor()))
                return instance_key.open(m->identity().key_name);
            break;
        case sound_out_page: return instance_key.open(broadcast::sound_out_key_name);
        case analyser_page: return instance_key.open(measure::analyser_key_name);
        case stl_rx_page: return instance_key.open(stl::rx_key_name);
        case stl_tx_page: return instance_key.open(stl::tx_key_name);
        case stream_tx_page: return instance_key.open(stream::stream_tx_key_name);
        default: break;
    }
    return std::nullopt;
}

// The number an engineer reads off a meter item: the louder true peak of a level
// meter, a plain level (loudness in LUFS, MPX power in dB), the deviation in kHz,
// the larger gain reduction, the AGC's gain. Empty for the others.
std::string read_out(K kind, std::string_view name, std::span<const float> v) {
    if (v.empty()) return {};
    char text[32];
    switch (kind) {
        case K::level:
            if (v.size() >= 6) std::snprintf(text, sizeof text, "%.1f dB", std::max(v[0], v[1]));
            else if (name.find("LK") != std::string_view::npos || name.find("LU") != std::string_view::npos)
                // Sound Out's loudness meters are momentary (the mean of the last 400 ms).
                std::snprintf(text, sizeof text, "%.1f LUFS (400 ms)", v[0]);
            else std::snprintf(text, sizeof text, "%.1f dB", v[0]);
            break;
        case K::deviation:
            std::snprintf(text, sizeof text, "%.1f kHz", deviation_kHz_per_unit * *std::max_element(v.begin(), v.end()));
            break;
        case K::gain_reduction:
            std::snprintf(text, sizeof text, "%.1f dB", v.size() >= 2 ? std::min(v[0], v[1]) : v[0]);
            break;
        case K::agc_gain:
            // The sign carries the gate; 20 dB is a gain of 0 dB.
            std::snprintf(text, sizeof text, "%+.1f dB", std::fabs(v[0]) - 20.0f);
            break;
        default: return {};
    }
    return text;
}

void write_positions(Json& j, std::span<const float> positions) {
    j.begin_array();
    for (float p : positions) j.value(round4(p));
    j.end_array();
}

}  // namespace

std::span<const MeterRecord> sound_in_meter_layout() { return sound_in_layout; }
std::span<const MeterRecord> sound_out_meter_layout() { return sound_out_layout; }
std::span<const MeterRecord> analyser_meter_layout() { return analyser_layout; }

struct MeterFeed::Panel {
    Panel(const Instance* i, uint32_t p, const Source& s, std::optional<SettingsKey> k)
        : instance(i), page(p), module(s.module), layout(s.layout), key(std::move(k)), meters(s.layout) {}

    const Instance* instance;
    uint32_t page;
    const void* module;
    std::span<const MeterRecord> layout;
    std::optional<SettingsKey> key;
    measure::MeterPanel meters;
    uint64_t ticks = 0;
    uint64_t sequence = 0;  // the value set last handed to the panel
};

MeterFeed::MeterFeed() : frame_(std::make_unique<measure::AnalyserFrame>()) {}
MeterFeed::~MeterFeed() = default;

MeterFeed::Panel* MeterFeed::panel_for(Instance& instance, uint32_t page) {
    const std::optional<Source> source = source_of(instance, page);
    auto at = std::find_if(panels_.begin(), panels_.end(), [&](const auto& p) {
        return p->instance == &instance && p->page == page;
    });
    if (!source) {
        if (at != panels_.end()) panels_.erase(at);
        return nullptr;
    }
    if (at != panels_.end()) {
        if ((*at)->module == source->module && (*at)->layout.data() == source->layout.data()) return at->get();
        panels_.erase(at);  // the slot holds another module now
    }
    auto panel = std::make_unique<Panel>(&instance, page, *source, module_key(instance, page));
    if (!panel->meters.valid()) return nullptr;
    if (panel->key) panel->meters.load(*panel->key);
    panels_.push_back(std::move(panel));
    return panels_.back().get();
}

MeterFeed::InstanceTaken& MeterFeed::taken_for(const Instance& instance) {
    for (auto& t : taken_)
        if (t->instance == &instance) return *t;
    auto t = std::make_unique<InstanceTaken>();
    t->instance = &instance;
    taken_.push_back(std::move(t));
    return *taken_.back();
}

MeterFeed::Taken& MeterFeed::take_page(Instance& instance, uint32_t page) {
    InstanceTaken& it = taken_for(instance);
    Taken& t = it.pages[page < it.pages.size() ? page : 0];
    const void* module = nullptr;
    bool fresh = false;
    const auto keep = [&](std::span<const float> v) {
        t.values.assign(v.begin(), v.end());
        fresh = true;
    };
    switch (page) {
        case sound_in_page: {
            auto* m = dynamic_cast<measure::SoundIn*>(instance.sound_in());
            measure::SoundInMeters v;
            if ((module = m) && m->take_meters(v)) keep(v);
            break;
        }
        case processor_page: {
            auto* m = dynamic_cast<dsp::ChainProcessor*>(instance.processor());
            dsp::ProcessorMeters v;
            if ((module = m) && m->take_meters(v)) keep(v.values());
            break;
        }
        case sound_out_page: {
            auto* m = dynamic_cast<broadcast::SoundOut*>(instance.sound_out());
            broadcast::SoundOutMeters v;
            if ((module = m) && m->take_meters(v)) keep(v);
            break;
        }
        case analyser_page: {
            auto* m = dynamic_cast<measure::Analyser*>(instance.analyser());
            measure::AnalyserMeters v;
            if ((module = m) && m->take_meters(v)) keep(v);
            break;
        }
        case stl_rx_page: {
            auto* m = dynamic_cast<stl::StlRx*>(instance.stl_rx());
            stl::StlRxMeters v;
            if ((module = m) && m->take_meters(v)) keep(v);
            break;
        }
        case stl_tx_page: {
            auto* m = dynamic_cast<stl::StlTx*>(instance.stl_tx());
            stl::StlTxMeters v;
            if ((module = m) && m->take_meters(v)) keep(v);
            break;
        }
        case stream_tx_page: {
            auto* m = dynamic_cast<stream::StreamTx*>(instance.stream_tx());
            stream::StreamTxMeters v;
            if ((module = m) && m->take_meters(v)) keep(v);
            break;
        }
        default: break;
    }
    if (module != t.module) {
        // Another module in the slot: what the old one measured is not its.
        t.module = module;
        if (!fresh) t.values.clear();
    }
    if (fresh) ++t.sequence;
    return t;
}

bool MeterFeed::take_values(Instance& instance, Panel& panel) {
    const Taken& t = take_page(instance, panel.page);
    if (t.sequence == panel.sequence || t.module != panel.module || t.values.empty()) return false;
    panel.sequence = t.sequence;
    return panel.meters.hand_off(t.values);
}

const MeterFeed::Readings& MeterFeed::readings(Instance& instance) {
    take_page(instance, sound_in_page);
    take_page(instance, processor_page);
    take_page(instance, sound_out_page);
    InstanceTaken& it = taken_for(instance);
    Readings& r = it.readings;
    r.sound_in = it.pages[sound_in_page].values;
    r.processor = it.pages[processor_page].values;
    r.sound_out = it.pages[sound_out_page].values;
    r.processor_layout = {};
    if (const std::optional<Source> source = source_of(instance, processor_page)) r.processor_layout = source->layout;
    return r;
}

// The pilot and RDS injection the Sound Out settings give: the pilot as its
// fraction of full scale and its deviation (full scale deviates 75 kHz), RDS as
// the chosen deviation and its share of 75 kHz.
std::string injection_text(const broadcast::SoundOutParams& p) {
    char text[96];
    const float pilot_percent = p.pilot_amp * 100.0f;
    const float rds_kHz = 6.0f - 0.5f * static_cast<float>(std::min<uint32_t>(p.rds_amp, 8));
    int n = p.stereo ? std::snprintf(text, sizeof text, "Pilot %.1f %% (%.2f kHz)", pilot_percent, p.pilot_amp * 75.0f)
                     : std::snprintf(text, sizeof text, "Pilot off (mono)");
    if (n < 0) return "";
    if (p.rds_enable)
        std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ", RDS %.1f kHz (%.1f %%)", rds_kHz,
                      rds_kHz / 75.0f * 100.0f);
    else
        std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ", RDS off");
    return text;
}

std::optional<std::vector<std::string>> page_status_lines(Instance& instance, uint32_t page) {
    switch (page) {
        case sound_out_page:
            if (auto* m = dynamic_cast<broadcast::SoundOut*>(instance.sound_out())) return m->status_lines();
            break;
        case stl_rx_page:
            if (auto* m = dynamic_cast<stl::StlRx*>(instance.stl_rx())) return m->status_lines();
            break;
        case stl_tx_page:
            if (auto* m = dynamic_cast<stl::StlTx*>(instance.stl_tx())) return m->status_lines();
            break;
        case stream_tx_page:
            if (auto* m = dynamic_cast<stream::StreamTx*>(instance.stream_tx())) return m->status_lines();
            break;
        default: break;
    }
    return std::nullopt;
}

std::string MeterFeed::layout_json(Instance& instance, uint32_t page) {
    Panel* panel = panel_for(instance, page);
    if (!panel) return "null";
    const std::vector<measure::GroupState> groups = panel->meters.groups();
    const std::vector<measure::ItemState> items = panel->meters.items();
    Json j;
    j.begin_object().key("groups").begin_array();
    for (const measure::GroupState& g : groups) {
        j.begin_object();
        j.member("name", g.name);
        j.member("kind", static_cast<int>(g.kind));
        j.member("range", g.settings.range_dB);
        j.member("hold", g.settings.hold_ticks);
        j.member("decay", g.settings.decay);
        j.key("items").begin_array();
        for (uint32_t i = g.first_item; i < g.first_item + g.item_count && i < items.size(); ++i) {
            j.begin_object();
            j.member("name", items[i].name);
            j.member("kind", static_cast<int>(items[i].kind));
            j.member("count", items[i].value_count);
            j.end_object();
        }
        j.end_array().end_object();
    }
    j.end_array().end_object();
    return j.take();
}

void MeterFeed::forget_closed(Application& app) {
    // Panels of instances that are gone (closed without a word) go with them.
    std::vector<const Instance*> alive;
    for (const std::string& name : app.instance_names())
        if (const Instance* i = app.find(name)) alive.push_back(i);
    std::erase_if(panels_, [&](const auto& p) {
        return std::find(alive.begin(), alive.end(), p->instance) == alive.end();
    });
}

std::string MeterFeed::meters_event(Instance& instance_ref, Application& app, uint32_t page) {
    Instance* instance = &instance_ref;

    Json j;
    j.begin_object();
    j.member("instance", instance->name());
    j.member("page", page);
    j.member("cpu", round4(instance->cpu_load()));
    j.key("status").begin_array();
    if (const auto lines = page_status_lines(*instance, page)) {
        for (const std::string& line : *lines) j.value(line);
    } else {
        j.value(app.device_status(instance));
    }
    j.end_array();

    Panel* panel = panel_for(*instance, page);
    if (!panel) {
        j.member("tick", 0);
        j.key("items").null();
        return j.end_object().take();
    }
    if (take_values(*instance, *panel)) {
        panel->meters.tick();
        ++panel->ticks;
    }
    j.member("tick", panel->ticks);

    const std::vector<measure::GroupState> groups = panel->meters.groups();
    const std::vector<measure::ItemState> items = panel->meters.items();
    const std::vector<float> values = panel->meters.values();
    j.key("items").begin_array();
    for (const measure::ItemState& it : items) {
        const float range = groups[it.group].settings.range_dB;
        const std::span<const float> v =
            std::span<const float>(values).subspan(std::min<size_t>(it.first_value, values.size()),
                                                   std::min<size_t>(it.value_count, values.size() - it.first_value));
        j.begin_object();
        const std::string text = read_out(it.kind, it.name, v);
        if (!text.empty()) j.member("text", text);
        switch (it.kind) {
            case K::level:
                j.key("bars").begin_array();
                if (v.size() >= 6) {
                    for (int ch = 0; ch < 2; ++ch) write_positions(j, it.bar[ch]);
                    j.end_array();
                    j.key("env");
                    write_positions(j, it.envelope_marker);
                    j.key("peak");
                    write_positions(j, it.peak_marker);
                } else {
                    // Plain levels (loudness, MPX power): one bar per value.
                    for (float x : v) {
                        const float p = measure::level_position(x, range);
                        write_positions(j, std::span(&p, 1));
                    }
                    j.end_array();
                }
                break;
            case K::deviation:
                j.key("bars").begin_array();
                for (float x : v) {
                    const float p = std::clamp(1.0f - x * deviation_kHz_per_unit / range, 0.0f, 1.0f);
                    write_positions(j, std::span(&p, 1));
                }
                j.end_array();
                break;
            case K::gain_reduction:
                j.key("bars").begin_array();
                if (v.size() >= 6) {
                    for (int ch = 0; ch < 2; ++ch) write_positions(j, it.bar[ch]);
                    j.end_array();
                    j.member("marker", round4(it.marker));
                } else {
                    write_positions(j, std::span(&it.bar[0][0], 1));
                    j.end_array();
                }
                break;
            case K::stereo_width:
                j.key("bars").begin_array();
                write_positions(j, std::span(&it.bar[0][0], 1));
                j.end_array();
                break;
            case K::agc_gain:
                j.key("bars").begin_array();
                write_positions(j, std::span(&it.bar[0][0], 1));
                j.end_array();
                j.member("gate", it.gate_closed);
                break;
            case K::equaliser:
                j.key("eq").begin_array();
                for (float x : v) j.value(x);
                j.end_array();
                j.member("changed", it.graph_changed);
                break;
            default: break;
        }
        j.end_object();
    }
    j.end_array();
    if (page == sound_out_page)
        if (auto* m = dynamic_cast<broadcast::SoundOut*>(instance->sound_out()); m && m->multiplex_on_air())
            j.member("injection", injection_text(m->params()));
    return j.end_object().take();
}

std::string MeterFeed::analyser_event(Instance& instance_ref) {
    Instance* instance = &instance_ref;
    auto* analyser = dynamic_cast<measure::Analyser*>(instance->analyser());
    if (!analyser || !analyser->take_frame(*frame_)) return "";
    const measure::AnalyserFrame& f = *frame_;
    const bool spectrum = f.display_mode == static_cast<uint32_t>(measure::DisplayMode::spectrum);
    const uint32_t columns = std::min(f.columns, measure::AnalyserFrame::max_columns);

    Json j;
    j.begin_object();
    j.member("instance", instance->name());
    j.member("mode", spectrum ? "spectrum" : "wave");
    j.member("channels", f.channels);
    j.member("rate", f.rate_Hz);
    j.member("length", f.length);
    j.member("f_low", f.low_Hz);
    j.member("f_high", f.high_Hz);
    j.member("columns", columns);
    j.key("dc").begin_array().value(round1(f.dc_dB[0])).value(round1(f.dc_dB[1])).end_array();
    const auto column_array = [&](const std::array<float, measure::AnalyserFrame::max_columns>& c) {
        j.begin_array();
        for (uint32_t i = 0; i < columns; ++i) j.value(spectrum ? round1(c[i]) : round4(c[i]));
        j.end_array();
    };
    j.key("high").begin_array();
    column_array(f.high[0]);
    column_array(f.high[1]);
    j.end_array();
    j.key("low");
    if (spectrum) {
        j.null();
    } else {
        j.begin_array();
        column_array(f.low[0]);
        column_array(f.low[1]);
        j.end_array();
    }
    j.key("display").raw(analyser_display_json(*instance));
    // The meter values as the meter feed took them last (it is their one reader).
    j.key("meters").begin_array();
    auto at = std::find_if(panels_.begin(), panels_.end(), [&](const auto& p) {
        return p->instance == instance && p->page == analyser_page;
    });
    if (at != panels_.end())
        for (float v : (*at)->meters.values()) j.value(round1(v));
    j.end_array();
    return j.end_object().take();
}

std::string MeterFeed::analyser_display_json(Instance& instance) {
    auto* analyser = dynamic_cast<measure::Analyser*>(instance.analyser());
    if (!analyser) return "null";
    const measure::DisplaySettings d = analyser->display();
    Json j;
    j.begin_object();
    j.member("mode", d.mode == static_cast<uint32_t>(measure::DisplayMode::wave) ? "wave" : "spectrum");
    j.key("wave").begin_object();
    j.member("x_zoom", d.x_wave_zoom).member("x_offset", d.x_wave_offset);
    j.member("y_zoom", d.y_wave_zoom).member("y_offset", d.y_wave_offset);
    j.end_object();
    j.key("spectrum").begin_object();
    j.member("x_zoom", d.x_spect_zoom).member("x_offset", d.x_spect_offset);
    j.member("y_zoom", d.y_spect_zoom).member("y_offset", d.y_spect_offset);
    j.end_object();
    return j.end_object().take();
}

CommandResult MeterFeed::set_analyser_display(Instance& instance, const AnalyserDisplayChange& change) {
    static constexpr const char* title = "Analyser";
    auto* analyser = dynamic_cast<measure::Analyser*>(instance.analyser());
    if (!analyser) return CommandResult::failure("This instance has no analyser.", title);
    const auto finite_in = [](std::optional<float> v, float lo, float hi) {
        return !v || (std::isfinite(*v) && *v >= lo && *v <= hi);
    };
    if (change.mode && *change.mode > 1) return CommandResult::failure("Unknown display mode.", title);
    if (!finite_in(change.x_zoom, min_zoom, max_zoom) || !finite_in(change.y_zoom, min_zoom, max_zoom))
        return CommandResult::failure("The zoom must be between 1 and 1000.", title);
    if (!finite_in(change.x_offset, -max_offset, max_offset) || !finite_in(change.y_offset, -max_offset, max_offset))
        return CommandResult::failure("The offset is out of range.", title);
    if (change.columns && (*change.columns == 0 || *change.columns > measure::AnalyserFrame::max_columns))
        return CommandResult::failure("A frame has 1 to 1024 columns.", title);
    if (!finite_in(change.low_Hz, 0.1f, 1.0e6f) || !finite_in(change.high_Hz, 0.0f, 1.0e6f) ||
        (change.low_Hz && change.high_Hz && *change.high_Hz != 0.0f && *change.high_Hz <= *change.low_Hz))
        return CommandResult::failure("The frequency axis is out of range.", title);

    measure::DisplaySettings d = analyser->display();
    if (change.mode) d.mode = *change.mode;
    const bool wave = d.mode == static_cast<uint32_t>(measure::DisplayMode::wave);
    float& xz = wave ? d.x_wave_zoom : d.x_spect_zoom;
    float& xo = wave ? d.x_wave_offset : d.x_spect_offset;
    float& yz = wave ? d.y_wave_zoom : d.y_spect_zoom;
    float& yo = wave ? d.y_wave_offset : d.y_spect_offset;
    if (change.x_zoom) xz = *change.x_zoom;
    if (change.x_offset) xo = *change.x_offset;
    if (change.y_zoom) yz = *change.y_zoom;
    if (change.y_offset) yo = *change.y_offset;
    analyser->set_display(d);
    if (change.columns || change.low_Hz || change.high_Hz) {
        measure::FrameView view;
        if (change.columns) view.columns = *change.columns;
        if (change.low_Hz) view.low_Hz = *change.low_Hz;
        if (change.high_Hz) view.high_Hz = *change.high_Hz;
        analyser->set_view(view);
    }
    const std::optional<SettingsKey> key = instance.key().open(measure::analyser_key_name);
    if (!key || !measure::write_display_settings(*key, d))
        return CommandResult::failure("The display settings could not be saved.", title);
    return CommandResult::success();
}

CommandResult MeterFeed::set_group(Instance& instance, uint32_t page, uint32_t group,
                                   std::optional<float> range_dB, std::optional<uint32_t> hold_ticks,
                                   std::optional<float> decay) {
    static constexpr const char* title = "Meter Settings";
    Panel* panel = panel_for(instance, page);
    if (!panel) return CommandResult::failure("This page has no meters.", title);
    if (group >= panel->meters.groups().size())
        return CommandResult::failure("There is no meter group " + std::to_string(group) + " on this page.", title);
    if (range_dB && !(std::isfinite(*range_dB) && *range_dB > 0.0f && *range_dB <= max_range_dB))
        return CommandResult::failure("The meter range must be between 0 and 1000 dB.", title);
    if (hold_ticks && *hold_ticks > max_hold_ticks)
        return CommandResult::failure("The hold time must be at most 1000 ticks.", title);
    if (decay) {
        const float stored = std::isfinite(*decay) ? std::round(*decay * 1000.0f) : -1.0f;
        const bool known = std::any_of(stored_decays.begin(), stored_decays.end(), [&](uint32_t d) {
            return static_cast<float>(d) == stored && std::fabs(*decay * 1000.0f - stored) < 0.01f;
        });
        if (!known) return CommandResult::failure("The release must be 0.005, 0.01, 0.02, 0.04 or 0.08.", title);
    }
    if (range_dB) panel->meters.set_range(group, *range_dB);
    if (hold_ticks) panel->meters.set_hold(group, *hold_ticks);
    if (decay) panel->meters.set_decay(group, *decay);
    if (!panel->key || !panel->meters.save(*panel->key))
        return CommandResult::failure("The meter settings could not be saved.", title);
    return CommandResult::success();
}

void MeterFeed::forget(const Instance* instance) {
    std::erase_if(panels_, [&](const auto& p) { return p->instance == instance; });
    std::erase_if(taken_, [&](const auto& t) { return t->instance == instance; });
}

}  // namespace torvalen::http
