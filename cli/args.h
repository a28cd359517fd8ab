// The command line of orvane-convert: options, per-job settings and their checks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/core/jobprep.h"
#include "render/pictureedits.h"

enum class TProgressMode { Auto, Plain, Live };

struct TCliArgs {
  bool help = false, version = false, libraries = false, listProfiles = false, dryRun = false;
  bool quiet = false, json = false;
  bool acceptPartial = false;  // --accept-partial
  int verbose = 0;
  TProgressMode progress = TProgressMode::Auto;
  int jobs = 1;
  std::string info;
  std::string profile;
  std::string outputDir;
  std::string batch;
  // Sharded and resumable runs.
  std::string shard;  // "I/N" of --shard, empty when not given
  int shards = 0;     // --shards N, 0 when not given
  bool resume = false;
  std::string ledger;
  std::vector<std::string> mapRoots;  // "FROM=TO" of each --map-root
  TJobSettings settings;              // applies to every FILE, and is the default of every --batch job
  std::vector<std::string> files;
};

// The --help text. It is printed from the table of options that ParseArgs reads, so that
// every option it lists parses and every option that parses is listed.
std::string HelpText();

// Parses the command line; on a usage error returns false with the message in err.
bool ParseArgs(int argc, char** argv, TCliArgs& a, std::string& err);

// Seconds, M:SS or H:MM:SS (the seconds may carry a fraction) -> microseconds.
bool ParseTime(const std::string& text, int64_t& us);
// "RRGGBB" or "#RRGGBB" -> 0xRRGGBB.
bool ParseColor(const std::string& text, uint32_t& rgb);
std::vector<std::string> SplitComma(const std::string& text);
