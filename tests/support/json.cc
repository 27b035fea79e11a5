#include "support/json.h"

namespace stow_test {
namespace {

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  bool Value(JsonValue* v) {
    Blanks();
    if (p_ >= s_.size()) return false;
    const char c = s_[p_];
    if (c == '{') return Object(v);
    if (c == '[') return Array(v);
    if (c == '"') {
      v->type = JsonValue::Type::kString;
      return String(&v->text);
    }
    if (Word("true")) {
      v->type = JsonValue::Type::kBool;
      v->boolean = true;
      return true;
    }
    if (Word("false")) {
      v->type = JsonValue::Type::kBool;
      return true;
    }
    if (Word("null")) return true;
    return Number(v);
  }

  bool AtEnd() {
    Blanks();
    return p_ == s_.size();
  }
  size_t at() const { return p_; }

 private:
  void Blanks() {
    while (p_ < s_.size() &&
           (s_[p_] == ' ' || s_[p_] == '\n' || s_[p_] == '\r' || s_[p_] == '\t')) {
      ++p_;
    }
  }
  bool Word(const char* w) {
    const std::string word(w);
    if (s_.compare(p_, word.size(), word) != 0) return false;
    p_ += word.size();
    return true;
  }
  bool Number(JsonValue* v) {
    size_t start = p_;
    if (p_ < s_.size() && s_[p_] == '-') ++p_;
    if (p_ >= s_.size() || s_[p_] < '0' || s_[p_] > '9') return false;
    while (p_ < s_.size() && s_[p_] >= '0' && s_[p_] <= '9') ++p_;
    v->type = JsonValue::Type::kNumber;
    v->number = std::stoll(s_.substr(start, p_ - start));
    return true;
  }
  bool String(std::string* out) {
    ++p_;  // the opening quote
    while (p_ < s_.size() && s_[p_] != '"') {
      char c = s_[p_++];
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c == '\\') {
        if (p_ >= s_.size()) return false;
        const char e = s_[p_++];
        switch (e) {
          case '"':
          case '\\':
          case '/':
            c = e;
            break;
          case 'n':
            c = '\n';
            break;
          case 'r':
            c = '\r';
            break;
          case 't':
            c = '\t';
            break;
          case 'u':
            if (p_ + 4 > s_.size()) return false;
            c = static_cast<char>(std::stoi(s_.substr(p_, 4), nullptr, 16));
            p_ += 4;
            break;
          default:
            return false;
        }
      }
      out->push_back(c);
    }
    if (p_ >= s_.size()) return false;
    ++p_;
    return true;
  }
  bool Array(JsonValue* v) {
    v->type = JsonValue::Type::kArray;
    ++p_;
    Blanks();
    if (p_ < s_.size() && s_[p_] == ']') return ++p_, true;
    for (;;) {
      JsonValue item;
      if (!Value(&item)) return false;
      v->items.push_back(item);
      Blanks();
      if (p_ < s_.size() && s_[p_] == ',') {
        ++p_;
        continue;
      }
      if (p_ < s_.size() && s_[p_] == ']') return ++p_, true;
      return false;
    }
  }
  bool Object(JsonValue* v) {
    v->type = JsonValue::Type::kObject;
    ++p_;
    Blanks();
    if (p_ < s_.size() && s_[p_] == '}') return ++p_, true;
    for (;;) {
      Blanks();
      std::string key;
      if (p_ >= s_.size() || s_[p_] != '"' || !String(&key)) return false;
      Blanks();
      if (p_ >= s_.size() || s_[p_] != ':') return false;
      ++p_;
      JsonValue member;
      if (!Value(&member)) return false;
      if (v->members.count(key) != 0) return false;  // a key twice
      v->members[key] = member;
      Blanks();
      if (p_ < s_.size() && s_[p_] == ',') {
        ++p_;
        continue;
      }
      if (p_ < s_.size() && s_[p_] == '}') return ++p_, true;
      return false;
    }
  }

  const std::string& s_;
  size_t p_ = 0;
};

}  // namespace

const JsonValue& JsonValue::operator[](const std::string& key) const {
  static const JsonValue kNone;
  auto it = members.find(key);
  return it == members.end() ? kNone : it->second;
}

bool ParseJson(const std::string& text, JsonValue* out, std::string* error) {
  Parser parser(text);
  *out = JsonValue();
  if (parser.Value(out) && parser.AtEnd()) return true;
  if (error != nullptr) *error = "not JSON at offset " + std::to_string(parser.at());
  return false;
}

}  // namespace stow_test
