// The Player module: four decks, each decoding one item ahead into a ring, mixed
// into bus 1 with overlapping transitions; the items come from the playlist or the
// weighted rotation (PlayerLists), chosen by the player mode.
//
// Threads and locks:
// - engine thread: mix() and the failsafe calls. It never allocates, never does
//   I/O and never waits: the deck order is one atomic word, deck states are atomic,
//   and each deck's state lock is only tried (held by the other threads for a few
//   index updates, never while decoding or copying); a deck whose lock is busy
//   sits out that one block.
// - the mixer's control thread: cueing (decoding the first ten seconds), recycling
//   ended decks, the 500 ms retry after a failed cue, the failsafe stop.
// - one thread per deck: refill after the engine asks, reload after a seek, handing
//   the title to Now Playing.
// - the application's control thread: Play/Stop, Clear, seek, mode changes, list
//   edits, read-outs.
// Lock order: player lock, work lock, a deck's decoder lock, its state lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "dsp/chain_stages.h"
#include "engine/event.h"
#include "engine/module.h"
#include "engine/settings_store.h"
#include "player/file_decoder.h"
#include "player/player_lists.h"

namespace torvalen::player {

inline constexpr const char* player_key_name = "Player-v2.0.0";
inline constexpr uint32_t deck_count = 4;
inline constexpr uint32_t ring_floats = 960000;    // 10 s of stereo at 48 kHz
inline constexpr uint32_t scratch_floats = 96000;  // 1 s: one decoding block
inline constexpr uint32_t refill_at = 854400;      // refill while the fill is at most this
inline constexpr uint32_t tick_frames = 14400;     // position redraw every 0.3 s
inline constexpr float lead_in_threshold = 2147483.75f;  // -60 dB of full scale
inline constexpr float audible_threshold = 21474836.0f;  // -40 dB of full scale
inline constexpr float fade_step = 1.5258789e-5f;        // 2^-16 per frame
inline constexpr float overlap_floor = 0.0033333334f;    // 1/300
inline constexpr float fade_to_overlap = 0.1f;
inline constexpr uint32_t cue_retry_ms = 500;

enum DeckState : uint32_t {
    deck_empty = 0,
    deck_cued = 1,
    deck_playing = 2,
    deck_overlap = 3,
    deck_end = 4,
    deck_fade = 5,
    deck_seek = 6,
};
// "EMPTY", "CUED", ... as the deck shows it.
const char* deck_state_word(uint32_t state);
// The word's colour, 0xBBGGRR (red in the low byte).
uint32_t deck_state_colour(uint32_t state);

enum PlayerMode : uint32_t {
    mode_play_and_discard = 0,
    mode_repeating = 1,
    mode_rotation = 2,
    mode_failsafe_repeating = 3,
    mode_failsafe_rotation = 4,
    mode_failsafe_random_start = 5,
};
inline constexpr uint32_t mode_count = 6;
// The "Player Settings" radio buttons, in mode order.
extern const std::array<const char*, mode_count> mode_texts;
inline bool failsafe_mode(uint32_t mode) { return mode >= 3 && mode <= 5; }
inline bool rotation_mode(uint32_t mode) { return mode == 2 || mode == 4; }

// What one deck shows (a copy, for the web interface).
struct DeckView {
    uint32_t state = deck_empty;
    std::string title;        // artist " - " title, else the file name; empty when EMPTY
    std::string information;  // "m:ss / m:ss   Kind  rateHz Stereo rate kB/s"
    float position = 0.0f;    // played part of the bar, 0 to 1
    uint64_t played = 0, lead_in = 0, audible_length = 0;  // floats at 48 kHz
};

class Player;

// One deck: an item, its decoder and its ring.
class Deck {
public:
    Deck(Player& player, uint32_t index);
    ~Deck();
    Deck(const Deck&) = delete;
    Deck& operator=(const Deck&) = delete;

    bool start_thread();
    void stop_thread();
    uint32_t state() const { return state_.load(std::memory_order_acquire); }
    uint32_t index() const { return index_; }
    DeckView view();

private:
    friend class Player;
    enum Event : unsigned { ev_stop = 0, ev_reload = 1, ev_refill = 2, ev_now_playing = 3 };

    void thread_main();
    // Engine thread, with the state lock held: one block of this deck.
    void mix_block(std::span<float> out);
    void take_frame();
    void set_state(uint32_t state) { state_.store(state, std::memory_order_release); }

    // Decoding side (decoder lock held). Reads blocks into the ring until the fill
    // exceeds refill_at or the item ends: 1 filled, 0 ended, -1 read error.
    int fill_ring();
    // Writes `block` whole at the write index (false when it does not fit).
    bool ring_write(std::span<const float> block);
    // Marks the item ended and finds its audible end.
    void finish_item();
    // Frees the item and returns to EMPTY (decoder lock held).
    void release_item();

    // Cue (control thread, deck EMPTY): false when the item cannot be played.
    bool cue(std::string path);
    void reload();
    void refill();
    void send_now_playing();

    Player& player_;
    const uint32_t index_;

    std::unique_ptr<float[]> ring_;
    std::unique_ptr<float[]> scratch_;
    // Guarded by state_mutex_ (the engine reads them with it held).
    uint32_t write_ = 0, read_ = 0, fill_ = 0, audible_end_ = 0;
    bool end_flag_ = false;
    float level_ = 1.0f;
    uint64_t played_ = 0;
    uint32_t tick_counter_ = 0;
    uint64_t audible_length_ = 0, full_length_ = 0, lead_in_ = 0;
    std::atomic<uint32_t> state_{deck_empty};
    std::mutex state_mutex_;

    // Guarded by decoder_mutex_.
    std::mutex decoder_mutex_;
    std::unique_ptr<FileDecoder> decoder_;
    ItemInfo info_;
    std::string path_;
    std::string display_name_;

    EventGroup events_;
    std::thread thread_;
};

struct PlayerOptions {
    std::filesystem::path data_folder;    // the playlist and rotation files
    std::string instance_name;
    NowPlayingModule* now_playing = nullptr;  // outlives the player
};

class Player final : public PlayerModule, public dsp::FailsafePlayer {
public:
    // Opens or creates "Player-v2.0.0" below the instance key, reads Mode, Play and
    // MusicPath, loads the lists and starts the control and deck threads. Sets bit
    // 0 of `error` and returns nothing when the key, buffers or threads fail.
    static std::unique_ptr<Player> create(const SettingsKey& instance_key, uint32_t& error,
                                          PlayerOptions options);
    // Stops the threads, then saves Mode, Play, MusicPath and the lists (unless
    // the instance is being deleted).
    ~Player() override;
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // ---- Engine thread ----
    bool play_on() const override { return play_.load(std::memory_order_acquire) != 0; }
    void mix(std::span<float> bus1) override;
    void failsafe_start() override;
    void failsafe_stop() override;

    // ---- Control thread ----
    void save_settings() override;
    void prepare_delete() override;
    // The list files are written under the new name and the old ones removed.
    void instance_renamed(std::string_view new_name) override { lists_->rename_instance(std::string(new_name)); }
    void set_unlocked(bool unlocked) override { unlocked_.store(unlocked); }

    uint32_t mode() const { return mode_.load(std::memory_order_acquire); }
    // The dialog's "Apply": false (nothing changed) for a mode out of range, or a
    // rotation mode while no rotation exists.
    bool set_mode(uint32_t mode);
    // The mode the dialog opens with: a rotation mode without rotations reads 0.
    uint32_t dialog_mode();
    // Play and Stop; ignored (false) in the failsafe modes.
    bool press_play();
    bool press_stop();
    // The deck's "Clear" (deck numbers are fixed, 0-3; the list order is separate).
    bool clear_deck(uint32_t deck);
    // A click on the position bar of a PLAYING deck at `fraction` (0-1) of the bar;
    // false when the deck is not PLAYING.
    bool seek(uint32_t deck, double fraction);
    // Empties every deck (and waits until that is done); then the decks load again.
    void clear_all();
    // Offers items to the EMPTY decks (after entries or rotations were added).
    void load() { control_events_.signal(ev_load); }
    // "Delete All" of the playlist: the list and the decks.
    void delete_all();

    std::string music_path() const;
    void set_music_path(std::string path);

    PlayerLists& lists() { return *lists_; }
    Deck& deck(uint32_t i) { return *decks_[i]; }
    // Deck numbers in play order.
    std::array<uint32_t, deck_count> deck_order() const;
    // The last problem with an item ("" when none).
    std::string status_text() const;
    // Moves on every change a window would redraw.
    uint64_t version() const { return version_.load(std::memory_order_acquire); }

private:
    friend class Deck;
    enum ControlEvent : unsigned { ev_quit = 0, ev_load = 1, ev_deck_ended = 2, ev_failsafe_stop = 3 };

    Player(SettingsKey key, PlayerOptions options);
    bool start();
    void load_settings();
    void write_settings();

    void control_main();
    // Under work_mutex_: offer an item to every EMPTY deck; false when a cue failed.
    bool load_decks();
    void recycle_ended();
    void clear_all_locked();
    void handle_failsafe_stop();
    void set_cursor_for_mode(uint32_t mode);
    void note_problem(std::string text);
    void bump() { version_.fetch_add(1, std::memory_order_acq_rel); }
    void signal_deck_ended() { control_events_.signal(ev_deck_ended); }

    SettingsKey key_;
    PlayerOptions options_;
    std::unique_ptr<PlayerLists> lists_;
    std::array<std::unique_ptr<Deck>, deck_count> decks_;
    // Deck numbers in play order, one byte each (position 0 in the low byte).
    std::atomic<uint32_t> order_{0x03020100u};

    std::atomic<uint32_t> mode_{0};
    std::atomic<uint32_t> play_{0};
    std::atomic<bool> unlocked_{false};
    std::atomic<uint64_t> version_{0};
    bool deleted_ = false;

    mutable std::mutex player_mutex_;  // mode changes, MusicPath
    std::string music_path_;
    std::mutex work_mutex_;            // cueing, recycling, clear all
    mutable std::mutex status_mutex_;
    std::string status_;

    EventGroup control_events_;
    std::thread control_thread_;
};

// A number from the process-wide generator (seeded once with the time).
uint32_t process_random();

}  // namespace torvalen::player
