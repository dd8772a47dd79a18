#include "app/core/ConsolePresentation.h"

#include "serial/CommOs.h"

namespace app {

namespace {

ConsoleView::Options HumanOptions(const ConsolePresentation::Options& options) {
  ConsoleView::Options human;
  human.Out = options.Json ? stderr : stdout;
  human.Terminal = options.IsTerminal && options.IsTerminal(human.Out);
  human.LiveLog = options.LiveLog && !options.Json;
  human.Device = [](const std::string& name) { return commos::ResolvePortName(name); };
  if (human.Terminal && options.Columns) {
    FILE* out = human.Out;
    human.Columns = [columns = options.Columns, out] { return columns(out); };
  }
  // With JSON lines the machine view ends the program.
  if (!options.Json) human.OnEnd = options.OnEnd;
  return human;
}

JsonView::Options MachineOptions(const ConsolePresentation::Options& options, ConsoleView* human) {
  JsonView::Options machine;
  machine.Log = options.LiveLog;
  machine.Device = [](const std::string& name) { return commos::ResolvePortName(name); };
  machine.Human = human;
  machine.OnEnd = options.OnEnd;
  return machine;
}

}  // namespace

ConsolePresentation::ConsolePresentation(const Options& options)
    : json_(options.Json), human_(HumanOptions(options)), machine_(MachineOptions(options, &human_)) {}

IView& ConsolePresentation::View() {
  return json_ ? static_cast<IView&>(machine_) : human_;
}

engine::IErrorDialog& ConsolePresentation::Dialog() {
  return json_ ? static_cast<engine::IErrorDialog&>(machine_) : human_;
}

void ConsolePresentation::MessageBox(const std::string& text, const std::string& caption) {
  if (json_) {
    machine_.MessageBox(text, caption);
  } else {
    human_.MessageBox(text, caption);
  }
}

}  // namespace app
