// The Sound Card dialog's requests: the devices, the instance's and the shared
// device's settings, channel maps and the interface mode.
#include <cstdio>

#include "app/http/answers.h"
#include "app/http/json.h"
#include "app/http/routes.h"
#include "app/messages.h"

namespace torvalen::http {

namespace {

// Hundredths of a millisecond of `samples` at `rate`, as "12.34".
std::string milliseconds_text(uint64_t samples, uint32_t rate) {
    if (rate == 0) return "0.00";
    const uint64_t hundredths = 100000 * samples / rate;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%llu.%02llu", static_cast<unsigned long long>(hundredths / 100),
                  static_cast<unsigned long long>(hundredths % 100));
    return buffer;
}

void write_device(Json& j, const DeviceSettings& d) {
    j.begin_object()
        .member("device", d.device)
        .member("rate", d.sample_rate)
        .member("frames", d.frame_size)
        .member("l_in", d.input_l)
        .member("r_in", d.input_r)
        .member("l_out", d.output_l)
        .member("r_out", d.output_r)
        .end_object();
}

bool read_channel(const Request& r, const char* name, uint32_t& out) { return field_u32(r, name, out); }

Response sound_json(Application& app, const Request& request) {
    Response error;
    Instance* instance = instance_of(app, request, error);
    if (!instance) return error;
    Json j;
    j.begin_object().member("ok", true).member("interface", app.shared_mode() ? 0u : 1u);
    j.key("devices").begin_array();
    for (const auto& d : app.sound_devices())
        j.begin_object()
            .member("name", d.name)
            .member("host", d.host)
            .member("inputs", d.channels.inputs)
            .member("outputs", d.channels.outputs)
            .member("default_rate", d.default_rate_Hz)
            .end_object();
    j.end_array();
    const DeviceSettings own = instance->device_settings();
    const DeviceSettings shared = app.shared_device_settings();
    j.key("instance_device");
    write_device(j, own);
    j.key("shared_device");
    write_device(j, shared);
    const ChannelMap c = instance->channel_map();
    j.key("channels")
        .begin_object()
        .member("l_in", c.l_in)
        .member("r_in", c.r_in)
        .member("l_out", c.l_out)
        .member("r_out", c.r_out)
        .end_object();
    const std::string& configured = app.shared_mode() ? shared.device : own.device;
    j.member("configured", configured).member("attached", configured.empty() || app.device_attached(configured));
    j.member("status", app.device_status(instance));
    if (DeviceContext* card = app.sound_card_of(instance)) {
        const DeviceStatus st = card->status();
        j.member("latency_text", "Input Latency " + milliseconds_text(st.latencies.input, st.rate_Hz) +
                                     " -  Output Latency " + milliseconds_text(st.latencies.output, st.rate_Hz) +
                                     " ms")
            .member("buffer_text", "Duplex buffer latency " + milliseconds_text(st.frames, st.rate_Hz) + " ms")
            .member("inputs", st.channels.inputs)
            .member("outputs", st.channels.outputs);
    } else {
        j.key("latency_text").null().key("buffer_text").null();
    }
    j.end_object();
    return json_response(200, j.take());
}

Response probe_json(Application& app, const Request& request) {
    const std::string device = field(request, "device");
    if (device.empty()) return bad_request("Which device?");
    for (const auto& d : app.sound_devices()) {
        if (d.name != device) continue;
        if (!app.device_attached(device)) break;
        Json j;
        j.begin_object()
            .member("ok", true)
            .member("inputs", d.channels.inputs)
            .member("outputs", d.channels.outputs)
            .member("default_rate", d.default_rate_Hz)
            .end_object();
        return json_response(200, j.take());
    }
    return message_response(200, messages::device_not_attached, messages::title_warning);
}

Response sound_command(Application& app, const Request& request, std::string_view verb) {
    Response error;
    Instance* instance = instance_of(app, request, error);
    if (!instance) return error;
    if (verb == "interface") {
        uint32_t mode = 0;
        if (!field_u32(request, "mode", mode) || mode > 1) return bad_request("Mode must be 0 or 1");
        return result_response(app.set_interface_mode(mode));
    }
    if (verb == "channels") {
        ChannelMap c;
        if (!read_channel(request, "l_in", c.l_in) || !read_channel(request, "r_in", c.r_in) ||
            !read_channel(request, "l_out", c.l_out) || !read_channel(request, "r_out", c.r_out))
            return bad_request("Four channel numbers are needed");
        return result_response(app.apply_channels(*instance, c));
    }
    if (verb == "device") {
        const std::string scope = field(request, "scope");
        if (scope != "instance" && scope != "shared") return bad_request("Scope must be instance or shared");
        DeviceSettings d = scope == "shared" ? app.shared_device_settings() : instance->device_settings();
        d.device = field(request, "device");
        if (d.device.empty() && scope == "instance") {
            // No sound card: the instance runs on the virtual device, at the rate and
            // block given here, or at the command line's when none are given.
            d.sample_rate = 0;
            d.frame_size = 0;
            if (request.param("rate") || request.param("frames")) {
                if (!field_u32(request, "rate", d.sample_rate) || !field_u32(request, "frames", d.frame_size) ||
                    !valid_virtual_block(d.sample_rate, d.frame_size))
                    return bad_request("The virtual device runs at 48000 or 192000 Hz with 1 to 16384 frames "
                                       "(a multiple of 4 at 192000 Hz)");
            }
        } else if (!d.device.empty()) {
            if (!field_u32(request, "rate", d.sample_rate) || !field_u32(request, "frames", d.frame_size))
                return bad_request("Sample rate and frame size are needed");
            if (scope == "instance" &&
                (!read_channel(request, "l_in", d.input_l) || !read_channel(request, "r_in", d.input_r) ||
                 !read_channel(request, "l_out", d.output_l) || !read_channel(request, "r_out", d.output_r)))
                return bad_request("Four channel numbers are needed");
        }
        return result_response(scope == "shared" ? app.apply_shared_device(d)
                                                 : app.apply_instance_device(*instance, d));
    }
    return not_found("No such command");
}

}  // namespace

void add_sound_routes(RouteTable& table) {
    table.read("/api/sound", [](RouteContext& c) { return sound_json(c.app, c.request); });
    table.read("/api/sound/probe", [](RouteContext& c) { return probe_json(c.app, c.request); });
    for (const char* verb : {"interface", "channels", "device"})
        table.command(std::string("/api/sound/") + verb,
                      [verb](RouteContext& c) { return sound_command(c.app, c.request, verb); });
}

}  // namespace torvalen::http
