// torvalen: the broadcast audio processor program.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/command_line.h"
#include "app/compliance_log.h"
#include "app/control_thread.h"
#include "app/http/api.h"
#include "app/http/web_server.h"
#include "app/render.h"
#include "app/running_copy.h"
#include "app/service/health.h"
#include "app/service/notify.h"
#include "app/standard_modules.h"
#include "engine/jack_driver.h"
#include "engine/log.h"
#include "engine/portaudio_driver.h"
#include "engine/realtime.h"
#include "engine/wav_file.h"

using namespace torvalen;

namespace {
// Message-box texts use CR LF; a terminal wants LF.
std::string for_terminal(std::string text) {
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    return text;
}

std::filesystem::path program_path(const char* argv0) {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::absolute(argv0, ec) : self;
}
}  // namespace

namespace {

const char* signal_name(int signal) {
    return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP";
}

// Waits for a stop signal. Under systemd (Type=notify) it first reports ready once
// every instance's engine runs (or after 10 s, saying which do not), then pings the
// watchdog at half its period, each time only after the control thread has
// answered and every engine has run a cycle within the period: a stuck control
// thread or engine thread stops the pings, and systemd restarts the service.
// Meanwhile it keeps the compliance log.
void run_until_stopped(const sigset_t& stop_signals, ControlThread& control, Application& app,
                       HealthWatch& health, ComplianceLog& compliance) {
    ServiceNotifier notifier;
    using namespace std::chrono;
    if (!notifier.active()) {
        for (;;) {
            const timespec wait{0, 500'000'000};
            const int signal = sigtimedwait(&stop_signals, nullptr, &wait);
            if (signal > 0) {
                log_event("app", std::string("stop requested by ") + signal_name(signal));
                return;
            }
            control.run([&] { compliance.poll(app, ComplianceLog::Clock::now()); });
        }
    }
    const microseconds period = notifier.watchdog_period();
    const milliseconds tolerance =
        period.count() > 0 ? duration_cast<milliseconds>(period) : milliseconds(1000);
    const milliseconds tick = period.count() > 0 ? std::max(milliseconds(100), duration_cast<milliseconds>(period / 2))
                                                 : milliseconds(500);
    const auto started = steady_clock::now();
    bool ready = false;
    for (;;) {
        timespec wait{static_cast<time_t>(tick.count() / 1000), static_cast<long>(tick.count() % 1000) * 1'000'000};
        const int signal = sigtimedwait(&stop_signals, nullptr, &wait);
        if (signal > 0) {
            log_event("app", std::string("stop requested by ") + signal_name(signal));
            return;
        }
        std::string reason;
        control.run([&] {
            reason = health.check(app, HealthWatch::Clock::now(), tolerance);
            compliance.poll(app, ComplianceLog::Clock::now());
        });
        if (!ready && (reason.empty() || steady_clock::now() - started > seconds(10))) {
            ready = true;
            notifier.ready(reason.empty() ? "running" : "running; " + reason);
        }
        if (reason.empty()) {
            notifier.ping();
        } else {
            notifier.status(reason);
            log_event("app", "not healthy: " + reason);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "render")
        return run_render(std::vector<std::string>(argv + 2, argv + argc));
    CommandLine cmd;
    std::string error;
    if (!parse_command_line(std::vector<std::string>(argv + 1, argv + argc), cmd, error)) {
        std::fprintf(stderr, "torvalen: %s\n", error.c_str());
        return 2;
    }
    if (cmd.help) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    if (cmd.list_devices) {
        auto portaudio = PortAudioSystem::open(error);
        if (!portaudio) std::fprintf(stderr, "torvalen: no ALSA sound cards: %s\n", error.c_str());
        SoundCards drivers(std::move(portaudio));
        const auto list = drivers.enumerate();
        if (list.empty()) std::printf("No sound devices found.\n");
        for (const auto& d : list)
            std::printf("%s\t(%s, %u in, %u out, %u Hz)\n", d.name.c_str(), d.host.c_str(),
                        d.channels.inputs, d.channels.outputs, d.default_rate_Hz);
        return 0;
    }

    AppOptions options;
    options.home = cmd.home.empty() ? default_settings_home() : cmd.home;
    options.autostart_dir = default_autostart_dir();
    options.program = program_path(argv[0]);
    options.device = cmd.device;
    if (cmd.device.freewheel) set_realtime_wanted(false);  // offline: normal priority
    if (!cmd.second_input.empty()) {
        // One file per rate: the one at --rate feeds the virtual devices at that
        // rate, the other those that run at the other rate.
        uint32_t rates[2] = {};
        const std::filesystem::path files[2] = {cmd.device.input, cmd.second_input};
        for (int i = 0; i < 2; ++i) {
            auto reader = WavReader::open(files[i], error);
            if (!reader) {
                std::fprintf(stderr, "torvalen: %s\n", error.c_str());
                return 2;
            }
            rates[i] = reader->sample_rate();
        }
        if (rates[0] == rates[1]) {
            std::fprintf(stderr, "torvalen: the two --input files both run at %u Hz; give one per rate\n", rates[0]);
            return 2;
        }
        const int at_rate = rates[1] == cmd.device.sample_rate_Hz ? 1 : 0;
        options.device.input = files[at_rate];
        options.other_rate_input = files[1 - at_rate];
    }
    if (cmd.sound_card_given) {
        options.setup.device = cmd.sound_card;
        options.setup.instance = cmd.instance;
        options.setup.rate_Hz = cmd.device.sample_rate_Hz;
        options.setup.frame_size = cmd.device.frame_size;
        if (const std::string why = Application::check_setup(options.setup); !why.empty()) {
            std::fprintf(stderr, "torvalen: --device: %s\n", why.c_str());
            return 2;
        }
    }

    http::ListenAddress listen;
    if (!http::parse_listen_address(cmd.listen, listen, error)) {
        std::fprintf(stderr, "torvalen: --listen: %s\n", error.c_str());
        return 2;
    }
    const std::filesystem::path ui_folder = http::find_ui_folder(options.program);
    if (ui_folder.empty()) {
        std::fprintf(stderr, "torvalen: the web interface's files (ui/index.html) were not found; "
                             "set TORVALEN_UI_DIR to their folder\n");
        return 1;
    }

    // The settings home holds the password hash and, in the store, the link's and
    // the streams' passwords: for this user only.
    std::error_code ec;
    std::filesystem::create_directories(options.home, ec);
    ::chmod(options.home.c_str(), 0700);
    std::string other;
    auto lock = RunningCopyLock::acquire(options.home, "http://" + cmd.listen, other, error);
    if (!lock) {
        if (!error.empty()) {
            std::fprintf(stderr, "torvalen: %s\n", error.c_str());
            return 1;
        }
        std::printf("Torvalen is already running with the settings in %s (interface: %s)\n",
                    options.home.c_str(), other.empty() ? "unknown" : other.c_str());
        return 0;
    }

    // Check the device options before anything starts.
    if (!VirtualDevice::open(options.device, error)) {
        std::fprintf(stderr, "torvalen: %s\n", error.c_str());
        return 2;
    }

    // Signals are taken by sigwait below; every thread inherits the block.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    // The module set of this build; the processors' preset bars are offered the
    // factory presets that ship with the program.
    const std::filesystem::path factory_presets = find_factory_presets(options.program);
    if (factory_presets.empty()) log_event("app", "no factory presets found");
    else log_event("app", "factory presets from " + factory_presets.string());
    StandardModules factory({data_folder(cmd.home), false});
    factory.offer_factory_presets(factory_presets);
    ControlThread control;
    std::unique_ptr<Application> app;
    control.run([&] { app = Application::start(options, factory, error); });
    if (!app) {
        std::fprintf(stderr, "%s\n", for_terminal(error).c_str());
        return 1;
    }

    // Anyone who reaches a non-loopback address could change settings: that
    // needs a password first.
    bool password_set = false;
    control.run([&] { password_set = app->password_set(); });
    HealthWatch health;  // control thread
    std::unique_ptr<http::Api> api;
    std::unique_ptr<http::WebServer> web;
    if (!http::is_loopback_host(listen.host) && !password_set) {
        error = "the web interface listens on " + listen.host +
                " only once a password is set: start with --listen 127.0.0.1:PORT, set one "
                "(Password > Change), then restart";
    } else {
        http::ApiOptions api_options;
        api_options.request_exit = [] { kill(getpid(), SIGTERM); };
        if (const char* home = std::getenv("HOME")) api_options.home_folder = home;
        api_options.settings_home = options.home;
        api_options.listening_on_loopback = http::is_loopback_host(listen.host);
        api_options.metrics_token = cmd.metrics_token;
        api_options.health = [&health, &app] {
            return health.check(*app, HealthWatch::Clock::now(), std::chrono::seconds(1));
        };
        api = std::make_unique<http::Api>(control, *app, api_options);
        web = http::WebServer::start(*api, listen, ui_folder, error);
    }
    if (!web) {
        std::fprintf(stderr, "torvalen: %s\n", error.c_str());
        control.run([&] {
            app->exit();
            app.reset();
        });
        return 2;
    }
    const std::string address = "http://" +
                                (listen.host.find(':') != std::string::npos ? "[" + listen.host + "]" : listen.host) +
                                ":" + std::to_string(web->port());
    lock->record(address);
    log_event("app", "running; web interface at " + address);

    if (options.device.freewheel) {
        // Render until the input is done or a stop signal arrives.
        VirtualDevice* device = nullptr;
        control.run([&] { device = app->device_of(app->current()); });
        const timespec poll{0, 50'000'000};
        while (device && !device->finished()) {
            if (sigtimedwait(&stop_signals, nullptr, &poll) > 0) break;
        }
    } else {
        ComplianceLog compliance(data_folder(cmd.home) / "compliance");
        run_until_stopped(stop_signals, control, *app, health, compliance);
    }
    ServiceNotifier().stopping();
    web.reset();
    control.run([&] {
        api->save_style();
        app->exit();
        app.reset();
    });
    return 0;
}
