// The diagnostic log: every line the engine reports plus the start-up lines, from one empty first line on.
// The window's log box and the console show it; the error log file is written from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace app {

class DiagnosticLog {
 public:
  DiagnosticLog() : lines_(1) {}

  // Adds the text as the new last line; each line break in it (CR LF, LF or a lone CR) starts another line,
  // so "a\r\n\r\n" adds "a" and two empty lines. Returns the lines added.
  std::vector<std::string> Append(const std::string& text);

  const std::vector<std::string>& Lines() const { return lines_; }
  // The whole log as the error log file holds it: every line ended by CR LF.
  std::string FileText() const;
  // Counts the changes, so a writer can tell whether the log grew since it was saved.
  uint64_t Revision() const { return revision_; }

 private:
  std::vector<std::string> lines_;
  uint64_t revision_ = 0;
};

}  // namespace app
