// PlistValue trees written back as XML property lists, for the lists the agent edits on the
// device (the book lists).
#pragma once

#include <string>

#include "common/plist_value.h"

// The whole document: header, <plist version="1.0">, the value, </plist>. Texts, integers,
// reals, booleans, arrays and dictionaries are written; empty values are left out.
std::string PlistValueToXml(const PlistValue& value);
