#include "app/core/DiagnosticLog.h"

namespace app {

std::vector<std::string> DiagnosticLog::Append(const std::string& text) {
  std::vector<std::string> added(1);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      added.emplace_back();
    } else {
      added.back().push_back(c);
    }
  }
  lines_.insert(lines_.end(), added.begin(), added.end());
  ++revision_;
  return added;
}

std::string DiagnosticLog::FileText() const {
  size_t size = 0;
  for (const auto& line : lines_) size += line.size() + 2;
  std::string out;
  out.reserve(size);
  for (const auto& line : lines_) {
    out += line;
    out += "\r\n";
  }
  return out;
}

}  // namespace app
