#include "pe_loader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cpu.h"
#include "pe_image.h"

namespace sim::image {

namespace {

constexpr uint16_t MachineI386 = 0x14C;
constexpr uint16_t RelocationPadding = 0;    // IMAGE_REL_BASED_ABSOLUTE
constexpr uint16_t RelocationHighLow = 3;    // IMAGE_REL_BASED_HIGHLOW

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

uint32_t ProtectionOf(uint32_t characteristics) {
    uint32_t protection = 0;
    if (characteristics & pe::SectionRead) protection |= ProtectRead;
    if (characteristics & pe::SectionWrite) protection |= ProtectWrite;
    if (characteristics & pe::SectionExecute) protection |= ProtectExecute;
    return protection;
}

pe::Image Parse(std::vector<uint8_t> file) {
    pe::Image headers;
    std::string error;
    if (!pe::Parse(std::move(file), &headers, &error)) throw ImageError("not a loadable image: " + error);
    if (headers.machine != MachineI386) {
        throw ImageError("Machine " + Hex(headers.machine) + " is not i386 (" + Hex(MachineI386) + ")");
    }
    if (headers.sectionAlignment == 0 || headers.sectionAlignment % PageSize) {
        throw ImageError("SectionAlignment " + Hex(headers.sectionAlignment) + " is not a whole number of pages");
    }
    if (headers.sizeOfImage == 0 || headers.sizeOfHeaders == 0 || headers.sizeOfHeaders > headers.sizeOfImage) {
        throw ImageError("SizeOfHeaders " + Hex(headers.sizeOfHeaders) + " and SizeOfImage " + Hex(headers.sizeOfImage) +
                         " make no image (neither may be 0, and the headers lie within the image)");
    }
    return headers;
}

// Copies the headers and the sections into the image memory, refusing sections that overlap, lie
// outside the image or refer to bytes past the file's end.
void MapSections(const pe::Image& headers, LoadedImage* image) {
    const std::vector<uint8_t>& file = headers.bytes;
    uint32_t headerSize = RoundToPages(headers.sizeOfHeaders);
    std::memcpy(image->memory.data(), file.data(), std::min<size_t>(headers.sizeOfHeaders, file.size()));
    image->sections.push_back(MappedSection{"headers", image->base, headerSize, ProtectRead});

    uint32_t end = headerSize;
    std::vector<pe::Section> sections = headers.sections;
    std::sort(sections.begin(), sections.end(),
              [](const pe::Section& a, const pe::Section& b) { return a.virtualAddress < b.virtualAddress; });
    for (const pe::Section& section : sections) {
        uint32_t extent = section.virtualSize ? section.virtualSize : section.rawSize;
        uint64_t limit = uint64_t{section.virtualAddress} + RoundToPages(extent);
        if (section.virtualAddress % PageSize || section.virtualAddress < end || limit > image->size) {
            throw ImageError("section " + section.name + " at RVA " + Hex(section.virtualAddress) +
                             " overlaps another or lies outside the image");
        }
        uint32_t copied = std::min(section.rawSize, extent);
        if (uint64_t{section.rawOffset} + copied > file.size()) {
            throw ImageError("section " + section.name + " refers to bytes past the end of the file");
        }
        std::memcpy(image->memory.data() + section.virtualAddress, file.data() + section.rawOffset, copied);
        image->sections.push_back(MappedSection{section.name, image->base + section.virtualAddress,
                                                RoundToPages(extent), ProtectionOf(section.characteristics)});
        end = static_cast<uint32_t>(limit);
    }
}

// Walks the base relocation blocks, records every fixup and moves it by the load delta.
void Relocate(const pe::Image& headers, LoadedImage* image) {
    uint32_t delta = image->base - image->preferredBase;
    if (headers.relocationsSize == 0) {
        if (delta) throw ImageError("the image has no relocations and cannot load at " + Hex(image->base));
        return;
    }
    if (uint64_t{headers.relocationsRva} + headers.relocationsSize > image->size) {
        throw ImageError("the base relocation directory (RVA " + Hex(headers.relocationsRva) + ", Size " +
                         Hex(headers.relocationsSize) + ") lies outside the image");
    }
    const uint8_t* bytes = image->memory.data();
    uint32_t at = headers.relocationsRva;
    uint32_t end = headers.relocationsRva + headers.relocationsSize;
    while (at + 8 <= end) {
        uint32_t pageRva, blockSize;
        std::memcpy(&pageRva, bytes + at, 4);
        std::memcpy(&blockSize, bytes + at + 4, 4);
        if (blockSize < 8 || blockSize % 2 || blockSize > end - at) {
            throw ImageError("the base relocation block at RVA " + Hex(at) + " has SizeOfBlock " + Hex(blockSize) +
                             " (an even size of at least 8 within the directory)");
        }
        for (uint32_t entry = at + 8; entry < at + blockSize; entry += 2) {
            uint16_t fixup;
            std::memcpy(&fixup, bytes + entry, 2);
            uint16_t type = fixup >> 12;
            uint32_t rva = pageRva + (fixup & 0xFFF);
            if (type == RelocationPadding) continue;
            if (type != RelocationHighLow) {
                throw ImageError("relocation type " + std::to_string(type) + " at RVA " + Hex(rva) + " is not supported");
            }
            if (uint64_t{rva} + 4 > image->size) throw ImageError("a relocation at RVA " + Hex(rva) + " lies outside the image");
            uint32_t value;
            std::memcpy(&value, image->memory.data() + rva, 4);
            value += delta;
            std::memcpy(image->memory.data() + rva, &value, 4);
            image->fixups.push_back(image->base + rva);
        }
        at += blockSize;
    }
}

void BindImports(const pe::Image& headers, const ImportResolver& resolve, LoadedImage* image) {
    std::string missing;
    for (const pe::Import& import : headers.imports) {
        std::string name = import.name.empty() ? "#" + std::to_string(import.ordinal) : import.name;
        std::optional<uint32_t> target = import.name.empty() ? std::nullopt : resolve(import.dll, import.name);
        if (!target) {
            missing += (missing.empty() ? "" : ", ") + import.dll + "!" + name;
            continue;
        }
        if (uint64_t{import.slotRva} + 4 > image->size) {
            throw ImageError("the import address table (FirstThunk) slot of " + import.dll + "!" + name + " at RVA " +
                             Hex(import.slotRva) + " lies outside the image");
        }
        std::memcpy(image->memory.data() + import.slotRva, &*target, 4);
        image->imports.push_back(BoundImport{import.dll, name, image->base + import.slotRva, *target});
    }
    if (!missing.empty()) throw ImageError("the image imports routines the simulator does not provide: " + missing);
}

}  // namespace

const MappedSection* LoadedImage::SectionAt(uint32_t address) const {
    for (const MappedSection& section : sections) {
        if (address - section.address < section.size) return &section;
    }
    return nullptr;
}

const MappedSection* LoadedImage::Section(const std::string& name) const {
    for (const MappedSection& section : sections) {
        if (section.name == name) return &section;
    }
    return nullptr;
}

std::optional<uint32_t> LoadedImage::Symbol(const std::string& name) const {
    for (const auto& [symbol, address] : symbols) {
        if (symbol == name) return address;
    }
    return std::nullopt;
}

uint32_t LoadedImage::Read32(uint32_t address) const {
    if (address < base || uint64_t{address} + 4 > uint64_t{base} + size) throw std::out_of_range("outside the image");
    uint32_t value;
    std::memcpy(&value, memory.data() + (address - base), 4);
    return value;
}

uint32_t PreferredBase(const std::vector<uint8_t>& file) { return Parse(file).imageBase; }

uint32_t ImageSize(const std::vector<uint8_t>& file) { return RoundToPages(Parse(file).sizeOfImage); }

LoadedImage LoadImage(std::vector<uint8_t> file, uint32_t base, const ImportResolver& resolve) {
    pe::Image headers = Parse(std::move(file));
    if (base % PageSize) throw ImageError("the load address " + Hex(base) + " is not page-aligned");
    if (uint64_t{base} + RoundToPages(headers.sizeOfImage) > 0x100000000ull) {
        throw ImageError("the image does not fit below 4 GiB at " + Hex(base));
    }
    LoadedImage image;
    image.base = base;
    image.preferredBase = headers.imageBase;
    image.size = RoundToPages(headers.sizeOfImage);
    image.entryPoint = headers.entryPoint ? base + headers.entryPoint : 0;
    image.memory = PageMemory(image.size);
    MapSections(headers, &image);
    Relocate(headers, &image);
    BindImports(headers, resolve, &image);
    for (const auto& [name, rva] : headers.symbols) image.symbols.emplace_back(name, base + rva);
    return image;
}

}  // namespace sim::image
