// The option layer: dispatcher, handlers, presets and the generic option holder, on the real
// libraries loaded at run time.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>

#include "engine/transcoder/options.h"
#include "engine/transcoder/presets.h"
#include "media/errors.h"
#include "media/ffwrap.h"
#include "media/gcc_warnings.h"
#include "media/loader.h"
#include "media/logger.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace {

// The option layer alone: no outputs, no targets, no hook modules yet.
class TOptionsOnly : public TTranscoderOptions {
protected:
  int OutputFileCount() const override { return 0; }
  void NewStream(AVMediaType) override { FAIL() << "no output to add a stream to"; }
  void SetTarget(const std::string&, const std::string&, const std::string&) override { FAIL() << "no target"; }
  bool AddVideoHook(const std::vector<std::string>&) override { return false; }
};

class OptionsTest : public ::testing::Test {
protected:
  void SetUp() override {
    testsupport::LoadEngineLibs();
    log_.emplace(llInfo);
    opts_ = std::make_unique<TOptionsOnly>();
  }
  void TearDown() override { log_.reset(); }

  bool Logged(TLogLevel level, const std::string& part) {
    for (const testsupport::TLoggedLine& l : log_->Lines())
      if (l.level == level && l.msg.find(part) != std::string::npos) return true;
    return false;
  }
  int Count(TLogLevel level) {
    int n = 0;
    for (const testsupport::TLoggedLine& l : log_->Lines()) n += l.level == level;
    return n;
  }
  void ClearLog() { log_->Clear(); }
  // The message of the exception ParseOption raises ("" when none).
  std::string ErrorOf(const std::string& name, const std::string& value) {
    try {
      opts_->ParseOption(name, value);
    } catch (const FFmpegException& e) {
      return e.what();
    }
    return "";
  }

  std::unique_ptr<TOptionsOnly> opts_;
  std::optional<testsupport::LogCapture> log_;
};

TEST_F(OptionsTest, ResetRestoresTheDefaults) {
  TOptionState& o = opts_->Opt;
  opts_->ParseOption("ac", "6");
  opts_->ParseOption("vcodec", "copy");
  opts_->ParseOption("b", "500000");
  opts_->ResetOptions();
  EXPECT_EQ(o.AudioChannels, 2);
  EXPECT_EQ(o.AudioSampleRate, 44100);
  EXPECT_FALSE(o.VideoStreamCopy);
  EXPECT_EQ(o.AudioVolume, 256);
  EXPECT_EQ(o.RecordingTime, INT64_MAX);
  EXPECT_EQ(o.VideoMaxFrames, INT32_MAX);
  EXPECT_EQ(o.TopFieldFirst, -1);
  EXPECT_EQ(o.IntraDcPrecision, 8);
  EXPECT_DOUBLE_EQ(o.MuxPreload, 0.5);
  EXPECT_DOUBLE_EQ(o.MuxMaxDelay, 0.7);
  EXPECT_DOUBLE_EQ(o.AudioQScale, -99999.0);
  EXPECT_EQ(o.ScalerFlags, 4);
  EXPECT_TRUE(opts_->Holder.Names.empty());
  // The library's defaults for each media type again.
  EXPECT_EQ(opts_->Holder.CodecContexts[AVMEDIA_TYPE_VIDEO]->bit_rate, 200000);
  EXPECT_EQ(opts_->Holder.CodecContexts[AVMEDIA_TYPE_AUDIO]->bit_rate, 128000);
}

TEST_F(OptionsTest, RefusalsCarryTheirTextAndLeaveTheStateAsItWas) {
  std::string matrix63, matrix64;
  for (int i = 1; i <= 64; ++i) {
    ORVANE_STRING_RESTRICT_FALSE_ALARM_BEGIN
    if (i < 64) matrix63 += (i > 1 ? "," : "") + std::to_string(i);
    matrix64 += (i > 1 ? "," : "") + std::to_string(i);
    ORVANE_STRING_RESTRICT_FALSE_ALARM_END
  }
  struct Case {
    const char* Name;
    std::string Value;
    std::string Error;
  };
  // clang-format off
  const Case cases[] = {
      {"threads", "2", "TODO: option - threads"},
      {"padtop", "16", "Please use vfilters=pad"},
      {"padcolor", "", "Please use vfilters=pad"},
      {"pass", "3", "pass number can be only 1 or 2"},
      {"qscale", "0", "qscale must be > 0.0 and <= 255"},
      {"qscale", "256", "qscale must be > 0.0 and <= 255"},
      {"vtag", "XVI", "video tag parameter must be 4 chars"},
      {"atag", "mp4a1", "audio tag parameter must be 4 chars"},
      {"stag", "", "subtitle tag parameter must be 4 chars"},
      {"r", "fast", "Incorrect frame rate"},
      {"r", "-25", "Incorrect frame rate"},
      {"s", "big", "Incorrect frame size"},
      {"aspect", "0", "Incorrect aspect ratio specification."},
      {"aspect", "4:0", "Incorrect aspect ratio specification."},
      {"aspect", "wide", "Incorrect aspect ratio specification."},
      {"pix_fmt", "yuv999", "Unknown pixel format requested: yuv999"},
      {"t", "soon", "Invalid duration specification for t: soon"},
      {"ss", "1:xx", "Invalid duration specification for ss: 1:xx"},
      {"timestamp", "yesterday", "Invalid date specification for timestamp: yesterday"},
      {"metadata", "title", "Missing ="},
      {"itsscale", "20:1.5", "stream index over MAX_STREAMS(20)"},
      {"streamid", "3", "Invalid value \"3\" for option \"streamid\", required syntax is \"index:value\""},
      {"vbsf", "no_such_filter=x", "Unknown bitstream filter no_such_filter=x"},
      {"newvideo", "", "At least one output file must be specified"},
      {"newaudio", "", "At least one output file must be specified"},
      {"intra_matrix", matrix63, "Syntax error in matrix \"" + matrix63 + "\" at coeff 62"},
      {"inter_matrix", matrix64 + ",65", "Syntax error in matrix \"" + matrix64 + ",65\" at coeff 63"},
      {"ar", "44.1k", "'44.1k' is not a valid integer value"},
      {"fs", "", "'' is not a valid integer value"},
      {"aq", "high", "'high' is not a valid floating point value"},
      {"vhook", "", "Failed to add video hook function: "},
      {"loglevel", "chatty", "Invalid value \"chatty\" for option \"loglevel\""},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Name) + "=" + c.Value);
    EXPECT_EQ(ErrorOf(c.Name, c.Value), c.Error);
  }
  const TOptionState& o = opts_->Opt;
  EXPECT_EQ(o.DoPass, 0);
  EXPECT_EQ(o.VideoQScale, 0.0);
  EXPECT_EQ(o.VideoCodecTag, 0u);
  EXPECT_EQ(o.FrameRate.den, 0);
  EXPECT_EQ(o.FrameWidth, 0);
  EXPECT_EQ(o.FrameAspectRatio, 0.0);
  EXPECT_EQ(o.FramePixFmt, AV_PIX_FMT_NONE);
  EXPECT_EQ(o.RecordingTime, INT64_MAX);
  EXPECT_TRUE(o.Metadata.empty());
  EXPECT_TRUE(o.IntraMatrix.empty());
  EXPECT_TRUE(o.VideoBitstreamFilters.empty());
  EXPECT_FALSE(o.UsesHookModules);
  EXPECT_EQ(o.AudioSampleRate, 44100);
}

TEST_F(OptionsTest, ValuesAreParsedIntoTheState) {
  TOptionState& o = opts_->Opt;
  opts_->ParseOption("r", "ntsc");
  EXPECT_EQ(o.FrameRate.num, 30000);
  EXPECT_EQ(o.FrameRate.den, 1001);
  opts_->ParseOption("s", "vga");
  EXPECT_EQ(o.FrameWidth, 640);
  EXPECT_EQ(o.FrameHeight, 480);
  opts_->ParseOption("s", "320x240");
  EXPECT_EQ(o.FrameWidth, 320);
  opts_->ParseOption("aspect", "16:9");
  EXPECT_NEAR(o.FrameAspectRatio, 16.0 / 9.0, 1e-9);
  opts_->ParseOption("aspect", "1.5");
  EXPECT_DOUBLE_EQ(o.FrameAspectRatio, 1.5);
  opts_->ParseOption("t", "00:01:02.5");
  EXPECT_EQ(o.RecordingTime, 62500000);
  EXPECT_EQ(o.TotalDuration, 62500000);
  opts_->ParseOption("ss", "5");
  EXPECT_EQ(o.StartTime, 5000000);
  opts_->ParseOption("timestamp", "1970-01-01 00:00:10.6Z");
  EXPECT_EQ(o.RecTimestamp, 11);  // whole seconds, rounded
  opts_->ParseOption("vtag", "XVID");
  EXPECT_EQ(o.VideoCodecTag, uint32_t('X' | 'V' << 8 | 'I' << 16 | 'D' << 24));
  opts_->ParseOption("pix_fmt", "yuv422p");
  EXPECT_EQ(o.FramePixFmt, AV_PIX_FMT_YUV422P);
  opts_->ParseOption("sample_fmt", "s16");
  EXPECT_EQ(o.AudioSampleFmt, AV_SAMPLE_FMT_S16);
  opts_->ParseOption("intra", "");
  EXPECT_TRUE(o.IntraOnly);
  opts_->ParseOption("vn", "0");
  EXPECT_FALSE(o.VideoDisable);
  opts_->ParseOption("copyts", "0");  // set whatever the value
  EXPECT_TRUE(o.CopyTs);
  opts_->ParseOption("f", "pgmyuv");
  EXPECT_EQ(o.FileFormat, "image2");
  EXPECT_TRUE(o.PgmyuvCompat);
  EXPECT_TRUE(Logged(llInfo, "pgmyuv format is deprecated, use image2"));

  opts_->ParseOption("map", "0.1");
  opts_->ParseOption("map", "0x1.2:0.3");
  ASSERT_EQ(o.StreamMaps.size(), 2u);
  EXPECT_EQ(o.StreamMaps[0].SyncFileIndex, 0);
  EXPECT_EQ(o.StreamMaps[0].SyncStreamIndex, 1);
  EXPECT_EQ(o.StreamMaps[1].FileIndex, 1);
  EXPECT_EQ(o.StreamMaps[1].StreamIndex, 2);
  EXPECT_EQ(o.StreamMaps[1].SyncStreamIndex, 3);
  opts_->ParseOption("map_meta_data", "0:1");
  ASSERT_EQ(o.MetaDataMaps.size(), 1u);
  EXPECT_EQ(o.MetaDataMaps[0].InputFile, 1);
  opts_->ParseOption("itsscale", "1:0.5");
  EXPECT_EQ(o.InputTsScale[1], 0.5);
  opts_->ParseOption("streamid", "2:301");
  ASSERT_EQ(o.StreamIdMap.size(), 3u);
  EXPECT_EQ(o.StreamIdMap[2], 301);
  opts_->ParseOption("metadata", "title=a=b");
  ASSERT_EQ(o.Metadata.size(), 1u);
  EXPECT_EQ(o.Metadata[0].Key, "title");
  EXPECT_EQ(o.Metadata[0].Value, "a=b");
  opts_->ParseOption("vbsf", "h264_mp4toannexb");
  opts_->ParseOption("absf", "=ignored");
  ASSERT_EQ(o.VideoBitstreamFilters.size(), 1u);
  EXPECT_STREQ(o.VideoBitstreamFilters[0]->name, "h264_mp4toannexb");
  EXPECT_TRUE(o.AudioBitstreamFilters.empty());

  std::string matrix;
  ORVANE_STRING_RESTRICT_FALSE_ALARM_BEGIN
  for (int i = 1; i <= 64; ++i) matrix += (i > 1 ? "," : "") + std::to_string(i + 8);
  ORVANE_STRING_RESTRICT_FALSE_ALARM_END
  opts_->ParseOption("intra_matrix", matrix);
  ASSERT_EQ(o.IntraMatrix.size(), 64u);
  EXPECT_EQ(o.IntraMatrix[0], 9);
  EXPECT_EQ(o.IntraMatrix[63], 72);

  opts_->ParseOption("vcodec", "libx264");
  opts_->ParseOption("acodec", "copy");
  EXPECT_EQ(o.VideoCodecName, "libx264");
  EXPECT_TRUE(o.AudioStreamCopy);
  EXPECT_TRUE(o.AudioCodecName.empty());
  opts_->ParseOption("vcodec", "copy");
  EXPECT_TRUE(o.VideoStreamCopy);
  EXPECT_EQ(o.VideoCodecName, "libx264");  // copy leaves the name as it is

  opts_->ParseOption("version", "");
  EXPECT_TRUE(Logged(llInfo, "Do nothing: option - version"));
  opts_->ParseOption("timelimit", "10");
  EXPECT_TRUE(Logged(llWarning, "Warning: -timelimit is not supported by this program"));
  opts_->ParseOption("loglevel", "warning");
  EXPECT_EQ(GetFFLogger().LogLevel(), llWarning);
}

TEST_F(OptionsTest, CropsAreCheckedAgainstTheCurrentFrameSize) {
  const std::string vertical =
      "Vertical crop dimensions are outside the range of the original image.\nRemember to crop first and scale second.";
  const std::string horizontal =
      "Horizontal crop dimensions are outside the range of the original image.\nRemember to crop first and scale second.";
  struct Step {
    const char* Name;
    const char* Value;
    std::string Error;
    int Width, Height;
  };
  // clang-format off
  const Step steps[] = {
      {"croptop", "10", "", 320, 230},       // 240 lines, 10 cut
      {"croptop", "300", vertical, 320, 230},
      {"cropbottom", "230", vertical, 320, 230},
      {"cropbottom", "20", "", 320, 210},
      {"croptop", "30", "", 320, 190},       // replaces the first top crop
      {"cropleft", "0", "", 320, 190},       // ignored
      {"cropright", "-5", "", 320, 190},     // ignored
      {"cropleft", "320", horizontal, 320, 190},
      {"cropleft", "16", "", 304, 190},
  };
  // clang-format on
  opts_->ParseOption("s", "320x240");  // what opening a 320x240 input leaves
  for (const Step& s : steps) {
    SCOPED_TRACE(std::string(s.Name) + "=" + s.Value);
    EXPECT_EQ(ErrorOf(s.Name, s.Value), s.Error);
    EXPECT_EQ(opts_->Opt.FrameWidth, s.Width);
    EXPECT_EQ(opts_->Opt.FrameHeight, s.Height);
  }
  EXPECT_EQ(opts_->Opt.FrameTopBand, 30);
  EXPECT_EQ(opts_->Opt.FrameBottomBand, 20);
  EXPECT_EQ(opts_->Opt.FrameLeftBand, 16);
  EXPECT_EQ(opts_->Opt.FrameRightBand, 0);
  EXPECT_TRUE(Logged(llWarning, "CropXXX is deprecated in favor of the crop avfilter"));
  // Before any input the frame size is 0 x 0: every crop is outside it.
  opts_->ResetOptions();
  EXPECT_EQ(ErrorOf("croptop", "2"), vertical);
}

TEST_F(OptionsTest, LowBitRateWarning) {
  const std::string warning = "WARNING: The bitrate parameter is set too low";
  struct Case {
    const char* Name;
    const char* Value;
    bool Warns;
    AVMediaType Type;
    int64_t Rate;
  };
  // clang-format off
  const Case cases[] = {
      {"ab", "128", true, AVMEDIA_TYPE_AUDIO, 128},
      {"ab", "128000", false, AVMEDIA_TYPE_AUDIO, 128000},
      {"vb", "800", true, AVMEDIA_TYPE_VIDEO, 800},
      {"b", "1500000", false, AVMEDIA_TYPE_VIDEO, 1500000},
      {"b", "999", true, AVMEDIA_TYPE_VIDEO, 999},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Name) + "=" + c.Value);
    opts_->ResetOptions();
    ClearLog();
    opts_->ParseOption(c.Name, c.Value);
    EXPECT_EQ(Logged(llWarning, warning), c.Warns);
    EXPECT_EQ(opts_->Holder.CodecContexts[c.Type]->bit_rate, c.Rate);
  }
  // "ab" reaches only the audio encoder option.
  EXPECT_NE(opts_->Holder.CodecContexts[AVMEDIA_TYPE_VIDEO]->bit_rate, 128000);
}

TEST_F(OptionsTest, GenericHolderFindsLibraryAndEncoderPrivateOptions) {
  TOptionHolder& h = opts_->Holder;
  bool found = true;
  EXPECT_FALSE(SetGenericOption(h, "g", "", &found));  // empty value: nothing touched
  EXPECT_FALSE(found);
  EXPECT_FALSE(SetGenericOption(h, "no_such_option", "1", &found));
  EXPECT_FALSE(found);

  ClearLog();
  EXPECT_FALSE(SetGenericOption(h, "g", "many", &found));
  EXPECT_TRUE(found);
  EXPECT_TRUE(Logged(llError, "Invalid value \"many\" for option \"g\""));

  EXPECT_TRUE(SetGenericOption(h, "g", "48"));                // codec context
  EXPECT_TRUE(SetGenericOption(h, "packetsize", "2324"));     // format context
  EXPECT_TRUE(SetGenericOption(h, "sws_flags", "bilinear"));  // scaler
  EXPECT_TRUE(SetGenericOption(h, "crf", "21.5"));            // encoder private
  EXPECT_TRUE(SetGenericOption(h, "preset", "veryfast"));
  EXPECT_TRUE(SetGenericOption(h, "x264-params", "keyint=77:ref=2"));
  EXPECT_TRUE(SetGenericOption(h, "muxrate", "2000000"));   // muxer private
  EXPECT_TRUE(SetGenericOption(h, "flags", "+loop+psnr"));  // a flag set
  EXPECT_EQ(h.CodecContexts[AVMEDIA_TYPE_VIDEO]->gop_size, 48);
  EXPECT_EQ(h.FormatContext->packet_size, 2324u);
  ASSERT_NE(EncoderPrivateOption(h, "crf"), nullptr);
  EXPECT_EQ(*EncoderPrivateOption(h, "crf"), "21.5");

  // Unknown names in the dispatcher end here and are otherwise ignored.
  opts_->ParseOption("no_such_option", "1");
  EXPECT_TRUE(Logged(llWarning, "Unrecognized option 'no_such_option'"));

  // Applied onto a real encoder context and its private data.
  const AVCodec* x264 = ff::avcodec_find_encoder_by_name("libx264");
  ASSERT_NE(x264, nullptr);
  ffw::CodecContext enc(ff::avcodec_alloc_context3(x264));
  enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER | AV_CODEC_FLAG_GRAY;
  const int encoderDefaults = enc->flags & AV_CODEC_FLAG_CLOSED_GOP;  // the encoder's own default
  ASSERT_TRUE(
      ApplyGenericOptions(h, enc.get(), AVMEDIA_TYPE_VIDEO, AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM));
  EXPECT_EQ(enc->gop_size, 48);
  // A flag set adds its flags; the flags the context had stay.
  EXPECT_EQ(enc->flags, AV_CODEC_FLAG_GLOBAL_HEADER | AV_CODEC_FLAG_GRAY | AV_CODEC_FLAG_LOOP_FILTER |
                            AV_CODEC_FLAG_PSNR | encoderDefaults);
  double crf = 0;
  uint8_t* preset = nullptr;
  ASSERT_GE(ff::av_opt_get(enc->priv_data, "preset", 0, &preset), 0);
  ffw::AvBuffer<uint8_t> presetOwner(preset);
  EXPECT_STREQ(reinterpret_cast<char*>(preset), "veryfast");
  uint8_t* crfText = nullptr;
  ASSERT_GE(ff::av_opt_get(enc->priv_data, "crf", 0, &crfText), 0);
  ffw::AvBuffer<uint8_t> crfOwner(crfText);
  crf = std::atof(reinterpret_cast<char*>(crfText));
  EXPECT_DOUBLE_EQ(crf, 21.5);

  // An encoder without these private options takes only the generic ones.
  const AVCodec* mpeg4 = ff::avcodec_find_encoder_by_name("mpeg4");
  ASSERT_NE(mpeg4, nullptr);
  ffw::CodecContext other(ff::avcodec_alloc_context3(mpeg4));
  EXPECT_TRUE(
      ApplyGenericOptions(h, other.get(), AVMEDIA_TYPE_VIDEO, AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM));
  EXPECT_EQ(other->gop_size, 48);

  // The muxer option reaches a muxer that has it.
  AVFormatContext* raw = nullptr;
  ASSERT_GE(ff::avformat_alloc_output_context2(&raw, nullptr, "vob", nullptr), 0);
  ffw::FormatContext mux(raw);
  EXPECT_TRUE(ApplyGenericOptions(h, mux.get(), AV_OPT_FLAG_ENCODING_PARAM));
  EXPECT_EQ(mux->packet_size, 2324u);
  uint8_t* rate = nullptr;
  ASSERT_GE(ff::av_opt_get(mux->priv_data, "muxrate", 0, &rate), 0);
  ffw::AvBuffer<uint8_t> rateOwner(rate);
  EXPECT_STREQ(reinterpret_cast<char*>(rate), "2000000");
}

TEST_F(OptionsTest, LegacyEncoderOptionsAreTranslated) {
  struct Case {
    const char* Name;
    const char* Value;
    std::vector<TOptionPair> Expected;
  };
  // clang-format off
  const std::vector<Case> cases = {
      {"directpred", "3", {{"direct-pred", "3"}}},
      {"cqp", "0", {{"qp", "0"}}},
      {"flags2", "+bpyramid-wpred+dct8x8", {{"b-pyramid", "normal"}, {"weightb", "0"}, {"8x8dct", "1"}}},
      {"flags2", "+fast-mbtree", {{"flags2", "+fast"}, {"mbtree", "0"}}},
      {"flags", "-loop", {{"flags", "-loop"}, {"x264-params", "deblock=false"}}},
      {"partitions", "+parti8x8+parti4x4-partp8x8-partb8x8", {{"partitions", "i8x8,i4x4"}}},
      {"partitions", "-parti8x8-parti4x4-partp8x8-partp4x4-partb8x8", {{"partitions", "none"}}},
  };
  // clang-format on
  TOptionHolder& h = opts_->Holder;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Name) + "=" + c.Value);
    std::vector<TOptionPair> out;
    ASSERT_TRUE(TranslateLegacyOption(h, c.Name, c.Value, out));
    ASSERT_EQ(out.size(), c.Expected.size());
    for (size_t i = 0; i < out.size(); ++i) {
      EXPECT_EQ(out[i].Name, c.Expected[i].Name);
      EXPECT_EQ(out[i].Value, c.Expected[i].Value);
    }
  }
  std::vector<TOptionPair> out;
  EXPECT_FALSE(TranslateLegacyOption(h, "flags2", "+fast", out));  // modern flags pass unchanged
  EXPECT_FALSE(TranslateLegacyOption(h, "partitions", "i8x8,p8x8", out));
  EXPECT_FALSE(TranslateLegacyOption(h, "subq", "7", out));

  // Relative changes build on what the holder has; "x264-params" entries are merged.
  ASSERT_TRUE(opts_->SetGenericOption("x264-params", "keyint=77"));
  ASSERT_TRUE(opts_->SetGenericOption("partitions", "+partp8x8+partb8x8"));
  ASSERT_TRUE(opts_->SetGenericOption("partitions", "+parti4x4-partb8x8"));
  ASSERT_TRUE(opts_->SetGenericOption("cmp", "+chroma"));
  EXPECT_EQ(*EncoderPrivateOption(h, "partitions"), "p8x8,i4x4");
  EXPECT_EQ(*EncoderPrivateOption(h, "x264-params"), "keyint=77:chroma-me=1");
}

TEST_F(OptionsTest, PresetsResolveByCodecNameAndFromFiles) {
  TOptionState& o = opts_->Opt;
  // "hq" with the video codec libx264 is the built-in "libx264-hq".
  opts_->ParseOption("vcodec", "libx264");
  opts_->ParseOption("vpre", "hq");
  EXPECT_EQ(opts_->Holder.CodecContexts[AVMEDIA_TYPE_VIDEO]->refs, 4);
  EXPECT_EQ(opts_->Holder.CodecContexts[AVMEDIA_TYPE_VIDEO]->me_subpel_quality, 8);
  ASSERT_NE(EncoderPrivateOption(opts_->Holder, "me_method"), nullptr);
  EXPECT_EQ(*EncoderPrivateOption(opts_->Holder, "me_method"), "umh");
  EXPECT_EQ(FindBuiltinPreset("LIBX264-HQ"), FindBuiltinPreset("libx264-hq"));
  opts_->ParseOption("vpre", "");  // nothing happens

  testsupport::TempDir dir;
  const std::string missing = dir.file("missing.ffpreset");
  EXPECT_EQ(ErrorOf("vpre", missing), "Preset \"" + missing + "\" not found");
  EXPECT_EQ(ErrorOf("fpre", "libx264-hq"), "Preset \"libx264-hq\" not found");  // files only

  const std::string good = dir.file("good.ffpreset");
  std::ofstream(good) << "  \r\nVCODEC = mpeg4\r\n\r\nacodec=copy\n g = 99 \n";
  opts_->ParseOption("fpre", good);
  EXPECT_EQ(o.VideoCodecName, "mpeg4");
  EXPECT_TRUE(o.AudioStreamCopy);
  EXPECT_EQ(opts_->Holder.CodecContexts[AVMEDIA_TYPE_VIDEO]->gop_size, 99);

  // A syntax error anywhere changes nothing.
  const std::string bad = dir.file("bad.ffpreset");
  std::ofstream(bad) << "g=12\nbf\n";
  EXPECT_EQ(ErrorOf("vpre", bad), bad + ": Invalid syntax: \"bf\"");
  EXPECT_EQ(opts_->Holder.CodecContexts[AVMEDIA_TYPE_VIDEO]->gop_size, 99);
  std::ofstream(bad) << "g=12\n=3\n";
  EXPECT_EQ(ErrorOf("vpre", bad), bad + ": Invalid syntax: \"=3\"");

  const std::string refused = dir.file("refused.ffpreset");
  std::ofstream(refused) << "bf = lots\n";
  EXPECT_EQ(ErrorOf("apre", refused),
            refused + ": Invalid option or argument: \"bf = lots\", parsed as \"bf\" = \"lots\"");
  std::ofstream(refused) << "frobnicate=1\n";
  EXPECT_EQ(ErrorOf("spre", refused),
            refused + ": Invalid option or argument: \"frobnicate=1\", parsed as \"frobnicate\" = \"1\"");
}

// ---- The built-in presets on a real H.264 encoder ----

ffw::CodecContext OpenX264(const TTranscoderOptions& opts, int& openResult) {
  const AVCodec* codec = ff::avcodec_find_encoder_by_name("libx264");
  ffw::CodecContext enc(ff::avcodec_alloc_context3(codec));
  enc->width = 64;
  enc->height = 48;
  enc->pix_fmt = AV_PIX_FMT_YUV420P;
  enc->time_base = {1, 25};
  enc->framerate = {25, 1};
  EXPECT_TRUE(ApplyGenericOptions(opts.Holder, enc.get(), AVMEDIA_TYPE_VIDEO,
                                  AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM));
  std::lock_guard<std::mutex> g(CodecLock());
  openResult = ff::avcodec_open2(enc.get(), codec, nullptr);
  return enc;
}

TEST_F(OptionsTest, EveryBuiltinPresetOpensTheEncoder) {
  ASSERT_NE(ff::avcodec_find_encoder_by_name("libx264"), nullptr);
  GetFFLogger().SetLogLevel(llError);
  for (int i = 0; i < kBuiltinPresetCount; ++i) {
    const char* name = BuiltinPresets()[i].Name;
    SCOPED_TRACE(name);
    ClearLog();
    TOptionsOnly opts;
    opts.ParseOption("vcodec", "libx264");
    try {
      opts.ParseOption("vpre", name);
    } catch (const FFmpegException& e) {
      ADD_FAILURE() << e.what();
      continue;
    }
    int result = -1;
    ffw::CodecContext enc = OpenX264(opts, result);
    EXPECT_GE(result, 0);
    EXPECT_EQ(Count(llError), 0) << log_->Text(llError);
  }
}

// Encodes a few synthetic frames and returns the encoder's settings text and the first SPS.
struct TEncoded {
  std::map<std::string, std::string> Settings;
  int Profile = -1;
  int Level = -1;
};

TEncoded EncodeFewFrames(AVCodecContext* enc) {
  TEncoded result;
  std::string stream;
  ffw::Frame frame = ffw::MakeFrame();
  frame->format = enc->pix_fmt;
  frame->width = enc->width;
  frame->height = enc->height;
  EXPECT_GE(ff::av_frame_get_buffer(frame.get(), 0), 0);
  ffw::Packet pkt = ffw::MakePacket();
  auto drain = [&] {
    while (ff::avcodec_receive_packet(enc, pkt.get()) >= 0) {
      stream.append(reinterpret_cast<const char*>(pkt->data), size_t(pkt->size));
      ff::av_packet_unref(pkt.get());
    }
  };
  for (int n = 0; n < 5; ++n) {
    for (int p = 0; p < 3; ++p) {
      const int h = p ? enc->height / 2 : enc->height, w = p ? enc->width / 2 : enc->width;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
          frame->data[p][y * frame->linesize[p] + x] = uint8_t((x * 3 + y * 5 + n * 7) * (p + 1));
    }
    frame->pts = n;
    EXPECT_GE(ff::avcodec_send_frame(enc, frame.get()), 0);
    drain();
  }
  ff::avcodec_send_frame(enc, nullptr);
  drain();

  const size_t sps = stream.find(std::string("\x00\x00\x01\x67", 4));
  if (sps != std::string::npos && sps + 6 < stream.size()) {
    result.Profile = uint8_t(stream[sps + 4]);
    result.Level = uint8_t(stream[sps + 6]);
  }
  const size_t start = stream.find("cabac=");
  if (start == std::string::npos) return result;
  const size_t end = stream.find('\0', start);
  std::istringstream words(stream.substr(start, end == std::string::npos ? std::string::npos : end - start));
  for (std::string w; words >> w;) {
    const size_t eq = w.find('=');
    if (eq != std::string::npos) result.Settings[w.substr(0, eq)] = w.substr(eq + 1);
  }
  return result;
}

TEST_F(OptionsTest, PresetSettingsReachTheEncodedStream) {
  struct Case {
    const char* Preset;
    std::map<std::string, std::string> Settings;
    int Profile;  // -1: not checked
    int Level;
  };
  // clang-format off
  const Case cases[] = {
      {"libx264-baseline", {{"cabac", "0"}, {"bframes", "0"}, {"8x8dct", "0"}, {"weightp", "0"}}, 66, -1},
      {"libx264-ipod320",
       {{"cabac", "0"}, {"bframes", "0"}, {"8x8dct", "0"}, {"weightp", "0"}, {"vbv_maxrate", "768"},
        {"vbv_bufsize", "3000"}},
       66, 13},
      {"libx264-psp",
       {{"cabac", "1"}, {"ref", "1"}, {"bframes", "3"}, {"me", "umh"}, {"subme", "7"}, {"me_range", "16"},
        {"trellis", "2"}, {"direct", "1"}, {"b_adapt", "1"}, {"keyint", "250"}, {"keyint_min", "25"},
        {"scenecut", "40"}, {"bitrate", "1250"}, {"vbv_maxrate", "1500"}, {"vbv_bufsize", "4000"}, {"qpmin", "10"},
        {"qpmax", "51"}, {"qpstep", "4"}, {"deblock", "1:0:0"}, {"chroma_me", "1"}, {"analyse", "0x3:0x113"}},
       -1, 30},
      {"libx264-lossless_fast",
       {{"cabac", "0"}, {"me", "hex"}, {"subme", "3"}, {"weightp", "0"}, {"rc", "cqp"},
        {"qp", "0"}, {"analyse", "0x1:0x11"}},
       244, -1},
      {"libx264-ultrafast",
       {{"cabac", "0"}, {"deblock", "0:0:0"}, {"me", "dia"}, {"subme", "0"}, {"bframes", "0"},
        {"mbtree", "0"}, {"8x8dct", "0"}, {"weightp", "0"}, {"scenecut", "0"}}, -1, -1},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Preset);
    TOptionsOnly opts;
    opts.ParseOption("vcodec", "libx264");
    opts.ParseOption("vpre", c.Preset);
    int result = -1;
    ffw::CodecContext enc = OpenX264(opts, result);
    ASSERT_GE(result, 0);
    const TEncoded e = EncodeFewFrames(enc.get());
    ASSERT_FALSE(e.Settings.empty()) << "no settings text in the stream";
    for (const auto& [key, value] : c.Settings) {
      auto it = e.Settings.find(key);
      ASSERT_NE(it, e.Settings.end()) << key;
      EXPECT_EQ(it->second, value) << key;
    }
    if (c.Profile >= 0) {
      EXPECT_EQ(e.Profile, c.Profile);
    }
    if (c.Level >= 0) {
      EXPECT_EQ(e.Level, c.Level);
    }
  }
}

}  // namespace
