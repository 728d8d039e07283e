#include "engine/portaudio_driver.h"

#include <dlfcn.h>
#include <pa_jack.h>
#include <portaudio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <string>

#include "engine/log.h"
#include "engine/sample_convert.h"

namespace torvalen {

namespace {

constexpr const char* log_who = "portaudio";
// JACK is driven through libjack (jack_driver.h). PortAudio's own JACK host API
// must stay out: its idle client outlives a server that died and then crashes
// Pa_Terminate (and with it every rescan). A client name one character longer
// than JACK allows (63) makes that host API's start fail, so PortAudio offers
// ALSA only.
const std::string jack_client_name = "torvalen-jack-is-driven-through-libjack-" + std::string(24, '-');
static_assert(sizeof("torvalen-jack-is-driven-through-libjack-") - 1 + 24 == 64);
// More channels than any card we drive has; the ALSA plug devices claim up to 128.
constexpr uint32_t max_channels = 64;
// Frames per block PortAudio accepts for any device (it adapts the host's buffer).
constexpr uint32_t min_frames = 16;
constexpr uint32_t max_frames = 16384;
// A device that is missing or failed to open makes us look at the device list
// again, at most this often (re-reading it probes every ALSA card).
constexpr auto missing_device_rescan_period = std::chrono::seconds(5);
// How long a rescan waits for open streams to be closed.
constexpr auto rescan_wait = std::chrono::milliseconds(2500);
// How long a call waits for PortAudio while another call is in it. Longer than any
// call that returns; a call stuck in PortAudio holds it for minutes.
constexpr auto lock_wait = std::chrono::milliseconds(1500);
constexpr const char* busy_text =
    "PortAudio is still stuck closing a stream (its JACK server went away)";

// ALSA's and JACK's libraries print to standard error whenever PortAudio probes
// something absent (no card, no JACK server). Those lines say nothing useful to
// an operator and would repeat with every rescan, so we install quiet handlers.
// Both libraries are loaded with PortAudio; their setters are looked up at run
// time so that we do not link against them ourselves.
extern "C" void quiet_alsa_error(const char*, int, const char*, int, const char*, ...) {}
extern "C" void quiet_jack_message(const char*) {}

void silence_library_chatter() {
    using AlsaHandler = void (*)(const char*, int, const char*, int, const char*, ...);
    using AlsaSetter = int (*)(AlsaHandler);
    using JackSetter = void (*)(void (*)(const char*));
    if (auto set = reinterpret_cast<AlsaSetter>(dlsym(RTLD_DEFAULT, "snd_lib_error_set_handler")))
        set(quiet_alsa_error);
    if (auto set = reinterpret_cast<JackSetter>(dlsym(RTLD_DEFAULT, "jack_set_error_function")))
        set(quiet_jack_message);
    if (auto set = reinterpret_cast<JackSetter>(dlsym(RTLD_DEFAULT, "jack_set_info_function")))
        set(quiet_jack_message);
}

bool initialise_portaudio(std::string& error) {
    silence_library_chatter();
    PaJack_SetClientName(jack_client_name.c_str());
    const PaError e = Pa_Initialize();
    if (e != paNoError) {
        error = std::string("PortAudio did not initialise: ") + Pa_GetErrorText(e);
        return false;
    }
    return true;
}

const char* host_name(PaHostApiTypeId type) {
    switch (type) {
        case paALSA: return "ALSA";
        case paJACK: return "JACK";
        case paOSS: return "OSS";
        default: return "other";
    }
}

struct FormatChoice {
    PaSampleFormat format;
    uint32_t type;  // sample_convert.h code (little-endian on this platform)
};
constexpr FormatChoice float_format{paFloat32, sample_float32_lsb};
// Integer formats in the order we prefer them for cards.
constexpr std::array<FormatChoice, 3> integer_formats{
    {{paInt32, sample_int32_lsb}, {paInt24, sample_int24_lsb}, {paInt16, sample_int16_lsb}}};

// A PortAudio stream, closed when it goes away.
struct StreamCloser {
    void operator()(PaStream* stream) const { Pa_CloseStream(stream); }
};
using StreamHandle = std::unique_ptr<PaStream, StreamCloser>;

}  // namespace

// One PortAudio device driven as a sound-card driver.
class PortAudioDriver final : public AudioDriver {
public:
    PortAudioDriver(PortAudioSystem& system, PaDeviceIndex index, const PaDeviceInfo& info,
                    PaHostApiTypeId host)
        : system_(system), shared_(*system.shared_), generation_(shared_.generation), index_(index),
          name_(info.name ? info.name : ""), host_(host) {
        channels_.inputs = std::min<uint32_t>(static_cast<uint32_t>(std::max(info.maxInputChannels, 0)), max_channels);
        channels_.outputs = std::min<uint32_t>(static_cast<uint32_t>(std::max(info.maxOutputChannels, 0)), max_channels);
        // JACK reports its capture latency as its period (plus any extra input
        // latency the server was given); cards report what PortAudio suggests.
        const double latency_s = host == paJACK || !channels_.outputs ? info.defaultLowInputLatency
                                                                     : info.defaultLowOutputLatency;
        preferred_ = static_cast<uint32_t>(std::lround(latency_s * info.defaultSampleRate));
        preferred_ = std::clamp(preferred_, min_frames, max_frames);
    }

    ~PortAudioDriver() override { dispose_buffers(); }

    bool init(std::string& error) override {
        auto lock = system_.lock();
        if (!lock.owns_lock()) {
            error = busy_text;
            return false;
        }
        const PaDeviceInfo* info = current() ? Pa_GetDeviceInfo(index_) : nullptr;
        if (!info || !info->name || name_ != info->name) {
            error = "the device list changed";
            return false;
        }
        return true;
    }

    DriverChannels channels() const override { return channels_; }
    DriverBufferSizes buffer_sizes() const override {
        return {min_frames, max_frames, preferred_, 1};
    }

    bool can_sample_rate(uint32_t rate_Hz) override {
        auto lock = system_.lock();
        if (!lock.owns_lock() || !current()) return false;
        return Pa_IsFormatSupported(channels_.inputs ? &params(false, paFloat32) : nullptr,
                                    channels_.outputs ? &params(true, paFloat32) : nullptr,
                                    rate_Hz) == paFormatIsSupported;
    }

    bool set_sample_rate(uint32_t rate_Hz) override {
        if (!can_sample_rate(rate_Hz)) return false;
        rate_Hz_ = rate_Hz;
        return true;
    }

    uint32_t input_type(uint32_t) const override { return input_format_.type; }
    uint32_t output_type(uint32_t) const override { return output_format_.type; }

    bool create_buffers(uint32_t frames, DriverClient& client, std::string& error) override {
        auto lock = system_.lock();
        if (!lock.owns_lock()) {
            error = busy_text;
            return false;
        }
        if (!current()) {
            error = "the device list changed";
            return false;
        }
        input_format_ = choose_format(false);
        output_format_ = choose_format(true);
        PaStreamParameters in = params(false, input_format_.format | paNonInterleaved);
        PaStreamParameters out = params(true, output_format_.format | paNonInterleaved);
        const PaDeviceInfo* info = Pa_GetDeviceInfo(index_);
        in.suggestedLatency = info ? info->defaultLowInputLatency : 0;
        out.suggestedLatency = info ? info->defaultLowOutputLatency : 0;
        client_ = &client;
        // When our block is the JACK server's period, PortAudio can hand us the
        // server's buffers as they come; asking for a fixed size would make it
        // adapt through a buffer of its own, one more block of output latency.
        direct_ = host_ == paJACK && frames == preferred_ && !PortAudioSystem::needs_adapting(shared_, name_);
        frames_ = frames;
        const unsigned long per_callback = direct_ ? paFramesPerBufferUnspecified : frames;
        PaStream* stream = nullptr;
        const PaError e =
            Pa_OpenStream(&stream, channels_.inputs ? &in : nullptr, channels_.outputs ? &out : nullptr,
                          rate_Hz_, per_callback, paClipOff | paDitherOff, &PortAudioDriver::callback, this);
        if (e != paNoError) {
            error = std::string("PortAudio cannot open the device: ") + Pa_GetErrorText(e);
            shared_.open_failed = true;
            return false;
        }
        stream_.reset(stream);
        ++shared_.open_streams;
        Pa_SetStreamFinishedCallback(stream, &PortAudioDriver::finished);
        return true;
    }

    bool start(std::string& error) override {
        auto lock = system_.lock();
        if (!lock.owns_lock()) {
            error = busy_text;
            return false;
        }
        if (!stream_) {
            error = "no buffers";
            return false;
        }
        stopping_.store(false);
        const PaError e = Pa_StartStream(stream_.get());
        if (e != paNoError) {
            error = std::string("PortAudio cannot start the device: ") + Pa_GetErrorText(e);
            stopping_.store(true);
            return false;
        }
        return true;
    }

    // Stop and dispose may block for minutes inside PortAudio (see the header); they
    // wait for the lock without bound, as the device layer calls them on a thread
    // it abandons when they take too long. Once called, they touch only the shared
    // part of the system, which outlives it while they are stuck.
    void stop() override {
        stopping_.store(true);
        if (!stream_) return;
        std::lock_guard lock(shared_.mutex);
        const auto began = std::chrono::steady_clock::now();
        if (Pa_IsStreamActive(stream_.get()) == 1) Pa_StopStream(stream_.get());
        if (std::chrono::steady_clock::now() - began >= lock_wait) shared_.rescan_pending = true;
    }

    void dispose_buffers() override {
        stopping_.store(true);
        if (!stream_) return;
        {
            std::lock_guard lock(shared_.mutex);
            const auto began = std::chrono::steady_clock::now();
            stream_.reset();  // closes it (and aborts it when it still runs)
            --shared_.open_streams;
            // A close that had to wait that long lost its server: what PortAudio
            // knows of the devices is out of date.
            if (std::chrono::steady_clock::now() - began >= lock_wait) shared_.rescan_pending = true;
            shared_.closed.notify_all();
        }
        if (mismatch_.load()) PortAudioSystem::set_needs_adapting(shared_, name_);
    }

    DriverLatencies latencies() const override {
        auto lock = system_.lock();
        if (!lock.owns_lock()) return {};
        const PaStreamInfo* info = stream_ ? Pa_GetStreamInfo(stream_.get()) : nullptr;
        if (!info) return {};
        return {static_cast<uint32_t>(std::lround(info->inputLatency * rate_Hz_)),
                static_cast<uint32_t>(std::lround(info->outputLatency * rate_Hz_))};
    }

private:
    // Under the lock: PortAudio still has the device list our index is from.
    bool current() const { return shared_.initialised && shared_.generation == generation_; }

    PaStreamParameters& params(bool output, PaSampleFormat format) {
        PaStreamParameters& p = output ? out_params_ : in_params_;
        p = {};
        p.device = index_;
        p.channelCount = static_cast<int>(output ? channels_.outputs : channels_.inputs);
        p.sampleFormat = format;
        return p;
    }

    // JACK carries floats; for cards we ask for the widest integer type PortAudio
    // accepts for the device at this rate.
    FormatChoice choose_format(bool output) {
        if ((output ? channels_.outputs : channels_.inputs) == 0) return float_format;
        if (host_ == paJACK) return float_format;
        for (const FormatChoice& choice : integer_formats) {
            PaStreamParameters p = params(output, choice.format | paNonInterleaved);
            if (Pa_IsFormatSupported(output ? nullptr : &p, output ? &p : nullptr, rate_Hz_) ==
                paFormatIsSupported)
                return choice;
        }
        return float_format;
    }

    static int callback(const void* input, void* output, unsigned long frames,
                        const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags flags, void* user) {
        auto* self = static_cast<PortAudioDriver*>(user);
        DriverBlock block;
        if (input && self->channels_.inputs)
            block.inputs = {static_cast<const void* const*>(input), self->channels_.inputs};
        if (output && self->channels_.outputs)
            block.outputs = {static_cast<void* const*>(output), self->channels_.outputs};
        block.frames = static_cast<uint32_t>(frames);
        if (self->direct_ && block.frames != self->frames_) {
            // The server runs another period than we took it for: from the next
            // start on PortAudio adapts the block size for this device.
            if (!self->mismatch_.exchange(true)) self->client_->driver_message(driver_reset_request, 0);
        }
        block.xrun = (flags & (paInputOverflow | paOutputUnderflow)) != 0;
        self->client_->buffer_switch(block);
        return paContinue;
    }

    // The stream ended without us stopping it (the server went away): ask for a
    // restart rather than wait for the watchdog to notice the silence.
    static void finished(void* user) {
        auto* self = static_cast<PortAudioDriver*>(user);
        if (!self->stopping_.load() && self->client_)
            self->client_->driver_message(driver_reset_request, 0);
    }

    PortAudioSystem& system_;  // not used by stop and dispose (see there)
    PortAudioSystem::Shared& shared_;
    const uint64_t generation_;
    const PaDeviceIndex index_;
    const std::string name_;
    const PaHostApiTypeId host_;
    DriverChannels channels_;
    uint32_t preferred_ = 0;
    uint32_t rate_Hz_ = 48000;
    FormatChoice input_format_ = float_format;
    FormatChoice output_format_ = float_format;
    PaStreamParameters in_params_{};
    PaStreamParameters out_params_{};
    DriverClient* client_ = nullptr;
    StreamHandle stream_;
    std::atomic<bool> stopping_{true};
    bool direct_ = false;  // blocks come straight from the JACK server's period
    uint32_t frames_ = 0;
    std::atomic<bool> mismatch_{false};
};

// ---------------------------------------------------------------------------

std::unique_ptr<PortAudioSystem> PortAudioSystem::open(std::string& error) {
    std::unique_ptr<PortAudioSystem> system(new PortAudioSystem());
    Shared& shared = *system->shared_;
    std::lock_guard lock(shared.mutex);
    if (!initialise_portaudio(error)) return nullptr;
    shared.initialised = true;
    ++shared.generation;
    shared.last_scan = std::chrono::steady_clock::now();
    return system;
}

PortAudioSystem::~PortAudioSystem() {
    Lock lock(shared_->mutex, lock_wait);
    if (!lock.owns_lock() || shared_->open_streams != 0) {
        // A stream is stuck in PortAudio: terminating would wait for it and then
        // free what it still uses. The process ends without Pa_Terminate.
        log_event(log_who, "a stream is still stuck in PortAudio: leaving PortAudio as it is");
        return;  // shared_ stays for the stuck call
    }
    if (shared_->initialised) Pa_Terminate();
    lock.unlock();
    delete shared_;
}

PortAudioSystem::Lock PortAudioSystem::lock() { return Lock(shared_->mutex, lock_wait); }

bool PortAudioSystem::reinitialise_locked() {
    Shared& s = *shared_;
    if (s.open_streams != 0) return false;
    if (s.initialised) Pa_Terminate();
    std::string error;
    s.initialised = initialise_portaudio(error);
    ++s.generation;
    if (!s.initialised) log_event(log_who, error);
    s.rescan_pending = false;
    s.open_failed = false;
    s.last_scan = std::chrono::steady_clock::now();
    return s.initialised;
}

void PortAudioSystem::settle_locked(Lock& lock, std::chrono::milliseconds wait) {
    Shared& s = *shared_;
    if (!s.rescan_pending && s.initialised) return;
    if (s.open_streams != 0 && wait.count() > 0)
        s.closed.wait_for(lock, wait, [&s] { return s.open_streams == 0; });
    if (s.open_streams == 0) reinitialise_locked();
}

void PortAudioSystem::rescan() {
    auto lock = this->lock();
    if (!lock.owns_lock()) return;  // the next retry that finds PortAudio free rescans
    shared_->rescan_pending = true;
    if (shared_->open_streams == 0) reinitialise_locked();
}

bool PortAudioSystem::needs_adapting(Shared& shared, const std::string& name) {
    std::lock_guard lock(shared.adapt_mutex);
    return std::find(shared.adapted.begin(), shared.adapted.end(), name) != shared.adapted.end();
}

void PortAudioSystem::set_needs_adapting(Shared& shared, const std::string& name) {
    std::lock_guard lock(shared.adapt_mutex);
    if (std::find(shared.adapted.begin(), shared.adapted.end(), name) == shared.adapted.end())
        shared.adapted.push_back(name);
}

std::vector<DriverDescription> PortAudioSystem::enumerate() {
    std::vector<DriverDescription> list;
    auto lock = this->lock();
    if (!lock.owns_lock()) {
        log_event(log_who, busy_text);
        return list;
    }
    settle_locked(lock, std::chrono::milliseconds(0));
    if (!shared_->initialised) return list;
    const PaDeviceIndex count = Pa_GetDeviceCount();
    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info || !info->name) continue;
        const PaHostApiInfo* host = Pa_GetHostApiInfo(info->hostApi);
        DriverDescription d;
        d.name = info->name;
        d.host = host ? host_name(host->type) : "other";
        d.channels = {static_cast<uint32_t>(std::max(info->maxInputChannels, 0)),
                      static_cast<uint32_t>(std::max(info->maxOutputChannels, 0))};
        d.default_rate_Hz = static_cast<uint32_t>(std::lround(info->defaultSampleRate));
        list.push_back(std::move(d));
    }
    return list;
}

std::unique_ptr<AudioDriver> PortAudioSystem::create(std::string_view name) {
    auto lock = this->lock();
    if (!lock.owns_lock()) return nullptr;
    Shared& s = *shared_;
    // A stream closed late (it was stuck): the device list may be stale.
    settle_locked(lock, std::chrono::duration_cast<std::chrono::milliseconds>(rescan_wait));
    auto find = [&]() -> PaDeviceIndex {
        if (!s.initialised) return paNoDevice;
        const PaDeviceIndex count = Pa_GetDeviceCount();
        for (PaDeviceIndex i = 0; i < count; ++i) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
            if (info && info->name && name == info->name) return i;
        }
        return paNoDevice;
    };
    PaDeviceIndex index = find();
    const bool due = std::chrono::steady_clock::now() - s.last_scan >= missing_device_rescan_period;
    if ((index == paNoDevice || s.open_failed) && due && s.open_streams == 0) {
        reinitialise_locked();
        index = find();
    }
    if (index == paNoDevice) return nullptr;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
    const PaHostApiInfo* host = Pa_GetHostApiInfo(info->hostApi);
    return std::make_unique<PortAudioDriver>(*this, index, *info, host ? host->type : paInDevelopment);
}

}  // namespace torvalen
