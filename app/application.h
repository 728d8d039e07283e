// The process: settings tree, instance list, password lock, desktop settings,
// start-up and exit. Every member runs on the control thread (see control_thread.h);
// the web interface and the command line reach it only through that thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/password_store.h"
#include "engine/audio_device.h"
#include "engine/hotplug.h"
#include "engine/instance.h"
#include "engine/settings_store.h"
#include "engine/virtual_device.h"

namespace torvalen {

inline constexpr size_t max_instances = 8;
inline constexpr size_t max_name_length = 63;
inline constexpr size_t max_password_length = 63;
inline constexpr const char* default_instance_name = "Instance 1";

// The outcome of a command: success, or the message (and its title) to show.
struct CommandResult {
    bool ok = true;
    std::string message;
    std::string title;
    // The command needs the user's Yes first (the message is the question).
    bool needs_confirmation = false;

    static CommandResult success() { return {}; }
    static CommandResult failure(std::string message, std::string title = "Error") {
        return {false, std::move(message), std::move(title), false};
    }
};

// `Persist`\`Main`.
struct DesktopSettings {
    uint32_t use_sys_tray = 0;
    uint32_t confirm_exit = 0;
    uint32_t interface_mode = 0;  // `Interface`: 0 one shared device, else one per instance
    uint32_t run_at_startup = 0;
    uint32_t start_minimized = 0;
};

// `Persist`\`Window`.
struct WindowPlacement {
    uint32_t x = 0, y = 0, w = 0, h = 0, zoomed = 0;
};

// Headless device set-up from the command line: puts an instance (or, with one
// shared device, all of them) on a sound card and stores that choice.
struct DeviceSetup {
    std::string device;    // empty: no set-up
    std::string instance;  // empty: the current instance
    uint32_t rate_Hz = 48000;
    uint32_t frame_size = 256;
};

struct AppOptions {
    std::filesystem::path home;           // settings home: settings.db, password, lock
    std::filesystem::path autostart_dir;  // where "Run At Startup" puts its entry
    std::filesystem::path program;        // the program file the autostart entry runs
    VirtualDeviceConfig device;           // the virtual device of instances without a sound card
    // Input of virtual devices that run at the other rate than `device` (an
    // instance whose own settings give a rate but no sound card); empty: silence.
    std::filesystem::path other_rate_input;
    bool start_devices = true;
    // The sound-card drivers; nullptr: PortAudio (ALSA and JACK), opened at start.
    DriverSystem* drivers = nullptr;
    // Watch /dev/snd for cards that appear (off in tests).
    bool watch_hotplug = true;
    DeviceSetup setup;
};

class Application {
public:
    // Opens the settings store, creates the tree, loads the instances (at most 8;
    // "Instance 1" when none), starts their devices and sets the lock state.
    // nullptr with `error` set to the initialisation message and the reason when
    // the store cannot be opened or the tree cannot be created.
    // The settings home (settings.db, password, lock).
    const std::filesystem::path& home() const { return options_.home; }
    static std::unique_ptr<Application> start(const AppOptions& options, ModuleFactory& factory,
                                              std::string& error);
    // Checks a headless device set-up before anything starts: the empty text when
    // it can be applied, else the reason.
    static std::string check_setup(const DeviceSetup& setup);
    // Saves `Saved_Inst_Name`, stops the devices, destroys every instance (each
    // saving its settings) and saves the desktop settings. Safe to call twice.
    void exit();
    ~Application();

    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // ---- Instances (newest first) ----
    std::vector<std::string> instance_names() const;
    size_t instance_count() const { return entries_.size(); }
    Instance* current();
    Instance* find(std::string_view name);
    CommandResult select_instance(std::string_view name);
    CommandResult new_instance(std::string_view name);
    // The user has answered Yes to messages::close_question.
    CommandResult close_current_instance();
    CommandResult rename_current_instance(std::string_view new_name);
    CommandResult delete_old_settings();

    // ---- Password lock ----
    bool logged_on() const { return logged_on_; }
    bool password_set() const { return password_->has_password(); }
    CommandResult log_on(std::string_view password);
    void log_off();
    // An empty new password deletes the stored one, after the user confirmed the
    // warning (`confirmed_delete`); without it the result asks for confirmation.
    CommandResult change_password(std::string_view old_password, std::string_view new_password,
                                  bool confirmed_delete);

    // ---- Desktop settings (saved when they change) ----
    const DesktopSettings& desktop() const { return desktop_; }
    const WindowPlacement& window() const { return window_; }
    CommandResult toggle_minimize_to_tray();
    CommandResult toggle_confirm_exit();
    CommandResult toggle_start_minimized();
    CommandResult toggle_run_at_startup();
    CommandResult set_window_placement(const WindowPlacement& placement);
    // The "Exit" command: refused while logged off; asks first when
    // `Confirm_Exit` is set (unless `confirmed`). On success the caller ends the
    // process through exit().
    CommandResult request_exit(bool confirmed) const;

    SettingsStore& store() { return *store_; }
    SettingsKey root_key() const { return root_; }
    SettingsKey instances_key() const { return instances_; }
    // The virtual device an instance runs on (nullptr when on a sound card or none).
    VirtualDevice* device_of(const Instance* instance);
    // The sound card an instance runs on: its own, or the shared one it is attached
    // to (nullptr when on the virtual device).
    DeviceContext* sound_card_of(const Instance* instance);
    DeviceContext* shared_device() { return shared_.get(); }
    // One line for the status pane: where the instance's audio comes from and goes to.
    std::string device_status(const Instance* instance);
    bool shared_mode() const { return desktop_.interface_mode == 0; }

    // ---- Sound-card dialogs ("ASIO Multi Settings", "ASIO Single Settngs",
    // "ASIO Single Channels", "Interface"). Each OK stops what it changes, stores
    // the new settings and starts again; an empty device name means "no sound
    // card" (the instance runs on the virtual device). ----
    std::vector<DriverDescription> sound_devices();
    // Whether a device of that name can be created now.
    bool device_attached(std::string_view name);
    DeviceSettings shared_device_settings() const;
    CommandResult apply_instance_device(Instance& instance, const DeviceSettings& settings);
    CommandResult apply_shared_device(const DeviceSettings& settings);
    CommandResult apply_channels(Instance& instance, const ChannelMap& channels);
    // 0: one shared device; 1: one device per instance.
    CommandResult set_interface_mode(uint32_t mode);

private:
    struct Entry {
        std::unique_ptr<Instance> instance;
        std::unique_ptr<VirtualDevice> device;
        std::unique_ptr<DeviceContext> context;  // per-instance mode
    };

    Application(const AppOptions& options, ModuleFactory& factory);
    bool create_tree(std::string& error);
    void load_instances();
    bool add_instance(std::string_view name, bool make_current);
    bool open_sound_cards();
    bool apply_setup();
    void start_device(Entry& entry, bool with_output);
    void start_virtual(Entry& entry, bool with_output);
    void stop_device(Entry& entry);
    Entry* entry_of(const Instance& instance);
    bool ensure_driver_layer();
    void apply_lock_state();
    bool save_main();
    bool save_window();
    bool write_autostart(bool enable);
    CommandResult check_unlocked() const;
    static CommandResult check_name(std::string_view name);

    AppOptions options_;
    ModuleFactory& factory_;
    std::unique_ptr<SettingsStore> store_;
    std::unique_ptr<PasswordStore> password_;
    SettingsKey root_;       // Software\Torv3
    SettingsKey persist_;    // ...\Persist
    SettingsKey main_;       // ...\Persist\Main
    SettingsKey window_key_; // ...\Persist\Window
    SettingsKey instances_;  // ...\Instances
    std::vector<Entry> entries_;  // newest first
    size_t current_ = 0;
    bool logged_on_ = false;
    bool exited_ = false;
    DesktopSettings desktop_;
    WindowPlacement window_;

    // Sound cards. Declared last so that they go first.
    std::unique_ptr<DriverSystem> own_drivers_;
    DriverSystem* drivers_ = nullptr;
    std::unique_ptr<DeviceLayer> layer_;
    std::unique_ptr<DeviceContext> shared_;
    std::unique_ptr<HotplugWatcher> hotplug_;
};

}  // namespace torvalen
