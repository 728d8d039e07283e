#include "params/preset_bar.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "engine/log.h"
#include "engine/realtime.h"
#include "engine/text.h"
#include "engine/user_text.h"
#include "params/names.h"
#include "params/preset_file.h"
#include "params/profile_file.h"

namespace torvalen::params {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view formats_key = "Formats";
constexpr std::string_view dayparts_key = "Dayparts";
constexpr std::string_view header_key = "Header";
constexpr std::string_view working_key = "Working_Copy";
constexpr std::string_view factory_key = "Factory_Presets";

constexpr std::string_view current_value = "Current";
constexpr std::string_view folder_value = "ImportExportPath";
constexpr std::string_view format_file_value = "Format_File";
constexpr std::string_view daypart_file_value = "Daypart_File";
constexpr std::string_view daypart_enable_value = "Daypart_Enable";

constexpr std::string_view save_failed = "The settings store could not be written";
constexpr std::string_view load_failed = "The preset could not be loaded";
constexpr std::string_view daypart_load_failed = "The day-part could not be loaded";
constexpr std::string_view export_failed = "The file could not be written";
constexpr std::string_view notes_not_text = "Notes must be text (UTF-8) without control characters";

Outcome invalid_name(std::string_view title) {
    return Outcome::failure(std::string(invalid_name_message), std::string(title));
}
Outcome store_failure() { return Outcome::failure(std::string(save_failed), std::string(bar_text::error_title)); }

// Notes in the store: `Notes Length` counts the terminating NUL, `Notes` holds
// the text and its NUL and is written only when there are notes.
bool write_notes(const SettingsKey& header, std::string_view notes) {
    notes = notes.substr(0, max_notes_chars);
    if (notes.empty()) return header.write_dword("Notes Length", 0);
    std::vector<std::byte> bytes(notes.size() + 1);
    std::memcpy(bytes.data(), notes.data(), notes.size());
    return header.write_dword("Notes Length", static_cast<uint32_t>(bytes.size())) && header.write_binary("Notes", bytes);
}

std::string read_notes(const SettingsKey& header) {
    std::vector<std::byte> bytes;
    if (!header.read_binary("Notes", bytes)) return {};
    std::string notes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    notes.resize(std::min({notes.find('\0'), notes.size(), max_notes_chars}));
    return notes;
}

// Values of every control under root\<page>\<group>\<label> as 4-byte floats.
bool write_values(const SettingsKey& root, const PageTree& tree, const std::vector<std::optional<float>>& values) {
    for (const PageNode& page : tree.pages) {
        const auto page_key = root.create(page.label);
        if (!page_key) return false;
        for (const GroupNode& group : page.groups) {
            const auto group_key = page_key->create(group.label);
            if (!group_key) return false;
            for (const ControlNode& control : group.controls) {
                if (control.index >= values.size() || !values[control.index]) continue;
                const float value = *values[control.index];
                if (!group_key->write_binary(control.label, std::as_bytes(std::span(&value, 1)))) return false;
            }
        }
    }
    return true;
}

std::vector<LoadedValue> read_values(const SettingsKey& root, const PageTree& tree) {
    std::vector<LoadedValue> values;
    for (const PageNode& page : tree.pages) {
        const auto page_key = root.open(page.label);
        for (const GroupNode& group : page.groups) {
            const auto group_key = page_key ? page_key->open(group.label) : std::nullopt;
            for (const ControlNode& control : group.controls) {
                if (!has_value(control.kind)) continue;
                float value = 0.0f;
                const bool read =
                    group_key && group_key->read_binary(control.label, std::as_writable_bytes(std::span(&value, 1)));
                values.push_back(checked_value(control, read ? std::optional(value) : std::nullopt));
            }
        }
    }
    return values;
}

std::optional<SettingsKey> open_path(const SettingsKey& key, std::string_view first, std::string_view second) {
    const auto level = key.open(first);
    return level ? level->open(second) : std::nullopt;
}

fs::path documents_folder() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') return fs::current_path();
    std::error_code error;
    const fs::path documents = fs::path(home) / "Documents";
    return fs::is_directory(documents, error) ? documents : fs::path(home);
}

fs::path folder_of(const fs::path& file) {
    return file.has_parent_path() ? file.parent_path() : fs::current_path();
}

}  // namespace

uint32_t SystemClock::local_time_code() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return time_code_of(local);
}

PresetBar::PresetBar(ControlSet& controls, SettingsKey module_key, PresetBarOptions options)
    : controls_(controls),
      key_(module_key),
      options_(std::move(options)),
      clock_(options_.clock ? *options_.clock : system_clock_) {
    std::lock_guard lock(lock_);
    read_settings();
    if (!options_.factory_folder.empty()) {
        const auto installed = install_factory_presets(options_.factory_folder);
        if (!installed.empty())
            log_event(controls_.module_name(), std::to_string(installed.size()) + " factory presets added");
    }
    if (!current_.empty()) {
        bool clean = false;
        const Outcome loaded = load_preset_locked(current_, clean);
        if (!loaded.ok) log_event(controls_.module_name(), "the current preset could not be loaded; defaults stay");
    }
    if (restore_working_copy()) log_event(controls_.module_name(), "unsaved values of the last run restored");
    if (options_.dayparts_offered && !current_daypart_.empty()) {
        const std::string name = current_daypart_;
        if (!load_daypart_locked(name).ok) log_event(controls_.module_name(), "the current day-part could not be loaded");
    }
    controls_.set_change_listener(this);
    writer_ = std::thread([this] { writer_main(); });
    if (options_.dayparts_offered && dayparting_ && !current_daypart_.empty()) start_scheduler_locked();
    else dayparting_ = dayparting_ && scheduler_.joinable();
}

PresetBar::~PresetBar() {
    controls_.set_change_listener(nullptr);
    stop_scheduler();
    {
        std::lock_guard lock(writer_mutex_);
        writer_stop_ = true;
    }
    writer_wake_.notify_all();
    if (writer_.joinable()) writer_.join();
    std::lock_guard lock(lock_);
    sync_working_copy();
    write_settings_locked();
}

// ---- Settings ----

void PresetBar::read_settings() {
    uint32_t mode = 0;
    key_.read_dword_in(current_value, mode);
    mode_ = mode == 1 && options_.dayparts_offered ? BarMode::dayparts : BarMode::presets;
    std::string text;
    folder_ = key_.read_text_in(folder_value, text) && !text.empty() ? fs::path(text)
              : !options_.default_folder.empty()                   ? options_.default_folder
                                                                   : documents_folder();
    text.clear();
    if (key_.read_text_in(format_file_value, text) && valid_name(text)) current_ = text;
    if (options_.dayparts_offered) {
        text.clear();
        if (key_.read_text_in(daypart_file_value, text) && valid_name(text)) current_daypart_ = text;
        uint32_t enable = 0;
        key_.read_dword_in(daypart_enable_value, enable);
        dayparting_ = enable != 0;
    }
}

bool PresetBar::write_settings_locked() {
    if (!key_.valid()) return false;
    SettingsStore::Transaction tx(*key_.store());
    bool ok = key_.write_dword_in(current_value, static_cast<uint32_t>(mode_)) &&
              key_.write_text_in(folder_value, folder_.string()) && key_.write_text_in(format_file_value, current_);
    if (options_.dayparts_offered) {
        ok = ok && key_.write_text_in(daypart_file_value, current_daypart_) &&
             key_.write_dword_in(daypart_enable_value, dayparting_ ? 1 : 0);
    }
    return ok && tx.commit();
}

bool PresetBar::save_settings() {
    std::lock_guard lock(lock_);
    return write_settings_locked();
}

void PresetBar::set_enabled(bool enabled) {
    std::lock_guard lock(lock_);
    enabled_ = enabled;
    controls_.set_enabled(enabled);
}

bool PresetBar::enabled() const {
    std::lock_guard lock(lock_);
    return enabled_;
}

BarMode PresetBar::mode() const {
    std::lock_guard lock(lock_);
    return mode_;
}

Outcome PresetBar::set_mode(BarMode mode) {
    std::lock_guard lock(lock_);
    if (mode == BarMode::dayparts && !options_.dayparts_offered) return Outcome::refused();
    mode_ = mode;
    return write_settings_locked() ? Outcome::success() : store_failure();
}

fs::path PresetBar::import_export_folder() const {
    std::lock_guard lock(lock_);
    return folder_;
}

std::vector<std::string> PresetBar::list() const {
    std::lock_guard lock(lock_);
    const auto key = key_.open(mode_ == BarMode::dayparts ? dayparts_key : formats_key);
    return key ? key->subkeys() : std::vector<std::string>();
}

std::vector<std::string> PresetBar::preset_names() const {
    std::lock_guard lock(lock_);
    const auto key = key_.open(formats_key);
    return key ? key->subkeys() : std::vector<std::string>();
}

std::vector<std::string> PresetBar::daypart_names() const {
    std::lock_guard lock(lock_);
    const auto key = key_.open(dayparts_key);
    return key ? key->subkeys() : std::vector<std::string>();
}

bool PresetBar::dayparts_offered() const { return options_.dayparts_offered; }

void PresetBar::notify(std::string_view name, bool by_scheduler) {
    if (options_.observer) options_.observer->preset_loaded(name, by_scheduler);
}

// ---- Presets ----

std::vector<std::optional<float>> PresetBar::current_values() const {
    std::vector<std::optional<float>> values(controls_.table().size());
    for (const PageNode& page : controls_.tree().pages)
        for (const GroupNode& group : page.groups)
            for (const ControlNode& control : group.controls) {
                float value = 0.0f;
                if (controls_.get(control.index, value)) values[control.index] = value;
            }
    return values;
}

Outcome PresetBar::save_preset(std::string_view name) {
    std::lock_guard lock(lock_);
    if (!enabled_) return Outcome::refused();
    if (!valid_name(name)) return invalid_name(bar_text::save_as_title);
    if (!key_.valid()) return store_failure();
    const auto values = current_values();
    SettingsStore::Transaction tx(*key_.store());
    const bool written = store_preset_locked(name, values, notes_) && key_.write_text_in(format_file_value, name);
    key_.delete_subkey_tree(working_key);
    if (!written || !tx.commit()) return store_failure();
    current_ = std::string(name);
    controls_.set_modified(false);
    return Outcome::success();
}

// Writes `Formats`\<name> whole (inside the caller's transaction).
bool PresetBar::store_preset_locked(std::string_view name, const std::vector<std::optional<float>>& values,
                                    std::string_view notes) {
    const auto formats = key_.create(formats_key);
    if (!formats) return false;
    formats->delete_subkey_tree(name);
    const auto preset = formats->create(name);
    const auto header = preset ? preset->create(header_key) : std::nullopt;
    return header && header->write_text("Type", preset_type) && header->write_text("Version", options_.version) &&
           write_values(*preset, controls_.tree(), values) && write_notes(*header, notes);
}

std::vector<std::string> PresetBar::install_factory_presets(const fs::path& folder) {
    std::lock_guard lock(lock_);
    std::vector<std::string> installed;
    std::error_code ec;
    if (folder.empty() || !key_.valid() || !fs::is_directory(folder, ec)) return installed;
    std::vector<fs::path> files;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".fmt4" && it->is_regular_file(ec)) files.push_back(it->path());
    std::sort(files.begin(), files.end());
    const auto offered = key_.create(factory_key);
    if (!offered) return installed;
    for (const fs::path& file : files) {
        std::string error;
        const auto contents = read_file_limited(file, max_profile_file_bytes, error);
        if (!contents) {
            log_event(controls_.module_name(), error);
            continue;
        }
        // The folder holds every module's presets: only this module's version is taken.
        const ImportedPreset preset = read_preset_file(*contents, controls_.tree(), options_.version);
        if (preset.status != FileStatus::ok) continue;
        if (!valid_name(preset.name) || !clean_user_text(preset.notes, true)) {
            log_event(controls_.module_name(), "factory preset " + escape_for_log(file.string()) + " skipped: bad name or notes");
            continue;
        }
        uint32_t seen = 0;
        if (offered->read_dword(preset.name, seen)) continue;
        std::vector<std::optional<float>> values(controls_.table().size());
        for (const LoadedValue& v : preset.values) values[v.index] = v.value;
        SettingsStore::Transaction tx(*key_.store());
        const bool exists = open_path(key_, formats_key, preset.name).has_value();
        if (!(exists || store_preset_locked(preset.name, values, preset.notes)) ||
            !offered->write_dword(preset.name, 1) || !tx.commit()) {
            log_event(controls_.module_name(), "factory preset \"" + escape_for_log(preset.name) + "\" could not be stored");
            continue;
        }
        if (!exists) installed.push_back(preset.name);
    }
    return installed;
}

Outcome PresetBar::load_preset_locked(std::string_view name, bool& clean) {
    clean = false;
    const auto preset = open_path(key_, formats_key, name);
    const auto header = preset ? preset->open(header_key) : std::nullopt;
    std::string type;
    if (!header || !header->read_text("Type", type) || type != preset_type)
        return Outcome::failure(std::string(load_failed), std::string(bar_text::error_title));
    std::string version;
    if (header->read_text("Version", version) && version != options_.version)
        return Outcome::failure(std::string(bar_text::version_mismatch), std::string(bar_text::error_title));
    const std::vector<LoadedValue> values = read_values(*preset, controls_.tree());
    bool fallback = false;
    for (const LoadedValue& v : values) {
        controls_.set_unmarked(v.index, v.value);
        fallback = fallback || v.fallback;
    }
    controls_.set_modified(fallback);
    notes_ = read_notes(*header);
    clean = !fallback;
    return Outcome::success();
}

Outcome PresetBar::load_preset(std::string_view name) {
    std::lock_guard lock(lock_);
    if (!enabled_) return Outcome::refused();
    if (!valid_name(name)) return invalid_name(bar_text::error_title);
    bool clean = false;
    Outcome outcome = load_preset_locked(name, clean);
    if (outcome.ok) {
        sync_working_copy();
        notify(name, false);
    }
    return outcome;
}

Outcome PresetBar::choose_preset(std::string_view name) {
    std::lock_guard lock(lock_);
    if (!enabled_) return Outcome::refused();
    if (!valid_name(name)) return invalid_name(bar_text::error_title);
    bool clean = false;
    Outcome outcome = load_preset_locked(name, clean);
    if (!outcome.ok) return outcome;
    current_ = std::string(name);
    sync_working_copy();
    write_settings_locked();
    notify(name, false);
    return outcome;
}

Outcome PresetBar::delete_preset(std::string_view name) {
    std::lock_guard lock(lock_);
    if (!enabled_) return Outcome::refused();
    if (!valid_name(name)) return invalid_name(bar_text::error_title);
    const auto formats = key_.open(formats_key);
    if (!formats || !formats->delete_subkey_tree(name)) return Outcome::refused();
    if (current_ == name) {
        current_.clear();
        write_settings_locked();
        sync_working_copy();
    }
    return Outcome::success();
}

bool PresetBar::preset_exists(std::string_view name) const {
    std::lock_guard lock(lock_);
    return valid_name(name) && open_path(key_, formats_key, name).has_value();
}

std::string PresetBar::current_preset() const {
    std::lock_guard lock(lock_);
    return current_;
}

std::string PresetBar::notes() const {
    std::lock_guard lock(lock_);
    return notes_;
}

Outcome PresetBar::set_notes(std::string_view notes) {
    std::lock_guard lock(lock_);
    if (!enabled_) return Outcome::refused();
    if (!clean_user_text(notes, true))
        return Outcome::failure(std::string(notes_not_text), std::string(bar_text::notes_title));
    notes_ = std::string(notes.substr(0, max_notes_chars));
    return Outcome::success();
}

SaveOffer PresetBar::preset_save_offer() const {
    std::lock_guard lock(lock_);
    if (!controls_.modified()) return SaveOffer::none;
    return current_.empty() ? SaveOffer::save_as : SaveOffer::save;
}

Outcome PresetBar::export_preset(const fs::path& file) {
    std::lock_guard lock(lock_);
    if (!enabled_) return Outcome::refused();
    const auto values = current_values();
    const std::string contents = write_preset_file(controls_.tree(), current_, options_.version, notes_,
                                                   [&values](uint32_t index) { return values[index]; });
    std::string error;
    if (!write_file_atomically(file, contents, error)) {
        log_event(controls_.module_name(), error);
        return Outcome::failure(std::string(export_failed), std::string(bar_text::error_title));
    }
    folder_ = folder_of(file);
    write_settings_locked();
    return Outcome::success();
}

Outcome PresetBar::import_preset(const fs::path& file) {
    std::lock_guard lock(lock_);
    if (!enabled_) return Outcome::refused();
    const Outcome failed =
        Outcome::failure(std::string(bar_text::import_failed), std::string(bar_text::import_title));
    std::string error;
    const auto contents = read_file_limited(file, max_profile_file_bytes, error);
    if (!contents) {
        log_event(controls_.module_name(), error);
        return failed;
    }
    const ImportedPreset imported = read_preset_file(*contents, controls_.tree(), options_.version);
    if (imported.status == FileStatus::version_mismatch)
        return Outcome::failure(std::string(bar_text::version_mismatch), std::string(bar_text::error_title));
    if (imported.status != FileStatus::ok) return failed;
    for (const LoadedValue& v : imported.values) controls_.set_unmarked(v.index, v.value);
    notes_ = imported.notes;
    current_ = imported.name;
    controls_.set_modified(true);
    folder_ = folder_of(file);
    write_settings_locked();
    sync_working_copy();
    notify(current_, false);
    return Outcome::success();
}

// ---- Working copy ----

void PresetBar::parameters_changed() {
    {
        std::lock_guard lock(writer_mutex_);
        writer_pending_ = true;
    }
    writer_wake_.notify_one();
}

void PresetBar::writer_main() {
    std::unique_lock lock(writer_mutex_);
    while (true) {
        writer_wake_.wait(lock, [this] { return writer_stop_ || writer_pending_; });
        if (writer_stop_) return;
        // Let a burst of changes (a slider being dragged) settle before writing.
        writer_wake_.wait_for(lock, options_.working_copy_delay, [this] { return writer_stop_; });
        if (writer_stop_) return;
        writer_pending_ = false;
        lock.unlock();
        sync_working_copy();
        lock.lock();
    }
}

bool PresetBar::sync_working_copy() {
    std::lock_guard lock(lock_);
    if (!key_.valid()) return false;
    if (!controls_.modified()) {
        if (key_.open(working_key)) key_.delete_subkey_tree(working_key);
        return true;
    }
    const auto values = current_values();
    SettingsStore::Transaction tx(*key_.store());
    key_.delete_subkey_tree(working_key);
    const auto working = key_.create(working_key);
    const auto header = working ? working->create(header_key) : std::nullopt;
    const bool written = header && header->write_text("Type", preset_type) &&
                         header->write_text("Version", options_.version) &&
                         header->write_text(format_file_value, current_) &&
                         header->write_qword("Written", wall_time_100ns()) &&
                         write_values(*working, controls_.tree(), values);
    return written && tx.commit();
}

bool PresetBar::restore_working_copy() {
    const auto working = key_.open(working_key);
    if (!working) return false;
    const auto header = working->open(header_key);
    std::string type, version, preset;
    const bool usable = header && header->read_text("Type", type) && type == preset_type &&
                        header->read_text("Version", version) && version == options_.version &&
                        header->read_text(format_file_value, preset) && preset == current_;
    if (!usable) {
        key_.delete_subkey_tree(working_key);
        return false;
    }
    for (const LoadedValue& v : read_values(*working, controls_.tree())) controls_.set_unmarked(v.index, v.value);
    controls_.set_modified(true);
    return true;
}

// ---- Day-parts ----

Outcome PresetBar::save_daypart(std::string_view name) {
    std::lock_guard lock(lock_);
    if (!options_.dayparts_offered || !enabled_) return Outcome::refused();
    if (!valid_name(name)) return invalid_name(bar_text::daypart_save_as_title);
    if (!key_.valid()) return store_failure();
    SettingsStore::Transaction tx(*key_.store());
    const auto dayparts = key_.create(dayparts_key);
    if (!dayparts) return store_failure();
    dayparts->delete_subkey_tree(name);
    const auto daypart = dayparts->create(name);
    const auto header = daypart ? daypart->create(header_key) : std::nullopt;
    bool written = header && header->write_text("Type", daypart_type) && header->write_text("Version", options_.version);
    uint32_t count = 0;
    for (const DaypartEntry& entry : dayparts_.entries()) {
        if (!written || count == max_daypart_entries) break;
        const auto entry_key = daypart->create(text::decimal_text(count));
        written = entry_key && entry_key->write_text("FormatFile", entry.preset) &&
                  entry_key->write_dword("Time", entry.time_code);
        ++count;
    }
    written = written && header->write_dword("Count", count) && write_notes(*header, daypart_notes_) &&
              key_.write_text_in(daypart_file_value, name);
    if (!written || !tx.commit()) return store_failure();
    current_daypart_ = std::string(name);
    daypart_modified_ = false;
    return Outcome::success();
}

Outcome PresetBar::load_daypart(std::string_view name) {
    std::lock_guard lock(lock_);
    if (!enabled_) return Outcome::refused();
    return load_daypart_locked(name);
}

Outcome PresetBar::load_daypart_locked(std::string_view name) {
    if (!options_.dayparts_offered) return Outcome::refused();
    if (!valid_name(name)) return invalid_name(bar_text::error_title);
    const Outcome failed = Outcome::failure(std::string(daypart_load_failed), std::string(bar_text::error_title));
    const auto daypart = open_path(key_, dayparts_key, name);
    const auto header = daypart ? daypart->open(header_key) : std::nullopt;
    std::string type, version;
    if (!header || !header->read_text("Type", type) || type != daypart_type) return failed;
    if (!header->read_text("Version", version) || version != options_.version)
        return Outcome::failure(std::string(bar_text::version_mismatch), std::string(bar_text::error_title));
    uint32_t count = 0;
    header->read_dword("Count", count);
    count = std::min<uint32_t>(count, max_daypart_entries);
    std::vector<DaypartEntry> entries;
    for (uint32_t i = 0; i < count; ++i) {
        DaypartEntry entry;
        bool has_time = false;
        if (const auto entry_key = daypart->open(text::decimal_text(i))) {
            std::string preset;
            if (entry_key->read_text("FormatFile", preset)) entry.preset = name_from_file(preset);
            has_time = entry_key->read_dword("Time", entry.time_code);
        }
        // An entry without a weekly time or a preset name would schedule nothing
        // sensible: it is left out, and the log says which one.
        if (!has_time || !valid_time_code(entry.time_code) || entry.preset.empty()) {
            log_event(controls_.module_name(),
                      text::build("s s s u s", {"day-part \"", name, "\": entry ", i,
                                                " has no valid time or preset name and is left out"})
                          .value_or(std::string("a damaged day-part entry is left out")));
            continue;
        }
        entries.push_back(std::move(entry));
    }
    dayparts_ = DaypartTable::from_entries(std::move(entries));
    daypart_notes_ = read_notes(*header);
    daypart_modified_ = false;
    current_daypart_ = std::string(name);
    write_settings_locked();
    return Outcome::success();
}

Outcome PresetBar::delete_daypart(std::string_view name) {
    std::lock_guard lock(lock_);
    if (!options_.dayparts_offered || !enabled_) return Outcome::refused();
    if (!valid_name(name)) return invalid_name(bar_text::error_title);
    const auto dayparts = key_.open(dayparts_key);
    if (!dayparts || !dayparts->delete_subkey_tree(name)) return Outcome::refused();
    if (current_daypart_ == name) {
        current_daypart_.clear();
        write_settings_locked();
    }
    return Outcome::success();
}

Outcome PresetBar::export_daypart(const fs::path& file) {
    std::lock_guard lock(lock_);
    if (!options_.dayparts_offered || !enabled_) return Outcome::refused();
    const std::string contents = write_daypart_file(current_daypart_, options_.version, dayparts_, daypart_notes_);
    std::string error;
    if (!write_file_atomically(file, contents, error)) {
        log_event(controls_.module_name(), error);
        return Outcome::failure(std::string(export_failed), std::string(bar_text::error_title));
    }
    folder_ = folder_of(file);
    write_settings_locked();
    return Outcome::success();
}

Outcome PresetBar::import_daypart(const fs::path& file) {
    std::lock_guard lock(lock_);
    if (!options_.dayparts_offered || !enabled_) return Outcome::refused();
    const Outcome failed = Outcome::failure(std::string(bar_text::daypart_import_failed),
                                            std::string(bar_text::daypart_import_title));
    std::string error;
    const auto contents = read_file_limited(file, max_profile_file_bytes, error);
    if (!contents) {
        log_event(controls_.module_name(), error);
        return failed;
    }
    ImportedDaypart imported = read_daypart_file(*contents, options_.version);
    if (imported.status != FileStatus::ok) return failed;
    dayparts_ = std::move(imported.table);
    daypart_notes_ = std::move(imported.notes);
    current_daypart_ = std::move(imported.name);
    daypart_modified_ = true;
    folder_ = folder_of(file);
    write_settings_locked();
    return Outcome::success();
}

std::string PresetBar::current_daypart() const {
    std::lock_guard lock(lock_);
    return current_daypart_;
}

std::string PresetBar::daypart_notes() const {
    std::lock_guard lock(lock_);
    return daypart_notes_;
}

Outcome PresetBar::set_daypart_notes(std::string_view notes) {
    std::lock_guard lock(lock_);
    if (!options_.dayparts_offered || !enabled_) return Outcome::refused();
    if (!clean_user_text(notes, true))
        return Outcome::failure(std::string(notes_not_text), std::string(bar_text::daypart_notes_title));
    daypart_notes_ = std::string(notes.substr(0, max_notes_chars));
    return Outcome::success();
}

DaypartTable PresetBar::daypart_table() const {
    std::lock_guard lock(lock_);
    return dayparts_;
}

bool PresetBar::daypart_modified() const {
    std::lock_guard lock(lock_);
    return daypart_modified_;
}

SaveOffer PresetBar::daypart_save_offer() const {
    std::lock_guard lock(lock_);
    if (!options_.dayparts_offered || !daypart_modified_) return SaveOffer::none;
    return current_daypart_.empty() ? SaveOffer::save_as : SaveOffer::save;
}

std::optional<DaypartEditor> PresetBar::edit_dayparts() const {
    std::lock_guard lock(lock_);
    if (!options_.dayparts_offered || !enabled_) return std::nullopt;
    return DaypartEditor(dayparts_);
}

Outcome PresetBar::accept_editor(const DaypartEditor& editor) {
    std::lock_guard lock(lock_);
    if (!options_.dayparts_offered || !enabled_) return Outcome::refused();
    if (!editor.changed()) return Outcome::success();
    dayparts_ = editor.table();
    daypart_modified_ = true;
    return Outcome::success();
}

// ---- Scheduler ----

Outcome PresetBar::enable_dayparting(bool enable) {
    std::unique_lock lock(lock_);
    if (!options_.dayparts_offered || !enabled_) return Outcome::refused();
    if (enable) {
        start_scheduler_locked();
        dayparting_ = true;
    } else {
        dayparting_ = false;
        // The scheduler takes this lock for its passes; release it while waiting.
        lock.unlock();
        stop_scheduler();
        lock.lock();
    }
    return write_settings_locked() ? Outcome::success() : store_failure();
}

bool PresetBar::dayparting_enabled() const {
    std::lock_guard lock(lock_);
    return dayparting_;
}

void PresetBar::start_scheduler_locked() {
    if (scheduler_.joinable()) return;
    {
        std::lock_guard stop_lock(scheduler_mutex_);
        scheduler_stop_ = false;
    }
    dayparting_ = true;
    scheduler_ = std::thread([this] { scheduler_main(); });
}

void PresetBar::stop_scheduler() {
    {
        std::lock_guard stop_lock(scheduler_mutex_);
        scheduler_stop_ = true;
    }
    scheduler_wake_.notify_all();
    // The thread leaves at once unless it is inside a pass; a pass that is loading
    // a preset finishes first, because the bar must not be freed under it.
    if (scheduler_.joinable() && scheduler_.get_id() != std::this_thread::get_id()) scheduler_.join();
}

void PresetBar::scheduler_main() {
    std::unique_lock lock(scheduler_mutex_);
    while (true) {
        scheduler_wake_.wait_for(lock, clock_.pass_interval(), [this] { return scheduler_stop_; });
        if (scheduler_stop_) return;
        lock.unlock();
        scheduler_pass();
        lock.lock();
    }
}

void PresetBar::scheduler_pass() {
    const uint32_t now = clock_.local_time_code();
    std::lock_guard lock(lock_);
    const DaypartEntry* entry = dayparts_.in_force(now);
    if (entry == nullptr || entry->preset == current_ || !valid_name(entry->preset)) return;
    const std::string name = entry->preset;
    bool clean = false;
    if (!load_preset_locked(name, clean).ok) return;  // tried again on the next pass
    current_ = name;
    sync_working_copy();
    write_settings_locked();
    notify(name, true);
}

}  // namespace torvalen::params
