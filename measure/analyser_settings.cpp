#include "measure/analyser_settings.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace torvalen::measure {

namespace {

using params::ControlKind;
using params::ControlRecord;

constexpr ControlRecord page(std::string_view title) { return {title, ControlKind::page}; }
constexpr ControlRecord group(std::string_view title) { return {title, ControlKind::group}; }
constexpr ControlRecord list(std::string_view items, std::size_t offset, float last, float default_value) {
    return {items, ControlKind::list, 0, offset, 0.0f, last, 1.0f, default_value, 0.0f, last};
}

constexpr std::array<ControlRecord, analyser_record_count> table = {{
    page("Signal Generator"),
    group("Output Level"),
    {"Level", ControlKind::gain_db, 0, offsetof(AnalyserSettings, level), -20.0f, 0.0f, 0.5f, 0.0f, -20.0f, 0.0f},
    list("0db\n-10dB\n--20dB\n-30dB\n-40dB\n-50dB\n-60dB\n-70dB\n-80dB\n", offsetof(AnalyserSettings, coarse_level), 8, 0),
    group("Waveform"),
    list("Off\nSine\nSquare\nPulse\nWhite Noise\nTwo Tone\nBurst\nPink Noise\n",
         offsetof(AnalyserSettings, waveform), 7, 1),
    group("Frequency Main"),
    {"Freq", ControlKind::frequency, 0, offsetof(AnalyserSettings, main_Hz), 10.0f, 100000.0f, 10.0f, 1000.0f, 10.0f, 100000.0f},
    group("Frequency Secondary"),
    {"Freq", ControlKind::frequency, 0, offsetof(AnalyserSettings, secondary_Hz), 10.0f, 100000.0f, 10.0f, 1000.0f, 10.0f, 100000.0f},
    group("Mode"),
    list("L+R\nL\nR\nL-R\n", offsetof(AnalyserSettings, mode), 3, 0),
    group("Tone Burst"),
    list("50ms\n100ms\n200ms\n500ms\n1s\n2s\n", offsetof(AnalyserSettings, burst_period), 5, 4),
    list("50%\n20%\n10%\n5%\n", offsetof(AnalyserSettings, burst_duty), 3, 0),
    page("Analyser"),
    group("Input Enable"),
    list("Off\nOn\n", offsetof(AnalyserSettings, input_enable), 1, 0),
    group("Input Select"),
    // The table's default of 6 is one past the list; the set rule clamps it to 5.
    list("Sound In\nPlayer\nSTL RX\nSig Gen\nProc\nSound Out\n", offsetof(AnalyserSettings, input_select), 5, 6),
    group("FFT Length"),
    list("Short\nMedium\nLong\n", offsetof(AnalyserSettings, fft_length), 2, 1),
    group("FFT Window"),
    list("Off\nOn\n", offsetof(AnalyserSettings, fft_window), 1, 1),
    group("Channels"),
    list("L+R\nL\nR\n", offsetof(AnalyserSettings, channels), 2, 0),
}};

static_assert(table[control_level].kind == ControlKind::gain_db);
static_assert(table[control_burst_duty].location == offsetof(AnalyserSettings, burst_duty));
static_assert(table[control_channels].location == offsetof(AnalyserSettings, channels));

std::span<std::byte> bytes_of(AnalyserSettings& s) { return std::as_writable_bytes(std::span(&s, 1)); }
std::span<const std::byte> bytes_of(const AnalyserSettings& s) { return std::as_bytes(std::span(&s, 1)); }

// Zoom and offset values, in the order they are stored.
struct FloatValue {
    const char* name;
    float DisplaySettings::*field;
};
constexpr std::array<FloatValue, 8> float_values = {{
    {"X_Wave_Zoom", &DisplaySettings::x_wave_zoom},
    {"X_Wave_Offset", &DisplaySettings::x_wave_offset},
    {"Y_Wave_Zoom", &DisplaySettings::y_wave_zoom},
    {"Y_Wave_Offset", &DisplaySettings::y_wave_offset},
    {"X_Spect_Zoom", &DisplaySettings::x_spect_zoom},
    {"X_Spect_Offset", &DisplaySettings::x_spect_offset},
    {"Y_Spect_Zoom", &DisplaySettings::y_spect_zoom},
    {"Y_Spect_Offset", &DisplaySettings::y_spect_offset},
}};

}  // namespace

std::span<const params::ControlRecord> analyser_controls() { return table; }

AnalyserSettings default_analyser_settings() {
    AnalyserSettings s;
    params::apply_defaults(table, params::TableStyle::offset, bytes_of(s));
    return s;
}

bool set_analyser_control(AnalyserSettings& settings, uint32_t index, float display) {
    return params::set_by_rule(table, params::TableStyle::offset, bytes_of(settings), index, display);
}

bool get_analyser_control(const AnalyserSettings& settings, uint32_t index, float& display) {
    return params::get_by_rule(table, params::TableStyle::offset, bytes_of(settings), index, display);
}

float coarse_level_gain(uint32_t index) {
    static constexpr std::array<float, 9> gains = {1.0f,  0.31623f, 0.1f,   0.031623002f, 0.01f,
                                                   0.0031623f, 0.001f, 0.00031623003f, 0.0001f};
    return gains[index < gains.size() ? index : gains.size() - 1];
}

uint32_t burst_period_samples(uint32_t index) {
    // 50 ms ... 2 s at 192 kHz. ("2s" is 384000 samples: 2 s, as its label says.)
    static constexpr std::array<uint32_t, 6> periods = {9600, 19200, 38400, 96000, 192000, 384000};
    return periods[index < periods.size() ? index : periods.size() - 1];
}

uint32_t burst_on_samples(uint32_t period, uint32_t duty_index) {
    switch (duty_index) {
        case 0: return period / 2;
        case 1: return 2 * period / 10;
        case 2: return period / 10;
        default: return 5 * period / 100;
    }
}

DisplaySettings read_display_settings(const SettingsKey& key) {
    DisplaySettings d;
    for (const FloatValue& v : float_values) {
        float value = 0.0f;
        if (key.read_binary(v.name, std::as_writable_bytes(std::span(&value, 1))) && std::isfinite(value))
            d.*v.field = value;
    }
    key.read_dword("Mode", d.mode);
    if (d.mode > 1) d.mode = static_cast<uint32_t>(DisplayMode::spectrum);
    key.read_dword("Graph", d.graph);
    return d;
}

bool write_display_settings(const SettingsKey& key, const DisplaySettings& d) {
    if (!key.valid() || key.store() == nullptr) return false;
    SettingsStore::Transaction transaction(*key.store());
    bool ok = true;
    for (const FloatValue& v : float_values) {
        const float value = d.*v.field;
        ok = key.write_binary(v.name, std::as_bytes(std::span(&value, 1))) && ok;
    }
    ok = key.write_dword("Mode", d.mode) && ok;
    ok = key.write_dword("Graph", d.graph) && ok;
    return ok && transaction.commit();
}

}  // namespace torvalen::measure
