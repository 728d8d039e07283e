// The RDS dialogs of the Sound Out menu: "RDS Settings" with its AF list,
// "RDS Options", the PS texts ("String Settings"), the rotation ("Program Service
// Name Settings") and the traffic-announcement service ("RDS Traffic
// Announcement"). Each change is made under the content lock, whole or not at all,
// and stored at once.
#include <mutex>
#include <sstream>

#include "app/http/answers.h"
#include "app/http/json.h"
#include "app/http/routes.h"
#include "broadcast/rds_charset.h"
#include "broadcast/rds_content.h"
#include "broadcast/sound_out.h"
#include "engine/user_text.h"

namespace torvalen::http {

namespace {

using broadcast::RdsContent;
using broadcast::SoundOut;

constexpr const char* replaced_notice = "Characters RDS cannot carry were replaced by spaces";
constexpr const char* ta_active = "Traffic Announcement Active";
constexpr const char* ta_not_active = "Traffic Announcement Not Active";

SoundOut* sound_out_of(Application& app, const Request& request, Response& error) {
    Instance* instance = instance_of(app, request, error);
    if (!instance) return nullptr;
    auto* out = dynamic_cast<SoundOut*>(instance->sound_out());
    if (!out) error = not_found("This instance has no Sound Out");
    return out;
}

// The first `n` characters of UTF-8 text.
std::string first_characters(const std::string& text, size_t n) {
    size_t count = 0, i = 0;
    for (; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && count++ == n) break;
    }
    return text.substr(0, i);
}

size_t character_count(const std::string& text) {
    size_t n = 0;
    for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

// A dialog text as RDS will carry it: characters the table lacks become spaces,
// at most `limit` characters, padded with spaces to `pad` characters.
std::string rds_text(const std::string& text, size_t limit, size_t pad, bool& replaced) {
    std::string t = first_characters(broadcast::rds_displayable(text, &replaced), limit);
    for (size_t n = character_count(t); n < pad; ++n) t += ' ';
    return t;
}

Response saved(SoundOut& out, bool replaced) {
    if (!out.save_rds_content()) return message_response(200, "The RDS settings could not be stored", "Error");
    if (!replaced) return success();
    Json j;
    j.begin_object().member("ok", true).member("notice", replaced_notice).end_object();
    return json_response(200, j.take());
}

std::string hex_text(uint32_t v) { return broadcast::format_hex(v); }

void write_af(Json& j, const RdsContent& c) {
    j.key("af").begin_array();
    for (const broadcast::AfEntry& e : broadcast::decode_af_list(c.af_list, c.region != 0)) {
        char text[32];
        if (e.am) std::snprintf(text, sizeof text, "%.0f kHz", e.frequency);
        else std::snprintf(text, sizeof text, "%.1f", e.frequency);
        j.begin_object().member("am", e.am).member("frequency", e.frequency).member("text", text).end_object();
    }
    j.end_array();
}

Response rds_json(Application& app, const Request& request) {
    Response error;
    SoundOut* out = sound_out_of(app, request, error);
    if (!out) return error;
    RdsContent& c = out->rds_content();
    Json j;
    std::lock_guard lock(c.lock);
    j.begin_object().member("ok", true);
    j.member("rbds", c.rbds != 0).member("region", c.region);
    j.member("pi", hex_text(c.pi)).member("ecc", hex_text(c.ecc)).member("pty", c.pty);
    j.key("pty_names").begin_array();
    for (std::string_view name : broadcast::pty_names(c.rbds != 0)) j.value(name);
    j.end_array();
    j.member("ptyn", repair_utf8(c.ptyn)).member("fixed_ps", repair_utf8(c.fixed_ps));
    j.key("pin")
        .begin_object()
        .member("day", hex_text(c.pin >> 11))
        .member("hour", hex_text((c.pin >> 6) & 31))
        .member("minute", hex_text(c.pin & 63))
        .end_object();
    j.member("music", c.music != 0)
        .member("tp", c.tp != 0)
        .member("stereo", c.stereo != 0)
        .member("compressed", c.compressed != 0)
        .member("ptyn_enable", c.ptyn_enable != 0)
        .member("rt_enable", c.rt_enable != 0)
        .member("clock", c.clock_on != 0)
        .member("ps_rotation", c.ps_mode != 0);
    write_af(j, c);
    j.key("strings").begin_array();
    for (size_t k = 0; k < broadcast::rds_user_texts; ++k) {
        if (c.user_names[k].empty()) continue;
        j.begin_object()
            .member("index", static_cast<uint32_t>(k))
            .member("name", repair_utf8(c.user_names[k]))
            .member("text", repair_utf8(c.user_texts[k]))
            .end_object();
    }
    j.end_array();
    j.key("items").begin_array();
    for (uint32_t i = 0; i < c.item_count && i < broadcast::rds_max_items; ++i) j.value(c.items[i]);
    j.end_array();
    j.member("scroll_rate", c.ps_scroll_rate).member("hold_time", c.ps_hold_time).member("strip", c.strip_underscores != 0);
    j.key("ta")
        .begin_object()
        .member("port", c.ta_port)
        .member("timeout", c.ta_timeout_ms)
        .member("autostart", c.ta_autostart != 0)
        .member("running", out->ta_service().running())
        .member("line", c.ta.load() != 0 ? ta_active : ta_not_active)
        .end_object();
    j.end_object();
    return json_response(200, j.take());
}

// Up to two hexadecimal characters (an optional trailing "H").
bool pin_field(const Request& r, const char* name, uint32_t& out) {
    std::string text = field(r, name);
    if (!text.empty() && (text.back() == 'H' || text.back() == 'h')) text.pop_back();
    if (text.size() > 2) return false;
    out = broadcast::parse_hex(text);
    return true;
}

Response settings_command(Application& app, const Request& request) {
    Response error;
    SoundOut* out = sound_out_of(app, request, error);
    if (!out) return error;
    uint32_t pty = 0, day = 0, hour = 0, minute = 0;
    if (!field_u32(request, "pty", pty) || pty > 31) return bad_request("Program Type must be 0 to 31");
    if (!pin_field(request, "pin_day", day) || !pin_field(request, "pin_hour", hour) ||
        !pin_field(request, "pin_minute", minute))
        return message_response(200, "Program Item Number: up to 2 hexadecimal characters each", "Error");
    const std::string ptyn_in = field(request, "ptyn"), ps_in = field(request, "fixed_ps");
    if (!clean_user_text(ptyn_in) || !clean_user_text(ps_in) || !clean_user_text(field(request, "pi")) ||
        !clean_user_text(field(request, "ecc")))
        return bad_request("The texts must be text without control characters");
    bool replaced = false;
    const std::string ptyn = rds_text(ptyn_in, 8, 8, replaced);
    const std::string ps = rds_text(ps_in, 8, 8, replaced);
    RdsContent& c = out->rds_content();
    {
        std::lock_guard lock(c.lock);
        c.pi = static_cast<uint16_t>(broadcast::parse_hex(field(request, "pi")));
        c.ecc = static_cast<uint16_t>(broadcast::parse_hex(field(request, "ecc")));
        c.pty = pty;
        c.ptyn = ptyn;
        c.fixed_ps = ps;
        c.pin = broadcast::pin_code(day, hour, minute);
        c.music = flag(request, "music");
        c.tp = flag(request, "tp");
        c.stereo = flag(request, "stereo");
        c.compressed = flag(request, "compressed");
        c.ptyn_enable = flag(request, "ptyn_enable");
        c.rt_enable = flag(request, "rt_enable");
        c.clock_on = flag(request, "clock");
        c.ps_mode = flag(request, "ps_rotation") ? 1 : 0;
    }
    c.status_version.fetch_add(1, std::memory_order_release);
    return saved(*out, replaced);
}

Response options_command(Application& app, const Request& request) {
    Response error;
    SoundOut* out = sound_out_of(app, request, error);
    if (!out) return error;
    uint32_t rbds = 0, region = 0;
    if (!field_u32(request, "rbds", rbds) || rbds > 1 || !field_u32(request, "region", region) || region > 1)
        return bad_request("rbds and region must be 0 or 1");
    RdsContent& c = out->rds_content();
    {
        std::lock_guard lock(c.lock);
        if (c.rbds != rbds) c.pty = 0;  // the names differ: start from "None"
        if (c.region != region) c.af_list.fill(0);  // AM codes mean other frequencies now
        c.rbds = rbds;
        c.region = region;
    }
    return saved(*out, false);
}

// "fm:98.5,am:999": the whole list; refused whole when one entry has no code.
Response af_command(Application& app, const Request& request) {
    Response error;
    SoundOut* out = sound_out_of(app, request, error);
    if (!out) return error;
    std::vector<broadcast::AfEntry> entries;
    std::stringstream list(field(request, "entries"));
    for (std::string item; std::getline(list, item, ',');) {
        if (item.empty()) continue;
        broadcast::AfEntry e;
        float value = 0.0f;
        if (item.rfind("fm:", 0) == 0) e.am = false;
        else if (item.rfind("am:", 0) == 0) e.am = true;
        else return bad_request("An entry is fm:MHZ or am:KHZ");
        if (!parse_float(item.substr(3), value)) return bad_request("An entry is fm:MHZ or am:KHZ");
        e.frequency = value;
        entries.push_back(e);
    }
    if (entries.size() > broadcast::rds_max_af_entries)
        return message_response(200, "At most 25 alternative frequencies", "Error");
    RdsContent& c = out->rds_content();
    {
        std::lock_guard lock(c.lock);
        std::array<uint8_t, broadcast::rds_text_bytes> coded{};
        for (const broadcast::AfEntry& e : entries) {
            const uint8_t code = e.am ? broadcast::af_am_code(e.frequency, c.region != 0) : broadcast::af_fm_code(e.frequency);
            if (code == 0) {
                char text[80];
                std::snprintf(text, sizeof text, "%g %s is not an alternative frequency RDS can name", e.frequency,
                              e.am ? "kHz" : "MHz");
                return message_response(200, text, "Error");
            }
        }
        if (!entries.empty() && !broadcast::encode_af_list(entries, c.region != 0, coded))
            return message_response(200, "The list could not be coded", "Error");
        c.af_list = coded;
    }
    return saved(*out, false);
}

Response strings_command(Application& app, const Request& request) {
    Response error;
    SoundOut* out = sound_out_of(app, request, error);
    if (!out) return error;
    const std::string action = field(request, "action");
    RdsContent& c = out->rds_content();
    uint32_t index = 0;
    if (action == "delete") {
        if (!field_u32(request, "index", index) || index >= broadcast::rds_user_texts) return bad_request("No such text");
        std::lock_guard lock(c.lock);
        c.user_names[index].clear();
        c.user_texts[index].clear();
    } else if (action == "set" || action == "add") {
        const std::string name = field(request, "name"), text = field(request, "text");
        if (!clean_user_text(name) || !clean_user_text(text))
            return bad_request("The texts must be text without control characters");
        if (name.empty()) return message_response(200, "No Name", "Error");
        bool replaced = false;
        const std::string carried = rds_text(text, broadcast::rds_text_bytes - 1, 0, replaced);
        std::lock_guard lock(c.lock);
        if (action == "add") {
            index = broadcast::rds_user_texts;
            for (uint32_t k = 0; k < broadcast::rds_user_texts && index == broadcast::rds_user_texts; ++k)
                if (c.user_names[k].empty()) index = k;
            if (index == broadcast::rds_user_texts)
                return message_response(200, "All 64 texts are in use: edit or delete one", "Error");
        } else if (!field_u32(request, "index", index) || index >= broadcast::rds_user_texts) {
            return bad_request("No such text");
        }
        for (uint32_t k = 0; k < broadcast::rds_user_texts; ++k)
            if (k != index && c.user_names[k] == first_characters(name, 63))
                return message_response(200, "Duplicate Name", "Error");
        c.user_names[index] = first_characters(name, 63);
        c.user_texts[index] = carried;
        if (replaced) {
            c.status_version.fetch_add(1, std::memory_order_release);
            return saved(*out, true);
        }
    } else {
        return bad_request("action must be add, set or delete");
    }
    return saved(*out, false);
}

Response rotation_command(Application& app, const Request& request) {
    Response error;
    SoundOut* out = sound_out_of(app, request, error);
    if (!out) return error;
    std::vector<uint32_t> items;
    std::stringstream list(field(request, "items"));
    for (std::string item; std::getline(list, item, ',');) {
        uint32_t v = 0;
        if (item.empty()) continue;
        if (!parse_u32(item, v) || v >= broadcast::item_user_text + broadcast::rds_user_texts)
            return bad_request("No such rotation item");
        items.push_back(v);
    }
    if (items.size() > broadcast::rds_max_items)
        return message_response(200, "The rotation holds at most 16 entries", "Error");
    uint32_t scroll = 0, hold = 0;
    if (!field_u32(request, "scroll_rate", scroll) || (scroll != 4 && scroll != 8 && scroll != 16))
        return bad_request("Scroll Rate is 4, 8 or 16 groups");
    if (!field_u32(request, "hold_time", hold) || (hold != 32 && hold != 64 && hold != 128))
        return bad_request("Hold Time is 32, 64 or 128 groups");
    RdsContent& c = out->rds_content();
    {
        std::lock_guard lock(c.lock);
        c.items.fill(0);
        for (size_t i = 0; i < items.size(); ++i) c.items[i] = items[i];
        c.item_count = static_cast<uint32_t>(items.size());
        c.ps_position = c.rt_position = 0;
        c.ps_scroll_rate = scroll;
        c.ps_hold_time = hold;
        c.strip_underscores = flag(request, "strip") ? 1 : 0;
    }
    return saved(*out, false);
}

Response ta_command(Application& app, const Request& request) {
    Response error;
    SoundOut* out = sound_out_of(app, request, error);
    if (!out) return error;
    RdsContent& c = out->rds_content();
    const std::string action = field(request, "action");
    if (action == "apply") {
        uint32_t port = 0, timeout = 0;
        if (!field_u32(request, "port", port) || port == 0 || port > 65535) return bad_request("Port must be 1 to 65535");
        if (!field_u32(request, "timeout", timeout)) return bad_request("Time-out must be a number of milliseconds");
        {
            std::lock_guard lock(c.lock);
            c.ta_port = port;
            c.ta_timeout_ms = std::max<uint32_t>(timeout, 1000);
            c.ta_autostart = flag(request, "autostart") ? 1 : 0;
        }
        if (out->ta_service().running() && !out->start_ta_service())
            return message_response(200, "The traffic-announcement service could not be restarted", "Error");
        return saved(*out, false);
    }
    if (action == "start") {
        return out->start_ta_service() ? success()
                                       : message_response(200, "The traffic-announcement service could not be started",
                                                          "Error");
    }
    if (action == "stop") {
        out->ta_service().stop();
        return success();
    }
    if (action == "on" || action == "off") {
        if (out->ta_service().running())
            return message_response(200, "Stop the service to switch the announcement by hand", "Error");
        c.ta.store(action == "on" ? 1u : 0u);
        return success();
    }
    return bad_request("action must be apply, start, stop, on or off");
}

}  // namespace

void add_rds_routes(RouteTable& table) {
    table.read("/api/rds", [](RouteContext& c) { return rds_json(c.app, c.request); });
    table.read("/api/rds/ta", [](RouteContext& c) {
        Response error;
        SoundOut* out = sound_out_of(c.app, c.request, error);
        if (!out) return error;
        Json j;
        j.begin_object()
            .member("ok", true)
            .member("running", out->ta_service().running())
            .member("line", out->rds_content().ta.load() != 0 ? ta_active : ta_not_active)
            .end_object();
        return json_response(200, j.take());
    });
    table.command("/api/rds/settings", [](RouteContext& c) { return settings_command(c.app, c.request); });
    table.command("/api/rds/options", [](RouteContext& c) { return options_command(c.app, c.request); });
    table.command("/api/rds/af", [](RouteContext& c) { return af_command(c.app, c.request); });
    table.command("/api/rds/strings", [](RouteContext& c) { return strings_command(c.app, c.request); });
    table.command("/api/rds/rotation", [](RouteContext& c) { return rotation_command(c.app, c.request); });
    table.command("/api/rds/ta", [](RouteContext& c) { return ta_command(c.app, c.request); });
}

}  // namespace torvalen::http
