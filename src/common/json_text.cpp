#include "common/json_text.h"

#include <cstdint>

namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0 when it is invalid
// (overlong forms, surrogates and values above U+10FFFF are invalid).
size_t ValidUtf8Length(std::string_view text, size_t i) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  uint8_t lead = byte(i);
  size_t need;
  uint32_t cp;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) { need = 1; cp = lead & 0x1F; }
  else if (lead >= 0xE0 && lead <= 0xEF) { need = 2; cp = lead & 0x0F; }
  else if (lead >= 0xF0 && lead <= 0xF4) { need = 3; cp = lead & 0x07; }
  else return 0;
  if (text.size() - i <= need) return 0;
  for (size_t k = 1; k <= need; ++k) {
    uint8_t c = byte(i + k);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if ((need == 2 && cp < 0x800) || (need == 3 && cp < 0x10000)) return 0;
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return need + 1;
}

}  // namespace

std::string JsonEscape(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 8);
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
      }
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      size_t n = ValidUtf8Length(text, i);
      if (n == 0) {
        out += "\xEF\xBF\xBD";
        ++i;
      } else {
        out.append(text.substr(i, n));
        i += n;
      }
    }
  }
  return out;
}

std::string JsonQuote(std::string_view text) {
  std::string out = "\"";
  out += JsonEscape(text);
  out += '"';
  return out;
}

bool JsonNestingWithin(std::string_view text, size_t limit) {
  size_t depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') ++i;  // the escaped character cannot end the string
      else if (c == '"') in_string = false;
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

bool ParseUntrustedJson(std::string_view text, rapidjson::Document* doc) {
  if (!JsonNestingWithin(text)) {
    // Leave the document in the state of a failed parse so callers test one thing.
    doc->Parse<rapidjson::kParseIterativeFlag>("[", 1);
    return false;
  }
  doc->Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
  return !doc->HasParseError();
}
