// Spreading one job list over several processes or machines: which jobs a process converts
// (its shard), where the index and count come from (the command line or a job runner's
// environment), and how paths are rewritten for machines that mount the shared storage at
// different places.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/core/jobprep.h"

struct TShardSpec {
  int Index = 0;  // 0-based
  int Count = 1;  // 1: the whole list
  // Where the index came from: "--shard", "SLURM_ARRAY_TASK_ID", "JOB_COMPLETION_INDEX";
  // empty when the run is not sharded.
  std::string Source;

  bool Sharded() const { return Count > 1 || !Source.empty(); }
  // Job `job` (0-based, in the list's order) belongs to this shard. Jobs are dealt out in
  // turn, so that every shard gets the same number of jobs give or take one, and shards of
  // one list never overlap.
  bool Contains(size_t job) const { return Count <= 1 || job % size_t(Count) == size_t(Index); }
};

// "I/N" with 0 <= I < N: false with the reason in err otherwise.
bool ParseShardText(const std::string& text, TShardSpec& spec, std::string& err);

// The shard of this process: `explicitShard` ("I/N" of --shard) when given, else
// SLURM_ARRAY_TASK_ID (with SLURM_ARRAY_TASK_COUNT, or `shardsOption`; an array that starts
// above 0 or steps counts from its first task), else JOB_COMPLETION_INDEX with `shardsOption`
// (--shards N, 0 when not given). Without any of them the whole list is one shard. False
// with the reason in err for a bad value or a count that is missing. `notes` receives what a
// user should know (an index in the environment that was not used).
using TEnvLookup = std::function<const char*(const char*)>;
bool ChooseShard(const std::string& explicitShard, int shardsOption, const TEnvLookup& env, TShardSpec& spec,
                 std::string& err, std::vector<std::string>& notes);

// --map-root FROM=TO: a path that starts with FROM (as a whole folder name) is read and
// written at TO on this machine. The job list and the ledger keep the shared names, so that
// every machine identifies a job alike.
class TPathMap {
public:
  // "FROM=TO"; false with the reason in err. Trailing slashes are ignored.
  bool Add(const std::string& rule, std::string& err);
  bool Empty() const { return rules_.empty(); }
  // The shared name -> this machine's name (the longest matching FROM wins).
  std::string Local(const std::string& path) const;
  // This machine's name -> the shared name (the longest matching TO wins).
  std::string Shared(const std::string& path) const;

private:
  std::vector<std::pair<std::string, std::string>> rules_;  // FROM, TO
};

// The jobs of one shard, in the list's order, with the paths as this machine sees them.
struct TShardJobs {
  std::vector<TJobSettings> Jobs;   // sources (and picture watermarks) at this machine's names
  std::vector<int> Ids;             // each job's place in the whole list
  std::vector<std::string> Shared;  // each source's shared name (whole, for the ledger)
};
// Picks the shard's jobs out of the whole list. With `numberOutputs`, jobs whose sources share
// their name without the extension get the output numbers one whole run gives them, so that
// every shard, and a run started again, names the outputs alike.
TShardJobs SelectShardJobs(const std::vector<TJobSettings>& list, const TShardSpec& shard, const TPathMap& map,
                           bool numberOutputs);
// A name relative to the current folder made whole, and every name made normal: no "." or
// ".." parts, no doubled or trailing slash ("o", "./o" and "o/" give one name), so that one
// folder or file has one identity in the ledger.
std::string AbsolutePath(const std::string& path);
