// printf-style formatting into a std::string, for reports and messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A number in hexadecimal with a 0x prefix and no leading zeros (0x1a2b), as messages show addresses.
std::string Hex(uint64_t value);

// Text compared as the registry and the file system compare names: ASCII letters in either case.
std::string LowerAscii(std::string text);
bool SameTextAnyCase(const std::string& a, const std::string& b);
bool StartsWithAnyCase(const std::string& text, const std::string& prefix);

// UTF-16 text as the Latin-1 bytes the simulated registry keeps names in; a unit beyond Latin-1
// becomes '?'.
std::string Latin1Of(std::u16string_view text);

}  // namespace sim
