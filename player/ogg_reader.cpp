// Ogg Vorbis through libvorbisfile (libogg and libvorbis underneath), reading our
// ByteSource through callbacks: exact length from the granule positions and
// sample-exact seeking, where the stream allows it.
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "player/file_decoder.h"

namespace torvalen::player {

namespace {

struct Cursor {
    ByteSource* source;
    uint64_t position = 0;
};

size_t read_cb(void* ptr, size_t size, size_t count, void* user) {
    auto* c = static_cast<Cursor*>(user);
    const int64_t n = c->source->read_at(c->position, std::span(static_cast<uint8_t*>(ptr), size * count));
    if (n < 0) {
        errno = EIO;
        return 0;
    }
    c->position += static_cast<uint64_t>(n);
    return size ? static_cast<size_t>(n) / size : 0;
}

int seek_cb(void* user, ogg_int64_t offset, int whence) {
    auto* c = static_cast<Cursor*>(user);
    int64_t base = 0;
    if (whence == SEEK_CUR) base = static_cast<int64_t>(c->position);
    else if (whence == SEEK_END) base = static_cast<int64_t>(c->source->size());
    if (base + offset < 0) return -1;
    c->position = static_cast<uint64_t>(base + offset);
    return 0;
}

long tell_cb(void* user) { return static_cast<long>(static_cast<Cursor*>(user)->position); }

constexpr ov_callbacks callbacks{read_cb, seek_cb, nullptr, tell_cb};

ItemTags comment_tags(OggVorbis_File& vf) {
    ItemTags tags;
    vorbis_comment* vc = ov_comment(&vf, -1);
    if (!vc) return tags;
    auto take = [&](const char* name) -> std::optional<std::string> {
        const char* v = vorbis_comment_query(vc, name, 0);
        if (!v) return std::nullopt;
        return tag_text(std::span(reinterpret_cast<const uint8_t*>(v), std::strlen(v)));
    };
    tags.artist = take("ARTIST");
    tags.title = take("TITLE");
    return tags;
}

class OggReader final : public FormatReader {
public:
    explicit OggReader(ByteSource& source) : cursor_{&source} {}
    ~OggReader() override {
        if (opened_) ov_clear(&vf_);
    }

    bool open(ItemInfo& info) {
        if (ov_open_callbacks(&cursor_, &vf_, nullptr, 0, callbacks) != 0) return false;
        opened_ = true;
        const vorbis_info* vi = ov_info(&vf_, -1);
        if (!vi || vi->channels < 1 || vi->rate <= 0 || vi->rate > 384000) return false;
        rate_ = static_cast<uint32_t>(vi->rate);
        nominal_ = vi->bitrate_nominal > 0 ? static_cast<double>(vi->bitrate_nominal) : 0.0;
        const long average = ov_bitrate(&vf_, -1);
        bit_rate_ = average > 0 ? static_cast<double>(average) : nominal_;
        // Decode until there is sound, so a file without audio does not open.
        if (!decode_more()) return false;
        const ItemTags tags = comment_tags(vf_);
        info.artist = tags.artist;
        info.title = tags.title;
        info.source_rate = rate_;
        info.channels = static_cast<uint32_t>(vi->channels);
        info.bit_rate = static_cast<uint32_t>(bit_rate_);
        return true;
    }

    int64_t read(std::span<float> out) override {
        size_t written = 0;
        while (written + 2 <= out.size()) {
            if (taken_ >= available_) {
                if (ended_ || !decode_more()) break;
            }
            const size_t n = std::min<size_t>(available_ - taken_, (out.size() - written) / 2);
            const float* left = pcm_[0] + taken_;
            const float* right = pcm_[channels_ > 1 ? 1 : 0] + taken_;
            for (size_t i = 0; i < n; ++i) {
                out[written++] = left[i] * 2147483648.0f;
                out[written++] = right[i] * 2147483648.0f;
            }
            taken_ += n;
        }
        if (error_ && written == 0) return -1;
        return static_cast<int64_t>(written);
    }

    uint64_t length() override {
        const ogg_int64_t frames = ov_pcm_total(&vf_, -1);
        if (frames > 0) return mul_div(static_cast<uint64_t>(frames) * 2, engine_rate, rate_);
        if (nominal_ <= 0) return 0;
        const double estimate = static_cast<double>(cursor_.source->size()) * 8.0 * rate_ / nominal_;
        return mul_div(static_cast<uint64_t>(estimate) * 2, engine_rate, rate_);
    }

    void seek(uint64_t position, uint64_t total) override {
        const uint64_t frame = mul_div(position, rate_, uint64_t{engine_rate} * 2);
        taken_ = available_ = 0;
        ended_ = false;
        if (ov_seekable(&vf_)) {
            ov_pcm_seek(&vf_, static_cast<ogg_int64_t>(frame));
        } else {
            ov_raw_seek(&vf_, static_cast<ogg_int64_t>(mul_div(cursor_.source->size(), position, total)));
        }
    }

    uint32_t bit_rate() const override { return static_cast<uint32_t>(bit_rate_ + 0.5); }

private:
    // Decodes the next run of samples; false at the end of the stream or on an error.
    bool decode_more() {
        for (int holes = 0; holes < 1000; ++holes) {
            float** pcm = nullptr;
            int link = 0;
            const long n = ov_read_float(&vf_, &pcm, 4096, &link);
            if (n > 0) {
                const vorbis_info* vi = ov_info(&vf_, link);
                channels_ = vi ? vi->channels : 1;
                pcm_ = pcm;
                available_ = static_cast<size_t>(n);
                taken_ = 0;
                const long instant = ov_bitrate_instant(&vf_);
                if (instant > 0) bit_rate_ += (static_cast<double>(instant) - bit_rate_) * 0.0005;
                return true;
            }
            if (n == 0) {
                ended_ = true;
                return false;
            }
            if (n != OV_HOLE) {  // a damaged page ends in a hole; anything else is fatal
                error_ = true;
                return false;
            }
        }
        error_ = true;
        return false;
    }

    Cursor cursor_;
    OggVorbis_File vf_{};
    bool opened_ = false;
    uint32_t rate_ = 0;
    double nominal_ = 0;
    double bit_rate_ = 0;
    float** pcm_ = nullptr;
    int channels_ = 1;
    size_t available_ = 0;
    size_t taken_ = 0;
    bool ended_ = false;
    bool error_ = false;
};

}  // namespace

std::unique_ptr<FormatReader> open_ogg(ByteSource& source, ItemInfo& info) {
    auto reader = std::make_unique<OggReader>(source);
    if (!reader->open(info)) return nullptr;
    return reader;
}

std::optional<ItemTags> read_ogg_tags(ByteSource& source) {
    Cursor cursor{&source};
    OggVorbis_File vf{};
    // Only the headers: no scan of the whole file.
    if (ov_test_callbacks(&cursor, &vf, nullptr, 0, callbacks) != 0) return std::nullopt;
    ItemTags tags = comment_tags(vf);
    ov_clear(&vf);
    return tags;
}

}  // namespace torvalen::player
