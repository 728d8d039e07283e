#include "app/standard_modules.h"

#include "app/command_line.h"
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
#include "player/player.h"

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

std::unique_ptr<PlayerModule> StandardModules::create_player(Instance& instance, SettingsKey instance_key,
                                                             uint32_t& error) {
    player::PlayerOptions options;
    options.data_folder = options_.data_folder.empty() ? data_folder({}) : options_.data_folder;
    options.instance_name = instance.name();
    options.now_playing = instance.now_playing();  // created first, destroyed last
    return player::Player::create(instance_key, error, std::move(options));
}

std::unique_ptr<ProcessorModule> StandardModules::create_processor(ProcessorType type, Instance& instance,
                                                                   SettingsKey instance_key, uint32_t& error) {
    std::unique_ptr<dsp::ChainProcessor> processor;
    if (type == processor_five)
        processor = dsp::ProcessorFive::create(instance_key, error, factory_presets_);
    else
        processor = dsp::ProcessorOne::create(instance_key, error, factory_presets_);
    // The silence detector starts and stops the instance's player. The player is
    // created before the processor and destroyed after it.
    if (processor)
        if (auto* p = dynamic_cast<player::Player*>(instance.player()))
            processor->failsafe_hand_off().player.store(p, std::memory_order_release);
    return processor;
}

std::unique_ptr<BusModule> StandardModules::create_sound_out(Instance& instance, SettingsKey instance_key,
                                                             uint32_t& error) {
    broadcast::SoundOutOptions options;
    options.now_playing = instance.now_playing();  // created first, destroyed last
    return broadcast::SoundOut::create(instance_key, error, options);
}

std::unique_ptr<BusModule> StandardModules::create_stream_tx(Instance& instance, SettingsKey instance_key,
                                                             uint32_t& error) {
    if (options_.offline) return nullptr;
    stream::StreamTxOptions options;
    options.now_playing = instance.now_playing();  // created first, destroyed last
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
    options.listen_at_startup_allowed = !options_.offline;
    return stl::StlRx::create(instance_key, error, options);
}

std::unique_ptr<BusModule> StandardModules::create_stl_tx(Instance& instance, SettingsKey instance_key,
                                                          uint32_t& error) {
    if (options_.offline) return nullptr;
    stl::StlTxOptions options;
    options.now_playing = instance.now_playing();
    return stl::StlTx::create(instance_key, error, options);
}

}  // namespace torvalen
