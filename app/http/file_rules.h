// Which files the browser may name for preset and day-part imports and exports.
// The browser names a path on this machine, so the rules keep an export from
// replacing anything but a file of its own kind, and an import from reading
// anything but a regular file of its kind.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace torvalen::http {

struct ProfileKind {
    std::string_view extension;  // "fmt4", "dpt4"
    std::string_view type;       // the Type the file's header holds
    std::string_view noun;       // "preset", "day-part": for messages
};

// The file an export writes: an absolute path, with the kind's extension added
// when missing, in a folder that exists and is not the settings home (nor under
// it). A file already there is replaced only when it is a file of the same kind.
// Nothing, with `why` set to the message for the user, otherwise.
std::optional<std::filesystem::path> export_target(std::string_view text, const ProfileKind& kind,
                                                   const std::filesystem::path& settings_home, std::string& why);

// The file an import reads: an absolute path with the kind's extension. Whether it
// is a regular file of a sensible size is checked when it is read.
std::optional<std::filesystem::path> import_source(std::string_view text, const ProfileKind& kind, std::string& why);

}  // namespace torvalen::http
