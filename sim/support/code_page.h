// The system's ANSI code page: what RtlUnicodeStringToAnsiString and RtlAnsiStringToUnicodeString
// convert between. A Western system's is taken as Latin-1; a Japanese system's is code page 932
// (Shift-JIS as Windows has it), from tables generated out of Python's codec of it at build time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

enum class AnsiCodePage { Latin1, ShiftJis };

// "latin1" or "932"; false for any other text.
bool ParseAnsiCodePage(const std::string& text, AnsiCodePage* page);

// UTF-16 text as ANSI bytes: a character the code page lacks becomes '?'.
std::string AnsiOfUnicode(std::u16string_view text, AnsiCodePage page);
// The bytes of at most `room` whole characters' worth of the text: a character of two bytes that
// would not fit whole is left out, as the platform leaves it out.
std::string AnsiOfUnicodeWithin(std::u16string_view text, AnsiCodePage page, size_t room);
// ANSI bytes as UTF-16 text: on 932 a lead byte and the byte after it make one character (U+30FB,
// the code page's default character, for a byte or pair it lacks or a lead byte that ends the text).
std::u16string UnicodeOfAnsi(const uint8_t* bytes, size_t length, AnsiCodePage page);

}  // namespace sim
