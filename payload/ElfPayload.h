// Where the payload buffers lie in an executable file of this platform: ElfPayload.cpp or PePayload.cpp,
// chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace payload {

struct PayloadLocation {
  size_t LoaderOffset = 0;    // file offset of the loader buffer
  size_t FirmwareOffset = 0;  // file offset of the firmware buffer, right after the loader buffer
  size_t DigestOffset = 0;    // file offset of the digest record (payload/Digest.h), a section of its own
};

// ELF: finds the payload section by name in the section headers and checks that a loadable
// segment maps exactly those file bytes at the section's address, i.e. that they are the bytes the program
// reads at run time. Every offset and count in the image is checked against its size. Returns false with a
// message in *error for anything else: a truncated or foreign file, a file without the section, a section of
// another size. The digest record's section is found and checked the same way.
// PE: finds the section by its header and checks that its file bytes are what the program loader maps at
// its address (all of them from the file, inside the image, overlapping no other section); the same refusals.
bool LocatePayload(const uint8_t* image, size_t size, PayloadLocation* location, std::string* error);

// What a copy's file needs once its payloads are in place. PE: the certificate table goes (the program's
// signature, which the copy's new bytes break: Windows would show it as tampered with, not as unsigned):
// its data-directory entry is zeroed and the table cut off the end of the file; and the header's checksum is
// made right, as signing tools and some scanners check it. The copy can then be signed like a new build.
// Before the checksum, the version resource's FileDescription becomes the program's name and `carries`
// ("200000-byte firmware, SHA-256 0123456789abcdef") in the room the resource reserves for it, so that the
// file's properties tell copies apart; no other byte of the file moves.
// ELF: nothing. Called on an image LocatePayload has accepted.
void FinishCopy(std::vector<uint8_t>* image, const std::string& carries);

}  // namespace payload
