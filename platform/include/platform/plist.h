// Property-list files: XML and binary through libplist, the old-style text form (the one
// ".strings" files use) through a small parser of our own, and atomic XML writing.
//
// Reading never throws and never crashes on bad input: an empty, truncated, malformed or
// oversized file gives std::nullopt. Files larger than kMaxPropertyListBytes are refused
// unread, as the phone would refuse to map a settings file of that size.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace platform::plist {

inline constexpr size_t kMaxPropertyListBytes = 8u << 20;

// Parses any of the three forms, chosen by the content ("bplist00" header, an XML prolog or
// <plist> element, anything else old-style text).
std::optional<Value> parse(std::string_view bytes);
std::optional<Value> parseXml(std::string_view bytes);
std::optional<Value> parseBinary(std::string_view bytes);
std::optional<Value> parseText(std::string_view bytes);

// Reads a file by host path.
std::optional<Value> readFile(const std::string& hostPath);
// Reads a file whose root must be a dictionary (none otherwise).
std::optional<Dictionary> readDictionary(const std::string& hostPath);

std::string toXml(const Value& root);

// Writes the XML form to a temporary file beside the target, syncs it and renames it into
// place, so a reader sees either the old file or the whole new one. Returns false on failure
// (the target is then unchanged).
bool writeXmlAtomically(const Value& root, const std::string& hostPath);

}  // namespace platform::plist
