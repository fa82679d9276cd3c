// The command line's machine-readable output: JSON values from nlohmann/json whose object members
// keep the order in which they were set.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace zarnsim {

using Json = nlohmann::ordered_json;

// One line of JSON text. Strings are meant to hold UTF-8 already (text from the machine is
// converted before it gets here); a byte that is not UTF-8 all the same becomes U+FFFD, so the
// output is always valid UTF-8.
std::string DumpJson(const Json& json);

// A measured value (a clock, a rate) with the six significant digits the reports show.
double SixDigits(double value);

}  // namespace zarnsim
