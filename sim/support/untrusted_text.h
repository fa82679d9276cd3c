// Text from outside the simulator's own code (option ROM images, registry values, script files),
// made safe to show. On a terminal every character that is not printable ASCII, and the backslash,
// becomes a visible escape (\x1b, \u00e9, \\), so no control character or escape sequence reaches
// the terminal. In JSON the text is UTF-8, whatever bytes it was made of.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Bytes read as Latin-1, one character each (the option ROM's texts).
std::u32string CodePointsOfLatin1(const std::string& bytes);
// UTF-16LE up to the first zero character; an unpaired surrogate becomes U+FFFD.
std::u32string CodePointsOfUtf16(const std::vector<uint8_t>& bytes);

std::string TerminalText(const std::u32string& text);
std::string TerminalText(const std::string& latin1);
std::string Utf8Text(const std::u32string& text);
std::string Utf8Text(const std::string& latin1);

}  // namespace sim
