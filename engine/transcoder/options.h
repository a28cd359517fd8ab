// The option layer of a transcoder job: the option state, the generic option holder and the
// dispatcher that applies named options with text values to them.
//
// A job is configured the way a command-line transcoder is: options are applied one after
// another, and an input or output file is opened with whatever the state holds at that moment.
// The transcoder of a task derives from TTranscoderOptions and adds input and output opening,
// set-up and the packet loop; it reads and consumes the fields of `Opt`.
//
// Per-file fields are consumed (reset) when the file or stream is made: the forced format, the
// codec names, copy and disable flags, languages, tags, start time, metadata, stream ids,
// bitstream filters and the pixel format. The others keep their values for the next file.
//
// Fields that handlers read and that opening an input writes back: FrameWidth and FrameHeight
// (the current frame size: the crops are checked against it and reduce it), FrameRate,
// FrameAspectRatio, FramePixFmt, AudioSampleRate, AudioChannels and AudioSampleFmt. Input
// opening copies the input's properties there, so crops applied after it cut that picture.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "media/ffapi.h"
#include "media/option_holder.h"

constexpr int kMaxStreams = 20;          // streams per file ("itsscale", "streamid")
constexpr int kMaxStreamMaps = 400;      // "map" entries
constexpr int kDefaultScalerFlags = 4;   // bicubic
constexpr int kMatrixCoefficients = 64;  // "intra_matrix", "inter_matrix"

struct TStreamMap {
  int32_t FileIndex = 0;
  int32_t StreamIndex = 0;
  int32_t SyncFileIndex = 0;
  int32_t SyncStreamIndex = 0;
};

struct TMetaDataMap {
  int32_t OutputFile = 0;
  int32_t InputFile = 0;
};

struct TMetadataEntry {
  std::string Key;
  std::string Value;
};

struct TOptionState {
  // ---- Files, maps and times
  std::string FileFormat;                          // "f": forced container of the next file
  bool PgmyuvCompat = false;                       // "f" pgmyuv: image2 read with the PGM-YUV decoder
  std::vector<TStreamMap> StreamMaps;              // "map"
  std::vector<TMetaDataMap> MetaDataMaps;          // "map_meta_data"
  int64_t RecordingTime = INT64_MAX;               // "t", microseconds
  int64_t TotalDuration = -1;                      // progress total in microseconds ("t"; inputs raise it)
  int64_t LimitFileSize = 0;                       // "fs", bytes; 0 unlimited
  int64_t StartTime = 0;                           // "ss", microseconds; consumed by input opening
  int64_t InputTsOffset = 0;                       // "itsoffset", microseconds
  std::array<double, kMaxStreams> InputTsScale{};  // "itsscale" of the next input; 0 means 1.0
  int64_t RecTimestamp = 0;                        // "timestamp", whole seconds since the epoch
  std::vector<TMetadataEntry> Metadata;            // "metadata" of the next output
  int32_t VideoMaxFrames = INT32_MAX;              // "vframes"
  int32_t AudioMaxFrames = INT32_MAX;              // "aframes"
  int32_t DataMaxFrames = INT32_MAX;               // "dframes"

  // ---- General
  bool DoDumpPackets = false;           // "dump"
  bool DoHexDump = false;               // "hex"
  bool RateEmulation = false;           // "re": read inputs at their native rate
  bool LoopInput = false;               // "loop_input"
  int32_t LoopOutput = -1;              // "loop_output": -1 no looping
  int32_t Verbose = 1;                  // "v"
  int32_t ThreadCount = 1;              // decoder and encoder threads (not an option)
  int32_t VideoSyncMethod = -1;         // "vsync": -1 automatic
  int32_t AudioSyncMethod = 0;          // "async": 0 off
  double AudioDriftThreshold = 0.1;     // "adrift_threshold", seconds
  int32_t VideoGlobalHeader = 0;        // "vglobal"
  bool CopyTs = false;                  // "copyts"
  bool OptShortest = false;             // "shortest"
  double DtsDeltaThreshold = 10.0;      // "dts_delta_threshold", seconds
  int32_t ProgramId = 0;                // "programid": 0 all programs
  bool ExitOnError = false;             // "xerror"
  int32_t CopyInitialNonKeyframes = 0;  // "copyinkf"
  int32_t ScalerFlags = kDefaultScalerFlags;
  int32_t VideoBufferSize = 262144;  // bytes of the encoded-picture buffer (at least)

  // ---- Video
  int32_t FrameWidth = 0;  // "s": 0 x 0 keeps the input size
  int32_t FrameHeight = 0;
  AVRational FrameRate{0, 0};                   // "r": 0/0 keeps the input rate
  double FrameAspectRatio = 0.0;                // "aspect": 0 keeps the input's
  AVPixelFormat FramePixFmt = AV_PIX_FMT_NONE;  // "pix_fmt"
  int32_t FrameTopBand = 0;                     // "croptop"
  int32_t FrameBottomBand = 0;                  // "cropbottom"
  int32_t FrameLeftBand = 0;                    // "cropleft"
  int32_t FrameRightBand = 0;                   // "cropright"
  bool IntraOnly = false;                       // "intra"
  bool VideoDisable = false;                    // "vn"
  int32_t VideoDiscard = 0;                     // "vdt": AVDiscard level of input video streams
  double VideoQScale = 0.0;                     // "qscale": 0 not set
  std::string VideoRcOverride;                  // "rc_override": start,end,q/...
  std::string VideoCodecName;                   // "vcodec" (empty: the format's default)
  bool VideoStreamCopy = false;                 // "vcodec" copy
  int32_t MeThreshold = 0;                      // "me_threshold"
  bool SameQuality = false;                     // "sameq"
  int32_t DoPass = 0;                           // "pass": 0 single pass, 1, 2
  std::string PassLogFileName;                  // "passlogfile"
  bool DoDeinterlace = false;                   // "deinterlace"
  bool DoPsnr = false;                          // "psnr"
  std::string VStatsFileName;                   // "vstats", "vstats_file"
  bool UsesHookModules = false;                 // a "vhook" module was added
  std::string VideoFilters;                     // "vfilters", "vf"
  std::vector<uint16_t> IntraMatrix;            // "intra_matrix": 64 entries, empty when not set
  std::vector<uint16_t> InterMatrix;            // "inter_matrix"
  int32_t TopFieldFirst = -1;                   // "top": -1 automatic
  int32_t IntraDcPrecision = 8;                 // "dc"
  uint32_t VideoCodecTag = 0;                   // "vtag": first character in the lowest byte
  std::string VideoLanguage;                    // "vlang"
  bool QpHistogram = false;                     // "qphist"
  bool ForceFps = false;                        // "force_fps"
  std::vector<int32_t> StreamIdMap;             // "streamid": id of output stream i (0 unset)

  // ---- Audio
  int32_t AudioSampleRate = 44100;                     // "ar"
  int32_t AudioChannels = 2;                           // "ac"
  double AudioQScale = -99999.0;                       // "aq": not set while <= -99999
  bool AudioDisable = false;                           // "an"
  std::string AudioCodecName;                          // "acodec"
  bool AudioStreamCopy = false;                        // "acodec" copy
  uint32_t AudioCodecTag = 0;                          // "atag"
  int32_t AudioVolume = 256;                           // "vol": 256 unchanged
  std::string AudioLanguage;                           // "alang"
  AVSampleFormat AudioSampleFmt = AV_SAMPLE_FMT_NONE;  // "sample_fmt"

  // ---- Subtitles
  bool SubtitleDisable = false;     // "sn"
  std::string SubtitleCodecName;    // "scodec"
  bool SubtitleStreamCopy = false;  // "scodec" copy
  std::string SubtitleLanguage;     // "slang"
  uint32_t SubtitleCodecTag = 0;    // "stag"

  // ---- Capture and muxing
  int32_t VideoChannel = 0;   // "vc"
  std::string VideoStandard;  // "tvstd"
  bool InputSync = false;     // "isync"
  double MuxMaxDelay = 0.7;   // "muxdelay", seconds
  double MuxPreload = 0.5;    // "muxpreload", seconds

  // ---- Bitstream filters for the next output streams, in chain order
  std::vector<const AVBitStreamFilter*> AudioBitstreamFilters;     // "absf"
  std::vector<const AVBitStreamFilter*> VideoBitstreamFilters;     // "vbsf"
  std::vector<const AVBitStreamFilter*> SubtitleBitstreamFilters;  // "sbsf"
};

class TTranscoderOptions {
public:
  // Needs the engine's libraries loaded (the holder makes library contexts).
  TTranscoderOptions();
  virtual ~TTranscoderOptions() = default;
  TTranscoderOptions(const TTranscoderOptions&) = delete;
  TTranscoderOptions& operator=(const TTranscoderOptions&) = delete;

  // Back to every default, with an empty option holder.
  void ResetOptions();

  // Applies one option. Refusals throw FFmpegException with the text shown to the user and
  // leave the state as it was. Unknown names go to the generic option holder.
  void ParseOption(const std::string& name, const std::string& value);

  // "apre", "vpre", "spre", "fpre": a built-in preset, a codec-prefixed built-in preset or a
  // preset file; nothing happens for an empty value.
  void LoadPreset(const std::string& optionName, const std::string& value);

  // The engine's path to the holder: legacy encoder option names and flags are translated to
  // the modern equivalents first. False as SetGenericOption gives it.
  bool SetGenericOption(const std::string& name, const std::string& value, bool* found = nullptr);

  TOptionState Opt;
  TOptionHolder Holder;

protected:
  // Supplied by the transcoder: its number of opened outputs, adding a stream of a kind to the
  // last output ("newvideo", "newaudio", "newsubtitle"), a target preset ("target") and the
  // loading of a picture hook module ("vhook": module file and its arguments; false when it
  // cannot be loaded).
  virtual int OutputFileCount() const = 0;
  virtual void NewStream(AVMediaType type) = 0;
  virtual void SetTarget(const std::string& type, const std::string& norm, const std::string& fallbackNorm) = 0;
  virtual bool AddVideoHook(const std::vector<std::string>& words) = 0;

private:
  friend struct TOptionHandlers;
  void ApplyPresetText(const std::string& presetName, const std::string& text);
};
