#include "api/extension.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "api/process_state.h"
#include "config/log.h"
#include "config/settings.h"
#include "index/eviction_rule.h"
#include "index/index_dump.h"
#include "index/index_file.h"
#include "index/inspect.h"
#include "index/list_check.h"
#include "index/pass_bounds.h"
#include "maintenance/delete_cached_file.h"
#include "maintenance/own_files.h"
#include "maintenance/refusal_identity.h"
#include "platform/platform.h"

namespace stow {
namespace api {
namespace {

int32_t BadArgument(const char* why) {
  RecordLastError(why);
  return STOWMASTER_BAD_ARGUMENT;
}

// A caller's struct must hold at least its size and one field.
template <typename T>
bool SizeOk(const T* out) {
  return out != nullptr && out->size >= 2 * sizeof(uint32_t);
}

// Copies the first `out->size` bytes of `full` (all of it when the caller's
// struct is longer) and leaves in `size` how many bytes were filled.
template <typename T>
void Deliver(T full, T* out) {
  const uint32_t n = std::min<uint32_t>(out->size, static_cast<uint32_t>(sizeof(T)));
  full.size = n;
  std::memcpy(out, &full, n);
}

void CopyText(const std::string& text, char* out, size_t size) {
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

// The "CacheDir" folder as GetCacheSettings reads it, without creating it.
// Throws UntrustedSettings as GetCacheSettings does: a default folder in its
// place would be another cache.
std::string CacheFolder() {
  RequireTrustedSettings();
  char folder[kPathBufferSize];
  GetConfigurationString("Cache", "CacheDir", kDefaultCacheDir, folder, sizeof(folder));
  size_t n = std::strlen(folder);
  if (n > 0 && folder[n - 1] == platform::kSeparator) folder[n - 1] = '\0';
  return folder;
}

std::string IndexPathIn(const std::string& folder) {
  const std::string path = folder + platform::kSeparator + kIndexFileName;
  if (path.size() >= kPathBufferSize) {
    throw OsError(platform::kErrorNameTooLong, "path too long", path);
  }
  return path;
}

bool Marked(const IndexFileHeader& h) {
  return std::memcmp(h.Magic, kIndexMagic, std::strlen(kIndexMagic) + 1) == 0;
}

}  // namespace

int32_t Failed(const std::string& what, const std::string& why) {
  const std::string text = what + ": " + why;
  RecordLastError(text);
  WriteLogBufferToFile("%s\n", text.c_str());
  return STOWMASTER_UNUSABLE;
}

// ------------------------------------------------------------- settings ---

int32_t GetSettings(StowmasterSettings* out) {
  if (!SizeOk(out)) return BadArgument("StowmasterGetSettings: null or too small a struct");
  StowmasterSettings s;
  std::memset(&s, 0, sizeof(s));
  CacheSettings cache;
  GetCacheSettings(&cache, nullptr, nullptr);
  bool found = false;
  CopyText(SettingsFileInEffect(&found), s.settings_file, sizeof(s.settings_file));
  s.settings_found = found ? 1 : 0;
  const std::string folder = CacheFolder();
  CopyText(folder, s.cache_dir, sizeof(s.cache_dir));
  CopyText(IndexPathIn(folder), s.index_path, sizeof(s.index_path));
  CopyText(LogFilePath(), s.log_file, sizeof(s.log_file));
  s.log_writable = LogFileWritable() ? 1 : 0;
  s.precision = cache.Precision;
  s.limit_bytes = cache.CacheSize;
  s.high_mark_bytes = static_cast<int64_t>(HighMark(cache));
  s.low_mark_bytes = static_cast<int64_t>(LowMark(cache));
  s.min_age_seconds = cache.Delay;
  Deliver(s, out);
  return STOWMASTER_OK;
}

// --------------------------------------------------------------- status ---

int32_t GetStatus(StowmasterStatus* out) {
  if (!SizeOk(out)) return BadArgument("StowmasterGetStatus: null or too small a struct");
  StowmasterStatus s;
  std::memset(&s, 0, sizeof(s));
  CacheSettings cache;
  GetCacheSettings(&cache, nullptr, nullptr);
  const int64_t now = platform::env().NowSeconds();
  s.capacity = kBlockCount;
  s.now = now;
  IndexInspection inspection(IndexPathIn(CacheFolder()));
  s.index_present = inspection.present() ? 1 : 0;
  s.lists_consistent = inspection.present() ? 0 : 1;  // nothing yet is nothing amiss
  if (inspection.mapped()) {
    // Figured from a copy, without the lock: the check and the walks look
    // at every block.
    // What a pass of this process would do: its minimum age, its rights.
    const uint32_t identity = RefusalIdentity();
    inspection.ReadCopy([&](const IndexFileHeader& h, const ImageFileBlock* blocks, bool) {
      if (!Marked(h)) return;
      const BlockNote* notes = inspection.CopiedNotes();
      s.index_formatted = 1;
      s.lists_consistent = CheckLists(h, blocks, nullptr) ? 1 : 0;
      s.entries = h.TotalFileCount;
      s.bytes_in_use = h.CacheSize;
      // Registration times: the valid list is ordered by them unless the
      // clock moved back, so look at every entry.
      int32_t i = h.FirstValidBlock;
      int32_t prev = kNoBlock;
      for (int32_t steps = 0;
           i != kNoBlock && BlockInRange(i) && steps < kBlockCount && blocks[i].LeftNode == prev;
           ++steps) {
        prev = i;
        if (notes != nullptr && RefusalHolds(notes[i], blocks[i], now)) {
          s.refused_files += 1;
          s.refused_bytes += blocks[i].FileSize;
        }
        const int64_t t = blocks[i].AccessTime;
        if (s.oldest_registration == 0 || t < s.oldest_registration) s.oldest_registration = t;
        if (t > s.newest_registration) s.newest_registration = t;
        i = blocks[i].RightNode;
      }
      // From the least recently registered on: what goes next, and what a
      // pass run now would delete if every deletion succeeded.
      const bool above = static_cast<double>(h.CacheSize) > HighMark(cache);
      const double low = LowMark(cache);
      int64_t in_use = h.CacheSize;
      i = h.LastValidBlock;
      prev = kNoBlock;
      for (int32_t steps = 0;
           i != kNoBlock && BlockInRange(i) && steps < kBlockCount && blocks[i].RightNode == prev;
           ++steps) {
        prev = i;
        const ImageFileBlock& b = blocks[i];
        int64_t wait = 0;
        const bool tried = ActionFor(b, notes != nullptr ? &notes[i] : nullptr, cache, identity,
                                     now, &wait) == PassAction::kTry;
        if (tried && s.next_path[0] == '\0') {
          std::memcpy(s.next_path, b.ImageFileName, sizeof(s.next_path));
          s.next_path[sizeof(s.next_path) - 1] = '\0';
          s.next_registered = b.AccessTime;
        }
        if (!above || low > static_cast<double>(in_use)) {
          if (s.next_path[0] != '\0') break;
        } else if (tried) {
          s.evictable_files += 1;
          s.evictable_bytes += b.FileSize;
          in_use -= b.FileSize;
        }
        i = b.LeftNode;
      }
    });
  }
  Deliver(s, out);
  return STOWMASTER_OK;
}

// ----------------------------------------------------------------- walk ---

int32_t ListEntries(int32_t limit, StowmasterEntryFn fn, void* context) {
  if (fn == nullptr || limit < 0) return BadArgument("StowmasterListEntries: no callback");
  CacheSettings cache;
  GetCacheSettings(&cache, nullptr, nullptr);
  IndexInspection inspection(IndexPathIn(CacheFolder()));
  if (!inspection.mapped()) return STOWMASTER_OK;  // no index: nothing listed

  enum class Stop { kNo, kEnd, kChanged, kDamaged };
  int32_t reported = 0;
  int32_t steps = 0;
  int32_t prev = kNoBlock;  // the last block copied
  int32_t next = kNoBlock;  // the block to copy next
  // prev's change stamp when it was copied, when the lookup table had one.
  bool stamped = false;
  uint32_t epoch = 0;
  uint32_t stamp = 0;
  bool first = true;
  std::vector<StowmasterEntry> batch;
  for (;;) {
    batch.clear();
    const int64_t now = platform::env().NowSeconds();
    const Stop stop =
        inspection.Read([&](const IndexFileHeader& h, const ImageFileBlock* blocks, bool) {
          if (!Marked(h)) return Stop::kEnd;
          if (first) {
            next = h.FirstValidBlock;
          } else {
            // Go on only if the last block copied is still on the valid list
            // with `next` after it. An unchanged stamp proves the first at
            // once; without one, walk back from it to the head.
            if (!BlockInRange(prev) || blocks[prev].RightNode != next) return Stop::kChanged;
            uint32_t now_epoch = 0;
            uint32_t now_stamp = 0;
            if (!stamped || !inspection.StampOf(h, prev, &now_epoch, &now_stamp) ||
                now_epoch != epoch || now_stamp != stamp) {
              int32_t i = prev;
              for (int32_t back = 0; blocks[i].LeftNode != kNoBlock; ++back) {
                i = blocks[i].LeftNode;
                if (!BlockInRange(i) || back >= kBlockCount) return Stop::kChanged;
              }
              if (i != h.FirstValidBlock) return Stop::kChanged;
            }
          }
          while (next != kNoBlock && batch.size() < static_cast<size_t>(kWalkBatch) &&
                 (limit == 0 || reported + static_cast<int32_t>(batch.size()) < limit)) {
            // A block whose back link does not name the one before it is not
            // where the list says: the list is damaged from here on.
            if (!BlockInRange(next) || steps >= kBlockCount || blocks[next].LeftNode != prev) {
              return Stop::kDamaged;
            }
            const ImageFileBlock& b = blocks[next];
            StowmasterEntry e;
            std::memset(&e, 0, sizeof(e));
            e.size = sizeof(e);
            e.block = next;
            std::memcpy(e.path, b.ImageFileName, sizeof(e.path));
            e.path[sizeof(e.path) - 1] = '\0';
            e.file_size = b.FileSize;
            e.registered = b.AccessTime;
            e.delay = b.Delay;
            e.evictable = OldEnough(b, cache, now) ? 1 : 0;
            batch.push_back(e);
            ++steps;
            prev = next;
            next = b.RightNode;
          }
          stamped = prev != kNoBlock && inspection.StampOf(h, prev, &epoch, &stamp);
          return next == kNoBlock ? Stop::kEnd : Stop::kNo;
        });
    first = false;
    // The caller's code runs without the lock.
    for (const StowmasterEntry& e : batch) {
      ++reported;
      if (fn(&e, context) == 0) return STOWMASTER_OK;
    }
    if (stop == Stop::kChanged) {
      Failed("StowmasterListEntries", "the index changed during the walk; it stopped after " +
                                          std::to_string(reported) + " entries");
      return STOWMASTER_CHANGED;
    }
    if (stop == Stop::kDamaged) {
      Failed("StowmasterListEntries",
             "the valid list is damaged after " + std::to_string(reported) + " entries");
      return STOWMASTER_DAMAGED;
    }
    if (stop == Stop::kEnd || (limit != 0 && reported >= limit)) return STOWMASTER_OK;
  }
}

// ---------------------------------------------------------------- check ---

namespace {

void Inspect(const std::string& index_path, StowmasterCheckReport* r) {
  IndexInspection inspection(index_path);
  r->index_present = inspection.present() ? 1 : 0;
  r->index_formatted = 0;
  r->lists_consistent = 0;
  r->problem[0] = '\0';
  if (!inspection.present()) {
    r->lists_consistent = 1;
    return;
  }
  if (!inspection.mapped()) {
    CopyText("the index file holds " + std::to_string(inspection.file_size()) +
                 " bytes instead of " + std::to_string(kIndexFileSize),
             r->problem, sizeof(r->problem));
    return;
  }
  // Checked on a copy, without the lock: the check looks at every block.
  inspection.ReadCopy([&](const IndexFileHeader& h, const ImageFileBlock* blocks,
                          bool interrupted) {
    r->interrupted = interrupted ? 1 : 0;
    if (!Marked(h)) {
      CopyText("the index file does not start with the index mark", r->problem, sizeof(r->problem));
      return;
    }
    r->index_formatted = 1;
    ListReport report;
    r->lists_consistent = CheckLists(h, blocks, &report) ? 1 : 0;
    r->valid_count = report.valid_count;
    r->valid_bytes = report.valid_bytes;
    r->free_count = report.free_count;
    r->header_count = h.TotalFileCount;
    r->header_bytes = h.CacheSize;
    CopyText(report.problem, r->problem, sizeof(r->problem));
  });
}

bool Sound(const StowmasterCheckReport& r) {
  return r.index_present == 0 || (r.index_formatted != 0 && r.lists_consistent != 0);
}

}  // namespace

int32_t Check(int32_t repair, StowmasterCheckReport* out) {
  if (!SizeOk(out)) return BadArgument("StowmasterCheck: null or too small a struct");
  StowmasterCheckReport r;
  std::memset(&r, 0, sizeof(r));
  const std::string index_path = IndexPathIn(CacheFolder());
  Inspect(index_path, &r);
  if (Sound(r)) {
    Deliver(r, out);
    return STOWMASTER_OK;
  }
  WriteLogBufferToFile("Index check of %s: %s.\n", index_path.c_str(), r.problem);
  if (repair != 0) {
    // The ordinary opening repairs: it formats an index without its mark
    // and rebuilds lists that do not agree.
    CacheSettings cache;
    char path[kPathBufferSize];
    GetCacheSettings(&cache, path, nullptr);
    {
      IndexFile index(path, cache);
      index.CheckAndRepair();
      index.Flush();
    }
    StowmasterCheckReport after = r;
    Inspect(index_path, &after);
    if (Sound(after)) {
      r.repaired = 1;
      WriteLogBufferToFile("Index repaired: %d files, %lld bytes.\n", after.header_count,
                           static_cast<long long>(after.header_bytes));
    }
  }
  Deliver(r, out);
  return STOWMASTER_DAMAGED;
}

// ------------------------------------------------------ pass and empty ---

int32_t RunPass(bool empty, StowmasterPassResult* out, StowmasterProgressFn progress,
                void* context) {
  if (!SizeOk(out)) return BadArgument("pass: null or too small a result struct");
  StowmasterPassResult total;
  std::memset(&total, 0, sizeof(total));
  total.size = sizeof(total);
  uint64_t size = 0;
  // Without an index there is nothing to delete, and none is made for it.
  if (IndexFilePresent(IndexPathIn(CacheFolder()), &size)) {
    CacheSettings cache;
    char path[kPathBufferSize];
    GetCacheSettings(&cache, path, nullptr);
    IndexFile index(path, cache);
    // The files of the index this pass opened, which the settings may have
    // moved since the process gathered its own.
    GatherOwnFiles(path);
    const RemoveFileFn remover = CachedFileRemover();
    auto add = [&total](const PassOutcome& o) {
      total.deleted_files += o.freed;
      total.deleted_bytes += o.freed_bytes;
      total.kept_files += o.kept;
      total.kept_bytes += o.kept_bytes;
    };
    auto report = [&]() {
      if (progress == nullptr) return;
      total.remaining_files = index.header()->TotalFileCount;
      total.remaining_bytes = index.header()->CacheSize;
      progress(&total, context);
    };
    if (!empty) {
      // The pass lets go of the lock between its own batches and reports
      // there.
      const StowmasterPassResult before = total;
      const PassOutcome o = index.ShrinkCache(
          remover,
          [&](const PassOutcome& so_far) {
            total = before;
            add(so_far);
            report();
          },
          RefusalIdentity());
      total = before;
      add(o);
    } else {
      PassBatch batch;
      batch.max_calls = kPassBatch;
      // Each batch either deletes what it calls for or passes it over from
      // then on; the bound only guards against a list that other processes
      // keep filling.
      const int32_t max_batches = 2 * (kBlockCount / kPassBatch) + 2;
      for (int32_t round = 0; round < max_batches; ++round) {
        const PassOutcome o = index.RemoveAll(remover, batch);
        add(o);
        batch.skip += o.kept;
        if (!o.more) break;
        report();
      }
    }
    index.Flush();
    total.remaining_files = index.header()->TotalFileCount;
    total.remaining_bytes = index.header()->CacheSize;
  }
  WriteLogBufferToFile("%s: %d files deleted (%lld bytes), %d kept.\n",
                       empty ? "Cache emptied on request" : "Eviction pass on request",
                       total.deleted_files, static_cast<long long>(total.deleted_bytes),
                       total.kept_files);
  Deliver(total, out);
  return total.kept_files > 0 ? STOWMASTER_INCOMPLETE : STOWMASTER_OK;
}

// ----------------------------------------------------------------- dump ---

int32_t Dump(const char* path, char* buffer, uint64_t buffer_size, uint64_t* length) {
  if (path == nullptr && (buffer == nullptr || buffer_size == 0)) {
    return BadArgument("StowmasterDump: neither a file nor a buffer");
  }
  const std::string index_path = IndexPathIn(CacheFolder());
  IndexInspection inspection(index_path);
  if (!inspection.present()) return Failed("StowmasterDump", "no index file at " + index_path);
  if (!inspection.mapped()) {
    return Failed("StowmasterDump", "the index file " + index_path + " is too short");
  }
  // The copy is taken under the lock; the text is made from it without.
  DumpCopy copy;
  const DumpSize size = inspection.Read([](const IndexFileHeader& h, const ImageFileBlock* blocks,
                                           bool) { return EstimateDumpSize(h, blocks); });
  copy.Reserve(size);
  if (size.every_block) inspection.Warm();
  inspection.Read([&](const IndexFileHeader& h, const ImageFileBlock* blocks, bool) {
    return copy.Take(h, blocks);
  });
  const std::string text = copy.Format();
  if (length != nullptr) *length = text.size();
  if (path != nullptr) {
    // Text mode, as Index.Dmp is written.
    std::FILE* file = std::fopen(path, "w");
    if (file == nullptr) {
      return Failed("StowmasterDump", std::string("cannot open ") + path + " for writing");
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written) {
      return Failed("StowmasterDump", std::string("cannot write ") + path);
    }
    return STOWMASTER_OK;
  }
  CopyText(text, buffer, static_cast<size_t>(std::min<uint64_t>(buffer_size, SIZE_MAX)));
  if (text.size() + 1 > buffer_size) {
    RecordLastError("StowmasterDump: the buffer holds " + std::to_string(buffer_size) +
                    " bytes; the dump needs " + std::to_string(text.size() + 1));
    return STOWMASTER_TOO_SMALL;
  }
  return STOWMASTER_OK;
}

}  // namespace api
}  // namespace stow
