#include "json.h"

#include <cstdio>
#include <cstdlib>

namespace zarnsim {

std::string DumpJson(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

double SixDigits(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return std::strtod(text, nullptr);
}

}  // namespace zarnsim
