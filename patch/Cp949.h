#pragma once

#include <string>
#include <string_view>

// Texts travel and are stored by the game as CP949 bytes. These convert
// between CP949 and UTF-8. Bytes that are not valid in the source encoding
// are replaced (U+FFFD towards UTF-8, '?' towards CP949), so the result is
// always well formed; ok reports whether the conversion was exact.
namespace orvanta {

std::string Cp949ToUtf8(std::string_view cp949, bool* ok = nullptr);
std::string Utf8ToCp949(std::string_view utf8, bool* ok = nullptr);

} // namespace orvanta
