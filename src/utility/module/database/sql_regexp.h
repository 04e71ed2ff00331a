// The SQL function behind `x REGEXP p`: an ECMAScript search of the pattern anywhere in the
// text, ignoring letter case.
#pragma once

#include <sqlite3.h>

#include <string_view>

inline constexpr char kRegexpArgumentError[] =
    "SQL function regexp() called with invalid arguments.\n";

// Registers "regexp" (two arguments, deterministic) on `db`; the SQLite result code.
int RegisterRegexp(sqlite3* db);

// 1 when `pattern` is found in `text`, 0 when not, -1 when the pattern does not compile.
// Both are compared upper-cased.
int RegexpSearch(std::string_view pattern, std::string_view text);
