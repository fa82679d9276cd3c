// Loading a PE32 driver image as the kernel's loader does: the headers and sections at a base
// address (its preferred one or another, with the base relocations applied), and every import
// bound to an address the simulator gives it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "page_memory.h"

namespace sim::image {

// The image cannot be loaded; the message says why.
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct MappedSection {
    std::string name;   // "headers" for the image headers
    uint32_t address;   // page-aligned
    uint32_t size;      // whole pages
    uint32_t protection;
};

struct BoundImport {
    std::string dll;
    std::string name;
    uint32_t slot;      // address of the import address table entry
    uint32_t target;    // the address written there
};

struct LoadedImage {
    uint32_t base = 0;
    uint32_t preferredBase = 0;
    uint32_t size = 0;
    uint32_t entryPoint = 0;
    PageMemory memory;                  // the whole image, from `base`
    std::vector<MappedSection> sections;
    std::vector<BoundImport> imports;
    std::vector<uint32_t> fixups;       // addresses of the 32-bit words the relocations adjust
    std::vector<std::pair<std::string, uint32_t>> symbols;  // COFF symbols kept in the file, or a link map's

    // The section holding the address, or null.
    const MappedSection* SectionAt(uint32_t address) const;
    const MappedSection* Section(const std::string& name) const;
    // The address of a symbol, or nullopt.
    std::optional<uint32_t> Symbol(const std::string& name) const;
    uint32_t Read32(uint32_t address) const;
};

// The address the simulator gives an imported routine, or nullopt when it does not provide it.
using ImportResolver = std::function<std::optional<uint32_t>(const std::string& dll, const std::string& name)>;

// Throws ImageError for a file that is no loadable i386 image, that cannot go to `base`, or whose
// imports are not all provided (the message lists every missing one as dll!Name).
LoadedImage LoadImage(std::vector<uint8_t> file, uint32_t base, const ImportResolver& resolve);

// The image's preferred base, from its headers.
uint32_t PreferredBase(const std::vector<uint8_t>& file);
// The bytes the image takes in memory (whole pages), from its headers.
uint32_t ImageSize(const std::vector<uint8_t>& file);

}  // namespace sim::image
