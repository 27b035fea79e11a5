// Fuzzes the index as another process or user may leave it: the fuzzer's
// bytes are laid over an index holding a few dozen entries (the header's
// totals, list ends and reserved area first, then fields of the first
// blocks), and the library opens it, checks and repairs it, registers,
// runs a pass, empties and dumps. After every step the lists must be whole:
// both well-formed and disjoint, every block in exactly one, the totals the
// sums. Removal is a stand-in that deletes nothing: fuzzed names are
// arbitrary paths.
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
#include "platform/platform.h"

namespace {

using namespace stow;

constexpr int kEntries = 40;
constexpr int kFuzzedBlocks = 64;

struct World {
  std::string dir;
  std::string index_path;
  std::vector<uint8_t> pristine;
  std::unique_ptr<platform::SharedFile> view;
};

World& Setup() {
  static World* world = [] {
    auto* w = new World;
    // A folder of this process's own (two fuzzers at once must not share an
    // index), removed when the fuzzer exits.
    std::random_device seed;
    std::filesystem::path base;
    do {
      base = std::filesystem::temp_directory_path() / ("stow_fuzz_" + std::to_string(seed()));
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
    w->view = platform::DefaultEnv().OpenSharedFile(w->index_path, "", kIndexFileSize, "");
    w->pristine.assign(w->view->data(), w->view->data() + kIndexFileSize);
    return w;
  }();
  return *world;
}

void ExpectWhole(IndexFile& index) {
  ListReport report;
  if (!CheckLists(*index.header(), index.blocks(), &report)) {
    std::fprintf(stderr, "lists not whole: %s\n", report.problem.c_str());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& w = Setup();
  uint8_t* image = w.view->data();
  std::memcpy(image, w.pristine.data(), kIndexFileSize);
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
  // Then fields of the first blocks: block, field, value.
  auto* blocks = reinterpret_cast<ImageFileBlock*>(image + kHeaderRegionSize);
  for (; at + 6 <= size; at += 6) {
    ImageFileBlock& b = blocks[data[at] % kFuzzedBlocks];
    int32_t value;
    std::memcpy(&value, data + at + 2, 4);
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
  ExpectWhole(index);
  FileRecord r = {};
  std::snprintf(r.ImageFileName, sizeof(r.ImageFileName), "%s/f%d", w.dir.c_str(),
                size > 0 ? data[0] % (kEntries + 5) : 0);
  r.FileSize = 3000000;
  index.AddFile(r, 0);
  ExpectWhole(index);
  int calls = 0;
  index.ShrinkCache([&calls](const char*) { return ++calls % 3 != 0; });
  ExpectWhole(index);
  index.RemoveAll([&calls](const char*) { return ++calls % 4 == 0; });
  ExpectWhole(index);
  index.DumpToFile((w.dir + "/Index.Dmp").c_str());
  return 0;
}
