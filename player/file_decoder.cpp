#include "player/file_decoder.h"

#include <samplerate.h>

#include <algorithm>
#include <cstring>

namespace torvalen::player {

std::string_view kind_name(DecoderKind kind) {
    switch (kind) {
        case DecoderKind::wav: return "Wav";
        case DecoderKind::ogg: return "Ogg";
        case DecoderKind::mp3: return "Mp3";
        case DecoderKind::flac: return "Flac";
    }
    return "";
}

std::string display_path(const std::filesystem::path& path) {
    const std::string& bytes = path.native();
    return tag_text(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())).value_or("");
}

namespace {

std::optional<DecoderKind> kind_of(const std::filesystem::path& path) {
    const std::string& p = path.native();
    const size_t dot = p.rfind('.');
    if (dot == std::string::npos || dot + 1 == p.size()) return std::nullopt;
    std::string ext = p.substr(dot + 1);
    if (ext.find('/') != std::string::npos) return std::nullopt;  // the dot was in a folder name
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (ext == "wav") return DecoderKind::wav;
    if (ext == "ogg") return DecoderKind::ogg;
    if (ext == "mp3") return DecoderKind::mp3;
    if (ext == "flac") return DecoderKind::flac;
    return std::nullopt;
}

}  // namespace

FileDecoder::~FileDecoder() {
    reader_.reset();  // before the source it reads
    if (resampler_) src_delete(resampler_);
}

std::unique_ptr<FileDecoder> OpenDecoder(const std::filesystem::path& path, ItemInfo& info) {
    info = {};
    const auto kind = kind_of(path);
    if (!kind) return nullptr;
    std::unique_ptr<FileDecoder> d(new FileDecoder);
    int error = 0;
    d->resampler_ = src_new(SRC_SINC_FASTEST, 2, &error);
    if (!d->resampler_) return nullptr;
    d->source_ = FileSource::open(path);
    if (!d->source_) return nullptr;
    d->kind_ = *kind;
    switch (*kind) {
        case DecoderKind::wav: d->reader_ = open_wav(*d->source_, info); break;
        case DecoderKind::ogg: d->reader_ = open_ogg(*d->source_, info); break;
        case DecoderKind::mp3: d->reader_ = open_mp3(*d->source_, info); break;
        case DecoderKind::flac: d->reader_ = open_flac(*d->source_, info); break;
    }
    if (!d->reader_ || info.source_rate == 0) {
        info = {};
        return nullptr;
    }
    if (!(info.artist && info.title)) info.artist.reset(), info.title.reset();
    info.kind = *kind;
    info.kind_name = kind_name(*kind);
    d->source_rate_ = info.source_rate;
    return d;
}

BlockResult ReadBlock(FileDecoder& d, std::span<float> out) {
    const size_t want = out.size() & ~size_t{1};
    if (d.finished_ || want == 0) return {0, 0};

    if (d.source_rate_ == engine_rate) {
        size_t done = 0;
        while (done < want) {
            const int64_t n = d.reader_->read(out.subspan(done, want - done));
            if (n < 0) return {-1, 0};
            if (n == 0) break;
            done += static_cast<size_t>(n);
        }
        if (done == want) return {1, done};
        d.finished_ = true;
        return {0, done};
    }

    // The converter runs at the fixed ratio of the two rates, fed as much source
    // as the request needs; the tail held in the filter is flushed at the end.
    const double ratio = static_cast<double>(engine_rate) / d.source_rate_;
    size_t done = 0;
    int idle_rounds = 0;
    while (done < want) {
        const size_t need = std::max<size_t>(64, mul_div(want - done, d.source_rate_, engine_rate) & ~uint64_t{1});
        if (need > d.pending_capacity_) {
            auto grown = std::make_unique<float[]>(need);
            std::copy_n(d.pending_.get(), d.leftover_, grown.get());
            d.pending_ = std::move(grown);
            d.pending_capacity_ = need;
        }
        if (!d.source_ended_ && d.leftover_ < need) {
            const int64_t n = d.reader_->read(std::span(d.pending_.get() + d.leftover_, need - d.leftover_));
            if (n < 0) return {-1, 0};
            if (n == 0) d.source_ended_ = true;
            d.leftover_ += static_cast<size_t>(n);
        }
        SRC_DATA data{};
        data.data_in = d.pending_.get();
        data.input_frames = static_cast<long>(d.leftover_ / 2);
        data.data_out = out.data() + done;
        data.output_frames = static_cast<long>((want - done) / 2);
        data.end_of_input = d.source_ended_ ? 1 : 0;
        data.src_ratio = ratio;
        if (src_process(d.resampler_, &data) != 0) return {-1, 0};
        const size_t used = static_cast<size_t>(data.input_frames_used) * 2;
        std::memmove(d.pending_.get(), d.pending_.get() + used, (d.leftover_ - used) * sizeof(float));
        d.leftover_ -= used;
        done += static_cast<size_t>(data.output_frames_gen) * 2;
        if (used == 0 && data.output_frames_gen == 0) {
            // At the end nothing more comes out of the filter; elsewhere the
            // converter must move on, or the stream is broken.
            if (d.source_ended_) break;
            if (++idle_rounds > 4) return {-1, 0};
        } else {
            idle_rounds = 0;
        }
    }
    if (done == 0) {
        d.finished_ = true;
        return {0, 0};
    }
    return {1, done};
}

uint64_t GetLength(FileDecoder& d) { return d.reader_->length(); }

uint64_t SeekDecoder(FileDecoder& d, uint64_t position, uint64_t total) {
    if (total == 0) total = d.reader_->length();
    if (total > 0) d.reader_->seek(std::min(position, total), total);
    src_reset(d.resampler_);
    d.leftover_ = 0;
    d.source_ended_ = false;
    d.finished_ = false;
    return position;
}

std::optional<ItemTags> ReadFileTags(const std::filesystem::path& path) {
    const auto kind = kind_of(path);
    if (!kind) return std::nullopt;
    const auto source = FileSource::open(path);
    if (!source) return std::nullopt;
    std::optional<ItemTags> tags;
    switch (*kind) {
        case DecoderKind::wav:
            if (auto layout = scan_wav(*source, false)) tags = std::move(layout->tags);
            break;
        case DecoderKind::mp3: tags = scan_mp3(*source).tags; break;
        case DecoderKind::ogg: tags = read_ogg_tags(*source); break;
        case DecoderKind::flac: tags = read_flac_tags(*source); break;
    }
    if (!tags || !tags->complete()) return std::nullopt;
    return tags;
}

}  // namespace torvalen::player
