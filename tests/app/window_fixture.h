// The main window's test bench, shared by the window tests of one program (window_test.cpp makes its
// application and runtime): the embedded payload buffers, and a window with its error dialog whose message
// boxes and exit code are recorded.
#pragma once

#include <gtest/gtest.h>

#include <QLabel>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/core/Texts.h"
#include "app/main.h"
#include "app/messagedlg.h"
#include "payload/Buffers.h"
#include "tests/app/app_support.h"
#include "toolkit/Runtime.h"

namespace apptest {

using Lines = std::vector<std::string>;

inline constexpr char kLoader[] = "S00600004844521B\r\nS9030000FC\r\n";
inline constexpr int kFirmwareBytes = 1234;

// Fills the embedded buffers, or gives them their empty markers.
inline void SetBuffers(bool loader, bool firmware) {
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
    tk::App().SetMessageBoxHandler([this](const std::string& text, const std::string& caption) {
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
    tk::App().SetMessageBoxHandler(nullptr);
    SetBuffers(false, false);
  }

  void Show(Lines args) {
    args.insert(args.begin(), "brae-update");
    form->FormShow(args);
  }
  // Shows the window with both payloads embedded: the update starts.
  void Start(const Lines& args = {}) {
    SetBuffers(true, true);
    Show(args);
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

}  // namespace apptest
