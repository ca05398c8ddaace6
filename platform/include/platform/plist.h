// Property-list files: XML and binary through libplist, the old-style text form (the one
// ".strings" files use) through a small parser of our own, and atomic writing.
//
// Reading never throws, never crashes and never hangs on bad input: an empty, truncated,
// malformed or oversized file gives std::nullopt, and so does anything at the path that is not
// a regular file (a FIFO, a device, a folder). Files larger than kMaxPropertyListBytes are
// refused unread, as the phone would refuse to map a settings file of that size. So are lists
// nested deeper than 512 containers, lists whose containers refer to themselves, and lists
// whose tree would hold more values than the file has bytes (or more than 2^20): a binary list
// may refer to one container many times, and every reference becomes a copy.
//
// Dates are kept exactly as the file holds them, whatever they hold (1e300, NaN, a fraction of
// a second), and writing puts them back the same.
//
// Paths inside the device root are resolved beneath it (files.h).
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

// The XML form; empty when the value holds a date XML cannot (outside 1933-2069, a fraction
// of a second, not a number).
std::string toXml(const Value& root);
// The binary form, exact for every value.
std::string toBinary(const Value& root);

// Equal, with reals and dates compared bit for bit (so NaN is itself and -0.0 is not 0.0).
bool identical(const Value& a, const Value& b);

// The bytes of a file that reads back identical to the value: the XML form when it can say
// every value exactly, else the binary form. Nothing when neither can.
std::optional<std::string> encodeExactly(const Value& root);

// Replaces the file atomically (files::replaceFile) with encodeExactly's bytes, so everything
// in the value, keys the writer knows nothing about included, reads back unchanged. Returns
// false on failure; the target is then unchanged.
bool writeAtomically(const Value& root, const std::string& hostPath);
// The same, always in the XML form: false when XML cannot hold the value exactly.
bool writeXmlAtomically(const Value& root, const std::string& hostPath);

}  // namespace platform::plist
