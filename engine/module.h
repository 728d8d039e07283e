// The module contract: what every module of an instance offers the engine and the
// application, and the factory through which an instance builds its modules.
//
// A module is created by the factory (its constructor opens its settings key and
// reads its settings), called once per block on the engine thread, and destroyed
// by the instance; destruction saves its settings. Modules that change settings
// outside destruction (an Apply, a toggle) write them at once through their key
// (see save_settings), so a crash never loses what the user set.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/buses.h"
#include "engine/settings_store.h"

namespace torvalen {

class Instance;
namespace params {
class PresetBar;
}

class Module {
public:
    virtual ~Module() = default;

    // Clears meter display state; called at engine start and stop.
    virtual void clear_meters() {}
    // Whether anybody can see the module's meters. Offline work (a render) has no
    // display: a module whose meters only feed the display may then skip measuring.
    // What it outputs never changes. Called before the engine starts.
    virtual void set_meters_shown(bool shown) {}
    // Enables (true) or disables every parameter, preset and default command.
    virtual void set_unlocked(bool unlocked) {}
    // Writes the module's settings to its key now.
    virtual void save_settings() {}
    // Called just before the module is destroyed as part of closing its instance
    // for good (its settings key is deleted afterwards): it may delete files it
    // owns, such as saved lists.
    virtual void prepare_delete() {}
    // The instance now goes by `new_name` (files named after it follow).
    virtual void instance_renamed(std::string_view new_name) {}
    // The module's preset bar, for modules that keep presets (nullptr otherwise).
    virtual params::PresetBar* module_presets() { return nullptr; }
};

// Per-block shapes. Each call runs on the engine thread inside the cycle; it must
// not allocate, block on I/O or wait on a lock a slow thread may hold.

class SoundInModule : public Module {
public:
    // Meters bus 0; never writes it.
    virtual void measure(std::span<const float> bus0, uint32_t rate_Hz, bool tick) = 0;
};

class StlRxModule : public Module {
public:
    virtual void fill(std::span<float> bus2, bool tick) = 0;
};

class PlayerModule : public Module {
public:
    // The Player's "Play" setting; when off the engine zero-fills bus 1.
    virtual bool play_on() const = 0;
    virtual void mix(std::span<float> bus1) = 0;
};

// Processor, Sound Out, Stream TX and STL TX: read the bus named by their
// "Input Select" and write nothing but their own output.
class BusModule : public Module {
public:
    virtual void process(const Buses& buses, bool tick) = 0;
};

class ProcessorModule : public BusModule {
public:
    // Latency in samples at 48 kHz.
    virtual uint32_t latency_samples() const = 0;
};

// The Analyser also owns the signal generator that fills bus 3.
class AnalyserModule : public BusModule {
public:
    virtual void generate(std::span<float> bus3) = 0;
};

// The outputs that take the now-playing text, each behind its own switch.
enum class NowPlayingOutput : uint32_t { rds = 0, streaming = 1, stl = 2 };

struct NowPlayingText {
    std::string artist;  // empty when the text is one whole line
    std::string title;   // empty when the text is one whole line
    std::string text;    // artist " - " title, or the whole line
    bool operator==(const NowPlayingText&) const = default;
};

// The instance's Now Playing object as the other modules see it. It is created
// before every other module and destroyed after them, so a module may keep a
// pointer to it for its whole life.
class NowPlayingModule : public Module {
public:
    virtual bool auto_start() const = 0;
    virtual void start_listener() = 0;

    // Artist and title of the player's item that went live (any thread).
    virtual void player_title(std::string_view artist, std::string_view title) = 0;
    // Text received over the link: artist and title, or one text and no title.
    virtual void stl_title(std::string_view artist, std::string_view title) = 0;
    // Set while the processor's failsafe runs the player: lock-free, safe on the
    // engine thread.
    virtual void set_failsafe(bool on) = 0;

    // The current text for `output`: nothing while its switch is off or no text
    // is known. Takes the object's lock briefly; never call it on the engine thread.
    virtual std::optional<NowPlayingText> output_text(NowPlayingOutput output) const = 0;

    // Change notification for outputs that push (streams, link): `callback` runs
    // on the thread that changed the text, with the new text, or with nothing when
    // the output's switch went off or the text was cleared. Calls are serialised.
    // A callback must be quick, must not wait on another thread and must not call
    // back into subscribe/unsubscribe. unsubscribe returns after a call in
    // progress has finished, so the subscriber may then be destroyed.
    using Callback = std::function<void(const std::optional<NowPlayingText>&)>;
    virtual uint64_t subscribe(NowPlayingOutput output, Callback callback) = 0;
    virtual void unsubscribe(uint64_t id) = 0;
};

// Processor types, stored as `ProcType`.
enum ProcessorType : uint32_t { processor_five = 0, processor_one = 1 };

// Builds the modules of one instance. A module that does not exist in this build
// is returned as nullptr with `error` untouched; a module that fails to build sets
// bit 0 of `error` (the error word) and the instance is then torn down.
class ModuleFactory {
public:
    virtual ~ModuleFactory() = default;
    virtual std::unique_ptr<NowPlayingModule> create_now_playing(Instance&, SettingsKey, uint32_t& error) { return nullptr; }
    virtual std::unique_ptr<SoundInModule> create_sound_in(Instance&, SettingsKey, uint32_t& error) { return nullptr; }
    virtual std::unique_ptr<PlayerModule> create_player(Instance&, SettingsKey, uint32_t& error) { return nullptr; }
    virtual std::unique_ptr<StlRxModule> create_stl_rx(Instance&, SettingsKey, uint32_t& error) { return nullptr; }
    virtual std::unique_ptr<BusModule> create_sound_out(Instance&, SettingsKey, uint32_t& error) { return nullptr; }
    virtual std::unique_ptr<BusModule> create_stream_tx(Instance&, SettingsKey, uint32_t& error) { return nullptr; }
    virtual std::unique_ptr<BusModule> create_stl_tx(Instance&, SettingsKey, uint32_t& error) { return nullptr; }
    virtual std::unique_ptr<AnalyserModule> create_analyser(Instance&, SettingsKey, uint32_t& error) { return nullptr; }
    virtual std::unique_ptr<ProcessorModule> create_processor(ProcessorType, Instance&, SettingsKey, uint32_t& error) { return nullptr; }
};

}  // namespace torvalen
