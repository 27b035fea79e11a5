// The handlers of the stowmaster program's commands, and what they share.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "stowmaster.h"
#include "command_table.h"
#include "dynamic_library.h"

namespace stow_program {

constexpr int kExitOk = 0;
constexpr int kExitUnusable = 1;  // the library, its settings or the cache cannot be used
constexpr int kExitUsage = 2;
constexpr int kExitKept = 3;     // some entries could not be deleted
constexpr int kExitDamaged = 4;  // the check or a walk of the list found damage
constexpr int kExitDiffer = 5;   // the index and the disk disagree

using Library = stow_tools::StowmasterLibrary;

// What a command runs with.
struct Session {
  const std::vector<CommandSpec>* table = nullptr;
  Library* lib = nullptr;  // loaded and bound, for a command that needs it
  StowmasterSettings settings = {};
  bool settings_read = false;  // false: StowmasterGetSettings failed (config only)
  // Each setting, then each problem found in the settings, as the library
  // judged them (StowmasterListSettings).
  std::vector<StowmasterSettingItem> setting_items;
  // The program's own standard output: what else in the process writes to
  // the standard output (the library's log echo) goes to the standard error.
  std::FILE* out = stdout;

  // The library's last error in words.
  std::string LastError() const;
  // "stowmaster: WHAT: REASON" on the standard error; kExitUnusable.
  int Fail(const char* what) const;
};

int Status(const Invocation& call, Session& session);
int Config(const Invocation& call, Session& session);
int List(const Invocation& call, Session& session);
int Usage(const Invocation& call, Session& session);
int Metrics(const Invocation& call, Session& session);
int Check(const Invocation& call, Session& session);
int Dump(const Invocation& call, Session& session);
int Add(const Invocation& call, Session& session);
int Adopt(const Invocation& call, Session& session);
int Shrink(const Invocation& call, Session& session);
int Empty(const Invocation& call, Session& session);
int Stats(const Invocation& call, Session& session);

// The problems among the settings items as a JSON array.
std::string SettingsProblemsJson(const std::vector<StowmasterSettingItem>& items);

// One listed entry as a JSON object, its age taken at `now`: the same for
// the list and for what a dry run would delete.
std::string EntryJson(const StowmasterEntry& e, int64_t now);

// The path of a listed file seen as a series of folder names: whether
// `path` lies below the folder `folder` (both as spelt, compared as the
// system compares names: on Windows '/' and '\\' alike, ASCII letters
// without case).
bool SpeltUnder(const std::string& path, const std::string& folder);

}  // namespace stow_program
