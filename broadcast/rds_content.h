// The RDS content record: what the encoder broadcasts (PI, PTY, flags, PS, radiotext,
// PTYN, AF list, clock time, TA) and how PS and radiotext move through the rotation
// items; its storage under "RDS_ENCODE"; PTY names; AF, hex and PIN coding.
//
// Threads and locks:
// - `lock` (the content lock) guards every field below it. It is taken by the
//   control thread (dialogs, Apply, now-playing updates), by the RDS modulator
//   thread while it builds a group, and by the status pane. The engine thread
//   never takes it.
// - `ta` is written by the TA service and the TA dialog without the lock (a single
//   atomic store) and read by the modulator thread.
// - `status_version` counts changes of the PS or radiotext line; the interface
//   repaints the status pane when it moves.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/module.h"
#include "engine/settings_store.h"

namespace torvalen::broadcast {

inline constexpr std::size_t rds_user_texts = 64;
inline constexpr std::size_t rds_max_items = 16;
inline constexpr std::size_t rds_text_bytes = 64;   // PS on air, radiotext, AF list
inline constexpr std::size_t rds_max_af_entries = 25;
inline constexpr uint8_t rds_carriage_return = 13;

// Rotation items: 0 now-playing text, 1 date, 2 time, 3 + k user text k.
enum RdsItem : uint32_t { item_now_playing = 0, item_date = 1, item_time = 2, item_user_text = 3 };

// The clock the content and the encoder read. Tests inject a fixed time.
class RdsClock {
public:
    virtual std::time_t now() = 0;
    // The UTC offset in seconds east of UTC that applies at `t` (local time).
    virtual long utc_offset_seconds(std::time_t t);

protected:
    ~RdsClock() = default;
};

class SystemRdsClock final : public RdsClock {
public:
    std::time_t now() override { return std::time(nullptr); }
};

// ---- Coding helpers ----

// The stored names of PTY codes 0 ... 31, RDS or RBDS list.
std::string_view pty_name(uint32_t code, bool rbds);
const std::array<std::string_view, 32>& pty_names(bool rbds);

// Hexadecimal text of a dialog field: digits 0-9, A-F, a-f, an optional trailing
// "H" or "h"; anything else gives 0.
uint32_t parse_hex(std::string_view text);
// Upper-case hexadecimal digits.
std::string format_hex(uint32_t value);
// Programme item number from its day, hour and minute fields.
uint16_t pin_code(uint32_t day, uint32_t hour, uint32_t minute);

struct AfEntry {
    bool am = false;
    double frequency = 0.0;  // MHz for FM, kHz for LF/MF
};
// AF codes of one entry, 0 when the frequency is outside its band or raster.
uint8_t af_fm_code(double MHz);
uint8_t af_am_code(double kHz, bool region_10kHz);
// Builds the AF list (AF method A): count code, entries, the filler 205 when the
// byte count is odd, then zeros. An empty list, more than 25 entries or an entry
// without a code give the empty list (false).
bool encode_af_list(std::span<const AfEntry> entries, bool region_10kHz, std::array<uint8_t, rds_text_bytes>& list);
// The entries of a coded list, for the AF dialog.
std::vector<AfEntry> decode_af_list(std::span<const uint8_t> list, bool region_10kHz);

// ---- The record ----

struct RdsContent {
    explicit RdsContent(RdsClock* clock = nullptr);

    // Reads "RDS_ENCODE" under `sound_out_key` (missing values keep their defaults)
    // and pads the fixed PS and PTYN to 8 characters.
    void load(const SettingsKey& sound_out_key);
    // Writes every stored value.
    bool save(const SettingsKey& sound_out_key) const;

    // PS step: called before segment 0 of each PS cycle; `groups` counts groups
    // since the last PS change and is reset here when the PS moves on.
    void ps_step(uint32_t& groups);
    // Prepares the next radiotext message in `rt`; true when it differs from the
    // message sent before (the encoder then toggles the text A/B flag).
    bool next_rt();

    // Status pane lines.
    std::vector<std::string> status_lines(bool mpx_on, bool rds_on, bool at_192k);

    RdsClock& clock() { return *clock_; }

    mutable std::mutex lock;

    uint16_t pi = 0xC000;
    uint32_t pty = 10;
    uint32_t tp = 0;
    std::atomic<uint32_t> ta{0};
    uint32_t music = 1;
    uint32_t stereo = 1;        // d0
    uint32_t artificial_head = 0;  // d1, not stored
    uint32_t compressed = 1;    // d2
    uint32_t dynamic_pty = 0;   // d3, not stored
    uint16_t ecc = 0x00E1;
    uint16_t pin = 0;
    uint32_t rbds = 0;
    uint32_t region = 0;        // 1 = 10 kHz AM raster
    uint32_t clock_on = 0;
    uint32_t ps_mode = 0;
    std::string fixed_ps = "Torvalen";
    uint32_t ps_scroll_rate = 64;
    uint32_t ps_hold_time = 64;
    uint64_t strip_underscores = 0;
    std::array<uint32_t, rds_max_items> items{};
    uint32_t item_count = 1;
    std::array<std::string, rds_user_texts> user_texts;
    std::array<std::string, rds_user_texts> user_names;
    std::string ptyn = "PTYName ";
    uint32_t ptyn_enable = 0;
    uint32_t rt_enable = 1;
    std::array<uint8_t, rds_text_bytes> af_list{};
    uint32_t ta_port = 8181;
    uint32_t ta_timeout_ms = 1000;
    uint64_t ta_autostart = 0;
    // The Now Playing module's current text when its "SendtoRDS" output is on.
    std::optional<std::string> now_playing;
    // Where item 0 reads the now-playing text when it is due (under the content
    // lock): the instance's Now Playing object, which outlives Sound Out. Without
    // one, `now_playing` above is used.
    const NowPlayingModule* now_playing_source = nullptr;

    // On air (written by the modulator thread under the lock).
    std::array<uint8_t, rds_text_bytes> ps_on_air{};
    uint32_t ps_length = 0;
    uint32_t ps_offset = 0;
    bool ps_scrolls = false;
    bool ps_started = false;
    std::array<char, 9> ps_display{};
    std::array<uint8_t, rds_text_bytes> rt{};
    std::string rt_display;
    uint32_t ps_position = 0;  // next rotation item for PS
    uint32_t rt_position = 0;  // next rotation item for radiotext

    std::atomic<uint32_t> status_version{0};

private:
    std::string item_text(uint32_t item, bool for_ps);
    void repaint() { status_version.fetch_add(1, std::memory_order_release); }

    SystemRdsClock system_clock_;
    RdsClock* clock_;
};

}  // namespace torvalen::broadcast
