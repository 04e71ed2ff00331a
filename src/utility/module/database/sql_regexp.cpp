#include "utility/module/database/sql_regexp.h"

#include <regex>
#include <string>

namespace {

// The standard library's matcher recurses per character; longer texts could exhaust the
// stack, so they are refused as invalid arguments.
constexpr size_t kMaxRegexpText = 64 * 1024;

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string_view ArgumentText(sqlite3_value* value) {
  const unsigned char* text = sqlite3_value_text(value);
  if (text == nullptr) return {};
  return {reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_value_bytes(value))};
}

void RegexpFunction(sqlite3_context* context, int count, sqlite3_value** values) {
  if (count != 2) {
    sqlite3_result_error(context, kRegexpArgumentError, -1);
    return;
  }
  const std::string_view pattern = ArgumentText(values[0]);
  const std::string_view text = ArgumentText(values[1]);
  if (pattern.empty() || text.empty() || pattern.size() > kMaxRegexpText ||
      text.size() > kMaxRegexpText) {
    sqlite3_result_error(context, kRegexpArgumentError, -1);
    return;
  }
  const int found = RegexpSearch(pattern, text);
  if (found < 0) {
    sqlite3_result_error(context, kRegexpArgumentError, -1);
    return;
  }
  sqlite3_result_int(context, found);
}

}  // namespace

int RegexpSearch(std::string_view pattern, std::string_view text) {
  try {
    const std::regex expression(Upper(pattern), std::regex::ECMAScript);
    const std::string subject = Upper(text);
    return std::regex_search(subject, expression) ? 1 : 0;
  } catch (const std::exception&) {
    return -1;  // does not compile, or the matcher gave up on its complexity
  }
}

int RegisterRegexp(sqlite3* db) {
  return sqlite3_create_function(db, "regexp", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                 RegexpFunction, nullptr, nullptr);
}
