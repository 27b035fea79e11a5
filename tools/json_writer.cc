#include "json_writer.h"

#include "formats.h"
#include "program_platform.h"

namespace stow_program {

bool WellFormedUtf8(const std::string& text, std::string* out) {
  bool well_formed = true;
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    bool whole = length > 0 && i + length <= text.size();
    for (size_t k = 1; whole && k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      whole = next >= (k == 1 ? low : 0x80) && next <= (k == 1 ? high : 0xBF);
    }
    if (whole) {
      out->append(text, i, length);
      i += length;
    } else {
      *out += "\xEF\xBF\xBD";
      well_formed = false;
      ++i;
    }
  }
  return well_formed;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += Format("\\u%04x", static_cast<unsigned char>(c));
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string JsonMember(const char* name, const char* text) {
  std::string converted;
  bool exact = SystemTextToUtf8(text, &converted);
  std::string utf8;
  exact = WellFormedUtf8(converted, &utf8) && exact;
  std::string out = JsonString(name) + ": " + JsonString(utf8);
  if (!exact) {
    out += ", " + JsonString(std::string(name) + "_bytes") + ": \"";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
      out += Format("%02x", *p);
    }
    out += "\"";
  }
  return out;
}

void JsonObject::Name(const char* name) {
  if (text_.size() > 1) text_ += ", ";
  text_ += JsonString(name) + ": ";
}

JsonObject& JsonObject::Int(const char* name, long long value) {
  Name(name);
  text_ += Format("%lld", value);
  return *this;
}

JsonObject& JsonObject::Uint(const char* name, unsigned long long value) {
  Name(name);
  text_ += Format("%llu", value);
  return *this;
}

JsonObject& JsonObject::Bool(const char* name, bool value) {
  Name(name);
  text_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::Text(const char* name, const char* system_text) {
  if (text_.size() > 1) text_ += ", ";
  text_ += JsonMember(name, system_text);
  return *this;
}

JsonObject& JsonObject::Word(const char* name, const std::string& utf8) {
  Name(name);
  text_ += JsonString(utf8);
  return *this;
}

JsonObject& JsonObject::Raw(const char* name, const std::string& json) {
  Name(name);
  text_ += json;
  return *this;
}

JsonObject JsonDocument() {
  JsonObject document;
  document.Int("schema", kJsonSchema);
  return document;
}

}  // namespace stow_program
