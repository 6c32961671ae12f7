#pragma once

#include <charconv>
#include <string_view>
#include <system_error>

// The pieces of the small text records kept beside the game folder (the
// digest cache, the ranges of a file fetched in parts). They are read back
// from a disk where anything may have happened: nothing is taken that the
// writer could not have written.
namespace orvanta {

// A decimal number as the writers print it: digits only, no sign, no
// leading zero, within T.
template <typename T>
bool ParseDecimal(std::string_view text, T* pValue)
{
    if (text.empty() || (text.size() > 1 && text[0] == '0'))
        return false;
    const auto [pEnd, ec] = std::from_chars(text.data(), text.data() + text.size(), *pValue);
    return ec == std::errc() && pEnd == text.data() + text.size();
}

// Splits off the text up to the next separator (a blank between fields, a
// line break after a line); false when there is none, as in a line cut
// short.
inline bool NextField(std::string_view* pText, std::string_view* pField, char separator = ' ')
{
    const std::size_t nAt = pText->find(separator);
    if (nAt == std::string_view::npos)
        return false;
    *pField = pText->substr(0, nAt);
    pText->remove_prefix(nAt + 1);
    return true;
}

} // namespace orvanta
