#include "pe_image.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace pe {

namespace {

uint16_t Word(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t Dword(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// File offset of an RVA, or 0 when no section holds it.
uint32_t FileOffset(const Image& image, uint32_t rva) {
    for (const Section& section : image.sections) {
        if (rva >= section.virtualAddress && rva < section.virtualAddress + std::max(section.virtualSize, section.rawSize)) {
            uint32_t offset = rva - section.virtualAddress;
            if (offset >= section.rawSize || uint64_t{section.rawOffset} + offset >= image.bytes.size()) return 0;
            return section.rawOffset + offset;
        }
    }
    return 0;
}

// The section whose virtual range holds an RVA, or null.
const Section* SectionOf(const Image& image, uint32_t rva) {
    for (const Section& section : image.sections) {
        if (rva >= section.virtualAddress && rva - section.virtualAddress < std::max(section.virtualSize, section.rawSize)) {
            return &section;
        }
    }
    return nullptr;
}

std::string CString(const std::vector<uint8_t>& b, size_t at) {
    std::string text;
    while (at < b.size() && b[at]) text.push_back(static_cast<char>(b[at++]));
    return text;
}

// The routines one import descriptor names, each with its import address table slot.
bool ParseImportedRoutines(Image* image, const std::string& dll, uint32_t lookupRva, uint32_t slotRva,
                           std::string* error) {
    const std::vector<uint8_t>& b = image->bytes;
    for (uint32_t index = 0;; ++index) {
        uint32_t at = FileOffset(*image, lookupRva + 4 * index);
        if (!at || at + 4 > b.size()) return *error = "import lookup table of " + dll + " outside the image", false;
        uint32_t entry = Dword(b, at);
        if (entry == 0) return true;
        Import import;
        import.dll = dll;
        import.slotRva = slotRva + 4 * index;
        if (entry & 0x80000000) {
            import.ordinal = entry & 0xFFFF;
        } else {
            uint32_t hintName = FileOffset(*image, entry);
            if (!hintName || hintName + 2 >= b.size()) return *error = "import name of " + dll + " outside the image", false;
            import.name = CString(b, hintName + 2);
        }
        image->imports.push_back(import);
    }
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

uint32_t ComputeChecksum(const std::vector<uint8_t>& bytes, uint32_t checksumOffset) {
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        if (i == checksumOffset || i == checksumOffset + 2) continue;
        uint32_t word = bytes[i] | (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum) + static_cast<uint32_t>(bytes.size());
}

bool Parse(std::vector<uint8_t> bytes, Image* image, std::string* error) {
    *image = Image{};
    image->bytes = std::move(bytes);
    const std::vector<uint8_t>& b = image->bytes;
    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') return *error = "not an MZ executable", false;
    image->peOffset = Dword(b, 0x3C);
    size_t pe = image->peOffset;
    if (pe + 24 > b.size() || std::memcmp(&b[pe], "PE\0\0", 4) != 0) return *error = "no PE signature", false;
    image->machine = Word(b, pe + 4);
    uint16_t sectionCount = Word(b, pe + 6);
    uint32_t symbolTable = Dword(b, pe + 12);
    uint32_t symbolCount = Dword(b, pe + 16);
    uint16_t optionalSize = Word(b, pe + 20);
    image->characteristics = Word(b, pe + 22);
    size_t opt = pe + 24;
    if (opt + optionalSize > b.size() || optionalSize < 96) return *error = "truncated optional header", false;
    image->magic = Word(b, opt);
    if (image->magic != 0x10B) return *error = "not a PE32 image", false;
    image->entryPoint = Dword(b, opt + 16);
    image->imageBase = Dword(b, opt + 28);
    image->sectionAlignment = Dword(b, opt + 32);
    image->sizeOfImage = Dword(b, opt + 56);
    image->sizeOfHeaders = Dword(b, opt + 60);
    image->checksumOffset = static_cast<uint32_t>(opt + 64);
    image->checksum = Dword(b, opt + 64);
    image->subsystem = Word(b, opt + 68);
    uint32_t directories = std::min<uint32_t>(Dword(b, opt + 92), (optionalSize - 96u) / 8);

    size_t sectionTable = opt + optionalSize;
    if (sectionTable + 40u * sectionCount > b.size()) return *error = "truncated section table", false;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        size_t at = sectionTable + 40u * i;
        Section section;
        section.name = std::string(reinterpret_cast<const char*>(&b[at]), strnlen(reinterpret_cast<const char*>(&b[at]), 8));
        section.virtualSize = Dword(b, at + 8);
        section.virtualAddress = Dword(b, at + 12);
        section.rawSize = Dword(b, at + 16);
        section.rawOffset = Dword(b, at + 20);
        section.characteristics = Dword(b, at + 36);
        image->sections.push_back(section);
    }

    if (directories > 1) {
        uint32_t importRva = Dword(b, opt + 96 + 8);
        for (uint32_t at = FileOffset(*image, importRva); at && at + 20 <= b.size(); at += 20) {
            uint32_t nameRva = Dword(b, at + 12);
            if (nameRva == 0) break;
            uint32_t nameOffset = FileOffset(*image, nameRva);
            if (!nameOffset) return *error = "import name outside the image", false;
            std::string dll = CString(b, nameOffset);
            image->importedDlls.push_back(dll);
            uint32_t lookupRva = Dword(b, at) ? Dword(b, at) : Dword(b, at + 16);
            if (!ParseImportedRoutines(image, dll, lookupRva, Dword(b, at + 16), error)) return false;
        }
    }
    if (directories > 5) {
        image->relocationsRva = Dword(b, opt + 96 + 5 * 8);
        image->relocationsSize = Dword(b, opt + 96 + 5 * 8 + 4);
    }

    image->symbolTableOffset = symbolTable;
    image->symbolCount = symbolCount;
    if (symbolTable && symbolTable + 18ull * symbolCount <= b.size()) {
        size_t strings = symbolTable + 18ull * symbolCount;
        for (uint32_t i = 0; i < symbolCount; ++i) {
            size_t at = symbolTable + 18ull * i;
            std::string name;
            if (Dword(b, at) == 0) name = CString(b, strings + Dword(b, at + 4));
            else name = std::string(reinterpret_cast<const char*>(&b[at]), strnlen(reinterpret_cast<const char*>(&b[at]), 8));
            int16_t sectionNumber = static_cast<int16_t>(Word(b, at + 12));
            uint8_t auxCount = b[at + 17];
            if (sectionNumber > 0 && sectionNumber <= sectionCount) {
                image->symbols.emplace_back(name, image->sections[sectionNumber - 1].virtualAddress + Dword(b, at + 8));
            }
            i += auxCount;
        }
    }
    return true;
}

std::vector<std::pair<std::string, uint32_t>> MapSymbols(const std::string& mapText) {
    std::vector<std::pair<std::string, uint32_t>> symbols;
    std::istringstream lines(mapText);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream fields(line);
        std::string value, name, rest;
        // A symbol line is an address followed by the name alone.
        if (!(fields >> value >> name) || (fields >> rest) || value.rfind("0x", 0) != 0) continue;
        char* end = nullptr;
        unsigned long long parsed = std::strtoull(value.c_str() + 2, &end, 16);
        if (*end != '\0' || parsed > 0xFFFFFFFFull) continue;
        symbols.emplace_back(name, static_cast<uint32_t>(parsed));
    }
    return symbols;
}

bool FindMapSymbol(const std::string& mapText, const std::string& symbol, uint32_t* address) {
    std::string bare = symbol.size() > 1 && symbol[0] == '_' ? symbol.substr(1) : symbol;
    for (const auto& [name, value] : MapSymbols(mapText)) {
        if (name != symbol && name != bare) continue;
        *address = value;
        return true;
    }
    return false;
}

std::vector<CheckResult> CheckDriver(const Image& image, const EntryExpectation& entry) {
    std::vector<CheckResult> results;
    auto check = [&](const std::string& name, bool passed, const std::string& detail) {
        results.push_back(CheckResult{name, passed, detail});
    };

    check("PE32", image.magic == 0x10B, "optional header magic");
    check("machine i386", image.machine == 0x14C, "machine field");
    check("subsystem native", image.subsystem == 1, "subsystem " + std::to_string(image.subsystem));
    check("not a DLL", !(image.characteristics & 0x2000), "characteristics");
    check("relocations", image.relocationsSize > 0, "a driver must be relocatable");

    std::string badImports;
    for (const std::string& dll : image.importedDlls) {
        std::string name = Lower(dll);
        if (name != "videoprt.sys" && name != "ntoskrnl.exe" && name != "hal.dll") badImports += " " + dll;
    }
    check("imports only videoprt.sys, ntoskrnl.exe and hal.dll", badImports.empty() && !image.importedDlls.empty(),
          badImports.empty() ? "" : "also imports" + badImports);

    std::string constructorSections;
    for (const Section& section : image.sections) {
        for (const char* bad : {".ctors", ".dtors", ".init_ar", ".fini_ar", ".CRT", ".tls", ".eh_fram"}) {
            if (section.name.rfind(bad, 0) == 0) constructorSections += " " + section.name;
        }
    }
    check("no constructor, exception or thread-local tables", constructorSections.empty(), constructorSections);

    uint32_t expected = ComputeChecksum(image.bytes, image.checksumOffset);
    char detail[64];
    std::snprintf(detail, sizeof detail, "header 0x%08X, computed 0x%08X", image.checksum, expected);
    check("valid checksum", image.checksum != 0 && image.checksum == expected, detail);

    check("stripped", image.symbolTableOffset == 0 && image.symbolCount == 0,
          image.symbolCount ? std::to_string(image.symbolCount) + " COFF symbols left in the image" : "");

    const Section* entrySection = SectionOf(image, image.entryPoint);
    check("entry point in an executable section",
          entrySection != nullptr && (entrySection->characteristics & SectionExecute) != 0,
          entrySection ? "entry point in " + entrySection->name : "entry point in no section");

    std::string entryDetail;
    bool entryMatches = entry.inMap && entry.address - image.imageBase == image.entryPoint;
    if (!entry.inMap) entryDetail = "symbol not in the link map";
    else if (!entryMatches) entryDetail = "entry point is elsewhere";
    check("entry point " + entry.symbol, entryMatches, entryDetail);
    return results;
}

}  // namespace pe
