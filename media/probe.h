// The media probe: opens a media file (or takes over a format context opened elsewhere),
// counts its streams by type, answers queries about the file and its audio and video
// streams in fixed records, and renders the multi-line information text about the file,
// its programs and its streams.
//
// The file and stream facts are plain value records, and the library's format context is
// only named: callers compile without the codec libraries' headers.
#pragma once

#include <cstdint>
#include <string>

#include "media/logger.h"

struct AVFormatContext;
struct AVStream;

// File-level information. Times in microseconds, -1 when unknown.
struct TFileStreamInfo {
  int64_t StartTime = -1;
  int64_t Duration = -1;
  int32_t BitRate = -1;
  int64_t TimeStamp = -1;  // seconds since 1 January 1970 (the container's creation time)
  int32_t Year = -1;
  int32_t Track = -1;
  std::string Title, Author, Copyright, Comment, Album, Genre;
};
using PFileStreamInfo = TFileStreamInfo*;

// Raw times are in the stream's own time base (the library's no-value marker passes
// through); the US values are microseconds, -1 when unknown.
struct TAudioStreamInfo {
  std::string Language;
  std::string CodecName;
  int64_t StartTime = -1;
  int64_t StartTimeUS = -1;
  int64_t Duration = -1;
  int64_t DurationUS = -1;
  int32_t BitRate = -1;
  int32_t Channels = -1;
  int32_t SampleRate = -1;
  int32_t SampleFormat = -1;
};
using PAudioStreamInfo = TAudioStreamInfo*;

struct TVideoStreamInfo {
  std::string Language;
  std::string CodecName;
  int64_t StartTime = -1;
  int64_t StartTimeUS = -1;
  int64_t Duration = -1;
  int64_t DurationUS = -1;
  int32_t BitRate = -1;
  int32_t Height = -1;
  int32_t Width = -1;
  float AspectRatio = -1.0f;    // display aspect ratio; 0 when the sample aspect ratio is unknown
  int32_t SampleAspectNum = 0;  // pixel shape (container's, else the codec's); 0 when unknown
  int32_t SampleAspectDen = 0;
  int32_t Rotation = 0;  // clockwise display rotation of the pictures: 0, 90, 180, 270
  int32_t PixelFormat = -1;
  int32_t FrameRateNum = -1;
  int32_t FrameRateDen = -1;
  int64_t FrameCount = -1;  // the number of pictures the container states; -1 when it does not
};
using PVideoStreamInfo = TVideoStreamInfo*;

class TCustomAVProbe : public TFFBaseComponent {
public:
  TCustomAVProbe();
  ~TCustomAVProbe() override;
  TCustomAVProbe(const TCustomAVProbe&) = delete;
  TCustomAVProbe& operator=(const TCustomAVProbe&) = delete;

  // Opens the file (format detected when `formatName` is empty). Throws FFmpegException
  // when a required library is not loaded; other problems give false and LastErrMsg.
  bool LoadFile(const std::string& fileName, const std::string& formatName = "");
  // Takes over a context opened elsewhere, without ownership: CloseFile never closes it.
  void AttachContext(AVFormatContext* ctx);
  void CloseFile();

  TFileStreamInfo GetFileStreamInfo();
  // Index -1 picks the first stream of the type.
  TAudioStreamInfo GetAudioStreamInfo(int index = -1);
  TVideoStreamInfo GetVideoStreamInfo(int index = -1);
  bool IsAudioStream(int index);
  bool IsVideoStream(int index);
  // Lines ending with CR LF; empty with no file.
  std::string GetInfoText();
  // The context's file name with the "unicode:utf8:" prefix removed; empty with no file.
  std::string GetFileName() const;
  // The short name of the open file's input format; empty with no file.
  std::string GetFormatName() const;

  AVFormatContext* FormatContext() const { return ctx_; }
  bool OwnsContext() const { return owns_; }
  const std::string& LastErrMsg() const { return lastErrMsg_; }
  // The input format name forced at opening (empty when detected).
  const std::string& ForcedFormatName() const { return formatName_; }
  int64_t FileSize() const { return fileSize_; }
  int StreamCount() const { return streamCount_; }
  int ProgramCount() const { return programCount_; }
  int AudioStreamCount() const { return audioCount_; }
  int VideoStreamCount() const { return videoCount_; }
  int SubtitleStreamCount() const { return subtitleCount_; }
  int FirstAudioStreamIndex() const { return firstAudio_; }
  int FirstVideoStreamIndex() const { return firstVideo_; }
  int FirstSubtitleStreamIndex() const { return firstSubtitle_; }

private:
  void CheckLibs() const;
  void ReportError(TLogLevel level, const std::string& msg);
  // Whether stream `index` of the loaded file has the given media type; errors are reported.
  bool StreamIsOfType(int index, int mediaType);
  void RefreshCounts();
  // Common checks of the stream queries; the stream or null after reporting the problem.
  AVStream* QueryStream(int index, int mediaType);  // an AVMEDIA_TYPE_* number
  void StreamTimes(AVStream* st, int64_t& start, int64_t& startUS, int64_t& duration, int64_t& durationUS);
  std::string StreamLine(int index);

  AVFormatContext* ctx_ = nullptr;
  bool owns_ = false;
  std::string lastErrMsg_;
  std::string formatName_;
  int64_t fileSize_ = -1;
  int streamCount_ = -1;
  int programCount_ = -1;
  int audioCount_ = -1;
  int videoCount_ = -1;
  int subtitleCount_ = -1;
  int firstAudio_ = -1;
  int firstVideo_ = -1;
  int firstSubtitle_ = -1;
};

// The class the engine and the player create.
class TAVProbe : public TCustomAVProbe {};

// The name an ID3v2 metadata key is shown under in the information text (the key itself
// when it is not in the table; exact-case match).
std::string ID3v2DisplayKey(const std::string& key);
// One frame-rate piece of a stream line (", 25 fps", ", 29.97 fps", ", 90k tbn").
std::string RatePiece(double value, const char* unit);
