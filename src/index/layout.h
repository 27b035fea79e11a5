// The records of the shared index file, byte for byte. The file is a header
// region followed by a fixed array of blocks; every integer is little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stow {

constexpr int32_t kBlockCount = 100000;
constexpr int32_t kHeaderRegionSize = 1000;
constexpr int32_t kBlockSize = 288;
constexpr size_t kIndexFileSize =
    static_cast<size_t>(kHeaderRegionSize) + static_cast<size_t>(kBlockCount) * kBlockSize;
constexpr int32_t kNoBlock = -1;
constexpr size_t kFileNameSize = 260;

// The text that marks a formatted index; the bytes after its terminator are
// zero.
extern const char kIndexMagic[];

struct IndexFileHeader {
  char Magic[512];
  int64_t CacheSize;             // bytes in use: sum of FileSize over the valid list
  int32_t TotalFileCount;        // blocks in the valid list
  int32_t ImageFileBlockOffset;  // always 1000
  int32_t ImageFileBlockNum;     // always 100000
  int32_t FirstValidBlock;       // list ends: block indexes, -1 when empty
  int32_t LastValidBlock;
  int32_t FirstInvalidBlock;  // the free list
  int32_t LastInvalidBlock;
  // Zero at rest. The library sets the first word while it holds the index
  // lock, so that the next holder can tell that a holder died mid-change.
  uint32_t LockMarker;
  uint8_t Reserved[448];
};

struct ImageFileBlock {
  char ImageFileName[kFileNameSize];  // path as registered, NUL-terminated
  uint32_t FileSize;                  // bytes at registration
  int32_t AccessTime;                 // last registration, seconds since 1970 UTC
  int32_t LeftNode;                   // towards the head, -1 at the head
  int32_t RightNode;                  // towards the tail, -1 at the tail
  uint32_t Reserved;
  int64_t Delay;  // the file's own minimum age, seconds
};

// What a caller fills in to register a file: the first bytes of a block.
struct FileRecord {
  char ImageFileName[kFileNameSize];
  uint32_t FileSize;
};

static_assert(sizeof(IndexFileHeader) == kHeaderRegionSize, "header region size");
static_assert(offsetof(IndexFileHeader, CacheSize) == 512, "CacheSize offset");
static_assert(offsetof(IndexFileHeader, TotalFileCount) == 520, "TotalFileCount offset");
static_assert(offsetof(IndexFileHeader, ImageFileBlockOffset) == 524, "block offset offset");
static_assert(offsetof(IndexFileHeader, ImageFileBlockNum) == 528, "block count offset");
static_assert(offsetof(IndexFileHeader, FirstValidBlock) == 532, "FirstValidBlock offset");
static_assert(offsetof(IndexFileHeader, LastValidBlock) == 536, "LastValidBlock offset");
static_assert(offsetof(IndexFileHeader, FirstInvalidBlock) == 540, "FirstInvalidBlock offset");
static_assert(offsetof(IndexFileHeader, LastInvalidBlock) == 544, "LastInvalidBlock offset");
static_assert(offsetof(IndexFileHeader, LockMarker) == 548, "reserved area offset");

static_assert(sizeof(ImageFileBlock) == kBlockSize, "block size");
static_assert(offsetof(ImageFileBlock, FileSize) == 260, "FileSize offset");
static_assert(offsetof(ImageFileBlock, AccessTime) == 264, "AccessTime offset");
static_assert(offsetof(ImageFileBlock, LeftNode) == 268, "LeftNode offset");
static_assert(offsetof(ImageFileBlock, RightNode) == 272, "RightNode offset");
static_assert(offsetof(ImageFileBlock, Reserved) == 276, "block reserved offset");
static_assert(offsetof(ImageFileBlock, Delay) == 280, "Delay offset");

static_assert(sizeof(FileRecord) == 264, "a record is the first 264 bytes of a block");
static_assert(kIndexFileSize == 28801000, "index file size");
static_assert(kHeaderRegionSize % alignof(ImageFileBlock) == 0, "blocks stay aligned");

}  // namespace stow
