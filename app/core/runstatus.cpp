#include "app/core/runstatus.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool FailureMayPass(const std::string& message, const std::string& outputFolder) {
  static const int kPassing[] = {ENOSPC,    EDQUOT,   EIO,         EROFS,        ESTALE,     ETIMEDOUT,    ENOTCONN,
                                 EHOSTDOWN, ENETDOWN, ENETUNREACH, EHOSTUNREACH, ECONNRESET, ECONNABORTED, ENOLINK};
  for (int e : kPassing)
    if (const char* text = strerrordesc_np(e); text && message.find(text) != std::string::npos) return true;
  // The codec libraries' wording of EIO.
  if (message.find(": I/O error") != std::string::npos) return true;
  if (!outputFolder.empty()) {
    struct stat st {};
    if (::stat(outputFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
    if (::access(outputFolder.c_str(), W_OK | X_OK) != 0) return true;
  }
  return false;
}

int RunExitStatus(int lastingFailures, int passingFailures, int stopSignal) {
  if (stopSignal) return 128 + stopSignal;
  if (passingFailures > 0) return kExitRetry;
  return lastingFailures > 0 ? kExitFailed : kExitConverted;
}
