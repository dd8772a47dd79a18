// Takes the pictures of the documentation from the real window and dialog, with the real engine updating a
// simulated indicator (scripts/screenshots.sh starts it): the window during the firmware transfer, the same
// with the diagnostic log open, and the error dialog with codes 1 and 2.
//
//   brae-update-shots OUTDIR /i firmware.bin loader.s19
#include <QApplication>
#include <QPixmap>
#include <QTimer>
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
