// CoreFoundation objects read straight from the device library to PlistValue trees.
//
// Kinds are told by CFGetTypeID: strings (ASCII only, at most 259 characters, else the
// entry is dropped), dictionaries, arrays, data (uppercase hexadecimal text), booleans
// and numbers of type SInt32, Int (both int32), SInt64 (int64) and Float64 (real). Every
// other kind, number type or failed conversion drops the entry. Dictionary keys must be
// ASCII strings of at most 259 characters; other keys drop their entry.
#pragma once

#include <string>

#include "common/plist_value.h"
#include "iOSAPI/core_foundation_api.h"

// `out` becomes a dictionary value (tag 13); empty when `dict` is not a dictionary.
void CFDictionaryToDictionary(CFDictionaryRef dict, PlistValue* out);
// `out` becomes an array value (tag 0x200C); empty when `array` is not an array.
void CFArrayToArray(CFArrayRef array, PlistValue* out);

// The string as UTF-8; empty for null or a failed conversion.
std::string CFStringToUtf8(CFStringRef str);
