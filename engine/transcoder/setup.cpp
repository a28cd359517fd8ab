// Transcode set-up: stream tables, the pairing of output streams with input streams, stream
// copy and encoding preparation (crop, scaling, filter graph, resampling), encoders and
// decoders, input clocks, metadata, chapters, headers and the stream mapping log.
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "engine/transcoder/transcoder.h"
#include "media/errors.h"
#include "media/loader.h"
#include "media/logger.h"

using namespace transcoder;

namespace {

// Filter texts of this program give "crop" its arguments in the order x:y:width:height; the
// filter library reads plain numbers as width:height:x:y. Four plain numbers are reordered.
std::string TranslateLegacyFilters(const std::string& text) {
  std::string out;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find_first_of(",;", pos);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(pos, end - pos);
    const size_t start = item.find_first_not_of(" \t");
    if (start != std::string::npos && item.compare(start, 5, "crop=") == 0) {
      int v[4];
      char tail = 0;
      const std::string args = item.substr(start + 5);
      if (std::sscanf(args.c_str(), "%d:%d:%d:%d%c", &v[0], &v[1], &v[2], &v[3], &tail) == 4)
        item = item.substr(0, start) + StrFormat("crop=%d:%d:%d:%d", v[2], v[3], v[0], v[1]);
    }
    out += item;
    if (end < text.size()) out += text[end];
    pos = end + 1;
  }
  return out;
}

bool IsRgbFormat(int format) {
  const AVPixFmtDescriptor* d = ff::av_pix_fmt_desc_get(AVPixelFormat(format));
  return d && (d->flags & AV_PIX_FMT_FLAG_RGB);
}

// The formats whose levels use the full range by definition.
bool IsFullRangeFormat(int format) {
  return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P ||
         format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
}

// The scaler's YCbCr coefficients of a matrix; matrices it does not know read as BT.601.
const int* MatrixCoefficients(AVColorSpace matrix) {
  const bool known = matrix == AVCOL_SPC_BT709 || matrix == AVCOL_SPC_FCC || matrix == AVCOL_SPC_SMPTE240M ||
                     matrix == AVCOL_SPC_BT2020_NCL || matrix == AVCOL_SPC_BT2020_CL;
  return ff::sws_getCoefficients(known ? int(matrix) : SWS_CS_ITU601);
}

// The matrix's name for the scale filter.
const char* MatrixName(AVColorSpace matrix) {
  switch (matrix) {
    case AVCOL_SPC_BT709:
      return "bt709";
    case AVCOL_SPC_FCC:
      return "fcc";
    case AVCOL_SPC_SMPTE240M:
      return "smpte240m";
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      return "bt2020";
    default:
      return "bt601";
  }
}

bool OneOfNames(const char* name, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (name && std::strcmp(name, n) == 0) return true;
  return false;
}

// The colour coding of an encoded video stream. Players that find no colour description take
// BT.601 with limited levels, and so do the devices of the disc formats, DV, MPEG-1/2 and the
// PSP: their pictures are converted to BT.601 and tagged so. Elsewhere the source's matrix
// stays where the written file keeps its description (the codec's own headers, or the
// container's with the primaries and transfer known), else it is converted to BT.601 too.
// Full-range levels stay where the codec signals them (or uses them always, as JPEG does),
// else they are brought into the limited range.
TColourPlan PlanColour(const AVCodecContext* dec, const AVCodecContext* enc, const AVOutputFormat* format) {
  const AVCodecID id = enc->codec_id;
  const char* mux = format ? format->name : nullptr;
  const bool inRgb = IsRgbFormat(dec->pix_fmt), outRgb = IsRgbFormat(enc->pix_fmt);
  const AVColorSpace source = inRgb ? AVCOL_SPC_UNSPECIFIED : dec->colorspace;
  const bool bt601Device = OneOfNames(mux, {"psp", "vcd", "svcd", "dvd", "vob", "dv"}) ||
                           id == AV_CODEC_ID_MPEG1VIDEO || id == AV_CODEC_ID_MPEG2VIDEO || id == AV_CODEC_ID_DVVIDEO;
  const bool codecSignalsRange = id == AV_CODEC_ID_H264 || id == AV_CODEC_ID_HEVC || id == AV_CODEC_ID_VP9 ||
                                 id == AV_CODEC_ID_AV1;
  const bool codecTags = codecSignalsRange || id == AV_CODEC_ID_MPEG2VIDEO;
  const bool containerTags = OneOfNames(mux, {"matroska", "webm"}) ||
                             (OneOfNames(mux, {"mp4", "mov"}) && dec->color_primaries != AVCOL_PRI_UNSPECIFIED &&
                              dec->color_trc != AVCOL_TRC_UNSPECIFIED);
  const bool jpeg = id == AV_CODEC_ID_MJPEG || id == AV_CODEC_ID_LJPEG;
  const bool keepsMatrix = !bt601Device && !jpeg && (codecTags || containerTags);

  TColourPlan plan;
  plan.InMatrix = source;
  plan.InFull = IsFullRangeFormat(dec->pix_fmt) || dec->color_range == AVCOL_RANGE_JPEG;
  const bool pal = enc->height == 576 || enc->height == 288;
  plan.OutMatrix = keepsMatrix ? source : pal ? AVCOL_SPC_BT470BG : AVCOL_SPC_SMPTE170M;
  plan.OutFull = IsFullRangeFormat(enc->pix_fmt) || (plan.InFull && codecSignalsRange && !jpeg);
  if (inRgb) {
    plan.InMatrix = plan.OutMatrix;
    plan.InFull = plan.OutFull;
  }
  if (outRgb) {
    plan.OutMatrix = plan.InMatrix;
    plan.OutFull = plan.InFull;
  }
  return plan;
}

}  // namespace

bool TColourPlan::Converts() const {
  return InFull != OutFull ||
         std::memcmp(MatrixCoefficients(InMatrix), MatrixCoefficients(OutMatrix), 4 * sizeof(int)) != 0;
}

void TTranscoder::Raise(const std::string& message) const { throw FFmpegException(message); }

void TTranscoder::LogText(TLogLevel level, const std::string& text) const { GetFFLogger().Log(this, level, text); }

void TTranscoder::SetupTranscode() {
  BuildInputTables();
  BuildOutputTables();
  OpenEncoders();
  OpenDecoders();
  InitInputTimes();
  CopyMetadataMaps();
  CopyChapters();
  WriteHeaders();
  LogStreamMapping();
}

void TTranscoder::BuildInputTables() {
  fileTable_.clear();
  ist_.clear();
  const int64_t now = ff::av_gettime();
  for (size_t f = 0; f < inputs_.size(); ++f) {
    AVFormatContext* ic = inputs_[f]->Ctx.get();
    TInputFile file;
    file.IstIndex = int32_t(ist_.size());
    file.NbStreams = int32_t(ic->nb_streams);
    fileTable_.push_back(file);
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
      auto ist = std::make_unique<TInputStream>();
      ist->FileIndex = int32_t(f);
      ist->Index = int32_t(i);
      ist->Stream = ic->streams[i];
      ist->Codec = &inputs_[f]->Streams[i];
      if (ist->Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        ist->StillPicture = ist->Stream->disposition & AV_DISPOSITION_ATTACHED_PIC;
        if (!ist->StillPicture) ist->Orientation = DisplayOrientation(StreamDisplayMatrix(ist->Stream));
      }
      if (Opt.RateEmulation) ist->Start = now;
      ist_.push_back(std::move(ist));
    }
  }
}

void TTranscoder::BuildOutputTables() {
  TOptionState& o = Opt;
  const size_t slotCount = joinMode_ ? 1 : outputSlots_.size();
  int totalStreams = 0;
  for (size_t s = 0; s < outputSlots_.size(); ++s) {
    AVFormatContext* oc = outputSlots_[s]->Ctx.get();
    if (oc->nb_streams == 0) {
      ff::av_dump_format(oc, int(s), oc->url ? oc->url : "", 1);
      Raise(StrFormat("Output file #%d does not contain any stream", int(s)));
    }
    totalStreams += int(oc->nb_streams);
  }
  (void)slotCount;

  if (!o.StreamMaps.empty()) {
    if (int(o.StreamMaps.size()) != totalStreams) Raise("Number of stream maps must match number of output streams");
    for (const TStreamMap& m : o.StreamMaps) {
      auto exists = [&](int file, int stream) {
        return file >= 0 && file < int(fileTable_.size()) && stream >= 0 && stream < fileTable_[size_t(file)].NbStreams;
      };
      if (!exists(m.FileIndex, m.StreamIndex))
        Raise(StrFormat("Could not find input stream #%d.%d", m.FileIndex, m.StreamIndex));
      if (!exists(m.SyncFileIndex, m.SyncStreamIndex))
        Raise(StrFormat("Could not find sync stream #%d.%d", m.SyncFileIndex, m.SyncStreamIndex));
    }
  }

  ost_.clear();
  int mapIndex = 0;
  for (size_t s = 0; s < outputSlots_.size(); ++s) {
    TOutputFileState& of = *outputSlots_[s];
    AVFormatContext* oc = of.Ctx.get();
    for (size_t i = 0; i < of.Streams.size(); ++i) {
      TOutputStreamDef& def = *of.Streams[i];
      auto ost = std::make_unique<TOutputStream>();
      ost->FileIndex = int32_t(s);
      ost->Index = int32_t(i);
      ost->Def = &def;
      ost->Stream = def.Stream;
      ost->Enc = def.Enc.get();
      const AVMediaType kind = def.Type;
      int source = -1;
      if (!o.StreamMaps.empty()) {
        const TStreamMap& m = o.StreamMaps[size_t(mapIndex++)];
        source = fileTable_[size_t(m.FileIndex)].IstIndex + m.StreamIndex;
        const AVMediaType inKind = ist_[size_t(source)]->Stream->codecpar->codec_type;
        if (inKind != kind) {
          ff::av_dump_format(oc, int(s), oc->url ? oc->url : "", 1);
          Raise(StrFormat("Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)", m.FileIndex, m.StreamIndex,
                          MediaTypeName(inKind).c_str(), int(s), int(i), MediaTypeName(kind).c_str()));
        }
        ost->SyncInput = ist_[size_t(fileTable_[size_t(m.SyncFileIndex)].IstIndex + m.SyncStreamIndex)].get();
      } else if (def.SilentSound) {
        // Silence goes along the first video stream's picture.
        for (size_t j = 0; j < ist_.size() && source < 0; ++j)
          if (ist_[j]->Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !ist_[j]->Codec->Discarded &&
              (!joinMode_ || ist_[j]->FileIndex == int32_t(s)))
            source = int(j);
        if (source < 0) Raise("Could not find a video stream to give a silent sound track");
      } else {
        source = ChooseSourceStream(kind, joinMode_ ? int(s) : -1);
        if (source < 0 && !joinMode_) {
          for (size_t j = 0; j < ist_.size(); ++j) {
            TInputStream& ist = *ist_[j];
            if (ist.Stream->codecpar->codec_type == kind && !ist.Codec->Discarded) source = int(j);
          }
        }
        if (source < 0) {
          ff::av_dump_format(oc, int(s), oc->url ? oc->url : "", 1);
          Raise(StrFormat("Could not find input stream matching output stream #%d.%d (%s)", int(s), int(i),
                          MediaTypeName(kind).c_str()));
        }
      }
      ost->SourceIndex = source;
      if (!def.SilentSound) ist_[size_t(source)]->Unclaimed = false;
      if (!ost->SyncInput) ost->SyncInput = ist_[size_t(source)].get();
      ost_.push_back(std::move(ost));
    }
  }

  for (auto& p : ost_) {
    TOutputStream& ost = *p;
    TInputStream& ist = *ist_[size_t(ost.SourceIndex)];
    const bool shared = joinMode_ && ost.FileIndex > 0;  // the first slot prepared the stream
    if (!shared) {
      ff::av_dict_copy(&ost.Stream->metadata, ist.Stream->metadata, AV_DICT_DONT_OVERWRITE);
      ost.Stream->disposition = ist.Stream->disposition;
      // An encoded cover picture becomes an ordinary video stream (shown for the whole sound);
      // only a copied one stays cover art.
      if (!ost.Def->Copy) ost.Stream->disposition &= ~AV_DISPOSITION_ATTACHED_PIC;
    }
    if (ost.Def->Copy) {
      if (!shared) PrepareStreamCopy(ost, ist);
    } else {
      PrepareEncodedStream(ost, ist);
    }
  }
}

int TTranscoder::ChooseSourceStream(AVMediaType kind, int onlyFile) const {
  // The track a user means: one marked default before others (and one not marked for the
  // hearing or visually impaired), then the one the format library ranks best on the frames
  // it saw while analysing the file, then the most frames the header reports. The header's
  // count alone is no guide: several containers leave it 0, and short sound frames win it.
  struct TRank {
    int Disposition = -1;
    int LibraryBest = 0;
    int64_t Frames = -1;
    bool operator>(const TRank& r) const {
      if (Disposition != r.Disposition) return Disposition > r.Disposition;
      if (LibraryBest != r.LibraryBest) return LibraryBest > r.LibraryBest;
      return Frames > r.Frames;
    }
  };
  std::vector<int> libraryBest(inputs_.size(), -1);
  for (size_t f = 0; f < inputs_.size(); ++f)
    libraryBest[f] = ff::av_find_best_stream(inputs_[f]->Ctx.get(), kind, -1, -1, nullptr, 0);
  int source = -1;
  TRank best;
  for (size_t j = 0; j < ist_.size(); ++j) {
    const TInputStream& ist = *ist_[j];
    const AVStream* st = ist.Stream;
    if (st->codecpar->codec_type != kind || !ist.Unclaimed || ist.Codec->Discarded) continue;
    if (onlyFile >= 0 && ist.FileIndex != onlyFile) continue;
    TRank rank;
    rank.Disposition = !(st->disposition & (AV_DISPOSITION_HEARING_IMPAIRED | AV_DISPOSITION_VISUAL_IMPAIRED)) +
                       !!(st->disposition & AV_DISPOSITION_DEFAULT);
    rank.LibraryBest = libraryBest[size_t(ist.FileIndex)] == ist.Index ? 1 : 0;
    rank.Frames = st->nb_frames;
    if (rank > best) {
      best = rank;
      source = int(j);
    }
  }
  return source;
}

void TTranscoder::PrepareStreamCopy(TOutputStream& ost, TInputStream& ist) {
  const AVCodecParameters* in = ist.Stream->codecpar;
  AVCodecParameters* par = ost.Stream->codecpar;
  AVFormatContext* oc = outputFile(ost.FileIndex).Ctx.get();
  if (uint64_t(in->extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE > uint64_t(INT_MAX))
    Raise("icodec.extradata_size is invalid (too large)");
  const uint32_t wantedTag = ost.Enc->codec_tag;
  const AVRational sar = ost.Enc->sample_aspect_ratio;
  if (ff::avcodec_parameters_copy(par, in) < 0) Raise("av_mallocz fail");
  // The input's tag, unless the container's table gives that tag to another codec and has
  // one of its own for this codec.
  uint32_t tag = wantedTag;
  if (tag == 0) {
    tag = in->codec_tag;
    const AVCodecTag* const* table = oc->oformat->codec_tag;
    if (table && tag) {
      const AVCodecID mapped = ff::av_codec_get_id(table, tag);
      uint32_t own = 0;
      const bool hasOwn = ff::av_codec_get_tag2(table, in->codec_id, &own) && own != 0;
      if (mapped != in->codec_id && hasOwn) tag = 0;
    }
  }
  par->codec_tag = tag;
  ost.Stream->time_base = ist.Stream->time_base;
  ost.Stream->avg_frame_rate = ist.Stream->avg_frame_rate;
  ost.Stream->r_frame_rate = ist.Stream->r_frame_rate;
  switch (par->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      if (HasHookCallback()) Raise("-vcodec copy and CustomHook are incompatible (frames are not decoded)");
      if (hookChain_) Raise("-vcodec copy and -vhook are incompatible (frames are not decoded)");
      if (Flags() != 0) Raise("-vcodec copy and PostHooks are incompatible (frames are not decoded)");
      if (sar.num > 0 && sar.den > 0) {
        par->sample_aspect_ratio = sar;
        ost.Stream->sample_aspect_ratio = sar;
      } else {
        ost.Stream->sample_aspect_ratio = ist.Stream->sample_aspect_ratio;
      }
      break;
    case AVMEDIA_TYPE_AUDIO:
      if (Opt.AudioVolume != 256) Raise("-acodec copy and -vol are incompatible (frames are not decoded)");
      if ((par->block_align == 1 && par->codec_id == AV_CODEC_ID_MP3) || par->codec_id == AV_CODEC_ID_AC3)
        par->block_align = 0;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      break;
    default:
      Raise("invalid codec_type of output stream");
  }
  ost.EncodingNeeded = false;
}

void TTranscoder::PrepareEncodedStream(TOutputStream& ost, TInputStream& ist) {
  AVCodecContext* enc = ost.Enc;
  AVCodecContext* dec = ist.Codec->Dec.get();
  const bool shared = joinMode_ && ost.FileIndex > 0;
  // A stream the libraries cannot decode (an unknown four-character code), or a picture whose
  // format or size the analysis did not find, gives nothing to set the scaler up from: the
  // file is refused here with its reason.
  const AVCodec* decoder = ist.Codec->NamedDecoder ? ist.Codec->NamedDecoder : ff::avcodec_find_decoder(dec->codec_id);
  if (!decoder) {
    std::string kind = MediaTypeName(ist.Stream->codecpar->codec_type);
    for (char& c : kind) c = char(std::tolower(static_cast<unsigned char>(c)));
    Raise(StrFormat("%s codec not supported: %s", kind.c_str(), CodecDescription(ist.Stream->codecpar, false).c_str()));
  }
  if (ost.Def->Type == AVMEDIA_TYPE_VIDEO && (dec->pix_fmt == AV_PIX_FMT_NONE || dec->width <= 0 || dec->height <= 0))
    Raise(StrFormat("the picture size or format of the video stream is unknown (%s)",
                    CodecDescription(ist.Stream->codecpar, false).c_str()));
  switch (ost.Def->Type) {
    case AVMEDIA_TYPE_AUDIO:
      ost.Fifo.reset(ff::av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, 1024));
      if (!ost.Fifo) Raise("av_fifo_alloc fail");
      ost.AudioResample = dec->sample_rate != enc->sample_rate || Opt.AudioSyncMethod > 1 ||
                          dec->ch_layout.nb_channels != enc->ch_layout.nb_channels;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      break;
    case AVMEDIA_TYPE_VIDEO: {
      if (enc->pix_fmt == AV_PIX_FMT_NONE) Raise("Video pixel format is unknown, stream cannot be encoded");
      TOptionState& o = Opt;
      ost.VideoCrop = o.FrameTopBand || o.FrameBottomBand || o.FrameLeftBand || o.FrameRightBand;
      ost.CurrentCropTop = ost.InitialCropTop = o.FrameTopBand;
      ost.CurrentCropBottom = ost.InitialCropBottom = o.FrameBottomBand;
      ost.CurrentCropLeft = ost.InitialCropLeft = o.FrameLeftBand;
      ost.CurrentCropRight = ost.InitialCropRight = o.FrameRightBand;
      // Crop, scaling and filters work on the upright picture.
      int inW = 0, inH = 0;
      AVRational inSar{0, 1};
      UprightGeometry(ist, inW, inH, inSar);
      const int cropW = inW - ost.CurrentCropLeft - ost.CurrentCropRight;
      const int cropH = inH - ost.CurrentCropTop - ost.CurrentCropBottom;
      if (enc->width <= 0 || enc->height <= 0) {
        enc->width = cropW;
        enc->height = cropH;
      }
      ost.Colour = PlanColour(dec, enc, outputFile(ost.FileIndex).Ctx->oformat);
      if (!IsRgbFormat(enc->pix_fmt)) {
        // The output's colour description: what the pictures are coded in, with the source's
        // primaries and transfer (the scaler does not change them).
        enc->colorspace = ost.Colour.OutMatrix;
        const bool described = dec->color_range != AVCOL_RANGE_UNSPECIFIED || enc->colorspace != dec->colorspace ||
                               ost.Colour.Converts();
        enc->color_range = ost.Colour.OutFull ? AVCOL_RANGE_JPEG
                           : described        ? AVCOL_RANGE_MPEG
                                              : AVCOL_RANGE_UNSPECIFIED;
        enc->color_primaries = dec->color_primaries;
        enc->color_trc = dec->color_trc;
      }
      ost.VideoResample = cropW != enc->width || cropH != enc->height || dec->pix_fmt != enc->pix_fmt ||
                          ost.Colour.Converts();
      int64_t swsFlags = kDefaultScalerFlags;
      if (ff::av_opt_get_int(Holder.ScalerContext.get(), "sws_flags", 0, &swsFlags) >= 0) scalerFlags_ = int(swsFlags);
      if (ost.VideoResample && !usesFilterGraph_) {
        MakePictureScaler(ost, cropW, cropH, dec->pix_fmt);
        ost.InitialWidth = inW;
        ost.InitialHeight = inH;
        enc->bits_per_raw_sample = 0;
      }
      ost.ScalerInputWidth = cropW;
      ost.ScalerInputHeight = cropH;
      ost.ScalerInputFormat = dec->pix_fmt;
      SetLastError("");
      if (usesFilterGraph_) {
        try {
          ConfigureFilters(ost, ist);
        } catch (const FFmpegException&) {
          Raise(LastError().empty() ? std::string("Error opening filters!") : "Error opening filters: " + LastError());
        }
      }
      break;
    }
    default:
      Raise("invalid codec_type of output stream");
  }
  ost.EncodingNeeded = true;
  ist.DecodingNeeded = true;
  if (!shared && (enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2))) {
    int index = 0;
    for (size_t k = 0; k < ost_.size(); ++k)
      if (ost_[k].get() == &ost) index = int(k);
    OpenPassLog(index, ost);
  }
}

void TTranscoder::MakePictureScaler(TOutputStream& ost, int width, int height, AVPixelFormat format) {
  AVCodecContext* enc = ost.Enc;
  if (!ost.ScaledPicture) {
    ost.ScaledPicture = ffw::MakeFrame();
    if (!ost.ScaledPicture) Raise("Cannot allocate temp picture, check pix fmt");
    ost.ScaledPicture->format = enc->pix_fmt;
    ost.ScaledPicture->width = enc->width;
    ost.ScaledPicture->height = enc->height;
    if (ff::av_frame_get_buffer(ost.ScaledPicture.get(), 0) < 0) Raise("Cannot allocate temp picture, check pix fmt");
  }
  ost.PictureScaler.reset(ff::sws_getContext(width, height, format, enc->width, enc->height, enc->pix_fmt, scalerFlags_,
                                             nullptr, nullptr, nullptr));
  if (!ost.PictureScaler) Raise("Cannot get resampling context");
  // The matrices and ranges of the colour plan. (The scaler answers -1 for a change of range
  // alone between YCbCr formats, which it still makes.)
  const TColourPlan& c = ost.Colour;
  const bool inFull = !IsRgbFormat(format) && (c.InFull || IsFullRangeFormat(format));
  const bool outFull = !IsRgbFormat(enc->pix_fmt) && c.OutFull;
  ff::sws_setColorspaceDetails(ost.PictureScaler.get(), MatrixCoefficients(c.InMatrix), inFull,
                               MatrixCoefficients(c.OutMatrix), outFull, 0, 1 << 16, 1 << 16);
}

void TTranscoder::ConfigureFilters(TOutputStream& ost, TInputStream& ist) {
  AVCodecContext* enc = ost.Enc;
  AVCodecContext* dec = ist.Codec->Dec.get();
  auto fail = [&](const std::string& step, int code) {
    SetLastError(FormatAVError(step, code));
    throw FFmpegException(LastError());
  };
  int inW = 0, inH = 0;
  AVRational sar{0, 1};
  UprightGeometry(ist, inW, inH, sar);
  std::string step;
  int ret = MakePictureGraph(ost.Graph, ost.SourceFilter, ost.SinkFilter, inW, inH, dec->pix_fmt, sar, enc->pix_fmt,
                             step);
  if (ret < 0) fail(step, ret);
  AVFilterGraph* graph = ost.Graph.get();

  AVFilterContext* last = ost.SourceFilter;
  const int cropW = inW - ost.CurrentCropLeft - ost.CurrentCropRight;
  const int cropH = inH - ost.CurrentCropTop - ost.CurrentCropBottom;
  // A filter text that starts with its own crop counts it on the uncropped picture and
  // stands for the crop fields; otherwise the crop fields are cut first.
  const std::string text = TranslateLegacyFilters(Opt.VideoFilters);
  const bool textCrops = TrimText(text).compare(0, 5, "crop=") == 0;
  if (ost.VideoCrop && !textCrops) {
    AVFilterContext* crop = nullptr;
    const std::string args = StrFormat("w=%d:h=%d:x=%d:y=%d", cropW, cropH, ost.CurrentCropLeft, ost.CurrentCropTop);
    ret = ff::avfilter_graph_create_filter(&crop, ff::avfilter_get_by_name("crop"), "cropper", args.c_str(), nullptr,
                                           graph);
    if (ret < 0) fail("crop", ret);
    if ((ret = ff::avfilter_link(last, 0, crop, 0)) < 0) fail("crop", ret);
    last = crop;
  }
  if (cropW != enc->width || cropH != enc->height) {
    AVFilterContext* scale = nullptr;
    const std::string args = StrFormat("w=%d:h=%d:flags=0x%X", enc->width, enc->height, unsigned(scalerFlags_));
    ret = ff::avfilter_graph_create_filter(&scale, ff::avfilter_get_by_name("scale"), "scaler", args.c_str(), nullptr,
                                           graph);
    if (ret < 0) fail("scale", ret);
    if ((ret = ff::avfilter_link(last, 0, scale, 0)) < 0) fail("scale", ret);
    last = scale;
  }
  const std::string swsOpts = StrFormat("flags=0x%X", unsigned(scalerFlags_));
  ff::av_freep(&graph->scale_sws_opts);
  graph->scale_sws_opts = ff::av_strdup(swsOpts.c_str());

  // The colour plan's matrix and range, made by a last scaler after the filter text (the
  // ones the graph puts in between keep the matrix).
  AVFilterContext* end = ost.SinkFilter;
  const TColourPlan& c = ost.Colour;
  if (c.Converts() || c.InFull || c.OutFull) {
    AVFilterContext* colour = nullptr;
    const std::string args = StrFormat("in_color_matrix=%s:out_color_matrix=%s:out_range=%s:flags=0x%X",
                                       MatrixName(c.InMatrix), MatrixName(c.OutMatrix), c.OutFull ? "pc" : "tv",
                                       unsigned(scalerFlags_));
    ret = ff::avfilter_graph_create_filter(&colour, ff::avfilter_get_by_name("scale"), "colour", args.c_str(), nullptr,
                                           graph);
    if (ret < 0) fail("scale", ret);
    if ((ret = ff::avfilter_link(colour, 0, ost.SinkFilter, 0)) < 0) fail("scale", ret);
    end = colour;
  }

  if ((ret = LinkFilterText(graph, last, end, text, step)) < 0)
    fail(step == "inout" ? "avfilter_inout_alloc" : Opt.VideoFilters, ret);
  enc->width = ff::av_buffersink_get_w(ost.SinkFilter);
  enc->height = ff::av_buffersink_get_h(ost.SinkFilter);
  const AVRational outSar = ff::av_buffersink_get_sample_aspect_ratio(ost.SinkFilter);
  if (outSar.num > 0 && ost.Stream->sample_aspect_ratio.num == 0) {
    enc->sample_aspect_ratio = outSar;
    ost.Stream->sample_aspect_ratio = outSar;
  }
}

void TTranscoder::UprightGeometry(const TInputStream& ist, int& width, int& height, AVRational& sar) const {
  const AVCodecContext* dec = ist.Codec->Dec.get();
  width = dec->width;
  height = dec->height;
  sar = dec->sample_aspect_ratio;
  if (!ist.Orientation.SwapsSides()) return;
  std::swap(width, height);
  if (sar.num > 0 && sar.den > 0) std::swap(sar.num, sar.den);
}

void TTranscoder::OpenEncoders() {
  for (size_t k = 0; k < ost_.size(); ++k) {
    TOutputStream& ost = *ost_[k];
    if (!ost.EncodingNeeded) continue;
    if (joinMode_ && ost.FileIndex > 0) continue;
    AVCodecContext* enc = ost.Enc;
    const AVCodec* codec = ost.Def->Codec ? ost.Def->Codec : ff::avcodec_find_encoder(enc->codec_id);
    const std::string kindText = MediaTypeName(ost.Def->Type);
    const char* kind = kindText.c_str();
    if (!codec) {
      LogStreamMapping();
      const std::string text = StrFormat("Encoder (codec id %d) not found for output stream #%d.%d (%s)",
                                         int(enc->codec_id), ost.FileIndex, ost.Index, kind);
      LogText(llError, text);
      Raise(text);
    }
    if (joinMode_) ost.SavedCodecId = int32_t(codec->id);
    if (ost.Def->Type == AVMEDIA_TYPE_SUBTITLE) {
      // Text subtitle encoders take their style header from the decoder, made when it opens.
      TInputStream& ist = *ist_[size_t(ost.SourceIndex)];
      OpenDecoder(ist);
      const AVCodecContext* dec = ist.Codec->Dec.get();
      if (dec->subtitle_header && dec->subtitle_header_size > 0 && !enc->subtitle_header) {
        enc->subtitle_header = static_cast<uint8_t*>(ff::av_mallocz(size_t(dec->subtitle_header_size) + 1));
        if (!enc->subtitle_header) Raise("av_mallocz fail");
        std::memcpy(enc->subtitle_header, dec->subtitle_header, size_t(dec->subtitle_header_size));
        enc->subtitle_header_size = dec->subtitle_header_size;
      }
      enc->time_base = AV_TIME_BASE_Q;
    }
    if (ost.Def->Type == AVMEDIA_TYPE_AUDIO && enc->sample_rate > 0) enc->time_base = AVRational{1, enc->sample_rate};
    int ret;
    {
      std::lock_guard<std::mutex> g(CodecLock());
      ret = ff::avcodec_open2(enc, codec, nullptr);
    }
    if (ret < 0) {
      LogStreamMapping();
      const std::string text = StrFormat(
          "Error while opening encoder for output stream #%d.%d (%s) - maybe incorrect parameters such as bit_rate, "
          "rate, width or height. Please check error log message to find out more detail information.",
          ost.FileIndex, ost.Index, kind);
      LogText(llError, text + " (" + FormatAVError(codec->name, ret) + ")");
      Raise(text);
    }
    ost.Def->EncoderOpen = true;
    if (ff::avcodec_parameters_from_context(ost.Stream->codecpar, enc) < 0)
      Raise("avcodec_parameters_from_context failed");
    ost.Stream->time_base = enc->time_base;
    if (ost.Def->Type == AVMEDIA_TYPE_VIDEO) {
      ost.Stream->avg_frame_rate = enc->framerate;
      ost.Stream->r_frame_rate = enc->framerate;
    }
    extraSize_ += enc->extradata_size;
  }
  // Audio-only joined slots share the first slot's encoder.
  for (auto& p : ost_) {
    TOutputStream& ost = *p;
    if (!ost.EncodingNeeded || !joinMode_ || ost.FileIndex == 0) continue;
    ost.SavedCodecId = ost.Def->Codec ? int32_t(ost.Def->Codec->id) : 0;
  }
  for (auto& p : ost_) InitBitstreamFilters(*p);
}

void TTranscoder::InitBitstreamFilters(TOutputStream& ost) {
  if (joinMode_ && ost.FileIndex > 0) return;
  for (const AVBitStreamFilter* f : ost.Def->BitstreamFilters) {
    AVBSFContext* raw = nullptr;
    if (ff::av_bsf_alloc(f, &raw) < 0) Raise(StrFormat("Cannot allocate bitstream filter %s", f->name));
    Bsf bsf(raw);
    const AVCodecParameters* src = ost.Bsfs.empty() ? ost.Stream->codecpar : ost.Bsfs.back()->par_out;
    const AVRational tb = ost.Bsfs.empty() ? ost.Stream->time_base : ost.Bsfs.back()->time_base_out;
    ff::avcodec_parameters_copy(raw->par_in, src);
    raw->time_base_in = tb;
    const int ret = ff::av_bsf_init(raw);
    if (ret < 0) Raise(FormatAVError(StrFormat("Bitstream filter %s", f->name), ret));
    ost.Bsfs.push_back(std::move(bsf));
  }
  if (!ost.Bsfs.empty()) {
    ff::avcodec_parameters_copy(ost.Stream->codecpar, ost.Bsfs.back()->par_out);
    ost.Stream->time_base = ost.Bsfs.back()->time_base_out;
  }
}

void TTranscoder::OpenDecoder(TInputStream& ist) {
  if (ist.DecoderOpen) return;
  AVCodecContext* dec = ist.Codec->Dec.get();
  const std::string kindText = MediaTypeName(ist.Stream->codecpar->codec_type);
  const char* kind = kindText.c_str();
  const AVCodec* codec = ist.Codec->NamedDecoder ? ist.Codec->NamedDecoder : ff::avcodec_find_decoder(dec->codec_id);
  if (!codec) {
    LogStreamMapping();
    const std::string text = StrFormat("Decoder (codec id %d) not found for input stream #%d.%d (%s)",
                                       int(dec->codec_id), ist.FileIndex, ist.Index, kind);
    LogText(llError, text);
    Raise(text);
  }
  // A still picture is one packet: decoded at once rather than held back by frame threads
  // until the end of the file, so that it can be shown along with the sound from the start.
  if (ist.StillPicture) dec->thread_count = 1;
  int ret;
  {
    std::lock_guard<std::mutex> g(CodecLock());
    ret = ff::avcodec_open2(dec, codec, nullptr);
  }
  if (ret < 0) {
    LogStreamMapping();
    const std::string text = StrFormat("Error while opening decoder for input stream #%d.%d (%s)", ist.FileIndex,
                                       ist.Index, kind);
    LogText(llError, text);
    Raise(text);
  }
  ist.DecoderOpen = true;
}

void TTranscoder::OpenDecoders() {
  for (auto& p : ist_)
    if (p->DecodingNeeded) OpenDecoder(*p);
}

void TTranscoder::InitInputTimes() {
  for (auto& p : ist_) {
    TInputStream& ist = *p;
    const AVRational avg = ist.Stream->avg_frame_rate;
    const int delay = ist.Stream->codecpar->video_delay;
    ist.StreamTime = (avg.num > 0 && avg.den > 0) ? -std::llround(delay * 1000000.0 * avg.den / avg.num) : 0;
    ist.NextStreamTime = kNoPts;
    ist.AwaitingFirstPacket = true;
  }
}

void TTranscoder::CopyMetadataMaps() {
  for (const TMetaDataMap& m : Opt.MetaDataMaps) {
    if (m.OutputFile < 0 || m.OutputFile >= int(outputSlots_.size())) {
      LogStreamMapping();
      Raise(StrFormat("Invalid output file index %d map_meta_data(%d,%d)", m.OutputFile, m.OutputFile, m.InputFile));
    }
    if (m.InputFile < 0 || m.InputFile >= int(inputs_.size())) {
      LogStreamMapping();
      Raise(StrFormat("Invalid input file index %d map_meta_data(%d,%d)", m.InputFile, m.OutputFile, m.InputFile));
    }
    ff::av_dict_copy(&outputSlots_[size_t(m.OutputFile)]->Ctx->metadata, inputs_[size_t(m.InputFile)]->Ctx->metadata,
                     AV_DICT_DONT_OVERWRITE);
  }
}

void TTranscoder::CopyChapters() {
  for (size_t f = 0; f < inputs_.size(); ++f) {
    AVFormatContext* ic = inputs_[f]->Ctx.get();
    if (ic->nb_chapters == 0) continue;
    for (TOutputFileState* of : outputSlots_) {
      if (joinMode_ && of != outputSlots_.front()) break;
      AVFormatContext* oc = of->Ctx.get();
      for (unsigned c = 0; c < ic->nb_chapters; ++c) {
        const AVChapter* in = ic->chapters[c];
        const int64_t off = ff::av_rescale_q(Opt.StartTime - inputs_[f]->TsOffset, AV_TIME_BASE_Q, in->time_base);
        const int64_t rt = Opt.RecordingTime == INT64_MAX
                               ? INT64_MAX
                               : ff::av_rescale_q(Opt.RecordingTime, AV_TIME_BASE_Q, in->time_base);
        if (in->end < off) continue;
        if (rt != INT64_MAX && in->start > off + rt) break;
        auto* out = static_cast<AVChapter*>(ff::av_mallocz(sizeof(AVChapter)));
        if (!out) Raise("av_mallocz fail");
        out->id = in->id;
        out->time_base = in->time_base;
        out->start = std::max<int64_t>(0, in->start - off);
        out->end = rt == INT64_MAX ? in->end - off : std::min(rt, in->end - off);
        ff::av_dict_copy(&out->metadata, in->metadata, 0);
        auto** grown = static_cast<AVChapter**>(
            ff::av_realloc_array(oc->chapters, oc->nb_chapters + 1, sizeof(AVChapter*)));
        if (!grown) {
          ff::av_dict_free(&out->metadata);
          ff::av_free(out);
          Raise("av_realloc fail");
        }
        oc->chapters = grown;
        oc->chapters[oc->nb_chapters++] = out;
      }
    }
  }
}

void TTranscoder::WriteHeaders() {
  bool allRtp = !outputSlots_.empty();
  for (size_t s = 0; s < outputSlots_.size(); ++s) {
    TOutputFileState& of = *outputSlots_[s];
    if (of.HeaderWritten) continue;
    const int ret = ff::avformat_write_header(of.Ctx.get(), nullptr);
    if (ret < 0) {
      LogStreamMapping();
      const std::string text = StrFormat("Could not write header for output file #%d (incorrect codec parameters ?)",
                                         int(s));
      LogText(llError, text + " (" + FormatAVError(of.FileName, ret) + ")");
      Raise(text);
    }
    of.HeaderWritten = true;
    allRtp &= std::strcmp(of.Ctx->oformat->name, "rtp") == 0;
  }
  if (allRtp) {
    std::vector<AVFormatContext*> list;
    for (TOutputFileState* of : outputSlots_) list.push_back(of->Ctx.get());
    char sdp[2048] = {0};
    ff::av_sdp_create(list.data(), int(list.size()), sdp, sizeof sdp);
    LogText(llInfo, "SDP:\r\n" + TrimText(sdp));
  }
}

void TTranscoder::LogStreamMapping() {
  for (size_t s = 0; s < outputSlots_.size(); ++s) {
    if (joinMode_ && s > 0) break;
    AVFormatContext* oc = outputSlots_[s]->Ctx.get();
    if (Opt.Verbose >= 0) ff::av_dump_format(oc, int(s), oc->url ? oc->url : "", 1);
  }
  if (Opt.Verbose < 0) return;
  LogText(llVerbose, "Stream mapping:");
  for (auto& p : ost_) {
    const TOutputStream& ost = *p;
    const TInputStream& ist = *ist_[size_t(ost.SourceIndex)];
    std::string line = StrFormat("  Stream #%d.%d -> #%d.%d (%s)", ist.FileIndex, ist.Index,
                                 joinMode_ ? 0 : ost.FileIndex, ost.Index, MediaTypeName(ost.Def->Type).c_str());
    if (ost.SyncInput && ost.SyncInput != &ist)
      line += StrFormat(" [sync #%d.%d (%s)]", ost.SyncInput->FileIndex, ost.SyncInput->Index,
                        MediaTypeName(ost.SyncInput->Stream->codecpar->codec_type).c_str());
    LogText(llVerbose, line);
  }
}

void TTranscoder::FreeTables() {
  for (auto& p : ost_)
    if (p->LogFile) {
      std::fclose(p->LogFile);
      p->LogFile = nullptr;
    }
  ost_.clear();
  ist_.clear();
  fileTable_.clear();
}
