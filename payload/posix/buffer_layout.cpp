// The payload buffers and the digest record in the ELF executable (payload/Buffers.h).
// A 1 MiB initialiser is not something C++ can spell, so the buffers are laid out by the assembler. One
// section of their own keeps them together and lets the builder find them in the executable file.
// ELF: writable, allocated sections of initialised data, with sized object symbols.
asm(R"(
  .pushsection .brae_payload, "aw", %progbits
  .balign 64
  .globl LoaderBuffer
  .type LoaderBuffer, %object
  .size LoaderBuffer, 64000
LoaderBuffer:
  .fill 6, 1, 0x88
  .fill 63994, 1, 0xff
  .globl FirmwareBuffer
  .type FirmwareBuffer, %object
  .size FirmwareBuffer, 1048576
FirmwareBuffer:
  .fill 4, 1, 0x55
  .fill 1048572, 1, 0xff
  .popsection
  .pushsection .brae_digest, "aw", %progbits
  .balign 64
  .globl DigestRecord
  .type DigestRecord, %object
  .size DigestRecord, 128
DigestRecord:
  .fill 128, 1, 0
  .popsection
)");
