#include "media/utils.h"
#include "media/option_holder.h"

#include <algorithm>

#include "media/errors.h"
#include "media/logger.h"

namespace {

// Option flags an option must carry to count for a media type (0 matches every option).
constexpr int kTypeMasks[kOptionHolderTypes] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0,
                                                AV_OPT_FLAG_SUBTITLE_PARAM, 0};

std::string Trim(const std::string& s) { return TrimText(s); }

void LogRefused(const std::string& name, const std::string& value) {
  ff::av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n", value.c_str(), name.c_str());
}

// A real (non-constant) option of an object.
const AVOption* FindOption(void* obj, const char* name, int flags, int searchFlags = 0) {
  const AVOption* o = ff::av_opt_find(obj, name, nullptr, flags, searchFlags);
  return o && o->type != AV_OPT_TYPE_CONST ? o : nullptr;
}

void Remember(std::vector<TPrivateOption>& list, const std::string& name, const std::string& value) {
  for (TPrivateOption& p : list)
    if (p.Name == name) {
      p.Value = value;
      return;
    }
  list.push_back({name, value});
}

enum class Lookup { NotFound, Refused, Accepted };

// The private classes are searched without an object; a value is tried on a scratch context of
// each encoder (muxer) that has the option, until one accepts it.

Lookup TryEncoders(const std::string& name, const std::string& value, std::string& canonical) {
  Lookup result = Lookup::NotFound;
  void* it = nullptr;
  while (const AVCodec* codec = ff::av_codec_iterate(&it)) {
    if (!ff::av_codec_is_encoder(codec) || !codec->priv_class) continue;
    const AVClass* cls = codec->priv_class;
    const AVOption* o = FindOption(const_cast<AVClass**>(&cls), name.c_str(), AV_OPT_FLAG_ENCODING_PARAM,
                                   AV_OPT_SEARCH_FAKE_OBJ);
    if (!o) continue;
    result = Lookup::Refused;
    ffw::CodecContext scratch(ff::avcodec_alloc_context3(codec));
    if (scratch && scratch->priv_data && ff::av_opt_set(scratch->priv_data, name.c_str(), value.c_str(), 0) >= 0) {
      canonical = o->name;
      return Lookup::Accepted;
    }
  }
  return result;
}

Lookup TryMuxers(const std::string& name, const std::string& value, std::string& canonical) {
  Lookup result = Lookup::NotFound;
  void* it = nullptr;
  while (const AVOutputFormat* fmt = ff::av_muxer_iterate(&it)) {
    if (!fmt->priv_class) continue;
    const AVClass* cls = fmt->priv_class;
    const AVOption* o = FindOption(const_cast<AVClass**>(&cls), name.c_str(), AV_OPT_FLAG_ENCODING_PARAM,
                                   AV_OPT_SEARCH_FAKE_OBJ);
    if (!o) continue;
    result = Lookup::Refused;
    AVFormatContext* raw = nullptr;
    if (ff::avformat_alloc_output_context2(&raw, fmt, nullptr, nullptr) < 0) continue;
    ffw::FormatContext scratch(raw);
    if (scratch->priv_data && ff::av_opt_set(scratch->priv_data, name.c_str(), value.c_str(), 0) >= 0) {
      canonical = o->name;
      return Lookup::Accepted;
    }
  }
  return result;
}

// Sets `name` on every generic codec context whose type it belongs to. `ctxName` is the name
// looked up (the full name, or the rest after a type letter).
Lookup TryCodecContexts(TOptionHolder& h, const std::string& ctxName, const std::string& value,
                        std::string& canonical) {
  Lookup result = Lookup::NotFound;
  for (int type = 0; type < kOptionHolderTypes; ++type) {
    const AVOption* o = FindOption(h.CodecContexts[AVMEDIA_TYPE_VIDEO].get(), ctxName.c_str(), kTypeMasks[type]);
    if (!o) continue;
    canonical = o->name;
    if (ff::av_opt_set(h.CodecContexts[type].get(), ctxName.c_str(), value.c_str(), 0) < 0) return Lookup::Refused;
    result = Lookup::Accepted;
  }
  return result;
}

Lookup TrySingle(void* obj, const std::string& name, const std::string& value, std::string& canonical) {
  const AVOption* o = FindOption(obj, name.c_str(), 0);
  if (!o) return Lookup::NotFound;
  canonical = o->name;
  return ff::av_opt_set(obj, name.c_str(), value.c_str(), 0) < 0 ? Lookup::Refused : Lookup::Accepted;
}

// Copies one option's value, as text, from a generic object to a target.
bool CopyOption(void* generic, void* target, const std::string& name, int flags) {
  const AVOption* option = FindOption(generic, name.c_str(), flags);
  if (!option || !FindOption(target, name.c_str(), flags)) return true;
  if (option->type == AV_OPT_TYPE_FLAGS) {
    // Flag sets carry what was added to the default ("+loop") or taken from it; the target
    // keeps the flags it already has (its encoder's defaults, headers set by the engine)
    // apart from those.
    int64_t wanted = 0, current = 0;
    if (ff::av_opt_get_int(generic, name.c_str(), 0, &wanted) < 0 ||
        ff::av_opt_get_int(target, name.c_str(), 0, &current) < 0)
      return true;
    const int64_t base = option->default_val.i64;
    const int64_t added = wanted & ~base;
    const int64_t removed = base & ~wanted;
    const int64_t value = (current | added) & ~removed;
    if (ff::av_opt_set_int(target, name.c_str(), value, 0) >= 0) return true;
    LogRefused(name, std::to_string(wanted));
    return false;
  }
  uint8_t* text = nullptr;
  if (ff::av_opt_get(generic, name.c_str(), 0, &text) < 0 || !text) return true;
  ffw::AvBuffer<uint8_t> owned(text);
  if (ff::av_opt_set(target, name.c_str(), reinterpret_cast<const char*>(text), 0) >= 0) return true;
  LogRefused(name, reinterpret_cast<const char*>(text));
  return false;
}

bool ApplyPrivate(const std::vector<TPrivateOption>& list, void* privData, int flags) {
  if (!privData) return true;
  bool ok = true;
  for (const TPrivateOption& p : list) {
    if (!FindOption(privData, p.Name.c_str(), flags)) continue;
    if (ff::av_opt_set(privData, p.Name.c_str(), p.Value.c_str(), 0) < 0) {
      LogRefused(p.Name, p.Value);
      ok = false;
    }
  }
  return ok;
}

}  // namespace

void InitOptionHolder(TOptionHolder& holder, int scalerFlags) {
  FreeOptionHolder(holder);
  if (!ff::avcodec_alloc_context3 || !ff::avformat_alloc_context || !ff::sws_getContext)
    throw FFmpegException("The codec libraries are not loaded");
  for (int type = 0; type < kOptionHolderTypes; ++type) {
    holder.CodecContexts[type].reset(ff::avcodec_alloc_context3(nullptr));
    if (!holder.CodecContexts[type]) throw FFmpegException("avcodec_alloc_context3 failed");
    // The defaults of options that differ per media type ("b" is 200000 for video, 128000
    // for audio), as a context made for an encoder of that type has them.
    holder.CodecContexts[type]->codec_type = AVMediaType(type);
    if (kTypeMasks[type])
      ff::av_opt_set_defaults2(holder.CodecContexts[type].get(), kTypeMasks[type], kTypeMasks[type]);
  }
  holder.FormatContext.reset(ff::avformat_alloc_context());
  if (!holder.FormatContext) throw FFmpegException("avformat_alloc_context failed");
  holder.ScalerContext.reset(ff::sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_YUV420P, scalerFlags,
                                                nullptr, nullptr, nullptr));
  if (!holder.ScalerContext) throw FFmpegException("Cannot get resampling context");
}

void FreeOptionHolder(TOptionHolder& holder) {
  for (auto& ctx : holder.CodecContexts) ctx.reset();
  holder.FormatContext.reset();
  holder.ScalerContext.reset();
  holder.Names.clear();
  holder.EncoderOptions.clear();
  holder.MuxerOptions.clear();
}

bool SetGenericOption(TOptionHolder& h, const std::string& rawName, const std::string& rawValue, bool* found) {
  if (found) *found = false;
  const std::string name = Trim(rawName), value = Trim(rawValue);
  if (name.empty() || value.empty() || !h.CodecContexts[0]) return false;

  std::string canonical;
  std::vector<TPrivateOption>* privateList = nullptr;
  Lookup r = TryCodecContexts(h, name, value, canonical);
  if (r == Lookup::NotFound) r = TrySingle(h.FormatContext.get(), name, value, canonical);
  if (r == Lookup::NotFound) r = TrySingle(h.ScalerContext.get(), name, value, canonical);
  if (r == Lookup::NotFound) {
    r = TryEncoders(name, value, canonical);
    privateList = &h.EncoderOptions;
  }
  if (r == Lookup::NotFound) {
    r = TryMuxers(name, value, canonical);
    privateList = &h.MuxerOptions;
  }
  if (r == Lookup::NotFound) {
    privateList = nullptr;
    int type = -1;
    if (name[0] == 'a') type = AVMEDIA_TYPE_AUDIO;
    if (name[0] == 'v') type = AVMEDIA_TYPE_VIDEO;
    if (name[0] == 's') type = AVMEDIA_TYPE_SUBTITLE;
    if (type >= 0 && name.size() > 1) {
      const std::string rest = name.substr(1);
      const AVOption* o = FindOption(h.CodecContexts[type].get(), rest.c_str(), 0);
      if (o) {
        canonical = o->name;
        r = ff::av_opt_set(h.CodecContexts[type].get(), rest.c_str(), value.c_str(), 0) < 0 ? Lookup::Refused
                                                                                            : Lookup::Accepted;
      }
    }
  }
  if (found) *found = r != Lookup::NotFound;
  if (r == Lookup::NotFound) return false;
  if (r == Lookup::Refused) {
    LogRefused(name, value);
    return false;
  }

  if (privateList)
    Remember(*privateList, canonical, value);
  else if (std::find(h.Names.begin(), h.Names.end(), canonical) == h.Names.end())
    h.Names.push_back(canonical);
  if (h.CodecContexts[AVMEDIA_TYPE_VIDEO]->debug || h.FormatContext->debug) GetFFLogger().SetLogLevel(llDebug);
  return true;
}

const std::string* EncoderPrivateOption(const TOptionHolder& holder, const std::string& name) {
  for (const TPrivateOption& p : holder.EncoderOptions)
    if (p.Name == name) return &p.Value;
  return nullptr;
}

bool ApplyGenericOptions(const TOptionHolder& h, AVCodecContext* target, AVMediaType type, int flags) {
  if (!target || type < 0 || type >= kOptionHolderTypes || !h.CodecContexts[type]) return true;
  bool ok = true;
  for (const std::string& name : h.Names) ok = CopyOption(h.CodecContexts[type].get(), target, name, flags) && ok;
  return ApplyPrivate(h.EncoderOptions, target->priv_data, flags) && ok;
}

bool ApplyGenericOptions(const TOptionHolder& h, AVFormatContext* target, int flags) {
  if (!target || !h.FormatContext) return true;
  bool ok = true;
  for (const std::string& name : h.Names) ok = CopyOption(h.FormatContext.get(), target, name, flags) && ok;
  return ApplyPrivate(h.MuxerOptions, target->priv_data, flags) && ok;
}
