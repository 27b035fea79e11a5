// The logic behind the exported functions for watching and operating a
// cache (StowmasterGetStatus and the rest). Each returns a STOWMASTER_*
// code; failures throw out of here and the entry points turn them into
// codes (see extension.cc).
#pragma once

#include <cstdint>
#include <string>

#include "stowmaster.h"

namespace stow {
namespace api {

int32_t GetSettings(StowmasterSettings* out);
int32_t GetStatus(StowmasterStatus* out);
int32_t ListEntries(int32_t limit, StowmasterEntryFn fn, void* context);
int32_t Check(int32_t repair, StowmasterCheckReport* out);
int32_t RunPass(bool empty, StowmasterPassResult* out, StowmasterProgressFn progress,
                void* context);
int32_t Dump(const char* path, char* buffer, uint64_t buffer_size, uint64_t* length);
int32_t ShrinkWith(const StowmasterShrinkOptions* options, StowmasterPassResult* out,
                   StowmasterProgressFn progress, void* context);
// The disk as a second witness (disk_witness.cc).
int32_t CheckFiles(int32_t repair, StowmasterFilesReport* out, StowmasterFileProblemFn fn,
                   void* context);
int32_t Adopt(const char* folder, uint32_t delay, StowmasterAdoptResult* out,
              StowmasterAdoptProgressFn progress, void* context);
int32_t GetDiskUsage(StowmasterDiskUsage* out);
int32_t ListSettings(StowmasterSettingFn fn, void* context);
// The counters (see Counter).
int32_t GetCounters(StowmasterCounters* out);
int32_t ZeroCounters();

// Records `what: why` as the calling thread's last failure and writes it
// to the log; gives STOWMASTER_UNUSABLE.
int32_t Failed(const std::string& what, const std::string& why);

// Removal calls per batch of a pass or emptying.
constexpr int32_t kPassBatch = 100;
// Entries copied per lock of a walk.
constexpr int32_t kWalkBatch = 512;
// Entries looked at per lock of a dry run (most are only looked at).
constexpr int32_t kForecastBatch = 1024;

}  // namespace api
}  // namespace stow
