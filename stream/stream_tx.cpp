#include "stream/stream_tx.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "engine/buses.h"

namespace torvalen::stream {

namespace {

using params::ControlKind;
using params::ControlRecord;

constexpr std::array<ControlRecord, stream_tx_record_count> table = {{
    {"Stream TX", ControlKind::page},
    {"Input Select", ControlKind::group},
    {"Sound In\nPlayer\nSTL RX\nSig Gen\nProc\nSound Out\n", ControlKind::list, 0,
     offsetof(StreamTxBlock, input_select), 0.0f, 5.0f, 1.0f, 4.0f, 0.0f, 5.0f},
    {"Input Enable", ControlKind::group},
    {"Off\nOn\n", ControlKind::list, 0, offsetof(StreamTxBlock, input_enable), 0.0f, 1.0f, 1.0f, 1.0f, 0.0f, 1.0f},
    {"Input Level", ControlKind::group},
    {"Level", ControlKind::gain_db, 0, offsetof(StreamTxBlock, gain), -10.0f, 0.0f, 0.25f, 0.0f, -10.0f, 0.0f},
    {"De-Emph", ControlKind::group},
    {"Off\n50us\n75us\n", ControlKind::list, 0, offsetof(StreamTxBlock, de_emphasis), 0.0f, 2.0f, 1.0f, 0.0f, 0.0f,
     2.0f},
}};
static_assert(table[stream_control_input_select].location == offsetof(StreamTxBlock, input_select));
static_assert(table[stream_control_input_enable].location == offsetof(StreamTxBlock, input_enable));
static_assert(table[stream_control_level].location == offsetof(StreamTxBlock, gain));
static_assert(table[stream_control_de_emph].location == offsetof(StreamTxBlock, de_emphasis));

std::span<std::byte> bytes_of(StreamTxBlock& b) { return std::as_writable_bytes(std::span(&b, 1)); }

constexpr const char* module_key = stream_tx_key_name;
constexpr std::size_t encode_chunk_floats = 2 * 4096;
constexpr std::size_t wake_batch_floats = 2 * 4096;

float to_dB(float peak) { return static_cast<float>(dsp::level_dBFS(peak)); }

ServerSettings load_server(const SettingsKey& key) {
    ServerSettings s;
    key.read_text("Name", s.name);
    key.read_text("URL", s.url);
    key.read_text("User", s.user);
    key.read_text("Password", s.password);
    key.read_text("Port", s.port);
    key.read_text("Path", s.path);
    key.read_text("AdminUser", s.admin_user);
    key.read_text("AdminPass", s.admin_password);
    key.read_dword("ID", s.id);
    uint64_t enabled = 1;
    if (key.read_qword("Enable", enabled)) s.enabled = enabled != 0;
    return s;
}

void save_server(const SettingsKey& key, const ServerSettings& s) {
    key.write_text("Name", s.name);
    key.write_text("URL", s.url);
    key.write_text("User", s.user);
    key.write_text("Password", s.password);
    key.write_text("Port", s.port);
    key.write_text("Path", s.path);
    key.write_text("AdminUser", s.admin_user);
    key.write_text("AdminPass", s.admin_password);
    key.write_dword("ID", s.id);
    key.write_qword("Enable", s.enabled ? 1 : 0);
}

template <typename Block>
void load_block(const SettingsKey& key, const char* name, Block& block) {
    std::vector<std::byte> bytes;
    Block read;
    if (key.read_binary(name, bytes) && unpack(bytes, read)) block = read;
}

bool equal_names(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::unique_ptr<StreamTx> StreamTx::create(const SettingsKey& instance_key, uint32_t& error,
                                           StreamTxOptions options) {
    const std::optional<SettingsKey> key = instance_key.create(module_key);
    if (!key) {
        error |= 1;
        return nullptr;
    }
    std::unique_ptr<StreamTx> m(new StreamTx(*key, options));
    std::string why;
    m->controls_ = params::ControlSet::create(table, *m, "Stream TX", true, why);
    if (!m->controls_) {
        error |= 1;
        return nullptr;
    }
    if (options.start_preset_bar) {
        // The current preset (or the working copy of unsaved values) brings back
        // the page's values of the last run.
        params::PresetBarOptions bar;
        bar.version = stream_tx_key_name;
        m->preset_bar_ = std::make_unique<params::PresetBar>(*m->controls_, *key, bar);
    }
    if (m->station().auto_start && options.allow_auto_start) m->start_streaming();
    return m;
}

StreamTx::StreamTx(const SettingsKey& key, const StreamTxOptions& options)
    : key_(key),
      options_(options),
      de_emph_50_(dsp::design_first_order<float>(3183.0, 48000.0)),
      de_emph_75_(dsp::design_first_order<float>(2122.0, 48000.0)),
      ring_(ring_floats) {
    held_.fill(1.0f);
    for (unsigned i = 0; i < slot_count; ++i) slots_[i] = std::make_unique<StreamSlot>(i, station_);
    load();
    encoder_thread_ = std::thread([this] { encoder_main(); });
    if (options_.now_playing) {
        subscription_ = options_.now_playing->subscribe(
            NowPlayingOutput::streaming, [this](const std::optional<NowPlayingText>& text) {
                set_song(text ? std::optional<std::string>(text->text) : std::nullopt);
            });
        if (auto text = options_.now_playing->output_text(NowPlayingOutput::streaming))
            station_.set_song(text->text);
    }
}

StreamTx::~StreamTx() {
    if (options_.now_playing && subscription_) options_.now_playing->unsubscribe(subscription_);
    for (auto& slot : slots_) slot->stop();
    events_.signal(event_stop);
    encoder_thread_.join();
    preset_bar_.reset();  // writes the working copy when values are unsaved
    save_settings();
}

void StreamTx::load() {
    StationSettings st;
    if (auto s = key_.open("Stream Settings")) {
        s->read_text("ServerName", st.name);
        s->read_text("Genre", st.genre);
        s->read_text("WebPage", st.web_page);
        s->read_dword("TimeOut", st.timeout_ms);
        s->read_dword("TimeOuShort", st.short_timeout_ms);
        uint64_t q = 0;
        if (s->read_qword("MakePublic", q)) st.make_public = q != 0;
        if (s->read_qword("AutoStart", q)) st.auto_start = q != 0;
        if (s->read_qword("EnableNowPlaying", q)) st.now_playing = q != 0;
    }
    station_.set_settings(st);

    const std::optional<SettingsKey> encoders = key_.open("Encoders");
    for (unsigned i = 0; i < slot_count; ++i) {
        StreamSlot& slot = *slots_[i];
        const std::optional<SettingsKey> k = encoders ? encoders->open(std::to_string(i)) : std::nullopt;
        if (!k) continue;
        uint64_t enabled = 1;
        if (k->read_qword("Enable", enabled)) slot.enabled = enabled != 0;
        uint32_t type = encoder_vorbis;
        if (k->read_dword("EncoderType", type) && type >= 1 && type <= 4) slot.encoder.type = type;
        load_block(*k, "Vorbis_Settings", slot.encoder.vorbis);
        load_block(*k, "Opus_Settings", slot.encoder.opus);
        load_block(*k, "WinMP3_Settings", slot.encoder.mp3);
        load_block(*k, "AAC_Settings", slot.encoder.aac);
        uint32_t count = 0;
        k->read_dword("Stream_Count", count);
        const std::optional<SettingsKey> list = k->open("Streams");
        for (uint32_t n = 0; list && n < count && n < max_streams; ++n)
            if (auto sk = list->open(std::to_string(n)))
                slot.streams.push_back(std::make_unique<SourceConnection>(load_server(*sk)));
    }
}

void StreamTx::save_settings() {
    if (preset_bar_) {
        preset_bar_->sync_working_copy();
        preset_bar_->save_settings();
    }
    SettingsStore* store = key_.store();
    if (!store) return;
    // One commit for the whole tree: a crash never leaves half a stream list.
    SettingsStore::Transaction transaction(*store);

    const StationSettings st = station_.settings();
    if (auto s = key_.create("Stream Settings")) {
        s->write_text("ServerName", st.name);
        s->write_text("Genre", st.genre);
        s->write_text("WebPage", st.web_page);
        s->write_dword("TimeOut", st.timeout_ms);
        s->write_dword("TimeOuShort", st.short_timeout_ms);
        s->write_qword("MakePublic", st.make_public);
        s->write_qword("AutoStart", st.auto_start);
        s->write_qword("EnableNowPlaying", st.now_playing);
    }
    const std::optional<SettingsKey> encoders = key_.create("Encoders");
    for (unsigned i = 0; encoders && i < slot_count; ++i) {
        const StreamSlot& slot = *slots_[i];
        const std::optional<SettingsKey> k = encoders->create(std::to_string(i));
        if (!k) continue;
        k->write_qword("Enable", slot.enabled);
        k->write_dword("EncoderType", slot.encoder.type);
        k->write_binary("Vorbis_Settings", pack(slot.encoder.vorbis));
        k->write_binary("Opus_Settings", pack(slot.encoder.opus));
        k->write_binary("WinMP3_Settings", pack(slot.encoder.mp3));
        k->write_binary("AAC_Settings", pack(slot.encoder.aac));
        k->write_dword("Stream_Count", static_cast<uint32_t>(slot.streams.size()));
        k->delete_subkey_tree("Streams");
        if (auto list = k->create("Streams"))
            for (std::size_t n = 0; n < slot.streams.size(); ++n)
                if (auto sk = list->create(std::to_string(n))) save_server(*sk, slot.streams[n]->settings());
    }
    transaction.commit();
}

// ---- Engine thread ----

void StreamTx::process(const Buses& buses, bool tick) {
    const unsigned select = input_select_.load(std::memory_order_relaxed);
    const float* in = buses.data[select];
    const uint32_t count = buses.count[select];
    const bool at_192 = buses.rate[select] == mpx_rate_Hz;
    const uint32_t frames = at_192 ? count / 8 : count / 2;
    if (frames > 0) {
        const std::size_t w = write_.load(std::memory_order_relaxed);
        const std::size_t r = read_.load(std::memory_order_acquire);
        if (ring_floats - (w - r) < 2 * std::size_t(frames)) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
        } else {
            const bool enable = input_enable_.load(std::memory_order_relaxed) && in != nullptr;
            const float gain = gain_.load(std::memory_order_relaxed);
            const uint32_t de_emph = de_emphasis_.load(std::memory_order_relaxed);
            std::size_t at = w;
            for (uint32_t f = 0; f < frames; ++f) {
                float l = 0.0f, r2 = 0.0f;
                if (enable) {
                    if (at_192) {
                        dsp::SubSamples sub;
                        for (int j = 0; j < dsp::oversampling; ++j) {
                            sub.l[j] = in[8 * f + 2 * j];
                            sub.r[j] = in[8 * f + 2 * j + 1];
                        }
                        decimator_.process(sub, l, r2);
                    } else {
                        l = in[2 * f];
                        r2 = in[2 * f + 1];
                    }
                    l *= gain;
                    r2 *= gain;
                    level_.push(l, r2, held_);
                    if (de_emph == 1) de_emph_50_.low_pass(l, r2);
                    if (de_emph == 2) de_emph_75_.low_pass(l, r2);
                }
                // With the input off the streams carry silence.
                ring_[at++ % ring_floats] = l;
                ring_[at++ % ring_floats] = r2;
            }
            level_.flush(held_);
            // With no encoder open nothing would take the block: it stays
            // unpublished (the next block writes over it) and the encoder thread
            // sleeps. An encoder that opens gets the blocks from the next one on.
            if (std::any_of(slots_.begin(), slots_.end(), [](const auto& s) { return s->open_type() != 0; })) {
                write_.store(at, std::memory_order_release);
                // The encoder thread is woken once a batch has gathered rather than
                // for every block: each wake-up costs system calls, and the codecs
                // and sends cost less per frame on larger passes. Streams lag by a
                // batch (43 ms).
                if (at - r >= wake_batch_floats) events_.signal(event_block);
            }
        }
    }
    if (tick) {
        StreamTxMeters& m = meters_.back();
        for (int k = 0; k < 6; ++k) m[k] = to_dB(held_[k]);
        meters_.publish();
        meter_l_.store(m[0], std::memory_order_relaxed);
        meter_r_.store(m[1], std::memory_order_relaxed);
        held_.fill(1.0f);
    }
}

void StreamTx::clear_meters() {
    held_.fill(1.0f);
    meter_l_.store(-186.0f);
    meter_r_.store(-186.0f);
}

std::array<float, 2> StreamTx::meters() const { return {meter_l_.load(), meter_r_.load()}; }

// ---- Encoder thread ----

void StreamTx::encoder_main() {
    std::vector<float> block(encode_chunk_floats);
    for (;;) {
        const unsigned event = events_.wait_any((1u << event_stop) | (1u << event_block));
        if (event == event_stop) return;
        for (;;) {
            const std::size_t r = read_.load(std::memory_order_relaxed);
            const std::size_t w = write_.load(std::memory_order_acquire);
            const std::size_t n = std::min(w - r, encode_chunk_floats);
            if (n == 0) break;
            for (std::size_t i = 0; i < n; ++i) block[i] = ring_[(r + i) % ring_floats];
            read_.store(r + n, std::memory_order_release);
            for (auto& slot : slots_) slot->encode(std::span<const float>(block.data(), n));
        }
    }
}

// ---- Control thread ----

std::span<const params::ControlRecord> stream_tx_controls() { return table; }

void StreamTx::publish_params() {
    input_select_.store(std::min<uint32_t>(block_.input_select, bus_count - 1), std::memory_order_relaxed);
    input_enable_.store(block_.input_enable != 0, std::memory_order_relaxed);
    gain_.store(block_.gain, std::memory_order_relaxed);
    de_emphasis_.store(block_.de_emphasis, std::memory_order_relaxed);
}

bool StreamTx::set_value(uint32_t index, float display) {
    std::lock_guard g(lock_);
    const bool changed = params::set_by_rule(table, params::TableStyle::offset, bytes_of(block_), index, display);
    publish_params();
    return changed;
}

bool StreamTx::get_value(uint32_t index, float& display) {
    std::lock_guard g(lock_);
    return params::get_by_rule(table, params::TableStyle::offset, bytes_of(block_), index, display);
}

void StreamTx::set_unlocked(bool unlocked) {
    if (controls_) controls_->set_enabled(unlocked);
    if (preset_bar_) preset_bar_->set_enabled(unlocked);
}

StreamTxParams StreamTx::params() const {
    std::lock_guard g(lock_);
    StreamTxParams p;
    p.input_select = block_.input_select;
    p.input_enable = block_.input_enable != 0;
    p.input_level_dB = std::round(20.0f * std::log10(std::max(block_.gain, 1e-6f)) * 4.0f) / 4.0f + 0.0f;
    p.de_emphasis = block_.de_emphasis;
    return p;
}

bool StreamTx::set_params(const StreamTxParams& p) {
    if (p.input_select >= bus_count || p.de_emphasis > 2 || !(p.input_level_dB >= -10.0f && p.input_level_dB <= 0.0f))
        return false;
    set_value(stream_control_input_select, static_cast<float>(p.input_select));
    set_value(stream_control_input_enable, p.input_enable ? 1.0f : 0.0f);
    set_value(stream_control_level, std::round(p.input_level_dB * 4.0f) / 4.0f);
    set_value(stream_control_de_emph, static_cast<float>(p.de_emphasis));
    return true;
}

StreamResult StreamTx::set_station(const StationSettings& s) {
    for (const std::string* t : {&s.name, &s.genre, &s.web_page})
        if (!header_safe(*t)) return StreamResult::error("Line breaks are not allowed here");
    const bool was = streaming_;
    if (was) stop_streaming();
    station_.set_settings(s);
    save_settings();
    if (was) start_streaming();
    return {};
}

void StreamTx::start_streaming() {
    for (auto& slot : slots_)
        if (slot->enabled) slot->start();
    streaming_ = true;
}

void StreamTx::stop_streaming() {
    for (auto& slot : slots_) slot->stop();
    streaming_ = false;
}

template <typename F>
StreamResult StreamTx::with_slot_stopped(unsigned slot, F&& change) {
    if (slot >= slot_count) return StreamResult::error("No such encoder");
    StreamSlot& s = *slots_[slot];
    const bool was = s.running();
    if (was) s.stop();
    StreamResult result;
    {
        std::lock_guard lock(lists_lock_);
        result = change(s);
    }
    if (was && s.enabled) s.start();
    if (result.ok) save_settings();
    return result;
}

EncoderSettings StreamTx::encoder_settings(unsigned slot) const {
    std::lock_guard lock(lists_lock_);
    return slots_.at(slot)->encoder;
}
bool StreamTx::slot_enabled(unsigned slot) const {
    std::lock_guard lock(lists_lock_);
    return slots_.at(slot)->enabled;
}

StreamResult StreamTx::set_encoder(unsigned slot, const EncoderSettings& settings, bool enabled) {
    if (settings.type < 1 || settings.type > 4) return StreamResult::error("Unknown encoder type");
    if (settings.type == encoder_mp3 &&
        !probe_mp3(settings.mp3.bitrate, settings.mp3.rate, settings.mp3.channels == 1 ? 1 : 2))
        return StreamResult::error("Invalid Combination Of Parameters");
    return with_slot_stopped(slot, [&](StreamSlot& s) {
        s.encoder = settings;
        s.enabled = enabled;
        return StreamResult{};
    });
}

std::vector<ServerSettings> StreamTx::servers(unsigned slot) const {
    std::lock_guard lock(lists_lock_);
    std::vector<ServerSettings> out;
    for (const auto& s : slots_.at(slot)->streams) out.push_back(s->settings());
    return out;
}

StreamResult StreamTx::add_stream(unsigned slot, const std::string& name) {
    if (slot >= slot_count) return StreamResult::error("No such encoder");
    if (name.empty() || !header_safe(name)) return StreamResult::error("Stream name is not valid");
    for (const auto& s : slots_[slot]->streams)
        if (equal_names(s->settings().name, name)) return StreamResult::error("Stream name already exists");
    if (slots_[slot]->streams.size() >= max_streams) return StreamResult::error("No more than 8 streams per encoder");
    return with_slot_stopped(slot, [&](StreamSlot& s) {
        ServerSettings fresh;
        fresh.name = name;
        s.streams.insert(s.streams.begin(), std::make_unique<SourceConnection>(fresh));
        return StreamResult{};
    });
}

StreamResult StreamTx::rename_stream(unsigned slot, unsigned index, const std::string& name) {
    if (slot >= slot_count || index >= slots_[slot]->streams.size()) return StreamResult::error("No such stream");
    if (name.empty() || !header_safe(name)) return StreamResult::error("Stream name is not valid");
    for (std::size_t i = 0; i < slots_[slot]->streams.size(); ++i)
        if (i != index && equal_names(slots_[slot]->streams[i]->settings().name, name))
            return StreamResult::error("Stream name already exists");
    return with_slot_stopped(slot, [&](StreamSlot& s) {
        ServerSettings changed = s.streams[index]->settings();
        changed.name = name;
        s.streams[index]->set_settings(changed);
        return StreamResult{};
    });
}

StreamResult StreamTx::delete_stream(unsigned slot, unsigned index) {
    if (slot >= slot_count || index >= slots_[slot]->streams.size()) return StreamResult::error("No such stream");
    return with_slot_stopped(slot, [&](StreamSlot& s) {
        s.streams.erase(s.streams.begin() + index);
        return StreamResult{};
    });
}

StreamResult StreamTx::set_server(unsigned slot, unsigned index, const ServerSettings& settings) {
    if (slot >= slot_count || index >= slots_[slot]->streams.size()) return StreamResult::error("No such stream");
    for (const std::string* t : {&settings.name, &settings.url, &settings.password, &settings.user, &settings.path,
                                 &settings.port, &settings.admin_user, &settings.admin_password})
        if (!header_safe(*t)) return StreamResult::error("Line breaks are not allowed here");
    if (settings.path.empty() || settings.path.front() != '/' || settings.path.find(' ') != std::string::npos)
        return StreamResult::error("The path must begin with / and hold no spaces");
    if (slots_[slot]->streams[index]->settings() == settings) return {};
    return with_slot_stopped(slot, [&](StreamSlot& s) {
        s.streams[index]->set_settings(settings);
        return StreamResult{};
    });
}

void StreamTx::set_song(std::optional<std::string> song) {
    station_.set_song(std::move(song));
    for (auto& slot : slots_) slot->song_changed();
}

std::vector<StreamTx::StreamState> StreamTx::stream_states(unsigned slot) const {
    std::lock_guard lock(lists_lock_);
    std::vector<StreamState> out;
    for (const auto& s : slots_.at(slot)->streams)
        out.push_back({s->settings().name, s->settings().enabled, s->status(), s->metadata_status(), s->dropped_bytes()});
    return out;
}

std::vector<std::string> StreamTx::status_lines() const {
    std::lock_guard lock(lists_lock_);
    const StationSettings st = station_.settings();
    std::vector<std::string> lines;
    lines.push_back(streaming_ ? "Streaming started" : "Streaming not started");
    lines.push_back("");
    for (unsigned i = 0; i < slot_count; ++i) {
        const StreamSlot& slot = *slots_[i];
        std::string head = "Encoder " + std::to_string(i + 1) + (slot.enabled ? " Enabled ... " : " Not Enabled ... ") +
                           slot.encoder.describe();
        if (slot.encoder.type == encoder_aac && slot.encoder.aac.sbr_ps && slot.encoder.aac.channels != 1)
            head += " (SBR & PS not available: sent as AAC-LC)";
        lines.push_back(head);
        if (slot.streams.empty()) lines.push_back("No streams defined");
        for (const auto& s : slot.streams) {
            if (!s->settings().enabled) {
                lines.push_back(s->settings().name + " .. Not enabled");
                continue;
            }
            std::string line = s->settings().name + " .. " + std::string(connection_status_text(s->status()));
            if (st.now_playing && s->metadata_status() != metadata_none)
                line += " .. " + std::string(metadata_status_text(s->metadata_status()));
            lines.push_back(line);
        }
    }
    if (st.now_playing) {
        const std::optional<std::string> song = station_.song();
        lines.push_back(song && !song->empty() ? "Now  Playing = " + *song : "Empty Now Playing string");
    } else {
        lines.push_back("Now Playing not enabled");
    }
    return lines;
}

}  // namespace torvalen::stream
