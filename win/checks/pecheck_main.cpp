// pecheck: checks that a file is a kernel-mode driver image for i386 Windows. The image is shipped
// stripped; its link map (by default the .map file beside it) says where the entry point must be.
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "pe_image.h"

namespace {

bool ReadFile(const std::string& path, std::string* bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream text;
    text << file.rdbuf();
    *bytes = text.str();
    return static_cast<bool>(file) || file.eof();
}

std::string MapBeside(const std::string& image) {
    size_t dot = image.find_last_of('.');
    size_t slash = image.find_last_of('/');
    bool hasSuffix = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasSuffix ? image.substr(0, dot) : image) + ".map";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::cerr << "usage: pecheck DRIVER.sys [DRIVER.map]\n";
        return 2;
    }
    const std::string imagePath = argv[1];
    const std::string mapPath = argc == 3 ? argv[2] : MapBeside(imagePath);
    std::string image, map;
    if (!ReadFile(imagePath, &image)) {
        std::cerr << "pecheck: cannot open " << imagePath << "\n";
        return 2;
    }
    if (!ReadFile(mapPath, &map)) {
        std::cerr << "pecheck: cannot open the link map " << mapPath << " (give it as the second argument)\n";
        return 2;
    }
    pe::Image parsed;
    std::string error;
    if (!pe::Parse(std::vector<uint8_t>(image.begin(), image.end()), &parsed, &error)) {
        std::cerr << "pecheck: " << imagePath << ": " << error << "\n";
        return 1;
    }
    pe::EntryExpectation entry{"_DriverEntry@8"};
    entry.inMap = pe::FindMapSymbol(map, entry.symbol, &entry.address);
    bool ok = true;
    for (const pe::CheckResult& result : pe::CheckDriver(parsed, entry)) {
        std::cout << (result.passed ? "ok   " : "FAIL ") << result.name;
        if (!result.detail.empty()) std::cout << " (" << result.detail << ")";
        std::cout << "\n";
        ok = ok && result.passed;
    }
    return ok ? 0 : 1;
}
