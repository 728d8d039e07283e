#include "app/http/file_rules.h"

#include <algorithm>
#include <cctype>

#include "engine/user_text.h"
#include "params/preset_file.h"
#include "params/profile_file.h"

namespace torvalen::http {

namespace fs = std::filesystem;

namespace {

bool has_extension(const fs::path& p, std::string_view extension) {
    const std::string ext = p.extension().string();
    if (ext.size() != extension.size() + 1) return false;
    for (size_t i = 0; i < extension.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(ext[i + 1])) != extension[i]) return false;
    return true;
}

// An absolute path of plain text, or nothing with `why` set.
std::optional<fs::path> absolute_path(std::string_view text, std::string& why) {
    if (text.empty() || text[0] != '/') {
        why = "The file must be given with its full path (starting with /)";
        return std::nullopt;
    }
    if (!clean_user_text(text)) {
        why = "The file name must be text (UTF-8) without control characters";
        return std::nullopt;
    }
    fs::path p = fs::path(text).lexically_normal();
    if (!p.has_filename() || p.filename() == "." || p.filename() == "..") {
        why = "The path names a folder, not a file";
        return std::nullopt;
    }
    return p;
}

bool inside(const fs::path& path, const fs::path& folder) {
    const auto [f, p] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
    return f == folder.end();
}

}  // namespace

std::optional<fs::path> export_target(std::string_view text, const ProfileKind& kind, const fs::path& settings_home,
                                      std::string& why) {
    std::optional<fs::path> p = absolute_path(text, why);
    if (!p) return std::nullopt;
    if (!has_extension(*p, kind.extension)) {
        *p += ".";
        *p += std::string(kind.extension);
    }
    std::error_code ec;
    // The folder as it really is (links followed): it must exist.
    const fs::path folder = fs::canonical(p->parent_path(), ec);
    if (ec || !fs::is_directory(folder, ec)) {
        why = "The folder does not exist:\r\n" + p->parent_path().string();
        return std::nullopt;
    }
    fs::path target = folder / p->filename();
    if (!settings_home.empty()) {
        const fs::path home = fs::weakly_canonical(settings_home, ec);
        if (!ec && inside(target, home)) {
            why = "Nothing can be exported into the settings folder";
            return std::nullopt;
        }
    }
    const fs::file_status st = fs::symlink_status(target, ec);
    if (fs::exists(st)) {
        if (!fs::is_regular_file(st)) {
            why = "There is something else than a " + std::string(kind.noun) + " file of that name:\r\n" +
                  target.string() + "\r\nIt is not replaced";
            return std::nullopt;
        }
        std::string error;
        const auto contents = params::read_file_limited(target, params::max_profile_file_bytes, error);
        // The parsed file owns the text `type` points into: kept while it is compared.
        const params::ProfileFile parsed = params::ProfileFile::parse(contents ? *contents : std::string());
        const auto type = parsed.value(params::header_section, "Type");
        if (!contents || !type || *type != kind.type) {
            why = "The file exists and is not a " + std::string(kind.noun) + " file:\r\n" + target.string() +
                  "\r\nIt is not replaced";
            return std::nullopt;
        }
    }
    return target;
}

std::optional<fs::path> import_source(std::string_view text, const ProfileKind& kind, std::string& why) {
    std::optional<fs::path> p = absolute_path(text, why);
    if (!p) return std::nullopt;
    if (!has_extension(*p, kind.extension)) {
        why = "Only ." + std::string(kind.extension) + " files can be imported here";
        return std::nullopt;
    }
    return p;
}

}  // namespace torvalen::http
