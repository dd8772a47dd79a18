// The main window as a technician meets it, on the offscreen platform: the start decisions, every way the
// window closes, the exit code and the error log file it leaves.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "engine/SerialThreadDef.h"
#include "tests/app/window_fixture.h"
#include "toolkit/qt/QtRuntime.h"

namespace {

using apptest::kFirmwareBytes;
using apptest::kLoader;
using apptest::Lines;
using apptest::SetBuffers;
using apptest::SplitCrLf;
using apptest::TempDir;
using apptest::WindowTest;
using apptest::WriteFile;

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

 private:
  static inline std::unique_ptr<QApplication> app_;
  static inline std::unique_ptr<tk::QtRuntime> runtime_;
  std::unique_ptr<TempDir> ports_;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

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
  Start({"hello"});
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
  EXPECT_EQ(endCode, 2);  // nothing was tried
}

TEST_F(WindowTest, AMissingFirmwareAloneHasItsOwnMessage) {
  SetBuffers(true, false);
  Show({});
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, app::kNoFirmwareText);
  EXPECT_TRUE(C().Closed());
  EXPECT_EQ(endCode, 2);  // nothing was tried
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
  EXPECT_EQ(messages[0].text,
            "Can not open firmware file: " + (files / "none.bin") + ": No such file or directory");
  EXPECT_EQ(messages[0].caption, "Update Message");
  EXPECT_EQ(Engine(), nullptr);
  EXPECT_TRUE(C().Closed());
  EXPECT_EQ(endCode, 2);  // nothing was tried
  EXPECT_TRUE(LogFileExists());
}

TEST_F(WindowTest, AMistypedPortNameIsToldInAMessageBoxBeforeAnyEngineStarts) {
  Start({"/b", "/p", "COM37", "--port", "ttyUSB0"});
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text,
            "\"ttyUSB0\" is not a port name: a port is named ComN, a device path such as /dev/ttyUSB0, or "
            "rfc2217://HOST:PORT");
  EXPECT_EQ(messages[0].caption, "Update Message");
  EXPECT_TRUE(C().DebugButtonVisible());
  EXPECT_EQ(Engine(), nullptr);
  EXPECT_TRUE(C().Closed());
  EXPECT_EQ(endCode, 2);  // nothing was tried
  EXPECT_NE(LogFile().find("\"ttyUSB0\" is not a port name"), std::string::npos);
}

TEST_F(WindowTest, ANamedPortIsAllTheEngineTries) {
  Start({"/p", "COM37"});
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

TEST_F(WindowTest, AFailedBuildSaysWhyAndExitsWithTwo) {
  Show({"/u", files / "New", files / "none.bin"});
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text,
            "Can not open firmware file: " + (files / "none.bin") + ": No such file or directory");
  EXPECT_FALSE(std::filesystem::exists(files / "New.exe"));
  EXPECT_EQ(endCode, 2);  // nothing was tried
}

// ---- Closing, the engine's end, the exit code and the log file

TEST_F(WindowTest, QuitInTheDialogEndsTheProgramLikeExit) {
  Start();
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
  Start();
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
  Start();
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
  Start({"/x"});
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
    Start(x ? Lines{"/x"} : Lines{});
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
  Start();
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
