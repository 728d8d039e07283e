#include "app/http/api.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <thread>

#include "app/http/answers.h"
#include "app/http/file_rules.h"
#include "app/http/routes.h"
#include "app/http/json.h"
#include "app/http/private_folder.h"
#include "app/http/metrics.h"
#include "app/messages.h"
#include "broadcast/sound_out.h"
#include "stl/stl_tx.h"
#include "stream/stream_tx.h"
#include "dsp/chain_processor.h"
#include "engine/log.h"
#include "engine/user_text.h"
#include "measure/analyser.h"
#include "measure/sound_in.h"
#include "params/page_tree.h"
#include "params/preset_bar.h"
#include "params/preset_file.h"
#include "params/profile_file.h"
#include "params/widgets.h"

namespace torvalen::http {

namespace {

constexpr const char* log_who = "web";
constexpr const char* locked_title = "Log On";
constexpr const char* copyrights_text =
    "Torvalen broadcast audio processor.\r\n"
    "Uses SQLite (public domain), PortAudio (MIT), libsamplerate (BSD), "
    "GNU libmicrohttpd (LGPL) and libxcrypt (LGPL).";

// ---- Module pages ----

}  // namespace

struct PageView {
    Module* module = nullptr;
    params::ControlSet* controls = nullptr;
    params::PresetBar* bar = nullptr;
    std::string name;
    bool analyser = false;
};

namespace {


PageView page_view(Instance& instance, uint32_t page) {
    PageView v;
    switch (page) {
    case 0:
        v.module = instance.sound_in();
        if (v.module) v.name = "Sound In";
        break;
    case 1: v.module = instance.player(); break;
    case 2: v.module = instance.stl_rx(); break;
    case 3:
        v.module = instance.processor();
        if (auto* p = dynamic_cast<dsp::ChainProcessor*>(v.module)) {
            v.controls = &p->controls();
            v.bar = &p->preset_bar();
        }
        break;
    case 4:
        v.module = instance.sound_out();
        if (auto* s = dynamic_cast<broadcast::SoundOut*>(v.module)) {
            v.controls = &s->controls();
            v.bar = s->preset_bar();
        }
        break;
    case 5:
        v.module = instance.stl_tx();
        if (auto* t = dynamic_cast<stl::StlTx*>(v.module)) {
            v.controls = &t->controls();
            v.bar = t->module_presets();
        }
        break;
    case 6:
        v.module = instance.stream_tx();
        if (auto* t = dynamic_cast<stream::StreamTx*>(v.module)) {
            v.controls = &t->controls();
            v.bar = t->module_presets();
        }
        break;
    case 7:
        v.module = instance.analyser();
        if (auto* a = dynamic_cast<measure::Analyser*>(v.module)) {
            v.controls = &a->controls();
            v.bar = &a->preset_bar();
            v.analyser = true;
        }
        break;
    default: break;
    }
    if (v.controls) v.name = v.controls->module_name();
    if (v.module && v.name.empty()) v.name = page_labels[page];
    if (!v.bar && v.module) v.bar = v.module->module_presets();
    return v;
}

const char* widget_name(params::Widget w) {
    switch (w) {
    case params::Widget::slider: return "slider";
    case params::Widget::list_switch: return "list_switch";
    case params::Widget::frequency: return "frequency";
    case params::Widget::delay: return "delay";
    case params::Widget::level_slider: return "level_slider";
    case params::Widget::none: break;
    }
    return "none";
}

void write_values(Json& j, const params::ControlSet& controls) {
    j.begin_object();
    for (const auto& page : controls.tree().pages)
        for (const auto& group : page.groups)
            for (const auto& control : group.controls) {
                float v = 0.0f;
                if (controls.get(control.index, v))
                    j.key(std::to_string(control.index)).value(params::display_round(v, control.step));
            }
    j.end_object();
}

void write_controls(Json& j, const params::ControlSet& controls, bool enabled) {
    j.begin_object().member("enabled", enabled && controls.enabled()).member("modified", controls.modified());
    j.key("pages").begin_array();
    for (const auto& page : controls.tree().pages) {
        j.begin_object().member("label", page.label).member("index", page.index).key("groups").begin_array();
        for (const auto& group : page.groups) {
            j.begin_object()
                .member("label", group.label)
                .member("index", group.index)
                .member("width_px", group.width_px)
                .member("displayable", group.displayable)
                .key("controls")
                .begin_array();
            for (const auto& c : group.controls) {
                j.begin_object()
                    .member("label", c.label)
                    .member("index", c.index)
                    .member("kind", static_cast<uint32_t>(c.kind))
                    .member("widget", widget_name(c.widget))
                    .member("min", c.display_min)
                    .member("max", c.display_max)
                    .member("step", c.step)
                    .member("default", c.default_value)
                    .member("width_units", c.width_units)
                    .member("x_units", c.x_units);
                j.key("items").begin_array();
                for (const auto& item : c.items) j.value(item);
                j.end_array().end_object();
            }
            j.end_array().end_object();
        }
        j.end_array().end_object();
    }
    j.end_array();
    j.key("values");
    write_values(j, controls);
    j.end_object();
}

const char* offer_name(params::SaveOffer o) {
    switch (o) {
    case params::SaveOffer::save: return "save";
    case params::SaveOffer::save_as: return "save_as";
    case params::SaveOffer::none: break;
    }
    return "none";
}

bool offers_dayparts(const params::PresetBar& bar) { return bar.dayparts_offered(); }

void write_bar(Json& j, const params::PresetBar& bar, bool may_change, bool dayparts_offered, bool undo = false) {
    j.begin_object()
        .member("enabled", may_change && bar.enabled())
        .member("mode", bar.mode() == params::BarMode::dayparts ? "dayparts" : "presets")
        .member("current", bar.current_preset())
        .member("modified", bar.preset_save_offer() != params::SaveOffer::none &&
                                !bar.current_preset().empty())
        .key("list")
        .begin_array();
    for (const auto& name : bar.list()) j.value(name);
    j.end_array()
        .member("notes", bar.notes())
        .member("dayparts_offered", dayparts_offered)
        .member("dayparting_enabled", bar.dayparting_enabled())
        .member("current_daypart", bar.current_daypart())
        .member("daypart_modified", bar.daypart_modified())
        .member("daypart_notes", bar.daypart_notes());
    j.key("presets").begin_array();
    for (const auto& name : bar.preset_names()) j.value(name);
    j.end_array().key("dayparts").begin_array();
    if (dayparts_offered)
        for (const auto& name : bar.daypart_names()) j.value(name);
    j.end_array()
        .member("folder", bar.import_export_folder().string())
        .member("save_offer", offer_name(bar.preset_save_offer()))
        .member("daypart_save_offer", offer_name(bar.daypart_save_offer()))
        .member("undo", may_change && undo)
        .end_object();
}

void write_menu(Json& j, const std::vector<MenuEntry>& entries) {
    j.begin_array();
    for (const MenuEntry& e : entries) {
        j.begin_object();
        if (e.kind == MenuEntry::Kind::separator) {
            j.member("kind", "separator").end_object();
            continue;
        }
        j.member("label", e.label)
            .member("kind", e.kind == MenuEntry::Kind::submenu ? "submenu" : "item")
            .member("enabled", e.enabled);
        if (e.checked) j.member("checked", *e.checked);
        if (!e.command.empty()) j.member("command", e.command);
        if (e.kind == MenuEntry::Kind::submenu) {
            j.key("items");
            write_menu(j, e.items);
        }
        j.end_object();
    }
    j.end_array();
}

uint64_t process_cpu_mask(int& cpus) {
    cpu_set_t set;
    CPU_ZERO(&set);
    uint64_t mask = 0;
    cpus = 0;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        for (int cpu = 0; cpu < 64; ++cpu)
            if (CPU_ISSET(cpu, &set)) {
                mask |= uint64_t{1} << cpu;
                ++cpus;
            }
    }
    return mask;
}

std::string random_token() {
    std::random_device device;
    static constexpr char hex[] = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < 8; ++i) {
        const uint32_t word = device();
        for (int nibble = 0; nibble < 8; ++nibble) token += hex[(word >> (nibble * 4)) & 15];
    }
    return token;
}

}  // namespace

// ---- Menu ----

std::vector<MenuEntry> build_main_menu(const MenuState& s) {
    using K = MenuEntry::Kind;
    const bool instance = s.instance_count > 0;
    const bool on = s.logged_on;
    auto item = [](std::string label, std::string command, bool enabled) {
        MenuEntry e;
        e.label = std::move(label);
        e.command = std::move(command);
        e.enabled = enabled;
        return e;
    };
    auto toggle = [&](std::string label, std::string command, uint32_t flag_value, bool enabled) {
        MenuEntry e = item(std::move(label), std::move(command), enabled);
        e.checked = flag_value != 0;
        return e;
    };
    auto submenu = [](std::string label, bool enabled, std::vector<MenuEntry> items) {
        MenuEntry e;
        e.label = std::move(label);
        e.kind = K::submenu;
        e.enabled = enabled;
        e.items = std::move(items);
        return e;
    };

    // Logged off: only "Password" (with "Log On") and "Help". Logged on without an
    // instance: "Instances" (with "New Instance"), "Settings" and "Style".
    const bool full = on && instance;
    std::vector<MenuEntry> menu;
    menu.push_back(submenu("Instances", on,
                           {item("New Instance", "new_instance", on && s.instance_count < max_instances),
                            item("Close Instance", "close_instance", full),
                            item("Rename Instance", "rename_instance", full)}));
    std::vector<MenuEntry> sound;
    if (s.shared_mode) {
        sound.push_back(item("ASIO Single Settngs", "sound_single_settings", full));
        sound.push_back(item("ASIO Single Channels", "sound_single_channels", full));
    } else {
        sound.push_back(item("ASIO Multi Settings", "sound_multi_settings", full));
    }
    sound.push_back(item("Interface", "sound_interface", full));
    menu.push_back(submenu("Sound", full, std::move(sound)));
    menu.push_back(item("CPU Load", "cpu_load", full));
    menu.push_back(item("Affinity", "affinity", full));
    menu.push_back(submenu("Settings", on,
                           {item("Delete old Registry entries", "delete_old", on),
                            toggle("Minimize To Tray", "toggle_minimize_to_tray", s.desktop.use_sys_tray, on),
                            toggle("Run At Startup", "toggle_run_at_startup", s.desktop.run_at_startup, on),
                            toggle("Confirm Exit", "toggle_confirm_exit", s.desktop.confirm_exit, on),
                            toggle("Start Minimized", "toggle_start_minimized", s.desktop.start_minimized, on),
                            // The whole configuration through the browser.
                            item("Download Configuration", "config_download", on),
                            item("Restore Configuration", "config_restore", on)}));
    const bool password = !on || instance;
    menu.push_back(submenu("Password", password,
                           {item("Log On", "log_on", !on), item("Log Off", "log_off", on),
                            item("Change", "change_password", on)}));
    menu.push_back(submenu("Style", on,
                           {item("Colors", "colors", on), item("Fonts", "fonts", on),
                            item("Graph Colors", "graph_colors", on)}));
    const bool help = !on || instance;
    menu.push_back(submenu("Help", help, {item("Version", "version", help), item("Copyrights", "copyrights", help)}));
    menu.push_back(item("Now Playing", "now_playing", full));
    menu.push_back(item("Exit", "exit", full));
    MenuEntry separator;
    separator.kind = K::separator;
    menu.push_back(separator);

    if (full) {
        switch (s.page) {
        case 1:
            menu.push_back(submenu("Player", true,
                                   {item("Player mode settings", "player_mode", true),
                                    item("Rotaion settings", "rotation_settings", true),
                                    item("Rotaion  current running weights", "rotation_weights", true)}));
            break;
        case 2: menu.push_back(item("STL RX Settings", "stl_rx_settings", true)); break;
        case 3:
            menu.push_back(submenu("Processor", true,
                                   {item("Processor Type", "processor_type", true),
                                    item("Processor Latency", "processor_latency", true)}));
            break;
        case 4:
            menu.push_back(submenu("Sound Out", true,
                                   {item("RDS/RBDS Mode", "rds_mode", true), item("RDS Settings", "rds_settings", true),
                                    item("RDS Name Rotatiion Settings", "rds_rotation", true),
                                    item("RDS Traffic Anouncement", "rds_ta", true)}));
            break;
        case 5: menu.push_back(item("STL TX Settings", "stl_tx_settings", true)); break;
        case 6: menu.push_back(item("Stream TX Settings", "stream_tx_settings", true)); break;
        default: break;  // "Sound In" and "Analyser" have no entry
        }
    }
    return menu;
}

// ---- Throttle ----

int64_t LogOnThrottle::wait_seconds(Clock::time_point now) const {
    if (now >= not_before_) return 0;
    return std::chrono::duration_cast<std::chrono::seconds>(not_before_ - now).count() + 1;
}

void LogOnThrottle::failed(Clock::time_point now) {
    ++failures_;
    if (failures_ < 3) return;
    const uint32_t doublings = std::min<uint32_t>(failures_ - 3, 6);
    const int64_t seconds = std::min<int64_t>(int64_t{1} << doublings, 60);
    not_before_ = now + std::chrono::seconds(seconds);
}

int64_t LogOnThrottle::claim(Clock::time_point now) {
    if (const int64_t wait = wait_seconds(now); wait > 0) return wait;
    failed(now);
    return 0;
}

int64_t PeerThrottles::claim(const std::string& peer, LogOnThrottle::Clock::time_point now) {
    if (peers_.size() >= max_peers && !peers_.count(peer)) {
        // Forget the peers whose slow-down is over; if every one is still slowed
        // down, a flood of addresses is guessing: new ones wait too.
        std::erase_if(peers_, [&](const auto& p) { return p.second.not_before() <= now; });
        if (peers_.size() >= max_peers) return 60;
    }
    return peers_[peer].claim(now);
}

void PeerThrottles::succeeded(const std::string& peer) { peers_.erase(peer); }

// ---- Api ----

Api::Api(ControlThread& control, Application& app, ApiOptions options)
    : control_(control), app_(app), options_(std::move(options)) {
    add_module_routes(routes_);
    control_.run([&] {
        if (auto persist = app_.root_key().create("Persist")) style_ = StyleSettings::load(*persist);
    });
}

Api::~Api() = default;

void Api::save_style() {
    if (auto persist = app_.root_key().create("Persist")) style_.save(*persist);
}

void Api::open_session(Response& r) {
    const std::string cookie = random_token();
    const std::string token = random_token();
    {
        std::lock_guard lock(sessions_lock_);
        sessions_[cookie] = Session{token, std::chrono::steady_clock::now()};
    }
    r.set_cookie = std::string(session_cookie) + "=" + cookie + "; Path=/; HttpOnly; SameSite=Strict";
    Json j;
    j.begin_object().member("ok", true).member("token", token).end_object();
    r.body = j.take();
}

bool Api::session_valid(const Request& request) {
    if (request.session.empty() || request.token.empty()) return false;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(sessions_lock_);
    const auto it = sessions_.find(request.session);
    if (it == sessions_.end()) return false;
    if (now - it->second.last_used > options_.session_idle_limit) {
        sessions_.erase(it);
        return false;
    }
    // The cookie reaches every service on this host; the token only this page.
    const std::string& token = it->second.token;
    unsigned char diff = token.size() == request.token.size() ? 0 : 1;
    for (size_t i = 0; i < token.size() && i < request.token.size(); ++i)
        diff |= static_cast<unsigned char>(token[i] ^ request.token[i]);
    if (diff != 0) return false;
    it->second.last_used = now;
    return true;
}

bool Api::may_change(const Request& request) {
    if (!app_.logged_on()) return false;
    if (!app_.password_set()) return true;
    return session_valid(request);
}

Response Api::throttled(const Request& request) {
    std::lock_guard lock(sessions_lock_);
    const int64_t wait = throttles_.claim(request.peer, LogOnThrottle::Clock::now());
    if (wait <= 0) return Response{0, {}, {}, false};
    return message_response(200, "Too many wrong passwords: try again in " + std::to_string(wait) + " seconds",
                            locked_title);
}

Response Api::handle(const Request& request) {
    Response r = dispatch(request);
    if (request.method == "POST" && r.status == 200) bump();
    return r;
}

Response Api::dispatch(const Request& request) {
    if (request.method == "POST") {
        // A page of another site may not send commands through a local browser.
        // "null" is what a browser sends for a page that hides where it comes from
        // (a no-referrer form, a redirect): foreign. Sec-Fetch-Site must say the
        // page is ours ("same-origin") or typed by the user ("none"); "same-site"
        // is a page on another port of this host.
        const bool foreign_origin = request.origin == "null" ||
                                    (!request.origin.empty() && request.origin != "http://" + request.host);
        const bool foreign_site = !request.fetch_site.empty() && request.fetch_site != "same-origin" &&
                                  request.fetch_site != "none";
        if (foreign_origin || foreign_site) {
            log_event(log_who, "refused a command from another site (Origin " + log_quote(request.origin) +
                                   ", Sec-Fetch-Site " + log_quote(request.fetch_site) + ")");
            return message_response(403, "Commands from another site are refused", "Error");
        }
        if (request.path == "/api/password/logon") return log_on(request);
        if (const RouteHandler* route = routes_.find("POST", request.path)) {
            Response r;
            control_.run([&] {
                if (!may_change(request)) {
                    r = forbidden(messages::locked);
                    return;
                }
                RouteContext context{app_, request, true};
                r = (*route)(context);
            });
            return r;
        }
        return command_request(request);
    }
    if (request.method != "GET") return message_response(405, "Method not allowed", "Error");
    if (request.path == "/metrics") return metrics_text(request);
    if (request.path == "/healthz") return health_text();
    if (request.path == "/api/files") {
        // The listing shows the machine's folders: only to a browser that may change settings.
        bool may = false;
        control_.run([&] { may = may_change(request); });
        return may ? files_json(request) : forbidden(messages::locked);
    }
    if (request.path == "/api/help") {
        Json j;
        j.begin_object()
            .member("ok", true)
            .member("version", std::string("Torvalen ") + std::string(program_version))
            .member("copyrights", copyrights_text)
            .end_object();
        return json_response(200, j.take());
    }
    Response r;
    const RouteHandler* route = routes_.find("GET", request.path);
    control_.run([&] {
        const bool may = may_change(request);
        if (route) {
            RouteContext context{app_, request, may};
            r = (*route)(context);
        } else {
            r = read_request(request, may);
        }
    });
    return r;
}

Response Api::read_request(const Request& request, bool may) {
    const std::string& p = request.path;
    if (p == "/api/state") return state_json(request, may);
    if (p == "/api/page") return page_json(request, may);
    if (p == "/api/values") return values_json(request);
    if (p == "/api/presets") return presets_json(request, may);
    if (p == "/api/dayparts") return dayparts_json(request);
    if (p == "/api/processor") return processor_json(request);
    if (p == "/api/affinity") return affinity_json(request);
    if (p == "/api/cpu") return cpu_json(request);
    if (p == "/api/onair") return on_air_json(request);
    return not_found("No such resource");
}

Response Api::state_json(const Request& request, bool may) {
    Json j;
    j.begin_object()
        .member("ok", true)
        .member("version", state_version())
        .member("logged_on", may)
        .member("password_set", app_.password_set());
    j.key("instances").begin_array();
    for (const auto& name : app_.instance_names()) j.value(name);
    j.end_array();
    Instance* current = app_.current();
    j.key("current");
    if (current) j.value(current->name());
    else j.null();
    j.member("max_instances", static_cast<uint32_t>(max_instances));
    // The page this browser views (`page`, given for the instance `view_instance`
    // it last saw as current) decides the menu's module entry; the stored page is
    // what a newly opened browser shows first.
    const uint32_t stored = current ? current->page_index() : processor_page;
    uint32_t page = stored;
    const std::string* view_instance = request.param("view_instance");
    const std::string* view_page = request.param("page");
    uint32_t viewed = 0;
    if (current && view_instance && view_page && *view_instance == current->name() && parse_u32(*view_page, viewed) &&
        viewed < page_count)
        page = viewed;
    j.member("page", page).member("stored_page", stored);
    j.key("pages").begin_array();
    for (uint32_t i = 0; i < page_count; ++i) {
        const PageView v = current ? page_view(*current, i) : PageView{};
        j.begin_object().member("index", i).member("label", page_labels[i]).member("present", v.module != nullptr);
        j.key("module");
        if (v.module) j.value(v.name);
        else j.null();
        j.end_object();
    }
    j.end_array();
    const DesktopSettings& d = app_.desktop();
    j.key("desktop")
        .begin_object()
        .member("minimize_to_tray", d.use_sys_tray)
        .member("confirm_exit", d.confirm_exit)
        .member("run_at_startup", d.run_at_startup)
        .member("start_minimized", d.start_minimized)
        .member("interface", d.interface_mode == 0 ? 0u : 1u)
        .end_object();
    MenuState menu;
    menu.logged_on = may;
    menu.instance_count = app_.instance_count();
    menu.shared_mode = app_.shared_mode();
    menu.page = page;
    menu.desktop = d;
    j.key("menu");
    write_menu(j, build_main_menu(menu));
    j.key("style");
    style_.write_json(j);
    j.member("title", "Torvalen").member("program_version", program_version).end_object();
    return json_response(200, j.take());
}

namespace {
// The instance named by the request's `instance` field (the current one when
// the field is absent), and its page from `page` (its selected page when absent).
struct Target {
    Instance* instance = nullptr;
    uint32_t page = 0;
    PageView view;  // filled by page_target
};

std::optional<Target> target_of(Application& app, const Request& request, Response& error) {
    Target t;
    t.instance = instance_of(app, request, error);
    if (!t.instance) return std::nullopt;
    t.page = t.instance->page_index();
    if (const std::string* page = request.param("page")) {
        if (!parse_u32(*page, t.page) || t.page >= page_count) {
            error = bad_request("No such page");
            return std::nullopt;
        }
    }
    return t;
}

// target_of, with the page's modules; refused (404) when the page lacks what the
// request needs.
enum class Needs { module_page, controls, preset_bar };
std::optional<Target> page_target(Application& app, const Request& request, Response& error, Needs needs) {
    auto t = target_of(app, request, error);
    if (!t) return std::nullopt;
    t->view = page_view(*t->instance, t->page);
    if (needs == Needs::controls && !t->view.controls) {
        error = not_found("This page has no controls");
        return std::nullopt;
    }
    if (needs == Needs::preset_bar && !t->view.bar) {
        error = not_found("This page has no preset bar");
        return std::nullopt;
    }
    return t;
}
}  // namespace

Response Api::page_json(const Request& request, bool may) {
    Response error;
    const auto t = page_target(app_, request, error, Needs::module_page);
    if (!t) return error;
    const PageView& v = t->view;
    Json j;
    j.begin_object()
        .member("ok", true)
        .member("instance", t->instance->name())
        .member("page", t->page)
        .member("label", page_labels[t->page]);
    j.key("module");
    if (v.module) j.value(v.name);
    else j.null();
    j.key("controls");
    if (v.controls) write_controls(j, *v.controls, may);
    else j.null();
    j.key("presets");
    if (v.bar) write_bar(j, *v.bar, may, offers_dayparts(*v.bar), v.controls && undo_.count(v.controls));
    else j.null();
    j.key("meters").raw(v.module ? meters_.layout_json(*t->instance, t->page) : "null");
    j.key("status");
    if (const auto lines = v.module ? page_status_lines(*t->instance, t->page) : std::nullopt) {
        j.begin_array();
        for (const auto& line : *lines) j.value(line);
        j.end_array();
    } else if (v.module) {
        j.begin_array().value(app_.device_status(t->instance)).end_array();
    } else {
        j.null();
    }
    j.member("analyser", v.analyser).member("player", t->page == 1 && v.module != nullptr).end_object();
    return json_response(200, j.take());
}

Response Api::values_json(const Request& request) {
    Response error;
    const auto t = page_target(app_, request, error, Needs::controls);
    if (!t) return error;
    const PageView& v = t->view;
    Json j;
    j.begin_object().member("ok", true).key("values");
    write_values(j, *v.controls);
    j.member("modified", v.controls->modified()).end_object();
    return json_response(200, j.take());
}

Response Api::presets_json(const Request& request, bool may) {
    Response error;
    const auto t = page_target(app_, request, error, Needs::preset_bar);
    if (!t) return error;
    const PageView& v = t->view;
    Json j;
    write_bar(j, *v.bar, may, offers_dayparts(*v.bar), v.controls && undo_.count(v.controls));
    return json_response(200, j.take());
}

Response Api::dayparts_json(const Request& request) {
    Response error;
    const auto t = page_target(app_, request, error, Needs::preset_bar);
    if (!t) return error;
    const PageView& v = t->view;
    Json j;
    j.begin_object().member("ok", true).key("entries").begin_array();
    const params::DaypartTable table = v.bar->daypart_table();
    for (const auto& e : table.entries()) {
        const uint32_t day = e.time_code / 65536 - 1;
        j.begin_object()
            .member("time_code", e.time_code)
            .member("day", day)
            .member("hour", (e.time_code >> 8) & 0xFF)
            .member("minute", e.time_code & 0xFF)
            .member("text", params::time_code_text(e.time_code))
            .member("preset", e.preset)
            .end_object();
    }
    j.end_array().key("presets").begin_array();
    for (const auto& name : v.bar->preset_names()) j.value(name);
    j.end_array().key("days").begin_array();
    for (const auto day : params::editor_days) j.value(day);
    j.end_array().end_object();
    return json_response(200, j.take());
}

Response Api::processor_json(const Request& request) {
    Response error;
    const auto t = target_of(app_, request, error);
    if (!t) return error;
    Json j;
    j.begin_object()
        .member("ok", true)
        .member("type", static_cast<uint32_t>(t->instance->processor_type()))
        .key("types")
        .begin_array()
        .value("Torvalen 5")
        .value("Torvalen One")
        .end_array()
        .member("latency_samples", t->instance->processor_latency_samples())
        .member("latency_text", t->instance->processor_latency_text())
        .end_object();
    return json_response(200, j.take());
}

Response Api::affinity_json(const Request& request) {
    Response error;
    const auto t = target_of(app_, request, error);
    if (!t) return error;
    int cpus = 0;
    const uint64_t allowed = process_cpu_mask(cpus);
    Json j;
    j.begin_object()
        .member("ok", true)
        .member("mask", std::to_string(t->instance->affinity()))
        .member("allowed", std::to_string(allowed))
        .member("cpus", cpus)
        .end_object();
    return json_response(200, j.take());
}

Response Api::cpu_json(const Request& request) {
    Response error;
    const auto t = target_of(app_, request, error);
    if (!t) return error;
    Json j;
    j.begin_object()
        .member("ok", true)
        .member("load", t->instance->cpu_load())
        .member("overruns", t->instance->overruns())
        .end_object();
    return json_response(200, j.take());
}

Response Api::files_json(const Request& request) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path dir = field(request, "dir");
    if (dir.empty()) dir = options_.home_folder.empty() ? fs::path("/") : options_.home_folder;
    if (!dir.is_absolute()) return bad_request("The folder must be an absolute path");
    dir = fs::weakly_canonical(dir, ec);
    if (ec || !fs::is_directory(dir, ec)) return message_response(200, "The folder cannot be opened:\r\n" + dir.string(), "Error");
    struct Item {
        std::string name;
        bool folder;
        uintmax_t size;
    };
    std::vector<Item> items;
    fs::directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
    if (ec) return message_response(200, "The folder cannot be read:\r\n" + dir.string(), "Error");
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        std::error_code e2;
        const bool folder = it->is_directory(e2);
        const uintmax_t size = folder ? 0 : it->file_size(e2);
        items.push_back({name, folder, e2 ? 0 : size});
        if (items.size() >= 5000) break;  // a folder this large is not browsed by hand
    }
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        if (a.folder != b.folder) return a.folder;
        return a.name < b.name;
    });
    Json j;
    j.begin_object().member("ok", true).member("dir", dir.string()).key("parent");
    if (dir.has_parent_path() && dir.parent_path() != dir) j.value(dir.parent_path().string());
    else j.null();
    j.key("entries").begin_array();
    for (const Item& item : items)
        j.begin_object()
            .member("name", item.name)
            .member("dir", item.folder)
            .member("size", static_cast<uint64_t>(item.size))
            .end_object();
    j.end_array().end_object();
    return json_response(200, j.take());
}

// ---- Monitoring ----

namespace {
// A label value in the Prometheus text format: backslash, quote and line feed escaped.
bool same_text(std::string_view a, std::string_view b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}
}  // namespace

Response Api::metrics_text(const Request& request) {
    if (!options_.metrics_token.empty() && !same_text(request.authorization, "Bearer " + options_.metrics_token))
        return message_response(401, "A metrics token is needed", "Error");
    std::string out;
    control_.run([&] { out = http::metrics_text(app_, meters_); });
    Response r = json_response(200, std::move(out));
    r.content_type = "text/plain; version=0.0.4; charset=utf-8";
    return r;
}

Response Api::health_text() {
    std::string reason;
    control_.run([&] {
        if (options_.health) reason = options_.health();
    });
    Response r = json_response(reason.empty() ? 200 : 503, reason.empty() ? "ok\n" : reason + "\n");
    r.content_type = "text/plain; charset=utf-8";
    return r;
}

// ---- Commands ----

Response Api::log_on(const Request& request) {
    const std::string password = field(request, "password");
    if (Response wait = throttled(request); wait.status != 0) return wait;
    CommandResult r;
    bool password_set = false;
    control_.run([&] {
        password_set = app_.password_set();
        r = app_.log_on(password);
    });
    if (!r.ok) {
        log_event(log_who, "wrong password from " + request.peer);
        return result_response(r);
    }
    {
        std::lock_guard lock(sessions_lock_);
        throttles_.succeeded(request.peer);
    }
    Response ok = success();
    if (password_set) open_session(ok);
    return ok;
}

Response Api::command_request(const Request& request) {
    Response r;
    control_.run([&] {
        if (!may_change(request)) {
            r = forbidden(messages::locked);
            return;
        }
        const std::string& p = request.path;
        if (p == "/api/password/logoff") {
            app_.log_off();
            std::lock_guard lock(sessions_lock_);
            sessions_.clear();
            r = success();
            r.set_cookie = std::string(session_cookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0";
        } else if (p == "/api/password/change") {
            r = change_password(request);
        } else if (p == "/api/instance/new") {
            r = result_response(app_.new_instance(name_field(request, "name")));
        } else if (p == "/api/instance/close") {
            if (!app_.current()) {
                r = result_response(CommandResult::failure(messages::no_instance));
            } else if (!flag(request, "confirmed")) {
                r = confirm_response(messages::close_question, messages::title_warning);
            } else {
                meters_.forget(app_.current());
                r = result_response(app_.close_current_instance());
            }
        } else if (p == "/api/instance/rename") {
            r = result_response(app_.rename_current_instance(name_field(request, "name")));
        } else if (p == "/api/instance/select") {
            r = result_response(app_.select_instance(field(request, "name")));
        } else if (p == "/api/page/select") {
            uint32_t page = 0;
            Instance* current = app_.current();
            if (!field_u32(request, "page", page) || page >= page_count) r = bad_request("No such page");
            else if (!current) r = result_response(CommandResult::failure(messages::no_instance));
            else if (!current->select_page(page)) r = message_response(200, "The page could not be selected", "Error");
            else r = success();
        } else if (p == "/api/instance/affinity") {
            uint64_t mask = 0;
            Response error;
            const auto t = target_of(app_, request, error);
            if (!t) r = error;
            else if (!parse_u64(field(request, "mask"), mask)) r = bad_request("The mask must be a decimal number");
            else if (!t->instance->set_affinity(mask)) r = message_response(200, "The affinity could not be set", "Error");
            else r = success();
        } else if (p == "/api/processor/type") {
            uint32_t type = 0;
            Response error;
            const auto t = target_of(app_, request, error);
            if (!t) r = error;
            else if (!field_u32(request, "type", type) || type > 1) r = bad_request("No such processor type");
            else {
                meters_.forget(t->instance);
                r = t->instance->change_processor_type(static_cast<ProcessorType>(type))
                        ? success()
                        : message_response(200, "The processor could not be created", "Error");
            }
        } else if (p == "/api/desktop/toggle") {
            const std::string name = field(request, "name");
            if (name == "minimize_to_tray") r = result_response(app_.toggle_minimize_to_tray());
            else if (name == "run_at_startup") r = result_response(app_.toggle_run_at_startup());
            else if (name == "confirm_exit") r = result_response(app_.toggle_confirm_exit());
            else if (name == "start_minimized") r = result_response(app_.toggle_start_minimized());
            else r = bad_request("No such setting");
        } else if (p == "/api/delete_old") {
            r = flag(request, "confirmed") ? result_response(app_.delete_old_settings())
                                           : confirm_response(messages::delete_old_question, messages::title_warning);
        } else if (p == "/api/exit") {
            // Exit stops the station's audio: a browser is always asked, whatever the
            // desktop's "Confirm Exit" says.
            if (!flag(request, "confirmed")) {
                r = confirm_response(messages::exit_question, messages::exit_title);
            } else {
                const CommandResult exit = app_.request_exit(true);
                r = result_response(exit);
                r.exit_after = exit.ok;
            }
        } else if (p == "/api/style") {
            r = style_command(request);
        } else if (p.rfind("/api/presets/", 0) == 0) {
            r = preset_command(request, std::string_view(p).substr(13));
        } else if (p.rfind("/api/dayparts/", 0) == 0) {
            r = daypart_command(request, std::string_view(p).substr(14));
        } else if (p.rfind("/api/control/", 0) == 0) {
            r = control_command(request, std::string_view(p).substr(13));
        } else if (p == "/api/analyser/display") {
            Response error;
            const auto t = target_of(app_, request, error);
            if (!t) {
                r = error;
            } else {
                AnalyserDisplayChange change;
                bool bad = false;
                auto take_u32 = [&](const char* name, std::optional<uint32_t>& out) {
                    uint32_t u = 0;
                    if (const std::string* v = request.param(name)) (parse_u32(*v, u) ? (void)(out = u) : (void)(bad = true));
                };
                auto take_float = [&](const char* name, std::optional<float>& out) {
                    float f = 0.0f;
                    if (const std::string* v = request.param(name))
                        (parse_float(*v, f) ? (void)(out = f) : (void)(bad = true));
                };
                take_u32("mode", change.mode);
                take_u32("columns", change.columns);
                take_float("x_zoom", change.x_zoom);
                take_float("x_offset", change.x_offset);
                take_float("y_zoom", change.y_zoom);
                take_float("y_offset", change.y_offset);
                take_float("low", change.low_Hz);
                take_float("high", change.high_Hz);
                r = bad ? bad_request("Malformed analyser display setting")
                        : result_response(meters_.set_analyser_display(*t->instance, change));
            }
        } else if (p == "/api/meters/settings") {
            Response error;
            const auto t = target_of(app_, request, error);
            uint32_t group = 0;
            if (!t) {
                r = error;
            } else if (!field_u32(request, "group", group)) {
                r = bad_request("Which group?");
            } else {
                std::optional<float> range, decay;
                std::optional<uint32_t> hold;
                float f = 0.0f;
                uint32_t u = 0;
                bool bad = false;
                if (const std::string* v = request.param("range")) (parse_float(*v, f) ? range = f : (bad = true, range));
                if (const std::string* v = request.param("decay")) (parse_float(*v, f) ? decay = f : (bad = true, decay));
                if (const std::string* v = request.param("hold")) (parse_u32(*v, u) ? hold = u : (bad = true, hold));
                r = bad ? bad_request("Malformed meter setting")
                        : result_response(meters_.set_group(*t->instance, t->page, group, range, hold, decay));
            }
        } else {
            r = not_found("No such command");
        }
    });
    return r;
}

Response Api::change_password(const Request& request) {
    const bool had_password = app_.password_set();
    const std::string fresh = field(request, "new");
    if (had_password && fresh.empty() && !options_.listening_on_loopback)
        return message_response(200, messages::password_needed_on_network, messages::title_error);
    // The old password is a guess like any other: slowed down the same way.
    if (had_password) {
        if (Response wait = throttled(request); wait.status != 0) return wait;
    }
    const CommandResult result = app_.change_password(field(request, "old"), fresh, flag(request, "confirmed"));
    const bool old_was_right =
        result.ok || result.needs_confirmation || result.message == messages::password_not_strong;
    if (had_password && old_was_right) {
        std::lock_guard lock(sessions_lock_);
        throttles_.succeeded(request.peer);
    }
    Response r = result_response(result);
    if (!result.ok) return r;
    // Every other browser must log on again with the new password; the one that
    // changed it stays logged on (and so does the browser that set the first one).
    {
        std::lock_guard lock(sessions_lock_);
        std::erase_if(sessions_, [&](const auto& s) { return fresh.empty() || s.first != request.session; });
    }
    if (!had_password && !fresh.empty()) open_session(r);
    return r;
}

Response Api::control_command(const Request& request, std::string_view verb) {
    Response error;
    const auto t = page_target(app_, request, error, Needs::controls);
    if (!t) return error;
    const PageView& v = t->view;
    params::ControlSet& controls = *v.controls;
    if (verb == "set") {
        uint32_t index = 0;
        float value = 0.0f;
        if (!field_u32(request, "index", index) || !controls.tree().find(index))
            return bad_request("No such control");
        if (!parse_float(field(request, "value"), value)) return bad_request("The value must be a finite number");
        if (!controls.enabled()) return forbidden(messages::locked);
        controls.set(index, value);
        float now = 0.0f;
        controls.get(index, now);
        Json j;
        const double shown = params::display_round(now, controls.tree().find(index)->step);
        j.begin_object().member("ok", true).member("value", shown).member("modified", controls.modified()).end_object();
        return json_response(200, j.take());
    }
    if (verb == "defaults") {
        const std::string scope = field(request, "scope");
        uint32_t page = 0, group = 0;
        if (scope != "all") {
            if (scope != "page" && scope != "group") return bad_request("Scope must be all, page or group");
            if (!field_u32(request, "tree_page", page) || page >= controls.tree().pages.size())
                return bad_request("No such page in the control window");
            if (scope == "group" &&
                (!field_u32(request, "tree_group", group) || group >= controls.tree().pages[page].groups.size()))
                return bad_request("No such group in the control window");
        }
        // On air a reset changes the sound at once: asked first, and kept for "Undo".
        if (!flag(request, "confirmed"))
            return confirm_response(scope == "all"     ? messages::defaults_all_question
                                    : scope == "page" ? messages::defaults_page_question
                                                      : messages::defaults_group_question,
                                    messages::title_warning);
        keep_for_undo(&controls);
        if (scope == "all") return outcome_response(controls.set_all_to_defaults());
        if (scope == "page") return outcome_response(controls.set_page_to_defaults(page));
        return outcome_response(controls.set_group_to_defaults(page, group));
    }
    return not_found("No such command");
}

namespace {
// The commands the bar offers for presets and for day-parts alike.
struct BarVerbs {
    const char* needs_name;
    params::Outcome (params::PresetBar::*save)(std::string_view);
    params::Outcome (params::PresetBar::*choose)(std::string_view);
    params::Outcome (params::PresetBar::*remove)(std::string_view);
    params::Outcome (params::PresetBar::*notes)(std::string_view);
    params::Outcome (params::PresetBar::*import)(const std::filesystem::path&);
    params::Outcome (params::PresetBar::*export_to)(const std::filesystem::path&);
};
constexpr BarVerbs preset_verbs{"A preset needs a name",         &params::PresetBar::save_preset,
                                &params::PresetBar::choose_preset, &params::PresetBar::delete_preset,
                                &params::PresetBar::set_notes,     &params::PresetBar::import_preset,
                                &params::PresetBar::export_preset};
constexpr BarVerbs daypart_verbs{"A day-part needs a name",          &params::PresetBar::save_daypart,
                                 &params::PresetBar::load_daypart,   &params::PresetBar::delete_daypart,
                                 &params::PresetBar::set_daypart_notes, &params::PresetBar::import_daypart,
                                 &params::PresetBar::export_daypart};

constexpr ProfileKind preset_files{params::preset_extension, params::preset_type, "preset"};
constexpr ProfileKind daypart_files{params::daypart_extension, params::daypart_type, "day-part"};

// The editor's whole table from the request's fields, checked entry by entry.
params::Outcome edit_dayparts(params::PresetBar& bar, const Request& request, Response& malformed) {
    uint32_t count = 0;
    if (!field_u32(request, "count", count) || count > params::max_daypart_entries) {
        malformed = bad_request("At most 20 day-part entries");
        return params::Outcome::refused();
    }
    auto editor = bar.edit_dayparts();
    if (!editor) return params::Outcome::refused();
    while (!editor->table().empty()) editor->remove(0);
    for (uint32_t k = 0; k < count; ++k) {
        const std::string n = std::to_string(k);
        uint32_t day = 0, hour = 0, minute = 0;
        if (!field_u32(request, ("day_item." + n).c_str(), day) || !field_u32(request, ("hour." + n).c_str(), hour) ||
            !field_u32(request, ("minute." + n).c_str(), minute)) {
            malformed = bad_request("Malformed day-part entry " + n);
            return params::Outcome::refused();
        }
        const params::Outcome added = editor->add(day, hour, minute, field(request, ("preset." + n).c_str()));
        if (!added.ok) return added;
    }
    if (editor->table() == bar.daypart_table()) return params::Outcome::success();
    return bar.accept_editor(*editor);
}
}  // namespace

Response Api::preset_command(const Request& request, std::string_view verb) { return bar_command(request, verb, false); }

Response Api::daypart_command(const Request& request, std::string_view verb) { return bar_command(request, verb, true); }

Response Api::bar_command(const Request& request, std::string_view verb, bool dayparts) {
    Response error;
    const auto t = page_target(app_, request, error, Needs::preset_bar);
    if (!t) return error;
    const PageView& v = t->view;
    params::PresetBar& bar = *v.bar;
    if (dayparts && !offers_dayparts(bar)) return not_found("This preset bar has no day-parts");
    const BarVerbs& verbs = dayparts ? daypart_verbs : preset_verbs;
    const std::string name = field(request, "name");
    const std::string file = field(request, "file");
    params::Outcome o;
    if (verb == "save") {
        const std::string typed = name_field(request, "name");  // blanks at either end dropped
        if (name.empty()) return bad_request(verbs.needs_name);
        if (typed.empty()) return message_response(200, messages::name_empty, messages::title_error);
        o = (bar.*verbs.save)(typed);
    } else if (verb == "choose") {
        keep_for_undo(t->view.controls);
        o = (bar.*verbs.choose)(name);
    } else if (verb == "undo") {
        if (!undo(t->view.controls)) return message_response(200, "There is nothing to undo", messages::title_error);
        o = params::Outcome::success();
    } else if (verb == "delete") {
        o = (bar.*verbs.remove)(name);
    } else if (verb == "notes") {
        o = (bar.*verbs.notes)(field(request, "notes"));
    } else if (verb == "import") {
        std::string why;
        const auto source = import_source(file, dayparts ? daypart_files : preset_files, why);
        if (!source) return message_response(200, why, messages::title_error);
        keep_for_undo(t->view.controls);
        o = (bar.*verbs.import)(*source);
    } else if (verb == "export") {
        if (file.empty()) return bad_request("Which file?");
        std::string why;
        const auto target = export_target(file, dayparts ? daypart_files : preset_files, options_.settings_home, why);
        if (!target) return message_response(200, why, messages::title_error);
        o = (bar.*verbs.export_to)(*target);
    } else if (verb == "download" || verb == "upload") {
        // Through the browser: the file travels in the request or the answer, and
        // passes through a private temporary folder on the way to or from the bar.
        return transfer(request, verb, t->view, dayparts);
    } else if (!dayparts && verb == "mode") {
        const std::string mode = field(request, "mode");
        if (mode != "presets" && mode != "dayparts") return bad_request("Mode must be presets or dayparts");
        o = bar.set_mode(mode == "dayparts" ? params::BarMode::dayparts : params::BarMode::presets);
    } else if (dayparts && verb == "enable") {
        o = bar.enable_dayparting(flag(request, "enable"));
    } else if (dayparts && verb == "edit") {
        Response malformed;
        o = edit_dayparts(bar, request, malformed);
        if (malformed.status != 200) return malformed;
    } else {
        return not_found("No such command");
    }
    if (!o.ok) return outcome_response(o);
    Json j;
    j.begin_object().member("ok", true).key("presets");
    write_bar(j, bar, true, offers_dayparts(bar), t->view.controls && undo_.count(t->view.controls));
    j.end_object();
    return json_response(200, j.take());
}

namespace {

// A file name from the browser as the last part of a path: letters, digits and
// ". -_" kept, anything else "_".
std::string upload_name(const std::string& name) {
    std::string base = name.substr(name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1);
    for (char& c : base)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_' && c != ' ') c = '_';
    return base.empty() || base[0] == '.' ? "upload" + base : base;
}
}  // namespace

Response Api::transfer(const Request& request, std::string_view verb, const PageView& view, bool dayparts) {
    params::PresetBar& bar = *view.bar;
    const ProfileKind& kind = dayparts ? daypart_files : preset_files;
    PrivateFolder folder("torvalen-transfer");
    if (folder.path.empty()) return message_response(200, "No temporary folder for the transfer", messages::title_error);
    if (verb == "download") {
        const std::string name = dayparts ? bar.current_daypart() : bar.current_preset();
        const std::filesystem::path file =
            folder.path / ((name.empty() ? std::string(kind.noun) : upload_name(name)) + "." + std::string(kind.extension));
        const params::Outcome o = dayparts ? bar.export_daypart(file) : bar.export_preset(file);
        if (!o.ok) return outcome_response(o);
        std::string error;
        const auto text = params::read_file_limited(file, params::max_profile_file_bytes, error);
        if (!text) return message_response(200, error, messages::title_error);
        Json j;
        j.begin_object().member("ok", true).member("file_name", file.filename().string()).member("content", repair_utf8(*text));
        j.end_object();
        return json_response(200, j.take());
    }
    const std::string content = field(request, "content");
    if (content.empty()) return message_response(200, "The file is empty", messages::title_error);
    std::filesystem::path file = folder.path / upload_name(field(request, "file_name"));
    if (file.extension() != "." + std::string(kind.extension)) {
        return message_response(200, "Only ." + std::string(kind.extension) + " files can be uploaded here",
                                messages::title_error);
    }
    {
        std::FILE* f = std::fopen(file.c_str(), "wbe");
        const bool written = f && std::fwrite(content.data(), 1, content.size(), f) == content.size();
        if (f) std::fclose(f);
        if (!written) return message_response(200, "The uploaded file could not be kept for reading", messages::title_error);
    }
    keep_for_undo(view.controls);
    const params::Outcome o = dayparts ? bar.import_daypart(file) : bar.import_preset(file);
    if (!o.ok) return outcome_response(o);
    Json j;
    j.begin_object().member("ok", true).key("presets");
    write_bar(j, bar, true, offers_dayparts(bar), view.controls && undo_.count(view.controls));
    j.end_object();
    return json_response(200, j.take());
}

Response Api::style_command(const Request& request) {
    StyleSettings changed = style_;
    for (const auto& [name, value] : request.params) {
        if (name == "confirmed") continue;
        if (!changed.apply_field(name, value)) return bad_request("Not a style setting: " + name + " = " + value);
    }
    style_ = changed;
    if (auto persist = app_.root_key().create("Persist"); !persist || !style_.save(*persist))
        return message_response(200, "The style settings could not be saved", "Error");
    return success();
}

// ---- What is on air ----

Response Api::on_air_json(const Request& request) {
    Response error;
    Instance* instance = instance_of(app_, request, error);
    if (!instance) return error;
    Json j;
    j.begin_object().member("ok", true).member("instance", instance->name());
    std::vector<std::string> alarms;
    auto* processor = dynamic_cast<dsp::ChainProcessor*>(instance->processor());
    j.member("processor", processor ? std::string(processor->identity().module_name) : std::string());
    if (params::PresetBar* bar = processor ? &processor->preset_bar() : nullptr) {
        j.member("preset", bar->current_preset())
            .member("modified", bar->preset_save_offer() != params::SaveOffer::none && !bar->current_preset().empty())
            .member("dayparting", bar->dayparting_enabled())
            .member("daypart", bar->current_daypart());
    }
    std::string device = "Virtual device";
    std::string device_state = instance->engine_started() ? "running" : "stopped";
    uint32_t rate = instance->device_rate();
    if (DeviceContext* card = app_.sound_card_of(instance)) {
        const DeviceStatus st = card->status();
        device = st.device;
        if (st.rate_Hz) rate = st.rate_Hz;
        device_state = st.on_virtual ? "on the virtual device after a failure" : st.driver_running ? "running" : "stopped";
        if (st.on_virtual) alarms.push_back("Sound card lost: running on the virtual device");
    }
    if (!instance->engine_started()) alarms.push_back("Engine stopped");
    j.member("device", device).member("rate", rate).member("device_state", device_state);
    // Silence at the input, as the Sound In meter measured it.
    const MeterFeed::Readings& r = meters_.readings(*instance);
    if (r.sound_in.size() >= 6 && std::max(r.sound_in[4], r.sound_in[5]) < -60.0f) alarms.push_back("Input silent");
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char clock[64];
    std::strftime(clock, sizeof clock, "%Y-%m-%d %H:%M:%S", &local);
    char zone[32];
    std::strftime(zone, sizeof zone, "%Z (UTC%z)", &local);
    j.member("clock", clock).member("time_zone", zone);
    j.key("alarms").begin_array();
    for (const std::string& a : alarms) j.value(a);
    j.end_array().end_object();
    return json_response(200, j.take());
}

// ---- Undo of the last preset load or default reset ----

void Api::keep_for_undo(params::ControlSet* controls) {
    if (!controls) return;
    std::vector<std::pair<uint32_t, float>> values;
    for (uint32_t i = 0; i < controls->table().size(); ++i) {
        float v = 0.0f;
        if (controls->get(i, v)) values.emplace_back(i, v);
    }
    undo_[controls] = std::move(values);
}

bool Api::undo(params::ControlSet* controls) {
    const auto it = controls ? undo_.find(controls) : undo_.end();
    if (it == undo_.end()) return false;
    for (const auto& [index, value] : it->second) controls->set(index, value);
    undo_.erase(it);
    return true;
}

// ---- Event stream ----

std::string Api::fingerprint() {
    std::string f = app_.logged_on() ? "1" : "0";
    f += app_.password_set() ? '1' : '0';
    const DesktopSettings& d = app_.desktop();
    f += std::to_string(d.use_sys_tray) + std::to_string(d.confirm_exit) + std::to_string(d.run_at_startup) +
         std::to_string(d.start_minimized) + std::to_string(d.interface_mode);
    for (const auto& name : app_.instance_names()) f += "|" + name;
    if (Instance* current = app_.current()) {
        f += "#" + current->name() + "#" + std::to_string(current->page_index()) + "#" +
             std::to_string(static_cast<uint32_t>(current->processor_type()));
        const PageView v = page_view(*current, current->page_index());
        if (v.bar) {
            f += "#" + v.bar->current_preset() + "#" + v.bar->current_daypart();
            f += v.bar->dayparting_enabled() ? '1' : '0';
        }
        if (v.controls) f += v.controls->modified() ? '1' : '0';
    }
    return f;
}

Api::Tick Api::tick(uint32_t pages, bool stored_too) {
    Tick t;
    control_.run([&] {
        std::string f = fingerprint();
        if (f != last_fingerprint_) {
            last_fingerprint_ = std::move(f);
            bump();
        }
        meters_.forget_closed(app_);
        Instance* current = app_.current();
        if (!current) return;
        t.stored_page = current->page_index();
        const uint32_t wanted = pages | (stored_too ? 1u << t.stored_page : 0u);
        for (uint32_t page = 0; page < page_count; ++page)
            if (wanted & (1u << page)) t.meters[page] = meters_.meters_event(*current, app_, page);
        if (wanted & (1u << analyser_page)) t.analyser = meters_.analyser_event(*current);
    });
    t.version = state_version();
    return t;
}

}  // namespace torvalen::http
