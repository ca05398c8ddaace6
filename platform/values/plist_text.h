// Texts as the phone's files hold them, and how they pass through libplist.
//
// The phone's strings are UTF-16, and a file may hold what no UTF-8 can: half of a surrogate
// pair (a truncated emoji) or a NUL character. A Value's string keeps such text as UTF-8 in
// which a lone surrogate takes the three bytes its code point would (ED A0 80 to ED BF BF) and a
// NUL is the byte 0; a surrogate pair is always one four-byte character. Text converts from
// UTF-16 to this form and back unit for unit.
//
// libplist drops a lone surrogate and aborts on a NUL, so the reader hands it a placeholder for
// such a text, the mark U+FFFF followed by the text's index in a list of its own, and the writer
// does the same. A text that itself starts with the mark goes the same way, so that whatever
// libplist gives back starting with the mark is one of ours.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::plist::detail {

inline constexpr std::string_view kPlaceholderMark = "\xEF\xBF\xBF";  // U+FFFF

// Appends a code point (surrogates included); a low surrogate right after a high one joins it
// into the one character the pair stands for.
void appendCodePoint(std::string& out, uint32_t cp);

// UTF-8 proper: no surrogates.
bool validUtf8(std::string_view s);

// The bytes as a Value's text (pairs written as two halves joined); nothing when they are none.
std::optional<std::string> canonicalText(std::string_view s);

// Whether libplist cannot carry the text as it is: a NUL, a lone surrogate, or the mark first.
bool needsPlaceholder(std::string_view s);

std::string placeholder(size_t index);
// The index a placeholder stands for; nothing when the text is none.
std::optional<size_t> placeholderIndex(std::string_view s);

// The text of an XML <string> or <key> element: the five entities, character references and
// CDATA sections decoded. Nothing when it holds anything else (an element, a comment, another
// entity) or is no text.
std::optional<std::string> decodeXmlText(std::string_view content);

// Text as the content of an XML element: &, < and > as entities, and what XML has no character
// for (a NUL, a lone surrogate) as a character reference ("&#x0;", "&#xD83D;").
std::string xmlText(std::string_view s);

}  // namespace platform::plist::detail
