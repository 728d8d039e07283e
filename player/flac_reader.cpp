// FLAC through libFLAC's stream decoder, reading our ByteSource through callbacks.
#include <FLAC/stream_decoder.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "player/file_decoder.h"

namespace torvalen::player {

namespace {

constexpr uint32_t max_block = 65535;  // the format's largest block

// Client data of the libFLAC callbacks.
struct FlacState {
    ByteSource* source = nullptr;
    uint64_t position = 0;
    bool tags_only = false;
    std::vector<float> buffer;  // one decoded frame, interleaved stereo
    size_t read_index = 0;
    size_t samples = 0;  // floats in buffer from the last frame
    ItemTags tags;
    uint32_t rate = 0;
    uint32_t channels = 0;
    uint64_t total_samples = 0;  // frames; 0 when unknown
    bool have_info = false;
    bool error = false;
    bool eof = false;
    bool finished = false;
};

FLAC__StreamDecoderReadStatus read_cb(const FLAC__StreamDecoder*, FLAC__byte buffer[], size_t* bytes, void* user) {
    auto* s = static_cast<FlacState*>(user);
    const int64_t n = s->source->read_at(s->position, std::span(buffer, *bytes));
    if (n < 0) {
        *bytes = 0;
        s->error = true;
        return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
    }
    *bytes = static_cast<size_t>(n);
    s->position += static_cast<uint64_t>(n);
    if (n == 0) {
        s->eof = true;
        return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
    }
    return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderSeekStatus seek_cb(const FLAC__StreamDecoder*, FLAC__uint64 offset, void* user) {
    auto* s = static_cast<FlacState*>(user);
    s->position = offset;
    s->eof = false;
    return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
}

FLAC__StreamDecoderTellStatus tell_cb(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* user) {
    *offset = static_cast<FlacState*>(user)->position;
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderLengthStatus length_cb(const FLAC__StreamDecoder*, FLAC__uint64* length, void* user) {
    *length = static_cast<FlacState*>(user)->source->size();
    return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

FLAC__bool eof_cb(const FLAC__StreamDecoder*, void* user) {
    auto* s = static_cast<FlacState*>(user);
    return s->position >= s->source->size();
}

FLAC__StreamDecoderWriteStatus write_cb(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                        const FLAC__int32* const channel[], void* user) {
    auto* s = static_cast<FlacState*>(user);
    if (s->tags_only) return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    const uint32_t blocksize = frame->header.blocksize;
    const uint32_t bits = frame->header.bits_per_sample;
    if (blocksize > max_block || bits == 0 || bits > 32) {
        s->error = true;
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    if (s->buffer.size() < 2 * size_t{blocksize}) s->buffer.resize(2 * size_t{blocksize});
    const FLAC__int32* left = channel[0];
    const FLAC__int32* right = channel[frame->header.channels > 1 ? 1 : 0];
    const float scale = static_cast<float>(int64_t{1} << (32 - bits));
    float* out = s->buffer.data();
    for (uint32_t i = 0; i < blocksize; ++i) {
        out[2 * i] = static_cast<float>(left[i]) * scale;
        out[2 * i + 1] = static_cast<float>(right[i]) * scale;
    }
    s->samples = 2 * size_t{blocksize};
    s->read_index = 0;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

// The value of the first "NAME=value" entry, the name compared without case.
std::optional<std::string> comment_value(const FLAC__StreamMetadata_VorbisComment& vc, std::string_view name) {
    for (uint32_t i = 0; i < vc.num_comments; ++i) {
        const auto& e = vc.comments[i];
        if (!e.entry || e.length <= name.size() || e.entry[name.size()] != '=') continue;
        bool match = true;
        for (size_t k = 0; k < name.size() && match; ++k) {
            const char c = static_cast<char>(e.entry[k]);
            match = (c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c) == name[k];
        }
        if (match) return tag_text(std::span(e.entry + name.size() + 1, e.length - name.size() - 1));
    }
    return std::nullopt;
}

void metadata_cb(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* m, void* user) {
    auto* s = static_cast<FlacState*>(user);
    if (m->type == FLAC__METADATA_TYPE_STREAMINFO) {
        const auto& si = m->data.stream_info;
        s->rate = si.sample_rate;
        s->channels = si.channels;
        s->total_samples = si.total_samples;
        s->have_info = true;
        if (!s->tags_only) s->buffer.resize(2 * size_t{std::max<uint32_t>(si.max_blocksize, 16)});
    } else if (m->type == FLAC__METADATA_TYPE_VORBIS_COMMENT) {
        const auto& vc = m->data.vorbis_comment;
        s->tags.artist = comment_value(vc, "ARTIST");
        s->tags.title = comment_value(vc, "TITLE");
    }
}

void error_cb(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* user) {
    auto* s = static_cast<FlacState*>(user);
    if (status == FLAC__STREAM_DECODER_ERROR_STATUS_BAD_HEADER ||
        status == FLAC__STREAM_DECODER_ERROR_STATUS_UNPARSEABLE_STREAM)
        s->error = true;
    // Lost sync, a frame's CRC mismatch and damaged metadata are skipped over.
}

struct DecoderDeleter {
    void operator()(FLAC__StreamDecoder* d) const {
        FLAC__stream_decoder_finish(d);
        FLAC__stream_decoder_delete(d);
    }
};
using DecoderPtr = std::unique_ptr<FLAC__StreamDecoder, DecoderDeleter>;

// A decoder on `state` that has read the metadata; nothing on failure.
DecoderPtr start(FlacState& state) {
    DecoderPtr d(FLAC__stream_decoder_new());
    if (!d) return nullptr;
    FLAC__stream_decoder_set_metadata_respond(d.get(), FLAC__METADATA_TYPE_VORBIS_COMMENT);
    if (FLAC__stream_decoder_init_stream(d.get(), read_cb, seek_cb, tell_cb, length_cb, eof_cb, write_cb, metadata_cb,
                                         error_cb, &state) != FLAC__STREAM_DECODER_INIT_STATUS_OK)
        return nullptr;
    if (!FLAC__stream_decoder_process_until_end_of_metadata(d.get()) || !state.have_info) return nullptr;
    return d;
}

class FlacReader final : public FormatReader {
public:
    explicit FlacReader(ByteSource& source) { state_.source = &source; }

    bool open(ItemInfo& info) {
        decoder_ = start(state_);
        if (!decoder_ || state_.error || state_.rate == 0 || state_.channels == 0) return false;
        FLAC__uint64 position = 0;
        if (!FLAC__stream_decoder_get_decode_position(decoder_.get(), &position)) position = state_.position;
        const uint64_t size = state_.source->size();
        const uint64_t audio_bytes = size > position ? size - position : 0;
        bit_rate_ = static_cast<uint32_t>(
            std::min<uint64_t>(mul_div(audio_bytes * 8, state_.rate, state_.total_samples), UINT32_MAX));
        info.artist = state_.tags.artist;
        info.title = state_.tags.title;
        info.source_rate = state_.rate;
        info.channels = state_.channels;
        info.bit_rate = bit_rate_;
        return true;
    }

    int64_t read(std::span<float> out) override {
        size_t written = 0;
        while (written + 2 <= out.size()) {
            if (state_.read_index >= state_.samples) {
                if (state_.error) return -1;
                if (state_.finished) break;
                state_.samples = state_.read_index = 0;
                const uint64_t before = state_.position;
                if (!FLAC__stream_decoder_process_single(decoder_.get()) || state_.error) return -1;
                const auto st = FLAC__stream_decoder_get_state(decoder_.get());
                if (state_.samples == 0 &&
                    (st == FLAC__STREAM_DECODER_END_OF_STREAM || state_.eof || state_.position == before))
                    state_.finished = true;
                if (st == FLAC__STREAM_DECODER_END_OF_STREAM || state_.eof) state_.finished = true;
                continue;
            }
            const size_t n = std::min(state_.samples - state_.read_index, (out.size() - written) & ~size_t{1});
            std::copy_n(state_.buffer.data() + state_.read_index, n, out.data() + written);
            state_.read_index += n;
            written += n;
        }
        return static_cast<int64_t>(written);
    }

    uint64_t length() override { return mul_div(state_.total_samples * 2, engine_rate, state_.rate); }

    void seek(uint64_t position, uint64_t total) override {
        state_.samples = state_.read_index = 0;
        state_.finished = false;
        state_.eof = false;
        uint64_t frame = mul_div(position, state_.rate, uint64_t{engine_rate} * 2);
        if (state_.total_samples > 0) frame = std::min(frame, state_.total_samples - 1);
        if (!FLAC__stream_decoder_seek_absolute(decoder_.get(), frame)) {
            // A failed seek leaves the decoder needing a flush before it decodes again.
            FLAC__stream_decoder_flush(decoder_.get());
            state_.samples = state_.read_index = 0;
        }
    }

    uint32_t bit_rate() const override { return bit_rate_; }

private:
    FlacState state_;
    DecoderPtr decoder_;
    uint32_t bit_rate_ = 0;
};

}  // namespace

std::unique_ptr<FormatReader> open_flac(ByteSource& source, ItemInfo& info) {
    auto reader = std::make_unique<FlacReader>(source);
    if (!reader->open(info)) return nullptr;
    return reader;
}

std::optional<ItemTags> read_flac_tags(ByteSource& source) {
    FlacState state;
    state.source = &source;
    state.tags_only = true;
    if (!start(state)) return std::nullopt;
    return state.tags;
}

}  // namespace torvalen::player
