#include "app/http/metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "broadcast/rds_charset.h"
#include "broadcast/sound_out.h"
#include "engine/user_text.h"
#include "stl/stl_rx.h"
#include "stl/stl_tx.h"
#include "stream/icecast_protocol.h"
#include "stream/stream_tx.h"

namespace torvalen::http {

namespace {

// One metric family: its HELP and TYPE lines, then its samples (the format wants a
// family's samples together).
struct Family {
    const char* name;
    const char* type;
    const char* help;
    std::string samples;

    void add(const std::string& labels, double value) {
        char number[32];
        if (std::isfinite(value)) std::snprintf(number, sizeof number, "%.6g", value);
        else std::snprintf(number, sizeof number, "%s", value > 0 ? "+Inf" : value < 0 ? "-Inf" : "NaN");
        samples += name;
        samples += "{";
        samples += labels;
        samples += "} ";
        samples += number;
        samples += "\n";
    }
    void add_integer(const std::string& labels, uint64_t value) {
        samples += name;
        samples += "{";
        samples += labels;
        samples += "} ";
        samples += std::to_string(value);
        samples += "\n";
    }
    void write(std::string& out) const {
        out += "# HELP ";
        out += name;
        out += " ";
        out += help;
        out += "\n# TYPE ";
        out += name;
        out += " ";
        out += type;
        out += "\n";
        out += samples;
    }
};

constexpr const char* channel_names[2] = {"L", "R"};
constexpr const char* level_kinds[3] = {"true_peak", "peak_envelope", "rms"};

// Six level values (true peak L/R, peak envelope L/R, RMS L/R) as samples.
void add_levels(Family& f, const std::string& who, const float* v) {
    for (int kind = 0; kind < 3; ++kind)
        for (int ch = 0; ch < 2; ++ch) {
            std::string labels = who;
            labels += ",meter=\"";
            labels += level_kinds[kind];
            labels += "\",channel=\"";
            labels += channel_names[ch];
            labels += "\"";
            f.add(labels, v[2 * kind + ch]);
        }
}

// The first value of item `item` in group `group` of a processor meter layout, or -1.
int value_index(std::span<const measure::MeterRecord> layout, std::string_view group, std::string_view item) {
    int value = 0;
    bool in_group = false;
    for (const measure::MeterRecord& r : layout) {
        if (r.kind == measure::MeterKind::root) continue;
        if (r.kind == measure::MeterKind::meter_group || r.kind == measure::MeterKind::graph_group) {
            in_group = r.name == group;
            continue;
        }
        if (in_group && r.name == item) return value;
        value += std::max(0, r.count);
    }
    return -1;
}

}  // namespace

std::string metric_label(std::string_view text) {
    std::string out;
    for (const char c : repair_utf8(text)) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string metrics_text(Application& app, MeterFeed& meters) {
    Family cycles{"torvalen_engine_cycles_total", "counter", "Engine cycles run.", {}};
    Family overruns{"torvalen_engine_overruns_total", "counter",
                    "Blocks that found the engine still in the previous cycle.", {}};
    Family load{"torvalen_engine_cpu_load", "gauge", "Engine time per block period, 0 to 1.", {}};
    Family device{"torvalen_device_state", "gauge",
                  "Where the instance's audio runs: a sound card (running), the virtual device (virtual), the "
                  "virtual device after the card failed (failed), or nowhere (stopped).",
                  {}};
    Family xruns{"torvalen_device_xruns_total", "counter", "Over- and underruns the sound card's driver reported.", {}};
    Family input{"torvalen_input_level_dbfs", "gauge",
                 "Programme input level (Sound In) over the last meter period, dBFS.", {}};
    Family output{"torvalen_output_level_dbfs", "gauge",
                  "Level Sound Out delivers over the last meter period, dBFS (the 48 kHz stereo output, or the "
                  "programme before the multiplex).",
                  {}};
    Family loudness{"torvalen_output_loudness_lkfs", "gauge", "Loudness of Sound Out's output, LKFS.", {}};
    Family agc{"torvalen_agc_gain_db", "gauge", "Gain of the processor's AGC (per AGC band), dB.", {}};
    Family gate{"torvalen_agc_gate_closed", "gauge", "1 while the AGC's gate holds the gain.", {}};
    Family limiter{"torvalen_limiter_gain_reduction_db", "gauge",
                   "Largest gain reduction of the processor's final limiter in the last meter period, dB (0 = none).",
                   {}};
    Family mpx_power{"torvalen_mpx_power_db", "gauge",
                     "Largest averaged multiplex power (RMS) in the last meter period, dB relative to full scale.", {}};
    Family deviation{"torvalen_mpx_deviation_khz", "gauge",
                     "Largest multiplex deviation in the last meter period, kHz (full scale is 100 kHz).", {}};
    Family rds{"torvalen_rds_info", "gauge", "The RDS PS and radiotext on air (1 while RDS is broadcast).", {}};
    Family stl_tx{"torvalen_stl_tx_connected", "gauge", "1 while the link's sender is logged on at its receiver.", {}};
    Family stl_tx_packets{"torvalen_stl_tx_packets_sent_total", "counter", "Packets the link's sender sent.", {}};
    Family stl_tx_dropped{"torvalen_stl_tx_blocks_dropped_total", "counter",
                          "Blocks the link's sender dropped (its mailbox was busy or full).", {}};
    Family stl_rx{"torvalen_stl_rx_session_active", "gauge", "1 while the link's receiver has a sender.", {}};
    Family stl_rx_fullness{"torvalen_stl_rx_buffer_fullness", "gauge", "The receiver's jitter buffer, 0 to 1.", {}};
    Family stl_rx_packets{"torvalen_stl_rx_audio_packets_total", "counter", "Audio packets the receiver took.", {}};
    Family stream{"torvalen_stream_connected", "gauge", "1 while a stream is connected to its Icecast server.", {}};
    Family stream_dropped{"torvalen_stream_dropped_bytes_total", "counter",
                          "Encoded bytes a stream's server did not take in time.", {}};

    for (const std::string& name : app.instance_names()) {
        Instance* instance = app.find(name);
        if (!instance) continue;
        const std::string who = "instance=\"" + metric_label(name) + "\"";
        cycles.add_integer(who, instance->cycles());
        overruns.add_integer(who, instance->overruns());
        load.add(who, instance->cpu_load());
        std::string state = "virtual";
        uint64_t driver_xruns = 0;
        if (DeviceContext* card = app.sound_card_of(instance)) {
            const DeviceStatus st = card->status();
            state = st.on_virtual ? "failed" : st.driver_running ? "running" : "stopped";
            driver_xruns = st.driver_xruns;
        }
        if (!instance->engine_started()) state = "stopped";
        for (const char* s : {"running", "virtual", "failed", "stopped"})
            device.add_integer(who + ",state=\"" + s + "\"", state == s ? 1 : 0);
        xruns.add_integer(who, driver_xruns);

        const MeterFeed::Readings& r = meters.readings(*instance);
        if (r.sound_in.size() >= 6) add_levels(input, who, r.sound_in.data());
        if (r.sound_out.size() >= 18) {
            add_levels(output, who, r.sound_out.data() + 12);
            loudness.add(who, r.sound_out[6]);
            mpx_power.add(who, r.sound_out[9]);
            // A deviation value is the multiplex peak as a fraction of full scale (100 kHz).
            deviation.add(who + ",channel=\"L\"", 100.0 * r.sound_out[10]);
            deviation.add(who + ",channel=\"R\"", 100.0 * r.sound_out[11]);
        }
        if (!r.processor.empty() && !r.processor_layout.empty()) {
            // The AGC meter carries the gate in its sign; its magnitude is the gain
            // 20 dB above the total gain (a reading of 20 dB is a gain of 0 dB).
            for (const char* band : {"Gain", "B", "MH"}) {
                const int at = value_index(r.processor_layout, "AGC", band);
                if (at < 0 || static_cast<size_t>(at) >= r.processor.size()) continue;
                const float v = r.processor[at];
                const std::string labels = who + ",band=\"" + (band[0] == 'G' ? "all" : band) + "\"";
                agc.add(labels, std::fabs(v) - 20.0f);
                gate.add_integer(labels, v < 0 ? 1 : 0);
            }
            const int at = value_index(r.processor_layout, "Limiter", "GR");
            if (at >= 0 && static_cast<size_t>(at) + 1 < r.processor.size())
                limiter.add(who, std::max(0.0f, -std::min(r.processor[at], r.processor[at + 1])));
        }
        if (auto* out = dynamic_cast<broadcast::SoundOut*>(instance->sound_out())) {
            const broadcast::SoundOutParams p = out->params();
            std::string ps, rt;
            {
                broadcast::RdsContent& c = out->rds_content();
                std::lock_guard lock(c.lock);
                ps = broadcast::rds_characters_to_utf8(
                    std::string_view(c.ps_display.data(), strnlen(c.ps_display.data(), c.ps_display.size())));
                rt = c.rt_display;
            }
            const bool on_air = p.input_mode != 0 && p.rds_enable != 0 && p.input_enable != 0;
            rds.add_integer(who + ",ps=\"" + metric_label(ps) + "\",radiotext=\"" + metric_label(rt) + "\"",
                            on_air ? 1 : 0);
        }
        if (auto* tx = dynamic_cast<stl::StlTx*>(instance->stl_tx())) {
            stl_tx.add_integer(who, tx->connected() ? 1 : 0);
            stl_tx_packets.add_integer(who, tx->packets_sent());
            stl_tx_dropped.add_integer(who, tx->blocks_dropped() + tx->blocks_overwritten());
        }
        if (auto* rx = dynamic_cast<stl::StlRx*>(instance->stl_rx())) {
            stl_rx.add_integer(who, rx->session_active() ? 1 : 0);
            stl_rx_fullness.add(who, rx->fullness());
            stl_rx_packets.add_integer(who, rx->audio_packets());
        }
        if (auto* tx = dynamic_cast<stream::StreamTx*>(instance->stream_tx())) {
            for (unsigned slot = 0; slot < stream::slot_count; ++slot)
                for (const stream::StreamTx::StreamState& st : tx->stream_states(slot)) {
                    const std::string labels =
                        who + ",slot=\"" + std::to_string(slot + 1) + "\",stream=\"" + metric_label(st.name) + "\"";
                    stream.add_integer(labels, st.status == stream::status_connected ? 1 : 0);
                    stream_dropped.add_integer(labels, st.dropped_bytes);
                }
        }
    }
    std::string out;
    for (const Family* f : {&cycles, &overruns, &load, &device, &xruns, &input, &output, &loudness, &agc, &gate,
                            &limiter, &mpx_power, &deviation, &rds, &stl_tx, &stl_tx_packets, &stl_tx_dropped,
                            &stl_rx, &stl_rx_fullness, &stl_rx_packets, &stream, &stream_dropped})
        f->write(out);
    return out;
}

}  // namespace torvalen::http
