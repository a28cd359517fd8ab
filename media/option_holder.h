// The generic option holder: lets the engine accept any option of the codec, format and
// scaling libraries by name, keeps what was accepted, and applies it when a stream or file is
// made.
//
// Names are looked up, in this order, in generic codec contexts (one per media type), a
// generic format context, a generic scaling context, the private option classes of every
// encoder (such as "crf", "preset" or "x264-params") and those of every muxer (such as
// "muxrate"), and finally, for names starting with "a", "v" or "s", the rest of the name in the
// audio, video or subtitle codec context ("ab" and "vb" reach the encoder option "b").
//
// Generic values live in the generic contexts and are read back from there when applied; the
// private values are kept as text and set on a target's private data when its class has the
// option. One holder belongs to one engine task.
#pragma once

#include <string>
#include <vector>

#include "media/ffwrap.h"

// Media types 0..4: video, audio, data, subtitle, attachment.
constexpr int kOptionHolderTypes = 5;

struct TPrivateOption {
  std::string Name;
  std::string Value;
};

struct TOptionHolder {
  std::vector<std::string> Names;  // generic option names set so far, each once
  ffw::CodecContext CodecContexts[kOptionHolderTypes];
  ffw::FormatContext FormatContext;
  ffw::Sws ScalerContext;
  std::vector<TPrivateOption> EncoderOptions;  // accepted by some encoder's private class
  std::vector<TPrivateOption> MuxerOptions;    // accepted by some muxer's private class
};

// Makes the generic contexts; the lists start empty. Throws FFmpegException when a context
// cannot be made.
void InitOptionHolder(TOptionHolder& holder, int scalerFlags);
void FreeOptionHolder(TOptionHolder& holder);

// Sets one option by name. Never throws. False when a name or value is empty, when no class
// knows the name (`found` false) or when the option refused the value (`found` true; then
// "Invalid value \"%s\" for option \"%s\"" goes to the codec library's log at error level).
bool SetGenericOption(TOptionHolder& holder, const std::string& name, const std::string& value, bool* found = nullptr);

// The text an encoder private option holds (null when it was never set).
const std::string* EncoderPrivateOption(const TOptionHolder& holder, const std::string& name);

// Applies the accepted options that carry all `flags` bits (AV_OPT_FLAG_*) to a codec context:
// the generic ones from the holder's context of `type`, the private ones to target->priv_data
// where its class has them. Refused values are logged as in SetGenericOption; false when any was
// refused.
bool ApplyGenericOptions(const TOptionHolder& holder, AVCodecContext* target, AVMediaType type, int flags);
// The same for a format context and the muxer private options.
bool ApplyGenericOptions(const TOptionHolder& holder, AVFormatContext* target, int flags);
