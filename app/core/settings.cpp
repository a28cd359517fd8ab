#include "app/core/settings.h"

#include <algorithm>
#include <filesystem>

#include "app/core/apppaths.h"
#include "media/errors.h"
#include "media/textutils.h"

namespace {

constexpr const char* kSettings = "settings";
constexpr const char* kGroups = "lstformat";

TProfileChoices ReadChoices(const TIniFile& ini, int32_t code) {
  const std::string s = ProfileSection(code);
  TProfileChoices c;
  c.VideoSize = ini.ReadInteger(s, "iVideoSize", 0);
  c.VideoBitRate = ini.ReadInteger(s, "iVideoBitRate", 0);
  c.FrameRate = ini.ReadInteger(s, "iFrameRate", 0);
  c.VideoEncoder = ini.ReadInteger(s, "iVideoEncoder", 0);
  c.SampleRate = ini.ReadInteger(s, "iSampleRate", 0);
  c.AudioBitRate = ini.ReadInteger(s, "iAudioBitRate", 0);
  c.Channel = ini.ReadInteger(s, "iChannel", 0);
  c.Volume = ini.ReadInteger(s, "iVolume", 0);
  c.AudioEncoder = ini.ReadInteger(s, "iAudioEncoder", 0);
  return c;
}

}  // namespace

std::optional<TThreadPriority> WorkPriority(int32_t stored) {
  switch (stored) {
    case 0:
      return tpIdle;
    case 1:
      return tpNormal;
    case 2:
      return tpLower;
    case 3:
      return tpLowest;
    default:
      return std::nullopt;
  }
}

TAppSettings::TAppSettings() : TAppSettings(SettingsIniPath(), FormatIniPath()) {}

TAppSettings::TAppSettings(std::string settingsPath, std::string formatPath)
    : settingsPath_(std::move(settingsPath)), formatPath_(std::move(formatPath)) {}

TSettingsValues TAppSettings::Read() const {
  const TIniFile ini = TIniFile::ReadOnce(settingsPath_);
  TSettingsValues v;
  const std::string folder = DefaultOutputDir();
  v.FormatCode = ini.ReadInteger(kSettings, "FormatCode", v.FormatCode);
  // Without a stored name, the name of the profile a conversion then uses (profile 1), so the
  // picker never names a profile that is not the one used.
  v.FormatName = ini.ReadString(kSettings, "FormatName", BuiltinProfileName(1));
  v.OutPutDir = ini.ReadString(kSettings, "OutPutDir", folder);
  v.SnapOutPutDir = ini.ReadString(kSettings, "SnapOutPutDir", folder);
  v.Volume = ini.ReadInteger(kSettings, "volume", 0);
  if (v.Volume < 0 || v.Volume > 128) v.Volume = 64;
  v.Mute = ini.ReadBool(kSettings, "mute", false);
  v.Priority = ini.ReadInteger(kSettings, "priority", 1);
  v.SnapFullSize = ini.ReadBool(kSettings, "snapFullSize", true);
  v.SnapSmallSize = ini.ReadBool(kSettings, "snapSmallSize", true);
  v.SnapBmp = ini.ReadBool(kSettings, "snapBmp", true);
  v.SnapJpg = ini.ReadBool(kSettings, "snapJpg", true);
  v.JpgCmp = ini.ReadInteger(kSettings, "jpgCmp", 30);
  if (v.JpgCmp < 1 || v.JpgCmp > 100) v.JpgCmp = 30;
  v.FilesAtOnce = std::clamp(ini.ReadInteger(kSettings, "filesAtOnce", 1), 1, kMaxFilesAtOnce);
  for (int g = 0; g < kProfileGroupCount; ++g)
    v.GroupClosed[size_t(g)] = ini.ReadBool(kGroups, std::to_string(g), true);
  return v;
}

void TAppSettings::WriteFormat(int32_t code, const std::string& name) {
  TIniFile(settingsPath_).WriteStrings(kSettings, {{"FormatCode", std::to_string(code)}, {"FormatName", name}});
}
void TAppSettings::WriteOutPutDir(const std::string& dir) {
  TIniFile(settingsPath_).WriteString(kSettings, "OutPutDir", dir);
}
void TAppSettings::WriteSnapOutPutDir(const std::string& dir) {
  TIniFile(settingsPath_).WriteString(kSettings, "SnapOutPutDir", dir);
}
void TAppSettings::WriteVolume(int32_t volume) { TIniFile(settingsPath_).WriteInteger(kSettings, "volume", volume); }
void TAppSettings::WriteMute(bool mute) { TIniFile(settingsPath_).WriteInteger(kSettings, "mute", mute ? 1 : 0); }
void TAppSettings::WritePreferences(const TPreferenceValues& v) {
  std::vector<std::pair<std::string, std::string>> keys = {{"SnapOutPutDir", v.SnapOutPutDir},
                                                           {"snapBmp", v.SnapBmp ? "1" : "0"},
                                                           {"snapJpg", v.SnapJpg ? "1" : "0"},
                                                           {"snapFullSize", v.SnapFullSize ? "1" : "0"},
                                                           {"snapSmallSize", v.SnapSmallSize ? "1" : "0"}};
  if (v.JpgCmp > 0) keys.emplace_back("jpgCmp", std::to_string(v.JpgCmp));
  keys.emplace_back("priority", std::to_string(v.Priority));
  TIniFile(settingsPath_).WriteStrings(kSettings, keys);
}
void TAppSettings::WriteGroupClosed(int group, bool closed) {
  TIniFile(settingsPath_).WriteBool(kGroups, std::to_string(group), closed);
}

void TAppSettings::WriteFilesAtOnce(int32_t count) {
  TIniFile(settingsPath_).WriteInteger(kSettings, "filesAtOnce", std::clamp(count, 1, kMaxFilesAtOnce));
}

TAppSettings::TProfileUse TAppSettings::OpenProfileUse() const {
  return {TIniFile::ReadOnce(settingsPath_), TIniFile::ReadOnce(formatPath_)};
}

TProfileChoices TAppSettings::StoredChoices(int32_t code) const {
  return ReadChoices(TIniFile::ReadOnce(settingsPath_), code);
}

TProfileChoices TAppSettings::DefaultChoices(int32_t code) const {
  return ReadChoices(TIniFile::ReadOnce(formatPath_), code);
}

TProfileParams TAppSettings::Params(int32_t code) const {
  const TProfileUse use = OpenProfileUse();
  return ReadProfileParams(use.Settings, use.Format, code);
}

std::string TAppSettings::Zoom(int32_t code) const { return ReadProfileZoom(TIniFile::ReadOnce(settingsPath_), code); }

std::string TAppSettings::OutputExtension(int32_t code) const {
  std::string ext = ".";
  ext += TIniFile(formatPath_).ReadString(ProfileSection(code), "FileExt", "mp4");
  return ext;
}

void TAppSettings::CheckFormatFile() const {
  std::error_code ec;
  if (std::filesystem::is_regular_file(formatPath_, ec)) return;
  std::string places;
  for (const std::string& p : FormatIniSearchPaths(ProgramDir())) places += (places.empty() ? "" : ", ") + p;
  if (formatPath_ != FormatIniPath()) places = formatPath_;
  throw FFmpegException("The format-profile file is missing (looked for " + places + ")");
}

TProfileLists TAppSettings::ProfileLists(int32_t code) const {
  const TIniFile ini = TIniFile::ReadOnce(formatPath_);
  const std::string s = ProfileSection(code);
  TProfileLists l;
  l.SectionFound = ini.SectionExists(s);
  auto list = [&](const char* key) { return SplitProfileList(ini.ReadString(s, key, "null")); };
  l.VideoSize = list("VideoSize");
  l.VideoBitRate = list("VideoBitRate");
  l.FrameRate = list("FrameRate");
  l.VideoEncoder = list("VideoEncoder");
  l.AudioBitRate = list("AudioBitRate");
  l.SampleRate = list("SampleRate");
  l.AudioEncoder = list("AudioEncoder");
  l.Channel = list("Channel");
  l.Volume = list("Volume");
  return l;
}

TProfileStored TAppSettings::StoredProfile(int32_t code) const {
  const TIniFile ini = TIniFile::ReadOnce(settingsPath_);
  const std::string s = ProfileSection(code);
  TProfileStored st;
  // Saved means what the builder takes as saved: the section holds an encoder.
  st.Saved = ini.ValueExists(s, "paraVideoEncoder") || ini.ValueExists(s, "paraAudioEncoder");
  if (st.Saved) {
    st.Index = ReadChoices(ini, code);
    st.VideoSize = ini.ReadString(s, "paraVideoSize", st.VideoSize);
    st.VideoBitRate = ini.ReadString(s, "paraVideoBitRate", st.VideoBitRate);
    st.FrameRate = ini.ReadString(s, "paraFrameRate", st.FrameRate);
    st.SampleRate = ini.ReadString(s, "paraSampleRate", st.SampleRate);
    st.AudioBitRate = ini.ReadString(s, "paraAudioBitRate", st.AudioBitRate);
  } else {
    st.Index = DefaultChoices(code);
  }
  try {
    st.Zoom = ReadProfileZoom(ini, code);
  } catch (const FFmpegException& e) {
    st.ZoomError = e.what();
  }
  return st;
}

void TAppSettings::WriteProfileForm(int32_t code, const std::string& name, const TProfileForm& f) {
  std::vector<std::pair<std::string, std::string>> values;
  // A later value of a key replaces the earlier one ("gsm" overrides the sample rate).
  auto set = [&](const std::string& key, const std::string& value) {
    for (auto& kv : values)
      if (kv.first == key) {
        kv.second = value;
        return;
      }
    values.emplace_back(key, value);
  };
  set("Description", name);
  const TProfileChoices& i = f.Index;
  const std::pair<const char*, int32_t> indexes[] = {
      {"iVideoSize", i.VideoSize},      {"iVideoBitRate", i.VideoBitRate},
      {"iFrameRate", i.FrameRate},      {"iVideoEncoder", i.VideoEncoder},
      {"iSampleRate", i.SampleRate},    {"iAudioBitRate", i.AudioBitRate},
      {"iChannel", i.Channel},          {"iVolume", i.Volume},
      {"iAudioEncoder", i.AudioEncoder}};
  for (const auto& [key, index] : indexes) set(key, std::to_string(index));
  set("paraVideoSize", f.VideoSize);
  set("paraVideoBitRate", f.VideoBitRate);
  set("paraFrameRate", f.FrameRate);
  static const char* const kZoom[] = {"full", "lbox", "pan"};
  if (f.Zoom >= 0 && f.Zoom < 3) set("paraZoom", kZoom[f.Zoom]);
  if (const auto video = VideoEncoderForDisplay(f.VideoEncoder)) {
    set("paraVideoEncoder", *video);
    if (LowerAscii(f.VideoEncoder) == "h264") {
      const TIniFile format = TIniFile::ReadOnce(formatPath_);
      const std::string s = ProfileSection(code);
      const std::string exact = format.ReadString(s, "paraBitExact", "");
      if (LowerAscii(exact) == "true") set("paraBitExact", exact);
      for (const char* key : {"paraMaxBitrate", "paraBufferSize", "paraLevel", "paraQscale", "paraGop", "paraCoder"}) {
        const std::string v = format.ReadString(s, key, "");
        int32_t n;
        const int32_t least = std::string(key) == "paraCoder" ? 0 : 1;
        if (IsInteger(v, &n) && n >= least) set(key, v);
      }
    }
  }
  set("paraSampleRate", f.SampleRate);
  set("paraAudioBitRate", f.AudioBitRate);
  if (const auto channel = ChannelForDisplay(f.Channel)) set("paraChannel", *channel);
  if (const auto volume = VolumeForDisplay(f.Volume)) set("paraVolume", *volume);
  if (const auto audio = AudioEncoderForDisplay(f.AudioEncoder)) {
    set("paraAudioEncoder", *audio);
    if (LowerAscii(f.AudioEncoder) == "gsm") {
      set("paraSampleRate", "8000");
      set("paraChannel", "1");
    }
  }
  TIniFile(settingsPath_).WriteStrings(ProfileSection(code), values);
  WriteFormat(code, name);
}
