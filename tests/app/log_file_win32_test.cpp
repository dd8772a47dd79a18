// The error log file on Windows: where it goes, and how it replaces an older one.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "app/core/LogFile.h"
#include "app/core/Texts.h"
#include "toolkit/files/WriteBeside.h"
#include "toolkit/win32/Text.h"

#include <aclapi.h>
#include <sddl.h>

namespace app {
namespace {

namespace fs = std::filesystem;

// Paths in UTF-8, as the log file's calls take them.
fs::path P(const std::string& utf8) {
  return fs::path(tk::win32::Widen(utf8));
}
std::string U8(const fs::path& p) {
  return tk::win32::Narrow(p.wstring());
}

struct Folder {
  fs::path path =
      fs::temp_directory_path() / P("brae-log-\xc3\xbc-" + std::to_string(std::random_device{}()));
  Folder() { fs::create_directories(path); }
  ~Folder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return U8(path / P(name)); }
  std::vector<std::string> List(const std::string& sub = "") const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(path / P(sub))) names.push_back(U8(e.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
  }
};

// Under Wine: runs the host's program on the host's names of `paths`. Wine cannot wait for a host process,
// so the caller waits for what it does.
bool OnHost(const wchar_t* program, std::wstring command, std::initializer_list<std::string> paths) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  const auto unixName = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
  if (!unixName) return false;
  for (const std::string& path : paths) {
    char* name = unixName(P(path).c_str());
    command += L" \"" + P(name).wstring() + L"\"";
    HeapFree(GetProcessHeap(), 0, name);
  }
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return false;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

template <typename Done>
bool WaitFor(Done done) {
  for (int i = 0; i < 500; ++i, Sleep(20)) {
    if (done()) return true;
  }
  return false;
}

bool IsLink(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(P(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A directory link as a user may leave one at c:\Temp. Wine's CreateSymbolicLinkW makes nothing, so there the
// host's ln makes it (a host link shows as a reparse point); Wine's DeleteFileW on it would remove its
// target.
struct DirectoryLink {
  std::string link;
  bool made;
  DirectoryLink(const std::string& target, const std::string& at) : link(at) {
    made = OnHost(L"Z:\\bin\\ln", L"ln -s", {target, link})
               ? WaitFor([&] { return IsLink(link); })
               : CreateSymbolicLinkW(P(link).c_str(), P(target).c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
  }
  ~DirectoryLink() {
    const fs::path path = P(link);
    const auto gone = [&] {
      for (const auto& e : fs::directory_iterator(path.parent_path()))
        if (e.path().filename() == path.filename()) return false;
      return true;
    };
    if (OnHost(L"Z:\\bin\\rm", L"rm -f", {link})) {
      WaitFor(gone);
    } else {
      RemoveDirectoryW(path.c_str());
    }
  }
};

std::string Read(const std::string& path) {
  std::ifstream in(P(path), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(LogFileWindows, ThePlaceByPriority) {
  EXPECT_EQ(LogDirectory("D:\\logs"), "D:\\logs");  // the variable wins
  EXPECT_EQ(LogDirectory(""), "c:\\Temp");          // empty counts as unset
  EXPECT_EQ(LogDirectory(nullptr), "c:\\Temp");
  EXPECT_EQ(LogFallbackDirectory("C:\\Users\\t\\AppData\\Local"),
            "C:\\Users\\t\\AppData\\Local\\brae-update");
  EXPECT_EQ(LogFallbackDirectory("C:\\Users\\t\\AppData\\Local\\"),
            "C:\\Users\\t\\AppData\\Local\\brae-update");
  EXPECT_EQ(LogFallbackDirectory(""), "");
  EXPECT_EQ(LogFallbackDirectory(nullptr), "");
}

TEST(LogFileWindows, TheEnvironmentIsReadAsUnicode) {
  Folder folder;
  const std::string dir = folder / "logs-\xe2\x82\xac";
  ASSERT_TRUE(SetEnvironmentVariableW(L"BRAE_LOG_DIR", tk::win32::Widen(dir).c_str()));
  EXPECT_EQ(LogDirectoryFromEnvironment(), dir);
  SetEnvironmentVariableW(L"BRAE_LOG_DIR", nullptr);
  // Whether c:\Temp is there or not: it is made when the file is written, not when the place is chosen.
  const bool serviceFolder = fs::exists("c:\\Temp");
  EXPECT_EQ(LogDirectoryFromEnvironment(), "c:\\Temp");
  EXPECT_EQ(fs::exists("c:\\Temp"), serviceFolder);
}

// A folder standing for c:\Temp, in each of the states a PC may have it in, and what becomes of the file.
TEST(LogFileWindows, TheServiceFolderIsMadeOrTheFileGoesToTheFallbackAndSaysWhy) {
  enum Setup { kMissing, kFolder, kPlainFile, kLink, kNameHeldByFolder, kParentMissing };
  struct Case {
    const char* what;
    Setup setup;
    bool inService;     // the file lands in the service folder
    std::string error;  // the reason the fallback's note gives
  } cases[] = {
      {"missing", kMissing, true, ""},
      {"there", kFolder, true, ""},
      {"a file in its place", kPlainFile, false, "\\Temp: "},
      {"a link", kLink, false, "is a link, not a folder of its own"},
      {"the name held by a folder", kNameHeldByFolder, false, kLogFileName},
      {"its parent missing", kParentMissing, false, "cannot create "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Folder folder;
    fs::create_directories(P(folder / "elsewhere"));
    std::string service = folder / "Temp";
    std::unique_ptr<DirectoryLink> link;  // gone before the folder
    switch (c.setup) {
      case kMissing:
        break;
      case kFolder:
        fs::create_directories(P(service));
        std::ofstream(P(service + "\\other.txt")) << "kept";
        break;
      case kPlainFile:
        std::ofstream(P(service)) << "not a folder";
        break;
      case kLink:  // a junction or symbolic link: under Wine, a host link shows as a reparse point
        link = std::make_unique<DirectoryLink>(folder / "elsewhere", service);
        ASSERT_TRUE(link->made);
        break;
      case kNameHeldByFolder:
        fs::create_directories(P(service) / kLogFileName);
        break;
      case kParentMissing:
        service = folder / "gone\\Temp";  // made one level only, as by hand
        break;
    }
    const std::string fallback = folder / "local\\brae-update";
    const LogFileResult r = WriteServiceLogFile(service, fallback, kLogFileName, "log\r\n");
    ASSERT_TRUE(r.Written) << r.Error;
    if (c.inService) {
      EXPECT_EQ(r.Path, service + "\\" + kLogFileName);
      EXPECT_EQ(Read(r.Path), "log\r\n");
      EXPECT_EQ(r.Note, "");
      EXPECT_FALSE(fs::exists(P(fallback)));
      continue;
    }
    EXPECT_EQ(r.Path, fallback + "\\" + kLogFileName);
    EXPECT_EQ(r.Note.rfind("The error log file cannot go to " + service + " (", 0), 0u) << r.Note;
    EXPECT_NE(r.Note.find(c.error), std::string::npos) << r.Note;
    const std::string end = "): it is " + r.Path;
    EXPECT_EQ(r.Note.substr(r.Note.size() - std::min(r.Note.size(), end.size())), end);
    EXPECT_EQ(Read(r.Path), "log\r\n" + r.Note + "\r\n");  // the file says it too
    EXPECT_TRUE(folder.List("elsewhere").empty());         // nothing through the link
  }
}

TEST(LogFileWindows, WithoutTheServiceFolderOrAFallbackNothingIsWrittenAndBothReasonsAreGiven) {
  Folder folder;
  std::ofstream(P(folder / "Temp")) << "not a folder";
  const LogFileResult r = WriteServiceLogFile(folder / "Temp", "", kLogFileName, "log\r\n");
  EXPECT_FALSE(r.Written);
  EXPECT_EQ(r.Error.rfind(folder / "Temp: ", 0), 0u) << r.Error;
  EXPECT_NE(r.Error.find("LOCALAPPDATA is not set"), std::string::npos) << r.Error;
  EXPECT_EQ(Read(folder / "Temp"), "not a folder");
}

// The real c:\ of this Wine prefix: what the program does on a PC without c:\Temp, and with a file of that
// name. Whatever stood there before is moved aside and put back, for the other tests.
TEST(LogFileWindows, OnThisDriveAMissingServiceFolderIsMadeAndOneThatCannotBeIsNamed) {
  const fs::path service = "c:\\Temp";
  const fs::path saved = "c:\\Temp.brae-saved-" + std::to_string(std::random_device{}());
  const bool existed = fs::exists(fs::symlink_status(service));
  if (existed) fs::rename(service, saved);
  struct Restore {
    fs::path service, saved;
    bool existed;
    ~Restore() {
      std::error_code ec;
      fs::remove_all(service, ec);
      if (existed) fs::rename(saved, service, ec);
    }
  } restore{service, saved, existed};

  Folder folder;
  SetEnvironmentVariableW(L"BRAE_LOG_DIR", nullptr);
  SetEnvironmentVariableW(L"LOCALAPPDATA", tk::win32::Widen(folder / "local").c_str());
  LogFileResult r = WriteLogFile(LogDirectoryFromEnvironment(), kLogFileName, "made\r\n");
  ASSERT_TRUE(r.Written) << r.Error;
  EXPECT_EQ(r.Path, std::string("c:\\Temp\\") + kLogFileName);
  EXPECT_EQ(r.Note, "");
  EXPECT_TRUE(fs::is_directory(service));
  EXPECT_EQ(Read(r.Path), "made\r\n");

  fs::remove_all(service);
  std::ofstream(service) << "not a folder";
  r = WriteLogFile(LogDirectoryFromEnvironment(), kLogFileName, "moved\r\n");
  ASSERT_TRUE(r.Written) << r.Error;
  EXPECT_EQ(r.Path, (folder / "local\\brae-update\\") + kLogFileName);
  EXPECT_EQ(r.Note.rfind("The error log file cannot go to c:\\Temp (c:\\Temp: ", 0), 0u) << r.Note;
  EXPECT_EQ(Read(r.Path), "moved\r\n" + r.Note + "\r\n");
  SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
}

TEST(LogFileWindows, WrittenIntoNewFoldersAndReplacingAnOlderFileWithNothingLeftBeside) {
  Folder folder;
  const std::string dir = folder / "a\\b\\c";
  LogFileResult r = WriteLogFile(dir, kLogFileName, "first\r\n");
  ASSERT_TRUE(r.Written) << r.Error;
  EXPECT_EQ(r.Path, dir + "\\" + kLogFileName);
  EXPECT_EQ(Read(r.Path), "first\r\n");
  const std::string longer(200000, 'x');
  r = WriteLogFile(dir + "\\", kLogFileName, longer);  // a trailing separator makes no double one
  ASSERT_TRUE(r.Written) << r.Error;
  EXPECT_EQ(r.Path, dir + "\\" + kLogFileName);
  EXPECT_TRUE(Read(r.Path) == longer);
  EXPECT_EQ(folder.List("a\\b\\c"), std::vector<std::string>{kLogFileName});
}

TEST(LogFileWindows, WhatCannotBeWrittenSaysWhyAndLeavesNothing) {
  Folder folder;
  std::ofstream(P(folder / "file")) << "x";
  fs::create_directories(P(folder / "held") / kLogFileName);  // a folder holds the name
  struct Case {
    std::string dir, errorStart;
  } cases[] = {
      {"", "no directory for the log file"},
      {folder / "file", folder / "file: "},
      {folder / "file\\below", folder / "file: "},  // the parent in the way is named
      {folder / "bad<name>", "cannot create " + (folder / "bad<name>") + ": "},
      {folder / "held", folder / "held\\" + kLogFileName + ": "},
  };
  for (const Case& c : cases) {
    const LogFileResult r = WriteLogFile(c.dir, kLogFileName, "text");
    EXPECT_FALSE(r.Written) << c.dir;
    EXPECT_EQ(r.Error.rfind(c.errorStart, 0), 0u) << r.Error;
  }
  EXPECT_EQ(folder.List(), (std::vector<std::string>{"file", "held"}));
  EXPECT_EQ(folder.List("held"), std::vector<std::string>{kLogFileName});
}

// While held, the service folder can be neither renamed nor removed (so no link can take its place); once let
// go, it can. What cannot be held says why.
TEST(LogFileWindows, TheServiceFolderIsHeldWhileTheFileIsWritten) {
  enum Setup { kMissing, kFolder, kPlainFile, kLink };
  struct Case {
    const char* what;
    Setup setup;
    std::string error;  // in Error(); empty when held
  } cases[] = {
      {"missing, then made", kMissing, ""},
      {"there", kFolder, ""},
      {"a file in its place", kPlainFile, "\\Temp: "},
      {"a link", kLink, "\\Temp: is a link, not a folder of its own"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Folder folder;
    fs::create_directories(P(folder / "elsewhere"));
    const std::string service = folder / "Temp";
    const std::string moved = folder / "Temp.moved";
    std::unique_ptr<DirectoryLink> link;
    if (c.setup == kFolder) fs::create_directories(P(service));
    if (c.setup == kPlainFile) std::ofstream(P(service)) << "not a folder";
    if (c.setup == kLink) {
      link = std::make_unique<DirectoryLink>(folder / "elsewhere", service);
      ASSERT_TRUE(link->made);
    }
    {
      const ServiceFolderHold held(service);
      if (!c.error.empty()) {
        EXPECT_NE(held.Error().find(c.error), std::string::npos) << held.Error();
        continue;
      }
      ASSERT_EQ(held.Error(), "");
      EXPECT_TRUE(fs::is_directory(P(service)));
      EXPECT_FALSE(MoveFileExW(P(service).c_str(), P(moved).c_str(), 0));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
      EXPECT_FALSE(RemoveDirectoryW(P(service).c_str()));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
      std::ofstream(P(service + "\\inside.txt")) << "x";  // files still go in
      EXPECT_EQ(Read(service + "\\inside.txt"), "x");
    }
    EXPECT_TRUE(MoveFileExW(P(service).c_str(), P(moved).c_str(), 0)) << GetLastError();
  }
}

// The file's owner as text; empty when it cannot be read.
std::wstring OwnerOf(const std::string& path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  wchar_t* text = nullptr;
  std::wstring sid;
  if (GetNamedSecurityInfoW(P(path).c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                            nullptr, nullptr, &security) == ERROR_SUCCESS &&
      owner && ConvertSidToStringSidW(owner, &text)) {
    sid = text;
    LocalFree(text);
  }
  LocalFree(security);
  return sid;
}

bool IsOwn(const std::wstring& text) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(text.c_str(), &sid)) return false;
  const bool own = tk::IsOwnSid(sid);
  LocalFree(sid);
  return own;
}

// What this process's files are given counts as its own; other SIDs do not.
TEST(LogFileWindows, OnlyThisProcesssOwnSidsCountAsItsOwn) {
  Folder folder;
  std::ofstream(P(folder / "mine")) << "x";
  const struct {
    const char* what;
    std::wstring sid;
    bool own;
  } cases[] = {
      {"the owner of a file it made", OwnerOf(folder / "mine"), true},
      {"LocalSystem", L"S-1-5-18", false},
      {"Anonymous (Wine's owner of another host user's file)", L"S-1-5-7", false},
      {"another account of a domain", L"S-1-5-21-1-2-3-1001", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_FALSE(c.sid.empty());
    EXPECT_EQ(IsOwn(c.sid), c.own);
  }
}

// The owner check must not misfire on what this process made, under Wine as on Windows: a second run's log
// replaces the first's.
TEST(LogFileWindows, ALogThisProcessMadeIsReplacedInTheServiceFolder) {
  Folder folder;
  const std::string service = folder / "Temp";
  for (const char* content : {"first", "second"}) {
    const LogFileResult r = WriteServiceLogFile(service, folder / "local", kLogFileName, content);
    ASSERT_TRUE(r.Written) << r.Error;
    EXPECT_EQ(r.Path, service + "\\" + kLogFileName);
    EXPECT_EQ(r.Note, "");
    EXPECT_TRUE(IsOwn(OwnerOf(r.Path)));
    EXPECT_EQ(Read(r.Path), content);
  }
  EXPECT_EQ(folder.List(), std::vector<std::string>{"Temp"});  // no fallback
  EXPECT_EQ(folder.List("Temp"), std::vector<std::string>{kLogFileName});
}

// Another technician's log in the service folder is left as it is; this one goes to the fallback, which says
// why. Under Wine the other user is another host user: the host's chown makes the file theirs, which needs a
// host root. (Setting another owner from within Wine succeeds and changes nothing.)
TEST(LogFileWindows, AnotherUsersLogInTheServiceFolderIsLeftAndTheFileGoesToTheFallback) {
  Folder folder;
  const std::string service = folder / "Temp";
  fs::create_directories(P(service));
  const std::string theirs = service + "\\" + kLogFileName;
  std::ofstream(P(theirs)) << "their log";
  if (!OnHost(L"Z:\\bin\\chown", L"chown 65534", {theirs}) ||
      !WaitFor([&] { return !OwnerOf(theirs).empty() && !IsOwn(OwnerOf(theirs)); }))
    GTEST_SKIP() << "no other host user can be given the file here";
  const std::string fallback = folder / "local\\brae-update";
  const LogFileResult r = WriteServiceLogFile(service, fallback, kLogFileName, "log\r\n");
  ASSERT_TRUE(r.Written) << r.Error;
  EXPECT_EQ(r.Path, fallback + "\\" + kLogFileName);
  EXPECT_NE(r.Note.find(theirs + ": belongs to another user"), std::string::npos) << r.Note;
  EXPECT_EQ(Read(theirs), "their log");
  EXPECT_EQ(folder.List("Temp"), std::vector<std::string>{kLogFileName});  // nothing left beside
}

}  // namespace
}  // namespace app
