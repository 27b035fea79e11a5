// Reading INI text with the lookup rules of the Windows profile functions,
// for platforms that have none.
#pragma once

#include <cstddef>
#include <string>

namespace stow {
namespace platform {

// Looks `key` up in `section` of the INI `text`. Section and key names are
// compared without regard to ASCII case; only the first section of that name
// is searched and the first matching key counts. Blanks around names and
// values are dropped and one pair of enclosing quotes (" or ') is removed
// from the value. Gives `fallback` when the section or key is missing. The
// result is cut to `size` - 1 bytes (nothing at all when `size` is 0).
// With `key` null: the names of the section's keys, each followed by a NUL,
// in file order, as the Windows profile functions list them.
std::string LookupIniValue(const std::string& text, const char* section, const char* key,
                           const char* fallback, size_t size);

// The line (counted from 1) of the INI `text` that LookupIniValue takes the
// value of `key` in `section` from; 0 when it takes none.
int FindIniLine(const std::string& text, const char* section, const char* key);

}  // namespace platform
}  // namespace stow
