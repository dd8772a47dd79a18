// The main window and the error dialog as a technician meets them, on the offscreen platform: the start
// decisions, the diagnostic log, the dialog's texts and sizes, every way the window closes, the exit code
// and the error log file it leaves.
#include <gtest/gtest.h>

#include <algorithm>

#include <QApplication>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <memory>

#include "app/Fonts.h"
#include "app/core/ErrorTexts.h"
#include "app/core/Texts.h"
#include "app/main.h"
#include "app/messagedlg.h"
#include "engine/SerialThreadDef.h"
#include "payload/Buffers.h"
#include "tests/app/app_support.h"
#include "toolkit/Sync.h"
#include "toolkit/qt/QtRuntime.h"

namespace {

using apptest::ReadFile;
using apptest::SplitCrLf;
using apptest::TempDir;
using apptest::WriteFile;
using Lines = std::vector<std::string>;

// One application, one runtime and an empty port directory for the whole run: the engine finds no port and
// never touches a real one.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ports_ = std::make_unique<TempDir>();
    setenv("BRAE_PORT_DIR", ports_->path.c_str(), 1);
    static int argc = 1;
    static char name[] = "window_test";
    static char* argv[] = {name, nullptr};
    // The offscreen platform says what it cannot do on every window; that is no news here.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
      if (text.startsWith(QStringLiteral("This plugin does not support"))) return;
      qt_message_output(type, context, text);
    });
    app_ = std::make_unique<QApplication>(argc, argv);
    runtime_ = std::make_unique<tk::QtRuntime>();
    tk::Install(runtime_.get());
  }
  void TearDown() override {
    runtime_->Shutdown();
    tk::Thread::WaitForDetachedThreads(5000);
    tk::Install(nullptr);
    runtime_.reset();
    app_.reset();
    ports_.reset();
  }
  static tk::QtRuntime& Runtime() { return *runtime_; }

 private:
  static inline std::unique_ptr<QApplication> app_;
  static inline std::unique_ptr<tk::QtRuntime> runtime_;
  std::unique_ptr<TempDir> ports_;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

constexpr char kLoader[] = "S00600004844521B\r\nS9030000FC\r\n";
constexpr int kFirmwareBytes = 1234;

// Fills the embedded buffers, or gives them their empty markers.
void SetBuffers(bool loader, bool firmware) {
  uint8_t* l = payload::MutableLoaderBytes();
  std::fill(l, l + payload::kLoaderBufferSize, uint8_t{0xFF});
  if (loader) {
    std::memcpy(l, kLoader, sizeof kLoader - 1);
  } else {
    std::fill(l, l + payload::kLoaderMarkerLength, payload::kLoaderMarkerByte);
  }
  uint8_t* f = payload::MutableFirmwareBytes();
  std::fill(f, f + payload::kFirmwareBufferSize, uint8_t{0xFF});
  if (firmware) {
    std::fill(f, f + kFirmwareBytes, uint8_t{0x11});
  } else {
    std::fill(f, f + payload::kFirmwareMarkerLength, payload::kFirmwareMarkerByte);
  }
}

struct Shown {
  std::string text, caption;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QtEnvironment::Runtime().SetMessageBoxHandler(
        [this](const std::string& text, const std::string& caption) {
          messages.push_back({text, caption});
        });
    SetBuffers(false, false);
    form = std::make_unique<app::TUpdateForm>(
        app::UpdateController::Options{logDir.path, "/proc/self/exe", false});
    dialog = std::make_unique<app::TErrorMessageDlg>([this] { form->BtnExitClick(); });
    form->SetErrorDialog(dialog.get());
    form->OnEnd = [this](int code) { endCode = code; };
    form->show();
  }
  void TearDown() override {
    form.reset();
    dialog.reset();
    QtEnvironment::Runtime().SetMessageBoxHandler(nullptr);
    SetBuffers(false, false);
  }

  void Show(Lines args) {
    args.insert(args.begin(), "brae-update");
    form->FormShow(args);
  }
  app::UpdateController& C() { return form->Controller(); }
  engine::TSerialThread* Engine() { return C().Engine(); }
  std::string LogFile() { return ReadFile(logDir / app::kLogFileName); }
  bool LogFileExists() { return std::filesystem::exists(logDir / app::kLogFileName); }
  // The lines the log box holds.
  Lines BoxLines() {
    Lines lines;
    for (auto b = form->reditDebug->document()->begin(); b.isValid(); b = b.next())
      lines.push_back(b.text().toStdString());
    return lines;
  }
  std::string Label() { return form->Label1->text().toStdString(); }

  TempDir logDir;
  TempDir files;
  std::vector<Shown> messages;
  int endCode = -1;  // the exit code the window ended its message loop with
  std::unique_ptr<app::TUpdateForm> form;
  std::unique_ptr<app::TErrorMessageDlg> dialog;
};

// ---- Start-up

TEST_F(WindowTest, NoArgumentsWithBothPayloadsStartsTheUpdateWithTheLogsFirstLines) {
  SetBuffers(true, true);
  EXPECT_EQ(form->windowTitle().toStdString(), "");
  Show({});
  EXPECT_EQ(form->windowTitle().toStdString(), "Series Brae firmware update   ver3.1c");
  EXPECT_TRUE(messages.empty());
  EXPECT_FALSE(form->BtnOpenDebug->isVisible());
  EXPECT_TRUE(form->BtnExit->hasFocus() || form->focusWidget() == form->BtnExit);
  ASSERT_NE(Engine(), nullptr);
  EXPECT_EQ(Engine()->FirmwareSize, static_cast<uint32_t>(kFirmwareBytes));
  EXPECT_EQ(Engine()->LoaderSize, sizeof kLoader - 1);
  EXPECT_EQ(C().RunMode(), payload::RunMode::Embedded);
  EXPECT_TRUE(Engine()->OnFinished != nullptr);

  const Lines log = C().Log().Lines();
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ(Lines(log.begin(), log.begin() + 5),
            (Lines{"", "Brae update version is 3.1c", "Firmware file size is 1234", "", ""}));
  // The first step has already run: it looked for a port.
  EXPECT_GT(log.size(), 5u);
  EXPECT_EQ(BoxLines(), log);
  EXPECT_FALSE(form->reditDebug->isVisible());
  EXPECT_EQ(Label(), "Searching serial ports... Please wait");
  EXPECT_FALSE(C().Closed());
}

TEST_F(WindowTest, AnyArgumentShowsDiagnosticModeAndAnUnknownOneStillUpdatesFromTheBuffers) {
  SetBuffers(true, true);
  Show({"hello"});
  EXPECT_TRUE(form->BtnOpenDebug->isVisible());
  EXPECT_EQ(form->BtnOpenDebug->text(), "DiagnosticMode");
  EXPECT_EQ(C().RunMode(), payload::RunMode::Embedded);
  EXPECT_NE(Engine(), nullptr);
}

TEST_F(WindowTest, BothPayloadsMissingShowsOnlyTheLoaderMessageAndStillWritesTheLog) {
  Show({});
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].caption, "Update Message--3.1c");
  EXPECT_EQ(messages[0].text, app::kNoLoaderText);
  EXPECT_EQ(messages[0].text.substr(0, 36), "No LoadS19 file inside.\r\n\r\n---Use /l");
  EXPECT_TRUE(C().Closed());
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(Engine(), nullptr);
  EXPECT_EQ(LogFile(), "\r\n");
  EXPECT_EQ(endCode, 1);
}

TEST_F(WindowTest, AMissingFirmwareAloneHasItsOwnMessage) {
  SetBuffers(true, false);
  Show({});
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, app::kNoFirmwareText);
  EXPECT_TRUE(C().Closed());
  EXPECT_EQ(endCode, 1);
}

TEST_F(WindowTest, FromBothFilesAnEmptyLoaderBufferDoesNotMatter) {
  WriteFile(files / "b.bin", std::string(3001, '\x22'));
  WriteFile(files / "b.s19", kLoader);
  Show({"/i", files / "b.bin", files / "b.s19"});
  EXPECT_TRUE(messages.empty());
  ASSERT_NE(Engine(), nullptr);
  EXPECT_EQ(C().RunMode(), payload::RunMode::BothFiles);
  EXPECT_EQ(Engine()->FirmwareSize, 3002u);  // odd sizes gain a byte
  EXPECT_EQ(Engine()->LoaderSize, sizeof kLoader - 1);
  EXPECT_EQ(C().Log().Lines()[2], "Firmware file size is 3002");
  // The engine reads the files through the window, from their start.
  engine::IPayloadSource* loader = Engine()->LoaderSource;
  ASSERT_NE(loader, nullptr);
  loader->Rewind();
  uint8_t byte = 0;
  ASSERT_EQ(loader->Read(&byte, 1), 1);
  EXPECT_EQ(byte, 'S');
}

TEST_F(WindowTest, AMissingFirmwareFileEndsTheStart) {
  SetBuffers(true, false);
  Show({"/i", files / "none.bin"});
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Can not open firmware file");
  EXPECT_EQ(messages[0].caption, "Update Message");
  EXPECT_EQ(Engine(), nullptr);
  EXPECT_TRUE(C().Closed());
  EXPECT_EQ(endCode, 1);
  EXPECT_TRUE(LogFileExists());
}

TEST_F(WindowTest, AMistypedPortNameIsToldInAMessageBoxBeforeAnyEngineStarts) {
  SetBuffers(true, true);
  Show({"/b", "/p", "COM37", "--port", "ttyUSB0"});
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text,
            "\"ttyUSB0\" is not a port name: a port is named ComN, a device path such as /dev/ttyUSB0, or "
            "rfc2217://HOST:PORT");
  EXPECT_EQ(messages[0].caption, "Update Message");
  EXPECT_TRUE(C().DebugButtonVisible());
  EXPECT_EQ(Engine(), nullptr);
  EXPECT_TRUE(C().Closed());
  EXPECT_EQ(endCode, 1);
  EXPECT_NE(LogFile().find("\"ttyUSB0\" is not a port name"), std::string::npos);
}

TEST_F(WindowTest, ANamedPortIsAllTheEngineTries) {
  SetBuffers(true, true);
  Show({"/p", "COM37"});
  EXPECT_TRUE(messages.empty());
  ASSERT_NE(Engine(), nullptr);
  EXPECT_TRUE(form->BtnOpenDebug->isVisible());
  // The first step has looked for the port: only COM37, which this machine lacks.
  const Lines log = C().Log().Lines();
  EXPECT_NE(std::find(log.begin(), log.end(), "Can not open Com37 to communicate"), log.end());
  for (const std::string& line : log) EXPECT_EQ(line.find("Can not open Com1 "), std::string::npos) << line;
}

TEST_F(WindowTest, ABuildWritesItsFileClosesAndExitsWithZero) {
  WriteFile(files / "b.s19", kLoader);
  // A loader-only build is named UpdateLoad.exe, in the working directory.
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(files.path);
  Show({"/l", files / "b.s19"});
  std::filesystem::current_path(cwd);
  EXPECT_TRUE(messages.empty()) << messages[0].text;
  EXPECT_TRUE(std::filesystem::exists(files / "UpdateLoad.exe"));
  EXPECT_TRUE(C().Closed());
  EXPECT_EQ(Engine(), nullptr);
  EXPECT_EQ(endCode, 0);
}

TEST_F(WindowTest, AFailedBuildSaysWhyAndExitsWithOne) {
  Show({"/u", files / "New", files / "none.bin"});
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Can not open firmware file");
  EXPECT_FALSE(std::filesystem::exists(files / "New.exe"));
  EXPECT_EQ(endCode, 1);
}

// ---- The diagnostic log and the reports

TEST_F(WindowTest, DiagnosticModeOpensAndClosesTheLog) {
  SetBuffers(true, true);
  Show({"/b"});
  EXPECT_EQ(form->OuterHeight(), 135);
  EXPECT_EQ(form->width(), 487);
  form->BtnOpenDebug->click();
  EXPECT_TRUE(form->reditDebug->isVisible());
  EXPECT_EQ(form->reditDebug->height(), 500);
  EXPECT_EQ(form->reditDebug->geometry().bottom() + 1, form->height());
  EXPECT_EQ(form->OuterHeight(), 635);
  EXPECT_EQ(form->focusWidget(), form->BtnExit);
  form->BtnOpenDebug->click();
  EXPECT_FALSE(form->reditDebug->isVisible());
  EXPECT_EQ(form->reditDebug->height(), 0);
  EXPECT_EQ(form->OuterHeight(), 135);
  EXPECT_EQ(form->width(), 487);
}

TEST_F(WindowTest, ReportsReachTheControlsAndTheLongestStatusShowsWhole) {
  SetBuffers(true, true);
  Show({});
  app::UpdateController& c = C();
  c.SetProgressVisible(true);
  c.SetProgressMax(1000);
  c.SetProgressPosition(400);
  EXPECT_TRUE(form->ProgressBar->isVisible());
  EXPECT_EQ(form->ProgressBar->value(), 400);
  // The loader from a file can pass its size: the bar shows full instead of ignoring the value.
  c.SetProgressPosition(1200);
  EXPECT_EQ(form->ProgressBar->value(), 1000);
  EXPECT_EQ(c.ProgressPosition(), 1200);

  c.ApplyStatus("Sending new firmware. This will take approximately 16 minutes.");
  QLabel* label = form->Label1;
  EXPECT_GE(label->width(), label->sizeHint().width());
  EXPECT_LE(label->geometry().right(), form->width());
  c.ApplyStatus("Erasing firmware");
  EXPECT_EQ(Label(), "Erasing firmware");
  EXPECT_GE(label->width(), 211);
}

// ---- The error dialog

TEST_F(WindowTest, TheDialogSizesItselfToEachCode) {
  struct Case {
    uint32_t code;
    int lines, text, outer, quit;
  };
  for (const Case& k : {Case{1, 10, 200, 300, 230}, Case{4, 3, 95, 195, 125}, Case{5, 0, 50, 150, 80},
                        Case{0, 0, 50, 150, 80}, Case{3, 5, 125, 225, 155}}) {
    SCOPED_TRACE(k.code);
    dialog->ShowErrorMessage(k.code);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->ShownCode, k.code);
    EXPECT_EQ(dialog->LineCount(), k.lines);
    EXPECT_EQ(dialog->RichEdit1->height(), k.text);
    EXPECT_EQ(dialog->OuterHeight(), k.outer);
    EXPECT_EQ(dialog->BtnQuit->y(), k.quit);
    EXPECT_EQ(dialog->BtnQuit->geometry().bottom() < dialog->height(), true);
  }
  // Every line shows whole, without scrolling sideways.
  for (uint32_t code : {1u, 2u, 3u, 4u}) {
    dialog->ShowErrorMessage(code);
    EXPECT_LE(dialog->RichEdit1->document()->idealWidth(), dialog->RichEdit1->viewport()->width()) << code;
  }
  dialog->ShowErrorMessage(4);
  EXPECT_EQ(dialog->RichEdit1->document()->findBlockByNumber(2).text().toStdString(),
            "Contact Veltrona Service. service@veltrona.example");
  EXPECT_EQ(dialog->windowTitle(), "Update Error Message");
  EXPECT_TRUE(dialog->BtnQuit->isDefault());
}

// The windows in the face the machine prefers, and in the regular DejaVu Sans forced: the one sans face of a
// bare Debian, wider than the design's boxes allow. Every text shows whole, each box inside its window.
class WindowFontTest : public WindowTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    saved_ = app::UiFontFamilies();
    if (*GetParam()) app::UiFontFamilies() = {QString::fromUtf8(GetParam())};
    const QFontInfo face(app::UiFont(13));
    if (*GetParam() &&
        (face.family() != GetParam() || face.styleName().contains(QStringLiteral("Condensed"))))
      GTEST_SKIP() << GetParam() << " is not installed here (" << face.family().toStdString() << ")";
    WindowTest::SetUp();
  }
  void TearDown() override {
    if (form) WindowTest::TearDown();
    app::UiFontFamilies() = saved_;
  }
  // The setup script's face, in which the windows look as designed (and as in the screenshots).
  static bool Designed() {
    const QFontInfo face(app::UiFont(13));
    return face.family() == QStringLiteral("DejaVu Sans") &&
           face.styleName().contains(QStringLiteral("Condensed"));
  }
  // The caption alone, without any margin: a button narrower than this cuts it.
  static int CaptionWidth(const QPushButton* button) {
    return button->fontMetrics().horizontalAdvance(button->text());
  }
  QStringList saved_;
};

TEST_P(WindowFontTest, TheErrorDialogShowsEveryLineWhole) {
  const QTextEdit* box = dialog->RichEdit1;
  int widest = 0;
  for (uint32_t code : {0u, 1u, 2u, 3u, 4u, 17u}) {
    SCOPED_TRACE(code);
    dialog->ShowErrorMessage(code);
    const QRect text = box->geometry(), quit = dialog->BtnQuit->geometry();
    EXPECT_LE(box->document()->idealWidth(), box->viewport()->width());
    EXPECT_LE(box->document()->size().height(), box->viewport()->height());
    // Never smaller than designed, and nothing outside the dialog or on top of the text.
    EXPECT_GE(dialog->width(), 524);
    EXPECT_GE(box->height(), app::DialogGeometryFor(dialog->LineCount()).TextHeight);
    EXPECT_LE(text.right(), dialog->width() - 1);
    EXPECT_GT(quit.top(), text.bottom());
    EXPECT_LE(quit.bottom(), dialog->height() - 1);
    EXPECT_EQ(dialog->height() - quit.bottom(), 150 - 80 - 25 - app::kFrameHeight + 1);  // as designed
    EXPECT_GE(quit.width(), CaptionWidth(dialog->BtnQuit));
    if (Designed()) {
      EXPECT_EQ(dialog->width(), 524);
      EXPECT_EQ(quit, QRect(223, quit.top(), 75, 25));
    }
    widest = std::max(widest, dialog->width());
  }
  // The regular face needs more room than designed: the dialog really grew, and shrinks again for less.
  if (std::string(GetParam()) == "DejaVu Sans") {
    EXPECT_GT(widest, 524);
  }
  dialog->ShowErrorMessage(0);
  EXPECT_EQ(dialog->width(), 524);
  EXPECT_EQ(dialog->OuterHeight(), 150);
}

TEST_P(WindowFontTest, TheMainWindowShowsEveryTextWhole) {
  Show({"/b"});
  for (QPushButton* button : {form->BtnOpenDebug, form->BtnExit}) {
    EXPECT_GE(button->width(), CaptionWidth(button)) << button->text().toStdString();
    EXPECT_LE(button->geometry().right(), form->width() - 1);
  }
  EXPECT_LT(form->BtnOpenDebug->geometry().right(), form->BtnExit->x());
  if (Designed()) {
    EXPECT_EQ(form->BtnOpenDebug->width(), 97);
    EXPECT_EQ(form->BtnExit->width(), 99);
  }
  QLabel* label = form->Label1;
  for (const char* status : {"Sending new firmware. This will take approximately 16 minutes.",
                             "Erasing firmware", "Update Successful. Click on Exit to quit the program."}) {
    SCOPED_TRACE(status);
    C().ApplyStatus(status);
    EXPECT_GE(label->width(), label->sizeHint().width());
    EXPECT_LE(label->geometry().right(), form->width() - 1);
    EXPECT_GE(form->width(), 487);
    if (Designed()) {
      EXPECT_EQ(form->width(), 487);
    }
  }
  // A status far longer than any the updater shows widens the window; the log below follows it.
  C().ApplyStatus(std::string(120, 'W'));
  EXPECT_GT(form->width(), 487);
  EXPECT_LE(label->geometry().right(), form->width() - 1);
  form->BtnOpenDebug->click();
  EXPECT_EQ(form->reditDebug->width(), form->width());
  C().ApplyStatus("Erasing firmware");
  EXPECT_EQ(form->width(), 487);
  EXPECT_EQ(form->reditDebug->width(), 487);
}

INSTANTIATE_TEST_SUITE_P(Faces, WindowFontTest, ::testing::Values("", "DejaVu Sans"),
                         [](const auto& info) { return *info.param ? "DejaVuSansRegular" : "Preferred"; });

TEST_F(WindowTest, CodeTwoTwiceStartsAgainWithTheBoldHeading) {
  auto formatAt = [this](int block) {
    return dialog->RichEdit1->document()->findBlockByNumber(block).begin().fragment().charFormat();
  };
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    dialog->ShowErrorMessage(2);
    ASSERT_EQ(dialog->LineCount(), 5);
    EXPECT_EQ(dialog->RichEdit1->toPlainText().toStdString(),
              "Problem:\n\nIf problem persists, contact Veltrona Service.\n\nservice@veltrona.example");
    EXPECT_EQ(formatAt(0).fontPointSize(), 12);
    EXPECT_EQ(formatAt(0).fontWeight(), QFont::Bold);
    EXPECT_EQ(formatAt(2).fontPointSize(), 10);
    EXPECT_EQ(formatAt(2).fontWeight(), QFont::Normal);
    EXPECT_EQ(dialog->OuterHeight(), 225);
  }
  // Another code after it is in the box's own font again.
  dialog->ShowErrorMessage(4);
  EXPECT_NE(formatAt(0).fontWeight(), QFont::Bold);
  EXPECT_NE(formatAt(0).fontPointSize(), 10);
}

TEST_F(WindowTest, CommunicationRestoredHidesItselfUnlessAnotherCodeCame) {
  EXPECT_EQ(dialog->Timer1->interval(), 3000);
  dialog->Timer1->setInterval(30);  // the same path, quicker
  dialog->ShowErrorMessage(17);
  EXPECT_EQ(dialog->RichEdit1->toPlainText(), "Communication Restored.");
  EXPECT_TRUE(dialog->Timer1->isActive());
  EXPECT_TRUE(apptest::WaitUntil(
      [&] {
        QCoreApplication::processEvents();
        return !dialog->isVisible();
      },
      std::chrono::seconds(5)));
  EXPECT_FALSE(dialog->Timer1->isActive());

  dialog->ShowErrorMessage(17);
  dialog->ShowErrorMessage(1);
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 150) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_FALSE(dialog->Timer1->isActive());
}

// ---- Closing, the engine's end, the exit code and the log file

TEST_F(WindowTest, QuitInTheDialogEndsTheProgramLikeExit) {
  SetBuffers(true, true);
  Show({});
  dialog->ShowErrorMessage(1);
  dialog->BtnQuit->click();
  EXPECT_TRUE(C().Closed());
  EXPECT_FALSE(form->isVisible());
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_TRUE(Engine()->Terminated());
  EXPECT_EQ(endCode, 1);
  EXPECT_EQ(SplitCrLf(LogFile()), C().Log().Lines());
}

TEST_F(WindowTest, ClosingDuringTheUpdateStopsTheEngineWithoutItsEndHandling) {
  SetBuffers(true, true);
  Show({});
  form->close();
  EXPECT_TRUE(C().Closed());
  EXPECT_TRUE(Engine()->Terminated());
  EXPECT_TRUE(Engine()->OnFinished == nullptr);
  EXPECT_EQ(Label(), "Searching serial ports... Please wait");
  EXPECT_EQ(endCode, 1);
  EXPECT_TRUE(LogFileExists());
  // A second finish, or a second close, changes nothing.
  Engine()->Finish();
  form->BtnExitClick();
  EXPECT_EQ(endCode, 1);
}

TEST_F(WindowTest, SuccessKeepsTheWindowOpenUntilExitThenExitsWithZero) {
  SetBuffers(true, true);
  Show({});
  Engine()->Succeeded = 1;
  Engine()->Finish();
  EXPECT_FALSE(C().Closed());
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(Label(), "Update Successful. Click on Exit to quit the program.");
  form->BtnExit->click();
  EXPECT_TRUE(C().Closed());
  EXPECT_EQ(endCode, 0);
}

TEST_F(WindowTest, SuccessWithSlashXClosesAtOnce) {
  SetBuffers(true, true);
  Show({"/x"});
  Engine()->Succeeded = 1;
  Engine()->Finish();
  EXPECT_TRUE(C().Closed());
  EXPECT_EQ(endCode, 0);
}

TEST_F(WindowTest, AnEndWithoutSuccessClosesWithOrWithoutSlashXAndKeepsTheWholeLog) {
  for (bool x : {false, true}) {
    SCOPED_TRACE(x);
    TearDown();
    SetUp();
    SetBuffers(true, true);
    Show(x ? Lines{"/x"} : Lines{});
    Engine()->Log("Start, End address outside heap");
    Engine()->Finish();
    EXPECT_TRUE(C().Closed());
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(endCode, 1);
    const std::string file = LogFile();
    EXPECT_EQ(SplitCrLf(file), C().Log().Lines());
    EXPECT_NE(file.find("\r\nStart, End address outside heap\r\n"), std::string::npos);
    // Every line ends with CR LF, and no LF stands alone.
    EXPECT_EQ(file.substr(file.size() - 2), "\r\n");
    for (size_t i = file.find('\n'); i != std::string::npos; i = file.find('\n', i + 1))
      ASSERT_EQ(file[i - 1], '\r');
  }
}

TEST_F(WindowTest, ALogDirectoryThatCannotBeMadeDoesNotStopTheClose) {
  form.reset();
  WriteFile(logDir / "file", "x");
  form = std::make_unique<app::TUpdateForm>(
      app::UpdateController::Options{logDir / "file/sub", "/proc/self/exe", false});
  form->SetErrorDialog(dialog.get());
  form->OnEnd = [this](int code) { endCode = code; };
  SetBuffers(true, true);
  Show({});
  form->BtnExit->click();
  EXPECT_TRUE(C().Closed());
  EXPECT_FALSE(C().LastLogFile().Written);
}

TEST_F(WindowTest, AMessageBoxShowsItsTextAndCaptionAndWaitsForOk) {
  QString seenTitle, seenText;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    seenTitle = box->windowTitle();
    seenText = box->text();
    box->button(QMessageBox::Ok)->click();
  });
  app::ShowMessageBox(form.get(), "No firmware file inside.\r\n\r\n---Use", "Update Message--3.1c");
  EXPECT_EQ(seenTitle, "Update Message--3.1c");
  EXPECT_EQ(seenText, "No firmware file inside.\n\n---Use");
}

}  // namespace
