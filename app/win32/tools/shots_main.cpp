// Takes the documentation's pictures of the Windows window and dialog from the real program, with the real
// engine updating a simulated indicator (scripts/screenshots-windows.sh starts it, and runs this under Wine
// on an X display): the window during the firmware transfer, and the error dialog with code 1. With /all, the
// batch window instead: once one port is a third through its firmware and every other port has ended, shows
// an error or still looks for its indicator.
//
//   brae-update-shots.exe OUTDIR /i firmware.bin loader.s19
//   brae-update-shots.exe OUTDIR /all /p COM1 /p COM2 ... /i firmware.bin loader.s19
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/core/LogFile.h"
#include "app/win32/tools/png.h"
#include "payload/ExeFile.h"
#include "toolkit/Sync.h"
#include "toolkit/win32/Text.h"
// After <windows.h>.
#include <commctrl.h>

#include "app/win32/UpdateWindow.h"
#include "toolkit/win32/Win32Runtime.h"

namespace {

// The window's client area as it is on the screen (as the pictures of the Qt window show it), copied from the
// screen after bringing the window to the front: asked to draw itself into a bitmap (PrintWindow), a window
// leaves its controls out under Wine, and the frame Wine draws on a display without a window manager lacks
// the caption buttons' symbol font.
bool Capture(HWND window, const std::string& path) {
  SetForegroundWindow(window);
  BringWindowToTop(window);
  UpdateWindow(window);
  RECT r{};
  GetClientRect(window, &r);
  POINT origin{0, 0};
  ClientToScreen(window, &origin);
  OffsetRect(&r, origin.x, origin.y);
  const int width = r.right - r.left, height = r.bottom - r.top;
  if (width <= 0 || height <= 0) return false;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = bitmap && bits;
  if (ok) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    ok = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY | CAPTUREBLT) != FALSE;
    GdiFlush();
    SelectObject(memory, old);
  }
  if (ok) {
    const auto* bgra = static_cast<const uint8_t*>(bits);
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0, n = static_cast<size_t>(width) * height; i < n; ++i) {
      rgb[i * 3] = bgra[i * 4 + 2];
      rgb[i * 3 + 1] = bgra[i * 4 + 1];
      rgb[i * 3 + 2] = bgra[i * 4];
    }
    const std::string png =
        shots::EncodePng(static_cast<uint32_t>(width), static_cast<uint32_t>(height), rgb);
    std::ofstream out(tk::win32::Widen(path).c_str(), std::ios::binary);
    out.write(png.data(), static_cast<std::streamsize>(png.size()));
    out.close();
    ok = !out.fail();
  }
  if (bitmap) DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  std::printf("%s %s (%dx%d)\n", ok ? "wrote" : "could not write", path.c_str(), width, height);
  return ok;
}

// Lets the windows paint what they were just told.
void Settle(tk::Win32Runtime& runtime) {
  for (int i = 0; i < 10; ++i) {
    runtime.ProcessMessages();
    Sleep(20);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTDIR [updater arguments...]\n", argv[0]);
    return 2;
  }
  const std::string out = argv[1];
  std::vector<std::string> args = {"brae-update"};
  for (int i = 2; i < argc; ++i) args.emplace_back(argv[i]);
  const bool batch = std::find(args.begin(), args.end(), "/all") != args.end();

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  tk::Win32Runtime runtime;
  tk::Install(&runtime);
  int failures = 0;
  {
    app::TUpdateForm form({app::LogDirectoryFromEnvironment(), payload::SelfExecutablePath(), false});
    app::TErrorMessageDlg dialog([&form] { form.BtnExitClick(); }, form.Window);
    form.SetErrorDialog(&dialog);
    runtime.SetMessageBoxHandler([](const std::string& text, const std::string&) {
      std::fprintf(stderr, "message: %s\n", text.c_str());
    });
    form.Show();
    form.FormShow(args);

    // Once the firmware is a third of the way, the pictures are taken one after the other.
    std::unique_ptr<tk::Timer> poll = runtime.NewTimer();
    int stage = 0;
    bool busy = false;  // the waits for painting below run the message loop, and so this timer again
    const uint32_t start = GetTickCount();
    poll->SetInterval(200);
    poll->SetOnTimer([&] {
      app::UpdateController& c = form.Controller();
      if (busy) return;
      if (GetTickCount() - start > 120000) {
        std::fprintf(stderr, "the transfer did not come\n");
        ++failures;
        poll->SetEnabled(false);
        form.BtnExitClick();
      } else if (batch) {
        bool third = false, othersShown = true;
        for (const auto& run : c.Ports()) {
          const bool transfer = run->Result().Status.rfind("Sending new firmware", 0) == 0 &&
                                run->ProgressPosition() * 3 >= run->ProgressMax();
          if (transfer && !third) {
            third = true;
          } else if (run->Running() && run->Result().ErrorCode == 0 && run->Result().Baud != 0) {
            othersShown = false;
          }
        }
        if (!third || !othersShown) return;
        busy = true;
        Settle(runtime);
        failures += !Capture(form.Window, out + "\\windows-batch.png");
        poll->SetEnabled(false);
        form.BtnExitClick();
      } else if (stage == 0) {
        const bool transfer = c.Status().rfind("Sending new firmware", 0) == 0;
        if (!transfer || c.ProgressPosition() * 3 < c.ProgressMax()) return;
        busy = true;
        Settle(runtime);
        failures += !Capture(form.Window, out + "\\windows-window.png");
        busy = false;
        dialog.ShowErrorMessage(1);
        stage = 1;
      } else {
        busy = true;
        Settle(runtime);
        failures += !Capture(dialog.Window, out + "\\windows-dialog.png");
        poll->SetEnabled(false);
        form.BtnExitClick();
      }
    });
    poll->SetEnabled(true);
    if (!form.Controller().Closed()) runtime.Run();
    poll.reset();
    runtime.Shutdown();
    form.Controller().Shutdown();
    tk::Thread::WaitForDetachedThreads(5000);
    runtime.SetMessageBoxHandler(nullptr);
  }
  tk::Install(nullptr);
  return failures == 0 ? 0 : 1;
}
