// The stowmaster program's JSON: UTF-8 whatever bytes the library's texts
// hold, every output one object whose first member is "schema": 1.
#pragma once

#include <string>

namespace stow_program {

// The version of the program's JSON: raised when a member changes meaning
// or goes; new members may come without it.
constexpr int kJsonSchema = 1;

// `text` with every byte that does not belong to a well-formed UTF-8
// sequence (a stray or missing continuation byte, an overlong form, a
// surrogate, beyond U+10FFFF) replaced by U+FFFD; true when there was none.
bool WellFormedUtf8(const std::string& text, std::string* out);

// A JSON string of well-formed UTF-8 `text`.
std::string JsonString(const std::string& text);

// The member `"name": text` of a JSON object, for text the library gives (a
// path, a folder of the settings, an error text: anyone may write the index
// and the settings), converted from the system's text to UTF-8. Text with
// no exact UTF-8 form shows with U+FFFD in place of what does not convert,
// and a second member `"name_bytes"` after it holds its bytes as the library
// gave them, in hexadecimal, so that it can be had back exactly.
std::string JsonMember(const char* name, const char* text);

// One JSON object, built member by member in the order written.
class JsonObject {
 public:
  JsonObject& Int(const char* name, long long value);
  JsonObject& Uint(const char* name, unsigned long long value);
  JsonObject& Bool(const char* name, bool value);
  // A text the library gave (JsonMember).
  JsonObject& Text(const char* name, const char* system_text);
  // A text of the program's own, UTF-8 already.
  JsonObject& Word(const char* name, const std::string& utf8);
  // A value written already: an object, an array, null.
  JsonObject& Raw(const char* name, const std::string& json);
  std::string str() const { return text_ + "}"; }

 private:
  void Name(const char* name);
  std::string text_ = "{";
};

// The object of a whole output: "schema" first.
JsonObject JsonDocument();

}  // namespace stow_program
