// Ogg Vorbis through libvorbisenc, paged with libogg (serial number 0).
#include <ogg/ogg.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <vector>

#include "stream/encoder.h"

namespace torvalen::stream {

namespace {

constexpr float to_unit = 4.656613e-10f;  // 2^-31

class VorbisEncoder final : public Encoder {
public:
    ~VorbisEncoder() override {
        if (stream_ready_) ogg_stream_clear(&os_);
        if (block_ready_) vorbis_block_clear(&vb_);
        if (dsp_ready_) vorbis_dsp_clear(&vd_);
        vorbis_comment_clear(&vc_);
        vorbis_info_clear(&vi_);
    }

    bool open(const VorbisSettings& s, const std::string* title) {
        vorbis_info_init(&vi_);
        vorbis_comment_init(&vc_);
        channels_ = s.channels == 1 ? 1 : 2;
        const long maximum = std::max(s.max_bitrate, s.bitrate);
        const long minimum = std::min(s.min_bitrate, s.bitrate);
        if (vorbis_encode_init(&vi_, channels_, static_cast<long>(s.rate), maximum, static_cast<long>(s.bitrate),
                               minimum) != 0)
            return false;
        if (vorbis_analysis_init(&vd_, &vi_) != 0) return false;
        dsp_ready_ = true;
        if (vorbis_block_init(&vd_, &vb_) != 0) return false;
        block_ready_ = true;
        if (title && !title->empty()) vorbis_comment_add_tag(&vc_, "PUBLISHER", title->c_str());
        if (ogg_stream_init(&os_, 0) != 0) return false;
        stream_ready_ = true;
        ogg_packet header, comment, code;
        if (vorbis_analysis_headerout(&vd_, &vc_, &header, &comment, &code) != 0) return false;
        ogg_stream_packetin(&os_, &header);
        ogg_stream_packetin(&os_, &comment);
        ogg_stream_packetin(&os_, &code);
        return true;
    }

    void encode(std::span<const float> stereo, const PieceSink& sink) override {
        if (!headers_sent_) {
            // The three header packets, flushed so audio starts on a page of its own.
            ogg_page page;
            while (ogg_stream_flush(&os_, &page) != 0) send_page(page, sink);
            headers_sent_ = true;
        }
        const int frames = static_cast<int>(stereo.size() / 2);
        if (frames > 0) {
            float** buffer = vorbis_analysis_buffer(&vd_, frames);
            for (int i = 0; i < frames; ++i) {
                const float l = std::clamp(stereo[2 * i] * to_unit, -1.0f, 1.0f);
                buffer[0][i] = l;
                if (channels_ == 2) buffer[1][i] = std::clamp(stereo[2 * i + 1] * to_unit, -1.0f, 1.0f);
            }
            vorbis_analysis_wrote(&vd_, frames);
        }
        while (vorbis_analysis_blockout(&vd_, &vb_) == 1) {
            vorbis_analysis(&vb_, nullptr);
            vorbis_bitrate_addblock(&vb_);
            ogg_packet packet;
            while (vorbis_bitrate_flushpacket(&vd_, &packet) == 1) {
                ogg_stream_packetin(&os_, &packet);
                ogg_page page;
                while (ogg_stream_pageout(&os_, &page) != 0) send_page(page, sink);
            }
        }
    }

private:
    // A page goes out as header and body in one piece.
    void send_page(const ogg_page& page, const PieceSink& sink) {
        const std::size_t size = static_cast<std::size_t>(page.header_len + page.body_len);
        if (page_bytes_.size() < size) page_bytes_.resize(size);
        std::copy_n(page.header, page.header_len, page_bytes_.data());
        std::copy_n(page.body, page.body_len, page_bytes_.data() + page.header_len);
        sink(std::span<const uint8_t>(page_bytes_.data(), size));
    }

    vorbis_info vi_{};
    vorbis_comment vc_{};
    vorbis_dsp_state vd_{};
    vorbis_block vb_{};
    ogg_stream_state os_{};
    bool dsp_ready_ = false, block_ready_ = false, stream_ready_ = false;
    bool headers_sent_ = false;
    int channels_ = 2;
    std::vector<uint8_t> page_bytes_;
};

}  // namespace

std::unique_ptr<Encoder> open_vorbis(const VorbisSettings& s, const std::string* title) {
    auto e = std::make_unique<VorbisEncoder>();
    if (!e->open(s, title)) return nullptr;
    return e;
}

}  // namespace torvalen::stream
