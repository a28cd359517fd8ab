// Applying the option records of the front ends: one input record opens the task's input,
// one output record opens an output, with a fixed order of options and defaults so that
// every output profile maps to the same option sequence.
#include <cmath>
#include <ctime>

#include "engine/transcoder/transcoder.h"
#include "media/errors.h"
#include "media/loader.h"
#include "media/logger.h"

namespace {

bool IsStreamLine(const std::string& name) {
  return name == "acodec" || name == "vcodec" || name == "scodec" || name == "apre" || name == "vpre" ||
         name == "spre" || name == "s" || name == "vfilters" || name == "vf";
}

bool IsNewStreamLine(const std::string& name) {
  return name == "newaudio" || name == "newvideo" || name == "newsubtitle";
}

// Seconds since the epoch of a local date-time given as days since 30 December 1899; 0 means now.
int64_t DateTimeToUnix(double value) {
  if (value == 0.0) return int64_t(std::time(nullptr));
  const double days = std::floor(value);
  const double dayFraction = value - days;
  // 25569 days separate 30 December 1899 from 1 January 1970.
  std::time_t dayStart = std::time_t((days - 25569.0) * 86400.0);
  std::tm local{};
  gmtime_r(&dayStart, &local);  // the calendar date, read as a local date below
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = int(std::lround(dayFraction * 86400.0));
  local.tm_isdst = -1;
  return int64_t(std::mktime(&local));
}

std::string Microseconds(int64_t us) { return StrFormat("%lld", static_cast<long long>(us)) + "us"; }

}  // namespace

TAVProbe* TTranscoder::InputProbe(int index) const {
  if (index >= 0 && size_t(index) < probes_.size()) return probes_[size_t(index)].get();
  if (!Parked() || index < 0 || index >= InputCount()) return nullptr;
  std::lock_guard<std::mutex> g(parkedProbeLock_);
  if (parkedProbes_.size() < size_t(InputCount())) parkedProbes_.resize(size_t(InputCount()));
  std::unique_ptr<TParkedProbe>& slot = parkedProbes_[size_t(index)];
  if (slot) return &slot->Probe;
  const TInputOptions& record = InputOptions(index);
  const AVInputFormat* fmt = record.FileFormat.empty() ? nullptr : ff::av_find_input_format(record.FileFormat.c_str());
  AVFormatContext* raw = nullptr;
  if (::OpenInputFile(&raw, record.FileName, fmt, nullptr) < 0) return nullptr;
  auto probe = std::make_unique<TParkedProbe>();
  probe->Ctx.reset(raw);
  int ret = 0;
  {
    std::lock_guard<std::mutex> codec(CodecLock());
    ret = ff::avformat_find_stream_info(raw, nullptr);
  }
  if (ret < 0) return nullptr;
  probe->Probe.AttachContext(raw);
  slot = std::move(probe);
  return &slot->Probe;
}

bool TTranscoder::OpenInputFile(const TInputOptions& options, bool hasRecord) {
  if (hasRecord) {
    for (const TExtOption& line : ParseExtOptions(options.ExtOptions)) {
      if (IsNewStreamLine(line.Name) || line.Name == "apre" || line.Name == "vpre" || line.Name == "spre" ||
          line.Name == "vfilters" || line.Name == "vf")
        continue;
      ParseOption(line.Name, line.Value);
    }
    if (!options.FileFormat.empty()) ParseOption("f", options.FileFormat);
    if (options.StartTime != kNoPts) ParseOption("ss", Microseconds(options.StartTime));
    if (options.ProgramID >= 0) ParseOption("programid", std::to_string(options.ProgramID));
  }
  if (!OpenNextInput(options.FileName)) return false;
  auto probe = std::make_unique<TAVProbe>();
  probe->AttachContext(inputs_.back()->Ctx.get());
  probes_.push_back(std::move(probe));
  return true;
}

bool TTranscoder::OpenOutputFile(const TOutputOptions& r, bool hasRecord) {
  struct TQueued {
    std::string Name;
    std::string Value;
  };
  std::vector<TQueued> queue;
  std::vector<TExtOption> lines;
  // The defaults of the stream options, by option name.
  std::vector<std::pair<std::string, std::string>> defaults;
  auto def = [&](const std::string& name) -> std::string& {
    for (auto& d : defaults)
      if (d.first == name) return d.second;
    defaults.emplace_back(name, "");
    return defaults.back().second;
  };

  if (hasRecord) {
    def("acodec") = r.AudioCodec;
    def("vcodec") = r.VideoCodec;
    def("scodec") = r.SubtitleCodec;
    def("apre") = r.AudioPreset;
    def("vpre") = r.VideoPreset;
    def("spre") = r.SubtitlePreset;
    def("s") = r.FrameSize;
    def("vf") = r.VideoFilters;
    lines = ParseExtOptions(r.ExtOptions);
    for (const TExtOption& line : lines) {
      if (!IsStreamLine(line.Name) || line.Value.empty()) continue;
      const std::string name = line.Name == "vfilters" ? "vf" : line.Name;
      if (def(name).empty()) def(name) = line.Value;
      queue.push_back({name, line.Value});
    }

    // Target preset.
    if (r.Target >= 1 && r.Target <= 3) {
      static const char* const kTypes[] = {"vcd", "svcd", "dvd"};
      const char* norm = r.TargetNorm == 1 ? "pal" : r.TargetNorm == 2 ? "ntsc" : "auto";
      SetTarget(kTypes[r.Target - 1], norm, r.DefaultNorm == 1 ? "pal" : "ntsc");
    }
    // Codecs and presets from the defaults.
    auto apply = [&](const char* name, const std::string& value) {
      if (!value.empty()) ParseOption(name, value);
    };
    apply("acodec", def("acodec"));
    apply("vcodec", def("vcodec"));
    apply("scodec", def("scodec"));
    apply("apre", def("apre"));
    apply("vpre", def("vpre"));
    apply("spre", def("spre"));
    // The other extra lines.
    for (const TExtOption& line : lines) {
      if (IsStreamLine(line.Name) || IsNewStreamLine(line.Name)) continue;
      ParseOption(line.Name, line.Value);
    }
    // Record fields, in this order.
    auto positive = [&](const char* name, int64_t v) {
      if (v > 0) ParseOption(name, std::to_string(v));
    };
    if (!r.FileFormat.empty()) ParseOption("f", r.FileFormat);
    positive("packetsize", r.PacketSize);
    positive("muxrate", r.MuxRate);
    if (r.MuxDelay > 0) ParseOption("muxdelay", StrFormat("%g", double(r.MuxDelay)));
    if (r.MuxPreload > 0) ParseOption("muxpreload", StrFormat("%g", double(r.MuxPreload)));
    if (r.DisableAudio) ParseOption("an", "1");
    if (r.AudioVolume >= 0) ParseOption("vol", std::to_string(r.AudioVolume));
    positive("ac", r.AudioChannels);
    positive("ar", r.AudioSampleRate);
    positive("ab", r.AudioBitrate);
    positive("abt", r.AudioBitrateTolerance);
    Opt.AudioLanguage = r.AudioLanguage;
    ParseOption("async", std::to_string(r.AudioSyncMethod));
    if (!r.AudioTag.empty()) ParseOption("atag", r.AudioTag);
    if (r.DisableVideo) ParseOption("vn", "1");
    if (!r.FrameRate.empty()) ParseOption("r", r.FrameRate);
    if (!r.AspectRatio.empty()) ParseOption("aspect", r.AspectRatio);
    positive("croptop", r.CropTop);
    positive("cropbottom", r.CropBottom);
    positive("cropleft", r.CropLeft);
    positive("cropright", r.CropRight);
    positive("g", r.GopSize);
    positive("vb", r.VideoBitrate);
    positive("maxrate", r.VideoMaxRate);
    positive("minrate", r.VideoMinRate);
    positive("bt", r.VideoBitrateTolerance);
    positive("bufsize", r.VideoBufferSize);
    ParseOption("vsync", std::to_string(r.VideoSyncMethod));
    if (!r.VideoTag.empty()) ParseOption("vtag", r.VideoTag);
    Opt.VideoLanguage = r.VideoLanguage;
    if (r.DisableSubtitle) ParseOption("sn", "1");
    Opt.SubtitleLanguage = r.SubtitleLanguage;
    ParseOption("isync", r.InputSync ? "1" : "0");
    if (r.CopyTimestamps) ParseOption("copyts", "1");
    if (r.StartTime != kNoPts) ParseOption("ss", Microseconds(r.StartTime));
    if (r.Duration != kNoPts) ParseOption("t", Microseconds(r.Duration));
    const TStreamInfo& m = r.Metadata;
    if (m.Timestamp >= 0) Opt.RecTimestamp = DateTimeToUnix(m.Timestamp);
    if (m.Year > 0) ParseOption("metadata", "year=" + std::to_string(m.Year));
    if (m.Track > 0) ParseOption("metadata", "track=" + std::to_string(m.Track));
    auto text = [&](const char* key, const std::string& value) {
      if (!value.empty()) ParseOption("metadata", std::string(key) + "=" + value);
    };
    text("title", m.Title);
    text("author", m.Author);
    text("copyright", m.Copyright);
    text("comment", m.Comment);
    text("album", m.Album);
    text("genre", m.Genre);
    // The final frame size and filters.
    apply("s", def("s"));
    apply("vf", def("vf"));
  }

  if (OpenNextOutput(r.FileName, hasRecord && r.Join) < 0) return false;

  if (hasRecord) {
    // Extra streams, each with its own stream options from the queue (or the defaults).
    for (const TExtOption& line : lines) {
      if (!IsNewStreamLine(line.Name)) continue;
      std::vector<std::string> names;
      if (line.Name == "newaudio")
        names = {"acodec", "apre"};
      else if (line.Name == "newvideo")
        names = {"vcodec", "vpre", "s", "vf"};
      else
        names = {"scodec", "spre"};
      for (const std::string& name : names) {
        std::string value = def(name);
        for (auto it = queue.begin(); it != queue.end(); ++it)
          if (it->Name == name) {
            value = it->Value;
            queue.erase(it);
            break;
          }
        if (!value.empty()) ParseOption(name, value);
      }
      ParseOption(line.Name, line.Value);
    }
  }
  return true;
}
