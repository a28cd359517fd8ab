// The settings, file information, folder chooser, splash and about windows driven through
// their real widgets under the offscreen platform, with real clips probed by the real engine;
// the settings dialog's choices followed through a real conversion checked with ffprobe.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "app/apperror.h"
#include "app/core/inifile.h"
#include "app/core/jobprep.h"
#include "app/core/optionbuilder.h"
#include "app/core/settings.h"
#include "app/joblist.h"
#include "app/mainwindow.h"
#include "controls/imagebutton.h"
#include "controls/theme.h"
#include "dialogs/about.h"
#include "dialogs/cover.h"
#include "dialogs/fileinfo.h"
#include "dialogs/folderchooser.h"
#include "dialogs/settings.h"
#include "engine/engine.h"
#include "media/probe.h"
#include "render/renderer.h"
#include "tests/support/gui_support.h"
#include "tests/support/test_support.h"

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QStringList& l, std::ostream* os) {
  *os << "{";
  for (const QString& s : l) *os << " \"" << s.toStdString() << "\"";
  *os << " }";
}

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

const std::string kFormatIni = std::string(ORVANE_SOURCE_DIR) + "/data/orvanepspformat.ini";

// The message boxes a window has open, as "title: text"; they are closed.
QStringList TakeMessages(QWidget* parent) {
  QStringList out;
  for (QMessageBox* box : parent->findChildren<QMessageBox*>())
    if (box->isVisible()) {
      out << box->windowTitle() + ": " + box->text();
      box->done(QMessageBox::Ok);
    }
  return out;
}

// ---- Settings dialog ----

class SettingsDialogTest : public ::testing::Test {
protected:
  void SetUp() override {
    settingsPath = dir.file("cfg/settings.ini");
    formatPath = kFormatIni;
  }
  // The dialog for profile `code`, shown and active.
  std::unique_ptr<TfrmSettings> Open(int code, const std::string& name = "Profile") {
    settings = std::make_unique<TAppSettings>(settingsPath, formatPath);
    settings->WriteFormat(code, name);
    auto d = std::make_unique<TfrmSettings>(nullptr, *settings);
    d->show();
    d->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(d.get()));
    return d;
  }
  std::string Stored(int code, const std::string& key) {
    return TIniFile(settingsPath).ReadString("formatInfo" + std::to_string(code), key, "<none>");
  }
  // A format-profile file of our own with one section.
  void UseFormatFile(const std::string& content) {
    formatPath = dir.file("format.ini");
    std::ofstream(formatPath) << content;
  }
  // Types into an editable field with real key events and leaves it with Tab.
  static void TypeAndLeave(QComboBox* combo, const QString& text) {
    combo->setFocus();
    combo->clearEditText();
    QTest::keyClicks(combo, text);
    QTest::keyClick(combo, Qt::Key_Tab);
  }

  TempDir dir;
  std::string settingsPath, formatPath;
  std::unique_ptr<TAppSettings> settings;
};

TEST_F(SettingsDialogTest, FrameSizeIsCheckedWhenTheFieldIsLeft) {
  struct Case {
    QString typed;
    bool byKeys;
    QString shown;
    QStringList messages;
  };
  const QString fix = "Input Error!: Frame Size must be a multiple of 2.\nThe correct value:";
  const Case cases[] = {
      {"321x240", true, "320x240", {fix + "320x240"}},
      {"0x0", true, "2x2", {fix + "2x2"}},
      {"641x7", true, "640x6", {fix + "640x6"}},
      {"640x480", true, "640x480", {}},
      // Letters cannot be typed into the field: the text is put there as a paste would.
      {"As Source", false, "as source", {}},
      {"AS SOURCE", false, "as source", {}},
      {"320", true, "480x272", {"Input Error!: Frame Size is not a valid value!"}},
      {"x240", true, "480x272", {"Input Error!: Frame Size is not a valid value!"}},
  };
  auto d = Open(1);
  for (const Case& c : cases) {
    QComboBox* size = d->cmbVideoSize();
    if (c.byKeys) {
      TypeAndLeave(size, c.typed);
    } else {
      size->setFocus();
      size->setEditText(c.typed);
      QTest::keyClick(size, Qt::Key_Tab);
    }
    EXPECT_EQ(size->currentText(), c.shown) << c.typed.toStdString();
    EXPECT_EQ(TakeMessages(d.get()), c.messages) << c.typed.toStdString();
  }
  EXPECT_EQ(d->BeepCount(), 0);
}

TEST_F(SettingsDialogTest, KeyFiltersRefuseWithOneBeep) {
  auto d = Open(1);
  QComboBox* size = d->cmbVideoSize();
  size->setFocus();
  size->clearEditText();
  QTest::keyClicks(size, "320x240");
  QTest::keyClick(size, 'x');  // a second "x"
  EXPECT_EQ(size->currentText(), "320x240");
  EXPECT_EQ(d->BeepCount(), 1);
  QTest::keyClick(size, 'a');
  EXPECT_EQ(d->BeepCount(), 2);
  EXPECT_TRUE(TakeMessages(d.get()).isEmpty()) << "the frame size only beeps";
  QTest::keyClick(size, Qt::Key_Backspace);
  EXPECT_EQ(size->currentText(), "320x24");

  QComboBox* rate = d->cmbVideoBitRate();
  rate->setFocus();
  rate->clearEditText();
  QTest::keyClicks(rate, "7k0");
  EXPECT_EQ(rate->currentText(), "70");
  EXPECT_EQ(d->BeepCount(), 3);
  EXPECT_EQ(TakeMessages(d.get()), QStringList{"Input Error!: Please enter numerical."});
}

TEST_F(SettingsDialogTest, BitRatesAndSampleRateAreCheckedWhenLeft) {
  auto d = Open(202);  // lists with "as source" first
  struct Case {
    QComboBox* combo;
    QString text, shown, message;
  };
  const Case cases[] = {
      {d->cmbVideoBitRate(), "", "512", "Video BitRate is not a valid value!"},
      {d->cmbVideoBitRate(), "as source", "as source", ""},
      {d->cmbVideoBitRate(), "As Source", "512", "Video BitRate is not a valid value!"},
      {d->cmbAudioBitRate(), "96.5", "96.5", ""},
      {d->cmbAudioBitRate(), "9a", "64", "Audio BitRate is not a valid value!"},
      {d->cmbSamplerate(), "22050.5", "22050", "Audio SampleRate is not a valid value!"},
  };
  for (const Case& c : cases) {
    c.combo->setFocus();
    c.combo->setEditText(c.text);
    QTest::keyClick(c.combo, Qt::Key_Tab);
    EXPECT_EQ(c.combo->currentText(), c.shown) << c.text.toStdString();
    EXPECT_EQ(TakeMessages(d.get()), c.message.isEmpty() ? QStringList{} : QStringList{"Input Error!: " + c.message})
        << c.text.toStdString();
  }
}

TEST_F(SettingsDialogTest, TypedBitRateIsStoredAsTypedAndShownAgain) {
  auto d = Open(1);
  TypeAndLeave(d->cmbVideoBitRate(), "1500");
  QTest::mouseClick(d->btnOk(), Qt::LeftButton);
  EXPECT_FALSE(d->isVisible());
  EXPECT_EQ(Stored(1, "iVideoBitRate"), "-1");
  EXPECT_EQ(Stored(1, "paraVideoBitRate"), "1500");
  EXPECT_EQ(Stored(1, "Description"), "Profile");
  EXPECT_EQ(TIniFile(settingsPath).ReadString("settings", "FormatCode", ""), "1");
  d->show();
  EXPECT_EQ(d->cmbVideoBitRate()->currentText(), "1500");
  EXPECT_EQ(d->cmbVideoBitRate()->currentIndex(), -1);
}

// Enter or OK with a value the check refuses or corrects keeps the dialog open, showing the
// value that replaced it, and stores nothing; the next OK, after the message was read, stores
// what the field shows.
TEST_F(SettingsDialogTest, ARefusedOrCorrectedValueKeepsTheDialogOpen) {
  const QString fix = "Input Error!: Frame Size must be a multiple of 2.\nThe correct value:320x240";
  struct TCase {
    const char* What;
    QComboBox* (TfrmSettings::*Field)() const;
    const char* Key;
    QString Typed, Shown, Message;
    bool ByMouse;
  };
  const TCase cases[] = {
      {"frame size without an x, Enter", &TfrmSettings::cmbVideoSize, "paraVideoSize", "320", "480x272",
       "Input Error!: Frame Size is not a valid value!", false},
      {"odd frame size, Enter", &TfrmSettings::cmbVideoSize, "paraVideoSize", "321x240", "320x240", fix, false},
      {"empty video bit rate, Enter", &TfrmSettings::cmbVideoBitRate, "paraVideoBitRate", "", "384",
       "Input Error!: Video BitRate is not a valid value!", false},
      {"frame size without an x, OK clicked", &TfrmSettings::cmbVideoSize, "paraVideoSize", "320", "480x272",
       "Input Error!: Frame Size is not a valid value!", true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    fs::remove(settingsPath);
    auto d = Open(1);
    QComboBox* field = ((*d).*c.Field)();
    field->setFocus();
    field->clearEditText();
    QTest::keyClicks(field, c.Typed);
    auto confirm = [&] {
      if (c.ByMouse)
        QTest::mouseClick(d->btnOk(), Qt::LeftButton);
      else
        QTest::keyClick(field, Qt::Key_Return);
    };
    confirm();
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(field->currentText(), c.Shown);
    EXPECT_EQ(Stored(1, c.Key), "<none>");
    EXPECT_EQ(TakeMessages(d.get()), QStringList{c.Message});
    confirm();
    EXPECT_FALSE(d->isVisible());
    EXPECT_TRUE(TakeMessages(d.get()).isEmpty());
    EXPECT_EQ(Stored(1, c.Key), c.Shown.toStdString());
  }
}

TEST_F(SettingsDialogTest, OkMapsTheChosenEntries) {
  UseFormatFile(
      "[formatInfo7]\nVideoSize=320x240\nVideoBitRate=500\nFrameRate=25\nVideoEncoder=h264,mpeg-4\n"
      "AudioBitRate=64\nSampleRate=44100,48000\nAudioEncoder=aac,gsm\nChannel=stereo 2 channels,mono 1 channel\n"
      "Volume=100%,225%,50%\nparaLevel=30\nparaGop=0\nparaCoder=0\nparaBitExact=TRUE\nparaQscale=x\n");
  auto d = Open(7);
  d->cmbVideoEncoder()->setCurrentIndex(0);  // h264 with its extras
  d->cmbAudioEncoder()->setCurrentIndex(1);  // gsm
  d->cmbSamplerate()->setCurrentIndex(1);
  d->cmbChannel()->setCurrentIndex(0);
  d->cmbVolume()->setCurrentIndex(0);  // 100%
  d->cmbZoom()->setCurrentIndex(2);
  d->btnOkClick();
  EXPECT_EQ(Stored(7, "paraVideoEncoder"), "libx264");
  EXPECT_EQ(Stored(7, "paraLevel"), "30");
  EXPECT_EQ(Stored(7, "paraCoder"), "0");
  EXPECT_EQ(Stored(7, "paraBitExact"), "TRUE");
  EXPECT_EQ(Stored(7, "paraGop"), "<none>");
  EXPECT_EQ(Stored(7, "paraQscale"), "<none>");
  EXPECT_EQ(Stored(7, "paraAudioEncoder"), "libgsm");
  EXPECT_EQ(Stored(7, "paraSampleRate"), "8000");
  EXPECT_EQ(Stored(7, "paraChannel"), "1");
  EXPECT_EQ(Stored(7, "paraVolume"), "256");
  EXPECT_EQ(Stored(7, "paraZoom"), "pan");

  // 225 percent is no volume step: the stored 256 stays.
  d->show();
  d->cmbVolume()->setCurrentIndex(1);
  d->btnOkClick();
  EXPECT_EQ(Stored(7, "paraVolume"), "256");
  EXPECT_EQ(Stored(7, "iVolume"), "1");
}

TEST_F(SettingsDialogTest, WithoutVideoEncodersTheVideoGroupIsDisabled) {
  UseFormatFile(
      "[formatInfo3]\nVideoSize=320x240\nVideoBitRate=500\nFrameRate=25\nVideoEncoder=null\nAudioBitRate=\n"
      "SampleRate=44100\nAudioEncoder=mp3\nChannel=stereo 2 channels\nVolume=100%\n");
  auto d = Open(3);
  for (QComboBox* c : {d->cmbVideoSize(), d->cmbVideoBitRate(), d->cmbFrameRate(), d->cmbVideoEncoder(), d->cmbZoom()})
    EXPECT_FALSE(c->isEnabled()) << c->objectName().toStdString();
  for (QComboBox* c : {d->cmbSamplerate(), d->cmbAudioEncoder(), d->cmbChannel(), d->cmbVolume()})
    EXPECT_TRUE(c->isEnabled()) << c->objectName().toStdString();
  EXPECT_FALSE(d->cmbAudioBitRate()->isEnabled()) << "an empty audio bit rate list";
  EXPECT_EQ(d->cmbVideoSize()->count(), 1);
  EXPECT_TRUE(TakeMessages(d.get()).isEmpty());
}

TEST_F(SettingsDialogTest, StoredCenterZoomSurvivesOk) {
  TIniFile(settingsPath).WriteStrings("formatInfo1", {{"paraVideoEncoder", "mpeg4"}, {"paraZoom", "center"}});
  auto d = Open(1);
  EXPECT_EQ(d->cmbZoom()->currentIndex(), -1);
  d->btnOkClick();
  EXPECT_EQ(Stored(1, "paraZoom"), "center");
}

TEST_F(SettingsDialogTest, UnsavedProfileShowsWhatAConversionUsesAndOkKeepsIt) {
  for (int code : {0, 1, 100, 202, 300}) {
    settings = std::make_unique<TAppSettings>(settingsPath, formatPath);
    const TProfileParams before = settings->Params(code);
    ASSERT_TRUE(before.FromProfileDefaults) << code;
    auto d = Open(code);
    QTest::mouseClick(d->btnOk(), Qt::LeftButton);
    ASSERT_FALSE(d->isVisible()) << code << " " << TakeMessages(d.get()).join('\n').toStdString();
    const TProfileParams after = settings->Params(code);
    EXPECT_FALSE(after.FromProfileDefaults) << code;
    for (const auto& [a, b] :
         std::vector<std::pair<std::string, std::string>>{{before.VideoEncoder, after.VideoEncoder},
                                                          {before.AudioEncoder, after.AudioEncoder},
                                                          {before.VideoSize, after.VideoSize},
                                                          {before.VideoBitRate, after.VideoBitRate},
                                                          {before.FrameRate, after.FrameRate},
                                                          {before.SampleRate, after.SampleRate},
                                                          {before.AudioBitRate, after.AudioBitRate},
                                                          {before.Channel, after.Channel},
                                                          {before.Volume, after.Volume},
                                                          {before.Zoom, after.Zoom}})
      EXPECT_EQ(a, b) << "profile " << code;
  }
}

TEST_F(SettingsDialogTest, CancelAndCloseWriteNothingAndDefaultSelectsTheProfileDefaults) {
  auto d = Open(202);
  const std::string before = [&] {
    std::ifstream f(settingsPath);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }();
  d->cmbVideoSize()->setCurrentIndex(4);
  d->cmbChannel()->setCurrentIndex(1);
  d->cmbZoom()->setCurrentIndex(2);
  d->btnDefaultClick();
  EXPECT_EQ(d->cmbVideoSize()->currentText(), "640x480");  // iVideoSize=1
  EXPECT_EQ(d->cmbVideoBitRate()->currentText(), "1200");  // iVideoBitRate=3
  EXPECT_EQ(d->cmbChannel()->currentText(), "stereo 2 channels");
  EXPECT_EQ(d->cmbZoom()->currentText(), "Full screen");
  QTest::mouseClick(d->btnCancel(), Qt::LeftButton);
  EXPECT_FALSE(d->isVisible());
  std::ifstream f(settingsPath);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}), before);
}

TEST_F(SettingsDialogTest, MissingProfileSectionOpensWithAMessageAndOkKeepsConversionsWorking) {
  UseFormatFile("[formatInfo1]\nVideoEncoder=mpeg-4\n");
  auto d = Open(5);
  const QStringList messages = TakeMessages(d.get());
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].contains("no section [formatInfo5]")) << messages[0].toStdString();
  for (QComboBox* c : d->findChildren<QComboBox*>()) EXPECT_FALSE(c->isEnabled()) << c->objectName().toStdString();
  d->btnOkClick();
  EXPECT_NO_THROW(settings->Params(5));
  EXPECT_EQ(Stored(5, "paraVideoEncoder"), "<none>");
}

TEST_F(SettingsDialogTest, GarbageInTheProfileIsNamedAndNeverStored) {
  UseFormatFile(
      "[formatInfo4]\nVideoSize=320x240\nVideoBitRate=abc,500\nFrameRate=25\nVideoEncoder=blah,mpeg-4\n"
      "AudioBitRate=64\nSampleRate=44100\nAudioEncoder=aac\nChannel=stereo 2 channels\nVolume=100%\n"
      "iVideoEncoder=zz\niVideoSize=9\n");
  TIniFile(settingsPath).WriteString("formatInfo4", "paraZoom", "sideways");
  auto d = Open(4);
  QStringList messages = TakeMessages(d.get());
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].contains("unknown video encoder \"blah\"")) << messages[0].toStdString();
  EXPECT_TRUE(messages[0].contains("sideways")) << messages[0].toStdString();
  EXPECT_EQ(d->cmbZoom()->currentText(), "Full screen");
  EXPECT_EQ(d->cmbVideoSize()->currentText(), "") << "an index beyond the list selects nothing";

  // OK refuses the empty frame size (selecting no other entry: the list has one) and the
  // unknown encoder; nothing is written until both are mended.
  d->btnOkClick();
  EXPECT_TRUE(d->isVisible());
  EXPECT_EQ(TakeMessages(d.get()), QStringList{"Input Error!: Frame Size is not a valid value!"});
  d->cmbVideoSize()->setCurrentIndex(0);
  d->cmbVideoBitRate()->setCurrentIndex(1);
  d->btnOkClick();
  EXPECT_EQ(TakeMessages(d.get()), QStringList{"Input Error!: The video encoder \"blah\" is not known."});
  EXPECT_EQ(Stored(4, "paraVideoEncoder"), "<none>");
  d->cmbVideoEncoder()->setCurrentIndex(1);
  d->btnOkClick();
  EXPECT_FALSE(d->isVisible());
  const TProfileParams p = settings->Params(4);
  EXPECT_EQ(p.VideoEncoder, "mpeg4");
  EXPECT_EQ(p.Zoom, "full");
  EXPECT_EQ(p.VideoBitRate, "500");
}

// A choice made in the dialog is what the next conversion's output has.
TEST_F(SettingsDialogTest, ChoicesReachTheConvertedFile) {
  LoadEngineLibs();
  TIniFile(settingsPath).WriteString("settings", "OutPutDir", dir.file("out"));
  auto d = Open(202, "MPEG-4 Video (*.mp4)");
  TypeAndLeave(d->cmbVideoSize(), "400x300");
  TypeAndLeave(d->cmbVideoBitRate(), "1600");
  d->cmbFrameRate()->setCurrentText("23.976");
  d->cmbSamplerate()->setCurrentText("22050");
  d->cmbAudioBitRate()->setCurrentText("64");
  d->cmbChannel()->setCurrentText("mono 1 channel");
  d->cmbZoom()->setCurrentIndex(0);
  ASSERT_TRUE(TakeMessages(d.get()).isEmpty());
  QTest::mouseClick(d->btnOk(), Qt::LeftButton);
  ASSERT_FALSE(d->isVisible());

  // Start's steps for one row: the job prepared from the settings file, one engine task.
  TAutoAnswerPrompts prompts;
  TConversionRenderer renderer;
  TJobPreparation preparation(*settings, prompts, renderer);
  TlvFilesRecord job;
  job.SourceFile = MediaPath("clip.mp4");
  TAVProbe probe;
  TPreparedJob p;
  std::string err;
  ASSERT_TRUE(preparation.Prepare(TJobSettings{job, false}, 202, probe, p, err)) << err;
  EXPECT_TRUE(prompts.Questions.empty());
  std::string terminateMsg = "<no notice>";
  {
    TConvertEngine engine;
    engine.SetOnTerminate([&](TCustomConvertEngine*, const TTerminateInfo* info) {
      if (info->TaskIndex >= 0) terminateMsg = info->ExceptionMsg;
    });
    const int task = engine.AddTask(p.In.FileName, p.In);
    ASSERT_GE(task, 0) << engine.LastErrMsg();
    ASSERT_TRUE(engine.SetOutputFile(task, p.Out.FileName, p.Out)) << engine.LastErrMsg();
    engine.StartTask(0);
  }
  EXPECT_EQ(terminateMsg, "");
  const std::string out = p.Output.Commit();
  EXPECT_EQ(FfprobeValue(out, "stream=width", "v:0"), "400");
  EXPECT_EQ(FfprobeValue(out, "stream=height", "v:0"), "300");
  const std::string rate = FfprobeValue(out, "stream=avg_frame_rate", "v:0");
  const size_t slash = rate.find('/');
  ASSERT_NE(slash, std::string::npos) << rate;
  EXPECT_NEAR(std::stod(rate.substr(0, slash)) / std::stod(rate.substr(slash + 1)), 23.976, 0.001) << rate;
  EXPECT_EQ(FfprobeValue(out, "stream=sample_rate", "a:0"), "22050");
  EXPECT_EQ(FfprobeValue(out, "stream=channels", "a:0"), "1");
  const double videoRate = FfprobeNumber(out, "stream=bit_rate", "v:0");
  const double audioRate = FfprobeNumber(out, "stream=bit_rate", "a:0");
  // The encoder's rate control spends about 100 kbit/s more than asked on this 10 s clip, as
  // the ffmpeg command does with the same settings; at 1600 kbit/s that stays within 10 %.
  EXPECT_NEAR(videoRate, 1600000, 160000);
  EXPECT_NEAR(audioRate, 64000, 6400);
}

// ---- File information ----

class FileInfoTest : public ::testing::Test {
protected:
  void SetUp() override { LoadEngineLibs(); }
  TempDir dir;
};

TEST_F(FileInfoTest, ShowsTheFileAndItsStreams) {
  TfrmFileInfo w;
  w.show();
  const std::string clip = MediaPath("clip.mp4");
  w.ShowFile(clip);
  EXPECT_EQ(w.lblSourceName()->text(), TfrmFileInfo::ShortName(QString::fromStdString(clip)));
  EXPECT_EQ(w.lblFileLength()->text(), "10.000 Second");
  EXPECT_TRUE(w.edtFormat()->text().contains("mp4")) << w.edtFormat()->text().toStdString();
  EXPECT_EQ(w.edtResloution()->text(), "320x240");
  EXPECT_EQ(w.edtFrameRate()->text(), "25");
  EXPECT_EQ(w.edtTotalFrame()->text(), "250");
  EXPECT_NEAR(w.edtBitRate()->text().toDouble(), FfprobeNumber(clip, "stream=bit_rate", "v:0"), 1);
  EXPECT_TRUE(w.edtAudioForamt()->text().startsWith("aac")) << w.edtAudioForamt()->text().toStdString();
  EXPECT_EQ(w.edtSampleRate()->text(), "44100");
  EXPECT_EQ(w.edtChannel()->text(), "2");

  // An MP3 file: the container, no video values, the audio values with "mp3" as its format.
  const std::string mp3 = MediaPath("audio.mp3");
  w.ShowFile(mp3);
  EXPECT_EQ(w.edtFormat()->text(), "mp3");
  for (QLineEdit* e : {w.edtResloution(), w.edtFrameRate(), w.edtTotalFrame(), w.edtBitRate()})
    EXPECT_EQ(e->text(), "") << e->objectName().toStdString();
  EXPECT_EQ(w.edtAudioForamt()->text(), "mp3");
  EXPECT_EQ(w.edtAudioBitRate()->text(), "128000");

  // A rate of 30000/1001 in a container that states no count: the rate as users know it, the
  // count from the length (ffprobe counts the pictures).
  const std::string ntsc = MediaPath("ntsc_16x9.mkv");
  w.ShowFile(ntsc);
  EXPECT_EQ(w.edtFrameRate()->text(), "29.97");
  std::string counted;
  ASSERT_EQ(
      RunCapture("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 " +
                     ShellQuote(ntsc),
                 counted),
      0);
  EXPECT_EQ(w.edtTotalFrame()->text().toStdString() + "\n", counted);
  struct RateCase {
    int num, den;
    const char* text;
  } rates[] = {{24000, 1001, "23.976"}, {25, 1, "25"}, {50, 2, "25"}, {0, 1, ""}, {25, 0, ""}};
  for (const RateCase& c : rates) EXPECT_EQ(TfrmFileInfo::FrameRateText(c.num, c.den), c.text) << c.num << "/" << c.den;

  // A video without sound: the audio fields are emptied.
  w.ShowFile(MediaPath("video_only.mp4"));
  EXPECT_EQ(w.edtResloution()->text(), "320x240");
  for (QLineEdit* e : {w.edtAudioForamt(), w.edtSampleRate(), w.edtChannel(), w.edtAudioBitRate()})
    EXPECT_EQ(e->text(), "") << e->objectName().toStdString();

  EXPECT_EQ(w.ConvEngine().TasksCount(), 1) << "one task for the file shown";

  // A file the probe cannot open (a row whose file was deleted): no value of the file shown
  // before stays, and the window says the file cannot be opened.
  w.ShowFile(dir.file("missing.mp4"));
  EXPECT_EQ(w.lblSourceName()->text(), "");
  EXPECT_EQ(w.lblFileLength()->text(), "");
  for (QLineEdit* e : {w.edtFormat(), w.edtResloution(), w.edtFrameRate(), w.edtTotalFrame(), w.edtBitRate(),
                       w.edtAudioForamt(), w.edtSampleRate(), w.edtChannel(), w.edtAudioBitRate()})
    EXPECT_EQ(e->text(), "") << e->objectName().toStdString();
  EXPECT_EQ(w.lblStatus()->text(), "The file cannot be opened: missing.mp4");

  w.ShowFile(MediaPath("clip.mkv"));
  EXPECT_EQ(w.lblStatus()->text(), "");
  EXPECT_EQ(w.edtResloution()->text(), "320x240");
  QTest::mouseClick(w.btnOk(), Qt::LeftButton);
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(w.ConvEngine().TasksCount(), 0) << "closing releases the window's task";
}

TEST_F(FileInfoTest, LongPathsAreCutAndDurationsShownInThousandths) {
  // A path of exactly 62 characters.
  std::string path = dir.file("");
  path += std::string(62 - path.size() - 4, 'n') + ".mp4";
  ASSERT_EQ(path.size(), 62u);
  fs::copy_file(MediaPath("clip.mp4"), path);
  TfrmFileInfo w;
  w.show();
  w.ShowFile(path);
  EXPECT_EQ(w.lblSourceName()->text(), QString::fromStdString(path.substr(0, 40)) + "...mp4  ");
  EXPECT_EQ(w.lblSourceName()->width(), 270);
  EXPECT_EQ(TfrmFileInfo::ShortName(QString(45, 'a')), QString(45, 'a'));
  EXPECT_EQ(TfrmFileInfo::ShortName(QString(46, 'a')), QString(40, 'a') + "..  ");

  EXPECT_EQ(TfrmFileInfo::DurationText(125340000), "125.340 Second");
  EXPECT_EQ(TfrmFileInfo::DurationText(5007999), "5.007 Second");
  EXPECT_EQ(TfrmFileInfo::DurationText(-1), "0.000 Second");
}

// ---- Folder chooser ----

TEST(FolderChooser, OkIsOffOnPseudoFileSystemsAndCancelReturnsNothing) {
  TempDir dir;
  EXPECT_TRUE(IsPseudoFileSystemFolder("/proc"));
  EXPECT_TRUE(IsPseudoFileSystemFolder("/proc/self"));
  EXPECT_TRUE(IsPseudoFileSystemFolder("/sys/kernel"));
  EXPECT_FALSE(IsPseudoFileSystemFolder(dir.path().string()));
  EXPECT_FALSE(IsOpticalDiscFolder(dir.path().string()));

  TfmDirectory w;
  w.show();
  w.SelectFolder("/proc");
  EXPECT_FALSE(w.btnOk()->isEnabled());
  QTest::mouseClick(w.btnOk(), Qt::LeftButton);
  EXPECT_TRUE(w.isVisible());
  const QString folder = QString::fromStdString(dir.path().string());
  w.SelectFolder(folder);
  EXPECT_TRUE(w.btnOk()->isEnabled());
  EXPECT_EQ(w.SelectedFolder(), folder);
  QTest::mouseClick(w.btnCancel(), Qt::LeftButton);
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(w.Result(), "") << "Cancel returns nothing even with a folder selected";
}

TEST(FolderChooser, ChooseFolderReturnsTheFolderConfirmedWithOk) {
  TempDir dir;
  const QString folder = QString::fromStdString(dir.path().string());
  fs::create_directories(dir.path() / "sub");
  QWidget parent;
  QString seen;
  QTimer::singleShot(0, [&] {
    auto* chooser = qobject_cast<TfmDirectory*>(QApplication::activeModalWidget());
    ASSERT_NE(chooser, nullptr);
    seen = chooser->SelectedFolder();
    chooser->SelectFolder(folder + "/sub");
    QTest::mouseClick(chooser->btnOk(), Qt::LeftButton);
  });
  EXPECT_EQ(ChooseFolder(&parent, folder), folder + "/sub");
  EXPECT_EQ(seen, folder) << "the chooser opens at the folder it is given";
}

// ---- Splash and about ----

TEST(Cover, HidesOnceTheMainWindowShowsAndTakesThePictureFileSize) {
  TempDir dir;
  const QString skin = theme::SkinDir();
  theme::SetSkinDir(QString(ORVANE_SOURCE_DIR) + "/skin");
  QWidget main;
  {
    TfrmCover cover(&main);
    cover.show();
    EXPECT_EQ(cover.size(), QSize(399, 239));
    cover.Timer().setInterval(20);
    QTest::qWait(100);
    EXPECT_TRUE(cover.isVisible()) << "the main window is not showing yet";
    main.show();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !cover.isVisible(); }, 2000));
  }
  // A picture file in the skin folder replaces the drawn one.
  QImage picture(200, 100, QImage::Format_RGB888);
  picture.fill(Qt::red);
  ASSERT_TRUE(picture.save(QString::fromStdString(dir.file("pspvideocover.jpg")), "JPG"));
  theme::SetSkinDir(QString::fromStdString(dir.path().string()));
  TfrmCover cover(&main);
  cover.show();
  EXPECT_EQ(cover.size(), QSize(200, 100));
  const QImage shown = cover.imgCover()->pixmap().toImage();
  EXPECT_GT(qRed(shown.pixel(100, 50)), 200);
  theme::SetSkinDir(skin);
}

TEST(About, ShowsTheNameVersionAddressesAndTheLibrariesInUse) {
  LoadEngineLibs();
  TGlobalObject global;
  global.SetVersionText(" 1.2 ");
  global.SetProductUrl("https://example.org/p/");
  global.SetHelpUrl("https://example.org/h/");
  TfrmAbout w(nullptr, global);
  w.show();
  EXPECT_EQ(w.size(), QSize(340, 187));
  EXPECT_EQ(w.windowTitle(), "About");
  EXPECT_EQ(w.lblAppNameVer()->text(), "Orvane PSP Video Converter 1.2 ");
  EXPECT_EQ(w.lblProductLink()->text(), "https://example.org/p/");
  EXPECT_EQ(w.lblHelpLink()->text(), "https://example.org/h/");
  const QString notes = w.Notes()->toPlainText();
  std::string probed;
  RunCapture("ffprobe -version 2>/dev/null | grep '^libavcodec'", probed);
  // ffprobe prints "libavcodec     59. 37.100 / 59. 37.100": the run-time version is the second.
  ASSERT_NE(probed.find('/'), std::string::npos) << probed;
  const QString expected = QString::fromStdString(probed.substr(probed.find('/') + 1)).simplified().remove(' ');
  EXPECT_TRUE(notes.contains("FFmpeg libavcodec " + expected + ":")) << notes.toStdString() << " / " << probed;
  EXPECT_TRUE(notes.contains(QString("Qt ") + qVersion())) << notes.toStdString();
  EXPECT_TRUE(notes.contains("SDL2")) << notes.toStdString();
  EXPECT_TRUE(notes.contains("libjpeg-turbo libjpeg.so.62")) << notes.toStdString();
}

// ---- The main window's entries ----

TEST(MainWindowDialogs, ButtonsAndMenusOpenTheWindows) {
  TempDir dir;
  theme::SetSkinDir(QString(ORVANE_SOURCE_DIR) + "/skin");
  const std::string settingsPath = dir.file("cfg/settings.ini");
  TIniFile(settingsPath).WriteString("settings", "OutPutDir", dir.file("out"));
  TfrmMain w(settingsPath, kFormatIni);
  w.SetAskOnExit(false);
  w.show();
  QTest::mouseClick(w.findChild<TImageButton*>("btnSettings"), Qt::LeftButton);
  ASSERT_NE(w.SettingsDialog(), nullptr);
  EXPECT_TRUE(w.SettingsDialog()->isVisible());
  EXPECT_EQ(w.SettingsDialog()->NameField()->text(), w.findChild<QLineEdit*>("edt1")->text());
  w.SettingsDialog()->btnOkClick();
  EXPECT_FALSE(w.SettingsDialog()->isVisible());
  QTest::mouseClick(w.findChild<QPushButton*>("btnOptions"), Qt::LeftButton);
  EXPECT_TRUE(w.SettingsDialog()->isVisible());
  w.SettingsDialog()->reject();

  for (QAction* a : w.findChild<QMenu*>("popupMenuHelp")->actions())
    if (a->text() == "&About") a->trigger();
  ASSERT_NE(w.AboutDialog(), nullptr);
  EXPECT_TRUE(w.AboutDialog()->isVisible());
  w.AboutDialog()->accept();

  w.UpdateEditMenu();
  QAction* info = nullptr;
  for (QAction* a : w.EditMenu()->actions())
    if (a->text() == "Video &Information") info = a;
  ASSERT_NE(info, nullptr);
  EXPECT_FALSE(info->isEnabled()) << "no rows yet";
}

}  // namespace

int main(int argc, char** argv) { return testsupport::RunWindowTests(argc, argv); }
