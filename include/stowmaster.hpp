/*
 * Stowmaster for C++17 and later: a header-only layer over stowmaster.h.
 *
 *   stowmaster::Session session;                 // InitializeStowmaster(0)
 *   if (auto added = session.add(path, std::chrono::seconds(60)); !added)
 *     std::cerr << added.message() << "\n";
 *   if (auto status = stowmaster::status())
 *     std::cout << status->entries << " files\n";
 *   for (const stowmaster::Entry& e : stowmaster::entries())
 *     std::cout << e.path << "\n";
 *
 * Results are values: a Result<T> holds either the value or an error code
 * (std::error_code of stowmaster::category(), the STOWMASTER_* codes) with
 * the library's reason in words (StowmasterLastError). Nothing here
 * throws, but for the allocations of std::string and std::vector, unless
 * the program defines STOWMASTER_HPP_EXCEPTIONS before including this
 * header: Result::value() then throws stowmaster::Error (a
 * std::system_error) for a result without a value. Without it, value() of
 * such a result ends the program (std::abort); test the result first.
 *
 * Link with the library (-lstowmaster); its rules hold as in stowmaster.h.
 */
#ifndef STOWMASTER_HPP_
#define STOWMASTER_HPP_

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "stowmaster.h"

#ifdef STOWMASTER_HPP_EXCEPTIONS
#include <stdexcept>
#endif

namespace stowmaster {

// The STOWMASTER_* codes, and one for a file that was not registered (the
// registration tells no code of its own).
enum class errc : int {
  unusable = STOWMASTER_UNUSABLE,
  bad_argument = STOWMASTER_BAD_ARGUMENT,
  incomplete = STOWMASTER_INCOMPLETE,
  damaged = STOWMASTER_DAMAGED,
  too_small = STOWMASTER_TOO_SMALL,
  changed = STOWMASTER_CHANGED,
  files_differ = STOWMASTER_FILES_DIFFER,
  not_registered = 100,
};

namespace detail {
class Category final : public std::error_category {
 public:
  const char* name() const noexcept override { return "stowmaster"; }
  std::string message(int code) const override {
    switch (static_cast<errc>(code)) {
      case errc::unusable:
        return "the settings, the cache folder or the index cannot be used";
      case errc::bad_argument:
        return "bad argument";
      case errc::incomplete:
        return "some entries could not be deleted";
      case errc::damaged:
        return "the index is damaged";
      case errc::too_small:
        return "the buffer is too small";
      case errc::changed:
        return "the index changed during the walk";
      case errc::files_differ:
        return "the index and the disk disagree";
      case errc::not_registered:
        return "the file was not registered";
    }
    return code == 0 ? "done" : "unknown stowmaster code " + std::to_string(code);
  }
};
}  // namespace detail

// The one category of the library's codes.
inline const std::error_category& category() noexcept {
  static const detail::Category instance;
  return instance;
}

inline std::error_code make_error_code(errc code) noexcept {
  return std::error_code(static_cast<int>(code), category());
}

// The reason for the last failure of a library call on this thread.
inline std::string last_error() {
  char text[4096];
  const uint32_t length = StowmasterLastError(text, sizeof(text));
  return std::string(text, length < sizeof(text) ? length : sizeof(text) - 1);
}

#ifdef STOWMASTER_HPP_EXCEPTIONS
// Thrown by Result::value() for a result that holds an error.
class Error : public std::system_error {
 public:
  Error(std::error_code code, const std::string& reason) : std::system_error(code, reason) {}
};
#endif

namespace detail {
// The error half of a result: a code and the library's reason.
class Failure {
 public:
  Failure() = default;
  Failure(std::error_code code, std::string reason)
      : code_(code), reason_(std::move(reason)) {}
  // The code of a failed call, with the library's reason for it.
  static Failure Of(int32_t rc) { return Failure(std::error_code(rc, category()), last_error()); }
  static Failure Of(errc code) { return Failure(make_error_code(code), last_error()); }

  const std::error_code& error() const noexcept { return code_; }
  // The library's reason, or the code's own text when it gave none.
  std::string message() const { return reason_.empty() ? code_.message() : reason_; }

  [[noreturn]] void Raise() const {
#ifdef STOWMASTER_HPP_EXCEPTIONS
    throw Error(code_, message());
#else
    std::abort();
#endif
  }

 private:
  std::error_code code_;
  std::string reason_;
};
}  // namespace detail

// A value, or the error that took its place.
template <class T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: a value converts
  Result(detail::Failure failure) : failure_(std::move(failure)) {}  // NOLINT

  bool has_value() const noexcept { return !failure_.error(); }
  explicit operator bool() const noexcept { return has_value(); }
  const std::error_code& error() const noexcept { return failure_.error(); }
  std::string message() const { return failure_.message(); }

  // The value: only when has_value() (else see the top of this header).
  T& value() & {
    if (!has_value()) failure_.Raise();
    return value_;
  }
  const T& value() const& {
    if (!has_value()) failure_.Raise();
    return value_;
  }
  T value_or(T other) const { return has_value() ? value_ : std::move(other); }
  const T& operator*() const& noexcept { return value_; }
  T& operator*() & noexcept { return value_; }
  const T* operator->() const noexcept { return &value_; }
  T* operator->() noexcept { return &value_; }

 private:
  T value_{};
  detail::Failure failure_;
};

// Done, or the error why not.
template <>
class Result<void> {
 public:
  Result() = default;
  Result(detail::Failure failure) : failure_(std::move(failure)) {}  // NOLINT

  bool has_value() const noexcept { return !failure_.error(); }
  explicit operator bool() const noexcept { return has_value(); }
  const std::error_code& error() const noexcept { return failure_.error(); }
  std::string message() const { return failure_.message(); }
  void value() const {
    if (!has_value()) failure_.Raise();
  }

 private:
  detail::Failure failure_;
};

// One listed file.
struct Entry {
  int32_t block = 0;  // its block number in the index
  std::string path;   // as registered
  int64_t file_size = 0;
  std::chrono::system_clock::time_point registered;  // its last registration
  std::chrono::seconds delay{0};                     // its own minimum age
  bool evictable = false;  // old enough for a pass to delete it now
};

namespace detail {
template <class T>
T Sized() noexcept {
  static_assert(std::is_trivially_copyable<T>::value, "a C struct of stowmaster.h");
  T value;
  std::memset(&value, 0, sizeof(value));
  value.size = static_cast<uint32_t>(sizeof(value));
  return value;
}

inline std::string TextOf(const char* field, size_t capacity) {
  const void* end = std::memchr(field, '\0', capacity);
  return std::string(field, end ? static_cast<const char*>(end) - field : capacity);
}
}  // namespace detail

// The settings in effect (StowmasterGetSettings).
inline Result<StowmasterSettings> settings() {
  StowmasterSettings s = detail::Sized<StowmasterSettings>();
  const int32_t rc = StowmasterGetSettings(&s);
  if (rc != STOWMASTER_OK) return detail::Failure::Of(rc);
  return s;
}

// The index as it is now (StowmasterGetStatus).
inline Result<StowmasterStatus> status() {
  StowmasterStatus s = detail::Sized<StowmasterStatus>();
  const int32_t rc = StowmasterGetStatus(&s);
  if (rc != STOWMASTER_OK) return detail::Failure::Of(rc);
  return s;
}

// The cache's counters, cumulative since the index was made
// (StowmasterGetCounters).
inline Result<StowmasterCounters> counters() {
  StowmasterCounters c = detail::Sized<StowmasterCounters>();
  const int32_t rc = StowmasterGetCounters(&c);
  if (rc != STOWMASTER_OK) return detail::Failure::Of(rc);
  return c;
}

// Sets every counter to zero and notes when (StowmasterZeroCounters).
inline Result<void> zero_counters() {
  const int32_t rc = StowmasterZeroCounters();
  if (rc != STOWMASTER_OK) return detail::Failure::Of(rc);
  return {};
}

// The listed files, the most recently registered first: an input range
// usable in range-for.
//
// Cost: one walk of the list (StowmasterListEntries) when the range is
// made, which the library makes in batches under its lock, the range
// copying every entry into a vector (room for a first batch of 512, then
// doubling). Time and memory grow with the list, about 100 bytes and the
// path per entry (a full index of 100,000 entries: some tens of MB);
// `limit` bounds both.
// A walk per batch instead would start at the head of the list each time,
// since the walk has no place to resume from, costing time that grows
// with the square of the list, and would repeat or miss entries whenever
// a registration moved the list between two walks.
//
// A walk that stopped early (another process changed the list between two
// of the library's batches: errc::changed; a damaged list: errc::damaged)
// keeps what it reported: the range holds those entries and error() says
// why it ended.
class Entries {
 public:
  static constexpr size_t kBatch = 512;
  using value_type = Entry;
  using const_iterator = std::vector<Entry>::const_iterator;

  explicit Entries(int32_t limit = 0) {
    if (limit < 0) {
      failure_ = detail::Failure(make_error_code(errc::bad_argument), "a negative limit");
      return;
    }
    Walk walk{&entries_, false};
    const int32_t rc = StowmasterListEntries(limit, &Entries::Take, &walk);
    if (walk.out_of_memory) {
      failure_ = detail::Failure(make_error_code(errc::too_small), "out of memory for the list");
    } else if (rc != STOWMASTER_OK) {
      failure_ = detail::Failure::Of(rc);
    }
  }

  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }
  size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

  // Whether the walk went to the end (or the limit), and why not.
  bool complete() const noexcept { return !failure_.error(); }
  const std::error_code& error() const noexcept { return failure_.error(); }
  std::string message() const { return failure_.message(); }

 private:
  struct Walk {
    std::vector<Entry>* out;
    bool out_of_memory;
  };

  static int32_t STOWMASTER_CALL Take(const StowmasterEntry* e, void* context) noexcept {
    Walk& walk = *static_cast<Walk*>(context);
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS) || defined(_CPPUNWIND)
    try {
#endif
      if (walk.out->capacity() == 0) walk.out->reserve(kBatch);
      Entry entry;
      entry.block = e->block;
      entry.path = detail::TextOf(e->path, sizeof(e->path));
      entry.file_size = e->file_size;
      entry.registered = std::chrono::system_clock::time_point(
          std::chrono::duration_cast<std::chrono::system_clock::duration>(
              std::chrono::seconds(e->registered)));
      entry.delay = std::chrono::seconds(e->delay);
      entry.evictable = e->evictable != 0;
      walk.out->push_back(std::move(entry));
      return 1;
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS) || defined(_CPPUNWIND)
    } catch (...) {  // nothing thrown may cross the library's C frames
      walk.out_of_memory = true;
      return 0;
    }
#endif
  }

  std::vector<Entry> entries_;
  detail::Failure failure_;
};

// The listed files, at most `limit` (0: all); see Entries.
inline Entries entries(int32_t limit = 0) { return Entries(limit); }

// The library initialised for registering files, as a client program uses
// it: InitializeStowmaster when made, UnInitializeStowmaster when it ends
// (once for every initialisation, whatever it returned). Movable, not
// copyable.
class Session {
 public:
  explicit Session(bool threaded = false) noexcept
      : active_(true), ready_(InitializeStowmaster(threaded ? 1 : 0) == 1) {
    if (!ready_) failure_ = detail::Failure::Of(errc::unusable);
  }
  ~Session() { close(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  Session(Session&& other) noexcept
      : active_(std::exchange(other.active_, false)),
        ready_(std::exchange(other.ready_, false)),
        failure_(std::move(other.failure_)) {}
  Session& operator=(Session&& other) noexcept {
    if (this != &other) {
      close();
      active_ = std::exchange(other.active_, false);
      ready_ = std::exchange(other.ready_, false);
      failure_ = std::move(other.failure_);
    }
    return *this;
  }

  // Whether the library initialised, and why not.
  bool ready() const noexcept { return ready_; }
  explicit operator bool() const noexcept { return ready_; }
  const std::error_code& error() const noexcept { return failure_.error(); }
  std::string message() const { return failure_.message(); }

  // Registers (or refreshes) a cached file, kept at least `delay`.
  Result<void> add(std::string_view path, std::chrono::seconds delay = std::chrono::seconds(0)) {
    if (!ready_) {
      return detail::Failure(make_error_code(errc::unusable), "the session is not ready");
    }
    if (delay.count() < 0 || delay.count() > static_cast<std::chrono::seconds::rep>(UINT32_MAX)) {
      return detail::Failure(make_error_code(errc::bad_argument), "delay out of range");
    }
    if (path.find('\0') != std::string_view::npos) {
      return detail::Failure(make_error_code(errc::bad_argument), "a path holds a NUL byte");
    }
    const std::string terminated(path);
    if (AddFileToStowmasterA(terminated.c_str(), static_cast<uint32_t>(delay.count())) != 1) {
      return detail::Failure::Of(errc::not_registered);
    }
    return {};
  }

  // Ends the session now (the destructor does it otherwise).
  void close() noexcept {
    if (active_) {
      active_ = false;
      ready_ = false;
      UnInitializeStowmaster();
    }
  }

 private:
  bool active_ = false;
  bool ready_ = false;
  detail::Failure failure_;
};

// Makes `path` the settings file of this process; before the first
// Session only (StowmasterUseSettingsFile).
inline Result<void> use_settings_file(const std::string& path) {
  const int32_t rc = StowmasterUseSettingsFile(path.c_str());
  if (rc != STOWMASTER_OK) return detail::Failure::Of(rc);
  return Result<void>();
}

namespace detail {
struct SettingItems {
  std::vector<StowmasterSettingItem>* out;
  bool out_of_memory;
};

inline int32_t STOWMASTER_CALL TakeSettingItem(const StowmasterSettingItem* item,
                                               void* context) noexcept {
  SettingItems& items = *static_cast<SettingItems*>(context);
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS) || defined(_CPPUNWIND)
  try {
#endif
    StowmasterSettingItem copy = Sized<StowmasterSettingItem>();
    std::memcpy(&copy, item, item->size < sizeof(copy) ? item->size : sizeof(copy));
    items.out->push_back(copy);
    return 1;
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS) || defined(_CPPUNWIND)
  } catch (...) {  // nothing thrown may cross the library's C frames
    items.out_of_memory = true;
    return 0;
  }
#endif
}
}  // namespace detail

// Each setting with its value and where it comes from, then each problem
// found in the settings (StowmasterListSettings): the items' `kind` tells
// them apart.
inline Result<std::vector<StowmasterSettingItem>> settings_report() {
  std::vector<StowmasterSettingItem> items;
  detail::SettingItems take{&items, false};
  const int32_t rc = StowmasterListSettings(&detail::TakeSettingItem, &take);
  if (take.out_of_memory) {
    return detail::Failure(make_error_code(errc::too_small), "out of memory for the settings");
  }
  if (rc != STOWMASTER_OK) return detail::Failure::Of(rc);
  return items;
}

}  // namespace stowmaster

namespace std {
template <>
struct is_error_code_enum<stowmaster::errc> : true_type {};
}  // namespace std

#endif  // STOWMASTER_HPP_
