#include "app/core/profiles.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "app/core/inifile.h"
#include "media/encoders.h"
#include "media/errors.h"
#include "media/loader.h"
#include "media/textutils.h"

namespace {

std::string Lower(const std::string& s) { return LowerAscii(s); }
std::string Trim(const std::string& s) { return TrimText(s); }

using TNamePair = std::pair<const char*, const char*>;

const TNamePair kVideoEncoders[] = {
    {"mpeg-4", "mpeg4"},
    {"3gp", "3gp"},
    {"3g2", "3g2"},
    {"xvid", "libxvid"},
    {"mov", "mov"},
    {"wmv1", "wmv1"},
    {"wmv2", "wmv2"},
    {"wmv3", "wmv3"},
    {"flv", "flv"},
    {"swf", "swf"},
    {"msmpeg4", "msmpeg4"},
    {"msmpeg4v1", "msmpeg4v1"},
    {"msmpeg4v2", "msmpeg4v2"},
    {"mpeg1video", "mpeg1video"},
    {"mpeg2video", "mpeg2video"},
    {"h263", "h263"},
    {"h263p", "h263p"},
    {"rawvideo", "rawvideo"},
    {"rv10", "rv10"},
    {"rv20", "rv20"},
    {"dvvideo", "dvvideo"},
    {"huffyuv", "huffyuv"},
    {"ljpeg", "ljpeg"},
    {"mjpeg", "mjpeg"},
    {"svq1", "svq1"},
    {"zlib", "zlib"},
    {"h264", "libx264"},
};

const TNamePair kAudioEncoders[] = {
    {"mp3", "libmp3lame"},
    {"ogg", "vorbis"},
    {"mp2", "mp2"},
    {"aac", "libfaac"},
    {"ac-3", "ac3"},
    {"flac", "flac"},
    {"alac", "alac"},
    {"libamr_nb", "libopencore_amrnb"},
    {"adpcm_swf", "adpcm_swf"},
    {"adpcm_yamaha", "adpcm_yamaha"},
    {"pcm-8bit", "pcm_s8"},
    {"pcm-16bit", "pcm_s16be"},
    {"pcm-24bit", "pcm_s24be"},
    {"pcm-32bit", "pcm_s32be"},
    {"pcm-32bit float", "pcm_f32be"},
    {"pcm-64bit float", "pcm_f64be"},
    {"ccitt a-law(8-bit)", "pcm_alaw"},
    {"ccitt mu-law(8-bit)", "pcm_mulaw"},
    {"ima adpcm(4-bit)", "adpcm_ima_qt"},
    {"gsm", "libgsm"},
    {"pcm_s16", "pcm_s16le"},
    {"pcm_u16", "pcm_u16le"},
    {"pcm_alaw", "pcm_alaw"},
    {"pcm_mulaw ", "pcm_mulaw"},
    {"adpcm_ms", "adpcm_ms"},
    {"adpcm_ima_wav", "adpcm_ima_wav"},
    {"wma1", "wmav1"},
    {"wma2", "wmav2"},
};

// Encoder names of older codec library generations and the encoders that do the same work
// in the libraries this program loads. The built-in Vorbis and Opus encoders are experimental
// and refuse to run without a strictness override, so the external-library encoders stand in.
const TNamePair kEncoderEquivalents[] = {
    {"libfaac", "aac"},       {"libvo_aacenc", "aac"}, {"libaacplus", "aac"},
    {"vorbis", "libvorbis"},  {"opus", "libopus"},     {"libamr_nb", "libopencore_amrnb"},
    {"msmpeg4v3", "msmpeg4"},
};

template <size_t N>
std::optional<std::string> LookUp(const TNamePair (&table)[N], const std::string& display) {
  for (const TNamePair& p : table)
    if (Lower(display) == Lower(p.first)) return std::string(p.second);
  return std::nullopt;
}

}  // namespace

const std::vector<TProfileGroup>& BuiltinProfileGroups() {
  static const std::vector<TProfileGroup> groups = {
      {"Sony PSP",
       {{0, "PSP MPEG-4 Excellent Quality (*.mp4)"},
        {1, "PSP MPEG-4 Normal Quality (*.mp4)"},
        {2, "PSP MPEG-4 Mini Size (*.mp4)"},
        {3, "PSP H.264/AVC Video (*.mp4)"},
        {4, "PSP Video (480P) (*.mp4)"}}},
      {"Sony PS3",
       {{100, "PS3 MPEG-4 Video (480P) (*.mp4)"},
        {101, "PS3 MPEG-4 Video (480P) Excellent (*.mp4)"},
        {102, "PS3 MPEG-4 Video (720P) (*.mp4)"},
        {103, "PS3 MPEG-4 Video (1080P) (*.mp4)"}}},
      {"General Video formates",
       {{200, "MPEG-1 Video (*.mpg)"},
        {201, "MPEG-2 Video (*.mpg)"},
        {202, "MPEG-4 Video (*.mp4)"},
        {203, "H.264/MPEG-4 AVC Video (*.mp4)"},
        {204, "AVI Video (*.avi)"},
        {205, "WMV Video (*.wmv)"},
        {206, "Divx Video (*.avi)"},
        {207, "Xvid Video (*.avi)"},
        {208, "DV - NTSC -Digital Video Format (*.dv)"},
        {209, "DV - PAL -Digital Video Format (*.dv)"}}},
      {"General Audio formates",
       {{300, "MP3 MPEG Layer-3 Audio (*.mp3)"},
        {301, "AAC Advenced Audio Codec (*.aac)"},
        {302, "M4A MPEG-4 Audio (*.m4a)"},
        {303, "WMA - Windows Meida Audio (*.wma)"},
        {304, "WAV - Waveform Audio (*.wav)"},
        {305, "OGG Vorbis Audio Codec (*.ogg)"},
        {306, "AC-3 Audio Codec (*.ac3)"}}},
  };
  return groups;
}

std::string BuiltinProfileName(int32_t code) {
  for (const TProfileGroup& g : BuiltinProfileGroups())
    for (const TProfileEntry& e : g.Entries)
      if (e.Code == code) return e.Name;
  return "";
}

std::string ProfileSection(int32_t code) { return "formatInfo" + std::to_string(code); }

std::vector<std::string> SplitProfileList(const std::string& text) {
  std::vector<std::string> out;
  if (text.empty() || text == "null") return out;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) {
      out.push_back(text.substr(start));
      return out;
    }
    out.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
}

std::optional<std::string> VideoEncoderForDisplay(const std::string& display) {
  return LookUp(kVideoEncoders, display);
}

std::optional<std::string> AudioEncoderForDisplay(const std::string& display) {
  return LookUp(kAudioEncoders, display);
}

std::optional<std::string> ChannelForDisplay(const std::string& display) {
  if (display == "as source") return std::string("as source");
  if (display == "mono 1 channel") return std::string("1");
  if (display == "stereo 2 channels") return std::string("2");
  return std::nullopt;
}

std::optional<std::string> VolumeForDisplay(const std::string& display) {
  if (display.size() < 2) return std::nullopt;
  int32_t p;
  if (!IsInteger(display.substr(0, display.size() - 1), &p)) return std::nullopt;
  static const int kSteps[] = {25, 50, 75, 100, 125, 150, 175, 200, 250, 300, 350, 400};
  for (int s : kSteps)
    if (p == s) return std::to_string(p * 256 / 100);
  return std::nullopt;
}

bool IsInteger(const std::string& text, int32_t* value) {
  if (text.empty()) return false;
  size_t i = (text[0] == '+' || text[0] == '-') ? 1 : 0;
  if (i == text.size()) return false;
  for (size_t j = i; j < text.size(); ++j)
    if (text[j] < '0' || text[j] > '9') return false;
  errno = 0;
  long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  if (value) *value = int32_t(v);
  return true;
}

bool IsNumber(const std::string& text, double* value) {
  // sign? digits [. digits] [e sign? digits], at least one digit in the mantissa.
  size_t i = 0, n = text.size();
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0;
  while (i < n && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  if (i < n && text[i] == '.') {
    ++i;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    size_t expDigits = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i, ++expDigits;
    if (expDigits == 0) return false;
  }
  if (i != n) return false;
  double v = std::strtod(text.c_str(), nullptr);
  if (!std::isfinite(v)) return false;
  if (value) *value = v;
  return true;
}

bool InProfileRangeList(const std::string& list, double v) {
  size_t first = list.find(',');
  // No comma, or a comma as the first character: no range.
  if (first == std::string::npos || first == 0) return false;
  size_t last = list.rfind(',');
  std::string head = list.substr(0, first);
  std::string low = head;
  bool lowAfterComma = false;
  if (first + 1 < list.size() && Lower(head) == "as source") {
    size_t second = list.find(',', first + 1);
    low = list.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    lowAfterComma = true;
  }
  // The upper bound is the last entry; only "as source,X" (one entry after the marker) has
  // X as both bounds. A plain two-entry list such as 300,2000 spans 300 to 2000.
  std::string high = (last > first || !lowAfterComma) ? list.substr(last + 1) : low;
  double lo, hi;
  if (!IsNumber(Trim(low), &lo) || !IsNumber(Trim(high), &hi)) return false;
  return lo <= v && v <= hi;
}

bool InProfileRange(const TIniFile& formatIni, const std::string& section, TRangeParam param, double v) {
  const char* key = param == TRangeParam::SampleRate     ? "SampleRate"
                    : param == TRangeParam::AudioBitRate ? "AudioBitRate"
                                                         : "VideoBitRate";
  return InProfileRangeList(formatIni.ReadString(section, key, "null"), v);
}

namespace {

// "profile N (display name)" for messages about a profile's values.
std::string ProfileTitle(int32_t code) {
  const std::string name = BuiltinProfileName(code);
  return "profile " + std::to_string(code) + (name.empty() ? "" : " (" + name + ")");
}

[[noreturn]] void ThrowProfileValue(int32_t code, const char* key, const std::string& value, const std::string& why) {
  throw FFmpegException(ProfileTitle(code) + ": " + key + "=\"" + value + "\" " + why);
}

// The video encoder names a profile may name: the settings dialog's codec names. Those the
// builder does not pass on (flv, wmv3, 3gp, mov, swf) let the container choose its own codec.
bool KnownVideoEncoder(const std::string& name) {
  for (const TNamePair& p : kVideoEncoders)
    if (name == p.second) return true;
  return name == "msmpeg4v3";
}

}  // namespace

std::string ReadProfileZoom(const TIniFile& settingsIni, int32_t code) {
  const std::string zoom = settingsIni.ReadString(ProfileSection(code), "parazoom", "lbox");
  if (zoom != "full" && zoom != "lbox" && zoom != "pan" && zoom != "center")
    ThrowProfileValue(code, "parazoom", zoom, "is not a zoom mode (full, lbox, pan or center)");
  return zoom;
}

TProfileParams ReadProfileParams(const TIniFile& settingsIni, const TIniFile& formatIni, int32_t code) {
  const std::string s = ProfileSection(code);
  TProfileParams p;
  p.Zoom = ReadProfileZoom(settingsIni, code);
  // A section the settings dialog saved holds the encoders; one that holds only the zoom mode
  // or the dialog's remembered indexes takes the profile's own default choices.
  if (settingsIni.ValueExists(s, "paraVideoEncoder") || settingsIni.ValueExists(s, "paraAudioEncoder")) {
    p.VideoEncoder = settingsIni.ReadString(s, "paraVideoEncoder", "");
    bool audioOnly = Trim(p.VideoEncoder).empty();
    p.AudioEncoder = settingsIni.ReadString(s, "paraAudioEncoder", audioOnly ? "libfaac" : "");
    p.VideoSize = settingsIni.ReadString(s, "paraVideoSize", "null");
    p.VideoBitRate = settingsIni.ReadString(s, "paraVideoBitRate", "512");
    p.FrameRate = settingsIni.ReadString(s, "paraFrameRate", "29.97");
    p.SampleRate = settingsIni.ReadString(s, "paraSampleRate", "44100");
    p.AudioBitRate = settingsIni.ReadString(s, "paraAudioBitRate", "128");
    p.Channel = settingsIni.ReadString(s, "paraChannel", "2");
    p.Volume = settingsIni.ReadString(s, "paraVolume", "256");
  } else {
    // The profile's default choice of one list: the entry at the default index, or the empty
    // text of a combo box with nothing selected.
    auto choice = [&](const char* listKey) -> std::string {
      std::vector<std::string> entries = SplitProfileList(formatIni.ReadString(s, listKey, "null"));
      int32_t index = formatIni.ReadInteger(s, std::string("i") + listKey, 0);
      return index >= 0 && size_t(index) < entries.size() ? entries[size_t(index)] : std::string();
    };
    p.FromProfileDefaults = true;
    p.VideoSize = choice("VideoSize");
    p.VideoBitRate = choice("VideoBitRate");
    p.FrameRate = choice("FrameRate");
    p.SampleRate = choice("SampleRate");
    p.AudioBitRate = choice("AudioBitRate");
    const std::string videoDisplay = choice("VideoEncoder");
    const auto video = VideoEncoderForDisplay(videoDisplay);
    if (!video && !Trim(videoDisplay).empty())
      ThrowProfileValue(code, "VideoEncoder", videoDisplay, "is not a known video encoder");
    p.VideoEncoder = video.value_or("");
    bool audioOnly = Trim(p.VideoEncoder).empty();
    std::string audioDisplay = choice("AudioEncoder");
    const auto audio = AudioEncoderForDisplay(audioDisplay);
    if (!audio && !Trim(audioDisplay).empty())
      ThrowProfileValue(code, "AudioEncoder", audioDisplay, "is not a known audio encoder");
    p.AudioEncoder = audio.value_or(audioOnly ? "libfaac" : "");
    p.Channel = ChannelForDisplay(choice("Channel")).value_or("2");
    p.Volume = VolumeForDisplay(choice("Volume")).value_or("256");
    if (Lower(audioDisplay) == "gsm") {
      p.SampleRate = "8000";
      p.Channel = "1";
    }
  }
  // An encoder that is not known would silently become another codec or drop its stream.
  if (!Trim(p.VideoEncoder).empty() && !KnownVideoEncoder(p.VideoEncoder))
    ThrowProfileValue(code, "paraVideoEncoder", p.VideoEncoder, "is not a known video encoder");
  try {
    std::string audio = p.AudioEncoder == "libamr_nb" ? "libopencore_amrnb" : p.AudioEncoder;
    ResolveEncoderName(audio, TEncoderKind::Audio);
  } catch (const FFmpegException& e) {
    throw FFmpegException(ProfileTitle(code) + ": paraAudioEncoder: " + e.what());
  }
  return p;
}

std::string ResolveEncoderName(const std::string& name, TEncoderKind kind) {
  if (Trim(name).empty()) return name;
  std::string resolved = name;
  for (const TNamePair& p : kEncoderEquivalents)
    if (name == p.first) resolved = p.second;
  if (!FFLoader().LibLoaded(lkAVCodec)) return resolved;

  const char* what = kind == TEncoderKind::Audio ? "audio" : "video";
  switch (EncoderState(resolved, kind == TEncoderKind::Audio)) {
    case TEncoderState::Missing:
      throw FFmpegException(
          StrFormat("The %s encoder \"%s\" is not available in the codec libraries", what, resolved.c_str()));
    case TEncoderState::OtherKind:
      throw FFmpegException(StrFormat("\"%s\" is not a %s encoder", resolved.c_str(), what));
    case TEncoderState::Experimental:
      throw FFmpegException(
          StrFormat("The %s encoder \"%s\" is only experimental in the codec libraries", what, resolved.c_str()));
    case TEncoderState::Usable:
      break;
  }
  return resolved;
}
