#include "player/player_lists.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <system_error>

#include "engine/log.h"
#include "params/profile_file.h"

namespace torvalen::player {

namespace {
constexpr std::string_view log_who = "Player";
constexpr std::string_view playlist_suffix = "_playlist.torvalen";
constexpr std::string_view rotation_suffix = "_rotation.torvalen";

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
               return lower(x) == lower(y);
           });
}
}  // namespace

PlayerLists::PlayerLists(SettingsKey player_key, std::filesystem::path folder, std::string instance_name)
    : key_(player_key), folder_(std::move(folder)), instance_name_(std::move(instance_name)) {
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    if (ec) note_problem("cannot create the data folder " + log_quote(folder_.string()) + ": " + ec.message());
    load_rotations();
    load_playlist();
    normalize_weights(rotations_);
}

void PlayerLists::note_problem(std::string problem) {
    log_event(log_who, problem);
    load_problems_.push_back(std::move(problem));
}

std::filesystem::path PlayerLists::playlist_file() const {
    std::lock_guard lock(mutex_);
    return folder_ / (instance_name_ + std::string(playlist_suffix));
}

std::filesystem::path PlayerLists::rotation_file(std::string_view rotation_name) const {
    std::lock_guard lock(mutex_);
    return folder_ / (instance_name_ + "_" + std::string(rotation_name) + std::string(rotation_suffix));
}

void PlayerLists::load_rotations() {
    uint32_t count = 0;
    key_.read_dword_in("Rotation_Items", count);
    count = std::min<uint32_t>(count, max_rotations);
    const auto base = count > 0 ? key_.open("Rotation_Item") : std::nullopt;
    for (uint32_t n = 0; base && n < count; ++n) {
        const auto k = base->open(std::to_string(n));
        Rotation r;
        if (!k || !k->read_text_in("Name", r.name)) continue;
        while (!r.name.empty() && r.name.back() == '\0') r.name.pop_back();
        if (!valid_rotation_name(r.name)) {
            note_problem("rotation " + std::to_string(n) + " skipped: its name " + log_quote(r.name) +
                         " is not a valid name");
            continue;
        }
        if (std::any_of(rotations_.begin(), rotations_.end(),
                        [&](const Rotation& o) { return equal_ignoring_ascii_case(o.name, r.name); })) {
            note_problem("rotation " + std::to_string(n) + " skipped: its name " + log_quote(r.name) +
                         " is taken");
            continue;
        }
        k->read_dword_in("Current", r.current);
        uint32_t enable = 0;
        k->read_dword_in("Enable", enable);
        r.enable = enable != 0 ? 1 : 0;
        k->read_dword_in("Weight", r.weight);
        r.weight = std::clamp<uint32_t>(r.weight, 1, 10);
        r.running_weight = 0.5f;
        std::array<std::byte, 4> raw{};
        if (const auto rk = k->open("Running Weight"); rk && rk->read_binary("Running Weight", raw)) {
            float value = 0.0f;
            std::memcpy(&value, raw.data(), sizeof value);
            // A value that is not finite would defeat every comparison of the pick.
            if (std::isfinite(value)) r.running_weight = std::clamp(value, 0.1f / static_cast<float>(count), 1.0f);
        }

        const auto file = folder_ / (instance_name_ + "_" + r.name + std::string(rotation_suffix));
        auto read = read_list_file(file, max_rotation_paths, true);
        if (read.status != ListFileStatus::ok && read.status != ListFileStatus::missing)
            note_problem("rotation file " + log_quote(file.string()) + " " + std::string(describe(read.status)) +
                         (read.line ? " at line " + std::to_string(read.line) : std::string()));
        r.paths = std::move(read.paths);
        if (r.current >= r.paths.size()) r.current = 0;
        rotations_.push_back(std::move(r));
    }
}

void PlayerLists::load_playlist() {
    const auto file = folder_ / (instance_name_ + std::string(playlist_suffix));
    auto read = read_list_file(file, max_playlist_file_entries, false);
    if (read.status != ListFileStatus::ok && read.status != ListFileStatus::missing)
        note_problem("playlist file " + log_quote(file.string()) + " " + std::string(describe(read.status)) +
                     (read.line ? " at line " + std::to_string(read.line) : std::string()));
    std::vector<ListEntry> entries;
    entries.reserve(read.paths.size());
    for (auto& path : read.paths) entries.push_back(make_entry(std::move(path)));
    playlist_.assign(std::move(entries));
}

// ---- Storage ----

std::string PlayerLists::playlist_text_locked() const {
    std::vector<std::string> paths = held_;
    for (const auto& entry : playlist_.entries()) paths.push_back(entry.path);
    return list_file_text(paths);
}

std::vector<PlayerLists::RotationRecord> PlayerLists::records_locked() const {
    std::vector<RotationRecord> out;
    for (const auto& r : rotations_) out.push_back({r.name, r.current, r.enable, r.weight, r.running_weight});
    return out;
}

void PlayerLists::write_rotation_file_locked(Writes& w, const Rotation& r) const {
    w.files.emplace_back(folder_ / (instance_name_ + "_" + r.name + std::string(rotation_suffix)),
                         list_file_text(r.paths));
}

bool PlayerLists::write_registry(const std::vector<RotationRecord>& records) {
    if (!key_.valid()) return true;
    SettingsStore::Transaction tx(*key_.store());
    bool ok = key_.write_dword_in("Rotation_Items", static_cast<uint32_t>(records.size()));
    const auto base = key_.create("Rotation_Item");
    ok = ok && base.has_value();
    for (size_t i = 0; ok && i < records.size(); ++i) {
        const auto& rec = records[i];
        const auto k = base->create(std::to_string(i));
        std::array<std::byte, 4> raw{};
        std::memcpy(raw.data(), &rec.running_weight, sizeof rec.running_weight);
        const auto rk = k ? k->create("Running Weight") : std::nullopt;
        ok = k && rk && k->write_dword_in("Current", rec.current) && k->write_dword_in("Enable", rec.enable) &&
             k->write_dword_in("Weight", rec.weight) && rk->write_binary("Running Weight", raw) &&
             k->write_text_in("Name", rec.name);
    }
    // Rotations deleted since the last write.
    if (ok) {
        for (const auto& name : base->subkeys()) {
            const bool kept = !name.empty() && name.size() <= 2 &&
                              std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
                              (name == "0" || name[0] != '0') && std::stoul(name) < records.size();
            if (!kept) ok = base->delete_subkey_tree(name);
            if (!ok) break;
        }
    }
    return ok && tx.commit();
}

bool PlayerLists::store(const Writes& w) {
    bool ok = true;
    std::string error;
    std::error_code ec;
    if (!w.files.empty() || w.playlist_text) std::filesystem::create_directories(folder_, ec);
    for (const auto& file : w.removals) {
        std::filesystem::remove(file, ec);
        if (ec) {
            ok = false;
            error = "cannot remove " + log_quote(file.string()) + ": " + ec.message();
        }
    }
    for (const auto& [file, text] : w.files) {
        std::string why;
        if (!params::write_file_atomically(file, text, why)) {
            ok = false;
            error = log_quote(file.string()) + ": " + why;
        }
    }
    if (w.playlist_text) {
        std::string why;
        const auto file = folder_ / (instance_name_ + std::string(playlist_suffix));
        if (!params::write_file_atomically(file, *w.playlist_text, why)) {
            ok = false;
            error = log_quote(file.string()) + ": " + why;
        }
    }
    if (w.registry && !write_registry(*w.registry)) {
        ok = false;
        error = "the rotations could not be written to the settings";
    }
    if (!ok) log_event(log_who, "lists not stored: " + error);
    last_error_ = error;
    return ok;
}

ListResult PlayerLists::stored(ListResult result, bool ok) const {
    if (!ok && result.done && !result.message) return ListResult::warned(text_not_stored, caption_error);
    return result;
}

bool PlayerLists::save_all() {
    std::lock_guard store_lock(store_mutex_);
    Writes w;
    {
        std::lock_guard lock(mutex_);
        if (deleted_) return true;
        w.playlist_text = playlist_text_locked();
        w.registry = records_locked();
        for (const auto& r : rotations_) write_rotation_file_locked(w, r);
    }
    return store(w);
}

void PlayerLists::delete_files() {
    std::lock_guard store_lock(store_mutex_);
    Writes w;
    {
        std::lock_guard lock(mutex_);
        deleted_ = true;
        w.removals.push_back(folder_ / (instance_name_ + std::string(playlist_suffix)));
        for (const auto& r : rotations_)
            w.removals.push_back(folder_ / (instance_name_ + "_" + r.name + std::string(rotation_suffix)));
    }
    store(w);
}

bool PlayerLists::rename_instance(std::string new_name) {
    std::lock_guard store_lock(store_mutex_);
    Writes w;
    {
        std::lock_guard lock(mutex_);
        if (deleted_ || new_name == instance_name_) return true;
        w.removals.push_back(folder_ / (instance_name_ + std::string(playlist_suffix)));
        for (const auto& r : rotations_)
            w.removals.push_back(folder_ / (instance_name_ + "_" + r.name + std::string(rotation_suffix)));
        instance_name_ = std::move(new_name);
        w.playlist_text = playlist_text_locked();
        for (const auto& r : rotations_) write_rotation_file_locked(w, r);
    }
    // New files first, so a failure leaves the lists on disk under one name or the other.
    Writes write_new{w.playlist_text, std::nullopt, w.files, {}};
    if (!store(write_new)) return false;
    return store(Writes{std::nullopt, std::nullopt, {}, w.removals});
}

std::string PlayerLists::last_error() const {
    std::lock_guard store_lock(store_mutex_);
    return last_error_;
}

// ---- Playlist ----

std::vector<ListEntry> PlayerLists::playlist() const {
    std::lock_guard lock(mutex_);
    return playlist_.entries();
}

uint32_t PlayerLists::cursor() const {
    std::lock_guard lock(mutex_);
    return playlist_.cursor();
}

ListResult PlayerLists::add_file(std::string path) {
    if (!listable_path(path)) return ListResult::refused(text_bad_path, caption_error);
    ListEntry entry = make_entry(std::move(path));
    std::lock_guard store_lock(store_mutex_);
    Writes w;
    ListResult result;
    {
        std::lock_guard lock(mutex_);
        result = playlist_.append(std::move(entry));
        if (!result.done || deleted_) return result;
        w.playlist_text = playlist_text_locked();
    }
    return stored(result, store(w));
}

ListResult PlayerLists::add_dropped(std::vector<std::string> paths) {
    size_t room = 0;
    {
        std::lock_guard lock(mutex_);
        room = max_playlist_entries - std::min(max_playlist_entries, playlist_.size());
    }
    // Tags are read only for the files that can still go in (the last ones dropped);
    // a path that cannot be listed stays empty and is skipped.
    std::vector<ListEntry> entries(paths.size());
    size_t listable = 0;
    for (size_t i = paths.size(); i-- > 0;) {
        if (!listable_path(paths[i])) continue;
        if (listable++ < room) {
            entries[i] = make_entry(std::move(paths[i]));
        } else {
            entries[i].text = file_name_text(paths[i]);
            entries[i].path = std::move(paths[i]);
        }
    }
    std::lock_guard store_lock(store_mutex_);
    Writes w;
    ListResult result;
    {
        std::lock_guard lock(mutex_);
        const size_t before = playlist_.size();
        result = playlist_.append_dropped(std::move(entries));
        if (playlist_.size() == before || deleted_) return result;
        w.playlist_text = playlist_text_locked();
    }
    return stored(result, store(w));
}

bool PlayerLists::move_entry(size_t from, size_t to) {
    std::lock_guard store_lock(store_mutex_);
    Writes w;
    {
        std::lock_guard lock(mutex_);
        if (!playlist_.move(from, to)) return false;
        if (deleted_) return true;
        w.playlist_text = playlist_text_locked();
    }
    store(w);
    return true;
}

bool PlayerLists::delete_entry(size_t index) {
    std::lock_guard store_lock(store_mutex_);
    Writes w;
    {
        std::lock_guard lock(mutex_);
        if (!playlist_.remove(index)) return false;
        if (deleted_) return true;
        w.playlist_text = playlist_text_locked();
    }
    store(w);
    return true;
}

void PlayerLists::delete_list() {
    std::lock_guard store_lock(store_mutex_);
    Writes w;
    {
        std::lock_guard lock(mutex_);
        playlist_.clear();
        if (deleted_) return;
        w.playlist_text = playlist_text_locked();
    }
    store(w);
}

void PlayerLists::set_cursor(uint32_t cursor) {
    std::lock_guard lock(mutex_);
    playlist_.set_cursor(cursor);
}

void PlayerLists::set_cursor_random(uint32_t random_number) {
    std::lock_guard lock(mutex_);
    const size_t n = playlist_.size();
    playlist_.set_cursor(n == 0 ? 0 : static_cast<uint32_t>(random_number % n));
}

std::optional<std::string> PlayerLists::NextItem(uint32_t mode) {
    std::lock_guard store_lock(store_mutex_);
    Writes w;
    std::optional<std::string> item;
    {
        std::lock_guard lock(mutex_);
        if (mode == 2 || mode == 4) {
            item = pick_rotation(rotations_);
            if (!item || deleted_) return item;
            w.registry = records_locked();
        } else {
            item = playlist_.next(mode);
            if (!item || mode != 0 || deleted_) return item;
            held_.push_back(*item);
            if (held_.size() > 4) held_.erase(held_.begin());
            w.playlist_text = playlist_text_locked();
        }
    }
    store(w);
    return item;
}

void PlayerLists::item_released(std::string_view path) {
    std::lock_guard store_lock(store_mutex_);
    Writes w;
    {
        std::lock_guard lock(mutex_);
        const auto it = std::find(held_.begin(), held_.end(), path);
        if (it == held_.end()) return;
        held_.erase(it);
        if (deleted_) return;
        w.playlist_text = playlist_text_locked();
    }
    store(w);
}

void PlayerLists::release_all_items() {
    std::lock_guard store_lock(store_mutex_);
    Writes w;
    {
        std::lock_guard lock(mutex_);
        if (held_.empty()) return;
        held_.clear();
        if (deleted_) return;
        w.playlist_text = playlist_text_locked();
    }
    store(w);
}

// ---- Rotations ----

std::vector<Rotation> PlayerLists::rotations() const {
    std::lock_guard lock(mutex_);
    return rotations_;
}

ListResult PlayerLists::new_rotation(std::string name) {
    if (!valid_rotation_name(name)) return ListResult::refused(text_bad_rotation_name, caption_error);
    std::lock_guard store_lock(store_mutex_);
    Writes w;
    ListResult result;
    {
        std::lock_guard lock(mutex_);
        if (rotations_.size() >= max_rotations) return ListResult::refused(text_max_playlists, caption_warning);
        if (std::any_of(rotations_.begin(), rotations_.end(),
                        [&](const Rotation& r) { return equal_ignoring_ascii_case(r.name, name); }))
            return ListResult::refused(text_duplicate_rotation, caption_error);
        Rotation r;
        r.name = std::move(name);
        r.weight = new_rotation_weight;
        r.running_weight = 1.0f;
        r.enable = 0;
        rotations_.push_back(std::move(r));
        if (rotations_.size() == max_rotations) result = ListResult::warned(text_max_playlists, caption_warning);
        if (deleted_) return result;
        w.registry = records_locked();
        write_rotation_file_locked(w, rotations_.back());
    }
    return stored(result, store(w));
}

ListResult PlayerLists::rename_rotation(size_t index, std::string name) {
    if (!valid_rotation_name(name)) return ListResult::refused(text_bad_rotation_name, caption_error);
    std::lock_guard store_lock(store_mutex_);
    Writes w;
    {
        std::lock_guard lock(mutex_);
        if (index >= rotations_.size()) return ListResult::refused(nullptr, nullptr);
        if (rotations_[index].name == name) return ListResult::ok();
        for (size_t i = 0; i < rotations_.size(); ++i)
            if (i != index && rotations_[i].name == name)
                return ListResult::refused(text_duplicate_rotation, caption_error);
        auto& r = rotations_[index];
        w.removals.push_back(folder_ / (instance_name_ + "_" + r.name + std::string(rotation_suffix)));
        r.name = std::move(name);
        if (deleted_) return ListResult::ok();
        w.registry = records_locked();
        write_rotation_file_locked(w, r);
    }
    return stored(ListResult::ok(), store(w));
}

bool PlayerLists::delete_rotation(size_t index) {
    std::lock_guard store_lock(store_mutex_);
    Writes w;
    {
        std::lock_guard lock(mutex_);
        if (index >= rotations_.size()) return false;
        w.removals.push_back(folder_ / (instance_name_ + "_" + rotations_[index].name + std::string(rotation_suffix)));
        rotations_.erase(rotations_.begin() + static_cast<std::ptrdiff_t>(index));
        normalize_weights(rotations_);
        if (deleted_) return true;
        w.registry = records_locked();
    }
    store(w);
    return true;
}

void PlayerLists::reset_running_weights() {
    std::lock_guard store_lock(store_mutex_);
    Writes w;
    {
        std::lock_guard lock(mutex_);
        player::reset_running_weights(rotations_);
        if (deleted_) return;
        w.registry = records_locked();
    }
    store(w);
}

ListResult PlayerLists::apply_rotation(size_t index, const std::vector<std::string>* paths, uint32_t weight,
                                       bool enable) {
    if (paths) {
        if (paths->size() > max_rotation_paths) return ListResult::refused(text_max_files, caption_warning);
        if (!std::all_of(paths->begin(), paths->end(), [](const std::string& p) { return listable_path(p); }))
            return ListResult::refused(text_bad_path, caption_error);
    }
    std::lock_guard store_lock(store_mutex_);
    Writes w;
    {
        std::lock_guard lock(mutex_);
        if (index >= rotations_.size()) return ListResult::refused(nullptr, nullptr);
        auto& r = rotations_[index];
        if (paths) {
            r.paths = *paths;
            r.current = 0;
            r.running_weight = 0.5f;
        }
        r.weight = std::clamp<uint32_t>(weight, 1, 10);
        r.enable = enable ? 1 : 0;
        normalize_weights(rotations_);
        if (deleted_) return ListResult::ok();
        w.registry = records_locked();
        if (paths) write_rotation_file_locked(w, r);
    }
    return stored(ListResult::ok(), store(w));
}

}  // namespace torvalen::player
