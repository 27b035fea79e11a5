// What lets an eviction pass skip work it would do for nothing: a note per
// block (a change stamp, and a refusal remembered with its back-off), and
// bounds over the whole valid list that tell when no entry can be deleted.
//
// The bounds hold no process's settings: each process applies its own
// minimum age and its own identity to them. They are lower bounds of what a
// full walk would find, taken at one time; every registration lowers them,
// and anything that could make them too high (a list rebuild, an undo, a
// clock step backwards, a change by a process that does not keep them)
// makes them invalid, so that the next pass walks the list again. Any local
// user can write them: every sum or difference on them saturates, a pass
// takes them only when the entry it would look at first bears them out, and
// the check walks the list against them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

#include "index/eviction_rule.h"
#include "index/layout.h"

namespace stow {

// Sums and differences of values read from the companion file, which any
// local user can write: they stop at the ends of the range instead of
// overflowing.
inline int64_t SatAdd(int64_t a, int64_t b) {
  if (b > 0 && a > std::numeric_limits<int64_t>::max() - b) {
    return std::numeric_limits<int64_t>::max();
  }
  if (b < 0 && a < std::numeric_limits<int64_t>::min() - b) {
    return std::numeric_limits<int64_t>::min();
  }
  return a + b;
}
inline int64_t SatSub(int64_t a, int64_t b) {
  if (b < 0 && a > std::numeric_limits<int64_t>::max() + b) {
    return std::numeric_limits<int64_t>::max();
  }
  if (b > 0 && a < std::numeric_limits<int64_t>::min() + b) {
    return std::numeric_limits<int64_t>::min();
  }
  return a - b;
}

// One per block, beside the lookup table.
struct BlockNote {
  uint32_t Stamp;         // the change count at its last link or unlink
  uint32_t RefusedBy;     // identity refused the file's deletion; 0: none
  int32_t RefusedAccess;  // the entry's AccessTime then: a re-registration voids the note
  int32_t RetryAt;        // that identity does not try again before this time
  uint32_t Backoff;       // seconds from the refusal to RetryAt
};
static_assert(sizeof(BlockNote) == 20, "block note size");

// A refused deletion is tried again after one minute, then after twice the
// time of the step before, up to an hour.
constexpr uint32_t kFirstBackoff = 60;
constexpr uint32_t kMaxBackoff = 3600;

// Seconds until `identity` may try the refused file of block `b` again: 0
// when it may now (no refusal of its own, the entry registered again
// since, or the back-off over). A note that promises more than the longest
// back-off was not written by a pass, and is ignored.
inline int64_t RetryWait(const BlockNote& note, const ImageFileBlock& b, uint32_t identity,
                         int64_t now) {
  if (identity == 0 || note.RefusedBy != identity || note.RefusedAccess != b.AccessTime) return 0;
  const int64_t wait =
      static_cast<int32_t>(static_cast<uint32_t>(note.RetryAt) - static_cast<uint32_t>(now));
  return wait > 0 && wait <= kMaxBackoff ? wait : 0;
}

// The note of a refusal by `identity` of block `b`'s file at `now`: the
// back-off doubles while the same identity keeps being refused the same
// registration.
inline BlockNote RefusalNote(const BlockNote& before, const ImageFileBlock& b, uint32_t identity,
                             int64_t now) {
  BlockNote note = before;
  const bool again = before.RefusedBy == identity && before.RefusedAccess == b.AccessTime &&
                     before.Backoff >= kFirstBackoff && before.Backoff <= kMaxBackoff;
  note.RefusedBy = identity;
  note.RefusedAccess = b.AccessTime;
  note.Backoff = again ? std::min(before.Backoff * 2, kMaxBackoff) : kFirstBackoff;
  note.RetryAt = static_cast<int32_t>(static_cast<uint32_t>(now) + note.Backoff);
  return note;
}

// What a pass of `identity` does at `now` with the entry of block `b`
// (`note`: its note, null when there is none): passes it over as too young,
// counts it as refused without trying (`*wait` seconds are left of its
// back-off), or tries to delete it. The one rule for the pass and for what
// reports on it.
enum class PassAction { kYoung, kRefused, kTry };
inline PassAction ActionFor(const ImageFileBlock& b, const BlockNote* note,
                            const CacheSettings& settings, uint32_t identity, int64_t now,
                            int64_t* wait) {
  *wait = 0;
  if (!OldEnough(b, settings, now)) return PassAction::kYoung;
  if (note != nullptr) *wait = RetryWait(*note, b, identity, now);
  return *wait > 0 ? PassAction::kRefused : PassAction::kTry;
}

// What a pass of `identity` at `now` does with each entry, from the least
// recently registered on, if every deletion it tries succeeds: the one
// reckoning for the dry run and for the status's evictable figures.
// `in_use` is the bytes in use when the pass starts; `older_than` > 0 asks
// for the pass that deletes by age alone, whatever the marks, and tries
// refused entries again at once.
class PassForecast {
 public:
  enum class Step {
    kDelete,  // tried, and (as assumed) deleted
    kKeep,    // refused within its back-off: counted as kept, not tried
    kPass,    // too young: passed over
    kStop,    // the pass has reached its goal (or never starts): it ends here
  };
  PassForecast(const CacheSettings& settings, uint32_t identity, int64_t now, int64_t in_use,
               int64_t older_than)
      : settings_(settings),
        marks_(settings),
        identity_(identity),
        now_(now),
        in_use_(in_use),
        older_than_(older_than),
        starts_(older_than > 0 || marks_.Starts(in_use)) {}

  Step Next(const ImageFileBlock& b, const BlockNote* note) {
    if (older_than_ > 0) {
      return OlderThanDue(b, settings_, older_than_, now_) ? Deleted(b) : Step::kPass;
    }
    if (!starts_ || marks_.Done(in_use_)) return Step::kStop;
    int64_t wait = 0;
    switch (ActionFor(b, note, settings_, identity_, now_, &wait)) {
      case PassAction::kYoung:
        return Step::kPass;
      case PassAction::kRefused:
        return Step::kKeep;
      case PassAction::kTry:
        break;
    }
    return Deleted(b);
  }

 private:
  Step Deleted(const ImageFileBlock& b) {
    in_use_ -= b.FileSize;
    return Step::kDelete;
  }

  const CacheSettings settings_;
  const PassMarks marks_;
  const uint32_t identity_;
  const int64_t now_;
  int64_t in_use_;
  const int64_t older_than_;
  const bool starts_;
};

// True when a refusal of anyone's still holds for the entry of block `b`.
inline bool RefusalHolds(const BlockNote& note, const ImageFileBlock& b, int64_t now) {
  return RetryWait(note, b, note.RefusedBy, now) > 0;
}

constexpr uint32_t kBoundsValid = 0x42444E31;  // "BDN1"
constexpr uint32_t kMixedRefusers = 0xFFFFFFFFu;
constexpr int64_t kNoAge = -(int64_t{1} << 40);  // the greatest age of no entry
constexpr int64_t kFar = int64_t{1} << 40;       // a wait no entry has
// Ages at or past this wrap around in 32-bit time: the bounds stop there.
constexpr int64_t kAgeWrap = int64_t{1} << 31;

struct PassBounds {
  uint32_t Valid;    // kBoundsValid when they may be used
  uint32_t Refuser;  // the identity of every refusal counted; 0 none, or kMixedRefusers
  int64_t Time;      // the time the ages below are taken at
  int64_t ForDelay;  // the minimum age MinWait is computed for
  struct Set {
    int64_t MaxAge;      // the greatest age, kNoAge for no entry
    int64_t MinDue;      // the least (own Delay - age): until an entry's own minimum age is met
    int64_t MinWait;     // the least (max(ForDelay, own Delay) - age), kFar for no entry
  } All, Unrefused;      // every entry; the entries without a refusal that holds
  int64_t MinRetry;      // the earliest retry of a refused entry, kFar for none
  int32_t RefusedCount;  // entries whose refusal held at the walk, and their bytes
  int32_t Pad;
  int64_t RefusedBytes;
  int64_t MaxAgeAny;  // the greatest age of any entry, even one never old enough
};
static_assert(sizeof(PassBounds) == 104, "pass bounds size");

// True when the bounds prove that a pass at `now` of a process with minimum
// age `min_age` and refusal identity `identity` deletes nothing: every
// entry is too young for it or refused to it within its back-off. `tail`,
// the least recently registered entry (null for none), must not be older
// than the bounds allow: an index put back from a copy, or changed by hand,
// may otherwise keep a table that matches its header.
inline bool NothingToDelete(const PassBounds& p, int64_t now, int64_t min_age, uint32_t identity,
                            const ImageFileBlock* tail) {
  if (p.Valid != kBoundsValid) return false;
  const int64_t elapsed = SatSub(now, p.Time);
  if (elapsed < 0 || elapsed >= (int64_t{1} << 30)) return false;
  if (tail != nullptr && EntryAge(*tail, now) > SatAdd(p.MaxAgeAny, elapsed)) return false;
  // A refusal holds only for the identity that was refused.
  const bool mine = p.Refuser == 0 || (identity != 0 && p.Refuser == identity);
  const PassBounds::Set& s = mine ? p.Unrefused : p.All;
  const int64_t max_age = SatAdd(s.MaxAge, elapsed);
  if (max_age >= kAgeWrap) return false;
  const bool young =
      min_age == p.ForDelay ? s.MinWait > elapsed : max_age < min_age || s.MinDue > elapsed;
  if (!young) return false;
  return !mine || p.Refuser == 0 || now < p.MinRetry;
}

// The one rule by which a pass of `identity` at `now` towards the low mark
// is skipped without a walk, for the pass and for what forecasts it (the
// dry run, the status): the bounds prove that it deletes nothing, and the
// least recently registered entry `tail` (null for none; `tail_note`: its
// note, or null), which a walk would look at first, does not belie them.
// Bounds that claim less than the tail shows (written by hand, or by
// another program) are not taken.
inline bool PassSkipped(const PassBounds& p, const CacheSettings& settings, uint32_t identity,
                        int64_t now, const ImageFileBlock* tail, const BlockNote* tail_note) {
  if (!NothingToDelete(p, now, settings.Delay, identity, tail)) return false;
  int64_t wait = 0;
  return tail == nullptr ||
         ActionFor(*tail, tail_note, settings, identity, now, &wait) != PassAction::kTry;
}

// What a pass skipped by PassSkipped keeps: the entries refused to
// `identity` within their back-off, as the walk that wrote the bounds
// counted them (none when the refusals are another's). Read from the
// companion file: clamped to what the index can hold.
inline void KeptBySkip(const PassBounds& p, uint32_t identity, int32_t* files, int64_t* bytes) {
  const bool mine = identity != 0 && p.Refuser == identity;
  *files = mine ? std::min(std::max(p.RefusedCount, int32_t{0}), kBlockCount) : 0;
  *bytes = mine && *files > 0 ? std::max(p.RefusedBytes, int64_t{0}) : 0;
}

// Bounds from one walk of the whole valid list: every entry the walk leaves
// listed is added, each at the time the walk looked at it.
class BoundsBuilder {
 public:
  BoundsBuilder(int64_t min_age, int64_t start) {
    p_.Valid = kBoundsValid;
    p_.Refuser = 0;
    p_.Time = start;
    p_.ForDelay = min_age;
    p_.All = p_.Unrefused = PassBounds::Set{kNoAge, kFar, kFar};
    p_.MinRetry = kFar;
    p_.RefusedCount = 0;
    p_.Pad = 0;
    p_.RefusedBytes = 0;
    p_.MaxAgeAny = kNoAge;
  }

  // An entry kept at `now`; `retry_wait` > 0 when a refusal by `identity`
  // holds for it that long.
  void Add(const ImageFileBlock& b, int64_t now, uint32_t identity, int64_t retry_wait) {
    if (now < p_.Time) ok_ = false;  // the clock stepped back during the walk
    const int64_t age = EntryAge(b, now) - (now - p_.Time);
    p_.MaxAgeAny = std::max(p_.MaxAgeAny, age);
    // Never old enough: an own minimum age past every 32-bit age.
    if (b.Delay >= kAgeWrap) return;
    if (retry_wait > 0) {
      p_.Refuser = p_.Refuser == 0 || p_.Refuser == identity ? identity : kMixedRefusers;
      p_.MinRetry = std::min(p_.MinRetry, now + retry_wait);
      p_.RefusedCount += 1;
      p_.RefusedBytes += b.FileSize;
    } else {
      Lower(&p_.Unrefused, age, b.Delay, p_.ForDelay);
    }
    Lower(&p_.All, age, b.Delay, p_.ForDelay);
  }

  // The bounds, or invalid ones when the walk could not take them.
  PassBounds Finish() {
    if (!ok_) p_.Valid = 0;
    return p_;
  }

  // Lowers the bounds of one set for an entry of age `age` at p.Time.
  static void Lower(PassBounds::Set* s, int64_t age, int64_t own_delay, int64_t for_delay) {
    const int64_t delay = std::max<int64_t>(own_delay, -kAgeWrap);
    s->MaxAge = std::max(s->MaxAge, age);
    s->MinDue = std::min(s->MinDue, SatSub(delay, age));
    s->MinWait = std::min(s->MinWait, SatSub(std::max(for_delay, delay), age));
  }

 private:
  PassBounds p_;
  bool ok_ = true;
};

// What one walk of the whole valid list bears out of stored bounds `p`, for
// the check: every listed entry is added (`note`: its note, or null), each
// at the time the bounds were taken. Bounds a pass took and registrations
// lowered claim no more than the entries show; bounds that do were not
// written by a pass, and would let passes skip entries a walk deletes.
class BoundsProof {
 public:
  explicit BoundsProof(const PassBounds& p) : p_(p) {}

  void Add(const ImageFileBlock& b, const BlockNote* note) {
    const int64_t age = EntryAge(b, p_.Time);
    max_any_ = std::max(max_any_, age);
    if (b.Delay >= kAgeWrap) return;
    BoundsBuilder::Lower(&all_, age, b.Delay, p_.ForDelay);
    // Left out of the entries without a refusal: any that a refusal names,
    // whether it held at the walk or came later.
    const bool refused =
        note != nullptr && note->RefusedBy != 0 && note->RefusedAccess == b.AccessTime;
    if (!refused) BoundsBuilder::Lower(&unrefused_, age, b.Delay, p_.ForDelay);
  }

  // What the walk belies, or null when the bounds are invalid or hold.
  const char* Contradiction() const {
    if (p_.Valid != kBoundsValid) return nullptr;
    if (max_any_ > p_.MaxAgeAny) return "the pass bounds claim no entry older than one listed";
    if (Beyond(all_, p_.All) || Beyond(unrefused_, p_.Unrefused)) {
      return "the pass bounds claim entries younger than the listed ones";
    }
    return nullptr;
  }

 private:
  static bool Beyond(const PassBounds::Set& walk, const PassBounds::Set& claim) {
    return walk.MaxAge > claim.MaxAge || walk.MinDue < claim.MinDue || walk.MinWait < claim.MinWait;
  }

  const PassBounds p_;
  PassBounds::Set all_{kNoAge, kFar, kFar};
  PassBounds::Set unrefused_{kNoAge, kFar, kFar};
  int64_t max_any_ = kNoAge;
};

// The bounds after a registration at `now` of an entry whose own minimum
// age is `own_delay`: it is of age 0 and holds no refusal.
inline PassBounds LoweredBounds(PassBounds p, int64_t now, int64_t own_delay) {
  if (p.Valid != kBoundsValid) return p;
  const int64_t elapsed = SatSub(now, p.Time);
  if (elapsed < 0 || elapsed >= (int64_t{1} << 30)) {
    p.Valid = 0;  // a clock step backwards, or bounds too old to widen
    return p;
  }
  p.MaxAgeAny = std::max(p.MaxAgeAny, -elapsed);
  if (own_delay >= kAgeWrap) return p;
  BoundsBuilder::Lower(&p.All, -elapsed, own_delay, p.ForDelay);
  BoundsBuilder::Lower(&p.Unrefused, -elapsed, own_delay, p.ForDelay);
  return p;
}

}  // namespace stow
