#include "payload/PageBuilder.h"

#include <cstdint>
#include <utility>

#include "payload/OsFile.h"
#include "payload/PageFile.h"
#include "payload/PayloadFile.h"

namespace payload {
namespace {

// A page is a document to pass on: readable by all, like the pages a browser saves.
constexpr uint32_t kPageMode = 0644;

// A name on the command line that is missing, or that the parser took from the option after it.
bool Missing(const std::string& arg) {
  return arg.empty() || IsOption(arg);
}

}  // namespace

bool EndsWithHtml(const std::string& name) {
  constexpr char kHtml[] = ".html";
  const size_t n = sizeof kHtml - 1;
  if (name.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = name[name.size() - n + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kHtml[i]) return false;
  }
  return true;
}

BuildResult BuildWebPage(bool copyFirmware, bool copyLoader, CommandLine& cl, const std::string& selfPath) {
  BuildResult result;
  if (!copyFirmware || Missing(cl.TargetName) || Missing(cl.FirmwarePath)) {
    result.Message =
        "/w writes a web page carrying a firmware, and needs its name and the firmware file: /w Name fw.bin "
        "[/l ld.s19] writes Name.html";
    return result;
  }
  if (!EndsWithHtml(cl.TargetName)) cl.TargetName += ".html";
  result.OutputPath = cl.TargetName;

  // Beside the program first: a copy of the program with a page of its own beside it builds from that page.
  const std::pair<std::string, const char*> places[] = {
      {FolderOf(selfPath), "beside the program"},
      {BRAE_DATA_DIR, "the package's data folder, where the web build installs it"}};
  std::string templatePath, where;
  for (const auto& [folder, what] : places) {
    if (folder.empty()) continue;
    // FolderOf ends in its separator (a backslash on Windows); the data folder is named without one.
    const bool separated = folder.back() == '/' || folder.back() == '\\';
    const std::string path = folder + (separated ? "" : "/") + kPageTemplateName;
    if (templatePath.empty() && PayloadFile::Exists(path)) templatePath = path;
    where += (where.empty() ? "" : " or at ") + path + " (" + what + ")";
  }
  if (templatePath.empty()) {
    result.Message = "Can not build " + cl.TargetName + ": there is no page template at " + where;
    return result;
  }
  if (SameFile(cl.TargetName, templatePath)) {
    result.Message = cl.TargetName + " is the page template this build starts from; choose another name";
    return result;
  }
  std::string page;
  try {
    const std::vector<uint8_t> bytes = ReadWholeFile(templatePath);
    page.assign(bytes.begin(), bytes.end());
  } catch (const IoError& e) {
    result.Message = std::string("Can not read the page template ") + e.what();
    return result;
  }
  if (const PagePayloads carried = ReadPagePayloads(page); !carried.Error.empty()) {
    result.Message = "Can not build " + cl.TargetName + " from " + templatePath + ": " + carried.Error;
    return result;
  }

  PagePayload firmware{cl.FirmwarePath, {}}, loader{cl.LoaderPath, {}};
  std::string refusal = ReadCopyPayload(PayloadKind::kFirmware, cl.FirmwarePath, &firmware.Bytes);
  if (refusal.empty() && copyLoader)
    refusal = ReadCopyPayload(PayloadKind::kLoader, cl.LoaderPath, &loader.Bytes);
  // The files passed the same tests already: what BuildPage refuses now is a payload the template carries.
  PageBuildResult built;
  if (refusal.empty() && !BuildPage(page, &firmware, copyLoader ? &loader : nullptr, &built))
    refusal = templatePath + ": " + built.Error;
  if (!refusal.empty()) {
    result.Message = refusal;
    return result;
  }
  try {
    WriteCopy(cl.TargetName, reinterpret_cast<const uint8_t*>(built.Page.data()), built.Page.size(),
              kPageMode);
  } catch (const IoError& e) {
    result.Message = std::string("Can not write ") + e.what();
    return result;
  }
  result.Ok = true;
  result.ExitCode = 0;
  return result;
}

}  // namespace payload
