#include "pe_image.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>

namespace pe {

namespace {

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

bool Fail(std::string* error, std::string message) {
    *error = std::move(message);
    return false;
}

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
        if (!at || at + 4 > b.size()) {
            return Fail(error, "the import lookup table (OriginalFirstThunk) of " + dll + " at RVA " +
                                   Hex(lookupRva + 4 * index) + " lies outside the file's sections");
        }
        uint32_t entry = Dword(b, at);
        if (entry == 0) return true;
        Import import;
        import.dll = dll;
        import.slotRva = slotRva + 4 * index;
        if (entry & 0x80000000) {
            import.ordinal = entry & 0xFFFF;
        } else {
            uint32_t hintName = FileOffset(*image, entry);
            if (!hintName || hintName + 2 >= b.size()) {
                return Fail(error, "the Hint/Name RVA " + Hex(entry) + " of an import of " + dll +
                                       " lies outside the file's sections");
            }
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

namespace {

// The data directories whose contents a loader or a check reads.
constexpr const char* DirectoryNames[] = {"export",    "import",    "resource", "exception", "security",
                                          "base relocation", "debug", "architecture", "global pointer",
                                          "thread-local storage", "load configuration", "bound import",
                                          "import address table", "delay import", "runtime", "reserved"};

// Every field of the headers that the file must satisfy: each names the field it refuses.
bool CheckLayout(const Image& image, uint32_t fileAlignment, uint32_t directories, size_t opt, std::string* error) {
    const std::vector<uint8_t>& b = image.bytes;
    if (image.imageBase % 0x10000) {
        return Fail(error, "ImageBase " + Hex(image.imageBase) + " is not a multiple of 64 KiB");
    }
    if (fileAlignment < 0x200 || fileAlignment > 0x10000 || (fileAlignment & (fileAlignment - 1))) {
        return Fail(error, "FileAlignment " + Hex(fileAlignment) + " is not a power of two from 512 to 64 KiB");
    }
    if (image.sectionAlignment < fileAlignment || (image.sectionAlignment & (image.sectionAlignment - 1))) {
        return Fail(error, "SectionAlignment " + Hex(image.sectionAlignment) +
                               " is not a power of two at least FileAlignment");
    }
    if (image.sizeOfHeaders > b.size()) {
        return Fail(error, "SizeOfHeaders " + Hex(image.sizeOfHeaders) + " runs past the end of the file (" +
                               Hex(b.size()) + " bytes)");
    }
    if (image.sizeOfImage == 0 || image.sizeOfHeaders > image.sizeOfImage) {
        return Fail(error, "SizeOfImage " + Hex(image.sizeOfImage) + " does not hold SizeOfHeaders " +
                               Hex(image.sizeOfHeaders));
    }
    if (image.entryPoint >= image.sizeOfImage) {
        return Fail(error, "AddressOfEntryPoint " + Hex(image.entryPoint) + " lies outside the image (SizeOfImage " +
                               Hex(image.sizeOfImage) + ")");
    }
    for (const Section& section : image.sections) {
        const std::string name = "section " + (section.name.empty() ? std::string("(unnamed)") : section.name);
        if (uint64_t{section.rawOffset} + section.rawSize > b.size()) {
            return Fail(error, name + ": SizeOfRawData " + Hex(section.rawSize) + " from PointerToRawData " +
                                   Hex(section.rawOffset) + " runs past the end of the file (" + Hex(b.size()) +
                                   " bytes)");
        }
        uint64_t extent = section.virtualSize ? section.virtualSize : section.rawSize;
        if (section.virtualAddress < image.sizeOfHeaders || section.virtualAddress + extent > image.sizeOfImage) {
            return Fail(error, name + ": VirtualAddress " + Hex(section.virtualAddress) + " and VirtualSize " +
                                   Hex(extent) + " lie outside the image (SizeOfHeaders " +
                                   Hex(image.sizeOfHeaders) + ", SizeOfImage " + Hex(image.sizeOfImage) + ")");
        }
    }
    for (uint32_t i = 0; i < directories; ++i) {
        uint32_t rva = Dword(b, opt + 96 + 8 * i);
        uint32_t size = Dword(b, opt + 96 + 8 * i + 4);
        if (rva == 0 && size == 0) continue;
        // The security directory alone holds a file offset rather than an RVA.
        uint64_t limit = i == 4 ? b.size() : image.sizeOfImage;
        if (uint64_t{rva} + size > limit) {
            return Fail(error, std::string(DirectoryNames[i]) + " directory (RVA " + Hex(rva) + ", Size " + Hex(size) +
                                   ") lies outside the " + (i == 4 ? "file" : "image"));
        }
    }
    return true;
}

// The import descriptors: each names a module and its routines; a zero descriptor ends them.
bool ParseImports(Image* image, uint32_t importRva, std::string* error) {
    const std::vector<uint8_t>& b = image->bytes;
    if (!FileOffset(*image, importRva)) {
        return Fail(error, "import directory RVA " + Hex(importRva) + " lies in no section's data in the file");
    }
    for (uint32_t rva = importRva;; rva += 20) {
        uint32_t at = FileOffset(*image, rva);
        if (!at || FileOffset(*image, rva + 19) != at + 19) {
            return Fail(error, "import directory at RVA " + Hex(importRva) + " has no closing entry in the file");
        }
        uint32_t nameRva = Dword(b, at + 12);
        if (nameRva == 0) return true;
        uint32_t nameOffset = FileOffset(*image, nameRva);
        if (!nameOffset) {
            return Fail(error, "the Name RVA " + Hex(nameRva) + " of the import descriptor at RVA " + Hex(rva) +
                                   " lies outside the file's sections");
        }
        std::string dll = CString(b, nameOffset);
        image->importedDlls.push_back(dll);
        uint32_t lookupRva = Dword(b, at) ? Dword(b, at) : Dword(b, at + 16);
        if (!ParseImportedRoutines(image, dll, lookupRva, Dword(b, at + 16), error)) return false;
    }
}

}  // namespace

bool Parse(std::vector<uint8_t> bytes, Image* image, std::string* error) {
    *image = Image{};
    image->bytes = std::move(bytes);
    const std::vector<uint8_t>& b = image->bytes;
    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') return *error = "not an MZ executable", false;
    image->peOffset = Dword(b, 0x3C);
    size_t pe = image->peOffset;
    if (pe + 24 > b.size()) return Fail(error, "e_lfanew " + Hex(pe) + " points past the end of the file");
    if (std::memcmp(&b[pe], "PE\0\0", 4) != 0) return *error = "no PE signature", false;
    image->machine = Word(b, pe + 4);
    uint16_t sectionCount = Word(b, pe + 6);
    uint32_t symbolTable = Dword(b, pe + 12);
    uint32_t symbolCount = Dword(b, pe + 16);
    uint16_t optionalSize = Word(b, pe + 20);
    image->characteristics = Word(b, pe + 22);
    size_t opt = pe + 24;
    if (opt + optionalSize > b.size() || optionalSize < 96) {
        return Fail(error, "SizeOfOptionalHeader " + Hex(optionalSize) +
                               (optionalSize < 96 ? " is too small for a PE32 optional header" : " runs past the end of the file"));
    }
    image->magic = Word(b, opt);
    if (image->magic != 0x10B) return *error = "not a PE32 image", false;
    image->entryPoint = Dword(b, opt + 16);
    image->imageBase = Dword(b, opt + 28);
    image->sectionAlignment = Dword(b, opt + 32);
    uint32_t fileAlignment = Dword(b, opt + 36);
    image->sizeOfImage = Dword(b, opt + 56);
    image->sizeOfHeaders = Dword(b, opt + 60);
    image->checksumOffset = static_cast<uint32_t>(opt + 64);
    image->checksum = Dword(b, opt + 64);
    image->subsystem = Word(b, opt + 68);
    uint32_t declaredDirectories = Dword(b, opt + 92);
    if (declaredDirectories > 16 || 96u + 8u * declaredDirectories > optionalSize) {
        return Fail(error, "NumberOfRvaAndSizes " + std::to_string(declaredDirectories) +
                               " does not fit SizeOfOptionalHeader " + Hex(optionalSize));
    }
    uint32_t directories = declaredDirectories;

    size_t sectionTable = opt + optionalSize;
    if (sectionCount == 0 || sectionTable + 40u * sectionCount > b.size()) {
        return Fail(error, "NumberOfSections " + std::to_string(sectionCount) +
                               (sectionCount ? ": the section table runs past the end of the file" : ": no section"));
    }
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
    if (symbolTable && uint64_t{symbolTable} + 18ull * symbolCount > b.size()) {
        return Fail(error, "PointerToSymbolTable " + Hex(symbolTable) + " with NumberOfSymbols " +
                               std::to_string(symbolCount) + " runs past the end of the file");
    }
    if (!CheckLayout(*image, fileAlignment, directories, opt, error)) return false;

    if (directories > 1) {
        uint32_t importRva = Dword(b, opt + 96 + 8);
        if (importRva && !ParseImports(image, importRva, error)) return false;
    }
    if (directories > 5) {
        image->relocationsRva = Dword(b, opt + 96 + 5 * 8);
        image->relocationsSize = Dword(b, opt + 96 + 5 * 8 + 4);
    }
    if (directories > 2) {
        image->resourceRva = Dword(b, opt + 96 + 2 * 8);
        image->resourceSize = Dword(b, opt + 96 + 2 * 8 + 4);
    }

    image->symbolTableOffset = symbolTable;
    image->symbolCount = symbolCount;
    if (symbolTable) {
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

namespace {

constexpr uint32_t ResourceTypeVersion = 16;   // RT_VERSION
constexpr uint32_t FixedInfoSignature = 0xFEEF04BD;
constexpr uint32_t FixedInfoBytes = 52;

// The bytes [rva, rva + size) of the file, or null when they are not all in one section's data.
const uint8_t* BytesAt(const Image& image, uint32_t rva, uint32_t size) {
    uint32_t at = FileOffset(image, rva);
    if (!at || (size && FileOffset(image, rva + size - 1) != at + size - 1)) return nullptr;
    return image.bytes.data() + at;
}

// Follows the first entry of one resource directory level whose ID is `id` (any ID when 0); the
// entry's target, an offset from the resource directory's start, or false.
bool ResourceEntry(const Image& image, uint32_t directory, uint32_t id, uint32_t* target) {
    const uint8_t* head = BytesAt(image, image.resourceRva + directory, 16);
    if (!head) return false;
    uint32_t entries = static_cast<uint32_t>(head[12] | head[13] << 8) + static_cast<uint32_t>(head[14] | head[15] << 8);
    for (uint32_t i = 0; i < entries; ++i) {
        const uint8_t* entry = BytesAt(image, image.resourceRva + directory + 16 + 8 * i, 8);
        if (!entry) return false;
        uint32_t name, offset;
        std::memcpy(&name, entry, 4);
        std::memcpy(&offset, entry + 4, 4);
        if (id && name != id) continue;
        *target = offset;
        return true;
    }
    return false;
}

uint16_t Word(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }

// UTF-16 text of at most `limit` characters from `at`, up to its zero; ASCII kept, others as '?'.
std::string Utf16Text(const uint8_t* at, size_t limit, size_t* characters) {
    std::string text;
    size_t i = 0;
    for (; i < limit; ++i) {
        uint16_t c = Word(at + 2 * i);
        if (c == 0) break;
        text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    *characters = i;
    return text;
}

struct Block {
    std::string key;
    const uint8_t* value;
    uint16_t valueLength;
    uint16_t type;
    const uint8_t* children;
    const uint8_t* end;
};

// One block of the version information (length, value length, type, key, value, children), whose
// bytes all lie in [at, limit); false when it does not.
bool ReadBlock(const uint8_t* base, const uint8_t* at, const uint8_t* limit, Block* block) {
    if (limit - at < 6) return false;
    uint16_t length = Word(at);
    if (length < 6 || length > limit - at) return false;
    block->end = at + length;
    block->valueLength = Word(at + 2);
    block->type = Word(at + 4);
    size_t characters = 0;
    block->key = Utf16Text(at + 6, (length - 6) / 2, &characters);
    auto align = [base](const uint8_t* p) { return base + ((p - base + 3) & ~3); };
    const uint8_t* value = align(at + 6 + 2 * (characters + 1));
    size_t valueBytes = block->type == 1 ? 2u * block->valueLength : block->valueLength;
    if (value + valueBytes > block->end) return false;
    block->value = value;
    block->children = std::min(align(value + valueBytes), block->end);
    return true;
}

std::string VersionText(uint32_t high, uint32_t low) {
    return std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." + std::to_string(low >> 16) + "." +
           std::to_string(low & 0xFFFF);
}

}  // namespace

bool HasResource(const Image& image, uint32_t type) {
    uint32_t target;
    return image.resourceRva != 0 && ResourceEntry(image, 0, type, &target);
}

std::string VersionInfo::String(const std::string& name) const {
    for (const auto& [key, value] : strings) {
        if (key == name) return value;
    }
    return "";
}

bool ReadVersion(const Image& image, VersionInfo* version, std::string* error) {
    *version = VersionInfo{};
    if (image.resourceRva == 0) return Fail(error, "no resource directory, so no version resource");
    uint32_t type, name, language;
    if (!ResourceEntry(image, 0, ResourceTypeVersion, &type) || !(type & 0x80000000) ||
        !ResourceEntry(image, type & 0x7FFFFFFF, 0, &name) || !(name & 0x80000000) ||
        !ResourceEntry(image, name & 0x7FFFFFFF, 0, &language) || (language & 0x80000000)) {
        return Fail(error, "no version resource");
    }
    const uint8_t* leaf = BytesAt(image, image.resourceRva + language, 16);
    if (!leaf) return Fail(error, "the version resource's entry lies outside the file");
    uint32_t dataRva, dataSize;
    std::memcpy(&dataRva, leaf, 4);
    std::memcpy(&dataSize, leaf + 4, 4);
    const uint8_t* data = BytesAt(image, dataRva, dataSize);
    if (!data) return Fail(error, "the version resource lies outside the file");

    Block root;
    if (!ReadBlock(data, data, data + dataSize, &root) || root.key != "VS_VERSION_INFO" ||
        root.valueLength < FixedInfoBytes) {
        return Fail(error, "the version resource is not a VS_VERSION_INFO block");
    }
    uint32_t fixed[13];
    std::memcpy(fixed, root.value, FixedInfoBytes);
    if (fixed[0] != FixedInfoSignature) return Fail(error, "the version resource has no fixed file information");
    version->fileVersion = VersionText(fixed[2], fixed[3]);
    version->productVersion = VersionText(fixed[4], fixed[5]);
    version->fileFlags = fixed[7] & fixed[6];
    version->fileType = fixed[9];
    version->fileSubtype = fixed[10];

    for (const uint8_t* at = root.children; at < root.end;) {
        Block info;
        if (!ReadBlock(data, at, root.end, &info)) return Fail(error, "a block of the version resource is malformed");
        if (info.key == "StringFileInfo") {
            Block table;
            if (ReadBlock(data, info.children, info.end, &table)) {
                for (const uint8_t* s = table.children; s < table.end;) {
                    Block entry;
                    if (!ReadBlock(data, s, table.end, &entry)) return Fail(error, "a version string is malformed");
                    size_t characters = 0;
                    version->strings.emplace_back(entry.key, Utf16Text(entry.value, entry.valueLength, &characters));
                    s = data + ((entry.end - data + 3) & ~3);
                }
            }
        }
        at = data + ((info.end - data + 3) & ~3);
    }
    return true;
}

bool ReadRelocations(const Image& image, std::vector<Relocation>* relocations, std::string* error) {
    relocations->clear();
    if (image.relocationsSize == 0) return true;
    const uint8_t* directory = BytesAt(image, image.relocationsRva, image.relocationsSize);
    if (!directory) return Fail(error, "the base relocations lie outside the file");
    for (uint32_t at = 0; at + 8 <= image.relocationsSize;) {
        uint32_t page, blockSize;
        std::memcpy(&page, directory + at, 4);
        std::memcpy(&blockSize, directory + at + 4, 4);
        if (blockSize < 8 || blockSize % 2 || blockSize > image.relocationsSize - at) {
            return Fail(error, "the base relocation block at RVA " + Hex(image.relocationsRva + at) + " has size " +
                                   Hex(blockSize) + " (" + Hex(image.relocationsSize - at) + " bytes left)");
        }
        for (uint32_t entry = at + 8; entry < at + blockSize; entry += 2) {
            uint16_t fixup = Word(directory + entry);
            Relocation relocation{page + (fixup & 0xFFFu), static_cast<uint16_t>(fixup >> 12)};
            if (relocation.type == 0) continue;
            if (uint64_t{relocation.rva} + 4 > image.sizeOfImage) {
                return Fail(error, "a base relocation at RVA " + Hex(relocation.rva) + " lies outside the image");
            }
            relocations->push_back(relocation);
        }
        at += blockSize;
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
    std::vector<Relocation> relocations;
    std::string relocationError;
    bool relocationsRead = ReadRelocations(image, &relocations, &relocationError);
    check("relocations", image.relocationsSize > 0 && relocationsRead,
          relocationsRead ? "a driver must be relocatable" : relocationError);

    std::string badImports;
    for (const std::string& dll : image.importedDlls) {
        const std::string name = Lower(dll);
        bool allowed = false;
        for (const char* module : DriverImportModules) allowed = allowed || name == module;
        if (!allowed) badImports += " " + dll;
    }
    std::string modules;
    for (size_t i = 0; i < std::size(DriverImportModules); ++i) {
        modules += (i == 0 ? "" : i + 1 == std::size(DriverImportModules) ? " and " : ", ");
        modules += DriverImportModules[i];
    }
    check("imports only " + modules, badImports.empty() && !image.importedDlls.empty(),
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
