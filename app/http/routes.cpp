#include "app/http/routes.h"

namespace torvalen::http {

void RouteTable::read(std::string path, RouteHandler handler) { reads_[std::move(path)] = std::move(handler); }

void RouteTable::command(std::string path, RouteHandler handler) {
    commands_[std::move(path)] = std::move(handler);
}

const RouteHandler* RouteTable::find(std::string_view method, std::string_view path) const {
    const auto& table = method == "POST" ? commands_ : reads_;
    if (method != "POST" && method != "GET") return nullptr;
    const auto it = table.find(path);
    return it == table.end() ? nullptr : &it->second;
}

void add_module_routes(RouteTable& table) {
    add_sound_routes(table);
    add_config_routes(table);
    add_rds_routes(table);
    add_now_playing_routes(table);
    add_stl_routes(table);
    add_stream_routes(table);
    add_player_routes(table);
}

}  // namespace torvalen::http
