// The monitor's identification data (the base block of VESA EDID 1.x), decoded as a person reads
// it: who made the monitor and when, its name, size and power saving, its preferred timing, the
// ranges it can follow and the timings it lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// A detailed timing descriptor.
struct EdidTiming {
    double pixelClockMHz = 0;
    unsigned width = 0, height = 0;
    unsigned hBlank = 0, vBlank = 0;
    unsigned hSyncOffset = 0, hSyncWidth = 0, vSyncOffset = 0, vSyncWidth = 0;
    unsigned widthMm = 0, heightMm = 0;
    bool interlaced = false;
    char hsyncPolarity = '?';   // '+' or '-' for separate digital syncs, '?' otherwise
    char vsyncPolarity = '?';

    double HorizontalKHz() const { return pixelClockMHz * 1000.0 / (width + hBlank); }
    double RefreshHz() const { return HorizontalKHz() * 1000.0 / (height + vBlank); }
};

// The display range limits descriptor.
struct EdidRangeLimits {
    unsigned minVerticalHz = 0, maxVerticalHz = 0;
    unsigned minHorizontalKHz = 0, maxHorizontalKHz = 0;
    unsigned maxPixelClockMHz = 0;
};

// A timing named by resolution and rate (the established and standard timings).
struct EdidMode {
    unsigned width = 0, height = 0, refreshHz = 0;
    bool interlaced = false;
};

struct Edid {
    std::string manufacturer;     // three letters
    uint16_t productCode = 0;
    uint32_t serialNumber = 0;
    unsigned week = 0;            // 0: not given; 255: the year is the model year
    unsigned year = 0;
    unsigned version = 0, revision = 0;
    bool digital = false;
    unsigned widthCm = 0, heightCm = 0;
    bool dpmsStandBy = false, dpmsSuspend = false, dpmsOff = false;
    bool preferredTimingMarked = false;   // the monitor marks its first detailed timing as preferred
    std::string name;                     // the product name descriptor, empty when none
    std::string serialText;               // the serial number descriptor, empty when none
    std::vector<EdidTiming> detailedTimings;
    bool hasRangeLimits = false;
    EdidRangeLimits rangeLimits;
    std::vector<EdidMode> established;
    std::vector<EdidMode> standard;
    unsigned extensionBlocks = 0;
    uint8_t checksum = 0;
    bool checksumValid = false;   // the base block's bytes add up to 0 modulo 256
};

// Decodes the base block (the first 128 bytes); false with the reason when they are not one.
bool DecodeEdid(const std::vector<uint8_t>& bytes, Edid* edid, std::string* error);

}  // namespace sim
