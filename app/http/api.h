// The web interface's API (documented in API.md beside this file): turns requests
// into the application's commands and models into JSON. It knows nothing of
// sockets: the web server hands it parsed requests, and the tests call it directly.
//
// Threads: handle() runs on the server's threads; everything that touches the
// application or a module is handed to the control thread and waited for.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/application.h"
#include "app/control_thread.h"
#include "app/http/meter_feed.h"
#include "app/http/request.h"
#include "app/http/routes.h"
#include "app/style_settings.h"
#include "params/control_set.h"

namespace torvalen::http {

inline constexpr std::string_view session_cookie = "torvalen_session";
inline constexpr std::string_view program_version = "3.0.0";

// ---- The main pop-up menu ----

struct MenuState {
    bool logged_on = false;
    size_t instance_count = 0;
    bool shared_mode = false;
    uint32_t page = 3;  // selected page of the current instance
    DesktopSettings desktop;
};

struct MenuEntry {
    enum class Kind { item, submenu, separator };
    std::string label;
    Kind kind = Kind::item;
    bool enabled = true;
    std::optional<bool> checked;  // toggles
    std::string command;
    std::vector<MenuEntry> items;
};

// The main menu in its order, with the enabled rules of the logged-on,
// logged-off and no-instance states, and the module entry of the selected page.
std::vector<MenuEntry> build_main_menu(const MenuState& state);

// ---- Wrong-password slow-down ----

class LogOnThrottle {
public:
    using Clock = std::chrono::steady_clock;
    // Seconds until the next attempt is allowed (0: now).
    int64_t wait_seconds(Clock::time_point now) const;
    void failed(Clock::time_point now);
    void succeeded() { failures_ = 0; not_before_ = {}; }
    // An attempt about to be verified: refused (seconds to wait) while slowed down,
    // else counted as wrong until `succeeded` says otherwise, so that guesses sent
    // in parallel are slowed down as much as guesses sent one after the other.
    int64_t claim(Clock::time_point now);
    Clock::time_point not_before() const { return not_before_; }

private:
    uint32_t failures_ = 0;
    Clock::time_point not_before_{};
};

// One throttle per client address: a stranger's guesses do not lock the operator out.
class PeerThrottles {
public:
    int64_t claim(const std::string& peer, LogOnThrottle::Clock::time_point now);
    void succeeded(const std::string& peer);

private:
    static constexpr size_t max_peers = 4096;
    std::map<std::string, LogOnThrottle> peers_;
};

// ---- The API ----

struct PageView;  // the modules behind a page (api.cpp)

struct ApiOptions {
    // Called (on a thread of its own, after the answer went out) when Exit ran.
    std::function<void()> request_exit;
    // The folder the file dialog starts in when none is given.
    std::filesystem::path home_folder;
    // The settings home: nothing is ever exported into it.
    std::filesystem::path settings_home;
    // False while the web interface listens on a network address: the password
    // may then not be removed.
    bool listening_on_loopback = true;
    // A session that sent nothing for this long must log on again.
    std::chrono::seconds session_idle_limit{8 * 3600};
    // GET /healthz: runs on the control thread; empty when healthy, else the reason.
    std::function<std::string()> health;
    // When set, GET /metrics needs "Authorization: Bearer <token>".
    std::string metrics_token;
};

class Api {
public:
    Api(ControlThread& control, Application& app, ApiOptions options);
    ~Api();
    Api(const Api&) = delete;
    Api& operator=(const Api&) = delete;

    Response handle(const Request& request);

    // ---- Event stream ----
    // Changes whenever the state a browser shows may have changed.
    uint64_t state_version() const { return version_.load(std::memory_order_acquire); }
    // One tick of the event stream (every 40 ms, any thread): runs the meter feed
    // on the control thread and notices state changes made outside requests (a
    // day-part load, another browser). Fills the events' data ("" for none).
    // Each browser views a page of its own: the tick holds the "meters" event of
    // every page in `pages` (bit p for page p of the current instance), and of the
    // stored page when `stored_too` (streams that follow it), and the "analyser"
    // event when the Analyser page is among them.
    struct Tick {
        uint64_t version = 0;
        uint32_t stored_page = 0;  // the current instance's stored page
        std::array<std::string, page_count> meters;
        std::string analyser;
    };
    Tick tick(uint32_t pages, bool stored_too);
    // Saves the style settings; called at exit on the control thread.
    void save_style();
    // Runs the exit the "Exit" command granted (after its answer went out).
    void request_exit() {
        if (options_.request_exit) options_.request_exit();
    }

private:
    Response dispatch(const Request& request);
    Response read_request(const Request& request, bool may_change);
    Response command_request(const Request& request);

    bool may_change(const Request& request);  // control thread
    // A new session: sets its cookie on `r` and puts its token into the answer.
    void open_session(Response& r);
    bool session_valid(const Request& request);
    Response throttled(const Request& request);  // empty body: go on

    Response state_json(const Request& request, bool may_change);
    Response page_json(const Request& request, bool may_change);
    Response values_json(const Request& request);
    Response presets_json(const Request& request, bool may_change);
    Response dayparts_json(const Request& request);
    Response processor_json(const Request& request);
    Response affinity_json(const Request& request);
    Response cpu_json(const Request& request);
    Response on_air_json(const Request& request);
    Response files_json(const Request& request);
    Response metrics_text(const Request& request);
    Response health_text();

    Response log_on(const Request& request);
    Response change_password(const Request& request);
    Response preset_command(const Request& request, std::string_view verb);
    Response daypart_command(const Request& request, std::string_view verb);
    Response bar_command(const Request& request, std::string_view verb, bool dayparts);
    // A preset or day-part file downloaded to or uploaded from the browser.
    Response transfer(const Request& request, std::string_view verb, const PageView& view, bool dayparts);
    Response control_command(const Request& request, std::string_view verb);
    Response style_command(const Request& request);

    // What the last preset load or default reset of a module replaced (control
    // thread): one step back through "Undo".
    void keep_for_undo(params::ControlSet* controls);
    bool undo(params::ControlSet* controls);
    std::map<const params::ControlSet*, std::vector<std::pair<uint32_t, float>>> undo_;

    std::string fingerprint();  // control thread
    void bump() { version_.fetch_add(1, std::memory_order_acq_rel); }

    ControlThread& control_;
    Application& app_;
    ApiOptions options_;
    RouteTable routes_;
    MeterFeed meters_;
    StyleSettings style_;

    struct Session {
        std::string token;  // the anti-forgery token the page sends in a header
        std::chrono::steady_clock::time_point last_used;
    };
    std::mutex sessions_lock_;
    std::map<std::string, Session> sessions_;  // by cookie value
    PeerThrottles throttles_;  // under sessions_lock_

    std::atomic<uint64_t> version_{1};
    std::string last_fingerprint_;  // control thread
};

}  // namespace torvalen::http
