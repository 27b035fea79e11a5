// The seal in each block's reserved word: whether the block is listed, and
// whether it is whole, told by the block itself.
//
// A block's content is its name (all 260 bytes), FileSize and Delay. Its
// links and its AccessTime are not part of it: they only give the order
// (a change of a neighbour rewrites the links), and a refresh, which only
// moves an entry, so rewrites no seal and never leaves a block unsealed,
// even for an instant. An AccessTime that a cut takes from another moment
// is one this block held; it places the entry elsewhere in the order.
//
// The seal is the CRC-32C of the content folded with a mark: a block on
// the valid list holds ListedSeal(mark) and a block on the free list
// FreeSeal(mark), where mark is the header's ListedMark when the seal was
// written. Any other word (zero, a seal over other content, half of one
// write and half of another) proves nothing. A block stitched from pages
// of two ages, or cut by a write that did not finish, fails the check
// whatever its word says.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/layout.h"

namespace stow {

// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78) of `size` bytes at
// `data`, continuing from `crc` (0 to start): platform::Crc32c, with the
// processor's CRC instruction where it has one.
uint32_t Crc32c(const void* data, size_t size, uint32_t crc = 0);

// The CRC-32C of a block's content (see above).
uint32_t BlockContentCrc(const ImageFileBlock& b);

// Set in a free seal's mark, so that no free block's word can name a mark
// near a listed one.
constexpr uint32_t kFreeSealBit = 0x80000000u;

inline uint32_t ListedSeal(uint32_t mark, const ImageFileBlock& b) {
  return BlockContentCrc(b) ^ mark;
}
inline uint32_t FreeSeal(uint32_t mark, const ImageFileBlock& b) {
  return BlockContentCrc(b) ^ mark ^ kFreeSealBit;
}

// How far (in renewals of ListedMark, either way) the mark of a seal may
// lie from the header's and still count after an unclean stop: the header
// and the blocks may reach the disk at different times, a rebuild of a
// lookup table file made afresh renews the mark, and a cut can keep a
// header from before or after several of them.
constexpr uint32_t kSealMarkWindow = 256;

// What a block's word says of it, against the header's mark `mark`.
enum class SealState {
  kListed,    // whole, sealed on the valid list with a mark near `mark`
  kFree,      // whole, sealed on the free list with a mark near `mark`
  kUnproven,  // neither: never sealed, written by a process that keeps no
              // seals, or not whole
};
SealState ReadSeal(uint32_t mark, const ImageFileBlock& b);

// True when `b` is sealed as listed with the header's own mark: whole and
// on the valid list as the last seal of the lists left it.
inline bool CarriesListedMark(const IndexFileHeader& h, const ImageFileBlock& b) {
  return h.ListedMark != 0 && b.Reserved == ListedSeal(h.ListedMark, b);
}

}  // namespace stow
