// The JSON object the front end gets for one application, built from an installation
// proxy entry and the store metadata (iTunesMetadata) that came with it.
//
// Members, each only when the source has it as a text, in this order:
//   ApplicationType, CFBundleIdentifier, CFBundleDisplayName, CFBundleName,
//   CFBundleShortVersionString, CFBundleVersion, Path,
//   then from the store metadata: the four bundle members above when still missing
//   (softwareVersionBundleId, bundleShortVersionString, bundleVersion, bundleDisplayName),
//   releaseDate, artistName, itemName, softwareIcon57x57URL, AppleID (appleId),
//   purchaseDate and AppleID (accountInfo) from com.apple.iTunesStore.downloadInfo,
//   and last data-size and app-size, added from the disk-usage listing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

#include "common/plist_value.h"

using JsonAllocator = rapidjson::Document::AllocatorType;

// Appends the store-metadata members of `metadata` (the top dictionary of an
// iTunesMetadata property list) to the object `app`.
void AppendStoreMetadata(const CIOSDictionary& metadata, rapidjson::Value* app,
                         JsonAllocator& allocator);

// The same for metadata as property-list bytes; false when they are not a dictionary.
bool AppendStoreMetadataBytes(std::string_view plist, rapidjson::Value* app,
                              JsonAllocator& allocator);

// The object of one "CurrentList" entry, store metadata included (the entry's
// "iTunesMetadata", Base64 text, is decoded; metadata that does not decode is left
// out). Nothing when the entry has no text "CFBundleIdentifier".
std::optional<rapidjson::Value> BuildAppObject(const CIOSDictionary& entry,
                                               JsonAllocator& allocator);

// A text member of `object`, or "".
std::string JsonMemberText(const rapidjson::Value& object, const char* name);

// The value of `key` in `dict` as UTF-8 when it is a text.
std::optional<std::string> PlistText(const CIOSDictionary& dict, std::string_view key);
