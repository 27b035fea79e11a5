// The intent record: the undo journal of the one list operation in
// progress, kept in the index header's reserved area (see IntentKind).
//
// An operation is recorded before it changes anything: Save every word it
// will store to, Begin, make the stores through Set, and the record is
// cleared when the IntentChange ends. The stores of a process that dies
// reach the shared file in the order the program made them; the fences
// keep the compiler from moving a store across the points that make the
// record valid and invalid. The next holder of the lock that finds the
// record set after a death writes the saved words back (UndoIntent), so
// that the lists end exactly as before the operation.
#pragma once

#include <atomic>
#include <cstdint>

#include "index/layout.h"
#include "stow_hooks.h"

namespace stow {

class IntentChange {
 public:
  // `header` is the start of the mapped index file.
  IntentChange(IndexFileHeader& header, uint32_t kind, int32_t block);
  ~IntentChange();
  IntentChange(const IntentChange&) = delete;
  IntentChange& operator=(const IntentChange&) = delete;

  template <typename T>
  void Save(const T* field) {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8, "a saved word is 4 or 8 bytes");
    const uint32_t n = header_.IntentCount;
    if (n >= sizeof(header_.IntentEntries) / sizeof(header_.IntentEntries[0])) return;
    auto& entry = header_.IntentEntries[n];
    entry.Offset = static_cast<uint32_t>(reinterpret_cast<const uint8_t*>(field) -
                                         reinterpret_cast<const uint8_t*>(&header_));
    entry.Width = sizeof(T);
    entry.Value = static_cast<int64_t>(*field);
    header_.IntentCount = n + 1;
  }

  void Begin() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    header_.IntentKind = kind_;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    hooks::CrashPoint();
  }

  template <typename T>
  void Set(T& field, T value) {
    field = value;
    hooks::CrashPoint();
  }

 private:
  IndexFileHeader& header_;
  uint32_t kind_;
};

// Writes back the words the record saved, newest first, skipping any entry
// that names a word no list operation changes. `header` is the start of the
// mapped index file.
void UndoIntent(IndexFileHeader& header);

// Leaves the record at rest: no operation, no entries.
void ClearIntent(IndexFileHeader& header);

}  // namespace stow
