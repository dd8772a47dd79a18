#include "transcript.h"

namespace sim {

void Transcript::log(Time now, std::string_view text) {
  if (!out_) return;
  double ms = std::chrono::duration<double, std::milli>(now - start_).count();
  std::fprintf(out_, "%10.1f ms  %.*s\n", ms, static_cast<int>(text.size()), text.data());
  std::fflush(out_);
}

std::string printable(std::string_view bytes, std::size_t limit) {
  static const char* hex = "0123456789ABCDEF";
  std::string s;
  std::size_t n = bytes.size() < limit ? bytes.size() : limit;
  for (std::size_t i = 0; i < n; ++i) {
    auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 32 && c < 127 && c != '<') {
      s += static_cast<char>(c);
    } else {
      s += '<';
      s += hex[c >> 4];
      s += hex[c & 15];
      s += '>';
    }
  }
  if (bytes.size() > n) s += "...(+" + std::to_string(bytes.size() - n) + " bytes)";
  return s;
}

}  // namespace sim
