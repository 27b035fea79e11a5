// Fuzzes the settings reader: any text as a settings file, looked up for
// the keys the library reads, and any text as a number.
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
  for (const auto& k : kKeys) {
    for (size_t room : {size_t{1}, size_t{8}, size_t{260}}) {
      const std::string value = stow::platform::LookupIniValue(text, k[0], k[1], "dflt", room);
      if (value.size() >= room) std::abort();  // must fit a buffer of `room` bytes
    }
  }
  stow::detail::ParseInteger(text.c_str());
  return 0;
}
