// The command line of the torvalen program.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "engine/virtual_device.h"

namespace torvalen {

struct CommandLine {
    std::filesystem::path home;                 // empty: the default settings home
    std::string listen = "127.0.0.1:8080";      // address of the web interface
    std::string metrics_token;  // --metrics-token: GET /metrics needs it as a Bearer token
    VirtualDeviceConfig device;  // --rate and --frames also apply to --device
    std::filesystem::path second_input;  // a second --input, for the other rate
    std::string sound_card;      // --device NAME: put an instance on this sound card
    bool sound_card_given = false;
    std::string instance;        // --instance NAME: which instance --device sets up
    bool list_devices = false;
    bool help = false;
};

extern const char* const usage_text;

// Parses the arguments (without the program name). False with `error` set on an
// unknown option, a missing or malformed value.
bool parse_command_line(const std::vector<std::string>& args, CommandLine& out, std::string& error);

// $XDG_CONFIG_HOME/torvalen, else $HOME/.config/torvalen.
std::filesystem::path default_settings_home();
// The data folder of saved playlists and rotations, the one torvalen-sweep clears:
// HOME/data/torvalen for a --home HOME (non-empty `home`), else
// $XDG_DATA_HOME/torvalen, else $HOME/.local/share/torvalen.
std::filesystem::path data_folder(const std::filesystem::path& home);
// Where "Run At Startup" puts its entry: $XDG_CONFIG_HOME/autostart, else
// $HOME/.config/autostart.
std::filesystem::path default_autostart_dir();
// The factory presets' folder: share/torvalen/presets of an installed tree (beside
// the program's bin/), else presets/ of the source tree the program was built
// from; empty when neither holds one. `program` is the program's own path
// (empty: /proc/self/exe).
std::filesystem::path find_factory_presets(std::filesystem::path program = {});

}  // namespace torvalen
