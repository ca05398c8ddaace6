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
// What the file holds is kept exactly: dates whatever they hold (1e300, NaN, a fraction of a
// second), and texts unit for unit, half a surrogate pair or a NUL included (value.h says how a
// string holds them).
//
// Writing is always the XML form, as the phone's own dictionary-to-file operation writes, and
// takes time linear in the size of the value. XML cannot say everything a binary file can hold;
// what it cannot is written as near as it can (toXml).
//
// Paths inside the device root are resolved beneath it (files.h).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/values/value.h"

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

// The XML form. Texts are written exactly: & < > as entities, and a NUL or half a surrogate pair,
// for which XML has no character, as a character reference ("&#x0;", "&#xD83D;") that this
// reader reads back (a strict XML parser refuses such a file). What XML cannot say is written as
// near as it can: a date in whole seconds (a fraction dropped, as the phone's XML writer does),
// a date before the year 0000 or after 9999 as the first or last second a four-digit year can
// say, a date that is not a number as the reference date; a NaN real as "nan" (whatever its
// bits). Empty when there is no value.
std::string toXml(const Value& root);
// The binary form, exact for every value; empty when a text holds a NUL or half a surrogate pair
// (tests and benchmarks use it to make files; nothing of the phone writes it).
std::string toBinary(const Value& root);

// Equal, with reals and dates compared bit for bit (so NaN is itself and -0.0 is not 0.0).
bool identical(const Value& a, const Value& b);

// Replaces the file atomically (files::replaceFile) with the XML form, so every key, the ones the
// writer knows nothing about included, is kept (as near as XML can say it). Returns false on
// failure; the target is then unchanged.
bool writeXmlAtomically(const Value& root, const std::string& hostPath);

}  // namespace platform::plist
