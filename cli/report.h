// What the command line shows of a run: a live line per running task on a terminal, one line
// per update otherwise, one JSON object per event for other programs, or only the errors.
// All calls come from the main thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "engine/options.h"

enum class TReportMode { Quiet, Live, Plain, Json };

// How a task ended; a stopped task either keeps the part converted so far or never began.
// How a task ended; a stopped task either keeps the part converted so far, had it removed (a
// resumable run converts it again), or never began.
enum class TTaskEnd { Converted, Failed, Stopped, StoppedRemoved, NotStarted };

// A JSON string literal of the text; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& text);
// "H:MM:SS" of whole seconds.
std::string FormatClock(int64_t seconds);
// Columns a UTF-8 text takes on a terminal (wide East Asian characters count two).
int TextColumns(const std::string& text);

class TRunReporter {
public:
  // Progress and notes go to `out`, errors to `err`.
  TRunReporter(TReportMode mode, FILE* out, FILE* err);
  TReportMode Mode() const { return mode_; }
  // A sharded run: every JSON event names the shard.
  void SetShard(int index, int count);

  // A task of the run: its number among `total` tasks, its source and output files, and its
  // job's number in the whole job list (the JSON events' "job").
  void Queued(int task, int total, const std::string& file, const std::string& output, int job = -1);
  // A file that could not become a task (the message names the file).
  void Skipped(const std::string& file, const std::string& msg, int job = -1);
  // A job the ledger records as converted into `output`.
  void AlreadyDone(const std::string& file, const std::string& output, int job);
  // A job that another running process converts (the message says into which output).
  void Elsewhere(const std::string& file, const std::string& msg, int job);
  // The final output name of a task, when it differs from the one queued.
  void SetOutput(int task, const std::string& output);
  void Progress(const TProgressInfo& info);
  // endedAtUs >= 0: the input ended early, at that time of its length durationUs (µs).
  void Ended(int task, TTaskEnd how, const std::string& msg, int64_t endedAtUs = -1, int64_t durationUs = -1);
  // A note for the user (not shown in quiet and JSON modes), and an error (always shown).
  void Note(const std::string& text);
  void Error(const std::string& text);
  // endedEarly: how many of the converted files had inputs that ended early (kept with
  // --accept-partial). done: jobs skipped as converted already; elsewhere: jobs left to another
  // running process.
  void RunEnded(int converted, int failed, int stopped, int skipped, int exitCode, int endedEarly = 0, int done = 0,
                int elsewhere = 0);

private:
  struct TTask {
    std::string file, name, output;
    int number = 0, total = 0, job = -1;
    bool running = false;
    TProgressInfo last;
    std::chrono::steady_clock::time_point firstTime;
    int64_t firstDuration = 0;
    double speed = -1;  // media time per wall time; < 0 unknown
  };
  // The figures of a status line, in display order; an empty entry is not shown.
  enum { kPercent, kFps, kSpeed, kSize, kLeft, kPartCount };
  std::vector<std::string> StatusParts(const TTask& t) const;
  static std::string JoinParts(const std::vector<std::string>& parts);
  std::string StatusText(const TTask& t) const;
  // The live line of a task for a terminal `columns` wide (never wider than columns - 1).
  std::string LiveLine(const TTask& t, int columns) const;
  void ClearBlock();
  void DrawBlock();
  void Emit(FILE* f, const std::string& line);
  // The JSON fields that place a job: ,"job":K and, in a sharded run, ,"shard":I,"shards":N.
  std::string PlaceFields(int job) const;

  TReportMode mode_;
  FILE* out_;
  FILE* err_;
  std::map<int, TTask> tasks_;
  int drawnLines_ = 0;
  int shard_ = -1, shards_ = 0;
};
