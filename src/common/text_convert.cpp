#include "common/text_convert.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf16(char32_t cp, std::u16string* out) {
  if (cp < 0x10000) {
    out->push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes the sequence at in[i]; false when it is not well-formed.
bool DecodeOne(std::string_view in, size_t i, char32_t* cp_out, size_t* len_out) {
  const auto lead = static_cast<unsigned char>(in[i]);
  if (lead < 0x80) {
    *cp_out = lead;
    *len_out = 1;
    return true;
  }
  size_t extra;
  char32_t cp;
  char32_t min;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, cp = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, cp = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, cp = lead & 0x07, min = 0x10000;
  } else {
    return false;
  }
  if (in.size() - i <= extra) return false;
  for (size_t k = 1; k <= extra; ++k) {
    const auto c = static_cast<unsigned char>(in[i + k]);
    if ((c & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  *cp_out = cp;
  *len_out = extra + 1;
  return true;
}

}  // namespace

bool DecodeUtf8(std::string_view in, std::u16string* out) {
  out->clear();
  out->reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    char32_t cp;
    size_t len;
    if (!DecodeOne(in, i, &cp, &len)) {
      out->clear();
      return false;
    }
    AppendUtf16(cp, out);
    i += len;
  }
  return true;
}

std::u16string DecodeUtf8Lossy(std::string_view in) {
  std::u16string out;
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    char32_t cp;
    size_t len;
    if (DecodeOne(in, i, &cp, &len)) {
      AppendUtf16(cp, &out);
      i += len;
    } else {
      out.push_back(static_cast<char16_t>(kReplacement));
      ++i;
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view in) {
  std::u16string out;
  DecodeUtf8(in, &out);
  return out;
}

std::u16string Utf8ToUtf16(const char* in) {
  return in ? Utf8ToUtf16(std::string_view(in)) : std::u16string();
}

std::string Utf16ToUtf8(std::u16string_view in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    char32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
        in[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    AppendUtf8(cp, &out);
  }
  return out;
}

std::string Utf16ToUtf8(const char16_t* in) {
  return in ? Utf16ToUtf8(std::u16string_view(in)) : std::string();
}

std::string Utf16ToAnsi(std::u16string_view in) { return Utf16ToUtf8(in); }

std::u16string AnsiToUtf16(std::string_view in) {
  // A narrow text that is not valid UTF-8 still widens byte by byte, as a code-page
  // conversion never refuses its input.
  std::u16string out;
  if (DecodeUtf8(in, &out)) return out;
  out.assign(in.begin(), in.end());
  for (auto& c : out) c = static_cast<unsigned char>(c);
  return out;
}

