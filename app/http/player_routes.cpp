// The Player page's requests: the decks (state, title, position, Clear, seek),
// Play and Stop, the "Player Settings" dialog, the playlist and the rotations.
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/http/answers.h"
#include "app/http/json.h"
#include "app/http/routes.h"
#include "player/player.h"

namespace torvalen::http {

namespace {

using player::Player;

std::string colour_text(uint32_t bgr) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
    return buffer;
}

Player* player_of(Application& app, const Request& request, Response& error) {
    Instance* instance = instance_of(app, request, error);
    if (!instance) return nullptr;
    auto* p = dynamic_cast<Player*>(instance->player());
    if (!p) error = not_found("This instance has no player");
    return p;
}

// An edit of the lists: done, refused, or done with a message box.
Response list_response(const player::ListResult& r) {
    if (!r.message) return r.done ? success() : message_response(200, "", "");
    Json j;
    j.begin_object()
        .member("ok", r.done)
        .member("message", r.message)
        .member("title", r.caption ? r.caption : "")
        .end_object();
    return json_response(200, j.take());
}

Response player_json(Player& p) {
    Json j;
    const uint32_t mode = p.mode();
    j.begin_object()
        .member("ok", true)
        .member("version", p.version())
        .member("mode", mode)
        .member("dialog_mode", p.dialog_mode())
        .member("play", p.play_on())
        .member("buttons_active", !player::failsafe_mode(mode))
        .member("list_hidden", player::rotation_mode(mode))
        .member("status", p.status_text())
        .member("music_path", p.music_path());
    j.key("modes").begin_array();
    for (const char* text : player::mode_texts) j.value(text);
    j.end_array();
    j.key("decks").begin_array();
    for (uint32_t n : p.deck_order()) {
        const player::DeckView v = p.deck(n).view();
        j.begin_object()
            .member("deck", n)
            .member("state", v.state)
            .member("word", player::deck_state_word(v.state))
            .member("colour", colour_text(player::deck_state_colour(v.state)))
            .member("title", v.title)
            .member("information", v.information)
            .member("position", v.position)
            .end_object();
    }
    j.end_array();
    const auto list = p.lists().playlist();
    j.member("cursor", p.lists().cursor());
    j.key("playlist").begin_array();
    for (const auto& e : list) j.begin_object().member("path", e.path).member("text", e.text).end_object();
    j.end_array();
    j.key("rotations").begin_array();
    for (const auto& r : p.lists().rotations()) {
        j.begin_object()
            .member("name", r.name)
            .member("weight", r.weight)
            .member("running_weight", r.running_weight)
            .member("normalized_weight", r.normalized_weight)
            .member("enable", r.enable != 0)
            .member("current", r.current)
            .key("paths")
            .begin_array();
        for (const auto& path : r.paths) j.value(path);
        j.end_array().end_object();
    }
    j.end_array();
    j.end_object();
    return json_response(200, j.take());
}

bool index_field(const Request& r, const char* name, uint32_t& out) { return field_u32(r, name, out); }

// A file the playlist may take: an absolute path of a regular file.
bool playable_file(const std::string& path, std::string& why) {
    std::error_code ec;
    if (path.empty() || path.front() != '/') {
        why = "The file must be given with its whole path";
        return false;
    }
    if (!std::filesystem::is_regular_file(path, ec)) {
        why = "The file cannot be found";
        return false;
    }
    return true;
}

Response player_command(Player& p, const Request& r, std::string_view verb) {
    uint32_t a = 0;
    if (verb == "play" || verb == "stop") {
        const bool ok = verb == "play" ? p.press_play() : p.press_stop();
        return ok ? success() : message_response(200, "", "");  // ignored in the failsafe modes
    }
    if (verb == "clear") {
        if (!index_field(r, "deck", a) || a >= player::deck_count) return bad_request("Which deck?");
        return p.clear_deck(a) ? success() : message_response(200, "", "");
    }
    if (verb == "seek") {
        float fraction = 0;
        if (!index_field(r, "deck", a) || a >= player::deck_count) return bad_request("Which deck?");
        if (!parse_float(field(r, "fraction"), fraction) || fraction < 0 || fraction > 1)
            return bad_request("The position is a fraction from 0 to 1");
        return p.seek(a, fraction) ? success() : message_response(200, "", "");
    }
    if (verb == "mode") {
        if (!index_field(r, "mode", a) || a >= player::mode_count) return bad_request("Mode must be 0 to 5");
        if (!p.set_mode(a)) return message_response(200, "A rotation mode needs a rotation first", "Warning");
        return success();
    }
    if (verb == "music_path") {
        const std::string path = field(r, "path");
        std::error_code ec;
        if (path.empty() || path.front() != '/' || !std::filesystem::is_directory(path, ec))
            return bad_request("The music folder must be an existing folder, given with its whole path");
        p.set_music_path(path);
        return success();
    }
    return not_found("No such command");
}

Response playlist_command(Player& p, const Request& r, std::string_view verb) {
    uint32_t a = 0, b = 0;
    // "File" works in the playlist modes, "Delete List" and "Delete All" in modes 0
    // and 1 only; elsewhere they do nothing.
    if (verb == "add" && player::rotation_mode(p.mode())) return message_response(200, "", "");
    if ((verb == "delete_list" || verb == "delete_all") && p.mode() > player::mode_repeating)
        return message_response(200, "", "");
    if (verb == "add") {
        const std::string file = field(r, "file");
        std::string why;
        if (!playable_file(file, why)) return message_response(200, why, "Error");
        const auto result = p.lists().add_file(file);
        // The folder of the last file added is where the dialog opens next time.
        const std::string folder = std::filesystem::path(file).parent_path().string();
        if (result.done && !folder.empty()) p.set_music_path(folder);
        p.load();
        return list_response(result);
    }
    if (verb == "move") {
        if (!index_field(r, "from", a) || !index_field(r, "to", b)) return bad_request("from and to are needed");
        return p.lists().move_entry(a, b) ? success() : bad_request("No such entry");
    }
    if (verb == "delete") {
        if (!index_field(r, "index", a)) return bad_request("Which entry?");
        return p.lists().delete_entry(a) ? success() : bad_request("No such entry");
    }
    if (verb == "delete_list") {
        p.lists().delete_list();
        return success();
    }
    if (verb == "delete_all") {
        p.delete_all();
        return success();
    }
    return not_found("No such command");
}

Response rotation_command(Player& p, const Request& r, std::string_view verb) {
    uint32_t a = 0, weight = 0;
    if (verb == "new") {
        const auto result = p.lists().new_rotation(field(r, "name"));
        return list_response(result);
    }
    if (verb == "reset") {
        p.lists().reset_running_weights();
        return success();
    }
    if (!index_field(r, "index", a)) return bad_request("Which rotation?");
    if (verb == "rename") return list_response(p.lists().rename_rotation(a, field(r, "name")));
    if (verb == "delete") return p.lists().delete_rotation(a) ? success() : bad_request("No such rotation");
    if (verb == "apply") {
        if (!field_u32(r, "weight", weight) || weight < 1 || weight > 10) return bad_request("Weight is 1 to 10");
        std::vector<std::string> paths;
        const bool replace = flag(r, "replace");
        if (replace) {
            const std::string text = field(r, "paths");
            size_t start = 0;
            while (start < text.size()) {
                size_t end = text.find('\n', start);
                if (end == std::string::npos) end = text.size();
                if (end > start) paths.push_back(text.substr(start, end - start));
                start = end + 1;
            }
        }
        const auto result = p.lists().apply_rotation(a, replace ? &paths : nullptr, weight, flag(r, "enable"));
        p.load();
        return list_response(result);
    }
    return not_found("No such command");
}

}  // namespace

void add_player_routes(RouteTable& table) {
    table.read("/api/player", [](RouteContext& c) {
        Response error;
        Player* p = player_of(c.app, c.request, error);
        return p ? player_json(*p) : error;
    });
    auto add = [&table](const char* group, auto handler, std::initializer_list<const char*> verbs) {
        for (const char* verb : verbs)
            table.command(std::string("/api/") + group + "/" + verb, [handler, verb](RouteContext& c) {
                Response error;
                Player* p = player_of(c.app, c.request, error);
                return p ? handler(*p, c.request, verb) : error;
            });
    };
    add("player", player_command, {"play", "stop", "clear", "seek", "mode", "music_path"});
    add("playlist", playlist_command, {"add", "move", "delete", "delete_list", "delete_all"});
    add("rotation", rotation_command, {"new", "rename", "delete", "reset", "apply"});
}

}  // namespace torvalen::http
