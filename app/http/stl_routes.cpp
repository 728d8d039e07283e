// The studio-transmitter link's requests: the STL TX and STL RX status panes, their
// settings dialogs, and the Start/Stop (connect/disconnect) commands.
#include "app/http/answers.h"
#include "app/http/json.h"
#include "app/http/routes.h"
#include "app/messages.h"
#include "app/password_store.h"
#include "stl/stl_rx.h"
#include "stl/stl_tx.h"

namespace torvalen::http {

namespace {

stl::StlTx* tx_of(Instance& instance) { return dynamic_cast<stl::StlTx*>(instance.stl_tx()); }
stl::StlRx* rx_of(Instance& instance) { return dynamic_cast<stl::StlRx*>(instance.stl_rx()); }

void write_lines(Json& j, const std::vector<std::string>& lines) {
    j.key("status_lines").begin_array();
    for (const auto& l : lines) j.value(l);
    j.end_array();
}

// A new password must pass the strength rule; an absent or empty field keeps the old one.
bool take_password(const Request& r, std::string& out, Response& refusal) {
    const std::string p = field(r, "password");
    if (p.empty()) return true;
    if (!password_is_strong(p)) {
        refusal = message_response(200, messages::password_not_strong, messages::title_error);
        return false;
    }
    out = p;
    return true;
}

Response tx_json(Application& app, const Request& request) {
    Response error;
    Instance* instance = instance_of(app, request, error);
    if (!instance) return error;
    stl::StlTx* tx = tx_of(*instance);
    if (!tx) return not_found("This instance has no STL TX");
    const stl::TxSettings s = tx->settings();
    Json j;
    j.begin_object().member("ok", true).member("status", static_cast<uint32_t>(tx->status()));
    j.member("status_text", stl::tx_status_text(tx->status())).member("connected", tx->connected());
    j.member("blocks_queued", tx->blocks_queued())
        .member("blocks_dropped", tx->blocks_dropped())
        .member("blocks_overwritten", tx->blocks_overwritten());
    write_lines(j, tx->status_lines());
    j.key("settings")
        .begin_object()
        .member("url", s.url)
        .member("port", s.port)
        .member("timeout", s.timeout_ms)
        .member("send_timeout", s.send_timeout_ms)
        .member("ipv6", s.ipv6)
        .member("enable_now", s.enable_now)
        .member("enable", s.enable)
        .member("connect_at_startup", s.connect_at_startup)
        .member("encoder", s.encoder_type)
        .member("pcm_channels", s.pcm.channels)
        .member("pcm_rate", s.pcm.sample_rate)
        .member("pcm_mono_mode", s.pcm.mono_mode)
        .member("aac_bit_rate", s.aac.bit_rate)
        .member("aac_channels", s.aac.channels)
        .member("aac_vbr", s.aac.vbr != 0)
        .member("aac_sbr_ps", s.aac.sbr_ps != 0)
        .end_object();
    j.end_object();
    return json_response(200, j.take());
}

Response rx_json(Application& app, const Request& request) {
    Response error;
    Instance* instance = instance_of(app, request, error);
    if (!instance) return error;
    stl::StlRx* rx = rx_of(*instance);
    if (!rx) return not_found("This instance has no STL RX");
    const stl::RxSettings s = rx->settings();
    Json j;
    j.begin_object().member("ok", true).member("status", static_cast<uint32_t>(rx->status()));
    j.member("status_text", stl::rx_status_text(rx->status())).member("listening", rx->listening());
    write_lines(j, rx->status_lines());
    j.key("settings")
        .begin_object()
        .member("port", s.port)
        .member("timeout", s.timeout_ms)
        .member("send_timeout", s.send_timeout_ms)
        .member("enable", s.enable)
        .member("listen_at_startup", s.listen_at_startup)
        .member("buffer_time", s.buffer_time_ms)
        .end_object();
    j.end_object();
    return json_response(200, j.take());
}

Response tx_command(Application& app, const Request& request, std::string_view verb) {
    Response error;
    Instance* instance = instance_of(app, request, error);
    if (!instance) return error;
    stl::StlTx* tx = tx_of(*instance);
    if (!tx) return not_found("This instance has no STL TX");
    if (verb == "start") {
        tx->connect();
        return success();
    }
    if (verb == "stop") {
        tx->disconnect();
        return success();
    }
    stl::TxSettings s = tx->settings();
    optional_text(request, "url", s.url);
    optional_text(request, "port", s.port);
    Response refusal;
    if (!take_password(request, s.password, refusal)) return refusal;
    bool bad = false;
    optional_u32(request, "timeout", s.timeout_ms, bad);
    optional_u32(request, "send_timeout", s.send_timeout_ms, bad);
    optional_u32(request, "encoder", s.encoder_type, bad);
    optional_u32(request, "pcm_channels", s.pcm.channels, bad);
    optional_u32(request, "pcm_rate", s.pcm.sample_rate, bad);
    optional_u32(request, "pcm_mono_mode", s.pcm.mono_mode, bad);
    optional_u32(request, "aac_bit_rate", s.aac.bit_rate, bad);
    optional_u32(request, "aac_channels", s.aac.channels, bad);
    if (bad || s.encoder_type > 1) return bad_request("Malformed setting");
    optional_flag(request, "ipv6", s.ipv6);
    optional_flag(request, "enable_now", s.enable_now);
    optional_flag(request, "enable", s.enable);
    optional_flag(request, "connect_at_startup", s.connect_at_startup);
    optional_flag(request, "aac_vbr", s.aac.vbr);
    optional_flag(request, "aac_sbr_ps", s.aac.sbr_ps);
    tx->apply_settings(s);
    return success();
}

Response rx_command(Application& app, const Request& request, std::string_view verb) {
    Response error;
    Instance* instance = instance_of(app, request, error);
    if (!instance) return error;
    stl::StlRx* rx = rx_of(*instance);
    if (!rx) return not_found("This instance has no STL RX");
    if (verb == "start") {
        rx->start();
        return success();
    }
    if (verb == "stop") {
        rx->stop();
        return success();
    }
    stl::RxSettings s = rx->settings();
    optional_text(request, "port", s.port);
    Response refusal;
    if (!take_password(request, s.password, refusal)) return refusal;
    bool bad = false;
    optional_u32(request, "timeout", s.timeout_ms, bad);
    optional_u32(request, "send_timeout", s.send_timeout_ms, bad);
    optional_u32(request, "buffer_time", s.buffer_time_ms, bad);
    if (bad) return bad_request("Malformed setting");
    optional_flag(request, "enable", s.enable);
    optional_flag(request, "listen_at_startup", s.listen_at_startup);
    rx->apply_settings(s);
    return success();
}

}  // namespace

void add_stl_routes(RouteTable& table) {
    table.read("/api/stl_tx", [](RouteContext& c) { return tx_json(c.app, c.request); });
    table.read("/api/stl_rx", [](RouteContext& c) { return rx_json(c.app, c.request); });
    for (const char* verb : {"settings", "start", "stop"}) {
        table.command(std::string("/api/stl_tx/") + verb,
                      [verb](RouteContext& c) { return tx_command(c.app, c.request, verb); });
        table.command(std::string("/api/stl_rx/") + verb,
                      [verb](RouteContext& c) { return rx_command(c.app, c.request, verb); });
    }
}

}  // namespace torvalen::http
