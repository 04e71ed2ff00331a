// Text placed into XML property-list templates.
#pragma once

#include <string>
#include <string_view>

// Escapes '&', '<', '>', '"' and '\'' so that `text` stays one string element.
std::string XmlEscape(std::string_view text);
