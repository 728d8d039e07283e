// The API's route table: each module brings its own HTTP commands in a file of
// its own (app/http/<module>_routes.cpp) with one function that adds them here,
// so no single dispatcher grows with every module.
//
// Every handler runs on the control thread, so it may use the application and
// its modules freely. A command (POST) runs only when the browser may change
// settings and after the page was checked to be ours; a read (GET) runs always,
// told whether the browser may change settings (some answers show less then).
// A command answered with status 200 counts as a change of state for the event
// stream, so browsers refresh.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "app/application.h"
#include "app/http/request.h"

namespace torvalen::http {

struct RouteContext {
    Application& app;
    const Request& request;
    bool may_change = false;
};

using RouteHandler = std::function<Response(RouteContext&)>;

class RouteTable {
public:
    void read(std::string path, RouteHandler handler);     // GET
    void command(std::string path, RouteHandler handler);  // POST
    // Null when no module has the route.
    const RouteHandler* find(std::string_view method, std::string_view path) const;

private:
    std::map<std::string, RouteHandler, std::less<>> reads_;
    std::map<std::string, RouteHandler, std::less<>> commands_;
};

// One function per module, each in its module's routes file.
void add_sound_routes(RouteTable& table);
void add_config_routes(RouteTable& table);
void add_rds_routes(RouteTable& table);
void add_now_playing_routes(RouteTable& table);
void add_stl_routes(RouteTable& table);
void add_stream_routes(RouteTable& table);
void add_player_routes(RouteTable& table);

// All of them: what the API serves beside its own built-in requests.
void add_module_routes(RouteTable& table);

}  // namespace torvalen::http
