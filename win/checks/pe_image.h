// Reading and checking a PE image as the Windows loader would see a kernel-mode driver.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pe {

struct Section {
    std::string name;
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;
};

// Section characteristics the loader maps by.
constexpr uint32_t SectionExecute = 0x20000000;
constexpr uint32_t SectionRead = 0x40000000;
constexpr uint32_t SectionWrite = 0x80000000;

// One imported routine: by name (ordinal 0) or by ordinal, and the RVA of the import address table
// slot the loader fills with the routine's address.
struct Import {
    std::string dll;
    std::string name;
    uint32_t ordinal = 0;
    uint32_t slotRva = 0;
};

struct Image {
    std::vector<uint8_t> bytes;
    uint32_t peOffset = 0;
    uint16_t machine = 0;
    uint16_t characteristics = 0;
    uint16_t magic = 0;
    uint16_t subsystem = 0;
    uint32_t entryPoint = 0;
    uint32_t imageBase = 0;
    uint32_t sectionAlignment = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t checksum = 0;
    uint32_t checksumOffset = 0;
    std::vector<Section> sections;
    std::vector<std::string> importedDlls;
    std::vector<Import> imports;
    uint32_t relocationsRva = 0;
    uint32_t relocationsSize = 0;
    // COFF symbols when the image keeps its symbol table: name and RVA.
    std::vector<std::pair<std::string, uint32_t>> symbols;
};

// Parses the headers, sections, import directory and symbol table; false with a reason on error.
// Everything the file refers to is checked to lie inside it.
bool Parse(std::vector<uint8_t> bytes, Image* image, std::string* error);

// The PE checksum of the file, computed with the checksum field itself counted as zero.
uint32_t ComputeChecksum(const std::vector<uint8_t>& bytes, uint32_t checksumOffset);

struct CheckResult {
    std::string name;
    bool passed = false;
    std::string detail;
};

// The checks of a kernel-mode driver for i386 Windows with the given entry point symbol.
std::vector<CheckResult> CheckDriver(const Image& image, const std::string& entrySymbol);

}  // namespace pe
