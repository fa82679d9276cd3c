// Names of control codes and status values, for reading scripts and writing reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zarnsim {

// A control code given by name (IOCTL_VIDEO_...) or number; false when it is neither.
bool ParseControlCode(const std::string& text, uint32_t* code);
// Every control code name ParseControlCode knows, in its order.
std::vector<std::string> ControlCodeNames();
// The name of a control code, or its number in hexadecimal.
std::string ControlCodeName(uint32_t code);
// "87 ERROR_INVALID_PARAMETER", or just the number.
std::string StatusText(uint32_t status);
std::string Hex32(uint32_t value);

}  // namespace zarnsim
