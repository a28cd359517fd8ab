// The option records: the whole contract between the front ends and the conversion engine,
// and the argument records of the engine's four events.
//
// Every field starts at a "not set" value; the engine applies a field only when it differs
// from that value, so a record that was only initialised changes nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "media/bitmap.h"

// No time: the codec library's no-timestamp value (only the top bit set).
constexpr int64_t kNoPts = INT64_MIN;

struct TInputOptions {
  std::string FileName;        // input file (path bytes as the OS gives them)
  std::string FileFormat;      // "f": forced container; empty lets the library probe
  int64_t StartTime = kNoPts;  // "ss", microseconds
  int32_t ProgramID = -1;      // "programid" when >= 0
  std::string ExtOptions;      // further name=value lines
};

// Metadata of an output.
struct TStreamInfo {
  // Creation time as a date-time (days since 30 December 1899, local time): < 0 none,
  // 0 the moment the output is set up, > 0 that moment.
  double Timestamp = -1.0;
  int32_t Year = -1;
  int32_t Track = -1;
  std::string Title;
  std::string Author;
  std::string Copyright;
  std::string Comment;
  std::string Album;
  std::string Genre;
};

struct TOutputOptions {
  std::string FileName;
  std::string FileFormat;              // "f"
  int32_t PacketSize = -1;             // "packetsize" > 0
  int32_t MuxRate = -1;                // "muxrate" > 0
  float MuxDelay = -1.0f;              // "muxdelay" > 0, seconds
  float MuxPreload = -1.0f;            // "muxpreload" > 0, seconds
  std::string AudioCodec;              // "acodec"; "copy" copies the stream
  std::string AudioPreset;             // "apre"
  bool DisableAudio = false;           // "an"
  int32_t AudioVolume = -1;            // "vol" >= 0 (256 = unchanged)
  int32_t AudioChannels = -1;          // "ac" > 0
  int32_t AudioSampleRate = -1;        // "ar" > 0
  int32_t AudioBitrate = -1;           // "ab" > 0
  int32_t AudioBitrateTolerance = -1;  // "abt" > 0
  std::string AudioLanguage;           // "alang", always applied
  int32_t AudioSyncMethod = 0;         // "async", always applied
  std::string AudioTag;                // "atag"
  std::string VideoCodec;              // "vcodec"; "copy" copies the stream
  std::string VideoPreset;             // "vpre"
  bool DisableVideo = false;           // "vn"
  std::string FrameRate;               // "r"
  std::string FrameSize;               // "s"
  std::string AspectRatio;             // "aspect"
  int32_t CropTop = -1;                // "croptop" > 0
  int32_t CropBottom = -1;             // "cropbottom" > 0
  int32_t CropLeft = -1;               // "cropleft" > 0
  int32_t CropRight = -1;              // "cropright" > 0
  int32_t GopSize = -1;                // "g" > 0
  int32_t VideoBitrate = -1;           // "vb" > 0
  int32_t VideoMaxRate = -1;           // "maxrate" > 0
  int32_t VideoMinRate = -1;           // "minrate" > 0
  int32_t VideoBitrateTolerance = -1;  // "bt" > 0
  int32_t VideoBufferSize = -1;        // "bufsize" > 0
  int32_t VideoSyncMethod = -1;        // "vsync", always applied (-1 automatic)
  std::string VideoTag;                // "vtag"
  std::string VideoFilters;            // "vf"
  std::string VideoLanguage;           // "vlang", always applied
  std::string SubtitleCodec;           // "scodec"
  std::string SubtitlePreset;          // "spre"
  bool DisableSubtitle = false;        // "sn"
  std::string SubtitleLanguage;        // "slang", always applied
  bool InputSync = false;              // "isync", always applied
  bool CopyTimestamps = false;         // "copyts"
  int64_t StartTime = kNoPts;          // "ss" of this output
  int64_t Duration = kNoPts;           // "t"; also the total progress is measured against
  TStreamInfo Metadata;
  int32_t Target = 0;       // 0 none, 1 "vcd", 2 "svcd", 3 "dvd"
  int32_t TargetNorm = 0;   // 0 automatic, 1 PAL, 2 NTSC; other values count as automatic
  int32_t DefaultNorm = 1;  // when detection finds none: 1 PAL, other NTSC
  bool CustomHook = false;  // raise OnCustomHook for every decoded video picture
  bool Join = false;        // play all inputs of the task one after another into this output
  std::string ExtOptions;   // further name=value lines
};

// Splits an ExtOptions text into (lower-cased name, value) pairs: the text is trimmed, line
// breaks normalised, every literal "<CRLF>" becomes a line break; each non-empty line is split
// at its first "=" (no "=" gives an empty value).
struct TExtOption {
  std::string Name;
  std::string Value;
};
std::vector<TExtOption> ParseExtOptions(const std::string& text);

// ---- Event argument records (owned by the engine, valid during the event call only) ----

struct TProgressInfo {
  int32_t TaskIndex = 0;
  int32_t FileIndex = 0;        // -1 in the final report of a task
  int32_t FrameNumber = -1;     // video frames encoded; -1 without video output
  int32_t FPS = -1;             // 0 during the first second; -1 without video output
  float Quality = -1.0f;        // quantiser of the last video frame; -1 when copied or none
  float BitRate = 0.0f;         // kbit/s so far
  int64_t CurrentSize = 0;      // bytes written to the first output
  int64_t CurrentDuration = 0;  // microseconds reached
  int64_t TotalDuration = -1;   // microseconds expected; -1 unknown
};
using PProgressInfo = TProgressInfo*;

struct THookInfo {
  int32_t TaskIndex = 0;
  TBitmap24* Bitmap = nullptr;  // the picture as 24-bit BGR; draw on it in place
  int32_t FrameNumber = 0;      // running count of video pictures, from 1
  int64_t PTS = kNoPts;         // microseconds
  bool Update = true;           // false keeps the picture unchanged
  bool StopHook = false;        // true: no more hook calls for the rest of the task
};
using PHookInfo = THookInfo*;

struct TPreviewInfo {
  int32_t TaskIndex = 0;
  const TBitmap24* Bitmap = nullptr;
  int32_t FrameNumber = 0;
  int64_t PTS = kNoPts;
};
using PPreviewInfo = TPreviewInfo*;

struct TTerminateInfo {
  int32_t TaskIndex = 0;   // -1: the end of the whole run
  bool Finished = false;   // ran to its end without a stop; true in the end-of-run notice
  bool Exception = false;  // an error ended the task
  std::string ExceptionMsg;
  // The input ended before its known length (cut off, or truncated while it was read): what
  // there was converted, and the task still counts as finished. Times in µs of the input's
  // length; -1 when unknown.
  bool EndedEarly = false;
  int64_t EndedAtUs = -1;
  int64_t DurationUs = -1;
};
using PTerminateInfo = TTerminateInfo*;

class TCustomConvertEngine;
using TProgressEvent = std::function<void(TCustomConvertEngine* Sender, PProgressInfo AProgressInfo)>;
using TCustomHookEvent = std::function<void(TCustomConvertEngine* Sender, PHookInfo AHookInfo)>;
using TPreviewBitmapEvent = std::function<void(TCustomConvertEngine* Sender, const TPreviewInfo* APreviewInfo)>;
using TTerminateEvent = std::function<void(TCustomConvertEngine* Sender, const TTerminateInfo* ATerminateInfo)>;
// Asked on the worker thread before a picture of a hooked task is converted to the bitmap:
// false when OnCustomHook would leave the picture at this time unchanged, which then passes
// on without the conversion there and back and without an OnCustomHook call. Without a
// handler every picture goes through OnCustomHook.
using TCustomHookNeededEvent = std::function<bool(TCustomConvertEngine* Sender, int32_t TaskIndex, int64_t PTS)>;
