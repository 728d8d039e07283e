#include "app/command_line.h"

#include <cstdlib>

#include "app/http/web_server.h"

namespace torvalen {

const char* const usage_text =
    "Usage: torvalen [options]\n"
    "       torvalen render [options] IN.wav OUT.wav   (offline processing of a file;\n"
    "                                                  see torvalen render --help)\n"
    "\n"
    "Broadcast audio processor. Runs up to 8 processing instances; settings live in\n"
    "settings.db in the settings home.\n"
    "\n"
    "Options:\n"
    "  --home DIR          settings home (default: $XDG_CONFIG_HOME/torvalen)\n"
    "  --listen ADDR:PORT  address of the web interface (default: 127.0.0.1:8080;\n"
    "                      port 0: any free port)\n"
    "  --metrics-token T   GET /metrics needs \"Authorization: Bearer T\"\n"
    "  --list-devices      list the sound devices (ALSA cards, JACK) and exit\n"
    "  --device NAME       put the current instance on this sound device and store\n"
    "                      that choice (with one shared device: the shared device)\n"
    "  --instance NAME     the instance --device sets up (one device per instance)\n"
    "  --rate HZ           device rate: 48000 or 192000 (default: 48000)\n"
    "  --frames N          device block size in frames (default: 256)\n"
    "  --input FILE.wav    virtual device input, looped (default: silence); give it\n"
    "                      twice, once per rate, when virtual devices run at both\n"
    "  --output FILE.wav   record the current instance's output (32-bit float WAV)\n"
    "  --freewheel         run as fast as possible: render --input once, then exit\n"
    "  --help              show this text\n"
    "\n"
    "Stop with Ctrl-C or SIGTERM: every setting is saved.\n";

namespace {
bool parse_u32(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 9) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    value = v;
    return true;
}
}  // namespace

bool parse_command_line(const std::vector<std::string>& args, CommandLine& out, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            v = args[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            out.help = true;
        } else if (arg == "--home") {
            if (!value(v)) return false;
            out.home = v;
        } else if (arg == "--metrics-token") {
            if (!value(v)) return false;
            if (v.size() < 16) {
                error = "--metrics-token wants at least 16 characters";
                return false;
            }
            out.metrics_token = v;
        } else if (arg == "--listen") {
            if (!value(v)) return false;
            http::ListenAddress address;
            std::string why;
            if (!http::parse_listen_address(v, address, why)) {
                error = "--listen wants ADDRESS:PORT, for example 127.0.0.1:8080 (port 0: any free port)";
                return false;
            }
            out.listen = v;
        } else if (arg == "--rate") {
            if (!value(v)) return false;
            if (!parse_u32(v, out.device.sample_rate_Hz)) {
                error = "--rate wants 48000 or 192000";
                return false;
            }
        } else if (arg == "--frames") {
            if (!value(v)) return false;
            if (!parse_u32(v, out.device.frame_size)) {
                error = "--frames wants a number of frames";
                return false;
            }
        } else if (arg == "--input") {
            if (!value(v)) return false;
            if (out.device.input.empty()) {
                out.device.input = v;
            } else if (out.second_input.empty()) {
                out.second_input = v;
            } else {
                error = "--input goes at most twice (one file at 48000 Hz, one at 192000 Hz)";
                return false;
            }
        } else if (arg == "--output") {
            if (!value(v)) return false;
            out.device.output = v;
        } else if (arg == "--device") {
            if (!value(v)) return false;
            if (v.empty()) {
                error = "--device wants a device name (see --list-devices)";
                return false;
            }
            out.sound_card = v;
            out.sound_card_given = true;
        } else if (arg == "--instance") {
            if (!value(v)) return false;
            if (v.empty()) {
                error = "--instance wants an instance name";
                return false;
            }
            out.instance = v;
        } else if (arg == "--list-devices") {
            out.list_devices = true;
        } else if (arg == "--freewheel") {
            out.device.freewheel = true;
        } else {
            error = "unknown option " + arg + " (see --help)";
            return false;
        }
    }
    if (!out.instance.empty() && !out.sound_card_given) {
        error = "--instance goes with --device";
        return false;
    }
    if (out.device.freewheel && out.sound_card_given) {
        error = "--freewheel renders on the virtual device, not on --device";
        return false;
    }
    if (out.device.freewheel && !out.second_input.empty()) {
        error = "--freewheel renders one --input";
        return false;
    }
    if (out.device.freewheel && out.device.input.empty()) {
        error = "--freewheel renders an --input file";
        return false;
    }
    return true;
}

namespace {
std::filesystem::path config_base() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) return xdg;
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / ".config";
    return ".config";
}
}  // namespace

std::filesystem::path default_settings_home() { return config_base() / "torvalen"; }
std::filesystem::path data_folder(const std::filesystem::path& home) {
    if (!home.empty()) return home / "data" / "torvalen";
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return std::filesystem::path(xdg) / "torvalen";
    if (const char* env_home = std::getenv("HOME"); env_home && *env_home)
        return std::filesystem::path(env_home) / ".local" / "share" / "torvalen";
    return std::filesystem::path(".local") / "share" / "torvalen";
}
std::filesystem::path default_autostart_dir() { return config_base() / "autostart"; }

std::filesystem::path find_factory_presets(std::filesystem::path program) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (program.empty()) program = fs::read_symlink("/proc/self/exe", ec);
    if (!program.empty()) {
        const fs::path above_bin = program.parent_path().parent_path();
        for (const fs::path& candidate : {above_bin / "share" / "torvalen" / "presets", above_bin / "presets"})
            if (fs::is_directory(candidate, ec)) return candidate;
    }
#ifdef TORVALEN_SOURCE_PRESETS
    if (fs::is_directory(TORVALEN_SOURCE_PRESETS, ec)) return TORVALEN_SOURCE_PRESETS;
#endif
    return {};
}

}  // namespace torvalen
