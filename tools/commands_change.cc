// The commands that change the cache: add, adopt, shrink and empty.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "commands.h"
#include "formats.h"
#include "json_writer.h"
#include "program_platform.h"

namespace stow_program {

namespace {

// The longest path a list of paths may hold on one line; a longer line is
// reported and skipped rather than grown without bound.
constexpr size_t kMaxListedPath = 32 * 1024;

// Registers one path, saying so unless quiet; false when it was not
// registered.
bool AddOne(Library& lib, Session& session, const std::string& file, uint32_t delay, bool quiet) {
  if (lib.AddFileA(file.c_str(), delay) == 1) {
    if (!quiet) std::fprintf(session.out, "registered %s\n", file.c_str());
    return true;
  }
  std::fprintf(stderr, "stowmaster: not registered: %s: %s\n", file.c_str(),
               session.LastError().c_str());
  return false;
}

// Registers each path of `in`, one a line (or each ended by a NUL), as it
// is read, so that a producer such as find is not waited for. Empty entries
// are skipped. Counts the failures into `failed`.
void AddListed(Library& lib, Session& session, std::FILE* in, const char* name, char end,
               uint32_t delay, bool quiet, int* failed) {
  std::string path;
  bool too_long = false;
  for (;;) {
    const int c = std::fgetc(in);
    if (c != EOF && static_cast<char>(c) != end) {
      if (path.size() < kMaxListedPath) {
        path += static_cast<char>(c);
      } else {
        too_long = true;
      }
      continue;
    }
    if (too_long) {
      std::fprintf(stderr, "stowmaster: not registered: a path of %s is longer than %zu bytes\n",
                   name, kMaxListedPath);
      ++*failed;
    } else if (!path.empty() && !AddOne(lib, session, path, delay, quiet)) {
      ++*failed;
    }
    path.clear();
    too_long = false;
    if (c == EOF) break;
  }
  if (std::ferror(in)) {
    std::fprintf(stderr, "stowmaster: cannot read %s: %s\n", name, std::strerror(errno));
    ++*failed;
  }
}

}  // namespace

// The library is initialised once for every path, whether given as
// arguments or read from a list: its shutdown writes the dump of the whole
// index, which at tens of thousands of entries costs megabytes per call.
int Add(const Invocation& call, Session& session) {
  Library& lib = *session.lib;
  // The list file is opened first: a name that cannot be read is the
  // caller's mistake, found before anything is registered.
  std::FILE* from = nullptr;
  const std::string from_name = call.Text("--from");
  if (call.Has("--from") && from_name != "-") {
    from = std::fopen(from_name.c_str(), "rb");
    if (from == nullptr) {
      std::fprintf(stderr, "stowmaster: cannot open %s: %s\n", from_name.c_str(),
                   std::strerror(errno));
      return kExitUnusable;
    }
  }
  if (lib.Initialize(0) == 0) {
    lib.UnInitialize();
    if (from != nullptr) std::fclose(from);
    return session.Fail("the library could not be initialised");
  }
  // An age is at most 100 years, which a 32-bit count of seconds holds.
  const uint32_t delay = static_cast<uint32_t>(call.Number("--delay", 0));
  const bool quiet = call.Has("--quiet");
  const char end = call.Has("-0") ? '\0' : '\n';
  int failed = 0;
  bool stdin_read = false;
  for (const std::string& file : call.args) {
    if (file == "-") {
      // The standard input is read once however often "-" is given.
      if (!stdin_read)
        AddListed(lib, session, stdin, "the standard input", end, delay, quiet, &failed);
      stdin_read = true;
    } else if (!AddOne(lib, session, file, delay, quiet)) {
      ++failed;
    }
  }
  if (call.Has("--from")) {
    if (from != nullptr) {
      AddListed(lib, session, from, from_name.c_str(), end, delay, quiet, &failed);
      std::fclose(from);
    } else if (!stdin_read) {
      AddListed(lib, session, stdin, "the standard input", end, delay, quiet, &failed);
    }
  }
  lib.UnInitialize();
  return failed == 0 ? kExitOk : kExitUnusable;
}

namespace {

struct AdoptProgress {
  const char* folder;
  bool shown = false;
};

void STOWMASTER_CALL ShowAdoptProgress(const StowmasterAdoptResult* so_far, void* context) {
  AdoptProgress& progress = *static_cast<AdoptProgress*>(context);
  progress.shown = true;
  std::fprintf(stderr, "\r%s: %d files found, %d adopted (%s), %d failed   ", progress.folder,
               so_far->found, so_far->adopted, HumanSize(so_far->adopted_bytes).c_str(),
               so_far->failed);
  std::fflush(stderr);
}

}  // namespace

int Adopt(const Invocation& call, Session& session) {
  const uint32_t delay = static_cast<uint32_t>(call.Number("--delay", 0));
  int exit_code = kExitOk;
  StowmasterAdoptResult total;
  std::memset(&total, 0, sizeof(total));
  for (const std::string& folder : call.args) {
    StowmasterAdoptResult r;
    std::memset(&r, 0, sizeof(r));
    r.size = sizeof(r);
    AdoptProgress progress{folder.c_str()};
    StowmasterAdoptProgressFn show = StderrIsTerminal() ? ShowAdoptProgress : nullptr;
    const int32_t rc = session.lib->Adopt(folder.c_str(), delay, &r, show, &progress);
    if (progress.shown) std::fputs("\n", stderr);
    if (rc != STOWMASTER_OK && rc != STOWMASTER_INCOMPLETE) {
      std::fprintf(stderr, "stowmaster: cannot adopt %s: %s\n", folder.c_str(),
                   session.LastError().c_str());
      // A folder outside the cache folders is the caller's mistake.
      if (exit_code == kExitOk || rc == STOWMASTER_BAD_ARGUMENT) {
        exit_code = rc == STOWMASTER_BAD_ARGUMENT ? kExitUsage : kExitUnusable;
      }
      continue;
    }
    std::fprintf(session.out,
                 "%s: %d files found, %d listed already, %d adopted (%s), %d failed\n",
                 folder.c_str(), r.found, r.listed, r.adopted, HumanSize(r.adopted_bytes).c_str(),
                 r.failed);
    total.found += r.found;
    total.listed += r.listed;
    total.adopted += r.adopted;
    total.failed += r.failed;
    total.adopted_bytes += r.adopted_bytes;
    if (r.failed > 0 && exit_code == kExitOk) exit_code = kExitUnusable;
  }
  if (call.args.size() > 1) {
    std::fprintf(session.out, "in all: %d files found, %d listed already, %d adopted (%s), %d failed\n",
                 total.found, total.listed, total.adopted, HumanSize(total.adopted_bytes).c_str(),
                 total.failed);
  }
  if (total.failed > 0) {
    std::fprintf(stderr, "stowmaster: %d files could not be adopted: see %s\n", total.failed,
                 session.settings.log_file);
  }
  return exit_code;
}

namespace {

struct PassProgress {
  bool shown = false;
};

void STOWMASTER_CALL ShowPassProgress(const StowmasterPassResult* so_far, void* context) {
  static_cast<PassProgress*>(context)->shown = true;
  std::fprintf(stderr, "\rdeleted %d files (%s), kept %d; %d remain   ", so_far->deleted_files,
               HumanSize(so_far->deleted_bytes).c_str(), so_far->kept_files,
               so_far->remaining_files);
  std::fflush(stderr);
}

struct DryRunOutput {
  std::FILE* out;
  bool json;
  int64_t now;
  int count = 0;
};

int32_t STOWMASTER_CALL ShowWouldGo(const StowmasterEntry* e, void* context) {
  DryRunOutput& o = *static_cast<DryRunOutput*>(context);
  if (o.json) {
    std::fprintf(o.out, "%s\n    %s", o.count == 0 ? "" : ",", EntryJson(*e, o.now).c_str());
  } else {
    std::fprintf(o.out, "%10s  %-14s  %s\n", HumanSize(e->file_size).c_str(),
                 HumanDuration(o.now - e->registered).c_str(), Printable(e->path).c_str());
  }
  ++o.count;
  return 1;
}

std::string PassResultMembers(const StowmasterPassResult& r) {
  const std::string object = JsonObject()
                                 .Int("deleted_files", r.deleted_files)
                                 .Int("deleted_bytes", r.deleted_bytes)
                                 .Int("kept_files", r.kept_files)
                                 .Int("kept_bytes", r.kept_bytes)
                                 .Int("remaining_files", r.remaining_files)
                                 .Int("remaining_bytes", r.remaining_bytes)
                                 .str();
  return object.substr(1, object.size() - 2);  // the members without the braces
}

// Runs a pass, an emptying or a dry run, and tells what it did.
int RunPass(const Invocation& call, Session& session, bool empty) {
  const StowmasterSettings& s = session.settings;
  const bool dry = call.Has("--dry-run");
  const long long older = call.Number("--older-than", -1);
  if (older >= 0 && older < s.min_age_seconds) {
    PrintUsageError(stderr, call.command,
                    "--older-than " + call.Text("--older-than") + " is below the minimum age of " +
                        HumanDuration(s.min_age_seconds) + " (Delay in " + s.settings_file +
                        "): no file younger than that is deleted");
    return kExitUsage;
  }
  StowmasterPassResult r;
  std::memset(&r, 0, sizeof(r));
  r.size = sizeof(r);
  PassProgress progress;
  StowmasterProgressFn show = !dry && StderrIsTerminal() ? ShowPassProgress : nullptr;
  DryRunOutput listed{session.out, call.json, static_cast<int64_t>(std::time(nullptr))};
  int32_t rc = STOWMASTER_OK;
  if (empty) {
    rc = session.lib->Empty(&r, show, &progress);
  } else if (!dry && older < 0) {
    rc = session.lib->Shrink(&r, show, &progress);
  } else {
    StowmasterShrinkOptions options;
    std::memset(&options, 0, sizeof(options));
    options.size = sizeof(options);
    options.dry_run = dry ? 1 : 0;
    // Older than 0 s is every file: one second is the least the library
    // takes, 0 meaning an ordinary pass.
    options.older_than = older < 0 ? 0 : (older == 0 ? 1 : older);
    options.each = dry ? ShowWouldGo : nullptr;
    options.each_context = &listed;
    if (dry && call.json) {
      std::fprintf(session.out, "{\"schema\": %d, \"dry_run\": true, \"older_than\": %lld, \"entries\": [",
                   kJsonSchema, static_cast<long long>(options.older_than));
    } else if (dry) {
      std::fprintf(session.out, "%10s  %-14s  %s\n", "SIZE", "AGE", "WOULD DELETE");
    }
    rc = session.lib->ShrinkWith(&options, &r, show, &progress);
    if (dry && call.json) {
      std::fprintf(session.out, "%s], %s}\n", listed.count == 0 ? "" : "\n  ",
                   PassResultMembers(r).c_str());
    }
  }
  if (progress.shown) std::fputs("\n", stderr);
  std::fflush(session.out);
  if (rc == STOWMASTER_BAD_ARGUMENT) {
    std::fprintf(stderr, "stowmaster: %s\n", session.LastError().c_str());
    return kExitUsage;
  }
  if (rc != STOWMASTER_OK && rc != STOWMASTER_INCOMPLETE) {
    return session.Fail(empty ? "cannot empty the cache" : "cannot run a pass");
  }
  if (dry) {
    if (!call.json) {
      std::fprintf(session.out, "would delete %d files (%s); %d files (%s) would remain\n",
                   r.deleted_files, HumanSize(r.deleted_bytes).c_str(), r.remaining_files,
                   HumanSize(r.remaining_bytes).c_str());
      if (r.kept_files > 0) {
        std::fprintf(session.out, "%d files (%s) would stay: refused before, in their back-off\n",
                     r.kept_files, HumanSize(r.kept_bytes).c_str());
      }
    }
    return kExitOk;
  }
  std::fprintf(session.out, "deleted %d files (%s); %d files (%s) remain\n", r.deleted_files,
               HumanSize(r.deleted_bytes).c_str(), r.remaining_files,
               HumanSize(r.remaining_bytes).c_str());
  if (r.kept_files > 0) {
    std::fprintf(session.out, "could not delete %d files (%s): see %s\n", r.kept_files,
                 HumanSize(r.kept_bytes).c_str(), s.log_file);
    return kExitKept;
  }
  return kExitOk;
}

}  // namespace

int Shrink(const Invocation& call, Session& session) { return RunPass(call, session, false); }

int Empty(const Invocation& call, Session& session) { return RunPass(call, session, true); }

}  // namespace stow_program
