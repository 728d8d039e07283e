#include "app/http/api.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/messages.h"
#include "app/standard_modules.h"
#include "params/preset_file.h"
#include "tests/support/json_reader.h"
#include "tests/support/temp_dir.h"

namespace torvalen {
namespace {

using http::MenuEntry;
using testing::JsonValue;
using testing::parse_json;

// ---- Main menu rules ----

const MenuEntry& entry(const std::vector<MenuEntry>& menu, const std::string& label) {
    for (const MenuEntry& e : menu)
        if (e.label == label) return e;
    static const MenuEntry none = [] {
        MenuEntry e;
        e.label = "<missing>";
        return e;
    }();
    ADD_FAILURE() << "no menu entry " << label;
    return none;
}

std::vector<std::string> enabled_labels(const std::vector<MenuEntry>& menu) {
    std::vector<std::string> out;
    for (const MenuEntry& e : menu)
        if (e.kind != MenuEntry::Kind::separator && e.enabled) out.push_back(e.label);
    return out;
}

TEST(MainMenu, LoggedOnEveryMainEntryAndTheModuleEntryOfThePage) {
    http::MenuState s;
    s.logged_on = true;
    s.instance_count = 2;
    s.page = 3;
    auto menu = http::build_main_menu(s);
    ASSERT_EQ(menu.size(), 12u);
    EXPECT_EQ(enabled_labels(menu),
              (std::vector<std::string>{"Instances", "Sound", "CPU Load", "Affinity", "Settings", "Password",
                                        "Style", "Help", "Now Playing", "Exit", "Processor"}));
    EXPECT_EQ(menu[10].kind, MenuEntry::Kind::separator);
    EXPECT_EQ(menu[11].items.size(), 2u);
    EXPECT_EQ(menu[11].items[0].label, "Processor Type");
    const MenuEntry& password = entry(menu, "Password");
    EXPECT_FALSE(password.items[0].enabled);  // Log On
    EXPECT_TRUE(password.items[1].enabled);   // Log Off
    EXPECT_TRUE(password.items[2].enabled);   // Change

    // Pages without a module entry, and the entries of the others.
    for (uint32_t page : {0u, 7u}) {
        s.page = page;
        EXPECT_EQ(http::build_main_menu(s).size(), 11u) << page;
    }
    const std::vector<std::pair<uint32_t, std::string>> entries = {
        {1, "Player"}, {2, "STL RX Settings"}, {4, "Sound Out"}, {5, "STL TX Settings"}, {6, "Stream TX Settings"}};
    for (const auto& [page, label] : entries) {
        s.page = page;
        EXPECT_EQ(http::build_main_menu(s).back().label, label);
    }
    s.page = 1;
    EXPECT_EQ(http::build_main_menu(s).back().items[2].label, "Rotaion  current running weights");
}

TEST(MainMenu, LoggedOffLeavesPasswordWithLogOnAndHelp) {
    http::MenuState s;
    s.logged_on = false;
    s.instance_count = 1;
    s.page = 3;
    auto menu = http::build_main_menu(s);
    EXPECT_EQ(enabled_labels(menu), (std::vector<std::string>{"Password", "Help"}));
    EXPECT_EQ(menu.size(), 11u);  // no module entry
    const MenuEntry& password = entry(menu, "Password");
    EXPECT_TRUE(password.items[0].enabled);
    EXPECT_FALSE(password.items[1].enabled);
    EXPECT_FALSE(password.items[2].enabled);
    EXPECT_TRUE(entry(menu, "Help").items[0].enabled);
}

TEST(MainMenu, WithoutInstancesOnlyNewInstanceSettingsAndStyle) {
    http::MenuState s;
    s.logged_on = true;
    s.instance_count = 0;
    auto menu = http::build_main_menu(s);
    EXPECT_EQ(enabled_labels(menu), (std::vector<std::string>{"Instances", "Settings", "Style"}));
    const MenuEntry& instances = entry(menu, "Instances");
    EXPECT_TRUE(instances.items[0].enabled);
    EXPECT_FALSE(instances.items[1].enabled);
    EXPECT_FALSE(instances.items[2].enabled);
    EXPECT_EQ(menu.size(), 11u);

    s.instance_count = max_instances;
    const auto full = http::build_main_menu(s);
    EXPECT_FALSE(entry(full, "Instances").items[0].enabled);
}

TEST(MainMenu, SoundEntriesFollowTheDeviceModeAndTogglesCarryTheirFlags) {
    http::MenuState s;
    s.logged_on = true;
    s.instance_count = 1;
    s.shared_mode = true;
    s.desktop.confirm_exit = 1;
    auto menu = http::build_main_menu(s);
    const MenuEntry& sound = entry(menu, "Sound");
    ASSERT_EQ(sound.items.size(), 3u);
    EXPECT_EQ(sound.items[0].label, "ASIO Single Settngs");
    EXPECT_EQ(sound.items[1].label, "ASIO Single Channels");
    EXPECT_EQ(sound.items[2].label, "Interface");
    const MenuEntry& settings = entry(menu, "Settings");
    EXPECT_EQ(settings.items[3].label, "Confirm Exit");
    EXPECT_EQ(settings.items[3].checked, std::optional<bool>(true));
    EXPECT_EQ(settings.items[1].checked, std::optional<bool>(false));

    s.shared_mode = false;
    const auto per_instance = http::build_main_menu(s);
    const MenuEntry& multi = entry(per_instance, "Sound");
    ASSERT_EQ(multi.items.size(), 2u);
    EXPECT_EQ(multi.items[0].label, "ASIO Multi Settings");
}

TEST(LogOnThrottle, SlowsDownFromTheThirdWrongPasswordAndResetsOnSuccess) {
    http::LogOnThrottle t;
    const auto t0 = http::LogOnThrottle::Clock::now();
    t.failed(t0);
    t.failed(t0);
    EXPECT_EQ(t.wait_seconds(t0), 0);
    t.failed(t0);
    EXPECT_GE(t.wait_seconds(t0), 1);
    EXPECT_EQ(t.wait_seconds(t0 + std::chrono::seconds(2)), 0);
    for (int i = 0; i < 20; ++i) t.failed(t0);
    EXPECT_LE(t.wait_seconds(t0), 61);
    EXPECT_GE(t.wait_seconds(t0), 59);
    t.succeeded();
    t.failed(t0 + std::chrono::seconds(100));
    EXPECT_EQ(t.wait_seconds(t0 + std::chrono::seconds(100)), 0);
}

// ---- The API on a real application ----

class ApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        options_.home = temp_ / "home";
        options_.autostart_dir = temp_ / "autostart";
        options_.program = "/usr/bin/torvalen";
        options_.start_devices = false;
        start();
    }
    void TearDown() override { stop(); }

    void start() {
        std::string error;
        control_.run([&] { app_ = Application::start(options_, factory_, error); });
        ASSERT_TRUE(app_) << error;
        http::ApiOptions o;
        o.home_folder = temp_.path();
        o.request_exit = [this] { ++exits_; };
        o.settings_home = options_.home;
        o.session_idle_limit = idle_limit_;
        o.listening_on_loopback = on_loopback_;
        api_ = std::make_unique<http::Api>(control_, *app_, o);
    }
    void stop() {
        if (!app_) return;
        control_.run([&] {
            api_->save_style();
            api_.reset();
            app_->exit();
            app_.reset();
        });
    }

    http::Response call(const std::string& method, const std::string& path,
                        std::map<std::string, std::string> params = {}, const std::string& session = {}) {
        http::Request r;
        r.method = method;
        r.path = path;
        r.params = std::move(params);
        r.session = session;
        r.token = tokens_[session];  // what the page kept from its logon
        r.peer = peer_;
        r.host = "127.0.0.1:8080";
        r.origin = method == "POST" ? "http://127.0.0.1:8080" : "";
        http::Response answer = api_->handle(r);
        if (answer.set_cookie.find("Max-Age=0") == std::string::npos && !answer.set_cookie.empty()) {
            const JsonValue body = parse_json(answer.body);
            if (body.has("token")) tokens_[cookie_token(answer.set_cookie)] = body["token"].str();
        }
        return answer;
    }
    JsonValue get(const std::string& path, std::map<std::string, std::string> params = {},
                  const std::string& session = {}) {
        const http::Response r = call("GET", path, std::move(params), session);
        EXPECT_EQ(r.status, 200) << path << ": " << r.body;
        return parse_json(r.body);
    }
    JsonValue post(const std::string& path, std::map<std::string, std::string> params = {},
                   const std::string& session = {}) {
        const http::Response r = call("POST", path, std::move(params), session);
        EXPECT_EQ(r.status, 200) << path << ": " << r.body;
        return parse_json(r.body);
    }
    static std::string cookie_token(const std::string& set_cookie) {
        const size_t eq = set_cookie.find('=');
        const size_t end = set_cookie.find(';');
        return set_cookie.substr(eq + 1, end - eq - 1);
    }

    testing::TempDir temp_{"torvalen-api"};
    AppOptions options_;
    // The player's lists go to the test's folder, not the user's data folder.
    StandardModules factory_{StandardModuleOptions{temp_ / "data", false}};
    ControlThread control_;
    std::unique_ptr<Application> app_;
    std::unique_ptr<http::Api> api_;
    int exits_ = 0;
    std::map<std::string, std::string> tokens_;  // session cookie -> its header token
    std::string peer_ = "127.0.0.1";
    std::chrono::seconds idle_limit_{3600};
    bool on_loopback_ = true;
};

TEST_F(ApiTest, InstancesAreCreatedRenamedAndClosedWithTheirMessages) {
    JsonValue state = get("/api/state");
    ASSERT_EQ(state["instances"].arr().size(), 1u);
    EXPECT_EQ(state["current"].str(), "Instance 1");
    EXPECT_TRUE(state["logged_on"].flag());

    EXPECT_TRUE(post("/api/instance/new", {{"name", "Studio"}})["ok"].flag());
    JsonValue dup = post("/api/instance/new", {{"name", "Studio"}});
    EXPECT_FALSE(dup["ok"].flag());
    EXPECT_EQ(dup["message"].str(), messages::duplicate_instance);
    EXPECT_EQ(dup["title"].str(), "Error");

    EXPECT_TRUE(post("/api/instance/rename", {{"name", "Air"}})["ok"].flag());
    state = get("/api/state");
    EXPECT_EQ(state["current"].str(), "Air");
    EXPECT_EQ(state["instances"][0].str(), "Air");

    // Close asks first; nothing is closed until the user said Yes.
    JsonValue ask = post("/api/instance/close");
    EXPECT_TRUE(ask["confirm"].flag());
    EXPECT_EQ(ask["message"].str(), messages::close_question);
    EXPECT_EQ(ask["title"].str(), "Warning");
    EXPECT_EQ(get("/api/state")["instances"].arr().size(), 2u);
    EXPECT_TRUE(post("/api/instance/close", {{"confirmed", "1"}})["ok"].flag());
    state = get("/api/state");
    ASSERT_EQ(state["instances"].arr().size(), 1u);
    EXPECT_EQ(state["current"].str(), "Instance 1");

    // Page selection is stored with the instance.
    EXPECT_TRUE(post("/api/page/select", {{"page", "7"}})["ok"].flag());
    EXPECT_EQ(get("/api/state")["page"].num(), 7);
    EXPECT_EQ(call("POST", "/api/page/select", {{"page", "8"}}).status, 400);
}

TEST_F(ApiTest, ThePasswordLockRefusesCommandsOfSessionsThatDidNotLogOn) {
    // Setting the first password keeps the browser that set it logged on.
    const http::Response set = call("POST", "/api/password/change", {{"old", ""}, {"new", "Str0ng!Pass"}});
    ASSERT_EQ(set.status, 200) << set.body;
    ASSERT_NE(set.set_cookie.find("HttpOnly"), std::string::npos);
    ASSERT_NE(set.set_cookie.find("SameSite=Strict"), std::string::npos);
    const std::string owner = cookie_token(set.set_cookie);
    const std::map<std::string, std::string> change = {{"instance", "Instance 1"}, {"page", "3"}, {"index", "4"}, {"value", "1"}};

    // Another browser (no cookie) reads but cannot change anything.
    EXPECT_FALSE(get("/api/state")["logged_on"].flag());
    EXPECT_EQ(call("POST", "/api/control/set", change).status, 403);
    EXPECT_EQ(call("POST", "/api/instance/new", {{"name", "X"}}).status, 403);
    EXPECT_EQ(call("POST", "/api/control/set", change, "forged-token").status, 403);
    EXPECT_TRUE(get("/api/state", {}, owner)["logged_on"].flag());
    EXPECT_TRUE(post("/api/control/set", change, owner)["ok"].flag());

    // Log Off locks everybody; a wrong password says so; the right one logs on.
    EXPECT_TRUE(post("/api/password/logoff", {}, owner)["ok"].flag());
    EXPECT_EQ(call("POST", "/api/control/set", change, owner).status, 403);
    JsonValue page = get("/api/page", {{"page", "3"}}, owner);
    EXPECT_FALSE(page["controls"]["enabled"].flag());
    EXPECT_FALSE(page["presets"]["enabled"].flag());
    JsonValue wrong = post("/api/password/logon", {{"password", "nope"}});
    EXPECT_EQ(wrong["message"].str(), messages::password_wrong);
    const http::Response right = call("POST", "/api/password/logon", {{"password", "Str0ng!Pass"}});
    ASSERT_EQ(parse_json(right.body)["ok"].flag(), true);
    const std::string session = cookie_token(right.set_cookie);
    EXPECT_EQ(session.size(), 64u);
    EXPECT_TRUE(post("/api/control/set", change, session)["ok"].flag());

    // Wrong passwords slow down from the third in a row.
    post("/api/password/logon", {{"password", "a"}});
    post("/api/password/logon", {{"password", "b"}});
    post("/api/password/logon", {{"password", "c"}});
    JsonValue slowed = post("/api/password/logon", {{"password", "Str0ng!Pass"}});
    EXPECT_FALSE(slowed["ok"].flag());
    EXPECT_NE(slowed["message"].str().find("Too many wrong passwords"), std::string::npos);
}

TEST_F(ApiTest, CommandsFromAnotherSiteAreRefused) {
    http::Request r;
    r.method = "POST";
    r.path = "/api/instance/new";
    r.params = {{"name", "Evil"}};
    r.host = "127.0.0.1:8080";
    r.origin = "http://attacker.example";
    EXPECT_EQ(api_->handle(r).status, 403);
    r.origin.clear();
    r.fetch_site = "cross-site";
    EXPECT_EQ(api_->handle(r).status, 403);
    // A page that hides its origin (a no-referrer form, a redirect) or sits on
    // another port of this host ("same-site") is foreign too.
    r.fetch_site.clear();
    r.origin = "null";
    EXPECT_EQ(api_->handle(r).status, 403);
    r.origin.clear();
    r.fetch_site = "same-site";
    EXPECT_EQ(api_->handle(r).status, 403);
    r.fetch_site = "same-origin";
    r.origin = "http://127.0.0.1:8080";
    EXPECT_EQ(api_->handle(r).status, 200);
    EXPECT_EQ(get("/api/state")["instances"].arr().size(), 2u);
}

TEST_F(ApiTest, ControlsAreSetReadBackAndResetToDefaults) {
    JsonValue page = get("/api/page", {{"page", "3"}});
    EXPECT_EQ(page["module"].str(), "Torvalen One");
    ASSERT_FALSE(page["controls"].is_null());
    EXPECT_TRUE(page["controls"]["enabled"].flag());
    EXPECT_FALSE(page["meters"].is_null());
    // Find a slider and its default.
    const JsonValue* slider = nullptr;
    for (const auto& p : page["controls"]["pages"].arr())
        for (const auto& g : p["groups"].arr())
            for (const auto& c : g["controls"].arr())
                if (!slider && c["widget"].str() == "slider" && c["max"].num() - c["min"].num() > 2 * c["step"].num())
                    slider = &c;
    ASSERT_TRUE(slider);
    const std::string index = std::to_string(static_cast<int>((*slider)["index"].num()));
    const double def = (*slider)["default"].num();
    const double target = def + (*slider)["step"].num() <= (*slider)["max"].num() ? def + (*slider)["step"].num()
                                                                                 : def - (*slider)["step"].num();
    JsonValue set = post("/api/control/set", {{"page", "3"}, {"index", index}, {"value", std::to_string(target)}});
    EXPECT_NEAR(set["value"].num(), target, 1e-3);
    EXPECT_TRUE(set["modified"].flag());
    EXPECT_NEAR(get("/api/values", {{"page", "3"}})["values"][index].num(), target, 1e-3);

    EXPECT_EQ(call("POST", "/api/control/set", {{"page", "3"}, {"index", "99999"}, {"value", "1"}}).status, 400);
    EXPECT_EQ(call("POST", "/api/control/set", {{"page", "3"}, {"index", index}, {"value", "nan"}}).status, 400);
    EXPECT_EQ(call("POST", "/api/control/set", {{"page", "3"}, {"index", index}, {"value", "1e999"}}).status, 400);
    EXPECT_EQ(call("POST", "/api/control/defaults", {{"page", "3"}, {"scope", "page"}, {"tree_page", "999"}}).status,
              400);

    // Asked first; the reset can be undone once.
    EXPECT_TRUE(post("/api/control/defaults", {{"page", "3"}, {"scope", "all"}})["confirm"].flag());
    EXPECT_NEAR(get("/api/values", {{"page", "3"}})["values"][index].num(), target, 1e-3);
    EXPECT_FALSE(get("/api/presets", {{"page", "3"}})["undo"].flag());
    EXPECT_TRUE(post("/api/control/defaults", {{"page", "3"}, {"scope", "all"}, {"confirmed", "1"}})["ok"].flag());
    EXPECT_NEAR(get("/api/values", {{"page", "3"}})["values"][index].num(), def, 1e-3);
    EXPECT_TRUE(get("/api/presets", {{"page", "3"}})["undo"].flag());
    EXPECT_TRUE(post("/api/presets/undo", {{"page", "3"}})["ok"].flag());
    EXPECT_NEAR(get("/api/values", {{"page", "3"}})["values"][index].num(), target, 1e-3);
    EXPECT_FALSE(post("/api/presets/undo", {{"page", "3"}})["ok"].flag());  // once

    // Every page has its module in this build; pages past the last are refused.
    for (int page = 0; page < 8; ++page)
        EXPECT_FALSE(get("/api/page", {{"page", std::to_string(page)}})["module"].is_null()) << page;
    EXPECT_EQ(call("GET", "/api/page", {{"page", "9"}}).status, 400);
    EXPECT_EQ(call("GET", "/api/page", {{"instance", "Nobody"}, {"page", "3"}}).status, 404);
}

TEST_F(ApiTest, ValuesAreReportedRoundedToTheirStep) {
    // Sound Out: a gain in dB and a scaled percentage whose read-back carries
    // float noise (2.50000024, 6.99999952) unless rounded to the step.
    const std::map<std::string, std::string> at = {{"page", "4"}};
    std::map<std::string, std::string> index;
    const JsonValue page = get("/api/page", at);
    for (const auto& p : page["controls"]["pages"].arr())
        for (const auto& g : p["groups"].arr())
            for (const auto& c : g["controls"].arr())
                index[c["label"].str()] = std::to_string(static_cast<int>(c["index"].num()));
    ASSERT_TRUE(index.count("Sub Amp") && index.count("Pilot Amp (%)"));
    for (const auto& [label, value] : {std::pair{"Sub Amp", 2.5}, std::pair{"Pilot Amp (%)", 7.0}}) {
        auto with = at;
        with["index"] = index[label];
        with["value"] = std::to_string(value);
        EXPECT_EQ(post("/api/control/set", with)["value"].num(), value) << label;
        EXPECT_EQ(get("/api/values", at)["values"][index[label]].num(), value) << label;
        EXPECT_EQ(get("/api/page", at)["controls"]["values"][index[label]].num(), value) << label;
    }
}

TEST_F(ApiTest, PresetsSurviveSaveExportDeleteImportAndARestart) {
    const std::map<std::string, std::string> at = {{"page", "3"}};
    auto with = [&](std::map<std::string, std::string> extra) {
        extra.insert(at.begin(), at.end());
        return extra;
    };
    // Input Select (a list switch) to "Sig Gen".
    ASSERT_TRUE(post("/api/control/set", with({{"index", "2"}, {"value", "3"}}))["ok"].flag());
    JsonValue saved = post("/api/presets/save", with({{"name", "Night"}}));
    ASSERT_TRUE(saved["ok"].flag()) << saved["message"].str();
    EXPECT_EQ(saved["presets"]["current"].str(), "Night");
    EXPECT_FALSE(saved["presets"]["modified"].flag());

    const std::string file = (temp_ / "night.fmt4").string();
    ASSERT_TRUE(post("/api/presets/export", with({{"file", file}}))["ok"].flag());
    EXPECT_TRUE(std::filesystem::exists(file));
    ASSERT_TRUE(post("/api/presets/delete", with({{"name", "Night"}}))["ok"].flag());
    EXPECT_TRUE(get("/api/presets", at)["list"].arr().empty());
    ASSERT_TRUE(post("/api/control/set", with({{"index", "2"}, {"value", "0"}}))["ok"].flag());

    JsonValue imported = post("/api/presets/import", with({{"file", file}}));
    ASSERT_TRUE(imported["ok"].flag()) << imported["message"].str();
    EXPECT_EQ(get("/api/values", at)["values"]["2"].num(), 3);

    // A file that is not a preset is refused with the import message.
    const std::string junk = (temp_ / "junk.fmt4").string();
    std::ofstream(junk) << "not a preset";
    JsonValue refused = post("/api/presets/import", with({{"file", junk}}));
    EXPECT_FALSE(refused["ok"].flag());
    EXPECT_FALSE(refused["message"].str().empty());

    ASSERT_TRUE(post("/api/presets/save", with({{"name", "Night"}}))["ok"].flag());
    stop();
    start();
    JsonValue bar = get("/api/presets", at);
    EXPECT_EQ(bar["current"].str(), "Night");
    EXPECT_EQ(get("/api/values", at)["values"]["2"].num(), 3);
}

TEST_F(ApiTest, TheDaypartEditorTakesAWholeTableOrNothing) {
    const std::map<std::string, std::string> at = {{"page", "3"}};
    auto with = [&](std::map<std::string, std::string> extra) {
        extra.insert(at.begin(), at.end());
        return extra;
    };
    ASSERT_TRUE(post("/api/presets/save", with({{"name", "Morning"}}))["ok"].flag());
    ASSERT_TRUE(post("/api/presets/save", with({{"name", "Evening"}}))["ok"].flag());
    JsonValue edited = post("/api/dayparts/edit",
                            with({{"count", "2"},
                                  {"day_item.0", "4"}, {"hour.0", "18"}, {"minute.0", "30"}, {"preset.0", "Evening"},
                                  {"day_item.1", "0"}, {"hour.1", "6"}, {"minute.1", "0"}, {"preset.1", "Morning"}}));
    ASSERT_TRUE(edited["ok"].flag()) << edited["message"].str();
    JsonValue table = get("/api/dayparts", at);
    ASSERT_EQ(table["entries"].arr().size(), 2u);
    EXPECT_EQ(table["entries"][0]["preset"].str(), "Morning");  // Monday before Friday
    EXPECT_EQ(table["entries"][0]["day"].num(), 1);
    EXPECT_EQ(table["entries"][1]["hour"].num(), 18);
    EXPECT_EQ(table["presets"].arr().size(), 2u);
    EXPECT_TRUE(get("/api/presets", at)["daypart_modified"].flag());

    // An entry at an impossible time refuses the whole table.
    JsonValue refused = post("/api/dayparts/edit", with({{"count", "1"}, {"day_item.0", "1"}, {"hour.0", "24"},
                                                         {"minute.0", "0"}, {"preset.0", "Morning"}}));
    EXPECT_FALSE(refused["ok"].flag());
    EXPECT_EQ(get("/api/dayparts", at)["entries"].arr().size(), 2u);
    EXPECT_EQ(call("POST", "/api/dayparts/edit", with({{"count", "21"}})).status, 400);

    // The Analyser's bar has no day-parts.
    EXPECT_EQ(call("POST", "/api/dayparts/edit", {{"page", "7"}, {"count", "0"}}).status, 404);
}

TEST_F(ApiTest, TheFileDialogListsFoldersFirstWithoutHiddenEntries) {
    std::filesystem::create_directories(temp_ / "b-folder");
    std::filesystem::create_directories(temp_ / ".hidden");
    std::ofstream(temp_ / "a-file.fmt4") << "x";
    JsonValue list = get("/api/files", {{"dir", temp_.path().string()}});
    std::vector<std::string> names;
    for (const auto& e : list["entries"].arr()) names.push_back(e["name"].str());
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[0], "b-folder");
    EXPECT_TRUE(list["entries"][0]["dir"].flag());
    EXPECT_EQ(std::count(names.begin(), names.end(), ".hidden"), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "a-file.fmt4"), 1);
    EXPECT_EQ(list["parent"].str(), temp_.path().parent_path().string());
    EXPECT_EQ(call("GET", "/api/files", {{"dir", "relative/path"}}).status, 400);
    EXPECT_FALSE(get("/api/files", {{"dir", (temp_ / "missing").string()}})["ok"].flag());
}

TEST_F(ApiTest, StyleChangesApplyWholeOrNotAtAllAndAreStored) {
    EXPECT_TRUE(post("/api/style", {{"color.Background", "#102030"}, {"custom.3", "#abcdef"}})["ok"].flag());
    EXPECT_EQ(get("/api/state")["style"]["colors"]["Background"].str(), "#102030");
    EXPECT_EQ(call("POST", "/api/style", {{"color.Title", "#000000"}, {"color.Nope", "#000000"}}).status, 400);
    EXPECT_NE(get("/api/state")["style"]["colors"]["Title"].str(), "#000000");
    stop();
    start();
    EXPECT_EQ(get("/api/state")["style"]["colors"]["Background"].str(), "#102030");
}

TEST_F(ApiTest, ExitAlwaysAsksThenEnds) {
    // The browser is asked whatever the desktop's "Confirm Exit" says.
    EXPECT_EQ(get("/api/state")["desktop"]["confirm_exit"].num(), 0);
    EXPECT_TRUE(post("/api/exit")["confirm"].flag());
    ASSERT_TRUE(post("/api/desktop/toggle", {{"name", "confirm_exit"}})["ok"].flag());
    EXPECT_EQ(get("/api/state")["desktop"]["confirm_exit"].num(), 1);
    JsonValue ask = post("/api/exit");
    EXPECT_TRUE(ask["confirm"].flag());
    EXPECT_EQ(ask["message"].str(), messages::exit_question);
    const http::Response done = call("POST", "/api/exit", {{"confirmed", "1"}});
    EXPECT_TRUE(done.exit_after);
    EXPECT_EQ(call("POST", "/api/desktop/toggle", {{"name", "nonsense"}}).status, 400);
}


TEST_F(ApiTest, ASessionNeedsItsHeaderTokenAndEndsWithAPasswordChange) {
    const http::Response set = call("POST", "/api/password/change", {{"old", ""}, {"new", "Str0ng!Pass"}});
    const std::string owner = cookie_token(set.set_cookie);
    ASSERT_EQ(tokens_[owner].size(), 64u);
    const std::map<std::string, std::string> change = {{"page", "3"}, {"index", "4"}, {"value", "1"}};
    EXPECT_TRUE(post("/api/control/set", change, owner)["ok"].flag());

    // The cookie replayed without the page's token (another service on this host
    // received it) changes nothing and lists no folder.
    const std::string token = tokens_[owner];
    tokens_[owner] = "";
    EXPECT_EQ(call("POST", "/api/control/set", change, owner).status, 403);
    EXPECT_EQ(call("GET", "/api/files", {{"dir", "/"}}, owner).status, 403);
    EXPECT_FALSE(get("/api/state", {}, owner)["logged_on"].flag());
    tokens_[owner] = std::string(64, 'a');
    EXPECT_EQ(call("POST", "/api/control/set", change, owner).status, 403);
    tokens_[owner] = token;
    EXPECT_EQ(call("GET", "/api/files", {{"dir", "/"}}, owner).status, 200);

    // A second browser logs on; when the owner changes the password, it must log on again.
    const http::Response other = call("POST", "/api/password/logon", {{"password", "Str0ng!Pass"}});
    const std::string second = cookie_token(other.set_cookie);
    EXPECT_TRUE(post("/api/control/set", change, second)["ok"].flag());
    EXPECT_TRUE(post("/api/password/change", {{"old", "Str0ng!Pass"}, {"new", "N3w!Passw0rd"}}, owner)["ok"].flag());
    EXPECT_EQ(call("POST", "/api/control/set", change, second).status, 403);
    EXPECT_TRUE(post("/api/control/set", change, owner)["ok"].flag());

    // A session idle for longer than the limit has ended.
    stop();
    idle_limit_ = std::chrono::seconds(0);
    start();
    const http::Response fresh = call("POST", "/api/password/logon", {{"password", "N3w!Passw0rd"}});
    const std::string idle = cookie_token(fresh.set_cookie);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(call("POST", "/api/control/set", change, idle).status, 403);
}

TEST_F(ApiTest, WrongPasswordsAreCountedPerPeerAndBeforeTheyAreChecked) {
    const std::string owner =
        cookie_token(call("POST", "/api/password/change", {{"old", ""}, {"new", "Str0ng!Pass"}}).set_cookie);

    // A stranger's guesses slow the stranger down, not the operator.
    peer_ = "192.0.2.7";
    for (const char* guess : {"a", "b", "c"}) post("/api/password/logon", {{"password", guess}});
    EXPECT_NE(post("/api/password/logon", {{"password", "d"}})["message"].str().find("Too many"), std::string::npos);
    // The old password of Change is a guess as well.
    EXPECT_NE(post("/api/password/change", {{"old", "x"}, {"new", "Other!Pass1"}}, owner)["message"].str().find("Too many"),
              std::string::npos);
    peer_ = "127.0.0.1";
    EXPECT_TRUE(post("/api/password/logon", {{"password", "Str0ng!Pass"}})["ok"].flag());

    // Guesses sent at the same time are counted before they are verified: at
    // most three are checked.
    peer_ = "192.0.2.8";
    std::vector<std::thread> guesses;
    std::atomic<int> checked{0};
    for (int i = 0; i < 8; ++i)
        guesses.emplace_back([&, i] {
            http::Request r;
            r.method = "POST";
            r.path = "/api/password/logon";
            r.params = {{"password", "guess" + std::to_string(i)}};
            r.host = "127.0.0.1:8080";
            r.peer = "192.0.2.8";
            if (api_->handle(r).body.find("Too many") == std::string::npos) ++checked;
        });
    for (auto& t : guesses) t.join();
    EXPECT_EQ(checked.load(), 3);

    // On a network address the password cannot be removed.
    peer_ = "127.0.0.1";
    stop();
    on_loopback_ = false;
    start();
    const std::string session =
        cookie_token(call("POST", "/api/password/logon", {{"password", "Str0ng!Pass"}}).set_cookie);
    JsonValue refused = post("/api/password/change", {{"old", "Str0ng!Pass"}, {"new", ""}, {"confirmed", "1"}}, session);
    EXPECT_EQ(refused["message"].str(), messages::password_needed_on_network);
    control_.run([&] { EXPECT_TRUE(app_->password_set()); });
}

TEST_F(ApiTest, ExportAndImportKeepToFilesOfTheirKind) {
    namespace fs = std::filesystem;
    const std::map<std::string, std::string> at = {{"page", "3"}};
    auto with = [&](std::string verb, std::string file) {
        return post("/api/presets/" + verb, {{"page", "3"}, {"file", std::move(file)}});
    };
    // Relative paths and the settings home are refused; the extension is added.
    EXPECT_FALSE(with("export", "night.fmt4")["ok"].flag());
    EXPECT_FALSE(with("export", (options_.home / "password").string())["ok"].flag());
    EXPECT_FALSE(fs::exists(options_.home / "password.fmt4"));
    EXPECT_FALSE(with("export", (temp_ / "missing" / "x.fmt4").string())["ok"].flag());
    ASSERT_TRUE(with("export", (temp_ / ".bashrc").string())["ok"].flag());
    EXPECT_TRUE(std::filesystem::exists(temp_ / ".bashrc.fmt4"));

    // A file that is there is replaced only when it is a preset file, and keeps its mode.
    const fs::path other = temp_ / "notes.fmt4";
    std::ofstream(other) << "echo hello\n";
    EXPECT_FALSE(with("export", other.string())["ok"].flag());
    std::ifstream in(other);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "echo hello\n");
    fs::permissions(temp_ / ".bashrc.fmt4", fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(with("export", (temp_ / ".bashrc.fmt4").string())["ok"].flag());
    EXPECT_EQ(fs::status(temp_ / ".bashrc.fmt4").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    // Import reads regular files of its kind only: a FIFO does not hang it.
    const fs::path fifo = temp_ / "pipe.fmt4";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(with("import", fifo.string())["ok"].flag());
    EXPECT_FALSE(with("import", (options_.home / "settings.db").string())["ok"].flag());
    EXPECT_TRUE(with("import", (temp_ / ".bashrc.fmt4").string())["ok"].flag());

    // The settings home and its store are this user's only.
    EXPECT_EQ(fs::status(options_.home / "settings.db").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    // Numbers are decimal: no blanks, no hex.
    EXPECT_EQ(call("POST", "/api/control/set", {{"page", "3"}, {"index", "4"}, {"value", " 1"}}).status, 400);
    EXPECT_EQ(call("POST", "/api/control/set", {{"page", "3"}, {"index", "4"}, {"value", "0x1"}}).status, 400);
}

// The Stream TX requests: the status list, stream lists with their refusals, the
// connection window's refusals, LAME's probe; passwords never come back.
TEST_F(ApiTest, StreamRequestsKeepTheirRulesAndNeverShowPasswords) {
    JsonValue s = get("/api/stream");
    ASSERT_EQ(s["slots"].arr().size(), 2u);
    EXPECT_EQ(s["status_lines"].arr()[0].str(), "Streaming not started");
    EXPECT_TRUE(post("/api/stream/new", {{"slot", "0"}, {"name", "Main"}})["ok"].flag());
    EXPECT_EQ(post("/api/stream/new", {{"slot", "0"}, {"name", "MAIN"}})["message"].str(), "Stream name already exists");
    const std::map<std::string, std::string> stream = {{"slot", "0"}, {"index", "0"}};
    auto with = [&](std::map<std::string, std::string> extra) {
        extra.insert(stream.begin(), stream.end());
        return extra;
    };
    EXPECT_EQ(post("/api/stream/setup", with({{"ip", "6"}}))["message"].str(), "IPv6 not supported yet");
    EXPECT_EQ(post("/api/stream/setup", with({{"server_type", "shoutcast"}}))["message"].str(),
              "Shoutcast servers not supported yet");
    EXPECT_FALSE(post("/api/stream/setup", with({{"password", "x\r\nice-public: 1"}}))["ok"].flag());
    EXPECT_TRUE(post("/api/stream/setup", with({{"password", "secret"}, {"user", "alice"}}))["ok"].flag());
    EXPECT_EQ(post("/api/stream/encoder", {{"slot", "1"}, {"type", "3"}, {"mp3_bitrate", "8000"}})["message"].str(),
              "Invalid Combination Of Parameters");
    EXPECT_EQ(call("POST", "/api/stream/encoder", {{"slot", "1"}, {"mp3_bitrate", "12345"}}).status, 400);
    EXPECT_FALSE(get("/api/stream/mp3probe", {{"bitrate", "8000"}, {"rate", "48000"}})["valid"].flag());
    EXPECT_EQ(get("/api/stream/mp3probe", {{"bitrate", "128000"}, {"rate", "44100"}})["text"].str(),
              "Valid Combination Of Parameters");
    const http::Response raw = call("GET", "/api/stream");
    EXPECT_EQ(raw.body.find("secret"), std::string::npos);
    s = get("/api/stream");
    const JsonValue& main = s["slots"].arr()[0]["streams"].arr()[0];
    EXPECT_EQ(main["name"].str(), "Main");
    EXPECT_EQ(main["user"].str(), "alice");
    EXPECT_EQ(main["status_text"].str(), "Disconnected");
    EXPECT_FALSE(main.has("password"));
}

// The Stream TX page: its control table as groups, a preset bar whose presets
// carry the values through a restart (and export with the module's version),
// and a level meter.
TEST_F(ApiTest, StreamTxPageHasItsControlsPresetsAndMeters) {
    const std::map<std::string, std::string> at = {{"page", "6"}};
    auto with = [&](std::map<std::string, std::string> extra) {
        extra.insert(at.begin(), at.end());
        return extra;
    };
    const JsonValue page = get("/api/page", at);
    EXPECT_EQ(page["module"].str(), "Stream TX");
    ASSERT_FALSE(page["controls"].is_null());
    std::vector<std::string> groups;
    for (const auto& g : page["controls"]["pages"].arr()[0]["groups"].arr()) groups.push_back(g["label"].str());
    EXPECT_EQ(groups, (std::vector<std::string>{"Input Select", "Input Enable", "Input Level", "De-Emph"}));
    EXPECT_FALSE(page["presets"].is_null());
    EXPECT_FALSE(page["meters"].is_null());

    // The stream request's own setter goes through the controls: the page shows the
    // value and the change.
    EXPECT_FALSE(page["controls"]["modified"].flag());
    ASSERT_TRUE(post("/api/stream/params", {{"input_select", "2"}})["ok"].flag());
    EXPECT_EQ(get("/api/values", at)["values"]["2"].num(), 2);
    EXPECT_TRUE(get("/api/page", at)["controls"]["modified"].flag());
    // "Level" -6 dB and "De-Emph" 75us from the page reach the module.
    EXPECT_NEAR(post("/api/control/set", with({{"index", "6"}, {"value", "-6"}}))["value"].num(), -6.0, 1e-3);
    ASSERT_TRUE(post("/api/control/set", with({{"index", "8"}, {"value", "2"}}))["ok"].flag());
    JsonValue stream = get("/api/stream");
    EXPECT_NEAR(stream["params"]["input_level"].num(), -6.0, 1e-3);
    EXPECT_EQ(stream["params"]["de_emph"].num(), 2);

    ASSERT_TRUE(post("/api/presets/save", with({{"name", "Web"}}))["ok"].flag());
    const std::string file = (temp_ / "web.fmt4").string();
    ASSERT_TRUE(post("/api/presets/export", with({{"file", file}}))["ok"].flag());
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Stream_TX-v1.0.0"), std::string::npos);
    ASSERT_TRUE(post("/api/control/set", with({{"index", "6"}, {"value", "0"}}))["ok"].flag());
    ASSERT_TRUE(post("/api/presets/choose", with({{"name", "Web"}}))["ok"].flag());
    EXPECT_NEAR(get("/api/values", at)["values"]["6"].num(), -6.0, 1e-3);
    // A change not saved in a preset comes back too (the working copy).
    ASSERT_TRUE(post("/api/control/set", with({{"index", "4"}, {"value", "0"}}))["ok"].flag());
    stop();
    start();
    EXPECT_EQ(get("/api/presets", at)["current"].str(), "Web");
    const JsonValue values = get("/api/values", at)["values"];
    EXPECT_NEAR(values["6"].num(), -6.0, 1e-3);
    EXPECT_EQ(values["8"].num(), 2);
    EXPECT_EQ(values["2"].num(), 2);
    EXPECT_EQ(values["4"].num(), 0);
    EXPECT_FALSE(get("/api/stream")["params"]["input_enable"].flag());
}

}  // namespace
}  // namespace torvalen

namespace torvalen {
namespace {

std::map<std::string, std::string> rds_settings(std::map<std::string, std::string> changes) {
    std::map<std::string, std::string> f = {
        {"pi", "D3C2"}, {"ecc", "E0h"}, {"pty", "9"}, {"ptyn", "Jazz"}, {"fixed_ps", "Radio 1"},
        {"pin_day", "1F"}, {"pin_hour", "17"}, {"pin_minute", "3b"}, {"music", "1"}, {"tp", "0"},
        {"stereo", "1"}, {"compressed", "0"}, {"ptyn_enable", "1"}, {"rt_enable", "1"}, {"clock", "1"},
        {"ps_rotation", "0"}};
    for (auto& [k, v] : changes) f[k] = v;
    return f;
}

TEST_F(ApiTest, RdsDialogsStoreWholeOrRefuseAndSurviveARestart) {
    // Settings: hex fields, the PIN's three fields, texts cut and padded to 8.
    EXPECT_TRUE(post("/api/rds/settings", rds_settings({}))["ok"].flag());
    // Refused whole: nothing of the second change is kept.
    EXPECT_EQ(call("POST", "/api/rds/settings", rds_settings({{"pty", "32"}, {"pi", "1111"}})).status, 400);
    JsonValue bad_pin = post("/api/rds/settings", rds_settings({{"pin_day", "123"}, {"pi", "1111"}}));
    EXPECT_FALSE(bad_pin["ok"].flag());
    // Characters RDS cannot carry become spaces, and the answer says so.
    JsonValue replaced = post("/api/rds/settings", rds_settings({{"fixed_ps", "Rádio☃ABCDEF"}}));
    EXPECT_TRUE(replaced["ok"].flag());
    EXPECT_EQ(replaced["notice"].str(), "Characters RDS cannot carry were replaced by spaces");

    // Options: RBDS resets the programme type; a new AM region empties the AF list.
    EXPECT_TRUE(post("/api/rds/af", {{"entries", "fm:98.5,am:999"}})["ok"].flag());
    JsonValue af_refused = post("/api/rds/af", {{"entries", "fm:98.5,fm:120.0"}});
    EXPECT_FALSE(af_refused["ok"].flag());
    JsonValue rds = get("/api/rds");
    ASSERT_EQ(rds["af"].arr().size(), 2u);
    EXPECT_EQ(rds["af"][0]["text"].str(), "98.5");
    EXPECT_EQ(rds["af"][1]["text"].str(), "999 kHz");
    EXPECT_TRUE(post("/api/rds/options", {{"rbds", "1"}, {"region", "0"}})["ok"].flag());
    EXPECT_EQ(get("/api/rds")["pty"].num(), 0);
    EXPECT_EQ(get("/api/rds")["pty_names"][10].str(), "Country");
    EXPECT_EQ(get("/api/rds")["af"].arr().size(), 2u);
    EXPECT_TRUE(post("/api/rds/options", {{"rbds", "1"}, {"region", "1"}})["ok"].flag());
    EXPECT_EQ(get("/api/rds")["af"].arr().size(), 0u);

    // Texts: a name is needed and must be unique.
    EXPECT_EQ(post("/api/rds/strings", {{"action", "set"}, {"index", "0"}, {"name", ""}, {"text", "x"}})["message"].str(),
              "No Name");
    EXPECT_TRUE(post("/api/rds/strings", {{"action", "set"}, {"index", "0"}, {"name", "Morning"}, {"text", "Good morning"}})["ok"].flag());
    EXPECT_EQ(post("/api/rds/strings", {{"action", "set"}, {"index", "1"}, {"name", "Morning"}, {"text", "y"}})["message"].str(),
              "Duplicate Name");
    EXPECT_TRUE(post("/api/rds/strings", {{"action", "delete"}, {"index", "2"}})["ok"].flag());
    // Rotation: at most 16 entries, the listed scroll and hold choices.
    EXPECT_FALSE(post("/api/rds/rotation", {{"items", "0,1,2,3,0,1,2,3,0,1,2,3,0,1,2,3,0"}, {"scroll_rate", "8"},
                                            {"hold_time", "64"}})["ok"].flag());
    EXPECT_EQ(call("POST", "/api/rds/rotation", {{"items", "0"}, {"scroll_rate", "5"}, {"hold_time", "64"}}).status, 400);
    EXPECT_TRUE(post("/api/rds/rotation", {{"items", "0,3,2"}, {"scroll_rate", "8"}, {"hold_time", "128"}, {"strip", "1"}})["ok"].flag());
    // Traffic announcement: by hand while stopped; a short time-out becomes 1000 ms.
    EXPECT_TRUE(post("/api/rds/ta", {{"action", "on"}})["ok"].flag());
    EXPECT_EQ(get("/api/rds/ta")["line"].str(), "Traffic Announcement Active");
    EXPECT_TRUE(post("/api/rds/ta", {{"action", "apply"}, {"port", "8282"}, {"timeout", "10"}})["ok"].flag());

    stop();
    start();
    rds = get("/api/rds");
    EXPECT_EQ(rds["pi"].str(), "D3C2");
    EXPECT_EQ(rds["ecc"].str(), "E0");
    EXPECT_EQ(rds["pin"]["day"].str(), "1F");
    EXPECT_EQ(rds["pin"]["hour"].str(), "17");
    EXPECT_EQ(rds["pin"]["minute"].str(), "3B");
    EXPECT_EQ(rds["fixed_ps"].str(), "Rádio AB");
    EXPECT_EQ(rds["ptyn"].str(), "Jazz    ");
    EXPECT_TRUE(rds["rbds"].flag());
    EXPECT_EQ(rds["region"].num(), 1);
    EXPECT_EQ(rds["strings"][0]["name"].str(), "Morning");
    EXPECT_EQ(rds["strings"][0]["text"].str(), "Good morning");
    EXPECT_EQ(rds["strings"][1]["name"].str(), "PS Name  1");
    EXPECT_EQ(rds["strings"][2]["index"].num(), 3);  // index 2 was deleted
    ASSERT_EQ(rds["items"].arr().size(), 3u);
    EXPECT_EQ(rds["items"][1].num(), 3);
    EXPECT_EQ(rds["hold_time"].num(), 128);
    EXPECT_EQ(rds["ta"]["port"].num(), 8282);
    EXPECT_EQ(rds["ta"]["timeout"].num(), 1000);
}

TEST_F(ApiTest, NowPlayingDialogAppliesChecksAndShowsTheTestText) {
    JsonValue np = get("/api/nowplaying");
    EXPECT_EQ(np["udp_port"].num(), 29999);
    EXPECT_FALSE(post("/api/nowplaying/apply", {{"mode", "9"}})["ok"].flag());
    EXPECT_TRUE(post("/api/nowplaying/apply", {{"mode", "2"}, {"send_to_stl", "1"}, {"input_mode", "0"}})["ok"].flag());
    EXPECT_TRUE(post("/api/nowplaying/send")["ok"].flag());
    np = get("/api/nowplaying");
    EXPECT_EQ(np["mode"].num(), 2);
    EXPECT_TRUE(np["send_to_stl"].flag());
    EXPECT_EQ(np["input_mode"].num(), 0);
    EXPECT_EQ(np["monitor"].str(), "An Artist - A Track");
}

}  // namespace
}  // namespace torvalen

namespace torvalen {
namespace {

TEST_F(ApiTest, NamesAreTrimmedAndBlankOrLongNamesAreRefusedWithAMessage) {
    EXPECT_EQ(post("/api/instance/new", {{"name", "   "}})["message"].str(), messages::name_empty);
    EXPECT_EQ(post("/api/instance/new", {{"name", std::string(70, 'x')}})["message"].str(), messages::name_too_long);
    EXPECT_TRUE(post("/api/instance/new", {{"name", "  Studio  "}})["ok"].flag());
    EXPECT_EQ(get("/api/state")["current"].str(), "Studio");
    EXPECT_EQ(post("/api/presets/save", {{"page", "3"}, {"name", " \t "}})["message"].str(), messages::name_empty);
    EXPECT_FALSE(post("/api/presets/save", {{"page", "3"}, {"name", std::string(70, 'p')}})["ok"].flag());
    EXPECT_TRUE(post("/api/presets/save", {{"page", "3"}, {"name", " Rock "}})["ok"].flag());
    EXPECT_EQ(get("/api/presets", {{"page", "3"}})["current"].str(), "Rock");
}

}  // namespace
}  // namespace torvalen

namespace torvalen {
namespace {

TEST_F(ApiTest, PresetsTravelThroughTheBrowserAsDownloadAndUpload) {
    const std::map<std::string, std::string> on_page = {{"page", "3"}};
    JsonValue page = get("/api/page", on_page);
    const JsonValue* slider = nullptr;
    for (const auto& p : page["controls"]["pages"].arr())
        for (const auto& g : p["groups"].arr())
            for (const auto& c : g["controls"].arr())
                if (!slider && c["widget"].str() == "slider" && c["max"].num() - c["min"].num() > 2 * c["step"].num())
                    slider = &c;
    ASSERT_TRUE(slider);
    const std::string index = std::to_string(static_cast<int>((*slider)["index"].num()));
    const auto value = [&] { return get("/api/values", on_page)["values"][index].num(); };
    post("/api/control/set", {{"page", "3"}, {"index", index}, {"value", std::to_string((*slider)["min"].num())}});
    const double kept = value();
    ASSERT_TRUE(post("/api/presets/save", {{"page", "3"}, {"name", "Morning"}})["ok"].flag());

    JsonValue down = post("/api/presets/download", on_page);
    ASSERT_TRUE(down["ok"].flag());
    EXPECT_EQ(down["file_name"].str(), "Morning." + std::string(params::preset_extension));
    const std::string content = down["content"].str();
    EXPECT_FALSE(content.empty());

    post("/api/control/set", {{"page", "3"}, {"index", index}, {"value", std::to_string((*slider)["max"].num())}});
    EXPECT_NE(value(), kept);
    JsonValue up = post("/api/presets/upload", {{"page", "3"}, {"file_name", "../../Morning." + std::string(params::preset_extension)},
                                                {"content", content}});
    ASSERT_TRUE(up["ok"].flag()) << up["message"].str();
    EXPECT_EQ(value(), kept);
    EXPECT_TRUE(up["presets"]["undo"].flag());
    // Wrong kind, or not a preset file: said, nothing changed.
    EXPECT_FALSE(post("/api/presets/upload", {{"page", "3"}, {"file_name", "x.txt"}, {"content", content}})["ok"].flag());
    EXPECT_FALSE(post("/api/presets/upload", {{"page", "3"}, {"file_name", "x." + std::string(params::preset_extension)},
                                              {"content", "not a preset\n"}})["ok"].flag());
    EXPECT_EQ(value(), kept);
}

TEST_F(ApiTest, PlayerDecksPlaylistModesAndRotations) {
    const auto a = temp_ / "a.wav", b = temp_ / "b.wav";
    ASSERT_EQ(std::system(("sox -n -r 48000 -c 2 -b 16 '" + a.string() + "' synth 4 sine 500 gain -6 && "
                           "sox -n -r 44100 -c 1 -b 16 '" + b.string() + "' synth 4.5 sine 700 gain -6")
                              .c_str()),
              0);
    EXPECT_TRUE(post("/api/player/mode", {{"mode", "1"}})["ok"].flag());
    EXPECT_TRUE(post("/api/playlist/add", {{"file", a.string()}})["ok"].flag());
    EXPECT_TRUE(post("/api/playlist/add", {{"file", b.string()}})["ok"].flag());
    JsonValue missing = post("/api/playlist/add", {{"file", (temp_ / "none.wav").string()}});
    EXPECT_FALSE(missing["ok"].flag());
    EXPECT_EQ(call("POST", "/api/playlist/add", {{"file", "relative.wav"}}).status, 200);
    EXPECT_EQ(get("/api/player")["music_path"].str(), temp_.path().string());
    // The decks may have taken "a" four times before "b" came: the failsafe mode
    // empties them and loads again from the first entry; back in mode 1 they stay.
    EXPECT_TRUE(post("/api/player/mode", {{"mode", "3"}})["ok"].flag());
    EXPECT_TRUE(post("/api/player/mode", {{"mode", "1"}})["ok"].flag());

    // The decks load in the background: four, in play order, each with its word and colour.
    JsonValue p;
    for (int i = 0; i < 500; ++i) {
        p = get("/api/player");
        if (p["decks"][3]["word"].str() == "CUED") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(p["decks"].arr().size(), 4u);
    EXPECT_EQ(p["decks"][0]["word"].str(), "CUED");
    EXPECT_EQ(p["decks"][0]["colour"].str(), "#ffff40");
    // The first entry goes first; how the others fell depends on when the mode
    // change caught the loading decks, so only what each deck says is checked.
    EXPECT_EQ(p["decks"][0]["title"].str(), "a.wav");
    int with_b = -1;
    for (int d = 0; d < 4; ++d)
        if (p["decks"][d]["title"].str() == "b.wav") with_b = d;
    ASSERT_GE(with_b, 0);
    EXPECT_EQ(p["decks"][with_b]["information"].str(), "000:00 / 000:04   Wav  44100Hz Mono 706kB/s");
    EXPECT_EQ(p["modes"][4].str(), "Failsafe muliple playlist rotation");

    // Playlist edits: reorder, delete; Play and Stop.
    ASSERT_EQ(p["playlist"].arr().size(), 2u);
    EXPECT_TRUE(post("/api/playlist/move", {{"from", "1"}, {"to", "0"}})["ok"].flag());
    EXPECT_EQ(get("/api/player")["playlist"][0]["path"].str(), b.string());
    EXPECT_EQ(call("POST", "/api/playlist/move", {{"from", "5"}, {"to", "0"}}).status, 400);
    EXPECT_TRUE(post("/api/player/play")["ok"].flag());
    EXPECT_TRUE(get("/api/player")["play"].flag());
    EXPECT_TRUE(post("/api/player/stop")["ok"].flag());
    // Clear on a CUED deck skips its item; seek needs a PLAYING deck.
    const std::string deck = std::to_string(static_cast<int>(p["decks"][with_b]["deck"].num()));
    EXPECT_TRUE(post("/api/player/clear", {{"deck", deck}})["ok"].flag());
    EXPECT_FALSE(post("/api/player/seek", {{"deck", deck}, {"fraction", "0.5"}})["ok"].flag());
    EXPECT_EQ(call("POST", "/api/player/seek", {{"deck", deck}, {"fraction", "2"}}).status, 400);

    // Rotation modes need a rotation; in the failsafe modes Play is ignored.
    EXPECT_FALSE(post("/api/player/mode", {{"mode", "2"}})["ok"].flag());
    EXPECT_TRUE(post("/api/rotation/new", {{"name", "Rock"}})["ok"].flag());
    EXPECT_TRUE(post("/api/rotation/apply", {{"index", "0"}, {"weight", "7"}, {"enable", "1"}, {"replace", "1"},
                                             {"paths", a.string() + "\n" + b.string() + "\n"}})["ok"].flag());
    p = get("/api/player");
    EXPECT_EQ(p["rotations"][0]["weight"].num(), 7);
    EXPECT_EQ(p["rotations"][0]["paths"].arr().size(), 2u);
    EXPECT_TRUE(post("/api/player/mode", {{"mode", "4"}})["ok"].flag());
    EXPECT_TRUE(get("/api/player")["list_hidden"].flag());
    EXPECT_FALSE(post("/api/player/play")["ok"].flag());
    EXPECT_FALSE(get("/api/player")["play"].flag());

    // Renaming the instance takes its list files along.
    EXPECT_TRUE(post("/api/instance/rename", {{"name", "Air"}})["ok"].flag());
    EXPECT_TRUE(std::filesystem::exists(temp_ / "data" / "Air_playlist.torvalen"));
    EXPECT_TRUE(std::filesystem::exists(temp_ / "data" / "Air_Rock_rotation.torvalen"));
    EXPECT_FALSE(std::filesystem::exists(temp_ / "data" / "Instance 1_playlist.torvalen"));

    // "Delete All" empties the list and the decks; the list file says so at once.
    EXPECT_TRUE(post("/api/player/mode", {{"mode", "0"}})["ok"].flag());
    EXPECT_TRUE(post("/api/playlist/delete_all")["ok"].flag());
    p = get("/api/player");
    EXPECT_TRUE(p["playlist"].arr().empty());
    for (const auto& d : p["decks"].arr()) EXPECT_EQ(d["word"].str(), "EMPTY");
    EXPECT_EQ(p["decks"][0]["colour"].str(), "#ff4040");
    EXPECT_EQ(testing::read_file(temp_ / "data" / "Air_playlist.torvalen"), "");
}

}  // namespace
}  // namespace torvalen

namespace torvalen {
namespace {

TEST_F(ApiTest, TheConfigurationIsDownloadedAndRestoredAtTheNextStart) {
    JsonValue down = get("/api/config/download");
    ASSERT_TRUE(down["ok"].flag());
    const std::string content = down["content"].str();
    ASSERT_GT(content.size(), 100u);
    // Changed after the download: the restore takes it back.
    ASSERT_TRUE(post("/api/instance/new", {{"name", "Late"}})["ok"].flag());

    EXPECT_EQ(call("POST", "/api/config/restore", {{"content", "not base64!"}}).status, 400);
    // "not a database" in base64: checked and refused, nothing staged.
    JsonValue refused = post("/api/config/restore", {{"content", "bm90IGEgZGF0YWJhc2U="}});
    EXPECT_FALSE(refused["ok"].flag());
    EXPECT_FALSE(std::filesystem::exists(options_.home / "settings.db.restore"));

    JsonValue staged = post("/api/config/restore", {{"content", content}});
    ASSERT_TRUE(staged["ok"].flag()) << staged["message"].str();
    EXPECT_NE(staged["notice"].str().find("next start"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(options_.home / "settings.db.restore"));
    EXPECT_EQ(std::filesystem::status(options_.home / "settings.db.restore").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    stop();
    start();
    const JsonValue names = get("/api/state")["instances"];
    for (const auto& n : names.arr()) EXPECT_NE(n.str(), "Late");
    EXPECT_FALSE(std::filesystem::exists(options_.home / "settings.db.restore"));
    bool kept = false;
    for (const auto& e : std::filesystem::directory_iterator(options_.home))
        kept = kept || e.path().filename().string().rfind("settings.db.before-restore-", 0) == 0;
    EXPECT_TRUE(kept);
}

}  // namespace
}  // namespace torvalen
