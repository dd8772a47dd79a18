// Real files in a private temporary directory, child processes, and where this program's buffers lie in its
// file.
#pragma once

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <random>
#else
#include <link.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "payload/Buffers.h"
#include "payload/Digest.h"
#include "payload/ElfPayload.h"
#include "tests/support/payloads.h"

namespace payload_test {

using Bytes = std::vector<uint8_t>;

struct TempDir {
  std::string path;
  TempDir() {
#if defined(_WIN32)
    std::random_device random;
    path = (std::filesystem::temp_directory_path() / ("brae-payload-" + std::to_string(random()))).string();
    if (!std::filesystem::create_directory(path)) std::abort();
#else
    path = std::filesystem::temp_directory_path() / "brae-payload-XXXXXX";
    if (::mkdtemp(path.data()) == nullptr) std::abort();
#endif
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const {
    return path + "/" + name;
  }
  std::vector<std::string> List() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

inline void WriteFile(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::ssize(b));
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// n pseudo-random bytes, the last one never 0xFF.
inline Bytes Pattern(size_t n, uint32_t seed = 1) {
  Bytes b(n);
  for (uint8_t& x : b) x = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
  if (n > 0 && b[n - 1] == 0xFF) b[n - 1] = 0;
  return b;
}

// A loader of sound S-records, exactly `n` bytes (at least 12): blank lines make up the rest. `seed` moves
// its records, so that two loaders of one length differ.
inline Bytes Loader(size_t n, uint32_t seed = 0) {
  size_t data = n * 32 / 80 + seed % 8;
  std::string text = testing_support::LoaderText(data);
  while (text.size() > n && data > 0) text = testing_support::LoaderText(data = data > 16 ? data - 16 : 0);
  text.resize(n, '\n');
  return Bytes(text.begin(), text.end());
}

// `image` with the payloads over its empty buffers (marker, then 0xFF), the loader's at `loaderAt`, and their
// entries in its digest record: what the builder makes of it. A null payload leaves its buffer and its entry
// as they are.
inline Bytes WithPayloads(Bytes image, size_t loaderAt, const Bytes* loader, const Bytes* firmware) {
  payload::PayloadLocation where;
  std::string error;
  if (!payload::LocatePayload(image.data(), image.size(), &where, &error)) return {};
  const size_t firmwareAt = loaderAt + payload::kLoaderBufferSize;
  for (auto [bytes, at, size, entry] :
       {std::tuple{loader, loaderAt, payload::kLoaderBufferSize, payload::kLoaderDigestEntry},
        std::tuple{firmware, firmwareAt, payload::kFirmwareBufferSize, payload::kFirmwareDigestEntry}}) {
    if (!bytes) continue;
    std::fill_n(image.begin() + static_cast<long>(at), size, 0xFF);
    std::copy(bytes->begin(), bytes->end(), image.begin() + static_cast<long>(at));
    payload::WriteDigestEntry(image.data() + where.DigestOffset + entry, bytes->data(), bytes->size());
  }
  return image;
}

#if defined(_WIN32)
// The file offset of the running program's bytes at `address`, found as the program loader maps them (the
// run-time address in the image and the loaded section headers): independent of the file the builder reads.
inline long SelfFileOffset(const void* address) {
  const auto* base = reinterpret_cast<const uint8_t*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const uintptr_t rva = reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(base);
  const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
  for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
    const IMAGE_SECTION_HEADER& s = sections[i];
    if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData) {
      return static_cast<long>(s.PointerToRawData + (rva - s.VirtualAddress));
    }
  }
  return -1;
}

#else
// Runs fn in a child process and returns its text. With dropPrivileges a root test runs it as "nobody", so
// permission bits apply (root reads and writes whatever they say).
inline std::string InChild(bool dropPrivileges, const std::function<std::string()>& fn) {
  int fds[2];
  if (::pipe(fds) != 0) return "no pipe";
  if (pid_t pid = ::fork(); pid == 0) {
    bool dropped = !dropPrivileges || ::geteuid() != 0 || (::setgid(65534) == 0 && ::setuid(65534) == 0);
    std::string out = dropped ? fn() : "could not drop privileges";
    ::_exit(::write(fds[1], out.data(), out.size()) < 0);
  } else {
    ::close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return out;
  }
}

inline std::string Run(const std::string& command, int* code = nullptr) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int status = ::pclose(p);
  if (code) *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

// The file offset of the running program's bytes at `address`, found as the program loader maps them
// (run-time address, load bias, program headers): independent of the section headers the builder reads.
inline long SelfFileOffset(const void* address) {
  struct Search {
    uintptr_t address;
    long offset = -1;
  } s{reinterpret_cast<uintptr_t>(address)};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const auto& ph = info->dlpi_phdr[i];
          uintptr_t start = info->dlpi_addr + ph.p_vaddr;
          if (ph.p_type == PT_LOAD && s->address >= start && s->address < start + ph.p_filesz) {
            s->offset = static_cast<long>(ph.p_offset + (s->address - start));
          }
        }
        return 1;  // the program itself comes first
      },
      &s);
  return s.offset;
}

#endif

// The same for the loader buffer.
inline long SelfLoaderOffset() {
  return SelfFileOffset(payload::LoaderBytes());
}

}  // namespace payload_test
