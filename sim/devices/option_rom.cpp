#include "devices/option_rom.h"

#include <cstring>

namespace sim {

namespace {

constexpr size_t ImageBytes = 32 * 1024;
constexpr size_t PciDataOffset = 0x20;
constexpr size_t VersionOffset = 0x40;
constexpr size_t CopyrightOffset = 0x80;
constexpr size_t BannerOffset = 0xC0;

void Put(std::vector<uint8_t>& image, size_t offset, const char* text) {
    std::memcpy(&image[offset], text, std::strlen(text) + 1);
}

void Put16(std::vector<uint8_t>& image, size_t offset, uint16_t value) {
    image[offset] = static_cast<uint8_t>(value);
    image[offset + 1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

void SealRomChecksum(std::vector<uint8_t>& image) {
    if (image.empty()) return;
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < image.size(); ++i) sum = static_cast<uint8_t>(sum + image[i]);
    image.back() = static_cast<uint8_t>(0x100 - sum);
}

std::vector<uint8_t> BuiltinRom(uint16_t vendorId, uint16_t deviceId) {
    std::vector<uint8_t> image(ImageBytes, 0);
    image[0] = 0x55;
    image[1] = 0xAA;
    image[2] = static_cast<uint8_t>(ImageBytes / 512);
    image[3] = 0xEB;   // a short jump over the header to the initialization code
    image[4] = 0x7B;
    Put16(image, 0x18, PciDataOffset);

    std::memcpy(&image[PciDataOffset], "PCIR", 4);
    Put16(image, PciDataOffset + 4, vendorId);
    Put16(image, PciDataOffset + 6, deviceId);
    Put16(image, PciDataOffset + 10, 0x18);                 // structure length
    image[PciDataOffset + 15] = 0x03;                       // class: display controller
    Put16(image, PciDataOffset + 16, static_cast<uint16_t>(ImageBytes / 512));
    image[PciDataOffset + 21] = 0x80;                       // last image

    Put(image, VersionOffset, "Version 1.00.01 Zarn Mistral Video BIOS");
    Put(image, CopyrightOffset, "Copyright (C) Zarn Microsystems Inc");
    Put(image, BannerOffset, "VGA BIOS - Version 1.00.01");
    // The initialization code: a far return, then filler the BIOS would hold.
    image[0x100] = 0xCB;
    for (size_t i = 0x101; i + 1 < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    SealRomChecksum(image);
    return image;
}

}  // namespace sim
