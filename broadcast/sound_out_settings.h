// Sound Out's parameter block and its 39-record offset table ("Sound Out-v2.0.0").
//
// The block is written by the set rules under Sound Out's module lock and read by
// the engine thread inside process() under the same lock.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "params/control_table.h"

namespace torvalen::broadcast {

inline constexpr const char* sound_out_key_name = "Sound Out-v2.0.0";
inline constexpr uint32_t sound_out_record_count = 39;

enum class MpxSetup : uint32_t { both = 0, left_only = 1, right_only = 2 };
// What the right output channel carries (and for mute_mpx, the left one).
enum class RightMode : uint32_t { mpx_mpx = 0, mpx_pilot = 1, mpx_mute = 2, mute_mpx = 3, diff = 4 };

struct SoundOutParams {
    uint32_t input_select = 4;   // bus 0 ... 4
    uint32_t input_enable = 1;
    uint32_t input_mode = 0;     // 1 = build the multiplex (192 kHz output only)
    uint32_t stereo = 1;         // pilot and 38 kHz on
    uint32_t mpx_setup = 0;      // MpxSetup
    float pilot_amp = 0.09f;     // fraction of full scale
    float pilot_phase[2] = {1.0f, 0.0f};  // cos, sin
    float sub_amp = 1.0f;        // linear
    uint32_t right_mode = 0;     // RightMode
    uint32_t delay_on = 0;
    uint32_t power_on = 0;
    float drive = 1.0f;          // linear
    float level = 1.0f;          // linear
    uint32_t release_index = 26; // twice the display value, 20 ... 40
    uint32_t delay_samples = 0;  // at 192 kHz
    uint32_t rds_enable = 1;
    uint32_t rds_amp = 5;        // "6.0kHz" ... "2.0kHz"
    float output_level = 1.0f;
    float l_fine = 1.0f;
    float r_fine = 1.0f;
    uint32_t swap = 0;
    uint32_t invert_l = 0;
    uint32_t invert_r = 0;
};

// Record indexes of the controls.
enum SoundOutControl : uint32_t {
    control_input_select = 2,
    control_input_enable = 4,
    control_input_mode = 6,
    control_mpx_mono = 9,
    control_mpx_setup = 10,
    control_pilot_amp = 11,
    control_pilot_phase = 12,
    control_sub_amp = 13,
    control_right_mode = 14,
    control_delay_switch = 15,
    control_power_on = 18,
    control_drive = 19,
    control_level = 20,
    control_release = 21,
    control_delay = 24,
    control_rds_enable = 27,
    control_rds_amp = 28,
    control_output_level = 31,
    control_l_fine = 32,
    control_r_fine = 33,
    control_swap = 35,
    control_invert_l = 37,
    control_invert_r = 38,
};

std::span<const params::ControlRecord> sound_out_controls();

// Every control at its default, through the set rules.
SoundOutParams default_sound_out_params();

// The table's set and get rules on one block: false for an index >= 39 or a
// record without a value; set returns true only when the stored value changed.
bool set_sound_out_control(SoundOutParams& params, uint32_t index, float display);
bool get_sound_out_control(const SoundOutParams& params, uint32_t index, float& display);

// "RDS Amp" levels: the selected deviation in kHz divided by 75.
inline constexpr std::array<float, 9> rds_amp_levels = {0.08f,     0.073333f, 0.066667f, 0.06f,    0.053333f,
                                                        0.046667f, 0.04f,     0.033333f, 0.026667f};

}  // namespace torvalen::broadcast
