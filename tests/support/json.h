// Just enough JSON reading for the tests of the program's --json output:
// objects, arrays, strings (with the escapes the program writes), whole
// numbers, true, false and null. Anything else is a parse error.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace stow_test {

struct JsonValue {
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject } type = Type::kNull;
  bool boolean = false;
  int64_t number = 0;
  std::string text;
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> members;

  // The member `key` of an object; a null value when there is none.
  const JsonValue& operator[](const std::string& key) const;
  bool Has(const std::string& key) const { return members.count(key) != 0; }
};

// Parses `text` (one value, blanks around it allowed). False, with the
// offset of the problem in `error`, when it is not well-formed.
bool ParseJson(const std::string& text, JsonValue* out, std::string* error);

}  // namespace stow_test
