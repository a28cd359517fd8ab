// Entry points of the codec libraries, SDL and the C runtime.
//
// No binary of the project links these libraries: the loader (media/loader.h) opens them at
// run time and fills one pointer per entry point below. Everything else calls them through
// the `ff::` variables, which carry the exact types of the installed headers.
//
// Each library has one list. F(name) is a function, V(name) an exported variable. Every
// entry is required: a library that lacks one is not bound at all. Add an entry to its
// library's list when the code starts calling it; keep the lists to what is called.
#pragma once

#define SDL_MAIN_HANDLED
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavdevice/avdevice.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/fifo.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
#include <SDL.h>
}
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// clang-format off
#define ORV_AVCODEC_ENTRIES(F, V) \
  F(av_bsf_alloc) \
  F(av_bsf_free) \
  F(av_bsf_init) \
  F(av_bsf_receive_packet) \
  F(av_bsf_send_packet) \
  F(avcodec_decode_subtitle2) \
  F(avcodec_encode_subtitle) \
  F(avcodec_find_decoder_by_name) \
  F(avcodec_flush_buffers) \
  F(avcodec_parameters_from_context) \
  F(avcodec_receive_frame) \
  F(avcodec_send_packet) \
  F(avsubtitle_free) \
  F(av_new_packet) \
  F(av_packet_get_side_data) \
  F(av_packet_move_ref) \
  F(av_packet_ref) \
  F(avcodec_find_decoder) \
  F(avcodec_find_encoder) \
  F(avcodec_descriptor_get) \
  F(av_bsf_get_by_name) \
  F(avcodec_receive_packet) \
  F(avcodec_send_frame) \
  F(avcodec_open2) \
  F(avcodec_find_encoder_by_name) \
  F(av_codec_is_encoder) \
  F(av_codec_iterate) \
  F(avcodec_parameters_copy) \
  F(av_packet_unref) \
  F(av_packet_rescale_ts) \
  F(avcodec_alloc_context3) \
  F(avcodec_parameters_to_context) \
  F(avcodec_string) \
  F(avcodec_version) \
  F(av_packet_alloc) \
  F(av_packet_free) \
  F(avcodec_free_context)

#define ORV_AVDEVICE_ENTRIES(F, V) \
  F(avdevice_version)

#define ORV_AVFILTER_ENTRIES(F, V) \
  F(av_buffersink_get_frame) \
  F(av_buffersink_get_h) \
  F(av_buffersink_get_w) \
  F(av_buffersink_get_sample_aspect_ratio) \
  F(av_buffersrc_add_frame_flags) \
  F(avfilter_get_by_name) \
  F(avfilter_graph_alloc) \
  F(avfilter_graph_config) \
  F(avfilter_graph_create_filter) \
  F(avfilter_graph_parse_ptr) \
  F(avfilter_inout_alloc) \
  F(avfilter_inout_free) \
  F(avfilter_link) \
  F(avfilter_version) \
  F(avfilter_graph_free)

#define ORV_AVFORMAT_ENTRIES(F, V) \
  F(av_dump_format) \
  F(av_filename_number_test) \
  F(av_guess_codec) \
  F(av_guess_format) \
  F(av_pkt_dump_log2) \
  F(av_sdp_create) \
  F(av_seek_frame) \
  F(av_find_best_stream) \
  F(av_read_pause) \
  F(av_read_play) \
  F(avformat_seek_file) \
  F(av_index_search_timestamp) \
  F(avformat_index_get_entry) \
  F(av_codec_get_id) \
  F(av_codec_get_tag2) \
  F(avio_seek) \
  F(av_muxer_iterate) \
  F(avformat_alloc_output_context2) \
  F(avformat_new_stream) \
  F(avformat_write_header) \
  F(av_read_frame) \
  F(av_interleaved_write_frame) \
  F(av_write_trailer) \
  F(avformat_open_input) \
  F(avformat_alloc_context) \
  F(avio_alloc_context) \
  F(avio_context_free) \
  F(avio_open) \
  F(avio_closep) \
  F(avio_flush) \
  F(avio_size) \
  F(av_find_input_format) \
  F(avformat_find_stream_info) \
  F(avformat_version) \
  F(avformat_close_input) \
  F(avformat_free_context)

#define ORV_AVUTIL_ENTRIES(F, V) \
  F(av_frame_is_writable) \
  F(av_frame_copy_props) \
  F(av_frame_move_ref) \
  F(av_audio_fifo_alloc) \
  F(av_audio_fifo_read) \
  F(av_audio_fifo_size) \
  F(av_audio_fifo_write) \
  F(av_channel_layout_compare) \
  F(av_channel_layout_copy) \
  F(av_channel_layout_default) \
  F(av_channel_layout_uninit) \
  F(av_compare_ts) \
  F(av_dict_copy) \
  F(av_dict_set) \
  F(av_find_nearest_q_idx) \
  F(av_frame_make_writable) \
  F(av_frame_ref) \
  F(av_frame_unref) \
  F(av_get_bytes_per_sample) \
  F(av_get_packed_sample_fmt) \
  F(av_get_picture_type_char) \
  F(av_get_pix_fmt_name) \
  F(av_gettime) \
  F(av_mallocz) \
  F(av_opt_get_int) \
  F(av_opt_set_bin) \
  F(av_opt_set_double) \
  F(av_opt_set_int) \
  F(av_pix_fmt_desc_get) \
  F(av_realloc_array) \
  F(av_sample_fmt_is_planar) \
  F(av_samples_alloc_array_and_samples) \
  F(av_samples_set_silence) \
  F(av_strdup) \
  F(av_opt_set_defaults2) \
  F(av_log_get_level) \
  F(av_frame_get_buffer) \
  F(av_get_sample_fmt_name) \
  F(av_get_sample_fmt) \
  F(av_pix_fmt_desc_next) \
  F(av_get_pix_fmt) \
  F(av_parse_video_size) \
  F(av_parse_video_rate) \
  F(av_parse_time) \
  F(av_log) \
  F(av_opt_get) \
  F(av_opt_set) \
  F(av_opt_find) \
  F(av_malloc) \
  F(av_freep) \
  F(av_dict_get) \
  F(av_dict_count) \
  F(av_reduce) \
  F(av_rescale_q) \
  F(av_rescale_q_rnd) \
  F(avutil_version) \
  F(av_log_set_callback) \
  F(av_log_set_level) \
  F(av_frame_alloc) \
  F(av_frame_free) \
  F(av_dict_free) \
  F(av_audio_fifo_free) \
  F(av_free)

#define ORV_SWSCALE_ENTRIES(F, V) \
  F(sws_isSupportedInput) \
  F(sws_isSupportedOutput) \
  F(sws_getCachedContext) \
  F(sws_scale) \
  F(sws_getContext) \
  F(sws_setColorspaceDetails) \
  F(sws_getCoefficients) \
  F(swscale_version) \
  F(sws_freeContext)

#define ORV_LIBC_ENTRIES(F, V) \
  F(fopen) \
  F(fseek) \
  F(ftell) \
  F(fread) \
  F(fclose) \
  F(vsnprintf)

#define ORV_SDL_ENTRIES(F, V) \
  F(SDL_GetVersion) \
  F(SDL_CloseAudioDevice) \
  F(SDL_GetCurrentAudioDriver) \
  F(SDL_GetError) \
  F(SDL_InitSubSystem) \
  F(SDL_MixAudioFormat) \
  F(SDL_OpenAudioDevice) \
  F(SDL_PauseAudioDevice) \
  F(SDL_QuitSubSystem) \
  F(SDL_SetHint)

#define ORV_SWRESAMPLE_ENTRIES(F, V) \
  F(swr_alloc_set_opts2) \
  F(swr_convert) \
  F(swr_get_delay) \
  F(swr_get_out_samples) \
  F(swr_init) \
  F(swr_set_compensation) \
  F(swresample_version) \
  F(swr_free)
// clang-format on

namespace ff {
#define ORV_DECLARE_ENTRY(name) extern decltype(&::name) name;
#define ORV_DECLARE_VARIABLE(name) extern decltype(&::name) name;
ORV_AVCODEC_ENTRIES(ORV_DECLARE_ENTRY, ORV_DECLARE_VARIABLE)
ORV_AVDEVICE_ENTRIES(ORV_DECLARE_ENTRY, ORV_DECLARE_VARIABLE)
ORV_AVFILTER_ENTRIES(ORV_DECLARE_ENTRY, ORV_DECLARE_VARIABLE)
ORV_AVFORMAT_ENTRIES(ORV_DECLARE_ENTRY, ORV_DECLARE_VARIABLE)
ORV_AVUTIL_ENTRIES(ORV_DECLARE_ENTRY, ORV_DECLARE_VARIABLE)
ORV_SWSCALE_ENTRIES(ORV_DECLARE_ENTRY, ORV_DECLARE_VARIABLE)
ORV_LIBC_ENTRIES(ORV_DECLARE_ENTRY, ORV_DECLARE_VARIABLE)
ORV_SDL_ENTRIES(ORV_DECLARE_ENTRY, ORV_DECLARE_VARIABLE)
ORV_SWRESAMPLE_ENTRIES(ORV_DECLARE_ENTRY, ORV_DECLARE_VARIABLE)
#undef ORV_DECLARE_ENTRY
#undef ORV_DECLARE_VARIABLE
}  // namespace ff
