// torvalen-sweep: removes everything torvalen stored for the current user: the
// whole Software\Torv3 settings tree in the settings database and the files in
// the data folder (saved playlists and rotations).
//
// It asks once, reports each failure with one message and always exits with 0.
// It shares no code with torvalen: it knows only the settings file's layout
// (tables `keys` and `vals`, names stored as bytes, the root key has id 1).
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr const char* question =
    "Do you want to delete the Torvalen 3 (12.0.0 64 bit series) settings\r\n"
    "Do not continue if Torvalen is running\r\n"
    "This will delete all settings,presets and saved playlists";

// One message, shown as a message box would: caption, then text.
void message(const char* caption, const char* text) {
    std::string shown(text);
    for (size_t at; (at = shown.find("\r\n")) != std::string::npos;) shown.erase(at, 1);
    std::printf("%s: %s\n", caption, shown.c_str());
    std::fflush(stdout);
}

bool ask_yes(const char* caption, const char* text) {
    message(caption, text);
    std::printf("Yes/No? ");
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" || answer == "YES";
}

fs::path env_path(const char* name, const char* fallback_under_home) {
    if (const char* v = std::getenv(name); v && *v) return v;
    if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home) / fallback_under_home;
    return {};
}

class Database {
public:
    explicit Database(const fs::path& file) {
        if (!fs::exists(file)) return;
        if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            sqlite3_close(db_);
            db_ = nullptr;
            return;
        }
        sqlite3_busy_timeout(db_, 5000);
    }
    ~Database() { sqlite3_close(db_); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    bool open() const { return db_ != nullptr; }

    // Id of the child `name` of key `parent`, or 0.
    sqlite3_int64 child(sqlite3_int64 parent, const char* name) {
        sqlite3_stmt* st = nullptr;
        sqlite3_int64 id = 0;
        if (sqlite3_prepare_v2(db_, "SELECT id FROM keys WHERE parent = ?1 AND name = ?2", -1, &st,
                               nullptr) == SQLITE_OK) {
            sqlite3_bind_int64(st, 1, parent);
            sqlite3_bind_blob(st, 2, name, static_cast<int>(std::strlen(name)), SQLITE_STATIC);
            if (sqlite3_step(st) == SQLITE_ROW) id = sqlite3_column_int64(st, 0);
        }
        sqlite3_finalize(st);
        return id;
    }

    // Deletes key `id`, everything below it and their values, in one transaction.
    bool delete_tree(sqlite3_int64 id) {
        const std::string tree =
            "WITH RECURSIVE tree(id) AS (SELECT " + std::to_string(id) +
            " UNION ALL SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id) ";
        const std::string sql = "BEGIN IMMEDIATE;" + tree +
                                "DELETE FROM vals WHERE key IN (SELECT id FROM tree);" + tree +
                                "DELETE FROM keys WHERE id IN (SELECT id FROM tree);"
                                "COMMIT;";
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) return true;
        sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
        return false;
    }

private:
    sqlite3* db_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
    // The settings home and data folder follow torvalen's: --home DIR, or the
    // XDG folders.
    fs::path settings_home = env_path("XDG_CONFIG_HOME", ".config") / "torvalen";
    fs::path data_base = env_path("XDG_DATA_HOME", ".local/share");
    if (argc == 3 && std::strcmp(argv[1], "--home") == 0) {
        settings_home = argv[2];
        data_base = settings_home / "data";
    }

    if (!ask_yes("WARNING", question)) return 0;

    {
        Database db(settings_home / "settings.db");
        const sqlite3_int64 root_key = 1;
        const sqlite3_int64 software = db.open() ? db.child(root_key, "Software") : 0;
        if (software == 0) {
            message("ERROR", "Failed to find the Windows Software registry folder");
        } else if (const sqlite3_int64 tree = db.child(software, "Torv3"); tree == 0) {
            message("Warning", "Failed to find the registry folder for Torvalen 2\r\nHave you already deleted it?");
        } else if (!db.delete_tree(tree)) {
            message("Warning", "Registry delete failure");
        }
    }

    std::error_code ec;
    if (data_base.empty() || !fs::is_directory(data_base, ec)) {
        message("Warning", "Failed to find application data folder\r\nAny stored playlists not deleted");
        return 0;
    }
    const fs::path folder = data_base / "torvalen";
    // Files only: a sub-folder stays, and then so does the folder itself.
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        std::error_code ignored;
        if (!entry.is_directory(ignored)) fs::remove(entry.path(), ignored);
    }
    ::rmdir(folder.c_str());
    return 0;
}
