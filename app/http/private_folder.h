// A folder of our own under the system's temporary folder (mode 0700 by mkdtemp),
// removed with everything in it: where files pass on their way to or from the
// browser. `path` is empty when it could not be made.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace torvalen::http {

struct PrivateFolder {
    std::filesystem::path path;
    explicit PrivateFolder(const char* prefix) {
        std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + ".XXXXXX")).string();
        if (::mkdtemp(pattern.data())) path = pattern;
    }
    ~PrivateFolder() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
};

}  // namespace torvalen::http
