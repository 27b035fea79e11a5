// The commands that watch the cache: status, list, usage, metrics, stats,
// check and dump. Only `check --repair` and `check --files --repair` change
// the index, and `stats --zero` its counters.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "commands.h"
#include "formats.h"
#include "json_writer.h"
#include "program_platform.h"

namespace stow_program {

std::string Session::LastError() const {
  char text[1024];
  lib->LastError(text, sizeof(text));
  return text;
}

int Session::Fail(const char* what) const {
  std::fprintf(stderr, "stowmaster: %s: %s\n", what, LastError().c_str());
  return kExitUnusable;
}

namespace {

bool IsSeparator(char c) { return PathSpellingKey(c) == PathSpellingKey(kPathSeparator); }

// The folder part of `path`: up to its last separator, without it.
std::string FolderOf(const std::string& path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsSeparator(path[i - 1])) return path.substr(0, i - 1);
  }
  return std::string();
}

// How many leading characters `a` and `b` share, as the system compares
// names.
size_t SharedLength(const std::string& a, const std::string& b) {
  size_t n = 0;
  while (n < a.size() && n < b.size() && PathSpellingKey(a[n]) == PathSpellingKey(b[n])) ++n;
  return n;
}

bool Boundary(const std::string& s, size_t at) { return at == s.size() || IsSeparator(s[at]); }

// The deepest folder that holds both `a` and `b`, as `a` spells it.
std::string CommonFolder(const std::string& a, const std::string& b) {
  size_t n = SharedLength(a, b);
  if (Boundary(a, n) && Boundary(b, n)) return a.substr(0, n);
  while (n > 0 && !IsSeparator(a[n - 1])) --n;
  return a.substr(0, n > 0 ? n - 1 : 0);
}

StowmasterStatus ReadStatus(const Session& session, bool* ok) {
  StowmasterStatus st;
  std::memset(&st, 0, sizeof(st));
  st.size = sizeof(st);
  *ok = session.lib->GetStatus(&st) == STOWMASTER_OK;
  return st;
}

bool ReadCounters(const Session& session, StowmasterCounters* counters) {
  std::memset(counters, 0, sizeof(*counters));
  counters->size = sizeof(*counters);
  return session.lib->GetCounters(counters) == STOWMASTER_OK;
}

// One counter: its name as the C struct, `status --json` and `stats --json`
// have it, its name in the metrics, the help of its series, and its value.
struct CounterField {
  const char* name;
  const char* metric;
  const char* help;
  uint64_t value;
};

std::vector<CounterField> CounterFields(const StowmasterCounters& c) {
  return {
      {"registrations_new", "stowmaster_registrations_new_total",
       "Registrations that listed a new file.", c.registrations_new},
      {"registrations_refreshed", "stowmaster_registrations_refreshed_total",
       "Registrations of a file already listed.", c.registrations_refreshed},
      {"registrations_refused", "stowmaster_registrations_refused_total",
       "Registrations turned down, for a full index included.", c.registrations_refused},
      {"full_index_refusals", "stowmaster_full_index_refusals_total",
       "Registrations turned down because the index was full.", c.full_index_refusals},
      {"passes", "stowmaster_passes_total", "Eviction passes that looked at the list.", c.passes},
      {"pass_deleted_files", "stowmaster_pass_deleted_files_total", "Files deleted by passes.",
       c.pass_deleted_files},
      {"pass_deleted_bytes", "stowmaster_pass_deleted_bytes_total",
       "Listed bytes of the files deleted by passes.", c.pass_deleted_bytes},
      {"emptied_files", "stowmaster_emptied_files_total", "Files deleted by emptying the cache.",
       c.emptied_files},
      {"emptied_bytes", "stowmaster_emptied_bytes_total",
       "Listed bytes of the files deleted by emptying the cache.", c.emptied_bytes},
      {"deletions_refused", "stowmaster_deletions_refused_total",
       "Deletions a pass or emptying tried and was refused.", c.deletions_refused},
      {"repair_dropped", "stowmaster_repair_dropped_total",
       "Entries dropped by repairs of the index.", c.repair_dropped},
  };
}

// The counters as a JSON object's members, after those `json` has.
void AddCountersJson(const StowmasterCounters& c, JsonObject* json) {
  json->Bool("available", c.available != 0);
  for (const CounterField& f : CounterFields(c)) json->Uint(f.name, f.value);
  json->Int("counting_since", c.counting_since).Int("last_reset", c.last_reset);
}

// The counters in words, a line each, as `status` ends and `stats` shows.
void PrintCounters(std::FILE* out, const StowmasterCounters& c) {
  if (!c.available) {
    std::fprintf(out, "Counters     none yet: kept beside the index once it is used\n");
    return;
  }
  std::fprintf(out, "Counted      since %s%s%s\n",
               c.counting_since != 0 ? LocalTimeText(c.counting_since).c_str() : "an unknown time",
               c.last_reset != 0 ? ", zeroed " : "",
               c.last_reset != 0 ? LocalTimeText(c.last_reset).c_str() : "");
  const auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  const auto size = [](uint64_t v) {
    constexpr int64_t kMost = std::numeric_limits<int64_t>::max();
    return HumanSize(v > static_cast<uint64_t>(kMost) ? kMost : static_cast<int64_t>(v));
  };
  std::fprintf(out, "Registered   %llu new, %llu refreshed, %llu refused (%llu for a full index)\n",
               n(c.registrations_new), n(c.registrations_refreshed), n(c.registrations_refused),
               n(c.full_index_refusals));
  std::fprintf(out, "Passes       %llu, deleted %llu files (%s)\n", n(c.passes),
               n(c.pass_deleted_files), size(c.pass_deleted_bytes).c_str());
  std::fprintf(out, "Emptying     deleted %llu files (%s)\n", n(c.emptied_files),
               size(c.emptied_bytes).c_str());
  std::fprintf(out, "Refused      %llu deletions; %llu entries dropped by repairs\n",
               n(c.deletions_refused), n(c.repair_dropped));
}

bool ReadDiskUsage(const Session& session, StowmasterDiskUsage* usage) {
  std::memset(usage, 0, sizeof(*usage));
  usage->size = sizeof(*usage);
  return session.lib->GetDiskUsage(usage) == STOWMASTER_OK;
}

std::string DiskUsageJson(const StowmasterDiskUsage& d) {
  return JsonObject()
      .Int("folders", d.folders)
      .Int("files", d.files)
      .Int("bytes", d.bytes)
      .Int("unlisted_files", d.unlisted_files)
      .Int("unlisted_bytes", d.unlisted_bytes)
      .str();
}

// The word of a settings problem's kind in JSON.
const char* ProblemKindName(int32_t kind) {
  switch (kind) {
    case STOWMASTER_PROBLEM_UNKNOWN_KEY:
      return "unknown_key";
    case STOWMASTER_PROBLEM_OUT_OF_RANGE:
      return "out_of_range";
    case STOWMASTER_PROBLEM_NOT_A_NUMBER:
      return "not_a_number";
    case STOWMASTER_PROBLEM_UNREADABLE:
      return "unreadable";
    case STOWMASTER_PROBLEM_VARIABLE_IGNORED:
      return "variable_ignored";
    case STOWMASTER_PROBLEM_UNTRUSTED:
      return "untrusted";
  }
  return "other";
}

// The problems' lines that end `status` and `config`.
void PrintProblems(std::FILE* out, const std::vector<StowmasterSettingItem>& items) {
  for (const StowmasterSettingItem& item : items) {
    if (item.kind != STOWMASTER_SETTING) {
      std::fprintf(out, "Problem      %s\n", Printable(item.text).c_str());
    }
  }
}

}  // namespace

std::string SettingsProblemsJson(const std::vector<StowmasterSettingItem>& items) {
  std::string json = "[";
  for (const StowmasterSettingItem& item : items) {
    if (item.kind == STOWMASTER_SETTING) continue;
    if (json.size() > 1) json += ", ";
    json += JsonObject()
                .Word("kind", ProblemKindName(item.kind))
                .Text("section", item.section)
                .Text("key", item.key)
                .Text("value", item.value)
                .Text("file", item.file)
                .Int("line", item.line)
                .Text("text", item.text)
                .str();
  }
  return json + "]";
}

bool SpeltUnder(const std::string& path, const std::string& folder) {
  std::string f = folder;
  while (f.size() > 1 && IsSeparator(f.back())) f.pop_back();
  if (f.size() == 1 && IsSeparator(f[0])) return path.size() > 1 && IsSeparator(path[0]);
  return path.size() > f.size() && SharedLength(path, f) == f.size() && IsSeparator(path[f.size()]);
}

// ---------------------------------------------------------------- status ---

int Status(const Invocation& call, Session& session) {
  StowmasterSettings s = session.settings;
  std::FILE* out = session.out;
  bool ok = false;
  const StowmasterStatus st = ReadStatus(session, &ok);
  if (!ok) return session.Fail("cannot read the index");
  // The limit and the marks the figures were judged by, from a library
  // that gives them with the figures.
  if (st.size >= offsetof(StowmasterStatus, low_mark_bytes) + sizeof(st.low_mark_bytes)) {
    s.limit_bytes = st.limit_bytes;
    s.high_mark_bytes = st.high_mark_bytes;
    s.low_mark_bytes = st.low_mark_bytes;
  }
  // From a library that tells it.
  const bool pending =
      st.size >= offsetof(StowmasterStatus, reconciliation_pending) + sizeof(int32_t) &&
      st.reconciliation_pending != 0;
  StowmasterCounters counters;
  if (!ReadCounters(session, &counters)) return session.Fail("cannot read the counters");
  StowmasterDiskUsage disk;
  const bool with_disk = call.Has("--disk");
  if (with_disk && !ReadDiskUsage(session, &disk)) {
    return session.Fail("cannot walk the cache folders");
  }
  if (call.json) {
    JsonObject counters_json;
    AddCountersJson(counters, &counters_json);
    JsonObject json = JsonDocument();
    json.Text("settings_file", s.settings_file)
        .Bool("settings_found", s.settings_found != 0)
        .Text("cache_dir", s.cache_dir)
        .Text("index_path", s.index_path)
        .Text("log_file", s.log_file)
        .Bool("log_writable", s.log_writable != 0)
        .Int("precision", s.precision)
        .Int("limit_bytes", s.limit_bytes)
        .Int("high_mark_bytes", s.high_mark_bytes)
        .Int("low_mark_bytes", s.low_mark_bytes)
        .Int("min_age_seconds", s.min_age_seconds)
        .Bool("index_present", st.index_present != 0)
        .Bool("index_formatted", st.index_formatted != 0)
        .Bool("lists_consistent", st.lists_consistent != 0)
        .Int("entries", st.entries)
        .Int("capacity", st.capacity)
        .Int("bytes_in_use", st.bytes_in_use)
        .Int("oldest_registration", st.oldest_registration)
        .Int("newest_registration", st.newest_registration)
        .Int("evictable_files", st.evictable_files)
        .Int("evictable_bytes", st.evictable_bytes)
        .Int("now", st.now)
        .Text("next_path", st.next_path)
        .Int("next_registered", st.next_registered)
        .Int("refused_files", st.refused_files)
        .Int("refused_bytes", st.refused_bytes)
        .Bool("reconciliation_pending", pending)
        .Raw("counters", counters_json.str());
    if (with_disk) json.Raw("disk_usage", DiskUsageJson(disk));
    json.Raw("problems", SettingsProblemsJson(session.setting_items));
    std::fprintf(out, "%s\n", json.str().c_str());
    return kExitOk;
  }
  std::fprintf(out, "Settings     %s%s\n", s.settings_file,
               s.settings_found ? "" : " (not found: the defaults apply)");
  std::fprintf(out, "Log          %s%s\n", s.log_file,
               s.log_writable ? "" : " (not writable by this user: its lines are lost)");
  std::fprintf(out, "Cache        %s\n", s.cache_dir);
  if (!st.index_present) {
    std::fprintf(out, "Index        %s (not made yet: made at the first use)\n", s.index_path);
  } else if (!st.index_formatted) {
    std::fprintf(out, "Index        %s (not an index: made anew at the next use)\n", s.index_path);
  } else {
    std::fprintf(out, "Index        %s, %d of %d entries\n", s.index_path, st.entries,
                 st.capacity);
  }
  std::fprintf(out, "Limit        %s; low mark %s, high mark %s; minimum age %s\n",
               HumanSize(s.limit_bytes).c_str(), HumanSize(s.low_mark_bytes).c_str(),
               HumanSize(s.high_mark_bytes).c_str(), HumanDuration(s.min_age_seconds).c_str());
  const double percent = s.limit_bytes > 0 ? 100.0 * static_cast<double>(st.bytes_in_use) /
                                                 static_cast<double>(s.limit_bytes)
                                           : 0.0;
  std::fprintf(out, "In use       %s (%.0f %% of the limit)\n", HumanSize(st.bytes_in_use).c_str(),
               percent);
  std::fprintf(out, "             %s\n",
               UsageBar(st.bytes_in_use, s.low_mark_bytes, s.high_mark_bytes).c_str());
  if (st.entries > 0) {
    std::fprintf(out, "Oldest       %s ago (%s)\n",
                 HumanDuration(st.now - st.oldest_registration).c_str(),
                 LocalTimeText(st.oldest_registration).c_str());
    std::fprintf(out, "Newest       %s ago (%s)\n",
                 HumanDuration(st.now - st.newest_registration).c_str(),
                 LocalTimeText(st.newest_registration).c_str());
  }
  // An older library fills less of the struct: it tells nothing of this.
  const bool knows_next = st.size >= offsetof(StowmasterStatus, next_registered) + 8;
  if (knows_next && st.next_path[0] != '\0') {
    std::fprintf(out, "Next to go   %s (%s old)\n", Printable(st.next_path).c_str(),
                 HumanDuration(st.now - st.next_registered).c_str());
  } else if (knows_next && st.entries > 0) {
    std::fprintf(out, "Next to go   none: no file is old enough yet\n");
  }
  if (st.bytes_in_use <= s.high_mark_bytes) {
    std::fprintf(out, "Next pass    deletes nothing: below the high mark\n");
  } else {
    std::fprintf(out, "Next pass    would delete %d files (%s)\n", st.evictable_files,
                 HumanSize(st.evictable_bytes).c_str());
  }
  if (st.refused_files > 0) {
    std::fprintf(out, "Refused      %d files (%s): not tried again until their back-off ends\n",
                 st.refused_files, HumanSize(st.refused_bytes).c_str());
  }
  if (st.index_present && st.index_formatted) {
    std::fprintf(
        out, "Lists        %s\n",
        st.lists_consistent ? "consistent" : "NOT consistent: run `stowmaster check` for details");
    std::fprintf(out, "Disk         %s\n",
                 pending ? "NOT reconciled since the restart: the next pass does it"
                         : "reconciled since the last restart");
  }
  if (with_disk) {
    std::fprintf(out, "On disk      %lld files (%s) below %d cache folder%s\n",
                 static_cast<long long>(disk.files), HumanSize(disk.bytes).c_str(), disk.folders,
                 disk.folders == 1 ? "" : "s");
    std::fprintf(out, "Unlisted     %lld files (%s)%s\n",
                 static_cast<long long>(disk.unlisted_files),
                 HumanSize(disk.unlisted_bytes).c_str(),
                 disk.unlisted_files > 0 ? ": `stowmaster adopt DIR` registers them" : "");
  }
  PrintCounters(out, counters);
  PrintProblems(out, session.setting_items);
  return kExitOk;
}

// ---------------------------------------------------------------- config ---

int Config(const Invocation& call, Session& session) {
  const StowmasterSettings& s = session.settings;
  std::FILE* out = session.out;
  const bool known = session.settings_read;
  if (call.json) {
    JsonObject json = JsonDocument();
    if (known) {
      json.Text("settings_file", s.settings_file).Bool("settings_found", s.settings_found != 0);
    }
    std::string settings = "[";
    for (const StowmasterSettingItem& item : session.setting_items) {
      if (item.kind != STOWMASTER_SETTING) continue;
      if (settings.size() > 1) settings += ", ";
      settings += JsonObject()
                      .Text("section", item.section)
                      .Text("key", item.key)
                      .Text("value", item.value)
                      .Text("unit", item.unit)
                      .Text("file", item.file)
                      .Int("line", item.line)
                      .Word("source", item.line > 0 ? "file" : "default")
                      .str();
    }
    json.Raw("settings", settings + "]");
    json.Raw("problems", SettingsProblemsJson(session.setting_items));
    std::fprintf(out, "%s\n", json.str().c_str());
    return kExitOk;
  }
  if (known) {
    std::fprintf(out, "Settings     %s%s\n", s.settings_file,
                 s.settings_found ? "" : " (not found: the defaults apply)");
  }
  for (const StowmasterSettingItem& item : session.setting_items) {
    if (item.kind != STOWMASTER_SETTING) continue;
    const std::string name = std::string("[") + item.section + "] " + item.key;
    std::string value = item.value;
    if (item.unit[0] != '\0') value += std::string(" ") + item.unit;
    if (item.value[0] == '\0') value = "(empty)";
    const std::string source =
        item.line > 0 ? std::string(item.file) + ":" + std::to_string(item.line) : "default";
    std::fprintf(out, "  %-20s %-24s %s\n", name.c_str(), Printable(value.c_str()).c_str(),
                 Printable(source.c_str()).c_str());
  }
  PrintProblems(out, session.setting_items);
  return kExitOk;
}

// ----------------------------------------------------------------- stats ---

int Stats(const Invocation& call, Session& session) {
  if (call.Has("--zero")) {
    if (session.lib->ZeroCounters() != STOWMASTER_OK) {
      return session.Fail("cannot zero the counters");
    }
  }
  StowmasterCounters c;
  if (!ReadCounters(session, &c)) return session.Fail("cannot read the counters");
  if (call.json) {
    JsonObject json = JsonDocument();
    json.Text("index_path", session.settings.index_path);
    AddCountersJson(c, &json);
    json.Int("now", c.now);
    std::fprintf(session.out, "%s\n", json.str().c_str());
    return kExitOk;
  }
  std::fprintf(session.out, "Index        %s\n", session.settings.index_path);
  PrintCounters(session.out, c);
  return kExitOk;
}

// ------------------------------------------------------------------ list ---

namespace {

// A walk of the list with the program's filters, sort and limit.
struct Walk {
  std::string under;           // empty: every folder
  long long older_than = -1;   // seconds; < 0: any age
  std::string sort;            // empty: list order, else size, age or path
  long long limit = 0;         // 0: all
  int64_t now = 0;
  // Called at once for each entry that passes the filters when unsorted;
  // false stops the walk.
  bool (*show)(const StowmasterEntry& entry, void* context) = nullptr;
  void* context = nullptr;
  std::vector<StowmasterEntry> kept;  // sorted, or when `show` is null
  long long shown = 0;
  long long below = 0;  // entries below `under`, whatever the other filters
};

int32_t STOWMASTER_CALL WalkEntry(const StowmasterEntry* e, void* context) {
  Walk& walk = *static_cast<Walk*>(context);
  if (!walk.under.empty() && !SpeltUnder(e->path, walk.under)) return 1;
  ++walk.below;
  if (walk.older_than >= 0 && walk.now - e->registered < walk.older_than) return 1;
  if (!walk.sort.empty() || walk.show == nullptr) {
    walk.kept.push_back(*e);
    return 1;
  }
  ++walk.shown;
  if (!walk.show(*e, walk.context)) return 0;
  return walk.limit == 0 || walk.shown < walk.limit ? 1 : 0;
}

// Walks the list as `walk` says; then calls `show` for the sorted entries
// up to the limit. The library's code.
int32_t RunWalk(const Session& session, Walk* walk) {
  // Unfiltered and unsorted the library stops the walk itself.
  const bool plain = walk->under.empty() && walk->older_than < 0 && walk->sort.empty();
  const int32_t rc = session.lib->ListEntries(plain ? static_cast<int32_t>(walk->limit) : 0,
                                              WalkEntry, walk);
  std::vector<StowmasterEntry>& kept = walk->kept;
  if (walk->sort == "size") {
    std::stable_sort(kept.begin(), kept.end(), [](const StowmasterEntry& a, const StowmasterEntry& b) {
      return a.file_size > b.file_size;
    });
  } else if (walk->sort == "age") {
    std::stable_sort(kept.begin(), kept.end(), [](const StowmasterEntry& a, const StowmasterEntry& b) {
      return a.registered < b.registered;
    });
  } else if (walk->sort == "path") {
    std::stable_sort(kept.begin(), kept.end(), [](const StowmasterEntry& a, const StowmasterEntry& b) {
      return std::strcmp(a.path, b.path) < 0;
    });
  }
  if (!walk->sort.empty() && walk->show != nullptr) {
    for (const StowmasterEntry& e : kept) {
      if (walk->limit != 0 && walk->shown >= walk->limit) break;
      ++walk->shown;
      if (!walk->show(e, walk->context)) break;
    }
  }
  return rc;
}

struct ListOutput {
  std::FILE* out;
  bool json;
  int64_t now;
  long long count = 0;
};

}  // namespace

std::string EntryJson(const StowmasterEntry& e, int64_t now) {
  return JsonObject()
      .Int("block", e.block)
      .Text("path", e.path)
      .Int("file_size", e.file_size)
      .Int("registered", e.registered)
      .Int("delay", e.delay)
      .Bool("evictable", e.evictable != 0)
      .Int("age_seconds", now - e.registered)
      .str();
}

namespace {

void PrintEntryLine(std::FILE* out, const StowmasterEntry& e, int64_t now) {
  std::fprintf(out, "%10s  %-14s  %-10s  %-3s  %s\n", HumanSize(e.file_size).c_str(),
               HumanDuration(now - e.registered).c_str(),
               e.delay > 0 ? HumanDuration(e.delay).c_str() : "-", e.evictable ? "yes" : "no",
               Printable(e.path).c_str());
}

bool ShowListed(const StowmasterEntry& e, void* context) {
  ListOutput& o = *static_cast<ListOutput*>(context);
  if (o.json) {
    std::fprintf(o.out, "%s\n    %s", o.count++ == 0 ? "" : ",", EntryJson(e, o.now).c_str());
  } else {
    PrintEntryLine(o.out, e, o.now);
  }
  return true;
}

// The end of a walk that stopped early: the message, and the exit code.
int WalkEnded(const Session& session, int32_t rc) {
  if (rc == STOWMASTER_CHANGED || rc == STOWMASTER_DAMAGED) {
    std::fprintf(stderr, "stowmaster: the list stopped early: %s\n", session.LastError().c_str());
    return rc == STOWMASTER_DAMAGED ? kExitDamaged : kExitOk;
  }
  if (rc != STOWMASTER_OK) return session.Fail("cannot read the index");
  return kExitOk;
}

// The folder of --under as the index spells the paths it lists: absolute,
// each separator once.
std::string UnderFolder(const Invocation& call) {
  const std::string under = call.Text("--under");
  return under.empty() ? under : AbsolutePath(under);
}

// A folder below which nothing is listed may be a spelling the index does
// not use (a link, another case): said on the standard error, as the empty
// output alone does not tell it from an empty folder.
void SayIfNothingBelow(const Walk& walk, int32_t rc) {
  if (!walk.under.empty() && walk.below == 0 && rc == STOWMASTER_OK) {
    std::fprintf(stderr, "stowmaster: nothing is listed under %s\n",
                 Printable(walk.under.c_str()).c_str());
  }
}

}  // namespace

int List(const Invocation& call, Session& session) {
  ListOutput output{session.out, call.json, static_cast<int64_t>(std::time(nullptr)), 0};
  Walk walk;
  walk.under = UnderFolder(call);
  walk.older_than = call.Number("--older-than", -1);
  walk.sort = call.Text("--sort");
  walk.limit = call.Number("--limit", 0);
  walk.now = output.now;
  walk.show = ShowListed;
  walk.context = &output;
  if (call.json) {
    std::fprintf(session.out, "{\"schema\": %d, \"entries\": [", kJsonSchema);
  } else {
    std::fprintf(session.out, "%10s  %-14s  %-10s  %-3s  %s\n", "SIZE", "AGE", "OWN DELAY", "OLD",
                 "PATH");
  }
  const int32_t rc = RunWalk(session, &walk);
  SayIfNothingBelow(walk, rc);
  if (call.json) {
    std::fprintf(session.out, "%s], \"complete\": %s}\n", walk.shown == 0 ? "" : "\n  ",
                 rc == STOWMASTER_OK ? "true" : "false");
  }
  std::fflush(session.out);
  return WalkEnded(session, rc);
}

// ----------------------------------------------------------------- usage ---

int Usage(const Invocation& call, Session& session) {
  Walk walk;
  walk.under = UnderFolder(call);
  const int32_t rc = RunWalk(session, &walk);
  SayIfNothingBelow(walk, rc);
  if (rc != STOWMASTER_OK && rc != STOWMASTER_CHANGED && rc != STOWMASTER_DAMAGED) {
    return session.Fail("cannot read the index");
  }
  // The folders below which every listed file lies, then each file's
  // group: its own folder, or the root and the next `depth` folder names.
  std::string root;
  for (size_t i = 0; i < walk.kept.size(); ++i) {
    const std::string folder = FolderOf(walk.kept[i].path);
    root = i == 0 ? folder : CommonFolder(root, folder);
  }
  const long long depth = call.Number("--depth", -1);
  struct Group {
    std::string folder;
    long long files = 0;
    long long bytes = 0;
  };
  std::map<std::string, Group> groups;  // by the folder as the system compares names
  long long total_files = 0, total_bytes = 0;
  for (const StowmasterEntry& e : walk.kept) {
    std::string folder = FolderOf(e.path);
    if (depth >= 0) {
      size_t end = root.size();
      for (long long k = 0; k < depth && end < folder.size(); ++k) {
        size_t next = end + 1;
        while (next < folder.size() && !IsSeparator(folder[next])) ++next;
        end = next;
      }
      folder.resize(std::min(end, folder.size()));
    }
    std::string key = folder;
    for (char& c : key) c = PathSpellingKey(c);
    Group& g = groups[key];
    if (g.files == 0) g.folder = folder;
    ++g.files;
    g.bytes += e.file_size;
    ++total_files;
    total_bytes += e.file_size;
  }
  std::vector<Group> ordered;
  for (const auto& g : groups) ordered.push_back(g.second);
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const Group& a, const Group& b) { return a.bytes > b.bytes; });
  const std::string shown_root = root.empty() ? std::string(1, kPathSeparator) : root;
  if (call.json) {
    std::string folders = "[";
    for (const Group& g : ordered) {
      folders += std::string(folders.size() > 1 ? ",\n    " : "\n    ") +
                 JsonObject()
                     .Text("folder", g.folder.empty() ? shown_root.c_str() : g.folder.c_str())
                     .Int("files", g.files)
                     .Int("bytes", g.bytes)
                     .str();
    }
    folders += ordered.empty() ? "]" : "\n  ]";
    JsonObject json = JsonDocument();
    json.Text("root", shown_root.c_str());
    if (depth >= 0) {
      json.Int("depth", depth);
    } else {
      json.Raw("depth", "null");
    }
    json.Int("files", total_files)
        .Int("bytes", total_bytes)
        .Raw("folders", folders)
        .Bool("complete", rc == STOWMASTER_OK);
    std::fprintf(session.out, "%s\n", json.str().c_str());
  } else {
    std::fprintf(session.out, "%lld file%s (%s) below %s, in %zu folder%s\n", total_files,
                 total_files == 1 ? "" : "s", HumanSize(total_bytes).c_str(),
                 Printable(shown_root.c_str()).c_str(), ordered.size(),
                 ordered.size() == 1 ? "" : "s");
    for (const Group& g : ordered) {
      const double percent =
          total_bytes > 0 ? 100.0 * static_cast<double>(g.bytes) / static_cast<double>(total_bytes)
                          : 0.0;
      std::fprintf(session.out, "%10s %7lld  [%s] %3.0f %%  %s\n", HumanSize(g.bytes).c_str(),
                   g.files, ShareBar(g.bytes, total_bytes, 20).c_str(), percent,
                   Printable(g.folder.empty() ? shown_root.c_str() : g.folder.c_str()).c_str());
    }
  }
  std::fflush(session.out);
  return WalkEnded(session, rc);
}

// --------------------------------------------------------------- metrics ---

namespace {

// `value` as a label value of the text exposition format: between double
// quotes, with a backslash, a double quote and a line end escaped.
std::string LabelValue(const std::string& value) {
  std::string quoted = "\"";
  for (char c : value) {
    if (c == '\\') {
      quoted += "\\\\";
    } else if (c == '"') {
      quoted += "\\\"";
    } else if (c == '\n') {
      quoted += "\\n";
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

}  // namespace

int Metrics(const Invocation& call, Session& session) {
  const StowmasterSettings& s = session.settings;
  bool ok = false;
  const StowmasterStatus st = ReadStatus(session, &ok);
  if (!ok) return session.Fail("cannot read the index");
  StowmasterDiskUsage disk;
  const bool with_disk = call.Has("--disk");
  if (with_disk && !ReadDiskUsage(session, &disk)) {
    return session.Fail("cannot walk the cache folders");
  }
  StowmasterCounters counters;
  if (!ReadCounters(session, &counters)) return session.Fail("cannot read the counters");
  struct Gauge {
    const char* name;
    const char* help;
    long long value;
  };
  std::vector<Gauge> gauges = {
      {"stowmaster_limit_bytes", "The configured cache limit (CacheSize), in bytes.",
       s.limit_bytes},
      {"stowmaster_used_bytes", "The bytes in use as the index counts them.", st.bytes_in_use},
      {"stowmaster_high_mark_bytes", "An eviction pass starts above this many bytes in use.",
       s.high_mark_bytes},
      {"stowmaster_low_mark_bytes", "An eviction pass deletes until the bytes in use are below this.",
       s.low_mark_bytes},
      {"stowmaster_entries", "Files listed in the index.", st.entries},
      {"stowmaster_oldest_entry_age_seconds",
       "Seconds since the oldest listed registration; 0 when nothing is listed.",
       st.entries > 0 ? st.now - st.oldest_registration : 0},
      {"stowmaster_refused_entries",
       "Listed files whose deletion was refused and that are not tried again yet.",
       st.refused_files},
      {"stowmaster_refused_bytes", "The listed bytes of those files.", st.refused_bytes},
  };
  if (with_disk) {
    gauges.push_back({"stowmaster_unlisted_bytes",
                      "Bytes of the regular files below the cache folders that the index does not "
                      "list.",
                      disk.unlisted_bytes});
  }
  // Every sample names its cache, so that the series of several caches on
  // one host differ. The format is UTF-8; the folder is in the system's text.
  std::string folder;
  SystemTextToUtf8(s.cache_dir, &folder);
  const std::string labels = "{cache=" + LabelValue(folder) + "}";
  std::string text;
  for (const Gauge& g : gauges) {
    text += std::string("# HELP ") + g.name + " " + g.help + "\n# TYPE " + g.name + " gauge\n" +
            g.name + labels + " " + std::to_string(g.value) + "\n";
  }
  // The counters only go up, but for a zeroing or a lookup file made
  // afresh: a collector takes either for a counter reset.
  for (const CounterField& f : CounterFields(counters)) {
    text += std::string("# HELP ") + f.metric + " " + f.help + "\n# TYPE " + f.metric +
            " counter\n" + f.metric + labels + " " + std::to_string(f.value) + "\n";
  }
  if (!call.Has("--output")) {
    std::fwrite(text.data(), 1, text.size(), session.out);
    return kExitOk;
  }
  std::string error;
  if (!ReplaceFileWith(call.Text("--output"), text, &error)) {
    std::fprintf(stderr, "stowmaster: cannot write the metrics (%s is unchanged): %s\n",
                 Printable(call.Text("--output").c_str()).c_str(), error.c_str());
    return kExitUnusable;
  }
  return kExitOk;
}

// ----------------------------------------------------------------- check ---

namespace {

const char* ProblemName(int32_t problem) {
  switch (problem) {
    case STOWMASTER_FILE_MISSING:
      return "missing";
    case STOWMASTER_FILE_NOT_REGULAR:
      return "not_regular";
    case STOWMASTER_FILE_SIZE_DIFFERS:
      return "size_differs";
  }
  return "unknown";
}

struct FilesOutput {
  std::FILE* out;
  bool json;
  bool repair;
  int count = 0;
};

int32_t STOWMASTER_CALL ShowProblem(const StowmasterFileProblem* p, void* context) {
  FilesOutput& o = *static_cast<FilesOutput*>(context);
  if (o.json) {
    std::fprintf(o.out, "%s\n    %s", o.count == 0 ? "" : ",",
                 JsonObject()
                     .Int("block", p->block)
                     .Text("path", p->path)
                     .Int("problem", p->problem)
                     .Word("kind", ProblemName(p->problem))
                     .Bool("repaired", p->repaired != 0)
                     .Int("listed_size", p->listed_size)
                     .Int("disk_size", p->disk_size)
                     .str()
                     .c_str());
  } else {
    std::string what;
    if (p->problem == STOWMASTER_FILE_MISSING) {
      what = "missing";
    } else if (p->problem == STOWMASTER_FILE_NOT_REGULAR) {
      what = "not a regular file";
    } else {
      what = "listed " + HumanSize(p->listed_size) + ", on disk " + HumanSize(p->disk_size);
    }
    const char* done = "";
    if (o.repair) done = p->repaired ? (p->problem == STOWMASTER_FILE_SIZE_DIFFERS ? ": size updated" : ": dropped") : ": changed meanwhile, left";
    std::fprintf(o.out, "%s: %s%s\n", Printable(p->path).c_str(), what.c_str(), done);
  }
  ++o.count;
  return 1;
}

int CheckFilesOnDisk(const Invocation& call, Session& session) {
  const bool repair = call.Has("--repair");
  FilesOutput output{session.out, call.json, repair};
  StowmasterFilesReport r;
  std::memset(&r, 0, sizeof(r));
  r.size = sizeof(r);
  if (call.json) std::fprintf(session.out, "{\"schema\": %d, \"problems\": [", kJsonSchema);
  const int32_t rc = session.lib->CheckFiles(repair ? 1 : 0, &r, ShowProblem, &output);
  const bool walked = rc == STOWMASTER_OK || rc == STOWMASTER_FILES_DIFFER ||
                      rc == STOWMASTER_CHANGED || rc == STOWMASTER_DAMAGED;
  if (call.json) {
    std::string rest = JsonObject()
                           .Text("index_path", session.settings.index_path)
                           .Int("checked", r.checked)
                           .Int("missing", r.missing)
                           .Int("not_regular", r.not_regular)
                           .Int("size_differs", r.size_differs)
                           .Int("repaired", r.repaired)
                           .Int("dropped_bytes", r.dropped_bytes)
                           .Int("size_change", r.size_change)
                           .Bool("agree", rc == STOWMASTER_OK)
                           .Bool("complete", rc == STOWMASTER_OK || rc == STOWMASTER_FILES_DIFFER)
                           .str();
    // The members after the array: the object's text without its brace.
    std::fprintf(session.out, "%s], %s\n", output.count == 0 ? "" : "\n  ", rest.c_str() + 1);
  }
  std::fflush(session.out);
  if (!walked) return session.Fail("cannot check the files");
  if (rc == STOWMASTER_CHANGED || rc == STOWMASTER_DAMAGED) return WalkEnded(session, rc);
  if (!call.json) {
    std::fprintf(session.out,
                 "%d entries checked: %d missing, %d not regular files, %d of another size",
                 r.checked, r.missing, r.not_regular, r.size_differs);
    if (repair) {
      std::fprintf(session.out, "; %d repaired (%s dropped, %s %s by new sizes)", r.repaired,
                   HumanSize(r.dropped_bytes).c_str(),
                   HumanSize(r.size_change < 0 ? -r.size_change : r.size_change).c_str(),
                   r.size_change < 0 ? "removed" : "added");
    } else if (rc == STOWMASTER_FILES_DIFFER) {
      std::fprintf(session.out, "; run `stowmaster check --files --repair` to repair the entries");
    }
    std::fputs("\n", session.out);
  }
  return rc == STOWMASTER_OK ? kExitOk : kExitDiffer;
}

}  // namespace

int Check(const Invocation& call, Session& session) {
  if (call.Has("--files")) return CheckFilesOnDisk(call, session);
  const StowmasterSettings& s = session.settings;
  const bool repair = call.Has("--repair");
  StowmasterCheckReport r;
  std::memset(&r, 0, sizeof(r));
  r.size = sizeof(r);
  const int32_t rc = session.lib->Check(repair ? 1 : 0, &r);
  if (rc != STOWMASTER_OK && rc != STOWMASTER_DAMAGED) return session.Fail("cannot check the index");
  std::FILE* out = session.out;
  if (call.json) {
    std::fprintf(out, "%s\n",
                 JsonDocument()
                     .Text("index_path", s.index_path)
                     .Bool("index_present", r.index_present != 0)
                     .Bool("index_formatted", r.index_formatted != 0)
                     .Bool("lists_consistent", r.lists_consistent != 0)
                     .Bool("interrupted", r.interrupted != 0)
                     .Bool("repaired", r.repaired != 0)
                     .Int("valid_count", r.valid_count)
                     .Int("free_count", r.free_count)
                     .Int("valid_bytes", r.valid_bytes)
                     .Int("header_bytes", r.header_bytes)
                     .Int("header_count", r.header_count)
                     .Text("problem", r.problem)
                     .Bool("sound", rc == STOWMASTER_OK)
                     .str()
                     .c_str());
  } else if (!r.index_present) {
    std::fprintf(out, "%s: no index yet, nothing to check\n", s.index_path);
  } else if (rc == STOWMASTER_OK) {
    std::fprintf(out, "%s: sound: %d entries (%s), %d free blocks%s\n", s.index_path,
                 r.valid_count, HumanSize(r.valid_bytes).c_str(), r.free_count,
                 r.interrupted ? "; a process died while it held the lock, without harm" : "");
  } else {
    std::fprintf(out, "%s: DAMAGED: %s\n", s.index_path, r.problem);
    if (repair) {
      std::fprintf(out, "%s\n", r.repaired ? "repaired" : "the repair did not make it sound");
    } else {
      std::fprintf(out, "run `stowmaster check --repair` to repair it\n");
    }
  }
  return rc == STOWMASTER_OK ? kExitOk : kExitDamaged;
}

// ------------------------------------------------------------------ dump ---

int Dump(const Invocation& call, Session& session) {
  if (!call.args.empty()) {
    if (session.lib->Dump(call.args[0].c_str(), nullptr, 0, nullptr) != STOWMASTER_OK) {
      return session.Fail("cannot write the dump");
    }
    return kExitOk;
  }
  std::vector<char> buffer(1 << 20);
  for (int attempt = 0; attempt < 4; ++attempt) {
    uint64_t length = 0;
    const int32_t rc = session.lib->Dump(nullptr, buffer.data(), buffer.size(), &length);
    if (rc == STOWMASTER_OK) {
      std::fwrite(buffer.data(), 1, static_cast<size_t>(length), session.out);
      return kExitOk;
    }
    if (rc != STOWMASTER_TOO_SMALL) return session.Fail("cannot dump the index");
    buffer.resize(static_cast<size_t>(length) + (1 << 16));  // it may grow meanwhile
  }
  return session.Fail("cannot dump the index");
}

}  // namespace stow_program
