#include "utility/module/sync/sync_collector.h"

#include "common/text_convert.h"

namespace {

char16_t AsciiLower(char16_t c) { return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c; }

bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool HasText(const PlistValue& message, std::u16string_view wanted, bool ignore_case) {
  if (message.tag() != kPlistArray) return false;
  for (const PlistValue& element : message.array()) {
    if (element.tag() != kPlistText) continue;
    if (ignore_case ? EqualIgnoringCase(element.text(), wanted) : element.text() == wanted) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool MessageHasText(const PlistValue& message, std::string_view text, bool ignore_case) {
  return HasText(message, Utf8ToUtf16(text), ignore_case);
}

WaitForMessageName::WaitForMessageName(std::string_view name) : name_(Utf8ToUtf16(name)) {}

void WaitForMessageName::OnReply(const PlistValue* message, int* read_another, uint32_t* result) {
  if (message == nullptr) return;
  *result = 0;
  if (HasText(*message, name_, true)) found_ = true;
  *read_another = found_ ? 0 : 1;
}
