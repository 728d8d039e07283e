// The module set of the torvalen program: which module fills each slot of an
// instance. Modules not listed here leave their slot empty.
#pragma once

#include "engine/module.h"

namespace torvalen {

class StandardModules final : public ModuleFactory {
public:
    std::unique_ptr<NowPlayingModule> create_now_playing(Instance& instance, SettingsKey instance_key,
                                                         uint32_t& error) override;
    std::unique_ptr<SoundInModule> create_sound_in(Instance& instance, SettingsKey instance_key,
                                                   uint32_t& error) override;
    std::unique_ptr<ProcessorModule> create_processor(ProcessorType type, Instance& instance,
                                                      SettingsKey instance_key, uint32_t& error) override;
    std::unique_ptr<BusModule> create_sound_out(Instance& instance, SettingsKey instance_key,
                                                uint32_t& error) override;
    std::unique_ptr<AnalyserModule> create_analyser(Instance& instance, SettingsKey instance_key,
                                                    uint32_t& error) override;
};

}  // namespace torvalen
