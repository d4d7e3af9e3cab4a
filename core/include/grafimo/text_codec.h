#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace grafimo {

// Device descriptions are kept as Windows-1251 bytes (one byte per character) while
// the windows work in UTF-8.

// UTF-8 text as Windows-1251 bytes. Empty when the input is not valid UTF-8
// (overlong forms, surrogates, truncated sequences included) or holds a character
// that Windows-1251 cannot store.
std::optional<std::string> utf8ToCp1251(std::string_view utf8);

// Windows-1251 bytes as UTF-8. Every byte maps to one character; 0x98, which has no
// character in Windows-1251, becomes U+FFFD.
std::string cp1251ToUtf8(std::string_view bytes);

} // namespace grafimo
