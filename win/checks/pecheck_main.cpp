// pecheck: checks that a file is a kernel-mode driver image for i386 Windows. The image is shipped
// stripped; its link map (by default the .map file beside it) says where the entry point must be.
// It prints the image's version resource, which must agree with DriverVer of the INF the image
// installs with (by default zarn.inf beside it). With --list it first lists the image's sections,
// imports and base relocations, one a line, for readers that check them against other tools.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "inf_file.h"
#include "pe_image.h"
#include "version_check.h"

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

std::string InfBeside(const std::string& image) {
    size_t slash = image.find_last_of('/');
    return (slash == std::string::npos ? std::string() : image.substr(0, slash + 1)) + "zarn.inf";
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// The sections, imports and relocations, one a line; false when the relocations cannot be read.
bool List(const pe::Image& image) {
    for (const pe::Section& section : image.sections) {
        std::cout << "section " << section.name << " rva " << Hex(section.virtualAddress) << " size "
                  << Hex(section.virtualSize) << " raw " << Hex(section.rawOffset) << " rawsize " << Hex(section.rawSize)
                  << " flags " << Hex(section.characteristics) << "\n";
    }
    for (const pe::Import& import : image.imports) {
        std::cout << "import " << import.dll << " "
                  << (import.name.empty() ? "#" + std::to_string(import.ordinal) : import.name) << " slot "
                  << Hex(import.slotRva) << "\n";
    }
    std::vector<pe::Relocation> relocations;
    std::string error;
    if (!pe::ReadRelocations(image, &relocations, &error)) {
        std::cerr << "pecheck: " << error << "\n";
        return false;
    }
    for (const pe::Relocation& relocation : relocations) {
        std::cout << "relocation " << Hex(relocation.rva) << " type " << relocation.type << "\n";
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool list = argc > 1 && std::string(argv[1]) == "--list";
    if (list) {
        --argc;
        ++argv;
    }
    if (argc < 2 || argc > 4) {
        std::cerr << "usage: pecheck [--list] DRIVER.sys [DRIVER.map [DRIVER.inf]]\n";
        return 2;
    }
    const std::string imagePath = argv[1];
    const std::string mapPath = argc >= 3 ? argv[2] : MapBeside(imagePath);
    const std::string infPath = argc == 4 ? argv[3] : InfBeside(imagePath);
    std::string image, map, infText;
    if (!ReadFile(imagePath, &image)) {
        std::cerr << "pecheck: cannot open " << imagePath << "\n";
        return 2;
    }
    if (!ReadFile(mapPath, &map)) {
        std::cerr << "pecheck: cannot open the link map " << mapPath << " (give it as the second argument)\n";
        return 2;
    }
    inf::File inf;
    std::string infError;
    if (!ReadFile(infPath, &infText)) {
        std::cerr << "pecheck: cannot open the INF " << infPath << " (give it as the third argument)\n";
        return 2;
    }
    if (!inf::Parse(infText, &inf, &infError)) {
        std::cerr << "pecheck: " << infPath << ": " << infError << "\n";
        return 2;
    }
    pe::Image parsed;
    std::string error;
    if (!pe::Parse(std::vector<uint8_t>(image.begin(), image.end()), &parsed, &error)) {
        std::cerr << "pecheck: " << imagePath << ": " << error << "\n";
        return 1;
    }
    bool ok = !list || List(parsed);
    pe::EntryExpectation entry{"_DriverEntry@8"};
    entry.inMap = pe::FindMapSymbol(map, entry.symbol, &entry.address);
    std::vector<pe::CheckResult> results = pe::CheckDriver(parsed, entry);
    std::string version;
    for (pe::CheckResult& result : inf::CheckVersion(parsed, inf, &version)) results.push_back(std::move(result));
    std::cout << version;
    for (const pe::CheckResult& result : results) {
        std::cout << (result.passed ? "ok   " : "FAIL ") << result.name;
        if (!result.detail.empty()) std::cout << " (" << result.detail << ")";
        std::cout << "\n";
        ok = ok && result.passed;
    }
    return ok ? 0 : 1;
}
