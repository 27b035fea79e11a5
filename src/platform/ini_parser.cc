#include "platform/ini_parser.h"

#include <cstring>

namespace stow {
namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string Unquote(const std::string& v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

std::string Cut(std::string v, size_t size) {
  if (size == 0) return std::string();
  if (v.size() > size - 1) v.resize(size - 1);
  return v;
}

// Walks the lines of `section` (its first occurrence) in `text`: calls
// `visit`(name, value, line number) for each key line, until it returns
// true.
template <typename Visit>
void WalkSection(const std::string& text, const char* section, Visit visit) {
  bool in_section = false;
  bool seen_section = false;
  size_t pos = 0;
  int number = 0;
  // A UTF-8 byte order mark is not part of the first line.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    ++number;
    if (!line.empty() && line[0] == '[') {
      if (seen_section) return;  // only the first section of that name counts
      size_t close = line.find(']');
      std::string name =
          Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      in_section = SameName(name, section);
      seen_section = in_section;
      continue;
    }
    if (!in_section || line.empty() || line[0] == ';') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (visit(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)), number)) return;
  }
}

}  // namespace

std::string LookupIniValue(const std::string& text, const char* section, const char* key,
                           const char* fallback, size_t size) {
  std::string names;
  std::string value;
  bool found = false;
  WalkSection(text, section, [&](const std::string& name, const std::string& v, int) {
    if (key == nullptr) {
      names += name;
      names += '\0';
      return false;
    }
    if (!SameName(name, key)) return false;
    value = Unquote(v);
    found = true;
    return true;
  });
  if (key == nullptr) return Cut(names, size);
  return Cut(found ? value : std::string(fallback ? fallback : ""), size);
}

int FindIniLine(const std::string& text, const char* section, const char* key) {
  int found = 0;
  WalkSection(text, section, [&](const std::string& name, const std::string&, int line) {
    if (!SameName(name, key)) return false;
    found = line;
    return true;
  });
  return found;
}

}  // namespace platform
}  // namespace stow
