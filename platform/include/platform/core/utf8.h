// UTF-8 as the platform's texts hold it: a lone UTF-16 surrogate (half of an emoji pair, kept
// from a file of the phone's) is encoded as its code point's three bytes, so decoding passes
// surrogates through and leaves the judgement to the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace platform::utf8 {

// The code point that starts at `i`, surrogates included, and moves `i` past it; nothing when
// the bytes there are no such encoding (cut short, overlong, beyond U+10FFFF).
std::optional<uint32_t> nextCodePoint(std::string_view s, size_t& i);

inline bool isSurrogate(uint32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

}  // namespace platform::utf8
