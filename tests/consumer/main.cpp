// A C++ program built against an installed Stowmaster through its C++
// header, stowmaster.hpp: it creates the file it is given, registers it in
// a session, reads the status and finds the file in the walk of the list.
// Built with -std=c++17 and -std=c++20; with STOWMASTER_HPP_EXCEPTIONS
// defined it also checks that value() throws for a failed result.
//
//   consumer_cxx FILE
//
// Exit status: 0 when every step worked, 1 when one failed, 2 bad usage.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>

#include "stowmaster.hpp"

namespace {

int failures = 0;

void Expect(bool ok, const std::string& what) {
  if (!ok) {
    std::printf("\nFAILED: %s\n", what.c_str());
    ++failures;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  const std::string file = argv[1];
  const char* library = StowmasterVersion();
  std::printf("\nheaders %s (%d.%d.%d) library %s\n", STOWMASTER_VERSION_STRING,
              STOWMASTER_VERSION_MAJOR, STOWMASTER_VERSION_MINOR, STOWMASTER_VERSION_PATCH,
              library ? library : "(none)");
  {
    std::ofstream out(file, std::ios::binary);
    for (int i = 0; i < 100; ++i) out << "a cached file\n";  // 1400 bytes
    Expect(static_cast<bool>(out), "cannot write " + file);
  }

  {
    stowmaster::Session first;
    Expect(first.ready(), "the session is not ready: " + first.message());
    // A session moved on still ends once, by its new owner.
    stowmaster::Session session = std::move(first);
    Expect(session.ready() && !first.ready(), "the moved session");
    const stowmaster::Result<void> added = session.add(file, std::chrono::seconds(42));
    Expect(static_cast<bool>(added), "add: " + added.message());
    std::printf("\nadded %s: %s\n", file.c_str(), added ? "yes" : added.message().c_str());

    const std::string missing = file + ".missing";
    const stowmaster::Result<void> not_added = session.add(missing);
    Expect(not_added.error() == stowmaster::errc::not_registered,
           "a missing file: " + not_added.error().message());
    Expect(not_added.message().find(missing) != std::string::npos,
           "the reason names the file: " + not_added.message());
    Expect(session.add(std::string_view("x\0y", 3)).error() == stowmaster::errc::bad_argument,
           "a path with a NUL");
  }

  const auto status = stowmaster::status();
  Expect(static_cast<bool>(status), "status: " + status.message());
  if (status) {
    std::printf("\nstatus: %d entries, %lld bytes\n", status->entries,
                static_cast<long long>(status->bytes_in_use));
    Expect(status->index_present == 1 && status->entries >= 1, "the status lists no file");
  }

  // The registration and the refusal above are counted; zeroed, none is.
  const auto counted = stowmaster::counters();
  Expect(counted && counted->available == 1 &&
             counted->registrations_new + counted->registrations_refreshed >= 1 &&
             counted->registrations_refused >= 1,
         "counters: " + counted.message());
  Expect(static_cast<bool>(stowmaster::zero_counters()), "zero_counters");
  const auto zeroed = stowmaster::counters();
  Expect(zeroed && zeroed->registrations_new == 0 && zeroed->registrations_refused == 0 &&
             zeroed->last_reset != 0,
         "counters after zero_counters: " + zeroed.message());

  int seen = 0;
  const stowmaster::Entries listed = stowmaster::entries();
  for (const stowmaster::Entry& entry : listed) {
    if (entry.path != file) continue;
    ++seen;
    Expect(entry.file_size == 1400, "its size: " + std::to_string(entry.file_size));
    Expect(entry.delay == std::chrono::seconds(42), "its delay");
    Expect(entry.registered.time_since_epoch().count() > 0, "its registration");
  }
  Expect(listed.complete(), "the walk: " + listed.message());
  Expect(seen == 1, "the file is listed " + std::to_string(seen) + " times");
  Expect(stowmaster::entries(1).size() == 1, "a walk of one");
  const stowmaster::Entries negative(-1);
  Expect(negative.error() == stowmaster::errc::bad_argument && negative.empty(), "limit -1");

#ifdef STOWMASTER_HPP_EXCEPTIONS
  bool thrown = false;
  try {
    stowmaster::Session session;
    session.add(file + ".missing").value();
  } catch (const stowmaster::Error& e) {
    thrown = e.code() == stowmaster::errc::not_registered;
  }
  Expect(thrown, "value() of a failed result throws stowmaster::Error");
  std::printf("\nexceptions: %s\n", thrown ? "thrown" : "NOT thrown");
#endif

  std::printf("\n%s\n", failures == 0 ? "consumer: ok" : "consumer: FAILED");
  return failures == 0 ? 0 : 1;
}
