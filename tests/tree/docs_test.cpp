// The README and docs/*.md name code and files; every such name must still exist in the tree, so that a
// rename or a move cannot leave the documentation behind unseen. Names are looked up in the product's own
// sources and the tests' build files (test code and documents excluded: a name that only the tests still use
// has left the program), paths anywhere in the tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path kRoot = BRAE_SOURCE_DIR;

// What the documents quote that is neither code nor a repository path: the program's own texts, options,
// values and files it makes, names of other programs and of tests that exist only in the tests.
const std::set<std::string, std::less<>> kAllowed = {
    // Files the programs and scripts make.
    "Name.exe", "Demo.exe", "UpdateLoad.exe", "demo.s19", "demo.bin", "received.bin", "indicator.txt",
    // Names in the tests the documents point a reader to.
    "TwoAdapters/AdapterPulled", "BRAE_PTY_UART",
    // Outside the tree: udev, sysfs and device names.
    "serial/by-id", "serial/by-id/...", "latency_timer", "ftdi_sio", "ttyUSB1", "ttyUSB2",
    // Other programs.
    "sha256sum"};

enum class Kind { Skip, Path, Name };

bool IsIdentChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool EndsWith(std::string_view s, std::string_view end) {
  return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

// Extensions of files kept in the tree; `demo.bin` or `Name.exe` are what the programs make.
bool HasSourceExtension(std::string_view s) {
  for (std::string_view ext : {".cpp", ".h", ".c", ".md", ".sh", ".in", ".cmake", ".json", ".png", ".1",
                               ".dict", ".txt", ".rc", ".manifest", ".ico", ".svg", ".desktop", ".*"})
    if (EndsWith(s, ext)) return true;
  return false;
}

// How a span in backticks (or a link's target) is checked. Anything with a space is a command line or one
// of the program's texts; options, absolute paths, URLs, numbers and build outputs are not in the tree.
Kind KindOf(std::string_view s) {
  if (s.empty() || s.find_first_of(" \t\n") != std::string_view::npos) return Kind::Skip;
  if (s.find("://") != std::string_view::npos || s.find('\\') != std::string_view::npos) return Kind::Skip;
  const char first = s.front();
  if (first == '-' || first == '/' || first == '$' || first == '%' || first == '~' || first == '.' ||
      first == '"' || first == '#' || (first >= '0' && first <= '9'))
    return Kind::Skip;
  if (s.find('<') != std::string_view::npos) return Kind::Skip;  // a placeholder: `serial/<os>/`
  if (s.rfind("build", 0) == 0) return Kind::Skip;  // build trees: build/, build-windows/, build-fuzz/
  if (s.find('=') != std::string_view::npos)
    return Kind::Name;  // a setting: `BRAE_PORT_DIR=build/demo/ports`
  if (s.find('/') != std::string_view::npos || HasSourceExtension(s)) return Kind::Path;
  return IsIdentChar(first) ? Kind::Name : Kind::Skip;
}

// The identifiers a name is made of: `tk::Thread::Synchronize`, `Port->Read`, `SizeOf()`, `BRAE_CONSOLE=1`.
std::vector<std::string> NameParts(std::string_view s) {
  if (const auto eq = s.find('='); eq != std::string_view::npos) s = s.substr(0, eq);
  std::vector<std::string> parts;
  std::string part;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (IsIdentChar(c) || (c == '-' && (i + 1 == s.size() || s[i + 1] != '>'))) {
      part += c;
    } else if (!part.empty()) {
      parts.push_back(part);
      part.clear();
    }
  }
  if (!part.empty()) parts.push_back(part);
  // `Com1` or `0x2F2A`-like words without a letter-led identifier are values, not names.
  std::erase_if(parts,
                [](const std::string& p) { return p.empty() || !(std::isalpha(p[0]) || p[0] == '_'); });
  return parts;
}

struct Span {
  std::string text;
  int line;
};

// Spans in backticks and the targets of links and pictures, outside fenced blocks.
std::vector<Span> SpansOf(const std::string& text) {
  std::vector<Span> spans;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  bool fenced = false;
  bool open = false;  // a span that goes on from the line before
  while (std::getline(in, line)) {
    ++number;
    if (line.rfind("```", 0) == 0) {
      fenced = !fenced;
      continue;
    }
    if (fenced || (!open && line.rfind("    ", 0) == 0)) continue;  // diagrams, commands and sample output
    size_t i = 0;
    if (open) {
      // A span over two lines holds a line break: a text or a command, never a name.
      i = line.find('`');
      if (i == std::string::npos) continue;
      open = false;
      ++i;
    }
    for (; i < line.size(); ++i) {
      if (line[i] == '`') {
        const size_t end = line.find('`', i + 1);
        if (end == std::string::npos) {
          open = true;
          break;
        }
        spans.push_back({line.substr(i + 1, end - i - 1), number});
        i = end;
      } else if (line[i] == ']' && i + 1 < line.size() && line[i + 1] == '(') {
        const size_t end = line.find(')', i + 2);
        if (end == std::string::npos) break;
        const std::string target = line.substr(i + 2, end - i - 2);
        if (target.find("://") == std::string::npos && target.rfind('#', 0) != 0)
          spans.push_back({target, number});
        i = end;
      }
    }
  }
  return spans;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool Skipped(const fs::path& relative) {
  const std::string top = relative.begin()->string();
  return top.front() == '.' || top.rfind("build", 0) == 0 || top == "out";
}

// The tree as the documents see it: every file and folder, and the words of the product's sources.
struct Tree {
  std::vector<std::string> paths;  // relative, '/'-separated; folders end with '/'
  std::unordered_set<std::string> words;

  Tree() {
    for (auto it = fs::recursive_directory_iterator(kRoot); it != fs::recursive_directory_iterator(); ++it) {
      const fs::path relative = fs::relative(it->path(), kRoot);
      if (Skipped(relative)) {
        if (it->is_directory()) it.disable_recursion_pending();
        continue;
      }
      const std::string name = relative.generic_string();
      if (it->is_directory()) {
        paths.push_back(name + "/");
        continue;
      }
      paths.push_back(name);
      const std::string top = relative.begin()->string();
      // The tests' build files count: they name the tests the documents point to (`windows_wire`).
      const bool testBuild = top == "tests" && relative.filename() == "CMakeLists.txt";
      if ((top == "tests" && !testBuild) || top == "docs" || relative.extension() == ".md" ||
          relative.extension() == ".png" || relative.extension() == ".ico")
        continue;
      std::string word;
      for (char c : ReadText(it->path()) + '\n') {
        if (IsIdentChar(c) || c == '-') {
          word += c;
          continue;
        }
        if (word.empty()) continue;
        words.insert(word);
        // "brae-update" counts as itself and as its parts, as an identifier does.
        if (word.find('-') != std::string::npos) {
          std::istringstream parts(word);
          for (std::string p; std::getline(parts, p, '-');) words.insert(p);
        }
        word.clear();
      }
    }
  }

  // `serial/posix/` from the root, or `posix/net_socket.cpp`, `commos_posix.cpp` within some folder; a
  // `...` or `*` stands for what follows, so only the part before it must exist.
  bool HasPath(std::string p) const {
    for (std::string_view cut : {"...", "*"})
      if (const auto at = p.find(cut); at != std::string::npos) p = p.substr(0, p.rfind('/', at) + 1);
    if (p.empty()) return true;
    return std::any_of(paths.begin(), paths.end(), [&](const std::string& have) {
      const bool folder = p.back() == '/';
      const std::string want = folder || have.back() != '/' ? p : p + "/";
      if (have == want || EndsWith(have, "/" + want)) return true;
      // `loop/LoopRuntime`: a unit by its files' common stem.
      const size_t dot = have.rfind('.');
      if (folder || dot == std::string::npos || dot < have.rfind('/') + 1) return false;
      const std::string stem = have.substr(0, dot);
      return stem == p || EndsWith(stem, "/" + p);
    });
  }
};

const Tree& TheTree() {
  static const Tree tree;
  return tree;
}

std::vector<fs::path> Documents() {
  std::vector<fs::path> docs = {kRoot / "README.md"};
  for (const auto& e : fs::directory_iterator(kRoot / "docs"))
    if (e.path().extension() == ".md") docs.push_back(e.path());
  std::sort(docs.begin(), docs.end());
  return docs;
}

TEST(DocsSpans, EachSpanIsCheckedAsWhatItIs) {
  const struct {
    std::string_view span;
    Kind kind;
  } rows[] = {
      {"serial/posix/", Kind::Path},
      {"app/core/PayloadSources.h", Kind::Path},
      {"commos_posix.cpp", Kind::Path},
      {"RemoteLine.*", Kind::Path},
      {"tests/fuzz/...", Kind::Path},
      {"loop/LoopRuntime", Kind::Path},
      {"BRAE_PORT_DIR=build/demo/ports", Kind::Name},
      {"serial/<os>/", Kind::Skip},
      {"TSerialPort", Kind::Name},
      {"tk::Thread::Synchronize", Kind::Name},
      {"BRAE_CONSOLE=1", Kind::Name},
      {"brae-ports", Kind::Name},
      {"/dev/ttyUSB0", Kind::Skip},
      {"/u", Kind::Skip},
      {"--json", Kind::Skip},
      {"build/bin/brae-update", Kind::Skip},
      {"build-windows/wine-ports/comN", Kind::Skip},
      {"rfc2217://HOST:PORT", Kind::Skip},
      {"brae-update /i b.bin b.s19", Kind::Skip},
      {"0x2F2A", Kind::Skip},
      {"%LOCALAPPDATA%", Kind::Skip},
      {"\\\\.\\COM37", Kind::Skip},
      {"$BRAE_LOG_DIR", Kind::Skip},
  };
  for (const auto& row : rows) EXPECT_EQ(row.kind, KindOf(row.span)) << row.span;
}

TEST(DocsSpans, NamesAreSplitIntoTheirIdentifiers) {
  const struct {
    std::string_view span;
    std::vector<std::string> parts;
  } rows[] = {
      {"tk::Thread::Synchronize", {"tk", "Thread", "Synchronize"}},
      {"Port->Read", {"Port", "Read"}},
      {"SizeOf()", {"SizeOf"}},
      {"BRAE_CONSOLE=json", {"BRAE_CONSOLE"}},
      {"brae-ports", {"brae-ports"}},
  };
  for (const auto& row : rows) EXPECT_EQ(row.parts, NameParts(row.span)) << row.span;
}

TEST(DocsSpans, SpansAndLinksAreFoundOutsideBlocks) {
  const std::string text =
      "Uses `Foo` and [the page](docs/x.md), not [a site](https://example.org) or [a part](#part).\n"
      "```\n`InAFence`\n```\n"
      "    `Indented` sample\n"
      "a `span that goes\non` and `Bar::Baz`\n";
  std::vector<std::pair<std::string, int>> found;
  for (const auto& s : SpansOf(text)) found.emplace_back(s.text, s.line);
  const std::vector<std::pair<std::string, int>> expected = {{"Foo", 1}, {"docs/x.md", 1}, {"Bar::Baz", 7}};
  EXPECT_EQ(expected, found);
}

TEST(DocsSpans, ThePathLookupFollowsFoldersAndWildcards) {
  const struct {
    std::string path;
    bool exists;
  } rows[] = {
      {"serial/posix/", true},
      {"serial/posix", true},
      {"posix/", true},
      {"CommOs.h", true},
      {"serial/CommOs.h", true},
      {"tests/fuzz/...", true},
      {"loop/LoopRuntime", true},
      {"toolkit/files/WriteBeside", true},
      {"serial/Nothing.h", false},
      {"nothing/...", false},
      {"erial/CommOs.h", false},
      {"serial/Comm", false},
  };
  for (const auto& row : rows) EXPECT_EQ(row.exists, TheTree().HasPath(row.path)) << row.path;
}

// The check itself: every name and path of every document.
TEST(Docs, EveryNameAndPathTheDocumentsGiveExistsInTheTree) {
  const Tree& tree = TheTree();
  std::vector<std::string> missing;
  for (const fs::path& doc : Documents()) {
    const std::string shown = fs::relative(doc, kRoot).generic_string();
    for (const Span& span : SpansOf(ReadText(doc))) {
      if (kAllowed.contains(span.text)) continue;
      const std::string where = shown + ":" + std::to_string(span.line) + ": ";
      switch (KindOf(span.text)) {
        case Kind::Skip:
          break;
        case Kind::Path:
          if (!tree.HasPath(span.text)) missing.push_back(where + "no file or folder `" + span.text + "`");
          break;
        case Kind::Name:
          for (const std::string& part : NameParts(span.text))
            if (!tree.words.contains(part) && !kAllowed.contains(part))
              missing.push_back(where + "`" + span.text + "`: no `" + part + "` in the program's sources");
          break;
      }
    }
  }
  std::string report;
  for (const auto& m : missing) report += m + "\n";
  EXPECT_TRUE(missing.empty()) << "The documents name what the tree does not have (mend the text, or add a "
                                  "program text to kAllowed in tests/tree/docs_test.cpp):\n"
                               << report;
}

}  // namespace
