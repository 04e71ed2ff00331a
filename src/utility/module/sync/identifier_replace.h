// Threads a device-assigned identifier through a push message written by the front end:
// every occurrence of the front end's identifier is replaced, literally. The text is XML,
// so both identifiers are compared and inserted in their escaped form; characters that
// mean something in patterns ('.', '*', '$', '\' ...) have no special meaning here.
#pragma once

#include <string>
#include <string_view>

std::string ReplaceIdentifier(std::string_view xml, std::string_view old_id,
                              std::string_view new_id);
