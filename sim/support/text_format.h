// printf-style formatting into a std::string, for reports and messages.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A number in hexadecimal with a 0x prefix and no leading zeros (0x1a2b), as messages show addresses.
std::string Hex(uint64_t value);

}  // namespace sim
