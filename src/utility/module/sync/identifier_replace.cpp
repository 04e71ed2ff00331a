#include "utility/module/sync/identifier_replace.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "common/xml_text.h"

namespace {

// Record members whose values name other records.
bool IsRelationMember(std::string_view key) {
  return key == "contact" || key == "calendar" || key == "owner" || key == "parent";
}

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (cp >> 18));
    *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The character data of an element with its entities decoded; nothing when it holds
// markup (CDATA, comments) or an entity this scan does not know.
std::optional<std::string> DecodeText(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '<') return std::nullopt;
    if (c != '&') {
      out += c;
      continue;
    }
    const size_t end = raw.find(';', i);
    if (end == std::string_view::npos || end - i > 12) return std::nullopt;
    const std::string_view entity = raw.substr(i + 1, end - i - 1);
    if (entity == "amp") out += '&';
    else if (entity == "lt") out += '<';
    else if (entity == "gt") out += '>';
    else if (entity == "quot") out += '"';
    else if (entity == "apos") out += '\'';
    else if (entity.size() > 1 && entity[0] == '#') {
      const bool hex = entity[1] == 'x' || entity[1] == 'X';
      const std::string digits(entity.substr(hex ? 2 : 1));
      if (digits.empty()) return std::nullopt;
      char* stop = nullptr;
      const unsigned long cp = std::strtoul(digits.c_str(), &stop, hex ? 16 : 10);
      if (*stop != '\0' || cp == 0 || cp > 0x10FFFF) return std::nullopt;
      AppendUtf8(static_cast<uint32_t>(cp), &out);
    } else {
      return std::nullopt;
    }
    i = end;
  }
  return out;
}

// One open element of the message.
struct Frame {
  std::string name;       // "array", "dict" ...
  size_t values = 0;      // value elements seen so far (array elements, dict values)
  std::string last_key;   // dicts: the key of the value that comes next
  bool relation = false;  // arrays: the value of a relation member
};

class Rewriter {
 public:
  Rewriter(std::string_view xml, const std::map<std::string, std::string>& remap)
      : xml_(xml), remap_(remap) {
    out_.reserve(xml.size());
  }

  std::string Run() {
    size_t pos = 0;
    while (pos < xml_.size()) {
      const size_t open = xml_.find('<', pos);
      if (open == std::string_view::npos) break;
      out_.append(xml_.substr(pos, open - pos));
      pos = Tag(open);
    }
    if (pos < xml_.size()) out_.append(xml_.substr(pos));
    return std::move(out_);
  }

 private:
  // Copies the markup that starts at `open` and returns the position after it.
  size_t Tag(size_t open) {
    const std::string_view rest = xml_.substr(open);
    size_t end;
    if (rest.substr(0, 4) == "<!--") {
      end = Find("-->", open, 3);
    } else if (rest.substr(0, 9) == "<![CDATA[") {
      end = Find("]]>", open, 3);
    } else if (rest.substr(0, 2) == "<?") {
      end = Find("?>", open, 2);
    } else if (rest.substr(0, 2) == "<!") {
      end = Find(">", open, 1);
    } else if (rest.substr(0, 2) == "</") {
      end = Find(">", open, 1);
      if (!stack_.empty()) stack_.pop_back();
    } else {
      return StartTag(open);
    }
    out_.append(xml_.substr(open, end - open));
    return end;
  }

  // Position after `token` searched from `from`, or the end of the text.
  size_t Find(std::string_view token, size_t from, size_t length) const {
    const size_t at = xml_.find(token, from + 1);
    return at == std::string_view::npos ? xml_.size() : at + length;
  }

  size_t StartTag(size_t open) {
    const size_t close = xml_.find('>', open);
    if (close == std::string_view::npos) {
      out_.append(xml_.substr(open));
      return xml_.size();
    }
    const std::string_view inside = xml_.substr(open + 1, close - open - 1);
    const bool empty_element = !inside.empty() && inside.back() == '/';
    size_t name_end = 0;
    while (name_end < inside.size() && inside[name_end] != ' ' && inside[name_end] != '/' &&
           inside[name_end] != '\t' && inside[name_end] != '\n' && inside[name_end] != '\r') {
      ++name_end;
    }
    const std::string name(inside.substr(0, name_end));
    out_.append(xml_.substr(open, close + 1 - open));
    if (name == "plist") {
      if (!empty_element) {
        Frame frame;
        frame.name = name;
        stack_.push_back(std::move(frame));
      }
      return close + 1;
    }
    if ((name == "key" || name == "string") && !empty_element) {
      return TextElement(name, close + 1);
    }
    const Role role = NextValue(false);
    if (!empty_element) {
      Frame frame;
      frame.name = name;
      frame.relation = name == "array" && role == Role::kRelationValue;
      stack_.push_back(std::move(frame));
    }
    return close + 1;
  }

  enum class Role { kOther, kRecordKey, kFieldKey, kRelationValue };

  // Depth of the message array below an optional <plist>.
  size_t Base() const { return !stack_.empty() && stack_[0].name == "plist" ? 1 : 0; }

  // Accounts for one element in the innermost open element and says what it is.
  Role NextValue(bool is_key) {
    if (stack_.empty()) return Role::kOther;
    Frame& top = stack_.back();
    const size_t depth = stack_.size() - Base();  // 1: inside the message array
    if (top.name == "dict") {
      if (is_key) {
        // Keys of the record dictionary are record identifiers.
        if (depth == 2 && IsRecordDictionary()) return Role::kRecordKey;
        return Role::kFieldKey;
      }
      ++top.values;
      if (depth == 3 && IsRecordDictionary(1) && IsRelationMember(top.last_key)) {
        return Role::kRelationValue;
      }
      return Role::kOther;
    }
    if (top.name == "array") {
      ++top.values;
      if (top.relation) return Role::kRelationValue;
    }
    return Role::kOther;
  }

  // Whether the dict `up` levels above the innermost is the message's record dictionary.
  bool IsRecordDictionary(size_t up = 0) const {
    const size_t base = Base();
    if (stack_.size() < base + 2 + up) return false;
    const Frame& message = stack_[base];
    const Frame& records = stack_[base + 1];
    return stack_.size() - up == base + 2 && message.name == "array" && records.name == "dict" &&
           message.values == 3;
  }

  // A <key> or <string> whose start tag ends before `content`.
  size_t TextElement(const std::string& name, size_t content) {
    const std::string end_tag = "</" + name + ">";
    const size_t end = xml_.find(end_tag, content);
    if (end == std::string_view::npos) {
      out_.append(xml_.substr(content));
      return xml_.size();
    }
    const std::string_view raw = xml_.substr(content, end - content);
    const Role role = NextValue(name == "key");
    std::optional<std::string> text = DecodeText(raw);
    if (name == "key" && !stack_.empty()) stack_.back().last_key = text.value_or("");
    const bool refers = role == Role::kRecordKey || role == Role::kRelationValue;
    auto hit = (refers && text) ? remap_.find(*text) : remap_.end();
    if (hit != remap_.end()) out_ += XmlEscape(hit->second);
    else out_.append(raw);
    out_ += end_tag;
    return end + end_tag.size();
  }

  std::string_view xml_;
  const std::map<std::string, std::string>& remap_;
  std::string out_;
  std::vector<Frame> stack_;
};

}  // namespace

std::string ReplaceIdentifiers(std::string_view xml, const std::map<std::string, std::string>& remap) {
  if (remap.empty()) return std::string(xml);
  return Rewriter(xml, remap).Run();
}

std::string ReplaceIdentifier(std::string_view xml, std::string_view old_id,
                              std::string_view new_id) {
  if (old_id.empty()) return std::string(xml);
  return ReplaceIdentifiers(xml, {{std::string(old_id), std::string(new_id)}});
}
