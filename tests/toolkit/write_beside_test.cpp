// Replacing a file by writing beside it and renaming: on real files in a scratch directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <vector>

#include "tests/support/files.h"
#include "toolkit/files/WriteBeside.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;
using Failure = tk::WriteBesideResult::Failure;

tk::WriteBesideResult Write(const std::string& target, const std::string& content, mode_t mode = 0600) {
  return tk::WriteBesideAndRename(target, content.data(), content.size(), mode);
}

// The names in the directory: nothing may be left beside the target.
std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(0, lstat(path.c_str(), &st));
  return st.st_mode;
}

TEST(WriteBeside, WritesANewFileWithItsModeAndLeavesNothingElse) {
  TempDir dir;
  const struct {
    std::string content;
    mode_t mode;
  } cases[] = {
      {"log text\r\n", 0600}, {std::string(300000, '\x7F') + std::string(1, '\0'), 0755}, {"", 0644}};
  for (const auto& c : cases) {
    ASSERT_TRUE(Write(dir / "out", c.content, c.mode).Ok());
    EXPECT_EQ(c.content, ReadFile(dir / "out"));
    EXPECT_EQ(c.mode, ModeOf(dir / "out") & 07777);
    EXPECT_EQ(std::vector<std::string>{"out"}, Names(dir.path));
  }
}

TEST(WriteBeside, ReplacesALinkAndNotWhatItPointsTo) {
  TempDir dir;
  WriteFile(dir / "victim", "keep me");
  ASSERT_EQ(0, symlink((dir / "victim").c_str(), (dir / "out").c_str()));
  ASSERT_TRUE(Write(dir / "out", "new").Ok());
  EXPECT_EQ("keep me", ReadFile(dir / "victim"));
  EXPECT_TRUE(S_ISREG(ModeOf(dir / "out")));
  EXPECT_EQ("new", ReadFile(dir / "out"));
  // A link that dangles is no different.
  ASSERT_EQ(0, symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()));
  ASSERT_TRUE(Write(dir / "dangling", "x").Ok());
  EXPECT_FALSE(std::filesystem::exists(dir / "nowhere"));
  EXPECT_EQ("x", ReadFile(dir / "dangling"));
}

TEST(WriteBeside, AFailureLeavesTheTargetAndTheDirectoryAsTheyWere) {
  TempDir dir;
  std::filesystem::create_directory(dir / "busy");
  WriteFile(dir / "busy/inside", "old");
  const struct {
    const char* what;
    std::string target;
    Failure failure;
    int error;
  } cases[] = {
      {"a directory holds the name", dir / "busy", Failure::Rename, EISDIR},
      {"the directory is missing", dir / "missing/out", Failure::Directory, ENOENT},
      {"the directory is a file", dir / "busy/inside/out", Failure::Directory, ENOTDIR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const tk::WriteBesideResult r = Write(c.target, "new");
    EXPECT_EQ(c.failure, r.failure);
    EXPECT_EQ(c.error, r.error);
  }
  EXPECT_EQ((std::vector<std::string>{"busy"}), Names(dir.path));
  EXPECT_EQ(std::vector<std::string>{"inside"}, Names(dir / "busy"));
  EXPECT_EQ("old", ReadFile(dir / "busy/inside"));
}

TEST(WriteBeside, AnotherUsersFileIsNotReplaced) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
  TempDir dir;
  chmod(dir.path.c_str(), 01777);  // a shared directory, like /tmp
  const struct {
    const char* name;
    bool link;
  } cases[] = {{"file", false}, {"link", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string target = dir / c.name;
    if (c.link) {
      ASSERT_EQ(0, symlink("/nowhere", target.c_str()));
    } else {
      WriteFile(target, "theirs");
    }
    ASSERT_EQ(0, lchown(target.c_str(), 65534, 65534));
    const tk::WriteBesideResult r = Write(target, "mine");
    EXPECT_EQ(Failure::Foreign, r.failure);
    if (!c.link) {
      EXPECT_EQ("theirs", ReadFile(target));
    }
  }
  EXPECT_EQ((std::vector<std::string>{"file", "link"}), Names(dir.path));
}

TEST(WriteBeside, ARelativeNameIsWrittenInTheWorkingDirectory) {
  TempDir dir;
  const auto before = std::filesystem::current_path();
  std::filesystem::current_path(dir.path);
  const bool ok = Write("plain", "here").Ok();
  std::filesystem::current_path(before);
  EXPECT_TRUE(ok);
  EXPECT_EQ("here", ReadFile(dir / "plain"));
}

}  // namespace
