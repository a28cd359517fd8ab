#include "media/unicode_protocol.h"

#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <strings.h>

#include "media/errors.h"
#include "media/gcc_warnings.h"

const char kUnicodePrefix[] = "unicode:utf8:";
const char kPassThroughProtocols[] = ":unicode:stream:gopher:http:pipe:rtp:tcp:udp:";

namespace {

constexpr size_t kPrefixLength = sizeof(kUnicodePrefix) - 1;
constexpr int kIOBufferSize = 64 * 1024;

std::atomic<int> gRegistrations{0};
std::mutex gRegisterLock;

bool IsUtf8Codeset(const char* cs) { return cs && (!strcasecmp(cs, "UTF-8") || !strcasecmp(cs, "UTF8")); }

bool IsAsciiCodeset(const char* cs) {
  return cs && (!strcasecmp(cs, "ANSI_X3.4-1968") || !strcasecmp(cs, "ASCII") || !strcasecmp(cs, "US-ASCII"));
}

// True when the current locale's codeset carries the bytes unchanged: decoding them as
// characters of that codeset and encoding them again gives the same bytes. Under a UTF-8
// locale every name passes, whatever its bytes: the library hands them to the file calls as
// they are.
bool CodesetCarries(const std::string& s) {
  const char* cs = nl_langinfo(CODESET);
  if (IsUtf8Codeset(cs)) return true;
  if (IsAsciiCodeset(cs)) {
    for (unsigned char c : s)
      if (c >= 0x80) return false;
    return true;
  }
  std::mbstate_t in{};
  std::mbstate_t out{};
  size_t i = 0;
  while (i < s.size()) {
    wchar_t wc = 0;
    size_t n = std::mbrtowc(&wc, s.data() + i, s.size() - i, &in);
    if (n == size_t(-1) || n == size_t(-2)) return false;
    if (n == 0) n = 1;  // an embedded zero byte decodes to L'\0'
    char back[MB_LEN_MAX];
    size_t m = std::wcrtomb(back, wc, &out);
    if (m == size_t(-1) || m != n || std::memcmp(back, s.data() + i, n) != 0) return false;
    i += n;
  }
  return true;
}

// One open file of the "unicode:utf8:" route; the opaque value of its I/O context.
struct TUnicodeFile {
  int fd = -1;
};

int UnicodeRead(void* opaque, uint8_t* buf, int size) {
  auto* f = static_cast<TUnicodeFile*>(opaque);
  for (;;) {
    ssize_t n = ::read(f->fd, buf, size_t(size));
    if (n > 0) return int(n);
    if (n == 0) return AVERROR_EOF;
    if (errno != EINTR) return AVERROR(errno);
  }
}

int UnicodeWrite(void* opaque, uint8_t* buf, int size) {
  auto* f = static_cast<TUnicodeFile*>(opaque);
  int done = 0;
  while (done < size) {
    ssize_t n = ::write(f->fd, buf + done, size_t(size - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return AVERROR(errno);
    }
    done += int(n);
  }
  return done;
}

int64_t UnicodeSeek(void* opaque, int64_t pos, int whence) {
  auto* f = static_cast<TUnicodeFile*>(opaque);
  if (whence & AVSEEK_SIZE) {
    struct stat st {};
    if (::fstat(f->fd, &st) != 0) return AVERROR(errno);
    return int64_t(st.st_size);
  }
  off_t r = ::lseek(f->fd, off_t(pos), whence & ~AVSEEK_FORCE);
  if (r == off_t(-1)) return AVERROR(errno);
  return int64_t(r);
}

// Opens the file and wraps it in an I/O context: read only for inputs (the file must
// exist), write only with create-or-replace for outputs.
int OpenUnicodeIO(const std::string& path, bool write, AVIOContext** pb) {
  *pb = nullptr;
  int flags = write ? (O_WRONLY | O_CREAT | O_TRUNC) : O_RDONLY;
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) return AVERROR(errno);
  auto* file = new TUnicodeFile{fd};
  auto* buffer = static_cast<unsigned char*>(ff::av_malloc(kIOBufferSize));
  AVIOContext* ctx = buffer ? ff::avio_alloc_context(buffer, kIOBufferSize, write ? 1 : 0, file,
                                                     write ? nullptr : &UnicodeRead, write ? &UnicodeWrite : nullptr,
                                                     &UnicodeSeek)
                            : nullptr;
  if (!ctx) {
    ff::av_free(buffer);
    ::close(fd);
    delete file;
    return AVERROR(ENOMEM);
  }
  *pb = ctx;
  return 0;
}

bool IsUnicodeIO(const AVIOContext* pb) { return pb && pb->seek == &UnicodeSeek; }

// Flushes (outputs), closes the file and frees the context with its buffer. Returns the
// first error met.
int FreeUnicodeIO(AVIOContext** pb) {
  AVIOContext* ctx = *pb;
  if (!ctx) return 0;
  int err = 0;
  if (ctx->write_flag) {
    ff::avio_flush(ctx);
    if (ctx->error < 0) err = ctx->error;
  }
  auto* file = static_cast<TUnicodeFile*>(ctx->opaque);
  if (file) {
    if (::close(file->fd) != 0 && err == 0) err = AVERROR(errno);
    delete file;
  }
  ff::av_freep(&ctx->buffer);
  ff::avio_context_free(pb);
  return err;
}

// The library name; false with an error code in `err` when the name cannot be handed over.
bool LibraryName(const std::string& name, std::string& lib, int& err) {
  if (name.find('\0') != std::string::npos) {
    err = AVERROR(EINVAL);
    return false;
  }
  try {
    lib = ToLibraryFileName(name);
  } catch (const FFmpegException&) {
    err = AVERROR(ENAMETOOLONG);
    return false;
  }
  return true;
}

}  // namespace

bool NeedsUnicodeProtocol(const std::string& name) {
  size_t colon = name.find(':');
  if (colon != std::string::npos && colon > 0) {
    ORVANE_STRING_RESTRICT_FALSE_ALARM_BEGIN
    std::string proto = ":" + name.substr(0, colon) + ":";
    ORVANE_STRING_RESTRICT_FALSE_ALARM_END
    if (std::strstr(kPassThroughProtocols, proto.c_str())) return false;
  }
  return !CodesetCarries(name);
}

// A relative name such as "file:clip.mp4" or "c:clip.avi" would be read as a URL of that
// protocol. When the name is a local file, the file protocol is named explicitly: it takes
// the rest of the text as the path.
static bool LooksLikeUrl(const std::string& name) {
  const size_t colon = name.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  for (size_t i = 0; i < colon; ++i) {
    const char c = name[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

std::string ToLibraryFileName(const std::string& name) {
  std::string out = NeedsUnicodeProtocol(name) ? kUnicodePrefix + name : name;
  struct stat st {};
  if (!HasUnicodePrefix(out) && LooksLikeUrl(name) && ::stat(name.c_str(), &st) == 0) out = "file:" + name;
  if (out.size() > kMaxLibraryFileName)
    throw FFmpegException(
        StrFormat("File name too long: %zu bytes, at most %zu bytes can be opened", out.size(), kMaxLibraryFileName));
  return out;
}

bool HasUnicodePrefix(const std::string& name) {
  return name.size() > kPrefixLength && name.compare(0, kPrefixLength, kUnicodePrefix) == 0;
}

std::string FromLibraryFileName(const std::string& name) {
  // The explicit file protocol that ToLibraryFileName put before a local name with a colon.
  if (name.compare(0, 5, "file:") == 0 && LooksLikeUrl(name.substr(5))) return name.substr(5);
  if (!HasUnicodePrefix(name)) return name;
  // Drop "unicode:" and then "utf8:".
  std::string rest = name.substr(name.find(':') + 1);
  return rest.substr(rest.find(':') + 1);
}

void RegisterUnicodeProtocol() {
  std::lock_guard<std::mutex> g(gRegisterLock);
  if (gRegistrations.load() > 0) return;
  // The route needs these avformat and avutil entry points; the loader binds them before it
  // registers the route.
  assert(ff::avformat_open_input && ff::avformat_alloc_context && ff::avio_alloc_context && ff::avio_context_free);
  gRegistrations.fetch_add(1);
}

bool UnicodeProtocolRegistered() { return gRegistrations.load() > 0; }
int UnicodeProtocolRegistrations() { return gRegistrations.load(); }

int OpenInputFile(AVFormatContext** ctx, const std::string& name, const AVInputFormat* fmt, AVDictionary** opts) {
  if (!ctx) return AVERROR(EINVAL);
  std::string lib;
  int err = 0;
  if (!LibraryName(name, lib, err)) {
    if (*ctx) {
      ff::avformat_free_context(*ctx);
      *ctx = nullptr;
    }
    return err;
  }
  if (!HasUnicodePrefix(lib)) return ff::avformat_open_input(ctx, lib.c_str(), fmt, opts);

  AVIOContext* pb = nullptr;
  err = OpenUnicodeIO(FromLibraryFileName(lib), false, &pb);
  if (err == 0 && !*ctx) {
    *ctx = ff::avformat_alloc_context();
    if (!*ctx) err = AVERROR(ENOMEM);
  }
  if (err < 0) {
    FreeUnicodeIO(&pb);
    if (*ctx) {
      ff::avformat_free_context(*ctx);
      *ctx = nullptr;
    }
    return err;
  }
  (*ctx)->pb = pb;
  err = ff::avformat_open_input(ctx, lib.c_str(), fmt, opts);
  // On failure the library has freed the context but leaves a caller's I/O context alone.
  if (err < 0) FreeUnicodeIO(&pb);
  return err;
}

void CloseInput(AVFormatContext** ctx) {
  if (!ctx || !*ctx) return;
  AVIOContext* pb = IsUnicodeIO((*ctx)->pb) ? (*ctx)->pb : nullptr;
  ff::avformat_close_input(ctx);
  FreeUnicodeIO(&pb);
}

int OpenOutputIO(AVFormatContext* ctx, const std::string& name) {
  if (!ctx || ctx->pb) return AVERROR(EINVAL);
  std::string lib;
  int err = 0;
  if (!LibraryName(name, lib, err)) return err;
  if (!HasUnicodePrefix(lib)) return ff::avio_open(&ctx->pb, lib.c_str(), AVIO_FLAG_WRITE);
  return OpenUnicodeIO(FromLibraryFileName(lib), true, &ctx->pb);
}

int CloseOutputIO(AVFormatContext* ctx) {
  if (!ctx || !ctx->pb) return 0;
  if (IsUnicodeIO(ctx->pb)) return FreeUnicodeIO(&ctx->pb);
  int err = 0;
  if (ctx->pb->write_flag) {
    ff::avio_flush(ctx->pb);
    err = ctx->pb->error;
  }
  int r = ff::avio_closep(&ctx->pb);
  return err < 0 ? err : r;
}

bool UsesUnicodeIO(const AVFormatContext* ctx) { return ctx && IsUnicodeIO(ctx->pb); }
