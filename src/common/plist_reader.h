// Property-list bytes to PlistValue trees.
//
// Any format the CF library reads (binary or XML) is turned into CF objects, written as
// XML and parsed with TinyXML, so both formats give the same tree. Rules, with element
// names compared without regard to case:
//   in arrays:       string (text), integer (int64), true/false, array, dict, real; others
//                    (date, data) are dropped
//   in dictionaries: string, date and data (their text as written), integer, true/false,
//                    array, dict; others (real) are dropped; the last of equal keys wins
// Elements without text (string, integer, real, date, data) are dropped, as are
// dictionary pairs whose key has no text.
#pragma once

#include <cstddef>
#include <string>

#include "common/plist_value.h"

// On success `out` is an array whose element 0 is the document's top value.
bool PlistBytesToValue(const void* bytes, size_t length, PlistValue* out);

// Property-list bytes in any format the CF library reads as XML property-list text; false
// when they are not a property list. For readers that need values the tree drops (reals in
// dictionaries).
bool PlistBytesToXml(const void* bytes, size_t length, std::string* xml);

// Reads the whole file and applies PlistBytesToValue; false if it cannot be read.
bool PlistFileToValue(const std::string& path, PlistValue* out);

// The text of the value that follows the first key of the top dictionary, or "".
std::string PlistFirstValueText(const void* bytes, size_t length);
