// Numbers as the command line and scripts take them: decimal, or hexadecimal after 0x or 0X. A
// leading zero does not make a number octal (010 is ten); no sign, no blanks.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

// The number `text` writes, when it is one no larger than `max`.
bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value);

}  // namespace sim
