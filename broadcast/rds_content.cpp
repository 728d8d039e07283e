#include "broadcast/rds_content.h"

#include "broadcast/rds_charset.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace torvalen::broadcast {

namespace {

constexpr std::array<std::string_view, 32> rds_names = {
    "None",           "News",           "Current Affairs",  "Information",
    "Sport",          "Education",      "Drama",            "Culture",
    "Science",        "Varied",         "Pop Music",        "Rock Music",
    "Easy Listening", "Light Classics", "Serious Classics", "Other Music",
    "Weather",        "Finance",        "Children's Programs", "Social Affairs",
    "Religion",       "Phone In",       "Travel & Touring", "Leisure & Hobby",
    "Jazz Music",     "Country Music",  "National Music",   "Oldies Music",
    "Folk Music",     "Documentary",    "Alarm Test",       "Alarm! - Alarm!"};

constexpr std::array<std::string_view, 32> rbds_names = {
    "None",          "News",          "Information",      "Sports",
    "Talk",          "Rock",          "Classic Rock",     "Adult Hits",
    "Soft Rock",     "Top 40",        "Country",          "Oldies",
    "Soft",          "Nostalgia",     "Jazz",             "Classical",
    "Rhythm and Blues", "Soft R & B", "Foreign Language", "Religious Music",
    "Religious Talk", "Personality",  "Public",           "College",
    "Spanish Talk",  "Spanich Music", "Hip-Hop",          "None",
    "None",          "Weather",       "Emergency Test",   "Alert! Alert!"};

constexpr uint8_t af_count_base = 224;  // 224 + n announces n entries
constexpr uint8_t af_filler = 205;
constexpr uint8_t af_lf_mf_follows = 250;
constexpr std::size_t text_limit = rds_text_bytes - 1;  // 63 characters

// Eight characters: cut after the eighth (a UTF-8 sequence stays whole), padded with spaces.
std::string pad8(std::string s) {
    size_t characters = 0, i = 0;
    for (; i < s.size(); ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && characters++ == 8) break;
    s.resize(i);
    for (; characters < 8; ++characters) s += ' ';
    return s;
}

std::string two_digits(int v) {
    char b[8];
    std::snprintf(b, sizeof b, "%02d", v % 100);
    return b;
}

}  // namespace

long RdsClock::utc_offset_seconds(std::time_t t) {
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) return 0;
    return local.tm_gmtoff;
}

std::string_view pty_name(uint32_t code, bool rbds) { return pty_names(rbds)[code & 31]; }
const std::array<std::string_view, 32>& pty_names(bool rbds) { return rbds ? rbds_names : rds_names; }

uint32_t parse_hex(std::string_view text) {
    if (!text.empty() && (text.back() == 'H' || text.back() == 'h')) text.remove_suffix(1);
    uint32_t v = 0;
    for (char c : text) {
        uint32_t d;
        if (c >= '0' && c <= '9') d = static_cast<uint32_t>(c - '0');
        else if (c >= 'A' && c <= 'F') d = static_cast<uint32_t>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f') d = static_cast<uint32_t>(c - 'a' + 10);
        else return 0;
        v = (v << 4) | d;
    }
    return v;
}

std::string format_hex(uint32_t value) {
    char b[16];
    std::snprintf(b, sizeof b, "%X", value);
    return b;
}

uint16_t pin_code(uint32_t day, uint32_t hour, uint32_t minute) {
    return static_cast<uint16_t>(day * 2048 + (hour & 31) * 64 + (minute & 63));
}

uint8_t af_fm_code(double MHz) {
    const long code = std::lround((MHz - 87.5) / 0.1);
    return code >= 1 && code <= 204 ? static_cast<uint8_t>(code) : 0;
}

uint8_t af_am_code(double kHz, bool region_10kHz) {
    const long f = std::lround(kHz);
    if (region_10kHz) {
        if (f >= 540 && f <= 1700 && f % 10 == 0) return static_cast<uint8_t>(f / 10 - 37);
        return 0;
    }
    if (f >= 153 && f <= 279 && (f - 144) % 9 == 0) return static_cast<uint8_t>((f - 144) / 9);
    if (f >= 531 && f <= 1602 && f % 9 == 0) return static_cast<uint8_t>(f / 9 - 43);
    return 0;
}

bool encode_af_list(std::span<const AfEntry> entries, bool region_10kHz, std::array<uint8_t, rds_text_bytes>& list) {
    list.fill(0);
    if (entries.empty() || entries.size() > rds_max_af_entries) return false;
    std::array<uint8_t, rds_text_bytes> out{};
    std::size_t n = 0;
    out[n++] = static_cast<uint8_t>(af_count_base + entries.size());
    for (const AfEntry& e : entries) {
        const uint8_t code = e.am ? af_am_code(e.frequency, region_10kHz) : af_fm_code(e.frequency);
        if (code == 0) return false;
        if (e.am) out[n++] = af_lf_mf_follows;
        out[n++] = code;
    }
    if (n % 2 == 1) out[n++] = af_filler;
    list = out;  // at most 1 + 2 * 25 + 1 bytes: the terminating 0 always follows
    return true;
}

std::vector<AfEntry> decode_af_list(std::span<const uint8_t> list, bool region_10kHz) {
    std::vector<AfEntry> entries;
    std::size_t i = 1;  // after the count code
    while (i < list.size() && list[i] != 0) {
        const uint8_t c = list[i++];
        if (c == af_lf_mf_follows && i < list.size()) {
            const uint8_t am = list[i++];
            double kHz;
            if (region_10kHz) kHz = (am + 37) * 10.0;
            else kHz = am <= 15 ? am * 9.0 + 144.0 : (am + 43) * 9.0;
            entries.push_back({true, kHz});
        } else if (c >= 1 && c <= 204) {
            entries.push_back({false, 87.5 + c * 0.1});
        }
    }
    return entries;
}

RdsContent::RdsContent(RdsClock* clock) : clock_(clock ? clock : &system_clock_) {
    for (std::size_t k = 0; k < rds_user_texts; ++k) {
        user_texts[k] = "PS String  " + std::to_string(k);
        user_names[k] = "PS Name  " + std::to_string(k);
    }
    ps_display.fill(0);
}

void RdsContent::load(const SettingsKey& sound_out_key) {
    std::lock_guard guard(lock);
    const std::optional<SettingsKey> key = sound_out_key.open("RDS_ENCODE");
    if (key) {
        const SettingsKey& k = *key;
        uint32_t v;
        k.read_dword("TA_Port", ta_port);
        k.read_dword("TA_TimeOut", ta_timeout_ms);
        k.read_qword("TA_Autostart", ta_autostart);
        k.read_dword("CLOCK", clock_on);
        k.read_dword("RBDS", rbds);
        k.read_dword("REGION", region);
        if (k.read_dword("PI", v)) pi = static_cast<uint16_t>(v);
        if (k.read_dword("ECC", v)) ecc = static_cast<uint16_t>(v);
        k.read_dword("PS_Scroll_Rate", ps_scroll_rate);
        k.read_dword("PS_Hold_Time", ps_hold_time);
        k.read_dword("PS_Mode", ps_mode);
        k.read_qword("PS_Strip_Underscores", strip_underscores);
        k.read_dword("PS_Index_List2_Len", item_count);
        item_count = std::min<uint32_t>(item_count, rds_max_items);
        k.read_binary("PS_Index_List2", std::as_writable_bytes(std::span(items)));
        k.read_text("PS_FIXED", fixed_ps);
        if (k.read_dword("PTY", v)) pty = v & 31;
        k.read_text("PTYN", ptyn);
        if (k.read_dword("PIN", v)) pin = static_cast<uint16_t>(v);
        k.read_dword("Music", music);
        k.read_dword("TP", tp);
        k.read_dword("Stereo", stereo);
        k.read_dword("Compressed", compressed);
        k.read_dword("EnablePTYN", ptyn_enable);
        k.read_dword("EnableRT", rt_enable);
        k.read_binary("AF_List", std::as_writable_bytes(std::span(af_list)));
        af_list.back() = 0;  // always terminated
        for (const char* sub : {"PS_NAMES", "PS_STRINGS"}) {
            const std::optional<SettingsKey> texts = k.open(sub);
            if (!texts) continue;
            auto& target = std::string_view(sub) == "PS_NAMES" ? user_names : user_texts;
            for (std::size_t i = 0; i < rds_user_texts; ++i) texts->read_text(std::to_string(i), target[i]);
        }
    }
    fixed_ps = pad8(fixed_ps);
    ptyn = pad8(ptyn);
}

bool RdsContent::save(const SettingsKey& sound_out_key) const {
    std::lock_guard guard(lock);
    if (!sound_out_key.valid() || sound_out_key.store() == nullptr) return false;
    SettingsStore::Transaction transaction(*sound_out_key.store());
    const std::optional<SettingsKey> key = sound_out_key.create("RDS_ENCODE");
    if (!key) return false;
    const SettingsKey& k = *key;
    bool ok = k.write_dword("TA_Port", ta_port);
    ok = k.write_dword("TA_TimeOut", ta_timeout_ms) && ok;
    ok = k.write_qword("TA_Autostart", ta_autostart) && ok;
    ok = k.write_dword("CLOCK", clock_on) && ok;
    ok = k.write_dword("RBDS", rbds) && ok;
    ok = k.write_dword("REGION", region) && ok;
    ok = k.write_dword("PI", pi) && ok;
    ok = k.write_dword("ECC", ecc) && ok;
    ok = k.write_dword("PS_Scroll_Rate", ps_scroll_rate) && ok;
    ok = k.write_dword("PS_Hold_Time", ps_hold_time) && ok;
    ok = k.write_dword("PS_Mode", ps_mode) && ok;
    ok = k.write_qword("PS_Strip_Underscores", strip_underscores) && ok;
    ok = k.write_dword("PS_Index_List2_Len", item_count) && ok;
    ok = k.write_binary("PS_Index_List2", std::as_bytes(std::span(items))) && ok;
    ok = k.write_text("PS_FIXED", fixed_ps) && ok;
    ok = k.write_dword("PTY", pty) && ok;
    ok = k.write_text("PTYN", ptyn) && ok;
    ok = k.write_dword("PIN", pin) && ok;
    ok = k.write_dword("Music", music) && ok;
    ok = k.write_dword("TP", tp) && ok;
    ok = k.write_dword("Stereo", stereo) && ok;
    ok = k.write_dword("Compressed", compressed) && ok;
    ok = k.write_dword("EnablePTYN", ptyn_enable) && ok;
    ok = k.write_dword("EnableRT", rt_enable) && ok;
    ok = k.write_binary("AF_List", std::as_bytes(std::span(af_list))) && ok;
    const std::optional<SettingsKey> names = k.create("PS_NAMES");
    const std::optional<SettingsKey> texts = k.create("PS_STRINGS");
    if (!names || !texts) return false;
    for (std::size_t i = 0; i < rds_user_texts; ++i) {
        ok = names->write_text(std::to_string(i), user_names[i]) && ok;
        ok = texts->write_text(std::to_string(i), user_texts[i]) && ok;
    }
    return ok && transaction.commit();
}

std::string RdsContent::item_text(uint32_t item, bool for_ps) {
    std::string text;
    if (item == item_now_playing) {
        std::optional<std::string> current = now_playing;
        if (now_playing_source) {
            current.reset();
            if (auto np = now_playing_source->output_text(NowPlayingOutput::rds)) current = std::move(np->text);
        }
        text = current && !current->empty() ? *current : "Empty Now Playing String";
    } else if (item == item_date || item == item_time) {
        const std::time_t t = clock_->now();
        std::tm local{};
        localtime_r(&t, &local);
        if (item == item_date) {
            const std::string day = two_digits(local.tm_mday), month = two_digits(local.tm_mon + 1);
            text = (rbds ? month + "/" + day : day + "/" + month) + "/" + two_digits(local.tm_year + 1900);
        } else {
            text = "  " + two_digits(local.tm_hour) + ":" + two_digits(local.tm_min);
        }
    } else {
        const uint32_t k = item - item_user_text;
        text = k < rds_user_texts && !user_texts[k].empty() ? user_texts[k] : "Empty String";
    }
    (void)for_ps;
    // On air one byte per character: in the RDS table, then cut to 63 characters.
    text = to_rds_characters(text);
    if (text.size() > text_limit) text.resize(text_limit);
    return text;
}

void RdsContent::ps_step(uint32_t& groups) {
    if (ps_mode == 0) {
        std::string fixed = to_rds_characters(fixed_ps);  // one byte per character
        fixed.resize(8, ' ');
        if (!ps_started || std::memcmp(ps_on_air.data(), fixed.data(), 8) != 0 || ps_length != 8) {
            ps_on_air.fill(0);
            std::memcpy(ps_on_air.data(), fixed.data(), 8);
            ps_length = 8;
            ps_offset = 0;
            ps_scrolls = false;
            ps_started = true;
            groups = 0;
            repaint();
        }
        return;
    }
    bool next = !ps_started;  // nothing on air yet: take the first item now
    if (!next && ps_scrolls) {
        if (groups >= ps_scroll_rate) {
            ++ps_offset;
            groups = 0;
            if (ps_offset > ps_length - 8) next = true;
        }
    } else if (!next && groups >= ps_hold_time) {
        next = true;
    }
    if (!next) return;
    std::string text;
    if (item_count == 0) {
        text = "No PS String Rotation";
    } else {
        if (ps_position >= item_count) ps_position = 0;
        text = item_text(items[ps_position], true);
        ps_position = (ps_position + 1) % item_count;
    }
    ps_on_air.fill(0);
    std::memcpy(ps_on_air.data(), text.data(), text.size());
    ps_length = static_cast<uint32_t>(text.size());
    ps_offset = 0;
    ps_scrolls = ps_length >= 9;
    ps_started = true;
    groups = 0;
}

bool RdsContent::next_rt() {
    std::string text;
    if (item_count == 0) {
        text = "Program Service Name Not Setup";
    } else {
        if (rt_position >= item_count) rt_position = 0;
        text = item_text(items[rt_position], false);
        rt_position = (rt_position + 1) % item_count;
    }
    std::array<uint8_t, rds_text_bytes> message;
    message.fill(rds_carriage_return);
    std::memcpy(message.data(), text.data(), text.size());
    const bool changed = message != rt;
    rt = message;
    rt_display = rds_characters_to_utf8(text);
    repaint();
    return changed;
}

std::vector<std::string> RdsContent::status_lines(bool mpx_on, bool rds_on, bool at_192k) {
    // The reason on a line of its own, below the fixed text.
    if (!at_192k) return {"RDS & MPX not available", "(needs a device at 192 kHz)"};
    std::vector<std::string> lines;
    lines.push_back(std::string(mpx_on ? "MPX is On" : "MPX is Off") +
                    (mpx_on && rds_on ? " , RDS is On" : " , RDS is Off"));
    if (mpx_on && rds_on) {
        std::lock_guard guard(lock);
        lines.push_back("Program Service Name Data");
        lines.push_back(rds_characters_to_utf8(std::string_view(ps_display.data(), strnlen(ps_display.data(), 8))));
        lines.push_back("Radio Text A Data");
        lines.push_back(rt_enable ? rt_display : "Not Enabled");
    }
    return lines;
}

}  // namespace torvalen::broadcast
