// Output files of a run: free names, their reservation and the move to the final name.
//
// A converted file is written under a hidden temporary name beside its final name
// (".clip_(new).part.mp4" for "clip_(new).mp4") and takes the final name only when it is
// complete or was stopped cleanly, so the final name never holds a half-written file, whatever
// ends the process. A name counts as taken when either the final or the temporary file
// exists; reserving a name creates the temporary file exclusively, so two runs into one folder
// can never take the same name. The reserving process holds a lock on its temporary file until
// the file is moved or removed: a temporary file that nobody holds was left by a process that
// died (killed, or the machine went down), and the next reservation of that name takes it over,
// so a run started again gets the same names as the run it replaces.
#pragma once

#include <string>

// The output name for a source: `folder`/ + the source's file name without its extension +
// "_(new)" + ext for number 0, "_(new_N)" + ext for number N. ext carries its own leading dot.
// A name longer than the file system allows is shortened without cutting the suffix or a UTF-8
// sequence.
std::string OutputCandidate(const std::string& folder, const std::string& sourcePath, const std::string& ext,
                            int number);
// The hidden temporary sibling of a final output name.
std::string OutputTempName(const std::string& finalPath);
// True when the final name or its temporary sibling exists (a dangling link counts).
bool OutputNameTaken(const std::string& finalPath);
// The first free candidate, without creating anything. Throws FFmpegException when none is free.
std::string FirstFreeOutputName(const std::string& folder, const std::string& sourcePath, const std::string& ext);

// One reserved output: its temporary file exists (empty) from Reserve until Commit or Discard.
class TOutputReservation {
public:
  TOutputReservation() = default;
  // Removes a temporary file that was neither committed nor released.
  ~TOutputReservation();
  TOutputReservation(TOutputReservation&& other) noexcept;
  TOutputReservation& operator=(TOutputReservation&& other) noexcept;
  TOutputReservation(const TOutputReservation&) = delete;
  TOutputReservation& operator=(const TOutputReservation&) = delete;

  // What became of the name of number `firstNumber` when it is the job's own name (a job list
  // split over several processes names each job's output alike, whichever process converts it).
  struct TOwnName {
    // Another running process writes it, or holds its finished file until it has recorded it:
    // that process converts this job. Nothing is reserved then.
    bool HeldElsewhere = false;
    // A finished file nobody holds has it; a later name was reserved.
    bool Taken = false;
  };

  // Takes the first free name from number `firstNumber` on by creating its temporary file
  // exclusively. Throws FFmpegException (with the system's reason) when the folder cannot be
  // written. With `own`, the name of number firstNumber is the job's own (see TOwnName).
  static TOutputReservation Reserve(const std::string& folder, const std::string& sourcePath, const std::string& ext,
                                    int firstNumber = 0, TOwnName* own = nullptr);

  bool Reserved() const { return !tempPath_.empty(); }
  const std::string& FinalPath() const { return finalPath_; }
  // Where the converter writes.
  const std::string& TempPath() const { return tempPath_; }

  // Moves the written file to its final name without ever replacing a file: when the final
  // name appeared meanwhile, the next free name is reserved and taken. Returns the final name
  // used; throws FFmpegException when the move fails (the written file then stays under its
  // temporary name, which the message names). With `keepLock` the lock stays on the finished
  // file until Release: another process then knows that it is not finished with it (a run
  // that records it in a ledger first).
  std::string Commit(bool keepLock = false);
  // Removes the temporary file (a failed or never-started output). True when it existed.
  bool Discard();
  // Forgets the temporary file without removing it, and gives up the lock.
  void Release();

private:
  void Unlock();

  std::string folder_, source_, ext_;
  std::string finalPath_, tempPath_;
  int lockFd_ = -1;  // open on the temporary file, with its lock held
};
