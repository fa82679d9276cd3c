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
    uint32_t entryPoint = 0;       // AddressOfEntryPoint, an RVA
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
    uint32_t resourceRva = 0;         // the resource directory (version information), 0 when absent
    uint32_t resourceSize = 0;
    uint32_t symbolTableOffset = 0;   // PointerToSymbolTable; 0 in a stripped image
    uint32_t symbolCount = 0;
    // COFF symbols when the image keeps its symbol table: name and RVA.
    std::vector<std::pair<std::string, uint32_t>> symbols;
};

// Parses the headers, sections, import directory and symbol table (empty in a stripped image); false
// with a reason on error. Every header field the file cannot satisfy is refused, naming the field:
// an offset or size past the end of the file, a section, directory or entry point outside the image,
// an image base off 64 KiB, alignments that are no powers of two.
bool Parse(std::vector<uint8_t> bytes, Image* image, std::string* error);

// The address the linker gave a symbol, from the text of its link map (GNU ld's -Map output, which
// lists "0x00011ae0   DriverEntry@8"; the leading underscore of a C name may be left out). False
// when the map does not list it.
bool FindMapSymbol(const std::string& mapText, const std::string& symbol, uint32_t* address);
// Every symbol line of a link map: name as the map writes it and address. Linked with
// --no-demangle, the names are those the image's COFF symbol table would hold.
std::vector<std::pair<std::string, uint32_t>> MapSymbols(const std::string& mapText);

// The version resource (VS_VERSIONINFO): the fixed file information and the strings of its first
// string table.
struct VersionInfo {
    std::string fileVersion;      // "a.b.c.d" from the fixed file information
    std::string productVersion;
    uint32_t fileFlags = 0;       // VS_FF_DEBUG (1) for a checked build
    uint32_t fileType = 0;        // VFT_DRV (3)
    uint32_t fileSubtype = 0;     // VFT2_DRV_DISPLAY (4)
    std::vector<std::pair<std::string, std::string>> strings;   // CompanyName, FileVersion, ...

    // The string of that name, or empty.
    std::string String(const std::string& name) const;
};

// Reads the version resource through the resource directory; false with a reason when the image
// has none or it does not lie inside the file.
bool ReadVersion(const Image& image, VersionInfo* version, std::string* error);

// Whether the image carries a resource of that type (16 version, 11 message table).
bool HasResource(const Image& image, uint32_t type);

// The PE checksum of the file, computed with the checksum field itself counted as zero.
uint32_t ComputeChecksum(const std::vector<uint8_t>& bytes, uint32_t checksumOffset);

// One base relocation: the RVA of the word the loader adjusts and the relocation's type
// (3, IMAGE_REL_BASED_HIGHLOW: a 32-bit address).
struct Relocation {
    uint32_t rva = 0;
    uint16_t type = 0;
};

// The base relocation blocks in file order, without the padding entries (type 0) that round a block
// to four bytes; false with a reason when a block runs past the directory or the file, or a fixup's
// word lies outside the image.
bool ReadRelocations(const Image& image, std::vector<Relocation>* relocations, std::string* error);

struct CheckResult {
    std::string name;
    bool passed = false;
    std::string detail;
};

// What the entry point must be: the symbol, and its address in the link map (when the map has it).
struct EntryExpectation {
    std::string symbol;
    bool inMap = false;
    uint32_t address = 0;   // a virtual address: the image base plus the RVA
};

// The modules a display miniport may import from (lower case): the modules of the table of platform
// routines (sim/image/platform_routines.h), which a test compares with this list.
inline constexpr const char* DriverImportModules[] = {"videoprt.sys", "ntoskrnl.exe", "hal.dll"};

// The checks of a kernel-mode driver for i386 Windows: among them, that the image is stripped, that
// its relocations can be read, and that its entry point (AddressOfEntryPoint) lies in an executable section at the expected symbol.
std::vector<CheckResult> CheckDriver(const Image& image, const EntryExpectation& entry);

}  // namespace pe
