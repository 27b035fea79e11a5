// How the stowmaster program writes and reads figures: sizes, durations,
// times, the usage bars, and the numbers and ages its options take.
#pragma once

#include <cstdint>
#include <string>

namespace stow_program {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "512 B", "1.5 KiB", "20.0 MiB" ...
std::string HumanSize(int64_t bytes);
// "45 s", "12 min", "3 h 5 min", "2 d 4 h"; "in the future" below 0.
std::string HumanDuration(int64_t seconds);
// Seconds since 1970 as local "YYYY-MM-DD HH:MM:SS".
std::string LocalTimeText(int64_t seconds);

// A one-line picture of the bytes in use against the low (L) and high (H)
// marks: 40 columns for the high mark and a quarter, '#' up to the bytes in
// use, '.' beyond. L and H always show, L before H. When the bytes in use
// pass the bar's end, every column is filled and a '>' closes the bar in
// place of the ']'.
std::string UsageBar(int64_t used, int64_t low, int64_t high);

// `width` columns: '#' for the share `part` of `whole`, '.' for the rest.
std::string ShareBar(int64_t part, int64_t whole, int width);

// A text from the index as a terminal may show it: control characters
// (anyone may write the index) become '?'.
std::string Printable(const char* text);

// A whole non-negative decimal number up to `max`.
bool ParseCount(const std::string& text, long long max, long long* out);

// An age: a whole number with an optional unit s, m, h, d or w (seconds when
// bare), up to 100 years, in seconds.
bool ParseAge(const std::string& text, long long* seconds);

}  // namespace stow_program
