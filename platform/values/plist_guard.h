// What the property-list reader checks and rewrites before libplist sees a file, and after it
// wrote one. libplist builds its whole tree recursively and trusts the file: a deeply nested
// list overflows its stack, references shared between containers are copied out once per
// reference (a few hundred bytes can ask for gigabytes), and its dates are whole 32-bit seconds
// (a binary date of 1e300 or NaN is converted with undefined behaviour, an XML date after 2069
// comes back as 1932). So:
// - a binary list's object table is walked here first, bounded in depth, in the number of values
//   the tree will hold, and refusing cycles;
// - an XML list's element nesting is bounded the same way;
// - every date is read here, exactly, and libplist is handed a small index in its place; the
//   reader looks the real date up by that index. The binary writer does the reverse;
// - so is every text libplist cannot carry (plist_text.h): a placeholder goes in its place.
// XML is written here (plist_xml.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/values/value.h"

namespace platform::plist::detail {

// Deepest nesting of containers a file may have (the root is at depth 0).
inline constexpr int kMaxDepth = 512;
// The most values (dictionary keys included) the tree of one file may hold; and never more than
// the file has bytes, so that sharing cannot multiply a file's size.
inline constexpr uint64_t kMaxValues = uint64_t{1} << 20;

struct Prepared {
    std::string bytes;          // what libplist parses
    std::vector<double> dates;  // the file's dates, by the index libplist will report instead
    std::vector<std::string> strings;  // texts libplist cannot carry, by their placeholders' index
    // XML only: whether each array libplist reads, in the order of the document, was a dictionary.
    std::vector<bool> dictionaries;
};

// A checked copy of a binary list with its dates swapped for indexes and the strings libplist
// cannot carry for placeholders (new string objects after the others, and the offset table
// written anew); nothing when the file is malformed, too deep, too large once expanded, cyclic,
// or holds a string that is no text (bytes above 127 in an ASCII string).
std::optional<Prepared> prepareBinary(std::string_view bytes);
// The same for XML: nesting bounded, dates parsed here and swapped for indexes, texts libplist
// cannot carry swapped for placeholders. Dictionaries become arrays of keys and values in turn
// (libplist looks every key of a dictionary up as it reads it, so a file of 200,000 keys took
// seconds); the reader makes them dictionaries again.
std::optional<Prepared> prepareXml(std::string_view bytes);

// libplist wrote each date as the index of its real value in `dates`; puts the real values
// (any double, NaN included, bit for bit) in their place. False when the file is not as
// libplist writes it.
bool restoreBinaryDates(std::string& bytes, const std::vector<double>& dates);

// The XML form of a value (plist_xml.cpp); empty when there is no value.
std::string writeXml(const Value& root);

// The XML date text nearest to a date that the reader reads back: whole seconds (a fraction is
// dropped, as the platform's XML writer does), from the first second of the year 0000 to the
// last of 9999 (what four digits of year can say; beyond, the nearest end), and the reference
// date for a date that is not a number.
std::string xmlDateNearest(double seconds);

// Seconds since the reference date for an XML date text ("2020-05-17T10:30:15Z", an optional
// fraction of a second), or nothing.
std::optional<double> parseXmlDate(std::string_view text);

}  // namespace platform::plist::detail
