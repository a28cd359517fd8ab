#include "app/core/outputfile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>

#include "media/errors.h"

namespace {

constexpr size_t kMaxFileNameBytes = 255;
// What the temporary name adds to the final one: the leading dot and ".part".
constexpr size_t kTempExtraBytes = 6;
constexpr int kMaxNumber = 1000000;

// Cuts a name to at most `bytes` bytes without splitting a UTF-8 sequence.
std::string CutName(const std::string& name, size_t bytes) {
  if (name.size() <= bytes) return name;
  size_t cut = bytes;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  return name.substr(0, cut);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

std::string SystemReason(int err) { return std::strerror(err); }

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates `temp` exclusively, already locked: the file is made without a name, locked, and
// then linked under its name, so that no other process ever sees the name unlocked. Where the
// file system cannot make nameless files, it is created under its name and locked at once.
// Returns the open descriptor, or -1 with errno (EEXIST: the name is taken).
int CreateLocked(const std::string& temp) {
  int fd = ::open(FolderOf(temp).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd >= 0) {
    ::flock(fd, LOCK_EX);
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) return fd;
    const int err = errno;
    ::close(fd);
    if (err != ENOENT && err != EPERM && err != EOPNOTSUPP && err != EXDEV) {
      errno = err;
      return -1;
    }
    // No /proc, or a file system that cannot link such a file: the plain way below.
  } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    return -1;
  }
  fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) ::flock(fd, LOCK_EX);
  return fd;
}

// Takes over a temporary file whose process is gone: it is free when its lock can be taken
// and the name still names the locked file. Returns the open, locked and emptied descriptor,
// or -1 when the file belongs to a running process or went meanwhile.
int ReclaimStale(const std::string& temp) {
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return -1;
  struct stat held {
  }, named{};
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &held) != 0 || ::lstat(temp.c_str(), &named) != 0 ||
      held.st_dev != named.st_dev || held.st_ino != named.st_ino || ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The files (device, inode) whose locks this process's reservations hold: a lock of our own is
// no sign of another process.
// A child made by fork is another process: it starts with none.
std::mutex gOwnLocksLock;
std::set<std::pair<dev_t, ino_t>> gOwnLocks;
pid_t gOwnLocksPid = 0;

std::set<std::pair<dev_t, ino_t>>& OwnLocks() {
  if (gOwnLocksPid != ::getpid()) {
    gOwnLocks.clear();
    gOwnLocksPid = ::getpid();
  }
  return gOwnLocks;
}

void NoteOwnLock(int fd, bool held) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return;
  std::lock_guard<std::mutex> g(gOwnLocksLock);
  if (held)
    OwnLocks().emplace(st.st_dev, st.st_ino);
  else
    OwnLocks().erase({st.st_dev, st.st_ino});
}

// True when another process holds the lock of this file: it writes it, or has not finished
// with it yet.
bool HeldByOther(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK && ::fstat(fd, &st) == 0;
  ::close(fd);
  if (held) {
    std::lock_guard<std::mutex> g(gOwnLocksLock);
    held = OwnLocks().count({st.st_dev, st.st_ino}) == 0;
  }
  return held;
}

}  // namespace

std::string OutputCandidate(const std::string& folder, const std::string& sourcePath, const std::string& ext,
                            int number) {
  std::string dir = folder;
  if (dir.empty() || dir.back() != '/') dir += '/';
  const size_t slash = sourcePath.rfind('/');
  const std::string name = sourcePath.substr(slash == std::string::npos ? 0 : slash + 1);
  const size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string suffix = (number == 0 ? std::string("_(new)") : "_(new_" + std::to_string(number) + ")") + ext;
  const size_t room = kMaxFileNameBytes - kTempExtraBytes;
  const std::string base = suffix.size() < room ? CutName(stem, room - suffix.size()) : stem;
  return dir + base + suffix;
}

std::string OutputTempName(const std::string& finalPath) {
  const size_t slash = finalPath.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : finalPath.substr(0, slash + 1);
  const std::string leaf = finalPath.substr(slash == std::string::npos ? 0 : slash + 1);
  // The extension stays last: the converter chooses the container by it.
  const size_t dot = leaf.rfind('.');
  if (dot == std::string::npos || dot == 0) return dir + "." + leaf + ".part";
  return dir + "." + leaf.substr(0, dot) + ".part" + leaf.substr(dot);
}

bool OutputNameTaken(const std::string& finalPath) { return Exists(finalPath) || Exists(OutputTempName(finalPath)); }

std::string FirstFreeOutputName(const std::string& folder, const std::string& sourcePath, const std::string& ext) {
  for (int n = 0; n < kMaxNumber; ++n) {
    std::string path = OutputCandidate(folder, sourcePath, ext, n);
    if (!OutputNameTaken(path)) return path;
  }
  throw FFmpegException("Cannot find a free output file name for " + sourcePath);
}

TOutputReservation::~TOutputReservation() { Discard(); }

TOutputReservation::TOutputReservation(TOutputReservation&& other) noexcept { *this = std::move(other); }

TOutputReservation& TOutputReservation::operator=(TOutputReservation&& other) noexcept {
  if (this != &other) {
    Discard();
    folder_ = std::move(other.folder_);
    source_ = std::move(other.source_);
    ext_ = std::move(other.ext_);
    finalPath_ = std::move(other.finalPath_);
    tempPath_ = std::move(other.tempPath_);
    lockFd_ = other.lockFd_;
    other.lockFd_ = -1;
    other.tempPath_.clear();
    other.finalPath_.clear();
  }
  return *this;
}

TOutputReservation TOutputReservation::Reserve(const std::string& folder, const std::string& sourcePath,
                                               const std::string& ext, int firstNumber, TOwnName* own) {
  TOutputReservation r;
  r.folder_ = folder;
  r.source_ = sourcePath;
  r.ext_ = ext;
  if (own) *own = TOwnName{};
  firstNumber = std::max(0, firstNumber);
  for (int n = firstNumber, tries = 0; n < kMaxNumber; ++n) {
    const std::string path = OutputCandidate(folder, sourcePath, ext, n);
    const bool ownName = own && n == firstNumber;
    if (Exists(path)) {
      // The job's own name with its finished file still held: the process that wrote it has
      // not recorded it yet.
      if (ownName && HeldByOther(path)) {
        own->HeldElsewhere = true;
        return r;
      }
      if (ownName) own->Taken = true;
      continue;
    }
    const std::string temp = OutputTempName(path);
    // The exclusive create is the reservation: of two runs only one can make this file.
    int fd = CreateLocked(temp);
    if (fd < 0 && errno != EEXIST)
      throw FFmpegException("Cannot create the output file " + path + ": " + SystemReason(errno));
    if (fd < 0) fd = ReclaimStale(temp);
    if (fd < 0) {
      // Held by a running process, which converts this job when it is the job's own name; or
      // it went meanwhile, and this name is tried again.
      if (!Exists(temp) && ++tries < 3) {
        --n;
        continue;
      }
      if (ownName && HeldByOther(temp)) {
        own->HeldElsewhere = true;
        return r;
      }
      continue;
    }
    // The final name may have appeared between the test and the create.
    if (Exists(path)) {
      ::unlink(temp.c_str());
      ::close(fd);
      continue;
    }
    r.finalPath_ = path;
    r.tempPath_ = temp;
    r.lockFd_ = fd;
    NoteOwnLock(fd, true);
    return r;
  }
  throw FFmpegException("Cannot find a free output file name for " + sourcePath);
}

std::string TOutputReservation::Commit(bool keepLock) {
  if (tempPath_.empty()) throw FFmpegException("No output file is reserved");
  std::string target = finalPath_;
  TOutputReservation next;  // holds the name taken instead, until the written file is there
  for (;;) {
    if (::renameat2(AT_FDCWD, tempPath_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) break;
    if (errno != EEXIST)
      throw FFmpegException("Cannot move " + tempPath_ + " to " + target + ": " + SystemReason(errno));
    // A file of that name appeared meanwhile: the next free name is reserved and taken.
    next = Reserve(folder_, source_, ext_);
    target = next.FinalPath();
  }
  tempPath_.clear();
  // The lock is on the file itself, which now has its final name.
  if (!keepLock) Unlock();
  finalPath_ = target;
  return finalPath_;
}

bool TOutputReservation::Discard() {
  if (tempPath_.empty()) {
    Unlock();
    return false;
  }
  const bool removed = ::unlink(tempPath_.c_str()) == 0;
  tempPath_.clear();
  Unlock();
  return removed;
}

void TOutputReservation::Release() {
  tempPath_.clear();
  Unlock();
}

void TOutputReservation::Unlock() {
  if (lockFd_ >= 0) {
    NoteOwnLock(lockFd_, false);
    ::close(lockFd_);
  }
  lockFd_ = -1;
}
