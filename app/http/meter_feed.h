// The meter feed of the web interface: the meter layout of a module page, and every
// 40 ms the positions of the current page's meters (after the panel's ballistics),
// the CPU load, the status lines and the analyser's frames, as JSON for the event
// stream.
//
// Each module's meter values have one reader: this feed. It keeps one MeterPanel per
// (instance, page), created on first use with the settings stored under the module's
// key, and ticks it whenever the module published new values.
//
// Threads: everything runs on the application's control thread (module access is
// safe there); the feed has no lock of its own.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/application.h"
#include "engine/instance.h"
#include "measure/meter_panel.h"

namespace torvalen::broadcast {
struct SoundOutParams;
}
namespace torvalen::measure {
struct AnalyserFrame;
}

namespace torvalen::http {

inline constexpr uint32_t analyser_page = 7;

// The constant layouts of the modules that are not processors.
std::span<const measure::MeterRecord> sound_in_meter_layout();   // 6 values
std::span<const measure::MeterRecord> sound_out_meter_layout();  // 18 values
std::span<const measure::MeterRecord> analyser_meter_layout();   // 6 values

// The status pane of a page whose module has status lines of its own (Sound Out,
// STL RX, STL TX); nothing for the others, which show the device status.
std::optional<std::vector<std::string>> page_status_lines(Instance& instance, uint32_t page);
// "Pilot 9.0 % (6.75 kHz), RDS 3.5 kHz (4.7 %)": the injection Sound Out's settings give.
std::string injection_text(const broadcast::SoundOutParams& params);

// A change of the analyser graph's view from the interface; fields left empty keep
// their value. Zooms and offsets belong to the mode given (or the current one).
struct AnalyserDisplayChange {
    std::optional<uint32_t> mode;  // 0 waveform, 1 spectrum
    std::optional<float> x_zoom, x_offset, y_zoom, y_offset;
    std::optional<uint32_t> columns;       // display columns of a frame, 1 ... 1024
    std::optional<float> low_Hz, high_Hz;  // spectrum axis the columns cover
};

class MeterFeed {
public:
    MeterFeed();
    ~MeterFeed();
    MeterFeed(const MeterFeed&) = delete;
    MeterFeed& operator=(const MeterFeed&) = delete;

    // The "meters" member of GET /api/page for page `page` of `instance`: a JSON object
    // {"groups":[{"name","kind","range","hold","decay","items":[{"name","kind","count"}]}]}
    // or "null" when the page has no meters.
    std::string layout_json(Instance& instance, uint32_t page);

    // Drops the panels of instances that were closed (once per tick).
    void forget_closed(Application& app);

    // Every 40 ms: data of the "meters" event for page `page` of `instance`:
    // {"instance":name,"page":p,"cpu":load,"status":[lines]|null,"tick":n,"items":[...]|null}
    // and on the Sound Out page while the multiplex is on air "injection" (the pilot
    // and RDS injection the settings give, as text).
    // ("" when there is no instance). Per item, in layout order:
    // - level meters with six values: "bars" [[rms, envelope, peak] per channel] and
    //   the held markers "env" [L, R] and "peak" [L, R];
    // - level and deviation meters with fewer values: "bars" [[p] per value];
    // - gain-reduction meters with six values: "bars" [[layer 0, 1, 2] per channel] and
    //   the held "marker"; with one value: "bars" [[p]];
    // - stereo-width meters: "bars" [[p]]; AGC meters: "bars" [[p]] and "gate" (closed);
    // - equaliser graphs: "eq" [frequency Hz, Q, gain - 1, section rate] and "changed".
    // Positions are fractions 0..1 of the meter height from the top.
    std::string meters_event(Instance& instance, Application& app, uint32_t page);

    // Every 40 ms while a browser views the Analyser page: data of the "analyser"
    // event when a new frame came ("" otherwise):
    // {"instance","mode":"spectrum"|"wave","channels","rate","length","f_low","f_high",
    //  "columns":n,"dc":[L,R],"high":[[...],[...]],"low":[[...],[...]]|null,"meters":[6]}
    // (f_low, f_high: the spectrum axis the columns cover, logarithmic, in Hz)
    // plus "display" (analyser_display_json). Spectrum columns in dB rounded to 0.1,
    // waveform columns to 4 decimals.
    std::string analyser_event(Instance& instance);

    // The analyser graph's display settings, also carried by every "analyser" event:
    // {"mode":"spectrum"|"wave","wave":{"x_zoom","x_offset","y_zoom","y_offset"},
    //  "spectrum":{...the same...}}, or "null" without an analyser.
    std::string analyser_display_json(Instance& instance);
    // POST /api/analyser/display: applies a view change and stores the display
    // settings under the module key at once.
    CommandResult set_analyser_display(Instance& instance, const AnalyserDisplayChange& change);

    // POST /api/meters/settings: sets range, hold and decay of a group of the page's
    // panel and saves the panel's settings under the module key.
    CommandResult set_group(Instance& instance, uint32_t page, uint32_t group, std::optional<float> range_dB,
                            std::optional<uint32_t> hold_ticks, std::optional<float> decay);

    // The instance is about to be closed or its processor replaced: drop its panels.
    void forget(const Instance* instance);

    // The newest raw meter values of an instance's Sound In, processor and Sound Out
    // (empty while a module has not measured yet), for GET /metrics. Reading them
    // takes what the modules published, which the panels then see too.
    struct Readings {
        std::vector<float> sound_in;   // true peak L/R, peak envelope L/R, RMS L/R (dB)
        std::vector<float> processor;  // in the processor's meter layout
        std::span<const measure::MeterRecord> processor_layout;
        std::vector<float> sound_out;  // the 18-value Sound Out frame
    };
    const Readings& readings(Instance& instance);

private:
    // What was last taken from each metering module of an instance: the module's
    // values have one reader (this feed), and both the page's panel and /metrics
    // use them.
    struct Taken {
        const void* module = nullptr;
        uint64_t sequence = 0;  // counts the value sets taken
        std::vector<float> values;
    };
    struct InstanceTaken {
        const Instance* instance = nullptr;
        std::array<Taken, 8> pages;  // by page
        Readings readings;
    };
    InstanceTaken& taken_for(const Instance& instance);
    // Takes new values of page `page`'s module into the cache; its sequence says whether any came.
    Taken& take_page(Instance& instance, uint32_t page);

    struct Panel;
    // The panel of a page, created (with its stored settings) on first use; recreated
    // when the module in the slot changed. nullptr when the page has no meters.
    Panel* panel_for(Instance& instance, uint32_t page);
    // Takes the module's newest values into the panel; true when there were any.
    bool take_values(Instance& instance, Panel& panel);

    std::vector<std::unique_ptr<Panel>> panels_;
    std::vector<std::unique_ptr<InstanceTaken>> taken_;
    std::unique_ptr<measure::AnalyserFrame> frame_;
};

}  // namespace torvalen::http
