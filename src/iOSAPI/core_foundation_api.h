// CoreFoundation as the agent sees it: the types and function declarations of the CF
// library it loads at run time. The agent never links these functions; it calls them only
// through CMobileExportFun.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

// The default allocator is NULL; the exported constant holding it is not in the table.
constexpr CFAllocatorRef kCFDefaultAllocator = nullptr;

// CFGetTypeID numbers that the value converters compare against.
constexpr CFTypeID kCFTypeIdString = 7;
constexpr CFTypeID kCFTypeIdDictionary = 18;
constexpr CFTypeID kCFTypeIdArray = 19;
constexpr CFTypeID kCFTypeIdData = 20;
constexpr CFTypeID kCFTypeIdBoolean = 21;
constexpr CFTypeID kCFTypeIdNumber = 22;
