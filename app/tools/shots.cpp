// Takes the pictures of the documentation from the real window and dialog, with the real engine updating a
// simulated indicator (scripts/screenshots.sh starts it): the window during the firmware transfer, the same
// with the diagnostic log open, and the error dialog with codes 1 and 2. With /all, the batch window instead:
// once one port is a third through its firmware and every other port has ended, shows an error or
// still looks for its indicator.
//
//   brae-update-shots OUTDIR /i firmware.bin loader.s19
//   brae-update-shots OUTDIR /all /p com1 /p com2 ... /i firmware.bin loader.s19
#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/core/LogFile.h"
#include "app/main.h"
#include "app/messagedlg.h"
#include "toolkit/Sync.h"
#include "toolkit/qt/QtRuntime.h"

namespace {

bool Save(QWidget* widget, const QString& path) {
  const bool ok = widget->grab().save(path);
  std::printf("%s %s\n", ok ? "wrote" : "could not write", path.toUtf8().constData());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTDIR [updater arguments...]\n", argv[0]);
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  std::vector<std::string> args = {"brae-update"};
  for (int i = 2; i < argc; ++i) args.emplace_back(argv[i]);
  const bool batch = std::find(args.begin(), args.end(), "/all") != args.end();

  QApplication application(argc, argv);
  tk::QtRuntime runtime;
  tk::Install(&runtime);
  int failures = 0;
  {
    app::TUpdateForm form({app::LogDirectoryFromEnvironment(), "/proc/self/exe", false});
    app::TErrorMessageDlg dialog([&form] { form.BtnExitClick(); });
    form.SetErrorDialog(&dialog);
    runtime.SetMessageBoxHandler([](const std::string& text, const std::string&) {
      std::fprintf(stderr, "message: %s\n", text.c_str());
    });
    form.show();
    form.FormShow(args);

    // Once the firmware is a third of the way, the pictures are taken one after the other.
    QTimer poll;
    int stage = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      app::UpdateController& c = form.Controller();
      if (batch) {
        bool third = false, othersShown = true;
        for (const auto& run : c.Ports()) {
          if (!run) continue;
          const bool transfer = run->Result().Status.rfind("Sending new firmware", 0) == 0 &&
                                run->ProgressPosition() * 3 >= run->ProgressMax();
          if (transfer && !third) {
            third = true;
          } else if (run->Running() && run->Result().ErrorCode == 0 && run->Result().Baud != 0) {
            othersShown = false;
          }
        }
        if (!third || !othersShown) return;
        for (const auto& run : c.Ports()) {
          std::printf("%s: %s, error %u\n", run->Name().c_str(), run->Result().Status.c_str(),
                      static_cast<unsigned>(run->Result().ErrorCode));
        }
        failures += !Save(&form, out + "/window-batch.png");
        form.BtnExitClick();
        return;
      }
      // Nothing plugged in: the window goes on looking beside error 3.
      if (stage == 0 && dialog.isVisible() && dialog.ShownCode == 3) {
        failures += !Save(&form, out + "/window-searching.png");
        failures += !Save(&dialog, out + "/dialog-code3.png");
        form.BtnExitClick();
        return;
      }
      if (stage == 0) {
        const bool transfer = c.Status().rfind("Sending new firmware", 0) == 0;
        if (!transfer || c.ProgressPosition() * 3 < c.ProgressMax()) return;
        failures += !Save(&form, out + "/window-transfer.png");
        form.BtnOpenDebugClick();
        stage = 1;
      } else if (stage == 1) {
        failures += !Save(&form, out + "/window-diagnostic.png");
        dialog.ShowErrorMessage(1);
        stage = 2;
      } else if (stage == 2) {
        failures += !Save(&dialog, out + "/dialog-code1.png");
        dialog.ShowErrorMessage(2);
        stage = 3;
      } else {
        failures += !Save(&dialog, out + "/dialog-code2.png");
        form.BtnExitClick();
      }
    });
    poll.start(200);
    QTimer::singleShot(120000, [&] {
      std::fprintf(stderr, "the transfer did not come\n");
      for (const auto& run : form.Controller().Ports()) {
        std::fprintf(stderr, "%s: %s, %d/%d, error %u, %s\n", run->Name().c_str(),
                     run->Result().Status.c_str(), run->ProgressPosition(), run->ProgressMax(),
                     static_cast<unsigned>(run->Result().ErrorCode), app::OutcomeName(run->Result().Outcome));
      }
      ++failures;
      form.BtnExitClick();
    });
    if (!form.Controller().Closed()) application.exec();
    runtime.Shutdown();
    form.Controller().Shutdown();
    tk::Thread::WaitForDetachedThreads(5000);
    runtime.SetMessageBoxHandler(nullptr);
  }
  tk::Install(nullptr);
  return failures == 0 ? 0 : 1;
}
