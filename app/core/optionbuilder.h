// The output option builder: names the output file of a job and fills the engine's input and
// output option records from the chosen profile, the job record and the source's streams.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/core/jobrecord.h"
#include "app/core/settings.h"
#include "app/core/zoomgeometry.h"
#include "engine/options.h"

class TCustomAVProbe;

// What the builder needs to know about the source file (from the media probe: the first
// video stream and the first audio stream).
struct TSourceInfo {
  int32_t VideoStreamCount = 0;
  int32_t AudioStreamCount = 0;
  int32_t Width = 0;  // coded size of the picture
  int32_t Height = 0;
  int32_t SampleAspectNum = 0;  // pixel shape; 0 when unknown (square)
  int32_t SampleAspectDen = 0;
  int32_t Rotation = 0;         // clockwise display rotation: 0, 90, 180 or 270
  int64_t VideoBitRate = 0;     // bit/s, 0 when unknown
  int32_t AudioSampleRate = 0;  // Hz, 0 when there is no audio
  int64_t AudioBitRate = 0;     // bit/s

  // The picture as shown (sides swapped by a quarter turn).
  int32_t DisplayWidth() const;
  int32_t DisplayHeight() const;
  TPictureShape Shape() const;
};

// The facts above from a probe holding the source (its first video and audio streams).
TSourceInfo SourceInfoFromProbe(TCustomAVProbe& probe);

// Questions and warnings of the builder. The windows answer them with message boxes; the
// command line answers by itself.
class TBuilderPrompts {
public:
  virtual ~TBuilderPrompts() = default;
  // A question with Yes and No buttons and the question icon; true for Yes.
  virtual bool AskYesNo(const std::string& title, const std::string& text) = 0;
  // A message with an OK button.
  virtual void Warn(const std::string& title, const std::string& text) = 0;
};

// Answers every question with Yes and logs each warning (level llWarning); keeps the texts.
class TAutoAnswerPrompts : public TBuilderPrompts {
public:
  bool AskYesNo(const std::string& title, const std::string& text) override;
  void Warn(const std::string& title, const std::string& text) override;
  std::vector<std::string> Questions;
  std::vector<std::string> Warnings;
};

class TOutputOptionBuilder {
public:
  TOutputOptionBuilder(const TAppSettings& settings, TBuilderPrompts& prompts);
  TOutputOptionBuilder(std::string settingsIniPath, std::string formatIniPath, TBuilderPrompts& prompts);

  // The output folder: [settings] OutPutDir, created with its missing parents when `create`.
  // When it cannot be created the prompts warn, the default folder is created and used
  // instead, and stored as OutPutDir when `storeFallback`. Without `create` the folder is
  // named only. Throws FFmpegException when the default folder cannot be created either.
  std::string OutputFolder(bool create = true, bool storeFallback = true);

  // The output path for a source: the output folder + the source's name without its
  // extension + "_(new)" + ext, or "_(new_1)", "_(new_2)", ... when taken (see outputfile.h).
  // ext carries its own leading dot. Throws FFmpegException when neither the output folder nor
  // the default folder can be created.
  std::string BuildOutputPath(const std::string& sourcePath, const std::string& ext);

  // Fills the option fields for profile `formatCode` (the output record already carries the
  // file name, the job's crop and the duration). Throws FFmpegException for a profile whose
  // encoder cannot be used; the record is then unusable for this task only.
  void BuildOutputOptions(const TlvFilesRecord& job, int32_t formatCode, TOutputOptions& out, const TSourceInfo& source,
                          TInputOptions& in);

private:
  TAppSettings settings_;
  TBuilderPrompts& prompts_;
};

// The question asked for a malformed frame size.
extern const char* const kVideoSizeQuestion;
