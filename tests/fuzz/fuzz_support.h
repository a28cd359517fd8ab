// Shared pieces of the fuzz targets: the input written to a file (the readers under test take
// file names) and a check that stops the run with its message when a promise of the code is
// broken.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzz {

// A private folder for the run's files: in memory (/dev/shm) when there is one, since every
// input is written and read again.
inline const std::string& WorkDir() {
  // Removed with what it holds when the run ends normally.
  struct TDir {
    std::string path;
    ~TDir() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  };
  static const TDir dir{[] {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                       : (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
    std::string tmpl = std::string(base) + "/orvane-fuzz-XXXXXX";
    if (!::mkdtemp(tmpl.data())) {
      std::perror("mkdtemp");
      std::abort();
    }
    return tmpl;
  }()};
  return dir.path;
}

// Writes the bytes to WorkDir()/name (replacing what was there) and returns the path.
inline std::string WriteInput(const std::string& name, const uint8_t* data, size_t size) {
  const std::string path = WorkDir() + "/" + name;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::perror(path.c_str());
    std::abort();
  }
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) {
      std::perror(path.c_str());
      std::abort();
    }
    data += n;
    size -= size_t(n);
  }
  ::close(fd);
  return path;
}

}  // namespace fuzz

// A broken promise: the message and a crash that the fuzzer records with its input.
#define FUZZ_CHECK(cond, what)                                                                \
  do {                                                                                        \
    if (!(cond)) {                                                                            \
      std::fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s: %s\n", __FILE__, __LINE__, #cond, \
                   std::string(what).c_str());                                                \
      std::abort();                                                                           \
    }                                                                                         \
  } while (0)
