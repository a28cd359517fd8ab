// The INI files, the program's file locations, the profile tables and the delivered
// format-profile file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/core/apppaths.h"
#include "app/core/inifile.h"
#include "app/core/profiles.h"
#include "media/errors.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

size_t CountOf(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

std::string DeliveredFormatIni() { return std::string(ORVANE_BINARY_DIR) + "/data/orvanepspformat.ini"; }

}  // namespace

TEST(IniFile, SectionsAndKeysIgnoreLetterCase) {
  TempDir dir;
  std::string path = dir.file("s.ini");
  WriteText(path, "[Settings]\nSNAPOUTPUTDIR=/media/snaps\n\n[lstformat]\n2=0\n");
  TIniFile ini(path);
  EXPECT_EQ(ini.ReadString("settings", "SnapOutPutDir", "none"), "/media/snaps");
  // Only group 2 is stored as open; the others keep the default (closed).
  EXPECT_TRUE(ini.ReadBool("lstformat", "0", true));
  EXPECT_TRUE(ini.ReadBool("lstformat", "1", true));
  EXPECT_FALSE(ini.ReadBool("lstformat", "2", true));
  EXPECT_TRUE(ini.ReadBool("lstformat", "3", true));

  // A write in other letter case replaces the existing value; it adds no second key.
  ini.WriteString("SETTINGS", "snapoutputdir", "/other");
  std::string text = ReadText(path);
  EXPECT_EQ(CountOf(text, "=/other"), 1u);
  EXPECT_EQ(text.find("/media/snaps"), std::string::npos);
  EXPECT_NE(text.find("SNAPOUTPUTDIR=/other"), std::string::npos);
  EXPECT_EQ(ini.ReadString("settings", "snapOutPutDir", ""), "/other");
  EXPECT_FALSE(ini.ReadBool("lstformat", "2", true)) << "other sections survive the rewrite";

  // New keys go into their section, new sections at the end.
  ini.WriteInteger("lstformat", "3", 0);
  ini.WriteBool("formatInfo204", "x", true);
  EXPECT_EQ(ini.ReadSectionKeys("LSTFORMAT"), (std::vector<std::string>{"2", "3"}));
  EXPECT_TRUE(ini.ReadBool("formatinfo204", "X", false));
  EXPECT_TRUE(ini.SectionExists("FORMATINFO204"));
  EXPECT_FALSE(ini.SectionExists("formatInfo1"));
}

TEST(IniFile, ReadersAndTheirDefaults) {
  TempDir dir;
  std::string path = dir.file("r.ini");
  WriteText(path,
            "[s]\nint=42\npadded =  7  \nneg=-3\nword=abc\nmixed=12abc\nhuge=99999999999\nempty=\n"
            "quoted=\"a b\"\nzero=0\nfive=5\n");
  TIniFile ini(path);
  struct Row {
    const char* key;
    int32_t integer;
    bool boolean;
  };
  const int32_t def = -77;
  for (const Row& r : {Row{"int", 42, true}, Row{"padded", 7, true}, Row{"neg", -3, true}, Row{"word", def, false},
                       Row{"mixed", def, false}, Row{"huge", def, false}, Row{"empty", def, false},
                       Row{"zero", 0, false}, Row{"five", 5, true}, Row{"missing", def, false}}) {
    EXPECT_EQ(ini.ReadInteger("s", r.key, def), r.integer) << r.key;
    EXPECT_EQ(ini.ReadBool("s", r.key, false), r.boolean) << r.key;
  }
  EXPECT_TRUE(ini.ReadBool("s", "word", true)) << "not an integer: the boolean default";
  EXPECT_EQ(ini.ReadString("s", "padded", ""), "7");
  EXPECT_EQ(ini.ReadString("s", "quoted", ""), "a b");
  EXPECT_EQ(ini.ReadString("s", "empty", "dflt"), "") << "a present empty value is not the default";
  EXPECT_EQ(ini.ReadString("nosection", "int", "dflt"), "dflt");

  TIniFile missing(dir.file("nope.ini"));
  EXPECT_EQ(missing.ReadString("s", "k", "d"), "d");
  EXPECT_EQ(missing.ReadInteger("s", "k", 9), 9);
  EXPECT_TRUE(missing.ReadBool("s", "k", true));
  EXPECT_FALSE(missing.SectionExists("s"));
}

// A file saved with a UTF-8 byte-order mark keeps its first section; a file read once answers
// from that reading (a later change on disk is not seen) and sees its own writes.
TEST(IniFile, ByteOrderMarkAndReadingOnce) {
  TempDir dir;
  const std::string path = dir.file("bom.ini");
  WriteText(path, "\xEF\xBB\xBF[file1]\r\nSourceFile=a.mp4\r\n");
  EXPECT_TRUE(TIniFile(path).SectionExists("file1"));
  EXPECT_EQ(TIniFile(path).ReadString("file1", "SourceFile", ""), "a.mp4");

  TIniFile once = TIniFile::ReadOnce(path);
  WriteText(path, "[file1]\nSourceFile=changed.mp4\n");
  EXPECT_EQ(once.ReadString("file1", "SourceFile", ""), "a.mp4");
  EXPECT_EQ(TIniFile(path).ReadString("file1", "SourceFile", ""), "changed.mp4");
  once.WriteString("file1", "TrimStart", "5");
  EXPECT_EQ(once.ReadInteger("file1", "TrimStart", 0), 5);
  EXPECT_EQ(once.ReadString("file1", "SourceFile", ""), "changed.mp4");
}

// A profile value that is not known is an error naming the profile and the key; a section
// holding only the zoom mode keeps the profile's own choices.
TEST(Profiles, UnknownValuesNameTheProfileAndKey) {
  testsupport::LoadEngineLibs();
  TempDir dir;
  const TIniFile format(DeliveredFormatIni());
  const std::string path = dir.file("settings.ini");
  WriteText(path, "[formatInfo1]\nparazoom=pan\n");
  const TProfileParams panOnly = ReadProfileParams(TIniFile(path), format, 1);
  EXPECT_EQ(panOnly.VideoEncoder, "mpeg4");
  EXPECT_EQ(panOnly.AudioEncoder, "libfaac");
  EXPECT_EQ(panOnly.Zoom, "pan");

  struct Case {
    const char* section;
    const char* expected;
  };
  const Case cases[] = {
      {"paraVideoEncoder=h265x\nparaAudioEncoder=libfaac",
       "profile 1 (PSP MPEG-4 Normal Quality (*.mp4)): paraVideoEncoder=\"h265x\""},
      {"paraVideoEncoder=mpeg4\nparaAudioEncoder=nosuchaudio",
       "profile 1 (PSP MPEG-4 Normal Quality (*.mp4)): paraAudioEncoder"},
      {"parazoom=stretch", "profile 1 (PSP MPEG-4 Normal Quality (*.mp4)): parazoom=\"stretch\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.section);
    WriteText(path, std::string("[formatInfo1]\n") + c.section + "\n");
    try {
      ReadProfileParams(TIniFile(path), format, 1);
      ADD_FAILURE() << "accepted";
    } catch (const FFmpegException& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.expected, 0), 0u) << e.what();
    }
  }
}

TEST(IniFile, ValuesAreReadUpTo2047Characters) {
  TempDir dir;
  TIniFile ini(dir.file("long.ini"));
  ini.WriteString("s", "ascii", std::string(3000, 'a'));
  EXPECT_EQ(ini.ReadString("s", "ascii", ""), std::string(2047, 'a'));
  // A two-byte character across the limit is not split.
  ini.WriteString("s", "utf8", std::string(2046, 'b') + "\xC3\xA9" + "zz");
  EXPECT_EQ(ini.ReadString("s", "utf8", ""), std::string(2046, 'b'));
  ini.WriteString("s", "exact", std::string(2047, 'c'));
  EXPECT_EQ(ini.ReadString("s", "exact", "").size(), 2047u);
}

TEST(IniFile, BrokenFileReadsWhatItCanAndKeepsTheRest) {
  TempDir dir;
  std::string path = dir.file("broken.ini");
  std::string junk = "\x01\xff\xfe garbage line\r\n";
  junk += std::string("bin\0ary", 7) + "\n";
  WriteText(path, "orphan=before any section\r\n" + junk + "[s\r\nk1 = v1\r\n[t]\r\nnot a pair\r\nk2=v2");
  TIniFile ini(path);
  EXPECT_EQ(ini.ReadString("s", "k1", ""), "v1") << "an unclosed section header still names its section";
  EXPECT_EQ(ini.ReadString("t", "k2", ""), "v2") << "last line without a line break";
  EXPECT_EQ(ini.ReadString("s", "orphan", "d"), "d");
  EXPECT_EQ(ini.ReadInteger("t", "not a pair", 3), 3);

  ini.WriteString("t", "k3", "v3");
  std::string text = ReadText(path);
  EXPECT_NE(text.find("garbage line"), std::string::npos) << "lines the reader ignores are kept";
  EXPECT_NE(text.find(std::string("bin\0ary", 7)), std::string::npos);
  EXPECT_EQ(ini.ReadString("t", "k3", ""), "v3");
  EXPECT_EQ(ini.ReadString("t", "k2", ""), "v2");
  EXPECT_EQ(ini.ReadString("s", "k1", ""), "v1");
}

// Carriage returns at a line's end are part of its line break, also when there are two: a
// write of one key leaves every other value as it read before.
TEST(IniFile, CarriageReturnsEndingALineAreNoPartOfTheValue) {
  TempDir dir;
  std::string path = dir.file("crcr.ini");
  WriteText(path, "[s]\r\nk1=v1\r\r\nk2 = v2 \r\r\r\n[t]\r\nk3=v3\r\r");
  TIniFile ini(path);
  EXPECT_EQ(ini.ReadString("s", "k1", ""), "v1");
  EXPECT_EQ(ini.ReadString("s", "k2", ""), "v2");
  EXPECT_EQ(ini.ReadString("t", "k3", ""), "v3");
  ini.WriteString("t", "k4", "v4");
  EXPECT_EQ(ini.ReadString("s", "k1", ""), "v1");
  EXPECT_EQ(ini.ReadString("s", "k2", ""), "v2");
  EXPECT_EQ(ini.ReadString("t", "k3", ""), "v3");
  EXPECT_EQ(ini.ReadString("t", "k4", ""), "v4");
}

TEST(IniFile, WritesReplaceTheFileAtomically) {
  TempDir dir;
  std::string path = dir.file("cfg/sub/a.ini");
  TIniFile ini(path);
  ini.WriteString("settings", "OutPutDir", "/videos");  // creates the folders
  ASSERT_EQ(ini.ReadString("settings", "OutPutDir", ""), "/videos");
  ::chmod(path.c_str(), 0640);
  ini.WriteStrings("formatInfo3", {{"paraVideoSize", "480x272"}, {"paraZoom", "lbox"}});
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << "the rewrite keeps the file's permissions";
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(fs::path(path).parent_path())) ++entries;
  EXPECT_EQ(entries, 1u) << "no temporary file is left behind";

  // A link stays a link; the file it points to gets the change.
  std::string link = dir.file("link.ini");
  fs::create_symlink(path, link);
  TIniFile(link).WriteString("settings", "mute", "1");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ini.ReadString("settings", "mute", ""), "1");

  // A disk that fills up in the middle of the write (simulated with a file size limit)
  // fails the write and leaves the old file whole.
  const std::string before = ReadText(path);
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  bool threw = false;
  std::string message;
  try {
    ini.WriteString("settings", "huge", std::string(100000, 'x'));
  } catch (const FFmpegException& e) {
    threw = true;
    message = e.what();
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(threw);
  EXPECT_EQ(message, "Unable to write to " + path);
  EXPECT_EQ(ReadText(path), before);
  entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(fs::path(path).parent_path())) ++entries;
  EXPECT_EQ(entries, 1u);
}

TEST(IniFile, RefusedWritesRaiseUnableToWrite) {
  TempDir dir;
  WriteText(dir.file("plainfile"), "x");
  // The folder cannot be made: a file stands where it would go.
  std::string underFile = dir.file("plainfile/settings.ini");
  EXPECT_THROW(
      {
        try {
          TIniFile(underFile).WriteString("settings", "a", "b");
        } catch (const FFmpegException& e) {
          EXPECT_EQ(std::string(e.what()), "Unable to write to " + underFile);
          throw;
        }
      },
      FFmpegException);
  // The path is a folder.
  fs::create_directory(dir.file("folder.ini"));
  EXPECT_THROW(TIniFile(dir.file("folder.ini")).WriteString("settings", "a", "b"), FFmpegException);
  // Text the line format cannot hold is refused before the file is touched.
  TIniFile ini(dir.file("ok.ini"));
  ini.WriteString("s", "a", "1");
  const std::string before = ReadText(dir.file("ok.ini"));
  EXPECT_THROW(ini.WriteString("s", "b", "two\nlines"), FFmpegException);
  EXPECT_THROW(ini.WriteString("s", "b=c", "1"), FFmpegException);
  EXPECT_THROW(ini.WriteString("s]x", "b", "1"), FFmpegException);
  EXPECT_EQ(ReadText(dir.file("ok.ini")), before);
}

TEST(AppPaths, ConfigurationFolderAndProfileFile) {
  TempDir dir;
  std::string oldXdg = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
  ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
  EXPECT_EQ(SettingsIniPath(), dir.path().string() + "/orvane-video-converter/orvanepspvideoconverter.ini");
  EXPECT_EQ(FormatIniPath("/opt/orvane"), "/opt/orvane/data/orvanepspformat.ini");
  fs::create_directories(dir.path() / "orvane-video-converter");
  WriteText(dir.file("orvane-video-converter/orvanepspformat.ini"), "[formatInfo0]\n");
  EXPECT_EQ(FormatIniPath("/opt/orvane"), dir.path().string() + "/orvane-video-converter/orvanepspformat.ini")
      << "the user's own copy wins";
  ::setenv("XDG_CONFIG_HOME", "relative/path", 1);
  EXPECT_EQ(ConfigDir(), HomeDir() + "/.config/orvane-video-converter");
  if (oldXdg.empty())
    ::unsetenv("XDG_CONFIG_HOME");
  else
    ::setenv("XDG_CONFIG_HOME", oldXdg.c_str(), 1);
}

TEST(Profiles, RangeTest) {
  struct Row {
    const char* list;
    double v;
    bool in;
  };
  for (const Row& r :
       {Row{"as source,8000,48000", 44100, true}, Row{"as source,8000,22050,44100,48000", 8000, true},
        Row{"as source,8000,22050,44100,48000", 48000, true}, Row{"as source,8000,22050,44100,48000", 7999, false},
        Row{"null", 44100, false}, Row{"48000", 48000, false}, Row{"as source,", 0, false}, Row{"96,128,192", 96, true},
        Row{"96,128,192", 192, true}, Row{"96,128,192", 192.5, false}, Row{",96,128", 100, false},
        Row{"AS SOURCE,96,128", 100, true}, Row{"as source,8000", 8000, true}, Row{"low,high", 1, false},
        Row{"96,128,", 100, false}, Row{"300,2000", 1500, true}, Row{"300,2000", 2001, false}}) {
    EXPECT_EQ(InProfileRangeList(r.list, r.v), r.in) << r.list << " " << r.v;
  }
  TempDir dir;
  WriteText(dir.file("f.ini"), "[formatInfo5]\nSampleRate=as source,8000,48000\nVideoBitRate=300,2000\n");
  TIniFile f(dir.file("f.ini"));
  EXPECT_TRUE(InProfileRange(f, "formatInfo5", TRangeParam::SampleRate, 44100));
  EXPECT_TRUE(InProfileRange(f, "formatInfo5", TRangeParam::VideoBitRate, 1500));
  EXPECT_FALSE(InProfileRange(f, "formatInfo5", TRangeParam::AudioBitRate, 128)) << "missing list reads as null";
}

TEST(Profiles, SettingsDialogDisplayNames) {
  EXPECT_EQ(VideoEncoderForDisplay("MPEG-4"), "mpeg4");
  EXPECT_EQ(VideoEncoderForDisplay("h264"), "libx264");
  EXPECT_EQ(VideoEncoderForDisplay("xvid"), "libxvid");
  EXPECT_EQ(VideoEncoderForDisplay("vp8"), std::nullopt);
  EXPECT_EQ(AudioEncoderForDisplay("AAC"), "libfaac");
  EXPECT_EQ(AudioEncoderForDisplay("pcm_mulaw "), "pcm_mulaw");
  EXPECT_EQ(AudioEncoderForDisplay("pcm_mulaw"), std::nullopt);
  EXPECT_EQ(ChannelForDisplay("stereo 2 channels"), "2");
  EXPECT_EQ(ChannelForDisplay("Stereo 2 channels"), std::nullopt);
  EXPECT_EQ(VolumeForDisplay("100%"), "256");
  EXPECT_EQ(VolumeForDisplay("25%"), "64");
  EXPECT_EQ(VolumeForDisplay("400%"), "1024");
  EXPECT_EQ(VolumeForDisplay("225%"), std::nullopt);
  EXPECT_EQ(VolumeForDisplay("%"), std::nullopt);
  EXPECT_EQ(SplitProfileList("a,,b"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_TRUE(SplitProfileList("null").empty());
}

TEST(Profiles, UnsavedProfileTakesTheProfileDefaults) {
  TempDir dir;
  TIniFile settings(dir.file("settings.ini"));
  TIniFile format(DeliveredFormatIni());

  // Nothing saved: the profile's own default choices, as the settings dialog would store them.
  TProfileParams psp = ReadProfileParams(settings, format, 0);
  EXPECT_TRUE(psp.FromProfileDefaults);
  EXPECT_EQ(psp.VideoEncoder, "mpeg4");
  EXPECT_EQ(psp.AudioEncoder, "libfaac");
  EXPECT_EQ(psp.VideoSize, "320x240");
  EXPECT_EQ(psp.SampleRate, "48000");
  EXPECT_EQ(psp.Channel, "2");
  EXPECT_EQ(psp.Volume, "256");
  EXPECT_EQ(psp.Zoom, "lbox");
  TProfileParams mp3 = ReadProfileParams(settings, format, 300);
  EXPECT_EQ(mp3.VideoEncoder, "");
  EXPECT_EQ(mp3.AudioEncoder, "libmp3lame");

  // A saved section is read with the builder's defaults; a missing volume is "unchanged".
  settings.WriteStrings("formatInfo0", {{"paraVideoEncoder", "h263"}, {"paraZoom", "full"}});
  TProfileParams saved = ReadProfileParams(settings, format, 0);
  EXPECT_FALSE(saved.FromProfileDefaults);
  EXPECT_EQ(saved.VideoEncoder, "h263");
  EXPECT_EQ(saved.Volume, "256");
  EXPECT_EQ(saved.VideoSize, "null");
  EXPECT_EQ(saved.VideoBitRate, "512");
  EXPECT_EQ(saved.Zoom, "full");
  EXPECT_EQ(saved.AudioEncoder, "");

  // "gsm" forces 8000 Hz mono.
  WriteText(dir.file("gsm.ini"),
            "[formatInfo9]\nAudioEncoder=mp3,gsm\niAudioEncoder=1\nSampleRate=44100\nChannel=stereo 2 channels\n");
  TProfileParams gsm = ReadProfileParams(settings, TIniFile(dir.file("gsm.ini")), 9);
  EXPECT_EQ(gsm.AudioEncoder, "libgsm");
  EXPECT_EQ(gsm.SampleRate, "8000");
  EXPECT_EQ(gsm.Channel, "1");
}

TEST(Profiles, EncoderNamesResolveToWorkingEncoders) {
  testsupport::LoadEngineLibs();
  EXPECT_EQ(ResolveEncoderName("libfaac", TEncoderKind::Audio), "aac");
  EXPECT_EQ(ResolveEncoderName("vorbis", TEncoderKind::Audio), "libvorbis");
  EXPECT_EQ(ResolveEncoderName("libmp3lame", TEncoderKind::Audio), "libmp3lame");
  EXPECT_EQ(ResolveEncoderName("mpeg4", TEncoderKind::Video), "mpeg4");
  EXPECT_EQ(ResolveEncoderName("", TEncoderKind::Video), "");
  for (const char* bad : {"msmpeg4v1", "no_such_encoder"}) {
    try {
      ResolveEncoderName(bad, TEncoderKind::Video);
      ADD_FAILURE() << bad << " resolved";
    } catch (const FFmpegException& e) {
      EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(ResolveEncoderName("mpeg4", TEncoderKind::Audio), FFmpegException);
}

// Every built-in profile has a complete section whose choices the settings dialog knows and
// whose encoders exist in the codec libraries.
TEST(Profiles, DeliveredProfileFileIsComplete) {
  testsupport::LoadEngineLibs();
  TIniFile format(DeliveredFormatIni());
  int count = 0;
  for (const TProfileGroup& group : BuiltinProfileGroups()) {
    for (const TProfileEntry& entry : group.Entries) {
      ++count;
      SCOPED_TRACE(entry.Name);
      const std::string s = ProfileSection(entry.Code);
      ASSERT_TRUE(format.SectionExists(s));
      EXPECT_FALSE(format.ReadString(s, "FileExt", "").empty());
      EXPECT_FALSE(format.ReadString(s, "Format", "").empty());
      for (const char* key : {"VideoSize", "VideoBitRate", "FrameRate", "VideoEncoder", "AudioBitRate", "SampleRate",
                              "AudioEncoder", "Channel", "Volume"}) {
        ASSERT_TRUE(format.ValueExists(s, key)) << key;
        std::vector<std::string> list = SplitProfileList(format.ReadString(s, key, "null"));
        int32_t index = format.ReadInteger(s, std::string("i") + key, -1);
        if (!list.empty()) {
          EXPECT_TRUE(index >= 0 && size_t(index) < list.size()) << key;
        }
        const std::string k = key;
        for (const std::string& e : list) {
          bool known = k == "VideoEncoder"   ? bool(VideoEncoderForDisplay(e))
                       : k == "AudioEncoder" ? bool(AudioEncoderForDisplay(e))
                       : k == "Channel"      ? bool(ChannelForDisplay(e))
                       : k == "Volume"       ? bool(VolumeForDisplay(e))
                                             : true;
          EXPECT_TRUE(known) << key << ": " << e;
        }
      }
      for (const char* key : {"paraSampleRate", "paraAudioBitRate", "paraVideoBitRate"})
        EXPECT_TRUE(format.ValueExists(s, key)) << key;

      TProfileParams p = ReadProfileParams(TIniFile("/nonexistent/settings.ini"), format, entry.Code);
      const bool audioGroup = entry.Code >= 300;
      EXPECT_EQ(p.VideoEncoder.empty(), audioGroup);
      EXPECT_NO_THROW(ResolveEncoderName(p.AudioEncoder, TEncoderKind::Audio));
      if (!audioGroup) {
        EXPECT_NO_THROW(ResolveEncoderName(p.VideoEncoder, TEncoderKind::Video));
        int32_t w = 0, h = 0;
        size_t x = p.VideoSize.find('x');
        ASSERT_NE(x, std::string::npos);
        ASSERT_TRUE(IsInteger(p.VideoSize.substr(0, x), &w) && IsInteger(p.VideoSize.substr(x + 1), &h));
        EXPECT_TRUE(w > 0 && h > 0 && w % 2 == 0 && h % 2 == 0) << p.VideoSize;
      }
      if (p.VideoEncoder == "libx264") {
        for (const char* key : {"paraMaxBitrate", "paraBufferSize", "paraLevel", "paraGop", "paraCoder"}) {
          EXPECT_TRUE(format.ValueExists(s, key)) << key;
        }
      }
    }
  }
  EXPECT_EQ(count, 26);
}
