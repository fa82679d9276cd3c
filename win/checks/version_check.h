// The version resource of a driver image against the INF it installs with: both must carry the one
// version the build sets.
#pragma once

#include <string>
#include <vector>

#include "inf_file.h"
#include "pe_image.h"

namespace inf {

// "version resource" (present and readable) and "version agrees with the INF" (file and product
// version, fixed and as text, equal to DriverVer's version). `shown` receives the resource as
// pecheck prints it.
std::vector<pe::CheckResult> CheckVersion(const pe::Image& image, const File& inf, std::string* shown);

}  // namespace inf
