// Turning one job of the command line into the engine's option records: the same steps as the
// desktop program's Start (probe, output name, job record, option builder), shared by the dry
// run and the conversion.
#pragma once

#include <cstdint>
#include <string>

#include "app/core/inifile.h"
#include "app/core/optionbuilder.h"
#include "cli/args.h"
#include "dialogs/core/renderer.h"
#include "engine/options.h"
#include "media/probe.h"

struct TPreparedJob {
  TlvFilesRecord Job;  // with DestFile, ZoomMode and measured watermark boxes
  TInputOptions In;
  TOutputOptions Out;
};

// True when the job changes the pictures through the frame hook (adjustments or watermarks).
bool NeedsCustomHook(const TlvFilesRecord& job);

// Opens the job's source with `probe` (closed again before returning), checks the crop, trim
// and watermark pictures against it, names the output and fills the option records for
// profile `code`. False with the message (naming the file) in err. Text watermarks are
// measured here, which needs the program's QGuiApplication; `renderer` tries each picture
// item once so that an unreadable picture is reported before converting.
bool PrepareJob(const TJobSettings& settings, int32_t code, TAVProbe& probe, TOutputOptionBuilder& builder,
                const TIniFile& settingsIni, const TIniFile& formatIni, TConversionRenderer& renderer,
                TPreparedJob& result, std::string& err);

// The option lines of the dry run ("  name=value").
void PrintOptionLines(const TInputOptions& in, const TOutputOptions& o);

// "file: message", unless the message names the file already.
std::string WithFileName(const std::string& file, const std::string& msg);
