// The "Now Playing Meta Data" dialog's requests: the source settings, Start,
// Stop, Apply, the test source's Send, and the Input Monitor.
#include <limits>

#include "app/http/answers.h"
#include "app/http/json.h"
#include "app/http/routes.h"
#include "engine/user_text.h"
#include "nowplaying/now_playing.h"

namespace torvalen::http {

namespace {

nowplaying::NowPlaying* now_playing_of(Application& app, const Request& request, Response& error) {
    Instance* instance = instance_of(app, request, error);
    if (!instance) return nullptr;
    auto* np = dynamic_cast<nowplaying::NowPlaying*>(instance->now_playing());
    if (!np) error = not_found("This instance has no Now Playing object");
    return np;
}

Response now_playing_json(Application& app, const Request& request) {
    Response error;
    nowplaying::NowPlaying* np = now_playing_of(app, request, error);
    if (!np) return error;
    const nowplaying::NowPlayingSettings s = np->settings();
    Json j;
    j.begin_object()
        .member("ok", true)
        .member("running", np->running())
        .member("mode", s.mode)
        .member("file", repair_utf8(s.file))
        .member("udp_port", s.udp_port)
        .member("tcp_port", s.tcp_port)
        .member("poll_timeout", s.poll_timeout_ms)
        .member("send_to_rds", s.send_to_rds != 0)
        .member("send_to_streaming", s.send_to_streaming != 0)
        .member("send_to_stl", s.send_to_stl != 0)
        .member("auto_start", s.auto_start != 0)
        .member("input_mode", s.input_mode)
        .member("monitor", repair_utf8(np->monitor_text()))
        .end_object();
    return json_response(200, j.take());
}

// The dialog's values; a field left out keeps its value.
Response apply(Application& app, const Request& request) {
    Response error;
    nowplaying::NowPlaying* np = now_playing_of(app, request, error);
    if (!np) return error;
    nowplaying::NowPlayingSettings s = np->settings();
    for (auto [name, target] : {std::pair{"mode", &s.mode}, std::pair{"udp_port", &s.udp_port},
                                std::pair{"tcp_port", &s.tcp_port}, std::pair{"poll_timeout", &s.poll_timeout_ms},
                                std::pair{"input_mode", &s.input_mode}}) {
        if (!request.param(name)) continue;
        if (!field_u32(request, name, *target)) return bad_request(std::string("Not a number: ") + name);
    }
    for (auto [name, target] : {std::pair{"send_to_rds", &s.send_to_rds},
                                std::pair{"send_to_streaming", &s.send_to_streaming},
                                std::pair{"send_to_stl", &s.send_to_stl}, std::pair{"auto_start", &s.auto_start}})
        if (request.param(name)) *target = flag(request, name) ? 1 : 0;
    if (const std::string* file = request.param("file")) {
        if (!clean_user_text(*file)) return bad_request("The file name must be text without control characters");
        s.file = *file;
    }
    const std::string refusal = np->apply(s);
    if (!refusal.empty()) return message_response(200, refusal, "Error");
    return success();
}

}  // namespace

void add_now_playing_routes(RouteTable& table) {
    table.read("/api/nowplaying", [](RouteContext& c) { return now_playing_json(c.app, c.request); });
    table.command("/api/nowplaying/apply", [](RouteContext& c) { return apply(c.app, c.request); });
    table.command("/api/nowplaying/start", [](RouteContext& c) {
        Response error;
        nowplaying::NowPlaying* np = now_playing_of(c.app, c.request, error);
        if (!np) return error;
        return np->start() ? success() : message_response(200, "The source could not be started", "Error");
    });
    table.command("/api/nowplaying/stop", [](RouteContext& c) {
        Response error;
        nowplaying::NowPlaying* np = now_playing_of(c.app, c.request, error);
        if (!np) return error;
        np->stop();
        return success();
    });
    table.command("/api/nowplaying/send", [](RouteContext& c) {
        Response error;
        nowplaying::NowPlaying* np = now_playing_of(c.app, c.request, error);
        if (!np) return error;
        np->test_send();
        return success();
    });
}

}  // namespace torvalen::http
