#include "app/standard_modules.h"

#include "broadcast/sound_out.h"
#include "measure/analyser.h"

namespace torvalen {

std::unique_ptr<BusModule> StandardModules::create_sound_out(Instance&, SettingsKey instance_key,
                                                             uint32_t& error) {
    return broadcast::SoundOut::create(instance_key, error);
}

std::unique_ptr<AnalyserModule> StandardModules::create_analyser(Instance&, SettingsKey instance_key,
                                                                 uint32_t& error) {
    return measure::Analyser::create(instance_key, error);
}

}  // namespace torvalen
