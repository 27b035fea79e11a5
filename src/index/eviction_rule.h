// The rules of the eviction pass, in one place for the pass itself and for
// what reports on it (the status of the extension API).
#pragma once

#include <cstdint>

#include "config/settings.h"
#include "index/layout.h"

namespace stow {

// A pass starts above the high mark and deletes until the bytes in use fall
// below the low mark; the marks lie Precision percent around the limit.
inline double HighMark(const CacheSettings& s) {
  return ((static_cast<double>(s.Precision) + 100.0) * static_cast<double>(s.CacheSize)) * 0.01;
}
inline double LowMark(const CacheSettings& s) {
  return ((100.0 - static_cast<double>(s.Precision)) * static_cast<double>(s.CacheSize)) * 0.01;
}

// The stopping rule of a pass towards the low mark, for the pass and for
// the status that tells what a pass would do.
struct PassMarks {
  explicit PassMarks(const CacheSettings& s) : high(HighMark(s)), low(LowMark(s)) {}
  // A pass starts only when the bytes in use are above the high mark...
  bool Starts(int64_t in_use) const { return static_cast<double>(in_use) > high; }
  // ...and stops once they are below the low mark.
  bool Done(int64_t in_use) const { return low > static_cast<double>(in_use); }
  double high;
  double low;
};

// An entry's age at `now`: a difference of 32-bit times, as the index
// stores them.
inline int64_t EntryAge(const ImageFileBlock& b, int64_t now) {
  return static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(b.AccessTime));
}

// Old enough for a pass to delete: at least the cache's minimum age and the
// entry's own.
inline bool OldEnough(const ImageFileBlock& b, const CacheSettings& s, int64_t now) {
  const int64_t age = EntryAge(b, now);
  return age >= s.Delay && age >= b.Delay;
}

// For a pass that deletes by age alone ("older than"): registered at least
// `older_than` seconds ago, and old enough for any pass.
inline bool OlderThanDue(const ImageFileBlock& b, const CacheSettings& s, int64_t older_than,
                         int64_t now) {
  return EntryAge(b, now) >= older_than && OldEnough(b, s, now);
}

}  // namespace stow
