#include "version_check.h"

namespace inf {

std::vector<pe::CheckResult> CheckVersion(const pe::Image& image, const File& inf, std::string* shown) {
    pe::VersionInfo version;
    std::string error;
    if (!pe::ReadVersion(image, &version, &error)) return {{"version resource", false, error}};
    *shown = "version: file " + version.fileVersion + ", product " + version.productVersion +
             (version.fileFlags & 1 ? ", checked build" : "") + "\n";
    for (const auto& [key, value] : version.strings) *shown += "  " + key + ": " + value + "\n";
    std::string driverVer = DriverVersion(inf);
    bool agree = !driverVer.empty() && version.fileVersion == driverVer && version.productVersion == driverVer &&
                 version.String("FileVersion") == driverVer && version.String("ProductVersion") == driverVer;
    return {{"version resource", true, ""},
            {"version agrees with the INF", agree,
             "DriverVer " + (driverVer.empty() ? std::string("missing") : driverVer) + ", resource " +
                 version.fileVersion + " / " + version.String("FileVersion")}};
}

}  // namespace inf
