// The player's lists as plain data: the playlist with its cursor, the rotations
// with their weights and the deterministic weighted pick, and the text form of
// the list files. No locks and no I/O here except reading a list file and the
// tags of its entries: PlayerLists (player_lists.h) owns these under its lock and
// stores them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace torvalen::player {

inline constexpr size_t max_playlist_entries = 100;
// The playlist file also keeps the items the four decks have taken out of the
// list but not yet played, so reading takes up to 104.
inline constexpr size_t max_playlist_file_entries = max_playlist_entries + 4;
inline constexpr size_t max_rotations = 20;
inline constexpr size_t max_rotation_paths = 50;
// Longest path kept (PATH_MAX less its terminating zero). A longer line in a list
// file is damage.
inline constexpr size_t max_path_bytes = 4095;
inline constexpr size_t max_rotation_name_chars = 63;
inline constexpr uint32_t new_rotation_weight = 5;

// Fixed texts of the list windows.
inline constexpr const char* text_max_entries = "Maximum of entries has been reached";
inline constexpr const char* text_max_files = "Maximum of files has been reached";
inline constexpr const char* text_max_playlists = "Maximum of playlists has been reached";
inline constexpr const char* text_duplicate_rotation = "Duplicate rotation name";
inline constexpr const char* text_reset_question =
    "This operation will reset the running weights\r\nDo you want to continue?";
inline constexpr const char* text_elim_dups_question =
    "This operation will remove duplicate entries in the playlist\r\n"
    "Large playlists may take some time to complete\rznDo you wish to proceed";
// Texts of this program's own, for refusals that have no fixed text.
inline constexpr const char* text_bad_path =
    "This file cannot be listed: its name holds a line break or is too long";
inline constexpr const char* text_bad_rotation_name =
    "A rotation name has 1 to 63 characters of text (UTF-8), without control characters or \"/\"";
inline constexpr const char* text_not_stored = "The list could not be stored";
inline constexpr const char* caption_error = "Error";
inline constexpr const char* caption_warning = "Warning";

// Outcome of an edit: done, or refused or done with a message box to show.
struct ListResult {
    bool done = true;
    const char* message = nullptr;  // shown when set
    const char* caption = nullptr;

    static ListResult ok() { return {}; }
    static ListResult refused(const char* message, const char* caption) { return {false, message, caption}; }
    static ListResult warned(const char* message, const char* caption) { return {true, message, caption}; }
};

// One list entry: the path as the file system gives it (bytes) and its text.
struct ListEntry {
    std::string path;
    std::string text;
};

// Entry text: artist " - " title when the file's tags hold both, otherwise the
// file name after the last "/" (the whole path when there is none), shown as
// UTF-8 where the bytes are valid.
std::string entry_text(std::string_view path);
// The file name part alone (no tags read).
std::string file_name_text(std::string_view path);
ListEntry make_entry(std::string path);

// A path a list can hold: not empty, at most max_path_bytes, no NUL and no line
// feed (either would break the line-per-path file).
bool listable_path(std::string_view path);

// A rotation name as users type it: 1-63 characters of valid UTF-8 without
// control characters, and without "/" (it becomes part of a file name).
bool valid_rotation_name(std::string_view name);

// ---- List files ----
enum class ListFileStatus {
    ok,
    missing,     // no file: an empty list
    unreadable,  // could not be opened or read: an empty list
    too_large,   // more lines or bytes than the list takes
    damaged,     // a line with a NUL byte or longer than a path can be: read up to it
    truncated,   // the last line has no line feed: read up to it
};

struct ListFileRead {
    std::vector<std::string> paths;
    ListFileStatus status = ListFileStatus::ok;
    size_t line = 0;  // 1-based line of the damage, for damaged and truncated
};

// Reads a list file: one path per line, each ended by a line feed; empty lines
// are skipped. At most `max_paths` paths are taken. With `refuse_overflow` a file
// holding more is refused whole (no paths, too_large); otherwise reading stops
// there (status ok). Never reads more than the bytes `max_paths` paths can take.
ListFileRead read_list_file(const std::filesystem::path& file, size_t max_paths, bool refuse_overflow);
// The file text of `paths`: each followed by a line feed.
std::string list_file_text(std::span<const std::string> paths);
std::string_view describe(ListFileStatus status);

// ---- Playlist ----
class Playlist {
public:
    const std::vector<ListEntry>& entries() const { return entries_; }
    size_t size() const { return entries_.size(); }
    uint32_t cursor() const { return cursor_; }
    // The list's selection: the cursor, the first entry in mode 0.
    uint32_t selection(uint32_t mode) const { return mode == 0 ? 0 : cursor_; }

    // Appends one entry (the "File" button); refused at 100 entries.
    ListResult append(ListEntry entry);
    // Dropped files: appended in reverse order of `entries` until the list holds
    // 100; the rest are ignored with a warning.
    ListResult append_dropped(std::vector<ListEntry> entries);
    // Entries as read from the playlist file (up to 104; no limit check).
    void assign(std::vector<ListEntry> entries);
    // Moves the entry at `from` to `to` (both below size()).
    bool move(size_t from, size_t to);
    bool remove(size_t index);
    void clear();
    // A cursor at or past the end reads as the first entry at the next item.
    void set_cursor(uint32_t cursor) { cursor_ = cursor; }

    // The next item in a playlist mode (0, 1, 3 or 5): mode 0 takes the first
    // entry out of the list; the looping modes copy the entry at the cursor and
    // advance it, wrapping to the first entry.
    std::optional<std::string> next(uint32_t mode);

    std::vector<std::string> paths() const;

private:
    std::vector<ListEntry> entries_;
    uint32_t cursor_ = 0;
};

// ---- Rotations ----
struct Rotation {
    std::string name;
    uint32_t weight = new_rotation_weight;  // "Weight", 1-10
    float normalized_weight = 0.0f;
    float running_weight = 1.0f;           // "Running Weight"
    std::vector<std::string> paths;       // the content, in play order, at most 50
    uint32_t current = 0;                  // "Current": index of the next path
    uint32_t enable = 0;                   // "Enable", 0 or 1

    bool eligible() const { return enable == 1 && !paths.empty(); }
};

// Brings every Weight into 1-10 and sets the normalized weight of every enabled
// rotation with content to Weight / (sum of their Weights); others keep theirs.
void normalize_weights(std::span<Rotation> rotations);
// Running weight = normalized weight / the largest normalized weight among the
// enabled rotations, for every enabled rotation with content.
void reset_running_weights(std::span<Rotation> rotations);
// The deterministic weighted pick: the eligible rotation with the largest running
// weight (the lowest index among equals) supplies its current path; its running
// weight is multiplied by its normalized weight and the eligible ones are scaled
// so the largest is 1.0. Nothing when no rotation is eligible. `picked` gets the
// chosen index.
std::optional<std::string> pick_rotation(std::span<Rotation> rotations, size_t* picked = nullptr);
// One copy of each path, the first, in their order (byte comparison).
void remove_duplicate_entries(std::vector<ListEntry>& entries);

}  // namespace torvalen::player
