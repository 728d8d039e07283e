// libavcodec and libavutil, loaded on first use. Linked at build time they would
// pull about a hundred libraries into every start of the program (video codecs, X11,
// fonts), which costs each start tens of milliseconds; only AAC on the link and on
// the streams needs them.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

namespace torvalen {

// The functions used, with the types of the headers the program is built against.
struct AvcodecLibrary {
    decltype(&::avcodec_find_encoder) avcodec_find_encoder;
    decltype(&::avcodec_find_decoder) avcodec_find_decoder;
    decltype(&::avcodec_alloc_context3) avcodec_alloc_context3;
    decltype(&::avcodec_free_context) avcodec_free_context;
    decltype(&::avcodec_open2) avcodec_open2;
    decltype(&::avcodec_send_frame) avcodec_send_frame;
    decltype(&::avcodec_receive_packet) avcodec_receive_packet;
    decltype(&::avcodec_send_packet) avcodec_send_packet;
    decltype(&::avcodec_receive_frame) avcodec_receive_frame;
    decltype(&::av_packet_alloc) av_packet_alloc;
    decltype(&::av_packet_free) av_packet_free;
    decltype(&::av_packet_unref) av_packet_unref;
    decltype(&::av_frame_alloc) av_frame_alloc;
    decltype(&::av_frame_free) av_frame_free;
    decltype(&::av_frame_get_buffer) av_frame_get_buffer;
    decltype(&::av_frame_make_writable) av_frame_make_writable;
    decltype(&::av_frame_unref) av_frame_unref;
    decltype(&::av_channel_layout_default) av_channel_layout_default;
    decltype(&::av_channel_layout_copy) av_channel_layout_copy;
    decltype(&::av_dict_set) av_dict_set;
    decltype(&::av_dict_free) av_dict_free;
};

// The library, loaded once per process (its log turned down to errors); nullptr
// when either file or one of the functions is missing, which is logged once.
const AvcodecLibrary* avcodec_library();

}  // namespace torvalen
