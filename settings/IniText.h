#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>

// The store file outside Windows is shared with the game client and with
// people who edit it by hand. Qt's INI writer rewrites the whole file from
// what its reader understood, so a value it cannot read back as written
// (WinPath=C:\Games\Orvanta) comes out changed, comments go and spaces are
// trimmed. These two functions let the store change its own lines and keep
// every other byte of the file.
namespace orvanta::settings {

// The stored form of a text value (UTF-8) that Qt's INI reader reads back
// as that text: backslashes, quotes and control characters escaped, quoted
// when it holds ';', ',' or '=' or starts or ends with a space.
std::string IniTextValue(std::string_view utf8);

// The file text with each key of the General section (the lines before the
// first section header, and those under "[General]") set to its stored
// form: a line holding the key keeps everything up to its '=' and gets the
// new value; a key not in the file is added at the end of that section.
// Every other line stays as it was, line endings included.
std::string SpliceIniValues(std::string_view text, std::span<const std::pair<std::string, std::string>> values);

} // namespace orvanta::settings
