// Fuzzes the index and its lookup table as another process or user may
// leave them: the fuzzer's bytes are laid over an index holding a few dozen
// entries (the header's totals, list ends and reserved area first, then
// fields of the first blocks, or words of the lookup table's header and
// slots), and the library opens it, checks and repairs it, registers, runs
// a pass, empties and dumps. After every step the lists must be whole: both
// well-formed and disjoint, every block in exactly one, the totals the sums.
// Removal is a stand-in that deletes nothing: fuzzed names are arbitrary
// paths.
//
// Speed: every input starts from the same prepared pair of files, copied in
// memory (see Image); the library maps neither file.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <algorithm>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "config/log.h"
#include "config/settings.h"
#include "index/index_file.h"
#include "index/list_check.h"
#include "index/list_walk.h"
#include "index/lookup_table.h"
#include "platform/platform.h"

namespace {

using namespace stow;

constexpr int kEntries = 40;
constexpr int kFuzzedBlocks = 64;

// A prepared file that every input starts from, held in this process's
// memory: each input starts from a copy, which the library then maps
// instead of the file. A copy into pages already in place costs less than
// opening and mapping 28.8 MB, or copying every page a repair writes.
class Image {
 public:
  void Prepare(const std::string& path, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    pristine_.resize(size);
    if (f == nullptr || std::fread(pristine_.data(), 1, size, f) != size) {
      std::perror(path.c_str());
      std::abort();
    }
    std::fclose(f);
    copy_ = pristine_;
  }
  uint8_t* Reset() {
    std::memcpy(copy_.data(), pristine_.data(), pristine_.size());
    return copy_.data();
  }
  uint8_t* data() { return copy_.data(); }
  size_t size() const { return copy_.size(); }
  const uint8_t* pristine() const { return pristine_.data(); }

 private:
  std::vector<uint8_t> pristine_;
  std::vector<uint8_t> copy_;
};

// The library's view of a prepared file: the input's private mapping.
class ImageView : public platform::SharedFile {
 public:
  explicit ImageView(Image& image) : image_(image) {}
  uint8_t* data() override { return image_.data(); }
  size_t size() const override { return image_.size(); }
  bool Flush() override { return true; }

 private:
  Image& image_;
};

// The system, except that the index and its lookup table are the input's
// images. The locks stay the system's own, on the real files.
class ImageEnv : public platform::EnvWrapper {
 public:
  ImageEnv(const std::string& index_path, Image& index, const std::string& table_path, Image& table)
      : EnvWrapper(platform::DefaultEnv()),
        index_path_(index_path),
        table_path_(table_path),
        index_(index),
        table_(table) {}
  OsStatus OpenSharedFile(const std::string& path, const std::string& mapping_name, size_t size,
                          const std::string& magic,
                          std::unique_ptr<platform::SharedFile>* file) override {
    if (path != index_path_ && path != table_path_) {
      return EnvWrapper::OpenSharedFile(path, mapping_name, size, magic, file);
    }
    *file = std::make_unique<ImageView>(path == index_path_ ? index_ : table_);
    return OsStatus();
  }

 private:
  std::string index_path_;
  std::string table_path_;
  Image& index_;
  Image& table_;
};

struct World {
  std::string dir;
  std::string index_path;
  Image index;
  Image table;
  std::vector<uint32_t> used_slots;  // slots of the prepared table that hold an entry
  std::unique_ptr<ImageEnv> env;
};

std::filesystem::path TempRoot() {
  std::error_code error;
  if (std::filesystem::is_directory("/dev/shm", error)) return "/dev/shm";
  return std::filesystem::temp_directory_path();
}

World& Setup() {
  static World* world = [] {
    auto* w = new World;
    // A folder of this process's own (two fuzzers at once must not share an
    // index), removed when the fuzzer exits.
    std::random_device seed;
    std::filesystem::path base;
    do {
      base = TempRoot() / ("stow_fuzz_" + std::to_string(seed()));
    } while (!std::filesystem::create_directory(base));
    static const std::filesystem::path folder = base;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(folder, ignored);
    });
    w->dir = base.string();
    w->index_path = (base / "Index.Dat").string();
    const std::string ini = (base / "TESSARON.INI").string();
    std::FILE* f = std::fopen(ini.c_str(), "w");
    std::fprintf(f, "[Cache]\nCacheDir=%s\n[Log]\nLogPath=%s\n", w->dir.c_str(), w->dir.c_str());
    std::fclose(f);
    SetSettingsFileForTesting(ini);
    {
      IndexFile index(w->index_path, {50 * 0x100000LL, 20, 300});
      for (int i = 0; i < kEntries; ++i) {
        FileRecord r = {};
        std::snprintf(r.ImageFileName, sizeof(r.ImageFileName), "%s/f%d", w->dir.c_str(), i);
        r.FileSize = 1000000u * static_cast<uint32_t>(i % 7 + 1);
        index.AddFile(r, static_cast<uint32_t>(i % 3));
      }
      // A few freed blocks with names, behind the never-used ones.
      int freed = 0;
      index.RemoveAll([&freed](const char*) { return ++freed % 5 == 0; });
    }
    const std::string table_path = (base / kLookupFileName).string();
    w->index.Prepare(w->index_path, kIndexFileSize);
    w->table.Prepare(table_path, LookupTable::kFileSize);
    const uint8_t* slots = w->table.pristine() + LookupTable::kSlotsOffset;
    for (uint32_t k = 0; k < LookupTable::kSlotCount; ++k) {
      uint64_t slot;
      std::memcpy(&slot, slots + (LookupTable::SlotOffset(k) - LookupTable::kSlotsOffset), 8);
      if (slot != 0) w->used_slots.push_back(k);
    }
    if (w->used_slots.empty()) std::abort();
    w->env = std::make_unique<ImageEnv>(w->index_path, w->index, table_path, w->table);
    platform::SetEnvForTesting(w->env.get());
    return w;
  }();
  return *world;
}

[[noreturn]] void Broken(const std::string& what) {
  std::fprintf(stderr, "lists not whole: %s\n", what.c_str());
  std::abort();
}

// Every block on exactly one of two sound lists, the totals the sums.
void ExpectWhole(IndexFile& index) {
  ListReport report;
  if (!CheckLists(*index.header(), index.blocks(), &report)) Broken(report.problem);
}

// Between the steps: the valid list is sound and agrees with the totals,
// and the free list's ends are ends. The steps after the open change the
// free list only at its ends and repair nothing unless a step finds damage,
// so the full check after the last step sees whatever the open's repair
// left wrong too. This one costs nothing at 99,000 free blocks; a full
// check costs as much as the open.
void ExpectValidWhole(IndexFile& index) {
  const IndexFileHeader& h = *index.header();
  const ImageFileBlock* b = index.blocks();
  int32_t count = 0;
  int64_t bytes = 0;
  const WalkResult walk = WalkValidList(h, b, Toward::kTail, [&](int32_t i) {
    ++count;
    bytes += b[i].FileSize;
    return true;
  });
  if (walk.end != WalkEnd::kEnd) Broken("valid list broken at block " + std::to_string(walk.at));
  if (walk.prev != h.LastValidBlock || count != h.TotalFileCount || bytes != h.CacheSize) {
    Broken("valid list disagrees with the header");
  }
  const int32_t head = h.FirstInvalidBlock;
  const int32_t tail = h.LastInvalidBlock;
  if ((head == kNoBlock) != (tail == kNoBlock) ||
      (head != kNoBlock && (!BlockInRange(head) || !BlockInRange(tail) ||
                            b[head].LeftNode != kNoBlock || b[tail].RightNode != kNoBlock))) {
    Broken("free list ends disagree");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& w = Setup();
  uint8_t* image = w.index.Reset();
  uint8_t* table = w.table.Reset();
  // Bytes of the header from the totals to the end of the reserved area:
  // data[0] % 64 pairs of (where, bits to flip).
  constexpr size_t kHeaderFrom = offsetof(IndexFileHeader, CacheSize);
  size_t at = 0;
  if (size > 0) {
    const size_t pairs = data[0] % 64;
    at = 1;
    for (size_t k = 0; k < pairs && at + 2 <= size; ++k, at += 2) {
      image[kHeaderFrom + data[at] % (kHeaderRegionSize - kHeaderFrom)] ^= data[at + 1];
    }
  }
  // Then fields of the first blocks: block, field, value; a field byte of
  // 128 or more names a word of the lookup table instead: of its header,
  // of a slot that holds an entry, or of any word of the slot lines.
  auto* blocks = reinterpret_cast<ImageFileBlock*>(image + kHeaderRegionSize);
  for (; at + 6 <= size; at += 6) {
    ImageFileBlock& b = blocks[data[at] % kFuzzedBlocks];
    int32_t value;
    std::memcpy(&value, data + at + 2, 4);
    if (data[at + 1] >= 128) {
      const uint32_t word = data[at + 1] & 1;  // a slot's hash or its block + 1
      size_t offset;
      switch ((data[at + 1] >> 1) % 3) {
        case 0:
          offset = 4 * (data[at] % 32);
          break;
        case 1:
          offset = LookupTable::SlotOffset(w.used_slots[data[at] % w.used_slots.size()]) + 4 * word;
          break;
        default:
          offset = LookupTable::kSlotsOffset +
                   8 * ((static_cast<uint32_t>(value) >> 8) % (8 * LookupTable::kLineCount)) +
                   4 * word;
          break;
      }
      std::memcpy(table + offset, &value, 4);
      continue;
    }
    switch (data[at + 1] % 7) {
      case 0:
        b.LeftNode = value;
        break;
      case 1:
        b.RightNode = value;
        break;
      case 2:
        b.FileSize = static_cast<uint32_t>(value);
        break;
      case 3:
        b.AccessTime = value;
        break;
      case 4:
        b.Reserved = static_cast<uint32_t>(value);
        break;
      case 5:
        b.Delay = value;
        break;
      default:
        std::memcpy(b.ImageFileName, data + at + 2, 4);
        break;
    }
  }

  IndexFile index(w.index_path, {50 * 0x100000LL, 20, 300});
  ExpectValidWhole(index);
  FileRecord r = {};
  std::snprintf(r.ImageFileName, sizeof(r.ImageFileName), "%s/f%d", w.dir.c_str(),
                size > 0 ? data[0] % (kEntries + 5) : 0);
  r.FileSize = 3000000;
  index.AddFile(r, 0);
  ExpectValidWhole(index);
  int calls = 0;
  index.ShrinkCache([&calls](const char*) { return ++calls % 3 != 0; });
  ExpectValidWhole(index);
  index.RemoveAll([&calls](const char*) { return ++calls % 4 == 0; });
  ExpectWhole(index);
  index.DumpToFile((w.dir + "/Index.Dmp").c_str());
  return 0;
}
