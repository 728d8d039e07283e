#include "app/standard_modules.h"

#include "broadcast/sound_out.h"
#include "dsp/processor_five.h"
#include "dsp/processor_one.h"
#include "engine/instance.h"
#include "measure/sound_in.h"
#include "measure/analyser.h"
#include "nowplaying/now_playing.h"
#include "stl/stl_rx.h"
#include "stl/stl_tx.h"
#include "stream/stream_tx.h"

namespace torvalen {

std::unique_ptr<NowPlayingModule> StandardModules::create_now_playing(Instance&, SettingsKey instance_key,
                                                                      uint32_t& error) {
    nowplaying::NowPlayingOptions options;
    if (!options_.data_folder.empty()) options.default_file = options_.data_folder / "nowplaying.txt";
    options.auto_start_allowed = !options_.offline;
    return nowplaying::NowPlaying::create(instance_key, error, options);
}

std::unique_ptr<SoundInModule> StandardModules::create_sound_in(Instance&, SettingsKey instance_key,
                                                                uint32_t& error) {
    return measure::SoundIn::create(instance_key, error);
}

std::unique_ptr<ProcessorModule> StandardModules::create_processor(ProcessorType type, Instance&,
                                                                   SettingsKey instance_key, uint32_t& error) {
    if (type == processor_five) return dsp::ProcessorFive::create(instance_key, error);
    return dsp::ProcessorOne::create(instance_key, error);
}

std::unique_ptr<BusModule> StandardModules::create_sound_out(Instance& instance, SettingsKey instance_key,
                                                             uint32_t& error) {
    broadcast::SoundOutOptions options;
    options.now_playing = instance.now_playing();  // created first, destroyed last
    return broadcast::SoundOut::create(instance_key, error, options);
}

std::unique_ptr<BusModule> StandardModules::create_stream_tx(Instance& instance, SettingsKey instance_key,
                                                             uint32_t& error) {
    stream::StreamTxOptions options;
    options.now_playing = instance.now_playing();  // created first, destroyed last
    options.allow_auto_start = !options_.offline;   // offline rendering streams nothing
    return stream::StreamTx::create(instance_key, error, options);
}

std::unique_ptr<AnalyserModule> StandardModules::create_analyser(Instance&, SettingsKey instance_key,
                                                                 uint32_t& error) {
    return measure::Analyser::create(instance_key, error);
}

std::unique_ptr<StlRxModule> StandardModules::create_stl_rx(Instance& instance, SettingsKey instance_key,
                                                             uint32_t& error) {
    stl::StlRxOptions options;
    options.now_playing = instance.now_playing();  // created first, destroyed last
    return stl::StlRx::create(instance_key, error, options);
}

std::unique_ptr<BusModule> StandardModules::create_stl_tx(Instance& instance, SettingsKey instance_key,
                                                          uint32_t& error) {
    stl::StlTxOptions options;
    options.now_playing = instance.now_playing();
    return stl::StlTx::create(instance_key, error, options);
}

}  // namespace torvalen
