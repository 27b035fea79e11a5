// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), with the
// processor's own instruction where it has one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stow {
namespace platform {

// The CRC-32C of `size` bytes at `data`, continuing from `crc` (0 to
// start). Takes the processor's CRC instruction when it has one (SSE 4.2
// on x86-64, asked of the processor once), the portable table otherwise;
// both give the same value for every input.
uint32_t Crc32c(const void* data, size_t size, uint32_t crc = 0);

// The portable table-driven computation, whatever the processor has.
uint32_t Crc32cPortable(const void* data, size_t size, uint32_t crc = 0);

// The computation with the processor's instruction, and whether this
// processor has it. Crc32cHardware must only be called when
// HasCrc32cInstruction() is true.
bool HasCrc32cInstruction();
uint32_t Crc32cHardware(const void* data, size_t size, uint32_t crc = 0);

}  // namespace platform
}  // namespace stow
