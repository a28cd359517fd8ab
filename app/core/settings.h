// The program's settings: the [settings] and [lstformat] keys of the settings file with their
// defaults and range rules, and per profile the values a conversion uses. Every read opens the
// settings file at that moment (nothing is kept between uses); one read gives all the keys of
// one use.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/core/inifile.h"
#include "app/core/profiles.h"
#include "engine/thread_priority.h"

// The most files a run converts at the same time.
constexpr int32_t kMaxFilesAtOnce = 8;

// The format-picker groups whose open or closed state is stored in [lstformat].
constexpr int kProfileGroupCount = 4;

struct TSettingsValues {
  int32_t FormatCode = 1;
  std::string FormatName;     // default: the name of profile 1
  std::string OutPutDir;      // default: the platform's default output folder
  std::string SnapOutPutDir;  // default: the same folder
  int32_t Volume = 0;         // 0..128; a stored value outside reads as 64
  bool Mute = false;
  int32_t Priority = 1;  // 0 Idle, 1 Normal, 2 Lower, 3 Lowest; other values kept as stored
  bool SnapFullSize = true;
  bool SnapSmallSize = true;
  bool SnapBmp = true;
  bool SnapJpg = true;
  int32_t JpgCmp = 30;      // JPEG quality 1..100; a stored value outside reads as 30
  int32_t FilesAtOnce = 1;  // files converted at the same time, 1..kMaxFilesAtOnce
  std::array<bool, kProfileGroupCount> GroupClosed{true, true, true, true};
};

// What the preferences dialog's OK stores.
struct TPreferenceValues {
  std::string SnapOutPutDir;
  bool SnapBmp = true, SnapJpg = true, SnapFullSize = true, SnapSmallSize = true;
  int32_t JpgCmp = 30;   // stored only when greater than 0
  int32_t Priority = 1;  // -1 when no priority is chosen
};

// The settings dialog's remembered list indexes of one profile (-1 = a typed value).
struct TProfileChoices {
  int32_t VideoSize = 0, VideoBitRate = 0, FrameRate = 0, VideoEncoder = 0, SampleRate = 0, AudioBitRate = 0,
          Channel = 0, Volume = 0, AudioEncoder = 0;
};

// The value lists one profile offers in the format-profile file ("null" or missing: none).
struct TProfileLists {
  bool SectionFound = false;
  std::vector<std::string> VideoSize, VideoBitRate, FrameRate, VideoEncoder, AudioBitRate, SampleRate, AudioEncoder,
      Channel, Volume;
};

// What the settings dialog shows for a profile when it opens: the remembered list indexes,
// the typed texts kept for a -1 index, and the zoom mode. For a profile the user never saved,
// the profile file's default choices and the zoom mode a conversion uses today, so that
// confirming the dialog unchanged stores what conversions already used.
struct TProfileStored {
  bool Saved = false;
  TProfileChoices Index;
  std::string VideoSize = "320x240", VideoBitRate = "800", FrameRate = "25", SampleRate = "44100", AudioBitRate = "96";
  std::string Zoom;       // "full", "lbox", "pan", "center"; empty when the stored mode is unknown
  std::string ZoomError;  // why the stored mode was not taken
};

// The settings dialog's state on OK: the list indexes (-1 = typed text or nothing chosen), the
// texts of the editable and frame-rate fields, the chosen display names of the mapped lists
// (empty = nothing chosen) and the zoom entry (0 full, 1 lbox, 2 pan, -1 none).
struct TProfileForm {
  TProfileChoices Index{-1, -1, -1, -1, -1, -1, -1, -1, -1};
  std::string VideoSize, VideoBitRate, FrameRate, SampleRate, AudioBitRate;
  std::string VideoEncoder, AudioEncoder, Channel, Volume;
  int Zoom = -1;
};

// The work priority of a stored value; none for a value the table does not know.
std::optional<TThreadPriority> WorkPriority(int32_t stored);

class TAppSettings {
public:
  // The program's own files (the configuration folder and the delivered profile file).
  TAppSettings();
  TAppSettings(std::string settingsPath, std::string formatPath);

  const std::string& SettingsPath() const { return settingsPath_; }
  const std::string& FormatPath() const { return formatPath_; }

  // All [settings] and [lstformat] values, from one reading of the file.
  TSettingsValues Read() const;

  // Writers (each one write of the file; FFmpegException "Unable to write to ..." on failure).
  void WriteFormat(int32_t code, const std::string& name);
  void WriteOutPutDir(const std::string& dir);
  void WriteSnapOutPutDir(const std::string& dir);
  void WriteVolume(int32_t volume);
  void WriteMute(bool mute);
  void WriteGroupClosed(int group, bool closed);
  // Stored as given when within 1..kMaxFilesAtOnce, else the nearest end of the range.
  void WriteFilesAtOnce(int32_t count);
  void WritePreferences(const TPreferenceValues& values);

  // One use of both files for profile `code`: each file is read once.
  struct TProfileUse {
    TIniFile Settings;
    TIniFile Format;
  };
  TProfileUse OpenProfileUse() const;

  // Per profile: the choices the user saved, the profile file's default choices, the values a
  // conversion uses and its zoom mode. Params and Zoom throw FFmpegException naming the
  // profile and the key for a value that is not known.
  TProfileChoices StoredChoices(int32_t code) const;
  TProfileChoices DefaultChoices(int32_t code) const;
  TProfileParams Params(int32_t code) const;
  std::string Zoom(int32_t code) const;
  // The settings dialog: the profile's value lists, what it shows on opening, and its OK. The
  // OK writes the profile's section in one rewrite (display names mapped to codec names, the
  // H.264 extras copied from the profile file for "h264", "gsm" forcing 8000 Hz mono), then
  // [settings] FormatCode and FormatName.
  TProfileLists ProfileLists(int32_t code) const;
  TProfileStored StoredProfile(int32_t code) const;
  void WriteProfileForm(int32_t code, const std::string& name, const TProfileForm& form);
  // The profile's output file extension with its dot ("FileExt", default "mp4").
  std::string OutputExtension(int32_t code) const;

  // Throws FFmpegException naming the places searched when the profile file does not exist.
  void CheckFormatFile() const;

private:
  std::string settingsPath_;
  std::string formatPath_;
};
