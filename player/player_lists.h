// The player's playlist and rotations with their storage: the rotations' values
// in the settings store below the player's key, the playlist and rotation files
// in the data folder. Every change is stored at once (files replaced atomically,
// settings in one transaction), so a crash or power cut loses nothing.
//
// Threads: the web interface's edits run on the control thread, `NextItem` on the
// mixer's control thread. Two locks: the list lock guards the lists and is held
// only for in-memory work, so readers never wait for a disk; the store lock
// serialises the writes, so they reach the disk in the order of the changes.
// Order: store lock, then list lock. Never called from the engine thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/settings_store.h"
#include "player/rotation.h"

namespace torvalen::player {

class PlayerLists {
public:
    // Loads the rotations from `player_key` ("Player-v2.0.0" of the instance) and
    // their files, then the playlist file, from `folder` (the data folder, created
    // when missing), and computes the normalized weights. What was wrong with the
    // stored lists is logged and kept in load_problems().
    PlayerLists(SettingsKey player_key, std::filesystem::path folder, std::string instance_name);
    PlayerLists(const PlayerLists&) = delete;
    PlayerLists& operator=(const PlayerLists&) = delete;

    const std::vector<std::string>& load_problems() const { return load_problems_; }
    std::filesystem::path playlist_file() const;
    std::filesystem::path rotation_file(std::string_view rotation_name) const;

    // ---- Playlist ----
    std::vector<ListEntry> playlist() const;
    uint32_t cursor() const;
    // One file from the file dialog: refused with "Maximum of entries has been
    // reached" at 100 entries. The entry text is read before any lock is taken.
    ListResult add_file(std::string path);
    // Files dropped on the player: appended in reverse order up to 100 entries,
    // then "Maximum of files has been reached".
    ListResult add_dropped(std::vector<std::string> paths);
    bool move_entry(size_t from, size_t to);
    bool delete_entry(size_t index);
    // "Delete List".
    void delete_list();
    // The first entry (mode changes, failsafe stop) or a random one (mode 5: the
    // caller's random number modulo the entry count).
    void set_cursor(uint32_t cursor);
    void set_cursor_random(uint32_t random_number);

    // The next item for the player in `mode` (0-5): from the playlist in modes 0,
    // 1, 3 and 5, from the rotation pick in modes 2 and 4; nothing when none.
    // In mode 0 the path leaves the list but stays first in the playlist file until
    // item_released() says the deck that took it has played or dropped it (the
    // decks hold at most 4).
    std::optional<std::string> NextItem(uint32_t mode);
    void item_released(std::string_view path);
    void release_all_items();

    // ---- Rotations ----
    std::vector<Rotation> rotations() const;  // a copy, for the windows
    // "New": Weight 5, running weight 1.0, Enable 0, no content. A duplicate name
    // (any case) gives "Duplicate rotation name"; the twentieth gives "Maximum of
    // playlists has been reached"; a twenty-first is refused.
    ListResult new_rotation(std::string name);
    // "Rename": a name equal (byte for byte) to another rotation's is refused; the
    // old file is removed and the list written under the new name.
    ListResult rename_rotation(size_t index, std::string name);
    // "Delete": the file is removed, later rotations move up.
    bool delete_rotation(size_t index);
    // "Reset" of the running weights (after the warning).
    void reset_running_weights();
    // The editor's "Apply": with `paths` (the list was changed) the content is
    // replaced (at most 50, else "Maximum of files has been reached" and nothing
    // changes), Current returns to 0 and the running weight to 0.5; Weight (1-10)
    // and Enable are stored in every case.
    ListResult apply_rotation(size_t index, const std::vector<std::string>* paths, uint32_t weight, bool enable);

    // ---- Storage ----
    // Writes everything again (the player calls it when it is destroyed).
    bool save_all();
    // The instance is being deleted: removes its list files; nothing is written
    // afterwards.
    void delete_files();
    // The instance was renamed: the files are written under the new name and the
    // old ones removed.
    bool rename_instance(std::string new_name);
    // The reason of the last failed write, empty when the last write succeeded.
    std::string last_error() const;

private:
    struct RotationRecord {
        std::string name;
        uint32_t current = 0, enable = 0, weight = 0;
        float running_weight = 0.0f;
    };
    // What one change must store, collected under the list lock.
    struct Writes {
        std::optional<std::string> playlist_text;
        std::optional<std::vector<RotationRecord>> registry;
        std::vector<std::pair<std::filesystem::path, std::string>> files;
        std::vector<std::filesystem::path> removals;
    };

    void load_rotations();
    void load_playlist();
    void note_problem(std::string problem);
    std::string playlist_text_locked() const;
    std::vector<RotationRecord> records_locked() const;
    void write_rotation_file_locked(Writes& w, const Rotation& r) const;
    bool store(const Writes& w);  // under the store lock
    bool write_registry(const std::vector<RotationRecord>& records);
    ListResult stored(ListResult result, bool ok) const;

    SettingsKey key_;
    std::filesystem::path folder_;

    mutable std::mutex store_mutex_;  // first
    mutable std::mutex mutex_;        // then the list lock
    std::string instance_name_;
    Playlist playlist_;
    std::vector<std::string> held_;  // mode 0: taken by decks, not yet released
    std::vector<Rotation> rotations_;
    bool deleted_ = false;
    std::string last_error_;  // under store_mutex_
    std::vector<std::string> load_problems_;
};

}  // namespace torvalen::player
