// Where the payload buffers lie in the program's file: a page has none (web/exe_file.cpp refuses to read it),
// so nothing is found and a copy needs nothing.
#include "payload/ElfPayload.h"

namespace payload {

bool LocatePayload(const uint8_t* /*image*/, size_t /*size*/, PayloadLocation* /*location*/,
                   std::string* error) {
  *error = "a web page carries its payloads in no executable file";
  return false;
}

void FinishCopy(std::vector<uint8_t>* /*image*/, const std::string& /*carries*/) {}

}  // namespace payload
