#include "api/extension.h"

#include "api/api_structs.h"

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
#include "index/list_walk.h"
#include "index/report.h"
#include "maintenance/delete_cached_file.h"
#include "maintenance/own_files.h"
#include "maintenance/refusal_identity.h"
#include "platform/platform.h"

namespace stow {
namespace api {
namespace {

void CopyText(const std::string& text, char* out, size_t size) {
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

StowmasterEntry EntryOf(const ListedEntry& entry) {
  StowmasterEntry e;
  std::memset(&e, 0, sizeof(e));
  e.size = sizeof(e);
  e.block = entry.block;
  static_assert(sizeof(e.path) == sizeof(entry.path), "a stored name fits");
  std::memcpy(e.path, entry.path, sizeof(e.path));
  e.file_size = entry.file_size;
  e.registered = entry.registered;
  e.delay = entry.delay;
  e.evictable = entry.evictable ? 1 : 0;
  return e;
}

}  // namespace

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

int32_t ListSettings(StowmasterSettingFn fn, void* context) {
  if (fn == nullptr) return BadArgument("StowmasterListSettings: no callback");
  const SettingsFacts facts = ExamineSettings();
  StowmasterSettingItem item;
  for (const SettingFact& f : facts.settings) {
    std::memset(&item, 0, sizeof(item));
    item.size = sizeof(item);
    item.kind = STOWMASTER_SETTING;
    CopyText(f.section, item.section, sizeof(item.section));
    CopyText(f.key, item.key, sizeof(item.key));
    CopyText(f.value, item.value, sizeof(item.value));
    CopyText(f.unit, item.unit, sizeof(item.unit));
    if (f.line > 0) CopyText(facts.file, item.file, sizeof(item.file));
    item.line = f.line;
    if (fn(&item, context) == 0) return STOWMASTER_OK;
  }
  for (const SettingsProblem& p : facts.problems) {
    std::memset(&item, 0, sizeof(item));
    item.size = sizeof(item);
    item.kind = static_cast<int32_t>(p.kind);
    CopyText(p.section, item.section, sizeof(item.section));
    CopyText(p.key, item.key, sizeof(item.key));
    CopyText(p.written, item.value, sizeof(item.value));
    if (p.kind != SettingsProblemKind::kVariableIgnored) {
      CopyText(facts.file, item.file, sizeof(item.file));
    }
    item.line = p.line;
    CopyText(p.text, item.text, sizeof(item.text));
    if (fn(&item, context) == 0) return STOWMASTER_OK;
  }
  return STOWMASTER_OK;
}

// --------------------------------------------------------------- status ---

int32_t GetStatus(StowmasterStatus* out) {
  if (!SizeOk(out)) return BadArgument("StowmasterGetStatus: null or too small a struct");
  CacheSettings cache;
  GetCacheSettings(&cache, nullptr, nullptr);
  const int64_t now = platform::env().NowSeconds();
  // What a pass of this process would do: its minimum age, its rights.
  const StatusReport r = ReadStatus(IndexPathIn(CacheFolder()), cache, RefusalIdentity(), now);
  StowmasterStatus s;
  std::memset(&s, 0, sizeof(s));
  s.capacity = kBlockCount;
  s.now = now;
  s.index_present = r.index_present ? 1 : 0;
  s.index_formatted = r.index_formatted ? 1 : 0;
  s.lists_consistent = r.lists_consistent ? 1 : 0;
  s.entries = r.entries;
  s.bytes_in_use = r.bytes_in_use;
  s.oldest_registration = r.oldest_registration;
  s.newest_registration = r.newest_registration;
  s.evictable_files = r.evictable_files;
  s.evictable_bytes = r.evictable_bytes;
  static_assert(sizeof(s.next_path) == sizeof(r.next_path), "a stored name fits");
  std::memcpy(s.next_path, r.next_path, sizeof(s.next_path));
  s.next_registered = r.next_registered;
  s.refused_files = r.refused_files;
  s.refused_bytes = r.refused_bytes;
  s.limit_bytes = cache.CacheSize;
  s.high_mark_bytes = static_cast<int64_t>(HighMark(cache));
  s.low_mark_bytes = static_cast<int64_t>(LowMark(cache));
  s.reconciliation_pending = r.reconciliation_pending ? 1 : 0;
  Deliver(s, out);
  return STOWMASTER_OK;
}

// ------------------------------------------------------------- counters ---

int32_t GetCounters(StowmasterCounters* out) {
  if (!SizeOk(out)) return BadArgument("StowmasterGetCounters: null or too small a struct");
  StowmasterCounters c;
  std::memset(&c, 0, sizeof(c));
  c.now = platform::env().NowSeconds();
  // Read as the status reads: nothing is created, formatted or repaired.
  IndexInspection inspection(IndexPathIn(CacheFolder()));
  CounterValues v;
  const auto read = [&](const IndexFileHeader&, const ImageFileBlock*, bool) {
    return inspection.CountersOf(&v);
  };
  if (inspection.mapped() && inspection.Read(read)) {
    c.available = 1;
    c.registrations_new = v[Counter::kRegisteredNew];
    c.registrations_refreshed = v[Counter::kRefreshed];
    c.registrations_refused = v[Counter::kRefused];
    c.full_index_refusals = v[Counter::kFullRefusals];
    c.passes = v[Counter::kPasses];
    c.pass_deleted_files = v[Counter::kPassFiles];
    c.pass_deleted_bytes = v[Counter::kPassBytes];
    c.emptied_files = v[Counter::kEmptiedFiles];
    c.emptied_bytes = v[Counter::kEmptiedBytes];
    c.deletions_refused = v[Counter::kDeletionsRefused];
    c.repair_dropped = v[Counter::kRepairDropped];
    c.counting_since = v.counting_since;
    c.last_reset = v.last_reset;
  }
  Deliver(c, out);
  return STOWMASTER_OK;
}

int32_t ZeroCounters() {
  uint64_t size = 0;
  // Without an index nothing was counted, and none is made for it.
  if (!IndexFilePresent(IndexPathIn(CacheFolder()), &size)) return STOWMASTER_OK;
  CacheSettings cache;
  char path[kPathBufferSize];
  GetCacheSettings(&cache, path, nullptr);
  IndexFile index(path, cache);
  if (!index.ZeroCounters()) {
    return Failed("StowmasterZeroCounters",
                  "the lookup file beside the index cannot be used, or the index lock was not "
                  "had in time (see the log)");
  }
  index.Flush();
  WriteLogBufferToFile("Counters zeroed on request.\n");
  return STOWMASTER_OK;
}

// ----------------------------------------------------------------- walk ---

int32_t ListEntries(int32_t limit, StowmasterEntryFn fn, void* context) {
  if (fn == nullptr || limit < 0) return BadArgument("StowmasterListEntries: no callback");
  CacheSettings cache;
  GetCacheSettings(&cache, nullptr, nullptr);
  int32_t reported = 0;
  const ListEnd end = ListIndex(
      IndexPathIn(CacheFolder()), cache, limit, kWalkBatch,
      [&](const ListedEntry& entry) {
        const StowmasterEntry e = EntryOf(entry);
        return fn(&e, context) != 0;
      },
      &reported);
  switch (end) {
    case ListEnd::kEnd:
      return STOWMASTER_OK;
    case ListEnd::kChanged:
      Failed("StowmasterListEntries", "the index changed during the walk; it stopped after " +
                                          std::to_string(reported) + " entries");
      return STOWMASTER_CHANGED;
    case ListEnd::kDamaged:
      break;
  }
  Failed("StowmasterListEntries",
         "the valid list is damaged after " + std::to_string(reported) + " entries");
  return STOWMASTER_DAMAGED;
}

// ---------------------------------------------------------------- check ---

namespace {

// The check's report as the C struct has it.
void Translate(const IndexCheck& c, StowmasterCheckReport* r) {
  r->index_present = c.present ? 1 : 0;
  r->index_formatted = c.formatted ? 1 : 0;
  r->lists_consistent = c.consistent ? 1 : 0;
  r->interrupted = c.interrupted ? 1 : 0;
  r->valid_count = c.lists.valid_count;
  r->valid_bytes = c.lists.valid_bytes;
  r->free_count = c.lists.free_count;
  r->header_count = c.header_count;
  r->header_bytes = c.header_bytes;
  CopyText(c.lists.problem, r->problem, sizeof(r->problem));
}

}  // namespace

int32_t Check(int32_t repair, StowmasterCheckReport* out) {
  if (!SizeOk(out)) return BadArgument("StowmasterCheck: null or too small a struct");
  StowmasterCheckReport r;
  std::memset(&r, 0, sizeof(r));
  const std::string index_path = IndexPathIn(CacheFolder());
  const IndexCheck check = CheckIndex(index_path);
  Translate(check, &r);
  if (check.sound()) {
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
      if (!check.bounds_hold) index.ForgetPassBounds();
      index.MarkCleanStop();
    }
    const IndexCheck after = CheckIndex(index_path);
    if (after.sound()) {
      r.repaired = 1;
      WriteLogBufferToFile("Index repaired: %d files, %lld bytes.\n", after.header_count,
                           static_cast<long long>(after.header_bytes));
    }
  }
  Deliver(r, out);
  return STOWMASTER_DAMAGED;
}

// ------------------------------------------------------ pass and empty ---

namespace {

// A pass as StowmasterShrinkWith asks for it: `older_than` > 0 deletes by
// age alone; `each` (may be null) is told each entry deleted.
struct PassAsked {
  int64_t older_than = 0;
  StowmasterEntryFn each = nullptr;
  void* each_context = nullptr;
};

int32_t RunAskedPass(bool empty, const PassAsked& asked, StowmasterPassResult* out,
                     StowmasterProgressFn progress, void* context) {
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
      // The entries deleted in the batch in hand, told to `each` between
      // batches, without the lock.
      std::vector<ListedEntry> deleted;
      bool telling = asked.each != nullptr;
      const auto tell = [&]() {
        for (const ListedEntry& entry : deleted) {
          if (!telling) break;
          const StowmasterEntry e = EntryOf(entry);
          telling = asked.each(&e, asked.each_context) != 0;
        }
        deleted.clear();
        return telling || asked.each == nullptr;
      };
      PassRequest request;
      request.older_than = asked.older_than;
      if (asked.each != nullptr) {
        request.deleted = [&](int32_t block, const ImageFileBlock& b) {
          deleted.emplace_back();
          ListedEntry& e = deleted.back();
          e.block = block;
          CopyStoredName(b, e.path);
          e.file_size = b.FileSize;
          e.registered = b.AccessTime;
          e.delay = b.Delay;
          e.evictable = true;
        };
      }
      // The pass lets go of the lock between its own batches and reports
      // there.
      const StowmasterPassResult before = total;
      request.between = [&](const PassOutcome& so_far) {
        const bool go_on = tell();
        total = before;
        add(so_far);
        report();
        return go_on;
      };
      const PassOutcome o = index.RunRequest(remover, request, RefusalIdentity());
      tell();
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
    index.MarkCleanStop();
    total.remaining_files = index.header()->TotalFileCount;
    total.remaining_bytes = index.header()->CacheSize;
  }
  if (asked.older_than > 0) {
    WriteLogBufferToFile(
        "Eviction pass on request of files older than %lld seconds: %d files deleted (%lld "
        "bytes), %d kept.\n",
        static_cast<long long>(asked.older_than), total.deleted_files,
        static_cast<long long>(total.deleted_bytes), total.kept_files);
  } else {
    WriteLogBufferToFile("%s: %d files deleted (%lld bytes), %d kept.\n",
                         empty ? "Cache emptied on request" : "Eviction pass on request",
                         total.deleted_files, static_cast<long long>(total.deleted_bytes),
                         total.kept_files);
  }
  Deliver(total, out);
  return total.kept_files > 0 ? STOWMASTER_INCOMPLETE : STOWMASTER_OK;
}

// The dry run: what the pass would delete now, told to `each` in order.
int32_t DryRun(const CacheSettings& cache, const PassAsked& asked, StowmasterPassResult* out,
               StowmasterProgressFn progress, void* context) {
  StowmasterPassResult total;
  std::memset(&total, 0, sizeof(total));
  total.size = sizeof(total);
  const auto translate = [&total](const PassForecastTotals& t) {
    total.deleted_files = t.deleted_files;
    total.deleted_bytes = t.deleted_bytes;
    total.kept_files = t.kept_files;
    total.kept_bytes = t.kept_bytes;
    total.remaining_files = t.remaining_files;
    total.remaining_bytes = t.remaining_bytes;
  };
  PassForecastTotals totals;
  const ListEnd end = ForecastPass(
      IndexPathIn(CacheFolder()), cache, RefusalIdentity(), platform::env().NowSeconds(),
      asked.older_than, kForecastBatch,
      [&](const ListedEntry& entry) {
        if (asked.each == nullptr) return true;
        const StowmasterEntry e = EntryOf(entry);
        return asked.each(&e, asked.each_context) != 0;
      },
      [&](const PassForecastTotals& so_far) {
        if (progress == nullptr) return;
        translate(so_far);
        progress(&total, context);
      },
      &totals);
  translate(totals);
  Deliver(total, out);
  switch (end) {
    case ListEnd::kEnd:
      return STOWMASTER_OK;
    case ListEnd::kChanged:
      Failed("StowmasterShrinkWith", "the index changed during the dry run; it stopped after " +
                                         std::to_string(total.deleted_files) + " entries");
      return STOWMASTER_CHANGED;
    case ListEnd::kDamaged:
      break;
  }
  Failed("StowmasterShrinkWith", "the valid list is damaged after " +
                                     std::to_string(total.deleted_files) +
                                     " entries of the dry run");
  return STOWMASTER_DAMAGED;
}

}  // namespace

int32_t RunPass(bool empty, StowmasterPassResult* out, StowmasterProgressFn progress,
                void* context) {
  if (!SizeOk(out)) return BadArgument("pass: null or too small a result struct");
  return RunAskedPass(empty, PassAsked(), out, progress, context);
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

int32_t ShrinkWith(const StowmasterShrinkOptions* options, StowmasterPassResult* out,
                   StowmasterProgressFn progress, void* context) {
  if (!SizeOk(out)) return BadArgument("StowmasterShrinkWith: null or too small a result struct");
  // A caller's shorter struct leaves the later fields as zero does.
  StowmasterShrinkOptions o;
  std::memset(&o, 0, sizeof(o));
  if (options != nullptr) {
    if (!SizeOk(options)) return BadArgument("StowmasterShrinkWith: too small an options struct");
    std::memcpy(&o, options, std::min<size_t>(options->size, sizeof(o)));
  }
  if (o.older_than < 0) {
    return BadArgument("StowmasterShrinkWith: older_than is negative (" +
                       std::to_string(o.older_than) + " seconds)");
  }
  CacheSettings cache;
  GetCacheSettings(&cache, nullptr, nullptr);
  if (o.older_than > 0 && o.older_than < cache.Delay) {
    return BadArgument("StowmasterShrinkWith: older than " + std::to_string(o.older_than) +
                       " seconds is less than the minimum age of every cached file (\"Delay\", " +
                       std::to_string(cache.Delay) + " seconds)");
  }
  PassAsked asked;
  asked.older_than = o.older_than;
  asked.each = o.each;
  asked.each_context = o.each_context;
  if (o.dry_run != 0) return DryRun(cache, asked, out, progress, context);
  return RunAskedPass(false, asked, out, progress, context);
}

}  // namespace api
}  // namespace stow
