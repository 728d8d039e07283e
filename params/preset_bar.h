// The preset bar of one module: named presets in the module's settings key,
// preset files, the bar settings, a working copy of unsaved values, and (for the
// processors) day-parts with their scheduler thread.
//
// Store layout under the module key:
//   Formats\<name>\Header     Type "Format3", Version, Notes Length, Notes
//   Formats\<name>\<page>\<group>   <label> = display value, 4-byte float
//   Dayparts\<name>\Header    Type "Daypart3", Version, Count, Notes Length, Notes
//   Dayparts\<name>\<i>       FormatFile, Time
//   Current, ImportExportPath, Format_File, Daypart_File, Daypart_Enable
//                             each in a subkey of the same name
//   Factory_Presets           <name> = 1 for every factory preset offered to this key
//   Working_Copy\Header       Type, Version, Format_File (preset it departs from), Written
//   Working_Copy\<page>\<group>     as in a preset
//
// Factory presets (the preset files shipped with the program, see
// PresetBarOptions::factory_folder) are offered once per module key: a name not
// yet recorded under `Factory_Presets` is stored unless a preset of that name
// exists (the user's stays as it is), and is recorded either way. A factory
// preset the user deletes therefore stays deleted, and one added by a later
// version of the program still arrives.
//
// The working copy exists only while the current values differ from the current
// preset: it is written within about a second of a parameter change and at
// destruction, and removed by every save and clean load. A process stopped by a
// signal or a power cut therefore restarts with the values it had, and the
// preset is shown as modified.
//
// Threads: every operation runs on the control thread under the bar's
// re-entrant lock; the scheduler thread loads presets under the same lock; the
// working-copy writer takes it to write. None of them holds a module lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/settings_store.h"
#include "params/control_set.h"
#include "params/daypart.h"

namespace torvalen::params {

// The local time the scheduler reads, and how long it waits between passes.
// Tests inject a simulated clock.
class SchedulerClock {
public:
    virtual uint32_t local_time_code() = 0;
    virtual std::chrono::milliseconds pass_interval() const { return std::chrono::milliseconds(1000); }

protected:
    ~SchedulerClock() = default;
};

// The system's local time (localtime_r).
class SystemClock final : public SchedulerClock {
public:
    uint32_t local_time_code() override;
};

// Told after a preset or day-part became current or values were reloaded, so
// the interface can redraw the bar and refresh the widgets. Called with the
// bar's lock held, on the thread that made the change.
class PresetBarObserver {
public:
    virtual void preset_loaded(std::string_view name, bool by_scheduler) = 0;

protected:
    ~PresetBarObserver() = default;
};

enum class BarMode : uint32_t { presets = 0, dayparts = 1 };

// What to ask before something discards changes.
enum class SaveOffer { none, save, save_as };

struct PresetBarOptions {
    std::string version;  // the module's version string, also its key name
    bool dayparts_offered = false;
    std::filesystem::path default_folder;  // empty: the user's Documents folder
    SchedulerClock* clock = nullptr;       // nullptr: the system's local time
    // Delay between a parameter change and the working copy's write.
    std::chrono::milliseconds working_copy_delay{1000};
    PresetBarObserver* observer = nullptr;
    // Folder searched (with its subfolders) for factory preset files ("*.fmt4");
    // those whose Version is this module's are offered at creation. Empty: none.
    std::filesystem::path factory_folder;
};

// Texts of the bar's dialogs and messages.
namespace bar_text {
inline constexpr std::string_view save_as_title = "Preset....Save As";
inline constexpr std::string_view save_title = "Preset....Save";
inline constexpr std::string_view overwrite_title = "Preset....Overwrite";
inline constexpr std::string_view daypart_save_as_title = "Daypart....Save As";
inline constexpr std::string_view daypart_save_title = "Daypart....Save";
inline constexpr std::string_view daypart_overwrite_title = "Daypart....Overwrite";
inline constexpr std::string_view notes_title = "Preset Notes Editor";
inline constexpr std::string_view daypart_notes_title = "Day Part Notes Editor";
inline constexpr std::string_view version_mismatch = "Format Version Mismatch";
inline constexpr std::string_view error_title = "Error";
inline constexpr std::string_view import_failed = "Import Of Preset File Failed";
inline constexpr std::string_view import_title = "Preset Import";
inline constexpr std::string_view daypart_import_failed = "Import Of Daypartt File Failed";
inline constexpr std::string_view daypart_import_title = "Daypart Import";
inline constexpr std::string_view menu_save = "Save";
inline constexpr std::string_view menu_save_as = "Save As";
inline constexpr std::string_view menu_notes = "Notes";
inline constexpr std::string_view menu_edit_dayparts = "Edit Dayparts";
inline constexpr std::string_view menu_enable_dayparting = "Enable Dayparting";
inline constexpr std::string_view menu_import = "Import";
inline constexpr std::string_view menu_export = "Export";
inline constexpr std::string_view menu_delete = "Delete";
}  // namespace bar_text

class PresetBar final : private ChangeListener {
public:
    // Reads the bar settings, loads the current preset (a failed load leaves the
    // defaults), restores a working copy left by an earlier run, loads the
    // current day-part and starts the scheduler when dayparting is enabled.
    // `controls` must outlive the bar.
    PresetBar(ControlSet& controls, SettingsKey module_key, PresetBarOptions options);
    // Stops the scheduler and the writer, writes the working copy when values
    // are unsaved, and writes the bar settings.
    ~PresetBar();

    PresetBar(const PresetBar&) = delete;
    PresetBar& operator=(const PresetBar&) = delete;

    // Instance unlocked: enables the bar's commands and the control set.
    void set_enabled(bool enabled);
    bool enabled() const;

    // ---- Presets ----
    // Saves every value and the notes under `name`, which becomes current.
    Outcome save_preset(std::string_view name);
    // Loads `name` without making it current (see choose_preset). Like every
    // command of the bar, refused while the instance is locked.
    Outcome load_preset(std::string_view name);
    // Loads `name` and, on success, makes it current (choosing from the list).
    Outcome choose_preset(std::string_view name);
    Outcome delete_preset(std::string_view name);
    bool preset_exists(std::string_view name) const;
    Outcome export_preset(const std::filesystem::path& file);
    Outcome import_preset(const std::filesystem::path& file);

    std::string current_preset() const;
    std::string notes() const;
    Outcome set_notes(std::string_view notes);
    SaveOffer preset_save_offer() const;

    // Names under `Formats` (preset mode) or `Dayparts` (day-part mode).
    std::vector<std::string> list() const;
    // Names under `Formats`, whatever the mode (the presets a day-part can name).
    std::vector<std::string> preset_names() const;
    // Names under `Dayparts`, whatever the mode.
    std::vector<std::string> daypart_names() const;
    BarMode mode() const;
    // Whether the bar schedules presets by day-parts (the processors' bars).
    bool dayparts_offered() const;
    Outcome set_mode(BarMode mode);
    std::filesystem::path import_export_folder() const;

    // ---- Day-parts ----
    Outcome save_daypart(std::string_view name);
    // Loads `name`; on success it becomes the current day-part.
    Outcome load_daypart(std::string_view name);
    Outcome delete_daypart(std::string_view name);
    Outcome export_daypart(const std::filesystem::path& file);
    Outcome import_daypart(const std::filesystem::path& file);
    std::string current_daypart() const;
    std::string daypart_notes() const;
    Outcome set_daypart_notes(std::string_view notes);
    DaypartTable daypart_table() const;
    bool daypart_modified() const;
    SaveOffer daypart_save_offer() const;
    // An editor on a copy of the table; accept_editor puts a changed copy in
    // place and marks the day-part modified.
    std::optional<DaypartEditor> edit_dayparts() const;
    Outcome accept_editor(const DaypartEditor& editor);

    // "Enable Dayparting": starts or stops the scheduler thread.
    Outcome enable_dayparting(bool enable);
    bool dayparting_enabled() const;
    // One scheduler pass: the preset in force now becomes current unless it
    // already is. The thread runs this once per clock interval.
    void scheduler_pass();

    // Writes the working copy now when values are unsaved, removes it otherwise.
    bool sync_working_copy();
    // Writes the bar settings now.
    bool save_settings();

    // Offers the factory presets of `folder` (see the header comment); returns the
    // names stored now. The constructor calls it with the options' folder.
    std::vector<std::string> install_factory_presets(const std::filesystem::path& folder);

private:
    void parameters_changed() override;

    void read_settings();
    bool write_settings_locked();
    Outcome load_preset_locked(std::string_view name, bool& clean);
    Outcome load_daypart_locked(std::string_view name);
    bool store_preset_locked(std::string_view name, const std::vector<std::optional<float>>& values,
                             std::string_view notes);
    bool restore_working_copy();
    std::vector<std::optional<float>> current_values() const;
    void notify(std::string_view name, bool by_scheduler);

    void start_scheduler_locked();
    void stop_scheduler();
    void scheduler_main();
    void writer_main();

    ControlSet& controls_;
    SettingsKey key_;
    PresetBarOptions options_;
    SystemClock system_clock_;
    SchedulerClock& clock_;

    // Everything below is guarded by lock_.
    mutable std::recursive_mutex lock_;
    bool enabled_ = false;
    BarMode mode_ = BarMode::presets;
    std::string current_;
    std::string notes_;
    std::filesystem::path folder_;
    std::string current_daypart_;
    std::string daypart_notes_;
    DaypartTable dayparts_;
    bool daypart_modified_ = false;
    bool dayparting_ = false;

    // Scheduler thread: stop flag and wake-up under scheduler_mutex_.
    std::mutex scheduler_mutex_;
    std::condition_variable scheduler_wake_;
    bool scheduler_stop_ = false;
    std::thread scheduler_;

    // Working-copy writer: a pending change and the stop flag under writer_mutex_.
    std::mutex writer_mutex_;
    std::condition_variable writer_wake_;
    bool writer_pending_ = false;
    bool writer_stop_ = false;
    std::thread writer_;
};

}  // namespace torvalen::params
