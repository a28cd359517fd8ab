// File names handed to the format library.
//
// The format library takes file names as 8-bit text in the current locale's codeset. A name
// that codeset cannot represent (for example a name with non-ASCII bytes under the C locale)
// is passed as the URL "unicode:utf8:" followed by the name's bytes, and such names are
// opened through an I/O context of our own over the platform's file calls. Every place that
// hands a file to the format library goes through OpenInputFile / OpenOutputIO below, and
// every place that shows a name that came back from the library uses FromLibraryFileName.
//
// File names are the path bytes exactly as the operating system gives them; they need not
// be valid UTF-8 and survive every conversion here unchanged.
#pragma once

#include <memory>
#include <string>

#include "media/ffapi.h"

// "unicode:utf8:" (13 bytes).
extern const char kUnicodePrefix[];
// Protocol names whose URLs are passed through unchanged, each between colons.
extern const char kPassThroughProtocols[];
// The longest library file name, in bytes; longer names are refused, never cut.
constexpr size_t kMaxLibraryFileName = 2047;

// True when the name must take the "unicode:utf8:" route: it is not a URL of one of the
// pass-through protocols, and the current locale's codeset cannot carry its bytes.
bool NeedsUnicodeProtocol(const std::string& name);
// The name as the format library must receive it. A relative name whose start reads as a
// URL protocol ("file:clip.mp4") but which names an existing local file gets the explicit
// "file:" protocol, so it is read as that file. Throws FFmpegException when the result
// would be longer than kMaxLibraryFileName bytes.
std::string ToLibraryFileName(const std::string& name);
// True when the text is longer than the prefix and starts with it (case-sensitive).
bool HasUnicodePrefix(const std::string& name);
// The name for display and file-system checks: a prefixed name loses "unicode:" and
// "utf8:", a name given the explicit file protocol loses it, any other name is returned as it
// is.
std::string FromLibraryFileName(const std::string& name);

// Called by the loader each time avformat is bound: makes the "unicode:utf8:" route usable.
// Registration happens once per process; later calls find it registered and do nothing.
void RegisterUnicodeProtocol();
bool UnicodeProtocolRegistered();
// How many times the route was actually registered (1 after any number of avformat loads).
int UnicodeProtocolRegistrations();

// Opens an input like avformat_open_input. `*ctx` may be null or a context made with
// avformat_alloc_context (its flags are kept); on failure it is freed and set to null, as the
// library does. Returns the library's result: 0 or a negative error code
// (AVERROR(ENAMETOOLONG) for a name that is too long, AVERROR(ENOENT) for a missing file).
int OpenInputFile(AVFormatContext** ctx, const std::string& name, const AVInputFormat* fmt, AVDictionary** opts);
// Closes an input opened by OpenInputFile, the custom I/O context included; sets *ctx to null.
void CloseInput(AVFormatContext** ctx);
// Opens ctx->pb for writing the named file (create or replace). Returns 0 or a negative
// error code; ctx->pb stays null on failure.
int OpenOutputIO(AVFormatContext* ctx, const std::string& name);
// Flushes and closes ctx->pb when it is open; sets it to null. Returns 0 or the first write,
// flush or close error, so that a failed write is never reported as success.
int CloseOutputIO(AVFormatContext* ctx);
// True when the context's I/O goes through the "unicode:utf8:" route.
bool UsesUnicodeIO(const AVFormatContext* ctx);

namespace ffw {

// An input opened with OpenInputFile.
struct InputFileDeleter {
  void operator()(AVFormatContext* c) const { CloseInput(&c); }
};
using InputFile = std::unique_ptr<AVFormatContext, InputFileDeleter>;

// An output context (avformat_alloc_output_context2) whose I/O, when open, was opened with
// OpenOutputIO: closes the I/O, then frees the context.
struct OutputFileDeleter {
  void operator()(AVFormatContext* c) const {
    CloseOutputIO(c);
    ff::avformat_free_context(c);
  }
};
using OutputFile = std::unique_ptr<AVFormatContext, OutputFileDeleter>;

}  // namespace ffw
