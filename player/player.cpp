#include "player/player.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

#include "engine/log.h"
#include "engine/text.h"

namespace torvalen::player {

namespace {

constexpr uint32_t ring_back(uint32_t index) { return index >= 2 ? index - 2 : ring_floats - 2; }

bool loud(const float* frame, float threshold) {
    return std::max(std::fabs(frame[0]), std::fabs(frame[1])) > threshold;
}

// A few tries at a lock that its other users hold for a handful of instructions;
// never a wait.
bool try_lock_briefly(std::mutex& m) {
    for (int i = 0; i < 64; ++i) {
        if (m.try_lock()) return true;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    return false;
}

}  // namespace

const std::array<const char*, mode_count> mode_texts = {
    "Play and discard",
    "Repeating simple playlist",
    "Multiple playlist rotation",
    "Failsafe repeating simple playlist",
    "Failsafe muliple playlist rotation",
    "Failsafe simple playlist with random start",
};

const char* deck_state_word(uint32_t state) {
    static constexpr const char* words[] = {"EMPTY", "CUED", "PLAYING", "OVERLAP", "END", "FADE", "SEEK"};
    return state < std::size(words) ? words[state] : "";
}

uint32_t deck_state_colour(uint32_t state) {
    if (state == deck_empty) return 0x4040FF;
    if (state == deck_playing) return 0x40FF40;
    return 0x40FFFF;
}

uint32_t process_random() {
    static std::mutex m;
    static std::minstd_rand generator(static_cast<uint32_t>(
        std::chrono::system_clock::now().time_since_epoch().count()));
    std::lock_guard lock(m);
    return static_cast<uint32_t>(generator());
}

// ---- Deck ----

Deck::Deck(Player& player, uint32_t index)
    : player_(player),
      index_(index),
      // Neither is cleared: the engine reads only ring frames the deck thread has
      // written, and the decoder fills the scratch block before it is read. Left
      // untouched, their pages come only when the deck thread first writes them
      // (most instances never play a file).
      ring_(std::make_unique_for_overwrite<float[]>(ring_floats)),
      scratch_(std::make_unique_for_overwrite<float[]>(scratch_floats)) {}

Deck::~Deck() { stop_thread(); }

bool Deck::start_thread() {
    try {
        thread_ = std::thread([this] { thread_main(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void Deck::stop_thread() {
    if (!thread_.joinable()) return;
    events_.signal(ev_stop);
    thread_.join();
}

void Deck::thread_main() {
    const uint32_t mask = (1u << ev_stop) | (1u << ev_reload) | (1u << ev_refill) | (1u << ev_now_playing);
    for (;;) {
        switch (events_.wait_any(mask)) {
            case ev_stop: return;
            case ev_reload: reload(); break;
            case ev_refill: refill(); break;
            case ev_now_playing: send_now_playing(); break;
        }
    }
}

void Deck::take_frame() {
    read_ += 2;
    if (read_ >= ring_floats) read_ = 0;
    played_ += 2;
    fill_ -= 2;
    if (++tick_counter_ >= tick_frames) {
        tick_counter_ = 0;
        player_.bump();  // the position bar moves
    }
}

void Deck::mix_block(std::span<float> out) {
    bool gave = false;  // a frame came from a deck that may still need refilling
    const size_t frames = out.size() / 2;
    for (size_t f = 0; f < frames; ++f) {
        float* o = out.data() + 2 * f;
        const float* x = ring_.get() + read_;
        const uint32_t s = state_.load(std::memory_order_relaxed);
        if (s != deck_playing && s != deck_overlap && s != deck_fade) break;
        if (fill_ == 0 || (s == deck_overlap && level_ < overlap_floor)) {
            set_state(deck_end);
            player_.signal_deck_ended();
            break;
        }
        const bool at_end = end_flag_ && read_ == audible_end_;
        if (s == deck_playing) {
            o[0] += x[0];
            o[1] += x[1];
            if (at_end) {
                set_state(deck_overlap);
                player_.bump();
            } else {
                gave = true;
            }
        } else {
            o[0] += x[0] * level_;
            o[1] += x[1] * level_;
            level_ -= level_ * fade_step;
            gave = true;
            if (s == deck_fade && (at_end || level_ < fade_to_overlap)) {
                set_state(deck_overlap);
                player_.bump();
            }
        }
        take_frame();
    }
    // One request per block is enough: the deck thread fills up to the top.
    if (gave && !end_flag_ && fill_ <= refill_at) events_.signal(ev_refill);
}

bool Deck::ring_write(std::span<const float> block) {
    const uint32_t n = static_cast<uint32_t>(block.size());
    uint32_t w = 0;
    {
        std::lock_guard lock(state_mutex_);
        if (ring_floats - fill_ < n) return false;
        w = write_;
    }
    // The free part of the ring belongs to the writer: copy without the lock.
    const uint32_t first = std::min(n, ring_floats - w);
    std::memcpy(ring_.get() + w, block.data(), first * sizeof(float));
    std::memcpy(ring_.get(), block.data() + first, (n - first) * sizeof(float));
    std::lock_guard lock(state_mutex_);
    write_ = (w + n) % ring_floats;
    fill_ += n;
    return true;
}

int Deck::fill_ring() {
    for (;;) {
        {
            std::lock_guard lock(state_mutex_);
            if (fill_ > refill_at) return 1;
        }
        const BlockResult r = ReadBlock(*decoder_, std::span<float>(scratch_.get(), scratch_floats));
        if (r.result < 0) return -1;
        if (r.count > 0) ring_write(std::span<const float>(scratch_.get(), r.count));
        if (r.result == 0) return 0;
    }
}

void Deck::finish_item() {
    uint32_t w, start, fill;
    uint64_t audible;
    {
        std::lock_guard lock(state_mutex_);
        w = write_;
        start = read_;
        fill = fill_;
        audible = audible_length_;
    }
    // Walk back from the newest frame over the trailing quiet part. Only this
    // thread writes the ring, and the engine only consumes from the other end.
    uint32_t end = start;
    uint32_t pos = w;
    for (uint32_t frames = fill / 2; frames > 0; --frames) {
        const uint32_t prev = ring_back(pos);
        if (loud(ring_.get() + prev, audible_threshold)) {
            end = prev;
            break;
        }
        audible = audible >= 2 ? audible - 2 : 0;
        pos = prev;
    }
    std::lock_guard lock(state_mutex_);
    // When the engine has already passed that point during the walk, the end is
    // where it is now.
    const uint32_t consumed = fill - fill_;
    const uint32_t distance = (end + ring_floats - start) % ring_floats;
    if (consumed > distance) end = read_;
    audible_end_ = end;
    audible_length_ = audible;
    end_flag_ = true;
}

void Deck::release_item() {
    {
        std::lock_guard lock(state_mutex_);
        write_ = read_ = fill_ = audible_end_ = 0;
        end_flag_ = false;
        level_ = 1.0f;
        played_ = lead_in_ = audible_length_ = full_length_ = 0;
        tick_counter_ = 0;
        set_state(deck_empty);
    }
    CloseDecoder(decoder_);
    info_ = ItemInfo{};
    if (!path_.empty()) player_.lists_->item_released(path_);
    path_.clear();
    display_name_.clear();
    player_.bump();
}

bool Deck::cue(std::string path) {
    std::lock_guard decoder_lock(decoder_mutex_);
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        player_.lists_->item_released(path);
        return false;
    }
    path_ = std::move(path);
    display_name_ = display_path(std::filesystem::path(path_.substr(slash + 1)));
    decoder_ = OpenDecoder(path_, info_);
    auto fail = [&] {
        release_item();
        return false;
    };
    if (!decoder_) return fail();
    {
        std::lock_guard lock(state_mutex_);
        full_length_ = audible_length_ = GetLength(*decoder_);
        played_ = 0;
        tick_counter_ = 0;
        write_ = read_ = fill_ = audible_end_ = 0;
        end_flag_ = false;
        level_ = 1.0f;
    }
    // Skip the lead-in: everything before the first frame above -60 dB.
    uint64_t played = 0;
    bool ended = false;
    for (;;) {
        const BlockResult r = ReadBlock(*decoder_, std::span<float>(scratch_.get(), scratch_floats));
        if (r.result < 0) return fail();
        size_t first = r.count;
        for (size_t i = 0; i + 1 < r.count; i += 2) {
            if (loud(scratch_.get() + i, lead_in_threshold)) {
                first = i;
                break;
            }
            played += 2;
        }
        if (first < r.count) {
            ring_write(std::span<const float>(scratch_.get() + first, r.count - first));
            ended = r.result == 0;
            break;
        }
        if (r.result == 0) return fail();  // nothing audible in the whole item
    }
    {
        std::lock_guard lock(state_mutex_);
        lead_in_ = played_ = played;
    }
    if (!ended) {
        const int r = fill_ring();
        if (r < 0) return fail();
        ended = r == 0;
    }
    if (ended) finish_item();
    set_state(deck_cued);
    player_.bump();
    return true;
}

void Deck::reload() {
    std::lock_guard decoder_lock(decoder_mutex_);
    if (!decoder_ || state() != deck_seek) return;
    {
        std::lock_guard lock(state_mutex_);
        audible_length_ = full_length_;
        write_ = read_ = fill_ = audible_end_ = 0;
        end_flag_ = false;
        level_ = 1.0f;
    }
    const int r = fill_ring();
    if (r < 0) {
        set_state(deck_end);
        player_.note_problem("Decoding error, item ended: " + display_name_);
        player_.signal_deck_ended();
    } else if (r == 0) {
        finish_item();
        set_state(deck_overlap);
    } else {
        set_state(deck_playing);
    }
    player_.bump();
}

void Deck::refill() {
    std::lock_guard decoder_lock(decoder_mutex_);
    if (!decoder_) return;
    {
        std::lock_guard lock(state_mutex_);
        if (end_flag_) return;
    }
    const uint32_t s = state();
    if (s != deck_playing && s != deck_overlap && s != deck_fade && s != deck_cued) return;
    const int r = fill_ring();
    if (decoder_->kind() == DecoderKind::ogg || decoder_->kind() == DecoderKind::mp3) {
        // Their length estimate improves as the bit-rate average settles.
        const uint64_t length = GetLength(*decoder_);
        std::lock_guard lock(state_mutex_);
        full_length_ = audible_length_ = length;
    }
    if (r == 0) finish_item();
    if (r < 0) {
        // A decoding error ends the item as if its ring had run out.
        {
            std::lock_guard lock(state_mutex_);
            set_state(deck_end);
        }
        player_.note_problem("Decoding error, item ended: " + display_name_);
        player_.signal_deck_ended();
    }
    player_.bump();
}

void Deck::send_now_playing() {
    NowPlayingModule* np = player_.options_.now_playing;
    if (!np) return;
    std::lock_guard decoder_lock(decoder_mutex_);
    if (!decoder_) return;
    if (info_.artist && info_.title)
        np->player_title(*info_.artist, *info_.title);
    else
        np->player_title("Unknown Artist", "Unknown Title");
}

DeckView Deck::view() {
    DeckView v;
    std::lock_guard decoder_lock(decoder_mutex_);
    uint32_t s;
    {
        std::lock_guard lock(state_mutex_);
        s = state();
        v.played = played_;
        v.lead_in = lead_in_;
        v.audible_length = audible_length_;
    }
    v.state = s;
    if (s == deck_empty || !decoder_) return v;
    v.title = info_.artist && info_.title ? *info_.artist + " - " + *info_.title : display_name_;
    const uint64_t elapsed = std::min(v.audible_length, v.played) - std::min(v.lead_in, std::min(v.audible_length, v.played));
    const uint64_t total = v.audible_length > v.lead_in ? v.audible_length - v.lead_in : 0;
    v.position = total ? static_cast<float>(static_cast<double>(elapsed) / static_cast<double>(total)) : 0.0f;
    const uint64_t es = elapsed / 96000, ts = total / 96000;
    const uint32_t kbps = (decoder_->bit_rate() + 500) / 1000;
    v.information = text::build("un3 s un2 s un3 s un2 s s s u s u s",
                                {es / 60, ":", es % 60, " / ", ts / 60, ":", ts % 60, "   ", info_.kind_name, "  ",
                                 info_.source_rate, info_.channels == 1 ? "Hz Mono " : "Hz Stereo ", kbps, "kB/s"})
                        .value_or("");
    return v;
}

// ---- Player ----

Player::Player(SettingsKey key, PlayerOptions options) : key_(key), options_(std::move(options)) {}

std::unique_ptr<Player> Player::create(const SettingsKey& instance_key, uint32_t& error, PlayerOptions options) {
    const auto key = instance_key.create(player_key_name);
    if (!key) {
        error |= 1;
        return nullptr;
    }
    std::unique_ptr<Player> p(new Player(*key, std::move(options)));
    p->load_settings();
    p->lists_ = std::make_unique<PlayerLists>(*key, p->options_.data_folder, p->options_.instance_name);
    for (uint32_t i = 0; i < deck_count; ++i) p->decks_[i] = std::make_unique<Deck>(*p, i);
    if (!p->start()) {
        error |= 1;
        return nullptr;
    }
    return p;
}

bool Player::start() {
    for (auto& d : decks_)
        if (!d->start_thread()) return false;
    try {
        control_thread_ = std::thread([this] { control_main(); });
    } catch (const std::system_error&) {
        return false;
    }
    control_events_.signal(ev_load);
    return true;
}

Player::~Player() {
    if (control_thread_.joinable()) {
        control_events_.signal(ev_quit);
        control_thread_.join();
    }
    for (auto& d : decks_)
        if (d) d->stop_thread();
    if (!deleted_) {
        write_settings();
        if (lists_) lists_->save_all();
    }
}

void Player::load_settings() {
    uint32_t v = 0;
    if (key_.read_dword_in("Mode", v) && v < mode_count) mode_.store(v);
    if (key_.read_dword_in("Play", v)) play_.store(v ? 1 : 0);
    // In the failsafe modes only the silence detector turns the player on; a Play
    // saved during a failsafe episode must not start the player at the next start.
    if (failsafe_mode(mode_.load())) play_.store(0);
    std::string path;
    if (key_.read_text_in("MusicPath", path) && !path.empty()) {
        music_path_ = path;
    } else {
        const char* home = std::getenv("HOME");
        music_path_ = home ? std::string(home) : "/";
        if (home && std::filesystem::is_directory(std::filesystem::path(home) / "Music"))
            music_path_ = (std::filesystem::path(home) / "Music").string();
    }
}

void Player::write_settings() {
    std::string path;
    {
        std::lock_guard lock(player_mutex_);
        path = music_path_;
    }
    SettingsStore::Transaction t(*key_.store());
    key_.write_dword_in("Mode", mode_.load());
    key_.write_dword_in("Play", play_.load());
    key_.write_text_in("MusicPath", path);
    t.commit();
}

void Player::save_settings() { write_settings(); }

void Player::prepare_delete() {
    deleted_ = true;
    lists_->delete_files();
}

// ---- Engine thread ----

void Player::mix(std::span<float> out) {
    std::fill(out.begin(), out.end(), 0.0f);
    const uint32_t order = order_.load(std::memory_order_acquire);
    unsigned live = 0, overlap = 0;
    Deck* cued = nullptr;
    for (uint32_t i = 0; i < deck_count; ++i) {
        Deck& d = *decks_[(order >> (8 * i)) & 0xFF];
        const uint32_t s = d.state();
        if (s == deck_playing || s == deck_fade || s == deck_seek)
            ++live;
        else if (s == deck_overlap)
            ++overlap;
        else if (s == deck_cued && !cued)
            cued = &d;
    }
    if (live == 0) {
        if (cued) {
            if (try_lock_briefly(cued->state_mutex_)) {
                if (cued->state() == deck_cued) {
                    cued->set_state(deck_playing);
                    cued->events_.signal(Deck::ev_now_playing);
                    bump();
                }
                cued->state_mutex_.unlock();
            }
        } else if (overlap == 0) {
            return;
        }
    }
    for (uint32_t i = 0; i < deck_count; ++i) {
        Deck& d = *decks_[(order >> (8 * i)) & 0xFF];
        const uint32_t s = d.state();
        if (s != deck_playing && s != deck_overlap && s != deck_fade) continue;
        // Its other users hold the lock for a few index updates only; a deck that
        // still finds it busy sits out this one block instead of waiting.
        if (!try_lock_briefly(d.state_mutex_)) continue;
        d.mix_block(out);
        d.state_mutex_.unlock();
    }
}

void Player::failsafe_start() {
    if (options_.now_playing) options_.now_playing->set_failsafe(true);
    uint32_t off = 0;
    if (failsafe_mode(mode()) && play_.compare_exchange_strong(off, 1, std::memory_order_acq_rel)) bump();
}

void Player::failsafe_stop() {
    if (options_.now_playing) options_.now_playing->set_failsafe(false);
    uint32_t on = 1;
    // Silence at once; emptying the decks and the cursor wait for the control thread.
    if (failsafe_mode(mode()) && play_.compare_exchange_strong(on, 0, std::memory_order_acq_rel)) {
        control_events_.signal(ev_failsafe_stop);
        bump();
    }
}

// ---- Control thread of the mixer ----

void Player::control_main() {
    const uint32_t mask = (1u << ev_quit) | (1u << ev_load) | (1u << ev_deck_ended) | (1u << ev_failsafe_stop);
    bool retry = false;
    for (;;) {
        unsigned ev = ev_load;
        if (retry) {
            // After a failed cue the next try comes after 500 ms, sooner on any event.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(cue_retry_ms);
            bool got = false;
            while (std::chrono::steady_clock::now() < deadline) {
                bool any = false;
                for (unsigned e = 0; e <= ev_failsafe_stop; ++e)
                    if (control_events_.is_set(e)) any = true;
                if (any) {
                    ev = control_events_.wait_any(mask);
                    got = true;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (!got) ev = ev_load;
        } else {
            ev = control_events_.wait_any(mask);
        }
        switch (ev) {
            case ev_quit: return;
            case ev_load: {
                std::lock_guard work(work_mutex_);
                retry = !load_decks();
                break;
            }
            case ev_deck_ended: {
                std::lock_guard work(work_mutex_);
                recycle_ended();
                retry = !load_decks();
                break;
            }
            case ev_failsafe_stop:
                handle_failsafe_stop();
                retry = false;
                break;
        }
    }
}

bool Player::load_decks() {
    const auto order = deck_order();
    for (uint32_t n : order) {
        Deck& d = *decks_[n];
        if (d.state() != deck_empty) continue;
        auto path = lists_->NextItem(mode());
        if (!path) return true;  // nothing to play: the deck stays EMPTY
        const std::string name = file_name_text(*path);
        if (!d.cue(std::move(*path))) {
            note_problem("Cannot play, skipped: " + name);
            return false;
        }
    }
    return true;
}

void Player::recycle_ended() {
    const auto order = deck_order();
    // One look at the states: the engine may end another deck meanwhile (that one
    // is recycled on its own deck-ended event).
    std::array<bool, deck_count> ended{};
    for (uint32_t n : order) ended[n] = decks_[n]->state() == deck_end;
    std::array<uint32_t, deck_count> next{};
    size_t k = 0;
    for (uint32_t n : order)
        if (!ended[n]) next[k++] = n;
    for (uint32_t n : order) {
        if (!ended[n]) continue;
        next[k++] = n;
        std::lock_guard decoder_lock(decks_[n]->decoder_mutex_);
        decks_[n]->release_item();
    }
    uint32_t packed = 0;
    for (uint32_t i = 0; i < deck_count; ++i) packed |= next[i] << (8 * i);
    order_.store(packed, std::memory_order_release);
    bump();
}

void Player::clear_all_locked() {
    for (auto& d : decks_) {
        std::lock_guard decoder_lock(d->decoder_mutex_);
        d->release_item();
    }
}

void Player::clear_all() {
    {
        std::lock_guard work(work_mutex_);
        clear_all_locked();
    }
    control_events_.signal(ev_load);
}

void Player::handle_failsafe_stop() {
    std::lock_guard lock(player_mutex_);
    {
        std::lock_guard work(work_mutex_);
        clear_all_locked();
    }
    set_cursor_for_mode(mode());
    control_events_.signal(ev_load);
}

void Player::set_cursor_for_mode(uint32_t mode) {
    if (mode == mode_failsafe_repeating || mode == mode_play_and_discard || mode == mode_repeating)
        lists_->set_cursor(0);
    else if (mode == mode_failsafe_random_start)
        lists_->set_cursor_random(process_random());
}

void Player::note_problem(std::string text) {
    log_event("Player", text);
    std::lock_guard lock(status_mutex_);
    status_ = std::move(text);
    bump();
}

std::string Player::status_text() const {
    std::lock_guard lock(status_mutex_);
    return status_;
}

std::array<uint32_t, deck_count> Player::deck_order() const {
    const uint32_t order = order_.load(std::memory_order_acquire);
    std::array<uint32_t, deck_count> out{};
    for (uint32_t i = 0; i < deck_count; ++i) out[i] = (order >> (8 * i)) & 0xFF;
    return out;
}

// ---- Application's control thread ----

bool Player::set_mode(uint32_t mode) {
    if (mode >= mode_count) return false;
    if (rotation_mode(mode) && lists_->rotations().empty()) return false;
    std::lock_guard lock(player_mutex_);
    const uint32_t old = mode_.load();
    if (mode == old) return true;
    auto clear = [this] {
        std::lock_guard work(work_mutex_);
        clear_all_locked();
    };
    switch (mode) {
        case mode_play_and_discard:
        case mode_repeating:
            if (rotation_mode(old)) clear();
            lists_->set_cursor(0);
            break;
        case mode_rotation: clear(); break;
        case mode_failsafe_repeating:
            clear();
            play_.store(0);
            lists_->set_cursor(0);
            break;
        case mode_failsafe_rotation:
            clear();
            play_.store(0);
            break;
        case mode_failsafe_random_start:
            clear();
            play_.store(0);
            lists_->set_cursor_random(process_random());
            break;
    }
    mode_.store(mode);
    control_events_.signal(ev_load);
    bump();
    SettingsStore::Transaction t(*key_.store());
    key_.write_dword_in("Mode", mode);
    key_.write_dword_in("Play", play_.load());
    t.commit();
    return true;
}

uint32_t Player::dialog_mode() {
    const uint32_t m = mode();
    if (rotation_mode(m) && lists_->rotations().empty()) return 0;
    return m;
}

bool Player::press_play() {
    std::lock_guard lock(player_mutex_);
    if (failsafe_mode(mode())) return false;
    play_.store(1);
    key_.write_dword_in("Play", 1);
    bump();
    return true;
}

bool Player::press_stop() {
    std::lock_guard lock(player_mutex_);
    if (failsafe_mode(mode())) return false;
    play_.store(0);
    key_.write_dword_in("Play", 0);
    bump();
    return true;
}

bool Player::clear_deck(uint32_t n) {
    if (n >= deck_count) return false;
    Deck& d = *decks_[n];
    std::lock_guard lock(d.state_mutex_);
    if (d.state() == deck_playing) {
        d.set_state(deck_fade);
        bump();
        return true;
    }
    if (d.state() == deck_cued) {
        d.set_state(deck_end);
        signal_deck_ended();
        bump();
        return true;
    }
    return false;
}

bool Player::seek(uint32_t n, double fraction) {
    if (n >= deck_count || !(fraction >= 0.0 && fraction <= 1.0)) return false;
    Deck& d = *decks_[n];
    std::lock_guard decoder_lock(d.decoder_mutex_);
    if (!d.decoder_) return false;
    uint64_t lead_in, audible, full;
    {
        std::lock_guard lock(d.state_mutex_);
        if (d.state() != deck_playing) return false;
        d.set_state(deck_seek);
        lead_in = d.lead_in_;
        audible = d.audible_length_;
        full = d.full_length_;
    }
    const uint64_t span = audible > lead_in ? audible - lead_in : 0;
    uint64_t target = lead_in + static_cast<uint64_t>(fraction * static_cast<double>(span));
    target &= ~uint64_t{1};  // whole frames
    const uint64_t played = SeekDecoder(*d.decoder_, target, full);
    {
        std::lock_guard lock(d.state_mutex_);
        d.played_ = played;
    }
    d.events_.signal(Deck::ev_reload);
    bump();
    return true;
}

void Player::delete_all() {
    lists_->delete_list();
    clear_all();
}

std::string Player::music_path() const {
    std::lock_guard lock(player_mutex_);
    return music_path_;
}

void Player::set_music_path(std::string path) {
    {
        std::lock_guard lock(player_mutex_);
        music_path_ = std::move(path);
    }
    key_.write_text_in("MusicPath", music_path());
}

}  // namespace torvalen::player
