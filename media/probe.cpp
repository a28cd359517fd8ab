#include "media/probe.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <numeric>
#include <vector>

#include "media/errors.h"
#include "media/ffapi.h"
#include "media/ffwrap.h"
#include "media/loader.h"
#include "media/unicode_protocol.h"
#include "media/utils.h"

namespace {

const char kFileNotLoaded[] = "file not loaded.";
const char kCRLF[] = "\r\n";

int32_t ClampToInt32(int64_t v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return int32_t(v);
}

// "%d.%.6d" of a time in microseconds, with the sign in front for negative times.
std::string SecondsText(int64_t us) {
  const char* sign = us < 0 ? "-" : "";
  uint64_t a = us < 0 ? uint64_t(0) - uint64_t(us) : uint64_t(us);
  return StrFormat("%s%llu.%.6llu", sign, (unsigned long long)(a / 1000000), (unsigned long long)(a % 1000000));
}

// A metadata block of the information text: nothing for an empty dictionary or one holding
// only "language"; otherwise "Metadata:" and one line per entry but "language".
void AppendMetadata(std::string& out, const AVDictionary* d, const std::string& indent) {
  int count = d ? ff::av_dict_count(d) : 0;
  if (count == 0) return;
  if (count == 1 && ff::av_dict_get(d, "language", nullptr, AV_DICT_MATCH_CASE)) return;
  out += indent + "Metadata:" + kCRLF;
  const AVDictionaryEntry* e = nullptr;
  while ((e = ff::av_dict_get(d, "", e, AV_DICT_IGNORE_SUFFIX))) {
    if (std::strcmp(e->key, "language") == 0) continue;
    out += StrFormat("%s  %-16s: %s", indent.c_str(), ID3v2DisplayKey(e->key).c_str(), e->value ? e->value : "");
    out += kCRLF;
  }
}

// "yyyy-mm-dd hh:nn:ss" of a Unix time in local time (time zone base bias only).
std::string LocalTimeStampText(int64_t seconds) {
  const double days = UnixTimeToLocal(seconds);
  const time_t local = time_t(std::llround((days - 25569.0) * 86400.0));
  struct tm tm {};
  gmtime_r(&local, &tm);
  return StrFormat("%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                   tm.tm_sec);
}

// The leading decimal number of a text ("2009", "3/12"), 0 when there is none.
int32_t LeadingNumber(const std::string& s) { return ClampToInt32(std::strtoll(s.c_str(), nullptr, 10)); }

}  // namespace

std::string ID3v2DisplayKey(const std::string& key) {
  static const struct {
    const char* key;
    const char* shown;
  } kTable[] = {
      {"TALB", "album"},     {"TAL", "album"},     {"TCOM", "composer"}, {"TCON", "genre"},     {"TCO", "genre"},
      {"TCOP", "copyright"}, {"TDRL", "date"},     {"TENC", "encoder"},  {"TEN", "encoder"},    {"TIT2", "title"},
      {"TT2", "title"},      {"TLAN", "language"}, {"TPE1", "artist"},   {"TP1", "artist"},     {"TPOS", "disc"},
      {"TPUB", "publisher"}, {"TRCK", "track"},    {"TRK", "track"},     {"TSOA", "albumsort"}, {"TSOP", "authorsort"},
      {"TSOT", "titlesort"}, {"TYER", "year"},
  };
  for (const auto& row : kTable)
    if (key == row.key) return row.shown;
  return key;
}

std::string RatePiece(double value, const char* unit) {
  long long r = std::llround(value * 100);
  if (r % 100 != 0) return StrFormat(", %3.2f %s", value, unit);
  if (r % (100 * 1000) != 0) return StrFormat(", %1.0f %s", value, unit);
  return StrFormat(", %1.0fk %s", value / 1000, unit);
}

TCustomAVProbe::TCustomAVProbe() = default;

TCustomAVProbe::~TCustomAVProbe() {
  if (ctx_ && owns_) CloseInput(&ctx_);
  ctx_ = nullptr;
}

void TCustomAVProbe::CheckLibs() const {
  const TFFmpegLoader& loader = FFLoader();
  if (!loader.LibLoaded(lkAVCodec)) throw FFmpegException("LibAVCodec not loaded.");
  if (!loader.LibLoaded(lkAVFormat)) throw FFmpegException("LibAVFormat not loaded.");
  if (!loader.LibLoaded(lkAVUtil)) throw FFmpegException("LibAVUtil not loaded.");
  if (!loader.LibLoaded(lkSwScale)) throw FFmpegException("LibSwScale not loaded.");
}

void TCustomAVProbe::ReportError(TLogLevel level, const std::string& msg) {
  lastErrMsg_ = msg;
  GetFFLogger().Log(this, level, msg);
}

bool TCustomAVProbe::LoadFile(const std::string& fileName, const std::string& formatName) {
  CheckLibs();
  CloseFile();

  const AVInputFormat* fmt = nullptr;
  if (!formatName.empty()) {
    fmt = ff::av_find_input_format(formatName.c_str());
    if (!fmt) {
      lastErrMsg_ = StrFormat("Unknown input format: %s", formatName.c_str());
      return false;
    }
  }
  // A name the format library cannot take is refused with its own text rather than a bare
  // error number.
  try {
    ToLibraryFileName(fileName);
  } catch (const FFmpegException& e) {
    ReportError(llError, e.what());
    return false;
  }

  AVFormatContext* ctx = ff::avformat_alloc_context();
  if (!ctx) {
    ReportError(llError, FormatAVError(fileName, AVERROR(ENOMEM)));
    return false;
  }
  ctx->flags |= AVFMT_FLAG_NONBLOCK;
  int r = OpenInputFile(&ctx, fileName, fmt, nullptr);
  if (r < 0) {
    ReportError(llError, FormatAVError(fileName, r));
    RefreshCounts();
    return false;
  }
  ctx_ = ctx;
  owns_ = true;

  r = ff::avformat_find_stream_info(ctx_, nullptr);
  if (r < 0) {
    lastErrMsg_ = StrFormat("%s: could not find codec parameters", fileName.c_str());
    CloseFile();
    return false;
  }
  RefreshCounts();
  formatName_ = formatName;
  return true;
}

void TCustomAVProbe::AttachContext(AVFormatContext* ctx) {
  CheckLibs();
  CloseFile();
  ctx_ = ctx;
  owns_ = false;
  RefreshCounts();
}

void TCustomAVProbe::CloseFile() {
  formatName_.clear();
  if (ctx_) {
    if (owns_) CloseInput(&ctx_);
    ctx_ = nullptr;
    owns_ = false;
  }
  RefreshCounts();
}

void TCustomAVProbe::RefreshCounts() {
  fileSize_ = -1;
  streamCount_ = programCount_ = -1;
  audioCount_ = videoCount_ = subtitleCount_ = -1;
  firstAudio_ = firstVideo_ = firstSubtitle_ = -1;
  if (!ctx_) return;

  int64_t size = ctx_->pb ? ff::avio_size(ctx_->pb) : -1;
  if (size < 0) size = -1;  // an error code is no size
  if (size > 0) {
    fileSize_ = size;
  } else {
    std::string name = GetFileName();
    int64_t onDisk = name.empty() ? -1 : ::FileSize(name);
    fileSize_ = onDisk >= 0 ? onDisk : size;
  }

  streamCount_ = int(ctx_->nb_streams);
  programCount_ = int(ctx_->nb_programs);
  audioCount_ = videoCount_ = subtitleCount_ = 0;
  for (unsigned i = 0; i < ctx_->nb_streams; ++i) {
    switch (ctx_->streams[i]->codecpar->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        ++videoCount_;
        if (firstVideo_ < 0) firstVideo_ = int(i);
        break;
      case AVMEDIA_TYPE_AUDIO:
        ++audioCount_;
        if (firstAudio_ < 0) firstAudio_ = int(i);
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        ++subtitleCount_;
        if (firstSubtitle_ < 0) firstSubtitle_ = int(i);
        break;
      default:
        break;
    }
  }
}

std::string TCustomAVProbe::GetFileName() const {
  if (!ctx_ || !ctx_->url) return "";
  return FromLibraryFileName(ctx_->url);
}

std::string TCustomAVProbe::GetFormatName() const {
  if (!ctx_ || !ctx_->iformat) return "";
  return ctx_->iformat->name;
}

TFileStreamInfo TCustomAVProbe::GetFileStreamInfo() {
  TFileStreamInfo info;
  if (!ctx_) {
    ReportError(llWarning, kFileNotLoaded);
    return info;
  }
  info.StartTime = ctx_->start_time == AV_NOPTS_VALUE ? -1 : ctx_->start_time;
  info.Duration = ctx_->duration == AV_NOPTS_VALUE ? -1 : ctx_->duration;
  info.BitRate = ClampToInt32(ctx_->bit_rate);
  const AVDictionary* md = ctx_->metadata;
  // The container's time stamp, year and track live in its metadata; 0 when absent.
  info.TimeStamp = 0;
  std::string created = MetadataValue(md, "creation_time");
  int64_t us = 0;
  if (!created.empty() && ff::av_parse_time(&us, created.c_str(), 0) == 0) info.TimeStamp = us / 1000000;
  std::string year = MetadataValue(md, "year");
  info.Year = LeadingNumber(year.empty() ? MetadataValue(md, "date") : year);
  info.Track = LeadingNumber(MetadataValue(md, "track"));
  info.Title = MetadataValue(md, "title");
  // Current demuxers file the author under "artist".
  info.Author = MetadataValue(md, "author");
  if (info.Author.empty()) info.Author = MetadataValue(md, "artist");
  info.Copyright = MetadataValue(md, "copyright");
  info.Comment = MetadataValue(md, "comment");
  info.Album = MetadataValue(md, "album");
  info.Genre = MetadataValue(md, "genre");
  return info;
}

AVStream* TCustomAVProbe::QueryStream(int index, int mediaType) {
  const AVMediaType type = AVMediaType(mediaType);
  const bool audio = type == AVMEDIA_TYPE_AUDIO;
  if (!ctx_) {
    ReportError(llWarning, kFileNotLoaded);
    return nullptr;
  }
  if (index < 0) {
    index = audio ? firstAudio_ : firstVideo_;
    if (index < 0) {
      ReportError(llError, audio ? "no audio stream." : "no video stream.");
      return nullptr;
    }
  }
  if (index >= int(ctx_->nb_streams)) {
    ReportError(llError, StrFormat("stream index #%d is invalid.", index));
    return nullptr;
  }
  AVStream* st = ctx_->streams[index];
  if (st->codecpar->codec_type != type) {
    ReportError(llError,
                StrFormat(audio ? "stream #%d is not audio stream." : "stream #%d is not video stream.", index));
    return nullptr;
  }
  return st;
}

void TCustomAVProbe::StreamTimes(AVStream* st, int64_t& start, int64_t& startUS, int64_t& duration,
                                 int64_t& durationUS) {
  // A time base without denominator would divide by zero: repair it in the context.
  if (st->time_base.den == 0) st->time_base.den = st->time_base.num != 0 ? st->time_base.num : 1;
  start = st->start_time;
  startUS = start == AV_NOPTS_VALUE ? -1 : ff::av_rescale_q(start, st->time_base, AV_TIME_BASE_Q);
  duration = st->duration;
  durationUS = duration == AV_NOPTS_VALUE ? -1 : ff::av_rescale_q(duration, st->time_base, AV_TIME_BASE_Q);
}

TAudioStreamInfo TCustomAVProbe::GetAudioStreamInfo(int index) {
  TAudioStreamInfo info;
  AVStream* st = QueryStream(index, AVMEDIA_TYPE_AUDIO);
  if (!st) return info;
  const AVCodecParameters* par = st->codecpar;
  info.Language = MetadataValue(st->metadata, "language");
  info.CodecName = CodecDescription(par, false);
  StreamTimes(st, info.StartTime, info.StartTimeUS, info.Duration, info.DurationUS);
  info.BitRate = ClampToInt32(par->bit_rate);
  info.Channels = par->ch_layout.nb_channels;
  info.SampleRate = par->sample_rate;
  info.SampleFormat = par->format;
  return info;
}

TVideoStreamInfo TCustomAVProbe::GetVideoStreamInfo(int index) {
  TVideoStreamInfo info;
  AVStream* st = QueryStream(index, AVMEDIA_TYPE_VIDEO);
  if (!st) return info;
  const AVCodecParameters* par = st->codecpar;
  info.Language = MetadataValue(st->metadata, "language");
  info.CodecName = CodecDescription(par, false);
  StreamTimes(st, info.StartTime, info.StartTimeUS, info.Duration, info.DurationUS);
  info.BitRate = ClampToInt32(par->bit_rate);
  info.Height = par->height;
  info.Width = par->width;
  const AVRational sar = par->sample_aspect_ratio;
  info.AspectRatio = sar.num != 0 && sar.den != 0 && par->height != 0
                         ? float(double(sar.num) / sar.den * par->width / par->height)
                         : 0.0f;
  const AVRational shape = st->sample_aspect_ratio.num > 0 ? st->sample_aspect_ratio : sar;
  if (shape.num > 0 && shape.den > 0) {
    info.SampleAspectNum = shape.num;
    info.SampleAspectDen = shape.den;
  }
  info.Rotation = DisplayOrientation(StreamDisplayMatrix(st)).Rotation;
  info.PixelFormat = par->format;
  info.FrameRateNum = st->r_frame_rate.num;
  info.FrameRateDen = st->r_frame_rate.den;
  info.FrameCount = st->nb_frames > 0 ? st->nb_frames : -1;
  return info;
}

bool TCustomAVProbe::StreamIsOfType(int index, int mediaType) {
  if (!ctx_) {
    ReportError(llWarning, kFileNotLoaded);
    return false;
  }
  if (index < 0 || index >= int(ctx_->nb_streams)) {
    ReportError(llError, StrFormat("stream index #%d is invalid.", index));
    return false;
  }
  return ctx_->streams[index]->codecpar->codec_type == mediaType;
}

bool TCustomAVProbe::IsAudioStream(int index) { return StreamIsOfType(index, AVMEDIA_TYPE_AUDIO); }

bool TCustomAVProbe::IsVideoStream(int index) { return StreamIsOfType(index, AVMEDIA_TYPE_VIDEO); }

std::string TCustomAVProbe::StreamLine(int index) {
  AVStream* st = ctx_->streams[index];
  const AVCodecParameters* par = st->codecpar;
  std::string line = StrFormat("Stream #%d", index);
  if (ctx_->iformat && (ctx_->iformat->flags & AVFMT_SHOW_IDS)) line += StrFormat("[0x%x]", st->id);
  std::string language = MetadataValue(st->metadata, "language");
  if (!language.empty()) line += "(" + language + ")";
  int64_t g = std::gcd(int64_t(st->time_base.num), int64_t(st->time_base.den));
  if (g == 0) g = 1;
  line += StrFormat(", %d/%d", int(st->time_base.num / g), int(st->time_base.den / g));

  ffw::CodecContext cc(ff::avcodec_alloc_context3(nullptr));
  char desc[256] = "";
  if (cc && ff::avcodec_parameters_to_context(cc.get(), par) >= 0) ff::avcodec_string(desc, sizeof desc, cc.get(), 0);
  line += ": ";
  line += desc;

  const AVRational ssar = st->sample_aspect_ratio;
  const AVRational csar = par->sample_aspect_ratio;
  if (ssar.num != 0 && int64_t(ssar.num) * csar.den != int64_t(csar.num) * ssar.den) {
    int dn = 0, dd = 0;
    ff::av_reduce(&dn, &dd, int64_t(par->width) * ssar.num, int64_t(par->height) * ssar.den, 1024 * 1024);
    line = StrFormat("%s, PAR %d:%d DAR %d:%d", line.c_str(), ssar.num, ssar.den, dn, dd);
  }

  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    const AVRational fps = st->avg_frame_rate, tbr = st->r_frame_rate, tbn = st->time_base;
    const AVRational tbc = cc ? cc->time_base : AVRational{0, 1};
    if (fps.num && fps.den) line += RatePiece(double(fps.num) / fps.den, "fps");
    if (tbr.num && tbr.den) line += RatePiece(double(tbr.num) / tbr.den, "tbr");
    if (tbn.num && tbn.den) line += RatePiece(double(tbn.den) / tbn.num, "tbn");
    if (tbc.num && tbc.den) line += RatePiece(double(tbc.den) / tbc.num, "tbc");
  }

  const AVRational tb = st->time_base.den ? st->time_base : AVRational{1, 1};
  if (st->start_time != AV_NOPTS_VALUE)
    line += ", StartTime: " + SecondsText(ff::av_rescale_q(st->start_time, tb, AV_TIME_BASE_Q));
  if (st->duration == AV_NOPTS_VALUE)
    line += ", Duration: N/A";
  else
    line += ", Duration: " + FormatDuration(ff::av_rescale_q(st->duration, tb, AV_TIME_BASE_Q));
  line += kCRLF;
  AppendMetadata(line, st->metadata, "  ");
  return line;
}

std::string TCustomAVProbe::GetInfoText() {
  if (!ctx_) {
    ReportError(llWarning, kFileNotLoaded);
    return "";
  }
  std::string out;
  auto add = [&out](const std::string& line) { out += line + kCRLF; };
  add("File Name: " + GetFileName());
  add("Format Name: " + GetFormatName());
  add(std::string("Format Long Name: ") + (ctx_->iformat && ctx_->iformat->long_name ? ctx_->iformat->long_name : ""));
  add("File Size: " + FormatByteSize(fileSize_));
  if (ctx_->duration == AV_NOPTS_VALUE || ctx_->duration < 0)
    add("Duration: N/A");
  else
    add("Duration: " + FormatDuration(ctx_->duration));
  if (ctx_->start_time != AV_NOPTS_VALUE && ctx_->start_time >= 0) add("StartTime: " + SecondsText(ctx_->start_time));
  if (ctx_->bit_rate < 1)
    add("Bit Rate: N/A");
  else
    add(StrFormat("Bit Rate: %lld kb/s", (long long)(ctx_->bit_rate / 1000)));
  TFileStreamInfo fi = GetFileStreamInfo();
  if (fi.TimeStamp > 0) add("Time Stamp: " + LocalTimeStampText(fi.TimeStamp));
  AppendMetadata(out, ctx_->metadata, "");

  std::vector<bool> listed(ctx_->nb_streams, false);
  for (unsigned p = 0; p < ctx_->nb_programs; ++p) {
    const AVProgram* prog = ctx_->programs[p];
    // Transport streams file these under "service_provider" and "service_name".
    std::string provider = MetadataValue(prog->metadata, "provider_name");
    if (provider.empty()) provider = MetadataValue(prog->metadata, "service_provider");
    std::string name = MetadataValue(prog->metadata, "name");
    if (name.empty()) name = MetadataValue(prog->metadata, "service_name");
    add(StrFormat("Program %d %s@%s", prog->id, provider.empty() ? "N/A" : provider.c_str(),
                  name.empty() ? "N/A" : name.c_str()));
    AppendMetadata(out, prog->metadata, "  ");
    for (unsigned k = 0; k < prog->nb_stream_indexes; ++k) {
      unsigned idx = prog->stream_index[k];
      if (idx >= ctx_->nb_streams) continue;
      out += StreamLine(int(idx));
      listed[idx] = true;
    }
  }
  for (unsigned i = 0; i < ctx_->nb_streams; ++i)
    if (!listed[i]) out += StreamLine(int(i));
  return out;
}
