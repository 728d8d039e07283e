// The Stream TX requests: its status list and settings, start and stop, the
// encoder slots, and the stream connections of each slot.
#include <algorithm>

#include "app/http/answers.h"
#include "app/http/json.h"
#include "app/http/routes.h"
#include "app/messages.h"
#include "stream/stream_tx.h"

namespace torvalen::http {

namespace {

using stream::StreamTx;

StreamTx* stream_tx_of(Application& app, const Request& request, Response& error) {
    Instance* instance = instance_of(app, request, error);
    if (!instance) return nullptr;
    auto* tx = dynamic_cast<StreamTx*>(instance->stream_tx());
    if (!tx) error = not_found("This instance has no Stream TX");
    return tx;
}

Response stream_result(const stream::StreamResult& r) {
    if (r.ok) return success();
    return message_response(200, r.message, "Error");
}

bool read_slot(const Request& r, unsigned& slot) {
    uint32_t v = 0;
    if (!field_u32(r, "slot", v) || v >= stream::slot_count) return false;
    slot = v;
    return true;
}

void write_encoder(Json& j, const stream::EncoderSettings& e) {
    j.member("type", e.type).member("description", e.describe());
    j.key("vorbis")
        .begin_object()
        .member("bitrate", e.vorbis.bitrate)
        .member("min_bitrate", e.vorbis.min_bitrate)
        .member("max_bitrate", e.vorbis.max_bitrate)
        .member("rate", e.vorbis.rate)
        .member("channels", e.vorbis.channels)
        .end_object();
    j.key("opus")
        .begin_object()
        .member("bitrate", e.opus.bitrate)
        .member("rate", e.opus.rate)
        .member("channels", e.opus.channels)
        .member("vbr", e.opus.vbr != 0)
        .end_object();
    j.key("mp3")
        .begin_object()
        .member("bitrate", e.mp3.bitrate)
        .member("rate", e.mp3.rate)
        .member("channels", e.mp3.channels)
        .end_object();
    j.key("aac")
        .begin_object()
        .member("bitrate", e.aac.bitrate)
        .member("rate", e.aac.rate)
        .member("channels", e.aac.channels)
        .member("vbr", e.aac.vbr != 0)
        .member("sbr_ps", e.aac.sbr_ps != 0)
        .member("sbr_ps_available", false)
        .end_object();
}

Response stream_json(RouteContext& c) {
    Response error;
    StreamTx* tx = stream_tx_of(c.app, c.request, error);
    if (!tx) return error;
    Json j;
    j.begin_object().member("ok", true).member("streaming", tx->streaming());
    const stream::StreamTxParams p = tx->params();
    j.key("params")
        .begin_object()
        .member("input_select", p.input_select)
        .member("input_enable", p.input_enable)
        .member("input_level", p.input_level_dB)
        .member("de_emph", p.de_emphasis)
        .end_object();
    const stream::StationSettings st = tx->station();
    j.key("station")
        .begin_object()
        .member("name", st.name)
        .member("genre", st.genre)
        .member("web_page", st.web_page)
        .member("timeout", st.timeout_ms)
        .member("short_timeout", st.short_timeout_ms)
        .member("make_public", st.make_public)
        .member("auto_start", st.auto_start)
        .member("now_playing", st.now_playing)
        .end_object();
    j.key("slots").begin_array();
    for (unsigned s = 0; s < stream::slot_count; ++s) {
        j.begin_object().member("enabled", tx->slot_enabled(s)).member("open", tx->open_type(s));
        write_encoder(j, tx->encoder_settings(s));
        const auto servers = tx->servers(s);
        const auto states = tx->stream_states(s);
        j.key("streams").begin_array();
        for (std::size_t i = 0; i < servers.size() && i < states.size(); ++i) {
            const auto& v = servers[i];
            // Passwords are never sent back; a browser that may change settings
            // sees the rest of the connection.
            j.begin_object()
                .member("name", v.name)
                .member("enabled", v.enabled)
                .member("status", states[i].status)
                .member("status_text", stream::connection_status_text(states[i].status))
                .member("metadata_status", states[i].metadata_status)
                .member("metadata_text", stream::metadata_status_text(states[i].metadata_status));
            if (c.may_change)
                j.member("url", v.url)
                    .member("port", v.port)
                    .member("user", v.user)
                    .member("path", v.path)
                    .member("admin_user", v.admin_user)
                    .member("id", v.id);
            j.end_object();
        }
        j.end_array().end_object();
    }
    j.end_array();
    j.key("status_lines").begin_array();
    for (const std::string& line : tx->status_lines()) j.value(line);
    j.end_array();
    const auto m = tx->meters();
    j.key("meters").begin_array().value(m[0]).value(m[1]).end_array();
    j.member("dropped_blocks", tx->dropped_blocks());
    j.end_object();
    return json_response(200, j.take());
}

Response mp3_probe(RouteContext& c) {
    uint32_t bitrate = 0, rate = 0, channels = 2;
    if (!field_u32(c.request, "bitrate", bitrate) || !field_u32(c.request, "rate", rate))
        return bad_request("Bit rate and sample rate are needed");
    if (c.request.param("channels") && !field_u32(c.request, "channels", channels))
        return bad_request("Channels must be 1 or 2");
    const bool valid = stream::probe_mp3(bitrate, rate, channels == 1 ? 1 : 2);
    Json j;
    j.begin_object()
        .member("ok", true)
        .member("valid", valid)
        .member("text", valid ? "Valid Combination Of Parameters" : "Invalid Combination Of Parameters")
        .end_object();
    return json_response(200, j.take());
}

Response stream_command(RouteContext& c, std::string_view verb) {
    Response error;
    StreamTx* tx = stream_tx_of(c.app, c.request, error);
    if (!tx) return error;
    const Request& r = c.request;
    if (verb == "start") {
        tx->start_streaming();
        return success();
    }
    if (verb == "stop") {
        tx->stop_streaming();
        return success();
    }
    if (verb == "params") {
        // The page's values go through the control set like a widget's change, so
        // the preset bar sees them (and a locked instance refuses them).
        stream::StreamTxParams p = tx->params();
        bool bad = false;
        optional_u32(r, "input_select", p.input_select, bad);
        optional_flag(r, "input_enable", p.input_enable);
        optional_u32(r, "de_emph", p.de_emphasis, bad);
        optional_float(r, "input_level", p.input_level_dB, bad);
        if (bad || p.input_select >= bus_count || p.de_emphasis > 2 ||
            !(p.input_level_dB >= -10.0f && p.input_level_dB <= 0.0f))
            return bad_request("A value is out of range");
        params::ControlSet& controls = tx->controls();
        if (!controls.enabled()) return forbidden(messages::locked);
        controls.set(stream::stream_control_input_select, static_cast<float>(p.input_select));
        controls.set(stream::stream_control_input_enable, p.input_enable ? 1.0f : 0.0f);
        controls.set(stream::stream_control_level, p.input_level_dB);
        controls.set(stream::stream_control_de_emph, static_cast<float>(p.de_emphasis));
        return success();
    }
    if (verb == "station") {
        stream::StationSettings st = tx->station();
        bool bad = false;
        optional_text(r, "name", st.name);
        optional_text(r, "genre", st.genre);
        optional_text(r, "web_page", st.web_page);
        optional_u32(r, "timeout", st.timeout_ms, bad);
        optional_u32(r, "short_timeout", st.short_timeout_ms, bad);
        optional_flag(r, "make_public", st.make_public);
        optional_flag(r, "auto_start", st.auto_start);
        optional_flag(r, "now_playing", st.now_playing);
        if (bad || st.timeout_ms == 0 || st.timeout_ms > 60000 || st.short_timeout_ms > 1000)
            return bad_request("A time-out is out of range");
        return stream_result(tx->set_station(st));
    }
    unsigned slot = 0;
    if (!read_slot(r, slot)) return bad_request("Which encoder (slot 0 or 1)?");
    if (verb == "encoder") {
        stream::EncoderSettings e = tx->encoder_settings(slot);
        bool enabled = tx->slot_enabled(slot);
        bool bad = false;
        optional_flag(r, "enabled", enabled);
        optional_u32(r, "type", e.type, bad);
        optional_u32(r, "vorbis_bitrate", e.vorbis.bitrate, bad);
        optional_u32(r, "vorbis_min_bitrate", e.vorbis.min_bitrate, bad);
        optional_u32(r, "vorbis_max_bitrate", e.vorbis.max_bitrate, bad);
        optional_u32(r, "vorbis_rate", e.vorbis.rate, bad);
        optional_u32(r, "vorbis_channels", e.vorbis.channels, bad);
        optional_u32(r, "opus_bitrate", e.opus.bitrate, bad);
        optional_u32(r, "opus_rate", e.opus.rate, bad);
        optional_u32(r, "opus_channels", e.opus.channels, bad);
        optional_u32(r, "opus_vbr", e.opus.vbr, bad);
        optional_u32(r, "mp3_bitrate", e.mp3.bitrate, bad);
        optional_u32(r, "mp3_rate", e.mp3.rate, bad);
        optional_u32(r, "mp3_channels", e.mp3.channels, bad);
        optional_u32(r, "aac_bitrate", e.aac.bitrate, bad);
        optional_u32(r, "aac_rate", e.aac.rate, bad);
        optional_u32(r, "aac_channels", e.aac.channels, bad);
        optional_flag(r, "aac_vbr", e.aac.vbr);
        optional_flag(r, "aac_sbr_ps", e.aac.sbr_ps);
        auto listed = [](const std::vector<uint32_t>& list, uint32_t v) {
            return std::find(list.begin(), list.end(), v) != list.end();
        };
        auto channels_ok = [](uint32_t ch) { return ch == 1 || ch == 2; };
        if (bad || !listed(stream::vorbis_bitrates, e.vorbis.bitrate) ||
            !listed(stream::vorbis_bitrates, e.vorbis.min_bitrate) ||
            !listed(stream::vorbis_bitrates, e.vorbis.max_bitrate) || !listed(stream::vorbis_rates, e.vorbis.rate) ||
            !listed(stream::opus_bitrates, e.opus.bitrate) || !listed(stream::opus_rates, e.opus.rate) ||
            !listed(stream::mp3_bitrates, e.mp3.bitrate) || !listed(stream::mp3_rates, e.mp3.rate) ||
            !listed(stream::aac_bitrates, e.aac.bitrate) || !listed(stream::aac_rates, e.aac.rate) ||
            !channels_ok(e.vorbis.channels) || !channels_ok(e.opus.channels) || !channels_ok(e.mp3.channels) ||
            !channels_ok(e.aac.channels))
            return bad_request("A value is not one of the list");
        stream::settle_vorbis(e.vorbis, flag(r, "vorbis_vbr"));
        stream::settle_aac(e.aac);
        return stream_result(tx->set_encoder(slot, e, enabled));
    }
    if (verb == "new") return stream_result(tx->add_stream(slot, field(r, "name")));
    uint32_t index = 0;
    if (!field_u32(r, "index", index)) return bad_request("Which stream?");
    if (verb == "rename") return stream_result(tx->rename_stream(slot, index, field(r, "name")));
    if (verb == "delete") return stream_result(tx->delete_stream(slot, index));
    if (verb == "setup") {
        const auto servers = tx->servers(slot);
        if (index >= servers.size()) return not_found("No such stream");
        if (field(r, "server_type") == "shoutcast")
            return message_response(200, "Shoutcast servers not supported yet", "Error");
        if (field(r, "ip") == "6") return message_response(200, "IPv6 not supported yet", "Error");
        stream::ServerSettings s = servers[index];
        bool bad = false;
        optional_text(r, "url", s.url);
        optional_text(r, "port", s.port);
        optional_text(r, "user", s.user);
        optional_text(r, "password", s.password);
        optional_text(r, "path", s.path);
        optional_text(r, "admin_user", s.admin_user);
        optional_text(r, "admin_password", s.admin_password);
        optional_u32(r, "id", s.id, bad);
        optional_flag(r, "enabled", s.enabled);
        if (bad) return bad_request("The stream ID number must be a number");
        return stream_result(tx->set_server(slot, index, s));
    }
    return not_found("No such request");
}

}  // namespace

void add_stream_routes(RouteTable& table) {
    table.read("/api/stream", [](RouteContext& c) { return stream_json(c); });
    table.read("/api/stream/mp3probe", [](RouteContext& c) { return mp3_probe(c); });
    for (const char* verb : {"start", "stop", "params", "station", "encoder", "new", "rename", "delete", "setup"})
        table.command(std::string("/api/stream/") + verb,
                      [verb](RouteContext& c) { return stream_command(c, verb); });
}

}  // namespace torvalen::http
