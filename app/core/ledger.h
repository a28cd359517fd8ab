// The ledger of a resumable run: one line per finished job, appended by every process that
// converts into the same folder, so that a run started again (after a kill, a lost machine or
// a runner's retry) skips what is done.
//
// A line is written once the output has its final name: one write of the whole line under an
// exclusive lock of the ledger file, then synced to disk. A last line cut off by a crash is
// ignored on reading, and the next append starts on a line of its own. Lines are read
// tolerantly: a CR before the newline (a ledger copied through an editor of another system) is
// ignored, and a damaged line (torn by a crash, then closed by the next append, or garbled) is
// left out and reported, with the source it names when that much can be read.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/core/jobprep.h"
#include "app/core/settings.h"

// What identifies a converted job: the source as the job list names it (the same on every
// machine), its size and modification time, the profile, and a digest of the job's settings,
// the profile's chosen values and the output folder.
struct TJobIdentity {
  std::string Source;
  int64_t Size = 0;
  int64_t MtimeNs = 0;
  int32_t Profile = 0;
  std::string Settings;  // 16 hexadecimal digits
  bool operator==(const TJobIdentity&) const = default;
};

// The digest of everything but the source that decides the output: the job's settings, the
// profile's values in the settings files and the output folder (its shared name).
std::string JobSettingsDigest(const TJobSettings& job, const std::string& profileValues,
                              const std::string& outputFolder);
// The profile's chosen values as a text (for the digest); empty when the profile cannot be read.
std::string ProfileValuesText(const TAppSettings& settings, int32_t code);
// Fills the identity from the local file (size and modification time); false when it cannot
// be read, and such a job is never taken for done.
bool MakeJobIdentity(const std::string& sharedSource, const std::string& localSource, int32_t profile,
                     const std::string& settingsDigest, TJobIdentity& id);

// The ledger's default name in the output folder.
constexpr const char* kLedgerFileName = "orvane-convert.ledger";

class TLedger {
public:
  TLedger() = default;
  ~TLedger();
  TLedger(const TLedger&) = delete;
  TLedger& operator=(const TLedger&) = delete;

  // Opens the ledger file (made when missing) and reads its entries. False with the reason.
  bool Open(const std::string& path, std::string& err);
  // Reads the entries other processes appended since the last reading (a job one of them
  // finished meanwhile is then found). False with the reason when the file cannot be read.
  bool Refresh(std::string& err);
  const std::string& Path() const { return path_; }
  // The output (shared name) of the last entry for the job, or empty.
  std::string Find(const TJobIdentity& id) const;
  // Records a finished job and its output (shared name). False with the reason.
  bool Append(const TJobIdentity& id, const std::string& output, std::string& err);
  // Entries read and appended (a job recorded twice counts twice).
  size_t EntryCount() const { return count_; }

  // A complete line that is not an entry.
  struct TDamagedLine {
    size_t Number = 0;   // counted from 1
    std::string Source;  // the source it names, when readable; else empty
  };
  const std::vector<TDamagedLine>& Damaged() const { return damaged_; }
  // Whether a damaged line may have been the entry of this source (shared name): one names it,
  // or one is too damaged to name any.
  bool MayHaveLost(const std::string& source) const;

private:
  bool ReadFrom(std::string& err);

  std::string path_;
  int fd_ = -1;
  size_t count_ = 0;
  off_t readUpTo_ = 0;  // the end of the last whole line read
  off_t tornAt_ = -1;   // where a last line cut off (and reported) begins
  size_t lineNumber_ = 0;
  std::vector<TDamagedLine> damaged_;
  // The identity's line fields -> the output of the last entry for it.
  std::unordered_map<std::string, std::string> entries_;
};

// One ledger line (with its newline) and its reading; false for a line that is not an entry.
std::string LedgerLine(const TJobIdentity& id, const std::string& output);
bool ParseLedgerLine(const std::string& line, TJobIdentity& id, std::string& output);
