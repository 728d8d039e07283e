#include "broadcast/sound_out_settings.h"

#include <cstddef>
#include <string_view>

namespace torvalen::broadcast {

namespace {

using params::ControlKind;
using params::ControlRecord;

constexpr ControlRecord page(std::string_view title) { return {title, ControlKind::page}; }
constexpr ControlRecord group(std::string_view title) { return {title, ControlKind::group}; }
constexpr ControlRecord list(std::string_view items, std::size_t offset, float last, float default_value) {
    return {items, ControlKind::list, 0, offset, 0.0f, last, 1.0f, default_value, 0.0f, last};
}
constexpr ControlRecord gain(std::string_view label, std::size_t offset, float low_dB, float high_dB, float step,
                             float default_dB) {
    return {label, ControlKind::gain_db, 0, offset, low_dB, high_dB, step, default_dB, low_dB, high_dB};
}

using P = SoundOutParams;

constexpr std::array<ControlRecord, sound_out_record_count> table = {{
    page("Input"),
    group("Input Select"),
    list("Sound In\nPlayer\nSTL RX\nSig Gen\nProc\n", offsetof(P, input_select), 4, 4),
    group("Input Enablef"),
    list("Off\nOn\n", offsetof(P, input_enable), 1, 1),
    group("Input Mode"),
    list("Bypass\nMPX\n", offsetof(P, input_mode), 1, 0),
    page("MPX"),
    group("MPX"),
    list("Mono\nStereo\n", offsetof(P, stereo), 1, 1),
    list("L & R\nL Only\nR Only\n", offsetof(P, mpx_setup), 2, 0),
    {"Pilot Amp (%)", ControlKind::scaled, 0, offsetof(P, pilot_amp), 0.0f, 15.0f, 0.1f, 9.0f, 0.0f, 0.15f},
    {"Pilot Phase(deg)", ControlKind::phase, 0, offsetof(P, pilot_phase), -10.0f, 10.0f, 0.1f, 0.0f, -10.0f, 10.0f},
    gain("Sub Amp", offsetof(P, sub_amp), -1.0f, 5.0f, 0.1f, 0.0f),
    list("Mpx+Mpx\nMpx+Plt\nMpx+Mute\nMute+Mpx\nDiff\n", offsetof(P, right_mode), 4, 0),
    list("Delay Off\nDelay On\n", offsetof(P, delay_on), 1, 0),
    page("MPX Power Control"),
    group("MPX Power Control"),
    list("Off\nOn\n", offsetof(P, power_on), 1, 0),
    gain("Drive", offsetof(P, drive), -10.0f, 0.0f, 0.5f, -4.0f),
    gain("Level", offsetof(P, level), -5.0f, 5.0f, 0.1f, 0.0f),
    {"Release", ControlKind::half_step, 0, offsetof(P, release_index), 10.0f, 20.0f, 0.5f, 13.0f, 20.0f, 40.0f},
    page("MPX Delay"),
    group("MPX Delay"),
    {"Delay", ControlKind::delay, 0, offsetof(P, delay_samples), 0.0f, 10000.0f, 1.0f, 0.0f, 0.0f, 1920000.0f},
    page("RDS"),
    group("RDS"),
    list("Off\nOn\n", offsetof(P, rds_enable), 1, 1),
    list("6.0kHz\n5.5kHz\n5.0kHz\n4.5kHz\n4.0kHz\n3.5kHz\n3.0kHz\n2.5kHz\n2.0kHz\n", offsetof(P, rds_amp), 8, 5),
    page("Output"),
    group("Output Level"),
    gain("LR", offsetof(P, output_level), -40.0f, 0.0f, 0.5f, 0.0f),
    gain("L Fine", offsetof(P, l_fine), -2.0f, 2.0f, 0.1f, 0.0f),
    gain("R Fine", offsetof(P, r_fine), -2.0f, 2.0f, 0.1f, 0.0f),
    group("Output Channel Swap"),
    list("Swap Off\nSwap On\n", offsetof(P, swap), 1, 0),
    group("Output Channel Invert"),
    list("Invert Off\nInvert L\n", offsetof(P, invert_l), 1, 0),
    list("Invert Off\nInvert R\n", offsetof(P, invert_r), 1, 0),
}};

static_assert(table[control_input_select].location == offsetof(P, input_select));
static_assert(table[control_pilot_phase].kind == ControlKind::phase);
static_assert(table[control_release].location == offsetof(P, release_index));
static_assert(table[control_delay].kind == ControlKind::delay);
static_assert(table[control_rds_amp].location == offsetof(P, rds_amp));
static_assert(table[control_output_level].location == offsetof(P, output_level));
static_assert(table[control_invert_r].location == offsetof(P, invert_r));

std::span<std::byte> bytes_of(P& p) { return std::as_writable_bytes(std::span(&p, 1)); }
std::span<const std::byte> bytes_of(const P& p) { return std::as_bytes(std::span(&p, 1)); }

}  // namespace

std::span<const params::ControlRecord> sound_out_controls() { return table; }

SoundOutParams default_sound_out_params() {
    SoundOutParams p;
    params::apply_defaults(table, params::TableStyle::offset, bytes_of(p));
    return p;
}

bool set_sound_out_control(SoundOutParams& p, uint32_t index, float display) {
    return params::set_by_rule(table, params::TableStyle::offset, bytes_of(p), index, display);
}

bool get_sound_out_control(const SoundOutParams& p, uint32_t index, float& display) {
    return params::get_by_rule(table, params::TableStyle::offset, bytes_of(p), index, display);
}

}  // namespace torvalen::broadcast
