#include "engine/avcodec_library.h"

#include <dlfcn.h>

#include <string>
#include <type_traits>

#include "engine/log.h"

namespace torvalen {

namespace {

// The files of the major versions the program was built against: their functions
// have the headers' types.
constexpr const char* avcodec_file = "libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR);
constexpr const char* avutil_file = "libavutil.so." AV_STRINGIFY(LIBAVUTIL_VERSION_MAJOR);

const AvcodecLibrary* load() {
    // Never closed: encoders and decoders may live until the process ends.
    void* avutil = ::dlopen(avutil_file, RTLD_NOW | RTLD_LOCAL);
    void* avcodec = avutil ? ::dlopen(avcodec_file, RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (!avcodec) {
        const char* why = ::dlerror();
        log_event("AAC", std::string("cannot load the codec library: ") + (why ? why : avcodec_file));
        return nullptr;
    }
    static AvcodecLibrary library;
    std::string missing;
    auto find = [&](void* handle, auto& fn, const char* name) {
        void* p = ::dlsym(handle, name);
        if (!p) missing += missing.empty() ? name : std::string(", ") + name;
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(p);
    };
    AvcodecLibrary& l = library;
    find(avcodec, l.avcodec_find_encoder, "avcodec_find_encoder");
    find(avcodec, l.avcodec_find_decoder, "avcodec_find_decoder");
    find(avcodec, l.avcodec_alloc_context3, "avcodec_alloc_context3");
    find(avcodec, l.avcodec_free_context, "avcodec_free_context");
    find(avcodec, l.avcodec_open2, "avcodec_open2");
    find(avcodec, l.avcodec_send_frame, "avcodec_send_frame");
    find(avcodec, l.avcodec_receive_packet, "avcodec_receive_packet");
    find(avcodec, l.avcodec_send_packet, "avcodec_send_packet");
    find(avcodec, l.avcodec_receive_frame, "avcodec_receive_frame");
    find(avcodec, l.av_packet_alloc, "av_packet_alloc");
    find(avcodec, l.av_packet_free, "av_packet_free");
    find(avcodec, l.av_packet_unref, "av_packet_unref");
    find(avutil, l.av_frame_alloc, "av_frame_alloc");
    find(avutil, l.av_frame_free, "av_frame_free");
    find(avutil, l.av_frame_get_buffer, "av_frame_get_buffer");
    find(avutil, l.av_frame_make_writable, "av_frame_make_writable");
    find(avutil, l.av_frame_unref, "av_frame_unref");
    find(avutil, l.av_channel_layout_default, "av_channel_layout_default");
    find(avutil, l.av_channel_layout_copy, "av_channel_layout_copy");
    find(avutil, l.av_dict_set, "av_dict_set");
    find(avutil, l.av_dict_free, "av_dict_free");
    decltype(&::av_log_set_level) set_log_level = nullptr;
    find(avutil, set_log_level, "av_log_set_level");
    if (!missing.empty()) {
        log_event("AAC", std::string("the codec library ") + avcodec_file + " lacks " + missing);
        return nullptr;
    }
    set_log_level(AV_LOG_ERROR);
    return &library;
}

}  // namespace

const AvcodecLibrary* avcodec_library() {
    static const AvcodecLibrary* const library = load();
    return library;
}

}  // namespace torvalen
