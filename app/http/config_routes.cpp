// The whole configuration through the browser: a download of the settings store as
// a consistent snapshot, and a restore by upload that is checked first (an SQLite
// file of our schema, passing its integrity check, holding the settings tree) and
// then staged beside the store; it takes the store's place at the next start, and
// the store it replaces is kept.
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

#include "app/http/answers.h"
#include "app/http/json.h"
#include "app/http/private_folder.h"
#include "app/http/routes.h"
#include "app/messages.h"
#include "engine/log.h"
#include "engine/settings_store.h"

namespace torvalen::http {

namespace {

namespace fs = std::filesystem;

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const std::string& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 2]);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? alphabet[v & 63] : '=';
    }
    return out;
}

// Nothing when `text` is not base64 (padding only at the end).
std::optional<std::string> unbase64(const std::string& text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t v = 0;
        int pad = 0;
        for (size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            const char* at = c ? std::strchr(alphabet, c) : nullptr;
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                ++pad;
                v <<= 6;
                continue;
            }
            if (!at || pad) return std::nullopt;
            v = (v << 6) | static_cast<uint32_t>(at - alphabet);
        }
        out += static_cast<char>(v >> 16);
        if (pad < 2) out += static_cast<char>((v >> 8) & 255);
        if (pad < 1) out += static_cast<char>(v & 255);
    }
    return out;
}


std::optional<std::string> read_all(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Response download(Application& app) {
    PrivateFolder folder("torvalen-config");
    if (folder.path.empty()) return message_response(200, "No temporary folder for the copy", messages::title_error);
    const fs::path copy = folder.path / "settings.db";
    std::string error;
    if (!snapshot_settings_file(app.home() / "settings.db", copy, error))
        return message_response(200, error, messages::title_error);
    const auto bytes = read_all(copy);
    if (!bytes) return message_response(200, "The copy could not be read", messages::title_error);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char name[64];
    std::strftime(name, sizeof name, "torvalen-settings-%Y%m%d-%H%M.db", &local);
    Json j;
    j.begin_object().member("ok", true).member("file_name", name).member("content", base64(*bytes)).end_object();
    return json_response(200, j.take());
}

Response restore(Application& app, const Request& request) {
    const auto bytes = unbase64(field(request, "content"));
    if (!bytes || bytes->empty()) return bad_request("The file did not arrive whole");
    PrivateFolder folder("torvalen-config");
    if (folder.path.empty()) return message_response(200, "No temporary folder for the check", messages::title_error);
    const fs::path candidate = folder.path / "settings.db";
    {
        std::ofstream out(candidate, std::ios::binary);
        out.write(bytes->data(), static_cast<std::streamsize>(bytes->size()));
        if (!out) return message_response(200, "The file could not be kept for the check", messages::title_error);
    }
    std::string error;
    {
        auto store = SettingsStore::open(candidate, error);
        const auto software = store ? store->root().open("Software") : std::nullopt;
        if (!store || !software || !software->open("Torv3"))
            return message_response(200,
                                    "This is not a Torvalen settings file; nothing was changed" +
                                        (error.empty() ? std::string() : "\r\n(" + error + ")"),
                                    messages::title_error);
    }
    const fs::path staged = app.home() / staged_restore_name;
    std::error_code ec;
    fs::copy_file(candidate, staged, fs::copy_options::overwrite_existing, ec);
    if (ec) return message_response(200, "The settings could not be staged: " + ec.message(), messages::title_error);
    ::chmod(staged.c_str(), 0600);
    log_event("web", "settings restore staged for the next start");
    Json j;
    j.begin_object()
        .member("ok", true)
        .member("notice",
                "The settings file was checked and takes effect at the next start of Torvalen.\r\n"
                "The present settings are kept beside it (settings.db.before-restore-...).")
        .end_object();
    return json_response(200, j.take());
}

}  // namespace

void add_config_routes(RouteTable& table) {
    // The file holds the link's and the streams' passwords: only for a browser that
    // may change settings.
    table.read("/api/config/download", [](RouteContext& c) {
        return c.may_change ? download(c.app) : forbidden(messages::locked);
    });
    table.command("/api/config/restore", [](RouteContext& c) { return restore(c.app, c.request); });
}

}  // namespace torvalen::http
