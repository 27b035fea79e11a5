#include "formats.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace stow_program {

std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  return buffer;
}

std::string HumanSize(int64_t bytes) {
  const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024 && bytes > -1024) return Format("%lld B", static_cast<long long>(bytes));
  double value = static_cast<double>(bytes);
  int unit = -1;
  while ((value >= 1024.0 || value <= -1024.0) && unit < 3) {
    value /= 1024.0;
    ++unit;
  }
  return Format("%.1f %s", value, units[unit]);
}

std::string HumanDuration(int64_t seconds) {
  if (seconds < 0) return "in the future";
  if (seconds < 60) return Format("%lld s", static_cast<long long>(seconds));
  const long long m = seconds / 60, h = m / 60, d = h / 24;
  if (h == 0) return Format("%lld min", m);
  if (d == 0) return m % 60 == 0 ? Format("%lld h", h) : Format("%lld h %lld min", h, m % 60);
  return h % 24 == 0 ? Format("%lld d", d) : Format("%lld d %lld h", d, h % 24);
}

std::string LocalTimeText(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  const std::tm* tm = std::localtime(&t);
  if (tm == nullptr) return "?";
  char buffer[32];
  std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S", tm);
  return buffer;
}

std::string UsageBar(int64_t used, int64_t low, int64_t high) {
  const int width = 40;
  // The scale is fixed by the marks alone, so that they keep their columns
  // however full the cache is; what lies beyond the scale cannot be drawn.
  double scale = static_cast<double>(high) * 1.25;
  if (scale < 1) scale = 1;
  auto column = [&](int64_t bytes) {
    const double c = static_cast<double>(bytes) / scale * width;
    return c < 0 ? 0 : (c >= width - 1 ? width - 1 : static_cast<int>(c));
  };
  int low_column = column(low);
  int high_column = column(high);
  // Marks too close for a column each still show both, L first.
  if (high_column <= low_column) high_column = low_column + 1;
  if (high_column >= width) {
    high_column = width - 1;
    low_column = width - 2;
  }
  const double fill = static_cast<double>(used) / scale * width + 0.5;
  const bool beyond = static_cast<double>(used) > scale;
  const int filled = beyond ? width : (fill < 0 ? 0 : static_cast<int>(fill));
  std::string bar(width, '.');
  for (int i = 0; i < filled && i < width; ++i) bar[i] = '#';
  bar[low_column] = 'L';
  bar[high_column] = 'H';
  return "[" + bar + (beyond ? ">" : "]");
}

std::string ShareBar(int64_t part, int64_t whole, int width) {
  int filled = 0;
  if (whole > 0 && part > 0) {
    filled = static_cast<int>(static_cast<double>(part) / static_cast<double>(whole) * width + 0.5);
    if (filled > width) filled = width;
  }
  return std::string(static_cast<size_t>(filled), '#') +
         std::string(static_cast<size_t>(width - filled), '.');
}

std::string Printable(const char* text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

bool ParseCount(const std::string& text, long long max, long long* out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value > max) return false;
  *out = value;
  return true;
}

bool ParseAge(const std::string& text, long long* seconds) {
  const long long kMax = 100LL * 366 * 86400;
  long long unit = 1;
  std::string number = text;
  if (!number.empty()) {
    switch (number.back()) {
      case 's': unit = 1; break;
      case 'm': unit = 60; break;
      case 'h': unit = 3600; break;
      case 'd': unit = 86400; break;
      case 'w': unit = 7 * 86400; break;
      default: unit = 0;
    }
    if (unit != 0) {
      number.pop_back();
    } else {
      unit = 1;
    }
  }
  long long value = 0;
  if (!ParseCount(number, kMax, &value) || value > kMax / unit) return false;
  *seconds = value * unit;
  return true;
}

}  // namespace stow_program
