#include "support/edid.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr size_t BlockBytes = 128;
constexpr size_t DescriptorStart = 54;
constexpr size_t DescriptorBytes = 18;

// The established timings, bit by bit from byte 35 bit 7 to byte 37 bit 7.
const EdidMode establishedTimings[17] = {
    {720, 400, 70, false},  {720, 400, 88, false},  {640, 480, 60, false},   {640, 480, 67, false},
    {640, 480, 72, false},  {640, 480, 75, false},  {800, 600, 56, false},   {800, 600, 60, false},
    {800, 600, 72, false},  {800, 600, 75, false},  {832, 624, 75, false},   {1024, 768, 87, true},
    {1024, 768, 60, false}, {1024, 768, 70, false}, {1024, 768, 75, false},  {1280, 1024, 75, false},
    {1152, 870, 75, false},
};

std::string DescriptorText(const uint8_t* d) {
    std::string text;
    for (size_t i = 5; i < DescriptorBytes && d[i] != 0x0A; ++i) text.push_back(static_cast<char>(d[i]));
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

EdidTiming DetailedTiming(const uint8_t* d) {
    EdidTiming t;
    t.pixelClockMHz = (d[0] | d[1] << 8) / 100.0;
    t.width = d[2] | (d[4] >> 4) << 8;
    t.hBlank = d[3] | (d[4] & 0xF) << 8;
    t.height = d[5] | (d[7] >> 4) << 8;
    t.vBlank = d[6] | (d[7] & 0xF) << 8;
    t.hSyncOffset = d[8] | (d[11] >> 6) << 8;
    t.hSyncWidth = d[9] | ((d[11] >> 4) & 3) << 8;
    t.vSyncOffset = (d[10] >> 4) | ((d[11] >> 2) & 3) << 4;
    t.vSyncWidth = (d[10] & 0xF) | (d[11] & 3) << 4;
    t.widthMm = d[12] | (d[14] >> 4) << 8;
    t.heightMm = d[13] | (d[14] & 0xF) << 8;
    t.interlaced = d[17] & 0x80;
    if ((d[17] & 0x18) == 0x18) {   // digital separate syncs carry both polarities
        t.vsyncPolarity = (d[17] & 0x04) ? '+' : '-';
        t.hsyncPolarity = (d[17] & 0x02) ? '+' : '-';
    }
    return t;
}

// EDID 1.4 can add 255 to each limit through the descriptor's byte 4.
EdidRangeLimits RangeLimits(const uint8_t* d, bool version14) {
    uint8_t offsets = version14 ? d[4] : 0;
    EdidRangeLimits r;
    r.minVerticalHz = d[5] + ((offsets & 0x01) ? 255 : 0);
    r.maxVerticalHz = d[6] + ((offsets & 0x02) ? 255 : 0);
    r.minHorizontalKHz = d[7] + ((offsets & 0x04) ? 255 : 0);
    r.maxHorizontalKHz = d[8] + ((offsets & 0x08) ? 255 : 0);
    r.maxPixelClockMHz = d[9] * 10u;
    return r;
}

void DecodeDescriptor(const uint8_t* d, bool version14, Edid* edid) {
    if (d[0] || d[1]) {
        edid->detailedTimings.push_back(DetailedTiming(d));
        return;
    }
    switch (d[3]) {
    case 0xFC: edid->name = DescriptorText(d); break;
    case 0xFF: edid->serialText = DescriptorText(d); break;
    case 0xFD:
        edid->hasRangeLimits = true;
        edid->rangeLimits = RangeLimits(d, version14);
        break;
    default: break;
    }
}

// Two bytes: (width / 8) - 31, then the aspect ratio in bits 6-7 and the rate - 60 in bits 0-5.
bool StandardTiming(uint8_t first, uint8_t second, bool version13, EdidMode* mode) {
    if ((first == 0x01 && second == 0x01) || first == 0x00) return false;
    mode->width = (first + 31u) * 8;
    switch (second >> 6) {
    case 0: mode->height = version13 ? mode->width * 10 / 16 : mode->width; break;
    case 1: mode->height = mode->width * 3 / 4; break;
    case 2: mode->height = mode->width * 4 / 5; break;
    default: mode->height = mode->width * 9 / 16; break;
    }
    mode->refreshHz = (second & 0x3F) + 60u;
    return true;
}

}  // namespace

bool DecodeEdid(const std::vector<uint8_t>& bytes, Edid* edid, std::string* error) {
    static const uint8_t header[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    if (bytes.size() < BlockBytes) return *error = "fewer than 128 bytes", false;
    if (std::memcmp(bytes.data(), header, sizeof header) != 0) return *error = "no EDID header", false;
    const uint8_t* b = bytes.data();
    *edid = Edid{};
    unsigned maker = b[8] << 8 | b[9];
    for (int shift : {10, 5, 0}) edid->manufacturer.push_back(static_cast<char>('@' + ((maker >> shift) & 0x1F)));
    edid->productCode = static_cast<uint16_t>(b[10] | b[11] << 8);
    edid->serialNumber = b[12] | b[13] << 8 | b[14] << 16 | static_cast<uint32_t>(b[15]) << 24;
    edid->week = b[16];
    edid->year = 1990u + b[17];
    edid->version = b[18];
    edid->revision = b[19];
    bool version13 = edid->version > 1 || edid->revision >= 3;
    bool version14 = edid->version > 1 || edid->revision >= 4;
    edid->digital = b[20] & 0x80;
    edid->widthCm = b[21];
    edid->heightCm = b[22];
    edid->dpmsStandBy = b[24] & 0x80;
    edid->dpmsSuspend = b[24] & 0x40;
    edid->dpmsOff = b[24] & 0x20;
    edid->preferredTimingMarked = b[24] & 0x02;
    for (unsigned bit = 0; bit < 17; ++bit) {
        if (b[35 + bit / 8] & (0x80 >> (bit % 8))) edid->established.push_back(establishedTimings[bit]);
    }
    for (size_t at = 38; at < 54; at += 2) {
        EdidMode mode;
        if (StandardTiming(b[at], b[at + 1], version13, &mode)) edid->standard.push_back(mode);
    }
    for (size_t at = DescriptorStart; at < DescriptorStart + 4 * DescriptorBytes; at += DescriptorBytes) {
        DecodeDescriptor(b + at, version14, edid);
    }
    edid->extensionBlocks = b[126];
    edid->checksum = b[127];
    uint8_t sum = 0;
    for (size_t i = 0; i < BlockBytes; ++i) sum = static_cast<uint8_t>(sum + b[i]);
    edid->checksumValid = sum == 0;
    return true;
}

}  // namespace sim
