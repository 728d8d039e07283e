// The module set of the torvalen program: which module fills each slot of an
// instance. Modules not listed here leave their slot empty.
#pragma once

#include <filesystem>

#include "engine/module.h"

namespace torvalen {

struct StandardModuleOptions {
    // The data folder (playlists, rotations, the default now-playing file); empty:
    // the user's ($XDG_DATA_HOME/torvalen).
    std::filesystem::path data_folder;
    // Offline work (a render): nothing starts by itself and nothing leaves the
    // machine. No now-playing source starts, the link receiver does not listen, and
    // the slots of the link sender and the stream sender stay empty: they only take
    // audio away, to a transmitter or a server. (The analyser stays: its generator
    // may be the programme's source.)
    bool offline = false;
};

class StandardModules final : public ModuleFactory {
public:
    StandardModules() = default;
    explicit StandardModules(StandardModuleOptions options) : options_(std::move(options)) {}

    // The folder of the factory presets offered to each processor's preset bar
    // (by default none).
    void offer_factory_presets(std::filesystem::path folder) { factory_presets_ = std::move(folder); }

    std::unique_ptr<NowPlayingModule> create_now_playing(Instance& instance, SettingsKey instance_key,
                                                         uint32_t& error) override;
    std::unique_ptr<SoundInModule> create_sound_in(Instance& instance, SettingsKey instance_key,
                                                   uint32_t& error) override;
    std::unique_ptr<PlayerModule> create_player(Instance& instance, SettingsKey instance_key,
                                                uint32_t& error) override;
    std::unique_ptr<ProcessorModule> create_processor(ProcessorType type, Instance& instance,
                                                      SettingsKey instance_key, uint32_t& error) override;
    std::unique_ptr<BusModule> create_sound_out(Instance& instance, SettingsKey instance_key,
                                                uint32_t& error) override;
    std::unique_ptr<BusModule> create_stream_tx(Instance& instance, SettingsKey instance_key,
                                                uint32_t& error) override;
    std::unique_ptr<AnalyserModule> create_analyser(Instance& instance, SettingsKey instance_key,
                                                    uint32_t& error) override;
    std::unique_ptr<StlRxModule> create_stl_rx(Instance& instance, SettingsKey instance_key,
                                               uint32_t& error) override;
    std::unique_ptr<BusModule> create_stl_tx(Instance& instance, SettingsKey instance_key,
                                             uint32_t& error) override;

private:
    StandardModuleOptions options_;
    std::filesystem::path factory_presets_;
};

}  // namespace torvalen
