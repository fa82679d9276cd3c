// The EDID images of real monitors in tests/data/edid (see SOURCES.md there).
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace edidfiles {

inline const char* const names[] = {"compaq-v700.bin", "sony-cpd-g400.bin", "eizo-l788.bin", "dell-d3218hn.bin"};

inline std::string PathOf(const std::string& name) { return std::string(ZARN_SOURCE_DIR) + "/tests/data/edid/" + name; }

inline std::vector<uint8_t> Read(const std::string& name) {
    std::ifstream file(PathOf(name), std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

}  // namespace edidfiles
