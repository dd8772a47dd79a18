// The updater in a web page: the page's script hands actions in (a run's command line, stop, save a copy),
// the engine runs them on the one thread the browser gives, and every report goes back to the script as the
// JSON console's events. Each run has a runtime and a controller of its own, as each start of the program
// has.
#include <emscripten.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/core/JsonView.h"
#include "app/core/UpdateController.h"
#include "app/web/PagePayloads.h"
#include "toolkit/Sync.h"
#include "toolkit/loop/LoopRuntime.h"
#include "toolkit/loop/LoopWait.h"

namespace {

// clang-format off
EM_JS(void, PageEvent, (const char* line), { Module.braePage.event(UTF8ToString(line)); });
EM_JS(char*, PageTakeAction, (), {
  const a = Module.braePage.takeAction();
  return a ? allocateUTF8(a) : 0;
});
// clang-format on

// The next action the page has for the engine, or empty.
std::string TakeAction() {
  char* a = PageTakeAction();
  if (!a) return {};
  std::string s(a);
  std::free(a);
  return s;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return out;
    start = end + 1;
  }
}

// The JSON console's events, handed to the page; and the error dialog's hiding, which that console has no
// event for.
class PageView : public app::JsonView {
 public:
  explicit PageView(Options o) : JsonView(std::move(o)) {}
  void Hide() override {
    JsonView::Hide();
    PageEvent(R"({"v":1,"event":"error_hidden"})");
  }
};

// One run, from the page's command line to its end.
void Run(const std::vector<std::string>& args) {
  tk::LoopRuntime rt(tk::LoopRuntime::Clock::Real, tk::LoopRuntime::Threads::Single);
  tk::Install(&rt);
  bool ended = false;
  app::JsonView::Options o;
  o.Log = true;
  o.Line = [](const std::string& line) { PageEvent(line.c_str()); };
  o.OnEnd = [&ended](int) { ended = true; };
  {
    PageView view(o);
    rt.SetMessageBoxHandler(
        [&view](const std::string& text, const std::string& caption) { view.MessageBox(text, caption); });
    app::UpdateController::Options co;
    co.LogDir = "/log";
    co.SelfPath = "";
    co.EndWhenEngineFinishes = true;
    co.Carrier = "page";
    app::UpdateController controller(view, co);
    controller.SetErrorDialog(&view);
    controller.FormShow(args);
    while (!ended && !controller.Closed()) {
      rt.WaitMessages(1000);
      const std::string action = TakeAction();
      if (action == "stop") controller.Close();
    }
    app::FinishProgram(rt, controller);
  }
  tk::Install(nullptr);
}

}  // namespace

int main() {
  // The page's files: what the technician chose (/in) and the runs' logs (/log), in memory.
  mkdir("/in", 0755);
  mkdir("/log", 0755);
  webapp::LoadPagePayloads();
  for (;;) {
    std::string action = TakeAction();
    if (action.empty()) {
      tk::loop::WaitRoused(1000);
      continue;
    }
    std::vector<std::string> lines = Lines(action);
    const std::string verb = lines.front();
    lines.erase(lines.begin());
    if (verb == "start") {
      Run(lines);
    } else if (verb == "save" && lines.size() == 3) {
      webapp::SaveCopy(lines[0], lines[1], lines[2]);
    }
  }
}
