#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>
#include <fstream>
#include <string>

#include "media/errors.h"
#include "media/ffapi.h"
#include "media/ffwrap.h"
#include "media/loader.h"
#include "media/unicode_protocol.h"
#include "tests/support/test_support.h"

using testsupport::FfprobeValue;
using testsupport::MediaPath;

namespace {

const char kNonAsciiClip[] = "vidéo ünïcode 片.mp4";

using testsupport::LocaleScope;

#define ENTER_LOCALE(var, name) \
  LocaleScope var(name);        \
  ASSERT_TRUE(var.ok()) << "locale " << name << " is not installed"

const char kUtf8Locale[] = "C.UTF-8";

// Copies the first `maxPackets` packets of every stream of `in` into `out` (format from the
// extension), both opened through the unicode module; `customIO` is the route the output
// is expected to take.
void Remux(const std::string& in, const std::string& out, int maxPackets, bool customIO) {
  AVFormatContext* raw = nullptr;
  ASSERT_EQ(OpenInputFile(&raw, in, nullptr, nullptr), 0);
  ffw::InputFile input(raw);
  ASSERT_GE(ff::avformat_find_stream_info(input.get(), nullptr), 0);

  AVFormatContext* oraw = nullptr;
  ASSERT_GE(ff::avformat_alloc_output_context2(&oraw, nullptr, nullptr, ToLibraryFileName(out).c_str()), 0);
  ffw::OutputFile output(oraw);
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    AVStream* st = ff::avformat_new_stream(output.get(), nullptr);
    ASSERT_NE(st, nullptr);
    ASSERT_GE(ff::avcodec_parameters_copy(st->codecpar, input->streams[i]->codecpar), 0);
    st->codecpar->codec_tag = 0;
    st->time_base = input->streams[i]->time_base;
  }
  ASSERT_EQ(OpenOutputIO(output.get(), out), 0);
  EXPECT_EQ(UsesUnicodeIO(output.get()), customIO);
  ASSERT_GE(ff::avformat_write_header(output.get(), nullptr), 0);
  ffw::Packet pkt = ffw::MakePacket();
  for (int n = 0; n < maxPackets && ff::av_read_frame(input.get(), pkt.get()) >= 0; ++n) {
    AVStream* ist = input->streams[pkt->stream_index];
    AVStream* ost = output->streams[pkt->stream_index];
    ff::av_packet_rescale_ts(pkt.get(), ist->time_base, ost->time_base);
    pkt->pos = -1;
    ASSERT_GE(ff::av_interleaved_write_frame(output.get(), pkt.get()), 0);
  }
  ASSERT_GE(ff::av_write_trailer(output.get()), 0);
  EXPECT_EQ(CloseOutputIO(output.get()), 0);
}

class UnicodeProtocol : public ::testing::Test {
protected:
  void SetUp() override { testsupport::LoadEngineLibs(); }
};

}  // namespace

TEST(UnicodeNames, ConversionTable) {
  struct Case {
    const char* locale;
    std::string name;
    bool wrapped;
  };
  const Case cases[] = {
      {"C", "/media/clip.mp4", false},
      {"C", "/media/vidéo.mp4", true},
      {"C", "relative/片.mkv", true},
      {"C", std::string("/media/\xff\xfe raw.bin"), true},  // not valid UTF-8
      {"C", ":é", true},                                    // a colon in front is no protocol
      {"C", "ftp://host/é.mp4", true},                      // not a pass-through protocol
      {"C", "HTTP://host/é.mp4", true},                     // protocol names are case-sensitive
      {"C", "tc:é", true},
      {"C", "unicode:utf8:/media/é.mp4", false},
      {"C", "stream:é", false},
      {"C", "gopher://host/é", false},
      {"C", "http://host/é.mp4", false},
      {"C", "pipe:é", false},
      {"C", "rtp://host:1234/é", false},
      {"C", "tcp://host:1234/é", false},
      {"C", "udp://host:1234/é", false},
      {kUtf8Locale, "/media/vidéo ünïcode 片.mp4", false},
      {kUtf8Locale, std::string("/media/\xff\xfe raw.bin"), false},
      {kUtf8Locale, "/media/clip.mp4", false},
  };
  for (const Case& c : cases) {
    ENTER_LOCALE(loc, c.locale);
    SCOPED_TRACE(std::string(c.locale) + " " + c.name);
    EXPECT_EQ(NeedsUnicodeProtocol(c.name), c.wrapped);
    std::string lib = ToLibraryFileName(c.name);
    EXPECT_EQ(lib, c.wrapped ? "unicode:utf8:" + c.name : c.name);
    EXPECT_EQ(HasUnicodePrefix(lib), c.wrapped || c.name.rfind("unicode:utf8:", 0) == 0);
    // The way back gives the name that was handed over, byte for byte.
    if (c.wrapped) {
      EXPECT_EQ(FromLibraryFileName(lib), c.name);
    }
  }
}

TEST(UnicodeNames, PrefixDetectionAndDecoding) {
  struct Case {
    std::string text;
    bool prefixed;
    std::string decoded;
  };
  const Case cases[] = {
      {"unicode:utf8:", false, "unicode:utf8:"},  // the prefix alone is no wrapped name
      {"unicode:utf8:a", true, "a"},
      {"unicode:utf8:/x/y:z.mp4", true, "/x/y:z.mp4"},
      {"Unicode:utf8:/x", false, "Unicode:utf8:/x"},
      {"unicode:utf-8:/x", false, "unicode:utf-8:/x"},
      {"", false, ""},
      {"/plain/name.mp4", false, "/plain/name.mp4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(HasUnicodePrefix(c.text), c.prefixed);
    EXPECT_EQ(FromLibraryFileName(c.text), c.decoded);
  }
}

TEST(UnicodeNames, LengthLimitRefusesInsteadOfCutting) {
  ENTER_LOCALE(loc, "C");
  const std::string fits = "/" + std::string(kMaxLibraryFileName - 1, 'a');
  EXPECT_EQ(ToLibraryFileName(fits), fits);
  EXPECT_THROW(ToLibraryFileName(fits + "a"), FFmpegException);
  // The prefix counts: a wrapped name must fit with it.
  const std::string wrapped = "/" + std::string(kMaxLibraryFileName - 13 - 3, 'a') + "\xc3\xa9";
  EXPECT_EQ(ToLibraryFileName(wrapped).size(), kMaxLibraryFileName);
  EXPECT_THROW(ToLibraryFileName(wrapped + "b"), FFmpegException);
  try {
    ToLibraryFileName(std::string(3000, 'x'));
    ADD_FAILURE() << "a 3000-byte name was accepted";
  } catch (const FFmpegException& e) {
    EXPECT_NE(std::string(e.what()).find("too long"), std::string::npos) << e.what();
  }
}

TEST_F(UnicodeProtocol, RegisteredOncePerProcess) {
  EXPECT_TRUE(UnicodeProtocolRegistered());
  EXPECT_EQ(UnicodeProtocolRegistrations(), 1);
  ASSERT_TRUE(FFLoader().LoadLibs(KindBit(lkAVFormat)));  // binds avformat again
  EXPECT_EQ(UnicodeProtocolRegistrations(), 1);
}

TEST_F(UnicodeProtocol, OpensNonAsciiClipUnderBothLocales) {
  const std::string path = MediaPath(kNonAsciiClip);
  const std::string streams = FfprobeValue(path, "format=nb_streams");
  ASSERT_FALSE(streams.empty());
  for (const char* locale : {kUtf8Locale, "C"}) {
    ENTER_LOCALE(loc, locale);
    SCOPED_TRACE(locale);
    const bool custom = std::string(locale) == "C";
    AVFormatContext* raw = nullptr;
    ASSERT_EQ(OpenInputFile(&raw, path, nullptr, nullptr), 0);
    ffw::InputFile in(raw);
    EXPECT_EQ(UsesUnicodeIO(in.get()), custom);
    EXPECT_EQ(HasUnicodePrefix(in->url), custom);
    EXPECT_EQ(FromLibraryFileName(in->url), path);
    ASSERT_GE(ff::avformat_find_stream_info(in.get(), nullptr), 0);
    EXPECT_EQ(std::to_string(in->nb_streams), streams);
    EXPECT_EQ(std::string(in->iformat->name), FfprobeValue(path, "format=format_name"));
    // Reading to the end goes through the custom read and seek calls.
    ffw::Packet pkt = ffw::MakePacket();
    int64_t bytes = 0;
    while (ff::av_read_frame(in.get(), pkt.get()) >= 0) {
      bytes += pkt->size;
      ff::av_packet_unref(pkt.get());
    }
    EXPECT_GT(bytes, std::filesystem::file_size(path) / 2);
  }
}

TEST_F(UnicodeProtocol, MissingAndUnreadableFiles) {
  testsupport::TempDir dir;
  for (const char* locale : {kUtf8Locale, "C"}) {
    ENTER_LOCALE(loc, locale);
    SCOPED_TRACE(locale);
    for (const std::string& name : {dir.file("missing.mp4"), dir.file("manquée 片.mp4")}) {
      AVFormatContext* ctx = nullptr;
      EXPECT_EQ(OpenInputFile(&ctx, name, nullptr, nullptr), AVERROR(ENOENT)) << name;
      EXPECT_EQ(ctx, nullptr);
    }
    // A pre-allocated context is freed on failure, as the library does.
    AVFormatContext* pre = ff::avformat_alloc_context();
    EXPECT_EQ(OpenInputFile(&pre, dir.file("absent é.avi"), nullptr, nullptr), AVERROR(ENOENT));
    EXPECT_EQ(pre, nullptr);
    AVFormatContext* ctx = nullptr;
    EXPECT_EQ(OpenInputFile(&ctx, "/" + std::string(3000, 'n'), nullptr, nullptr), AVERROR(ENAMETOOLONG));
    EXPECT_EQ(ctx, nullptr);
    EXPECT_EQ(OpenInputFile(&ctx, std::string("/tmp/a\0b", 8), nullptr, nullptr), AVERROR(EINVAL));
    // Bytes that are no media give the library's error, with nothing left open.
    const std::string junk = dir.file("bruit é.bin");
    std::ofstream(junk) << std::string(4096, 'z');
    EXPECT_LT(OpenInputFile(&ctx, junk, nullptr, nullptr), 0);
    EXPECT_EQ(ctx, nullptr);
  }
}

TEST_F(UnicodeProtocol, WritesOutputThroughCustomRoute) {
  ENTER_LOCALE(loc, "C");
  testsupport::TempDir dir;
  const std::string out = dir.file("sortie ünï 片.mkv");
  ASSERT_TRUE(NeedsUnicodeProtocol(out));
  Remux(MediaPath(kNonAsciiClip), out, 120, true);
  ASSERT_TRUE(std::filesystem::exists(out));
  EXPECT_EQ(FfprobeValue(out, "format=format_name"), "matroska,webm");
  EXPECT_EQ(FfprobeValue(out, "stream=codec_name", "v:0"), "h264");
  EXPECT_EQ(FfprobeValue(out, "stream=codec_name", "a:0"), "aac");
  EXPECT_EQ(FfprobeValue(out, "stream=width", "v:0"), "320");
  // About 120 packets of 25 fps video and 43 packets/s audio: well over a second of media.
  double duration = testsupport::FfprobeNumber(out, "format=duration");
  EXPECT_GT(duration, 1.0);
  EXPECT_LT(duration, 5.0);

  // An output that cannot be created leaves no I/O context behind.
  AVFormatContext* raw = nullptr;
  ASSERT_GE(ff::avformat_alloc_output_context2(&raw, nullptr, "matroska", nullptr), 0);
  ffw::OutputFile output(raw);
  EXPECT_EQ(OpenOutputIO(output.get(), dir.file("absent dir é/x.mkv")), AVERROR(ENOENT));
  EXPECT_EQ(output->pb, nullptr);
}

TEST_F(UnicodeProtocol, PlainOutputRouteReportsSuccess) {
  ENTER_LOCALE(loc, kUtf8Locale);
  testsupport::TempDir dir;
  const std::string out = dir.file("sortie ünï 片.mp4");
  Remux(MediaPath("clip.mp4"), out, 60, false);
  EXPECT_EQ(FfprobeValue(out, "stream=codec_name", "v:0"), "h264");
}
