// Fuzzes the settings reader: any text as a settings file, looked up for
// the keys the library reads, and any text as a number.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/settings.h"
#include "platform/ini_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  static const char* const kKeys[][2] = {{"Cache", "CacheDir"},  {"Cache", "CacheSize"},
                                         {"Cache", "Precision"}, {"Cache", "Delay"},
                                         {"Log", "LogPath"},     {"cache", "cachesize"}};
  const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
  for (const auto& k : kKeys) {
    // The line a value comes from lies within the text.
    const int line = stow::platform::FindIniLine(text, k[0], k[1]);
    if (line < 0 || static_cast<size_t>(line) > lines) std::abort();
    for (size_t room : {size_t{1}, size_t{8}, size_t{260}}) {
      const std::string value = stow::platform::LookupIniValue(text, k[0], k[1], "dflt", room);
      if (value.size() >= room) std::abort();  // must fit a buffer of `room` bytes
    }
  }
  stow::detail::ParseInteger(text.c_str());
  return 0;
}
