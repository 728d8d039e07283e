#include "app/application.h"

#include <algorithm>
#include <fstream>
#include <new>
#include <system_error>

#include "app/messages.h"
#include "engine/jack_driver.h"
#include "engine/log.h"
#include "engine/user_text.h"
#include "engine/portaudio_driver.h"

namespace torvalen {

namespace {
constexpr const char* log_who = "app";
constexpr const char* autostart_file = "torvalen.desktop";
}  // namespace

Application::Application(const AppOptions& options, ModuleFactory& factory)
    : options_(options), factory_(factory) {}

Application::~Application() { exit(); }

std::unique_ptr<Application> Application::start(const AppOptions& options, ModuleFactory& factory,
                                                std::string& error) {
    std::unique_ptr<Application> app(new (std::nothrow) Application(options, factory));
    if (!app) {
        error = std::string(messages::init_error) + "\r\n(out of memory)";
        return nullptr;
    }
    std::string reason;
    if (!app->create_tree(reason)) {
        error = std::string(messages::init_error) + "\r\n(" + reason + ")";
        app->exited_ = true;  // nothing to save: the tree is not there
        return nullptr;
    }
    app->load_instances();
    if (app->password_->has_password()) {
        app->logged_on_ = false;
        log_event(log_who, "a password is set: settings stay locked until log on");
    } else {
        app->logged_on_ = true;
    }
    app->apply_lock_state();
    return app;
}

bool Application::create_tree(std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(options_.home, ec);
    if (ec) {
        error = "cannot create " + options_.home.string() + ": " + ec.message();
        return false;
    }
    // Settings restored through the web interface take the store's place now.
    std::string swap_error;
    const std::string kept = take_staged_restore(options_.home, swap_error);
    if (!swap_error.empty()) log_event(log_who, "restored settings not used: " + swap_error);
    if (!kept.empty()) log_event(log_who, "restored settings in use; the previous ones are kept as " + kept);
    store_ = SettingsStore::open(options_.home / "settings.db", error);
    if (!store_ && !kept.empty() && kept != "(none)") {
        // Checked when it was uploaded, yet refused now: the previous settings return.
        std::error_code ec;
        std::filesystem::rename(options_.home / "settings.db", options_.home / "settings.db.restore-refused", ec);
        std::filesystem::rename(options_.home / kept, options_.home / "settings.db", ec);
        log_event(log_who, "the restored settings could not be opened (" + error + "); the previous ones are back");
        error.clear();
        store_ = SettingsStore::open(options_.home / "settings.db", error);
    }
    if (!store_) return false;
    auto software = store_->root().create("Software");
    auto root = software ? software->create("Torv3") : std::nullopt;
    auto persist = root ? root->create("Persist") : std::nullopt;
    auto instances = root ? root->create("Instances") : std::nullopt;
    auto main = persist ? persist->create("Main") : std::nullopt;
    auto window = persist ? persist->create("Window") : std::nullopt;
    if (!main || !window || !instances) {
        error = "cannot create the settings tree";
        return false;
    }
    root_ = *root;
    persist_ = *persist;
    instances_ = *instances;
    main_ = *main;
    window_key_ = *window;
    password_ = std::make_unique<PasswordStore>(options_.home / "password");

    main_.read_dword("UseSysTray", desktop_.use_sys_tray);
    main_.read_dword("Confirm_Exit", desktop_.confirm_exit);
    main_.read_dword("Interface", desktop_.interface_mode);
    main_.read_dword("RunAtStartup", desktop_.run_at_startup);
    main_.read_dword("StartMinimized", desktop_.start_minimized);
    window_key_.read_dword("X", window_.x);
    window_key_.read_dword("Y", window_.y);
    window_key_.read_dword("W", window_.w);
    window_key_.read_dword("H", window_.h);
    window_key_.read_dword("Zoomed", window_.zoomed);
    log_event(log_who, "settings opened: " + (options_.home / "settings.db").string());
    return true;
}

void Application::load_instances() {
    std::string saved_name;
    main_.read_text("Saved_Inst_Name", saved_name);

    std::vector<std::string> names = instances_.subkeys();
    if (names.size() > max_instances) {
        log_event(log_who, std::to_string(names.size()) + " instances are stored; loading the first " +
                               std::to_string(max_instances));
        names.resize(max_instances);
    }
    const Instance* wanted = nullptr;
    for (const std::string& name : names) {
        if (!add_instance(name, false)) continue;
        if (name == saved_name) wanted = entries_.front().instance.get();
    }
    if (entries_.empty()) add_instance(default_instance_name, false);

    current_ = 0;  // the newest
    for (size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].instance.get() == wanted) current_ = i;

    if (!options_.setup.device.empty() && !apply_setup())
        log_event(log_who, "the device set-up from the command line was not applied");
    if (options_.start_devices) {
        open_sound_cards();
        for (size_t i = 0; i < entries_.size(); ++i) start_device(entries_[i], i == current_);
    }
}

std::string Application::check_setup(const DeviceSetup& setup) {
    if (setup.device.empty()) return "an empty device name cannot be used";
    DeviceSettings settings;
    settings.device = setup.device;
    settings.sample_rate = setup.rate_Hz;
    settings.frame_size = setup.frame_size;
    return check_device_settings(settings, false);
}

// Stores the command line's device choice: the shared device's settings, or the
// chosen instance's own device (keeping its channels, 1 and 2 when unset).
bool Application::apply_setup() {
    const DeviceSetup& setup = options_.setup;
    if (const std::string why = check_setup(setup); !why.empty()) {
        log_event(log_who, why);
        return false;
    }
    if (shared_mode()) {
        if (!setup.instance.empty()) {
            log_event(log_who, "--instance needs one device per instance (Interface 1); "
                               "with the shared device every instance uses it");
            return false;
        }
        DeviceSettings shared;
        shared.load_shared_device(persist_);
        shared.device = setup.device;
        shared.sample_rate = setup.rate_Hz;
        shared.frame_size = setup.frame_size;
        if (!shared.save_shared_device(persist_)) return false;
        log_event(log_who, "shared device set to \"" + setup.device + "\"");
        return true;
    }
    Instance* target = setup.instance.empty() ? current() : find(setup.instance);
    if (!target) {
        log_event(log_who, "there is no instance \"" + setup.instance + "\"");
        return false;
    }
    DeviceSettings settings = target->device_settings();
    settings.device = setup.device;
    settings.sample_rate = setup.rate_Hz;
    settings.frame_size = setup.frame_size;
    for (uint32_t* channel : {&settings.input_l, &settings.output_l})
        if (*channel == 0) *channel = 1;
    for (uint32_t* channel : {&settings.input_r, &settings.output_r})
        if (*channel == 0) *channel = 2;
    // The operator at the machine may set this up even while the settings are
    // locked for the web interface.
    const bool was_unlocked = target->unlocked();
    target->set_unlocked(true);
    const bool ok = target->set_device_settings(settings);
    target->set_unlocked(was_unlocked);
    if (ok) log_event(target->name(), "device set to \"" + setup.device + "\"");
    return ok;
}

// Opens the driver system and, with one device for all instances, the shared
// device (when one is configured). Instances are put on it by start_device.
bool Application::ensure_driver_layer() {
    if (layer_) return true;
    drivers_ = options_.drivers;
    if (!drivers_) {
        // JACK through libjack; ALSA cards through PortAudio.
        std::string error;
        auto portaudio = PortAudioSystem::open(error);
        if (!portaudio) log_event(log_who, "no ALSA sound cards: " + error);
        own_drivers_ = std::make_unique<SoundCards>(std::move(portaudio));
        drivers_ = own_drivers_.get();
    }
    layer_ = std::make_unique<DeviceLayer>(*drivers_);
    if (options_.watch_hotplug) {
        std::string error;
        DeviceLayer* layer = layer_.get();
        hotplug_ = HotplugWatcher::start(alsa_device_folder, [layer](const std::string&) { layer->device_added(); },
                                         error);
        if (!hotplug_) log_event(log_who, "sound cards that appear later are not noticed: " + error);
    }
    return true;
}

bool Application::open_sound_cards() {
    if (!ensure_driver_layer()) return false;
    if (shared_mode() && !shared_) {
        DeviceSettings settings;
        settings.load_shared_device(persist_);
        if (settings.device.empty()) return true;  // none configured: the virtual device
        std::string error;
        shared_ = layer_->open_shared(settings, error);
        if (!shared_) log_event(log_who, "the shared device is not used: " + error);
    }
    return true;
}

bool Application::add_instance(std::string_view name, bool make_current) {
    std::string error;
    auto instance = Instance::create(instances_, name, factory_, error);
    if (!instance) {
        log_event(name, "instance not created: " + error);
        return false;
    }
    try {
        entries_.insert(entries_.begin(), Entry{std::move(instance), nullptr, nullptr});
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (make_current) current_ = 0;
    else if (!entries_.empty() && entries_.size() > 1) ++current_;
    return true;
}

void Application::start_device(Entry& entry, bool with_output) {
    Instance& instance = *entry.instance;
    if (layer_ && shared_mode() && shared_) {
        if (shared_->attach(instance)) {
            // Closing the last instance stopped it; a new one starts it again.
            if (!shared_->status().running) shared_->start();
            return;
        }
        log_event(instance.name(), "the shared device has no room for another instance");
    } else if (layer_ && !shared_mode() && !instance.device_settings().device.empty()) {
        std::string error;
        entry.context = layer_->open_device(instance.device_settings(), instance, error);
        if (entry.context) return;
        log_event(instance.name(), "its sound card is not used: " + error);
    }
    start_virtual(entry, with_output);
}

// The embedded default: an instance without a sound card runs on the virtual device,
// at the command line's rate and block, or (one device per instance) at those of
// its own settings when they give them without a sound card.
void Application::start_virtual(Entry& entry, bool with_output) {
    VirtualDeviceConfig config = options_.device;
    if (!with_output) config.output.clear();
    const DeviceSettings& own = entry.instance->device_settings();
    if (!shared_mode() && own.device.empty() && valid_virtual_block(own.sample_rate, own.frame_size)) {
        if (own.sample_rate != config.sample_rate_Hz) config.input = options_.other_rate_input;
        config.sample_rate_Hz = own.sample_rate;
        config.frame_size = own.frame_size;
    }
    std::string error;
    entry.device = VirtualDevice::open(config, error);
    if (!entry.device || !entry.device->start(*entry.instance, error)) {
        entry.device.reset();
        log_event(entry.instance->name(), "sound device not started: " + error);
    }
}

void Application::stop_device(Entry& entry) {
    if (shared_) shared_->detach(*entry.instance);
    entry.context.reset();
    if (entry.device) entry.device->stop();
    entry.device.reset();
}

Application::Entry* Application::entry_of(const Instance& instance) {
    for (Entry& e : entries_)
        if (e.instance.get() == &instance) return &e;
    return nullptr;
}

// ---- Sound-card dialogs ----

std::vector<DriverDescription> Application::sound_devices() {
    if (!ensure_driver_layer()) return {};
    return drivers_->enumerate();
}

bool Application::device_attached(std::string_view name) {
    return !name.empty() && ensure_driver_layer() && drivers_->probe(name);
}

DeviceSettings Application::shared_device_settings() const {
    DeviceSettings settings;
    settings.load_shared_device(persist_);
    return settings;
}

CommandResult Application::apply_instance_device(Instance& instance, const DeviceSettings& settings) {
    if (auto r = check_unlocked(); !r.ok) return r;
    Entry* entry = entry_of(instance);
    if (!entry) return CommandResult::failure(messages::no_instance);
    if (!settings.device.empty()) {
        if (const std::string why = check_device_settings(settings, true); !why.empty())
            return CommandResult::failure("The device settings cannot be used: " + why);
        for (const Entry& other : entries_)
            if (other.instance.get() != &instance && other.instance->device_settings().device == settings.device)
                return CommandResult::failure(messages::device_in_use);
    }
    const bool per_instance = !shared_mode();
    if (per_instance) stop_device(*entry);
    const bool stored = instance.set_device_settings(settings);
    if (per_instance && options_.start_devices) {
        if (!settings.device.empty()) ensure_driver_layer();
        start_device(*entry, true);
    }
    if (!stored) return CommandResult::failure(messages::settings_not_stored);
    log_event(instance.name(), settings.device.empty() ? std::string("sound card removed")
                                                      : "sound card set to \"" + settings.device + "\"");
    return CommandResult::success();
}

CommandResult Application::apply_shared_device(const DeviceSettings& settings) {
    if (auto r = check_unlocked(); !r.ok) return r;
    if (!settings.device.empty()) {
        if (const std::string why = check_device_settings(settings, false); !why.empty())
            return CommandResult::failure("The device settings cannot be used: " + why);
    }
    const bool restart = shared_mode() && options_.start_devices;
    if (restart) {
        for (Entry& e : entries_) stop_device(e);
        shared_.reset();
    }
    if (!settings.save_shared_device(persist_)) return CommandResult::failure(messages::settings_not_stored);
    if (restart) {
        open_sound_cards();
        for (Entry& e : entries_) start_device(e, true);
    }
    log_event(log_who, settings.device.empty() ? std::string("shared sound card removed")
                                               : "shared sound card set to \"" + settings.device + "\"");
    return CommandResult::success();
}

CommandResult Application::apply_channels(Instance& instance, const ChannelMap& channels) {
    if (auto r = check_unlocked(); !r.ok) return r;
    for (uint32_t c : {channels.l_in, channels.r_in, channels.l_out, channels.r_out})
        if (c == 0 || c > 64) return CommandResult::failure("Channels are numbered from 1 to 64");
    if (!instance.set_channel_map(channels)) return CommandResult::failure(messages::settings_not_stored);
    if (shared_ && shared_->attached(instance)) shared_->update_channels(instance);
    return CommandResult::success();
}

CommandResult Application::set_interface_mode(uint32_t mode) {
    if (auto r = check_unlocked(); !r.ok) return r;
    const uint32_t wanted = mode == 0 ? 0 : 1;
    if ((desktop_.interface_mode == 0 ? 0u : 1u) == wanted) return CommandResult::success();
    if (options_.start_devices) {
        for (Entry& e : entries_) stop_device(e);
        shared_.reset();
    }
    desktop_.interface_mode = wanted;
    if (!save_main()) return CommandResult::failure(messages::settings_not_stored);
    if (options_.start_devices) {
        open_sound_cards();
        for (Entry& e : entries_) start_device(e, true);
    }
    log_event(log_who, wanted == 0 ? "one shared sound card for every instance" : "one sound card per instance");
    return CommandResult::success();
}

VirtualDevice* Application::device_of(const Instance* instance) {
    for (Entry& e : entries_)
        if (e.instance.get() == instance) return e.device.get();
    return nullptr;
}

DeviceContext* Application::sound_card_of(const Instance* instance) {
    for (Entry& e : entries_) {
        if (e.instance.get() != instance) continue;
        if (e.context) return e.context.get();
        if (shared_ && shared_->attached(*instance)) return shared_.get();
    }
    return nullptr;
}

std::string Application::device_status(const Instance* instance) {
    if (DeviceContext* card = sound_card_of(instance)) return card->status().text;
    if (VirtualDevice* virt = device_of(instance)) {
        const VirtualDeviceConfig& c = virt->config();
        return "Virtual device at " + std::to_string(c.sample_rate_Hz) + " Hz, " +
               std::to_string(c.frame_size) + " frames: running";
    }
    return "No sound device";
}

void Application::exit() {
    if (exited_) return;
    exited_ = true;
    if (Instance* cur = current()) main_.write_text("Saved_Inst_Name", cur->name());
    // Sound cards first: no restart from here on, then the shared device (its
    // instances detached) or each instance's own, then the virtual devices.
    if (layer_) layer_->begin_shutdown();
    hotplug_.reset();
    if (shared_) {
        shared_->stop();
        for (Entry& e : entries_) shared_->detach(*e.instance);
        shared_.reset();
    }
    for (Entry& e : entries_) stop_device(e);
    for (Entry& e : entries_) Instance::destroy(std::move(e.instance), false);
    entries_.clear();
    layer_.reset();
    own_drivers_.reset();
    save_window();
    save_main();
    log_event(log_who, "settings saved; exit");
}

std::vector<std::string> Application::instance_names() const {
    std::vector<std::string> names;
    for (const Entry& e : entries_) names.push_back(e.instance->name());
    return names;
}

Instance* Application::current() {
    return current_ < entries_.size() ? entries_[current_].instance.get() : nullptr;
}

Instance* Application::find(std::string_view name) {
    for (Entry& e : entries_)
        if (e.instance->name() == name) return e.instance.get();
    return nullptr;
}

CommandResult Application::select_instance(std::string_view name) {
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].instance->name() == name) {
            current_ = i;
            return CommandResult::success();
        }
    }
    return CommandResult::failure(messages::no_instance);
}

CommandResult Application::check_unlocked() const {
    return logged_on_ ? CommandResult::success() : CommandResult::failure(messages::locked);
}

CommandResult Application::check_name(std::string_view name) {
    if (name.empty()) return CommandResult::failure(messages::name_empty);
    if (name.size() > max_name_length) return CommandResult::failure(messages::name_too_long);
    if (name.find_first_of("/\\") != std::string_view::npos)
        return CommandResult::failure(messages::name_bad_character);
    if (!clean_user_text(name)) return CommandResult::failure(messages::name_not_text);
    return CommandResult::success();
}

CommandResult Application::new_instance(std::string_view name) {
    if (auto r = check_unlocked(); !r.ok) return r;
    if (entries_.size() >= max_instances) return CommandResult::failure(messages::max_instances);
    if (auto r = check_name(name); !r.ok) return r;
    if (find(name)) return CommandResult::failure(messages::duplicate_instance);
    if (!add_instance(name, true)) return CommandResult::failure(messages::instance_create_failed);
    Entry& entry = entries_.front();
    if (options_.start_devices) start_device(entry, false);
    entry.instance->set_unlocked(logged_on_);
    entry.instance->save_values();
    return CommandResult::success();
}

CommandResult Application::close_current_instance() {
    if (auto r = check_unlocked(); !r.ok) return r;
    if (current_ >= entries_.size()) return CommandResult::failure(messages::no_instance);
    Entry entry = std::move(entries_[current_]);
    // The last instance on the shared device stops it first.
    if (shared_ && entries_.size() == 1) shared_->stop();
    stop_device(entry);
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(current_));
    Instance::destroy(std::move(entry.instance), true);
    current_ = 0;  // the newest remaining
    return CommandResult::success();
}

CommandResult Application::rename_current_instance(std::string_view new_name) {
    if (auto r = check_unlocked(); !r.ok) return r;
    Instance* instance = current();
    if (!instance) return CommandResult::failure(messages::no_instance);
    if (auto r = check_name(new_name); !r.ok) return r;
    if (new_name == instance->name()) return CommandResult::success();
    if (find(new_name)) return CommandResult::failure(messages::duplicate_rename);
    if (!instances_.rename_subkey(instance->name(), new_name))
        return CommandResult::failure(messages::rename_failed);
    const std::string old_name = instance->name();
    instance->set_name(std::string(new_name));
    if (PlayerModule* player = instance->player()) player->instance_renamed(new_name);
    main_.write_text("Saved_Inst_Name", instance->name());
    log_event(instance->name(), "renamed from \"" + old_name + "\"");
    return CommandResult::success();
}

CommandResult Application::delete_old_settings() {
    if (auto r = check_unlocked(); !r.ok) return r;
    auto software = store_->root().open("Software");
    if (!software || !software->open("Torv") || !software->delete_subkey_tree("Torv"))
        return CommandResult::failure(messages::delete_old_failed);
    return CommandResult::success();
}

void Application::apply_lock_state() {
    for (Entry& e : entries_) e.instance->set_unlocked(logged_on_);
}

CommandResult Application::log_on(std::string_view password) {
    if (password_->has_password() && !password_->verify(password))
        return CommandResult::failure(messages::password_wrong);
    logged_on_ = true;
    apply_lock_state();
    log_event(log_who, "logged on");
    return CommandResult::success();
}

void Application::log_off() {
    logged_on_ = false;
    apply_lock_state();
    log_event(log_who, "logged off");
}

CommandResult Application::change_password(std::string_view old_password,
                                           std::string_view new_password, bool confirmed_delete) {
    if (auto r = check_unlocked(); !r.ok) return r;
    if (old_password.size() > max_password_length || new_password.size() > max_password_length)
        return CommandResult::failure(messages::password_too_long);
    const bool old_matches = password_->has_password() ? password_->verify(old_password)
                                                       : old_password.empty();
    if (!old_matches) return CommandResult::failure(messages::password_wrong);
    if (!new_password.empty()) {
        if (!password_is_strong(new_password))
            return CommandResult::failure(messages::password_not_strong);
        if (!password_->set(new_password))
            return CommandResult::failure(messages::password_change_failed);
        log_event(log_who, "password changed");
        return CommandResult::success();
    }
    if (!confirmed_delete) {
        CommandResult ask = CommandResult::failure(messages::password_delete_question,
                                                   messages::password_delete_title);
        ask.needs_confirmation = true;
        return ask;
    }
    if (!password_->remove()) return CommandResult::failure(messages::password_delete_failed);
    log_event(log_who, "password deleted");
    return CommandResult::success();
}

bool Application::save_main() {
    SettingsStore::Transaction transaction(*store_);
    return main_.write_dword("UseSysTray", desktop_.use_sys_tray) &&
           main_.write_dword("Confirm_Exit", desktop_.confirm_exit) &&
           main_.write_dword("Interface", desktop_.interface_mode) &&
           main_.write_dword("RunAtStartup", desktop_.run_at_startup) &&
           main_.write_dword("StartMinimized", desktop_.start_minimized) && transaction.commit();
}

bool Application::save_window() {
    SettingsStore::Transaction transaction(*store_);
    return window_key_.write_dword("X", window_.x) && window_key_.write_dword("Y", window_.y) &&
           window_key_.write_dword("W", window_.w) && window_key_.write_dword("H", window_.h) &&
           window_key_.write_dword("Zoomed", window_.zoomed) && transaction.commit();
}

CommandResult Application::toggle_minimize_to_tray() {
    if (auto r = check_unlocked(); !r.ok) return r;
    desktop_.use_sys_tray = !desktop_.use_sys_tray;
    save_main();
    return CommandResult::success();
}

CommandResult Application::toggle_confirm_exit() {
    if (auto r = check_unlocked(); !r.ok) return r;
    desktop_.confirm_exit = !desktop_.confirm_exit;
    save_main();
    return CommandResult::success();
}

CommandResult Application::toggle_start_minimized() {
    if (auto r = check_unlocked(); !r.ok) return r;
    desktop_.start_minimized = !desktop_.start_minimized;
    save_main();
    return CommandResult::success();
}

bool Application::write_autostart(bool enable) {
    const std::filesystem::path file = options_.autostart_dir / autostart_file;
    std::error_code ec;
    if (!enable) {
        std::filesystem::remove(file, ec);
        return !ec;
    }
    std::filesystem::create_directories(options_.autostart_dir, ec);
    std::ofstream out(file, std::ios::trunc);
    out << "[Desktop Entry]\nType=Application\nName=Torvalen\nComment=Torvalen\nExec=\""
        << options_.program.string() << "\" --home \"" << options_.home.string()
        << "\"\nTerminal=false\n";
    return static_cast<bool>(out.flush());
}

CommandResult Application::toggle_run_at_startup() {
    if (auto r = check_unlocked(); !r.ok) return r;
    desktop_.run_at_startup = !desktop_.run_at_startup;
    save_main();
    if (!write_autostart(desktop_.run_at_startup != 0))
        log_event(log_who, "cannot update the autostart entry in " + options_.autostart_dir.string());
    return CommandResult::success();
}

CommandResult Application::set_window_placement(const WindowPlacement& placement) {
    window_ = placement;
    save_window();
    return CommandResult::success();
}

CommandResult Application::request_exit(bool confirmed) const {
    if (!logged_on_) return CommandResult::failure(messages::locked);
    if (desktop_.confirm_exit && !confirmed) {
        CommandResult ask = CommandResult::failure(messages::exit_question, messages::exit_title);
        ask.needs_confirmation = true;
        return ask;
    }
    return CommandResult::success();
}

}  // namespace torvalen
