// printf-style formatting into a std::string, for reports and messages.
#pragma once

#include <string>

namespace sim {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sim
