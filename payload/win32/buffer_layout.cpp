// The payload buffers and the digest record in the Windows executable (payload/Buffers.h).
// A 1 MiB initialiser is not something C++ can spell, so the buffers are laid out by the assembler. One
// section of their own keeps them together and lets the builder find them in the executable file.
// PE: an initialised, writable data section ("dw"); COFF symbols carry no type or size.
asm(R"(
  .section .brae_pl, "dw"
  .balign 64
  .globl LoaderBuffer
LoaderBuffer:
  .fill 6, 1, 0x88
  .fill 63994, 1, 0xff
  .globl FirmwareBuffer
FirmwareBuffer:
  .fill 4, 1, 0x55
  .fill 1048572, 1, 0xff
  .section .brae_dg, "dw"
  .balign 64
  .globl DigestRecord
DigestRecord:
  .fill 128, 1, 0
  .text
)");
