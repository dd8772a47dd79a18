// What both systems' WriteLogFile do once the folder is there: replace the file, and say why not in the
// words of the C library (the toolkit reports errno values on every system).
#include <cstring>

#include "app/core/LogFile.h"
#include "toolkit/files/WriteBeside.h"

namespace app {

void ReplaceLogFile(LogFileResult& r, const std::string& dir, const std::string& content) {
  const tk::WriteBesideResult w = tk::WriteBesideAndRename(r.Path, content.data(), content.size(), 0600);
  using Failure = tk::WriteBesideResult::Failure;
  const std::string why = w.failure == Failure::None ? std::string() : std::strerror(w.error);
  switch (w.failure) {
    case Failure::None:
      r.Written = true;
      break;
    case Failure::Directory:
      r.Error = dir + ": " + why;
      break;
    case Failure::Foreign:
      r.Error = r.Path + ": belongs to another user";
      break;
    case Failure::Create:
      r.Error = "cannot create a file in " + dir + ": " + why;
      break;
    case Failure::Write:
    case Failure::Permissions:
    case Failure::Rename:
      r.Error = r.Path + ": " + why;
      break;
  }
}

}  // namespace app
