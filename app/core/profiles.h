// Output profiles: the built-in profile table, the settings dialog's display-name tables,
// the value lists of the format-profile file, the range test, and the parameters a profile
// converts with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TIniFile;

// ---- The built-in profiles (profile number = group * 100 + entry) ----
struct TProfileEntry {
  int32_t Code;
  const char* Name;
};
struct TProfileGroup {
  const char* Header;
  std::vector<TProfileEntry> Entries;
};
const std::vector<TProfileGroup>& BuiltinProfileGroups();
// Display name of a built-in profile, empty when the number names none.
std::string BuiltinProfileName(int32_t code);

// "formatInfo" + N.
std::string ProfileSection(int32_t code);

// ---- Value lists ----
// A list key's entries: comma-separated, no trimming, empty fields kept. "null" (the value of
// a missing key) and an empty text give no entries.
std::vector<std::string> SplitProfileList(const std::string& text);

// ---- The settings dialog's display names (compared without regard to letter case) ----
// Video encoder display name -> codec name stored as paraVideoEncoder.
std::optional<std::string> VideoEncoderForDisplay(const std::string& display);
// Audio encoder display name -> codec name stored as paraAudioEncoder.
std::optional<std::string> AudioEncoderForDisplay(const std::string& display);
// "as source", "mono 1 channel", "stereo 2 channels" (exact) -> paraChannel.
std::optional<std::string> ChannelForDisplay(const std::string& display);
// A percentage entry such as "100%" -> paraVolume ("256"); only the dialog's fixed steps.
std::optional<std::string> VolumeForDisplay(const std::string& display);

// ---- Number tests of the option builder ----
// The whole text is a signed decimal integer (32-bit).
bool IsInteger(const std::string& text, int32_t* value = nullptr);
// The whole text is a decimal number ("29.97", "-3", "1e3"); no hexadecimal, inf or nan.
bool IsNumber(const std::string& text, double* value = nullptr);

// ---- Range test ----
enum class TRangeParam { SampleRate, AudioBitRate, VideoBitRate };
// The range rule on one list text: true when v lies between the list's first entry (the one
// after a leading "as source") and its last entry. A list without a comma has no range;
// bounds that are not numbers give false.
bool InProfileRangeList(const std::string& list, double v);
// Reads the parameter's list ("SampleRate", "AudioBitRate", "VideoBitRate") from the
// format-profile file's section and applies the range rule.
bool InProfileRange(const TIniFile& formatIni, const std::string& section, TRangeParam param, double v);

// ---- The parameters a conversion with profile N uses ----
struct TProfileParams {
  std::string VideoEncoder;  // empty: the profile has no video
  std::string AudioEncoder;
  std::string VideoSize;
  std::string VideoBitRate;
  std::string FrameRate;
  std::string SampleRate;
  std::string AudioBitRate;
  std::string Channel;
  std::string Volume;
  std::string Zoom;
  bool FromProfileDefaults = false;  // the user never saved this profile's section
};

// The user's saved values from the settings file. A profile the user never saved (no encoder
// keys in its settings section) takes the profile file's default choices, mapped exactly as
// the settings dialog's Default and OK would store them, so a fresh installation converts
// with the profile's own encoders. A missing paraVolume means unchanged volume ("256").
// Throws FFmpegException naming the profile and the key for an encoder or zoom mode that is
// not known.
TProfileParams ReadProfileParams(const TIniFile& settingsIni, const TIniFile& formatIni, int32_t code);

// The zoom mode a new job takes: [formatInfo N] "parazoom" of the settings file, "lbox" by
// default; any other text than full, lbox, pan or center throws FFmpegException.
std::string ReadProfileZoom(const TIniFile& settingsIni, int32_t code);

// ---- Encoder names ----
enum class TEncoderKind { Audio, Video };
// Maps an encoder name the codec libraries of this generation lack, or have only as an
// experimental encoder, to its working equivalent ("libfaac" -> "aac", "vorbis" ->
// "libvorbis", ...). When the codec libraries are loaded, a name that still names no usable
// encoder throws FFmpegException with a message naming it. Empty stays empty.
std::string ResolveEncoderName(const std::string& name, TEncoderKind kind);
