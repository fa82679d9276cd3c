// The compiled-in mode catalogue: the information entries the display driver receives, the order
// of both selector tables (which fixes every ModeIndex), the timing of every resolution and rate,
// and the small memory-size and attribute tables.
#include <gtest/gtest.h>

#include <set>
#include <tuple>
#include <vector>

#include "modes/mode_tables.h"

namespace {

// --- Expected data, written down from the published mode catalogue ---------------------------

struct ExpectedInfo {
    ULONG width, height, bits, stride;
    USHORT vesa, vesaAlt;
    ULONG attributes, driverFlags;
};

const ExpectedInfo expectedInfo[] = {
    {320, 200, 8, 320, 0, 0, 0x0F, 0x80000001u},
    {320, 240, 8, 320, 0, 0, 0x0F, 0x80000001u},
    {400, 300, 8, 400, 0, 0, 0x0F, 0x80000001u},
    {512, 384, 8, 512, 0, 0, 0x0F, 0x80000001u},
    {640, 400, 8, 640, 0, 0, 0x0F, 0u},
    {640, 480, 8, 640, 0x101, 0x101, 0x0F, 0u},
    {800, 600, 8, 800, 0x103, 0x103, 0x0F, 0u},
    {1024, 768, 8, 1024, 0x105, 0x105, 0x0F, 0u},
    {1152, 864, 8, 1152, 0, 0, 0x0F, 0u},
    {1280, 1024, 8, 1280, 0, 0, 0x0F, 0u},
    {1600, 1200, 8, 1600, 0, 0, 0x0F, 0u},
    {1792, 1344, 8, 1792, 0, 0, 0x0F, 0u},
    {1856, 1392, 8, 1856, 0, 0, 0x0F, 0u},
    {1920, 1440, 8, 1920, 0, 0, 0x0F, 0u},
    {320, 200, 16, 640, 0, 0, 0x03, 0x80000001u},
    {320, 240, 16, 640, 0, 0, 0x03, 0x80000001u},
    {400, 300, 16, 800, 0, 0, 0x03, 0x80000001u},
    {512, 384, 16, 1024, 0, 0, 0x03, 0x80000001u},
    {640, 400, 16, 1280, 0, 0, 0x03, 0u},
    {640, 480, 16, 1280, 0x111, 0x111, 0x03, 0u},
    {800, 600, 16, 1600, 0x114, 0x114, 0x03, 0u},
    {1024, 768, 16, 2048, 0x117, 0x117, 0x03, 0u},
    {1152, 864, 16, 2304, 0, 0, 0x03, 0u},
    {1280, 1024, 16, 2560, 0, 0, 0x03, 0u},
    {1600, 1200, 16, 3200, 0, 0, 0x03, 0u},
    {1792, 1344, 16, 3584, 0, 0, 0x03, 0u},
    {1856, 1392, 16, 3712, 0, 0, 0x03, 0u},
    {1920, 1440, 16, 3840, 0, 0, 0x03, 0u},
    {640, 400, 24, 1920, 0, 0, 0x03, 0u},
    {640, 480, 24, 1920, 0x112, 0x112, 0x03, 0u},
    {800, 600, 24, 2400, 0x115, 0x115, 0x03, 0u},
    {1024, 768, 24, 3072, 0x118, 0, 0x03, 0u},
    {1152, 864, 24, 3456, 0, 0, 0x03, 0u},
    {1280, 1024, 24, 3840, 0x11B, 0x11B, 0x03, 0u},
    {1600, 1200, 24, 4800, 0, 0, 0x03, 0u},
    {1792, 1344, 24, 5376, 0, 0, 0x03, 0u},
    {1856, 1392, 24, 5568, 0, 0, 0x03, 0u},
    {1920, 1440, 24, 5760, 0, 0, 0x03, 0u},
    {640, 480, 32, 2560, 0, 0, 0x03, 0u},
    {800, 600, 32, 3200, 0, 0, 0x03, 0u},
    {1024, 768, 32, 4096, 0, 0, 0x03, 0u},
    {1152, 864, 32, 4608, 0, 0, 0x03, 0u},
    {1280, 1024, 32, 5120, 0, 0, 0x03, 0u},
    {1600, 1200, 32, 6400, 0, 0, 0x03, 0u},
    {1792, 1344, 32, 7168, 0, 0, 0x03, 0u},
    {1856, 1392, 32, 7424, 0, 0, 0x03, 0u},
    {1920, 1440, 32, 7680, 0, 0, 0x03, 0u},
};

struct ExpectedTiming {
    ULONG width, height, rate;
    UCHAR crtc[16];   // bytes 0-15
    UCHAR miscOutput; // byte 16
    USHORT pll;       // bytes 18-19
    UCHAR doubleClock;
};

const ExpectedTiming expectedTimings[] = {
    {640, 480, 60, {0x5F, 0x4F, 0x4F, 0x83, 0x52, 0x9E, 0x0B, 0x3E, 0x40, 0xEA, 0xEC, 0xDF, 0xDF, 0x0C, 0x20, 0x00}, 0xCF, 0xA72B, 0},
    {640, 480, 75, {0x64, 0x4F, 0x4F, 0x88, 0x51, 0x99, 0xF2, 0x1F, 0x40, 0xE1, 0xE4, 0xDF, 0xDF, 0xF3, 0x20, 0x00}, 0xCF, 0x8236, 0},
    {640, 480, 85, {0x63, 0x4F, 0x4F, 0x87, 0x56, 0x9E, 0xFB, 0x1F, 0x40, 0xE1, 0xE4, 0xDF, 0xDF, 0xFC, 0x20, 0x00}, 0xCF, 0xA93E, 0},
    {640, 480, 100, {0x63, 0x4F, 0x4F, 0x87, 0x56, 0x9E, 0xFB, 0x1F, 0x40, 0xE1, 0xE4, 0xDF, 0xDF, 0xFC, 0x20, 0x00}, 0xCF, 0x4558, 0},
    {640, 480, 120, {0x63, 0x4F, 0x4F, 0x87, 0x56, 0x9E, 0xFB, 0x1F, 0x40, 0xE1, 0xE4, 0xDF, 0xDF, 0xFC, 0x20, 0x00}, 0xCF, 0x4548, 0},
    {800, 600, 60, {0x7B, 0x63, 0x63, 0x9F, 0x6A, 0x94, 0x6C, 0xF0, 0x60, 0x59, 0x5C, 0x57, 0x57, 0x6D, 0xA0, 0x00}, 0x0F, 0x1E06, 0},
    {800, 600, 75, {0x7F, 0x63, 0x63, 0x83, 0x65, 0x0F, 0x6F, 0xF0, 0x60, 0x59, 0x5C, 0x57, 0x57, 0x70, 0x80, 0x00}, 0x0F, 0x9D55, 0},
    {800, 600, 85, {0x7E, 0x63, 0x63, 0x82, 0x67, 0x0F, 0x75, 0xF0, 0x60, 0x59, 0x2C, 0x57, 0x57, 0x76, 0x80, 0x00}, 0x0F, 0x6C31, 0},
    {800, 600, 100, {0x7E, 0x63, 0x63, 0x82, 0x66, 0x0E, 0x75, 0xF0, 0x60, 0x59, 0x2C, 0x57, 0x57, 0x76, 0x80, 0x00}, 0x0F, 0xA98C, 0},
    {800, 600, 120, {0x7E, 0x63, 0x63, 0x82, 0x66, 0x0E, 0x75, 0xF0, 0x60, 0x59, 0x2C, 0x57, 0x57, 0x76, 0x80, 0x00}, 0x0F, 0x3B24, 0},
    {1024, 768, 60, {0xA3, 0x7F, 0x7F, 0x87, 0x83, 0x94, 0x24, 0xF5, 0x60, 0x04, 0x2A, 0xFF, 0xFF, 0x25, 0x00, 0x00}, 0xCF, 0xE15D, 0},
    {1024, 768, 70, {0xA1, 0x7F, 0x7F, 0x85, 0x83, 0x94, 0x24, 0xF5, 0x60, 0x03, 0x29, 0xFF, 0xFF, 0x25, 0x00, 0x00}, 0xCF, 0xDA4D, 0},
    {1024, 768, 75, {0x9F, 0x7F, 0x7F, 0x83, 0x82, 0x8E, 0x1E, 0xF5, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x1F, 0x00, 0x00}, 0x0F, 0x8229, 0},
    {1024, 768, 85, {0xA7, 0x7F, 0x7F, 0x8B, 0x86, 0x92, 0x26, 0xF5, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x27, 0x00, 0x00}, 0x0F, 0xC435, 0},
    {1024, 768, 100, {0xA7, 0x7F, 0x7F, 0x8B, 0x86, 0x92, 0x26, 0xF5, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x27, 0x00, 0x00}, 0x0F, 0x823C, 0},
    {1024, 768, 120, {0xA7, 0x7F, 0x7F, 0x8B, 0x86, 0x92, 0x26, 0xF5, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x27, 0x00, 0x00}, 0x0F, 0xCB50, 0},
    {1152, 864, 60, {0xB4, 0x8F, 0x8F, 0x98, 0x94, 0x80, 0x8E, 0xFF, 0x60, 0x61, 0x24, 0x5F, 0x5F, 0x8F, 0x80, 0x00}, 0x0F, 0xC484, 0},
    {1152, 864, 75, {0xC3, 0x8F, 0x8F, 0x87, 0x98, 0x08, 0x82, 0xFF, 0x60, 0x61, 0x24, 0x5F, 0x5F, 0x83, 0xA0, 0x00}, 0x0F, 0xA450, 0},
    {1152, 864, 85, {0xC0, 0x8F, 0x8F, 0x84, 0x98, 0x08, 0x89, 0xFF, 0x60, 0x61, 0x24, 0x5F, 0x5F, 0x8A, 0xA0, 0x00}, 0x0F, 0xF46C, 0},
    {1152, 864, 100, {0x5F, 0x47, 0x47, 0x83, 0x4C, 0x93, 0x82, 0xFF, 0x60, 0x61, 0x24, 0x5F, 0x5F, 0x83, 0x20, 0x00}, 0x0F, 0xB340, 1},
    {1280, 1024, 60, {0xCE, 0x9F, 0x9F, 0x92, 0xA6, 0x14, 0x28, 0x5A, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x29, 0xA0, 0x41}, 0x0F, 0xA450, 0},
    {1280, 1024, 75, {0xCE, 0x9F, 0x9F, 0x92, 0xA2, 0x14, 0x28, 0x5A, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x29, 0xA0, 0x41}, 0x0F, 0x8230, 0},
    {1280, 1024, 85, {0x67, 0x4F, 0x4F, 0x8B, 0x54, 0x9E, 0x2E, 0x5A, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x2F, 0x20, 0x41}, 0x0F, 0x8228, 1},
    {1280, 1024, 100, {0x67, 0x4F, 0x4F, 0x8B, 0x54, 0x9E, 0x2E, 0x5A, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x2F, 0x20, 0x41}, 0x0F, 0xDA3C, 1},
    {1600, 1200, 60, {0x82, 0x63, 0x63, 0x86, 0x68, 0x14, 0xE0, 0x10, 0x40, 0xB1, 0x24, 0xAF, 0xAF, 0xE1, 0x80, 0x55}, 0x0F, 0xD544, 1},
    {1600, 1200, 65, {0x82, 0x63, 0x63, 0x86, 0x68, 0x14, 0xE0, 0x10, 0x40, 0xB1, 0x24, 0xAF, 0xAF, 0xE1, 0x80, 0x55}, 0x0F, 0xE744, 1},
    {1600, 1200, 70, {0x82, 0x63, 0x63, 0x86, 0x68, 0x14, 0xE0, 0x10, 0x40, 0xB1, 0x24, 0xAF, 0xAF, 0xE1, 0x80, 0x55}, 0x0F, 0xC434, 1},
    {1600, 1200, 75, {0x82, 0x63, 0x63, 0x86, 0x68, 0x14, 0xE0, 0x10, 0x40, 0xB1, 0x24, 0xAF, 0xAF, 0xE1, 0x80, 0x55}, 0x0F, 0xC430, 1},
    {1600, 1200, 85, {0x82, 0x63, 0x63, 0x86, 0x68, 0x14, 0xE0, 0x10, 0x40, 0xB1, 0x24, 0xAF, 0xAF, 0xE1, 0x80, 0x55}, 0x0F, 0x4E0C, 1},
    {1792, 1344, 60, {0x8E, 0x6F, 0x6F, 0x92, 0x71, 0x1F, 0x74, 0x1F, 0x40, 0x43, 0x29, 0x3F, 0x3F, 0x75, 0x80, 0x55}, 0x0F, 0xBF30, 1},
    {1792, 1344, 75, {0x94, 0x6F, 0x6F, 0x98, 0x74, 0x01, 0x87, 0x1F, 0x40, 0x4A, 0x4D, 0x3F, 0x3F, 0x88, 0x00, 0x55}, 0x0F, 0x590C, 1},
    {1856, 1392, 60, {0x92, 0x73, 0x73, 0x96, 0x7C, 0x03, 0xA4, 0x1F, 0x40, 0x73, 0x29, 0x6F, 0x6F, 0xA5, 0x00, 0x55}, 0x0F, 0xF73C, 1},
    {1920, 1440, 60, {0x9D, 0x77, 0x77, 0x81, 0x7A, 0x87, 0xDA, 0x1F, 0x40, 0xA1, 0x24, 0x9F, 0x9F, 0xDB, 0x00, 0x55}, 0x0F, 0xE330, 1},
    {320, 200, 70, {0x2F, 0x27, 0x27, 0x93, 0x2A, 0x8E, 0xBB, 0x1F, 0x40, 0x91, 0x24, 0x8F, 0x8F, 0xBC, 0x80, 0x00}, 0x4F, 0xDBEE, 0},
    {320, 200, 85, {0x2F, 0x27, 0x27, 0x93, 0x2A, 0x8E, 0xBB, 0x1F, 0x40, 0x91, 0x24, 0x8F, 0x8F, 0xBC, 0x80, 0x00}, 0x4F, 0x8237, 0},
    {320, 240, 60, {0x2D, 0x27, 0x27, 0x8F, 0x29, 0x8E, 0x0B, 0x3E, 0x40, 0xE1, 0x24, 0xDF, 0xDF, 0xFC, 0x80, 0x00}, 0xCF, 0xD1EA, 0},
    {320, 240, 72, {0x2F, 0x27, 0x27, 0x93, 0x2A, 0x8E, 0x06, 0x3E, 0x40, 0xE1, 0x24, 0xDF, 0xDF, 0xFC, 0x80, 0x00}, 0xCF, 0x8237, 0},
    {320, 240, 85, {0x2F, 0x27, 0x27, 0x93, 0x2A, 0x8E, 0xFB, 0x1F, 0x40, 0xE1, 0x24, 0xDF, 0xDF, 0xFC, 0x80, 0x00}, 0xCF, 0xA93F, 0},
    {400, 300, 60, {0x3D, 0x31, 0x31, 0x81, 0x34, 0x1C, 0x72, 0xF0, 0x60, 0x59, 0x2D, 0x57, 0x57, 0x73, 0xA0, 0x00}, 0x0F, 0xBB3F, 0},
    {400, 300, 72, {0x3C, 0x31, 0x31, 0x80, 0x34, 0x1B, 0x98, 0xF0, 0x60, 0x7D, 0x23, 0x57, 0x57, 0x99, 0xA0, 0x00}, 0x0F, 0xF943, 0},
    {400, 300, 85, {0x3D, 0x31, 0x31, 0x80, 0x33, 0x1B, 0x75, 0xF0, 0x60, 0x59, 0x2C, 0x57, 0x57, 0x76, 0xA0, 0x00}, 0x0F, 0xB456, 0},
    {512, 384, 60, {0x4F, 0x3F, 0x3F, 0x93, 0x41, 0x0A, 0x24, 0xF5, 0x60, 0x04, 0x2A, 0xFF, 0xFF, 0x25, 0x20, 0x00}, 0xCF, 0xE15E, 0},
    {512, 384, 72, {0x4E, 0x3F, 0x3F, 0x92, 0x41, 0x0A, 0x24, 0xF5, 0x60, 0x03, 0x29, 0xFF, 0xFF, 0x25, 0x20, 0x00}, 0xCF, 0x82BC, 0},
    {512, 384, 85, {0x51, 0x3F, 0x3F, 0x95, 0x43, 0x09, 0x26, 0xF5, 0x60, 0x01, 0x24, 0xFF, 0xFF, 0x27, 0x20, 0x00}, 0x0F, 0xC436, 0},
    {640, 400, 70, {0x63, 0x4F, 0x4F, 0x87, 0x54, 0x9C, 0xBB, 0x1F, 0x40, 0x91, 0x24, 0x8F, 0x8F, 0xBC, 0x20, 0x00}, 0x4F, 0xDBED, 0},
    {640, 400, 85, {0x63, 0x4F, 0x4F, 0x87, 0x54, 0xDC, 0xBB, 0x1F, 0x40, 0x91, 0x94, 0x8F, 0x8F, 0xBC, 0x20, 0x00}, 0x4F, 0x8236, 0},
};

// Resolutions in table order with their refresh rates, ascending. The high resolutions come at
// 8, 16, 24 and 32 bits per pixel, the low ones at 8 and 16.
struct ResolutionRates {
    ULONG width, height;
    std::vector<ULONG> rates;
};

const ResolutionRates highResolutions[] = {
    {640, 480, {60, 75, 85, 100, 120}}, {800, 600, {60, 75, 85, 100, 120}},
    {1024, 768, {60, 70, 75, 85, 100, 120}}, {1152, 864, {60, 75, 85, 100}},
    {1280, 1024, {60, 75, 85, 100}}, {1600, 1200, {60, 65, 70, 75, 85}},
    {1792, 1344, {60, 75}}, {1856, 1392, {60}}, {1920, 1440, {60}},
};
const ResolutionRates lowResolutions[] = {
    {320, 200, {70, 85}}, {320, 240, {60, 72, 85}}, {400, 300, {60, 72, 85}},
    {512, 384, {60, 72, 85}}, {640, 400, {70, 85}},
};

struct Selection {
    ULONG bits, width, height, rate;
    bool operator==(const Selection&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Selection& s) {
    return out << s.width << "x" << s.height << "x" << s.bits << "@" << s.rate;
}

// The selector order a display driver relies on for its ModeIndex values.
std::vector<Selection> ExpectedSelections(bool biosTable) {
    std::vector<Selection> out;
    for (const ResolutionRates& r : highResolutions) {
        for (ULONG rate : r.rates) {
            if (biosTable && r.width == 1280 && rate == 60) continue;   // the BIOS has no such timing
            for (ULONG bits : {8u, 16u, 24u, 32u}) out.push_back({bits, r.width, r.height, rate});
        }
    }
    for (const ResolutionRates& r : lowResolutions) {
        for (ULONG rate : r.rates) {
            for (ULONG bits : {8u, 16u}) out.push_back({bits, r.width, r.height, rate});
        }
    }
    return out;
}

std::vector<Selection> SelectionsOf(const ModeSelectorEntry* table) {
    std::vector<Selection> out;
    for (const ModeSelectorEntry* e = table; e->bitsPerPixel != 0; ++e) {
        out.push_back({e->bitsPerPixel, e->width, e->height, e->refreshRate});
    }
    return out;
}

int IndexOf(const ModeSelectorEntry* table, Selection wanted) {
    for (int i = 0; table[i].bitsPerPixel != 0; ++i) {
        const ModeSelectorEntry& e = table[i];
        if (Selection{e.bitsPerPixel, e.width, e.height, e.refreshRate} == wanted) return i;
    }
    return -1;
}

const ModeSelectorEntry* SelectorTable(bool bios) { return bios ? biosSelectorTable : directSelectorTable; }

}  // namespace

// --- Information entries --------------------------------------------------------------------

TEST(ModeCatalogue, OffersFortySevenResolutionDepthPairsInTheDocumentedOrder) {
    ASSERT_EQ(ModeInfoCount, 47u);
    ASSERT_EQ(std::size(expectedInfo), ModeInfoCount);
    for (ULONG i = 0; i < ModeInfoCount; ++i) {
        SCOPED_TRACE("information entry " + std::to_string(i));
        const ExpectedInfo& want = expectedInfo[i];
        const ModeInfoEntry& entry = modeInfoTable[i];
        const VIDEO_MODE_INFORMATION& mode = entry.modeInfo;
        EXPECT_EQ(mode.VisScreenWidth, want.width);
        EXPECT_EQ(mode.VisScreenHeight, want.height);
        EXPECT_EQ(mode.BitsPerPlane, want.bits);
        EXPECT_EQ(entry.strideBytes, want.stride);
        EXPECT_EQ(mode.ScreenStride, want.stride);
        EXPECT_EQ(entry.vesaMode, want.vesa);
        EXPECT_EQ(entry.vesaModeAlt, want.vesaAlt);
        EXPECT_EQ(mode.AttributeFlags, want.attributes);
        EXPECT_EQ(mode.DriverSpecificAttributeFlags, want.driverFlags);
    }
}

TEST(ModeCatalogue, EveryRecordCarriesTheFixedFieldsAndTheMasksOfItsDepth) {
    for (ULONG i = 0; i < ModeInfoCount; ++i) {
        SCOPED_TRACE("information entry " + std::to_string(i));
        const VIDEO_MODE_INFORMATION& mode = modeInfoTable[i].modeInfo;
        EXPECT_EQ(mode.Length, 80u);
        EXPECT_EQ(mode.ModeIndex, 0u);
        EXPECT_EQ(mode.NumberOfPlanes, 1u);
        EXPECT_EQ(mode.Frequency, 1u);
        EXPECT_EQ(mode.XMillimeter, 320u);
        EXPECT_EQ(mode.YMillimeter, 240u);
        EXPECT_EQ(mode.NumberRedBits, 8u);
        EXPECT_EQ(mode.NumberGreenBits, 8u);
        EXPECT_EQ(mode.NumberBlueBits, 8u);
        EXPECT_EQ(mode.VideoMemoryBitmapWidth, 0u);
        EXPECT_EQ(mode.VideoMemoryBitmapHeight, 0u);
        // The stride holds exactly one visible line, so the bitmap width at mode set never
        // falls below the visible width.
        EXPECT_EQ(modeInfoTable[i].strideBytes * 8 / mode.BitsPerPlane, mode.VisScreenWidth);

        struct Masks { ULONG red, green, blue, attributes; };
        Masks want{};
        switch (mode.BitsPerPlane) {
        case 8: want = {0, 0, 0, 0x0F}; break;
        case 16: want = {0xF800, 0x07E0, 0x001F, 0x03}; break;
        case 24:
        case 32: want = {0xFF0000, 0x00FF00, 0x0000FF, 0x03}; break;
        default: ADD_FAILURE() << "unexpected depth " << mode.BitsPerPlane; continue;
        }
        EXPECT_EQ(mode.RedMask, want.red);
        EXPECT_EQ(mode.GreenMask, want.green);
        EXPECT_EQ(mode.BlueMask, want.blue);
        EXPECT_EQ(mode.AttributeFlags, want.attributes);
        // Only the four scan-doubled resolutions tell the display driver to double lines and
        // draw the pointer itself.
        bool lowResolution = mode.VisScreenWidth <= 512;
        EXPECT_EQ(mode.DriverSpecificAttributeFlags, lowResolution ? 0x80000001u : 0u);
    }
}

TEST(ModeCatalogue, OnlyTheBiosModesCarryVesaNumbersAnd1024x768x24HasNoAlternative) {
    for (ULONG i = 0; i < ModeInfoCount; ++i) {
        const ModeInfoEntry& entry = modeInfoTable[i];
        const VIDEO_MODE_INFORMATION& mode = entry.modeInfo;
        SCOPED_TRACE(std::to_string(mode.VisScreenWidth) + "x" + std::to_string(mode.VisScreenHeight) + "x" +
                     std::to_string(mode.BitsPerPlane));
        if (mode.VisScreenWidth == 1024 && mode.VisScreenHeight == 768 && mode.BitsPerPlane == 24) {
            EXPECT_EQ(entry.vesaMode, 0x118);
            EXPECT_EQ(entry.vesaModeAlt, 0);
        } else {
            EXPECT_EQ(entry.vesaMode, entry.vesaModeAlt);
        }
        if (mode.BitsPerPlane == 32 || mode.VisScreenWidth <= 512) {
            EXPECT_EQ(entry.vesaMode, 0);
        }
    }
}

// --- Selector tables --------------------------------------------------------------------------

class SelectorTableOrder : public ::testing::TestWithParam<bool> {};

TEST_P(SelectorTableOrder, ListsEveryResolutionRateAndDepthInModeIndexOrder) {
    const bool bios = GetParam();
    const ModeSelectorEntry* table = SelectorTable(bios);
    std::vector<Selection> want = ExpectedSelections(bios);
    ASSERT_EQ(want.size(), bios ? 154u : 158u);
    EXPECT_EQ(SelectionsOf(table), want);
    // The terminator is an entry of all zeros right after the last mode.
    const ModeSelectorEntry& end = table[bios ? BiosSelectorCount : DirectSelectorCount];
    EXPECT_EQ(end.bitsPerPixel, 0u);
    EXPECT_EQ(end.width, 0u);
    EXPECT_EQ(end.height, 0u);
    EXPECT_EQ(end.refreshRate, 0u);
    EXPECT_EQ(end.crtcBlock, nullptr);
}

TEST_P(SelectorTableOrder, EveryEntryMatchesExactlyOneInformationEntry) {
    const ModeSelectorEntry* table = SelectorTable(GetParam());
    for (int i = 0; table[i].bitsPerPixel != 0; ++i) {
        const ModeSelectorEntry& e = table[i];
        int matches = 0;
        for (const ModeInfoEntry& info : modeInfoTable) {
            if (info.modeInfo.BitsPerPlane == e.bitsPerPixel && info.modeInfo.VisScreenWidth == e.width &&
                info.modeInfo.VisScreenHeight == e.height) {
                ++matches;
            }
        }
        EXPECT_EQ(matches, 1) << "selector entry " << i;
        // The static data is not yet validated.
        EXPECT_EQ(e.infoEntry, nullptr) << "selector entry " << i;
        EXPECT_EQ(e.valid, 0) << "selector entry " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(DirectAndBios, SelectorTableOrder, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "BiosTable" : "DirectTable"; });

struct KnownIndex {
    Selection mode;
    int directIndex;
    int biosIndex;   // -1: not in the BIOS table
};

class ModeIndexOfKnownModes : public ::testing::TestWithParam<KnownIndex> {};

TEST_P(ModeIndexOfKnownModes, IsTheDocumentedPosition) {
    const KnownIndex& k = GetParam();
    EXPECT_EQ(IndexOf(directSelectorTable, k.mode), k.directIndex);
    EXPECT_EQ(IndexOf(biosSelectorTable, k.mode), k.biosIndex);
}

INSTANTIATE_TEST_SUITE_P(
    Positions, ModeIndexOfKnownModes,
    ::testing::Values(KnownIndex{{8, 640, 480, 60}, 0, 0}, KnownIndex{{16, 640, 480, 60}, 1, 1},
                      KnownIndex{{24, 640, 480, 60}, 2, 2}, KnownIndex{{32, 640, 480, 60}, 3, 3},
                      KnownIndex{{8, 1280, 1024, 60}, 80, -1}, KnownIndex{{32, 1280, 1024, 60}, 83, -1},
                      KnownIndex{{8, 1280, 1024, 75}, 84, 80}, KnownIndex{{32, 1600, 1200, 85}, 115, 111},
                      KnownIndex{{32, 1920, 1440, 60}, 131, 127}, KnownIndex{{8, 320, 200, 70}, 132, 128},
                      KnownIndex{{16, 640, 400, 85}, 157, 153}));

// --- Timing blocks ----------------------------------------------------------------------------

TEST(DisplayTimings, EachResolutionAndRateHasOneBlockSharedByAllItsDepths) {
    std::set<const CrtcBlock*> blocks;
    for (const ModeSelectorEntry* e = directSelectorTable; e->bitsPerPixel != 0; ++e) {
        ASSERT_NE(e->crtcBlock, nullptr);
        blocks.insert(e->crtcBlock);
        for (const ModeSelectorEntry* other = directSelectorTable; other->bitsPerPixel != 0; ++other) {
            bool sameTiming = other->width == e->width && other->height == e->height &&
                              other->refreshRate == e->refreshRate;
            EXPECT_EQ(sameTiming, other->crtcBlock == e->crtcBlock)
                << Selection{e->bitsPerPixel, e->width, e->height, e->refreshRate} << " and "
                << Selection{other->bitsPerPixel, other->width, other->height, other->refreshRate};
        }
    }
    EXPECT_EQ(blocks.size(), 46u);
    // The BIOS table programs the same timings as the direct one.
    for (const ModeSelectorEntry* e = biosSelectorTable; e->bitsPerPixel != 0; ++e) {
        int direct = IndexOf(directSelectorTable, {e->bitsPerPixel, e->width, e->height, e->refreshRate});
        ASSERT_GE(direct, 0);
        EXPECT_EQ(e->crtcBlock, directSelectorTable[direct].crtcBlock);
    }
}

class DisplayTimingBlock : public ::testing::TestWithParam<ExpectedTiming> {};

TEST_P(DisplayTimingBlock, ProgramsTheDocumentedRegisterBytes) {
    const ExpectedTiming& want = GetParam();
    int index = IndexOf(directSelectorTable, {8, want.width, want.height, want.rate});
    ASSERT_GE(index, 0) << "no selector entry for this timing";
    const CrtcBlock* block = directSelectorTable[index].crtcBlock;
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(block->bytes[i], want.crtc[i]) << "byte " << i;
    EXPECT_EQ(block->bytes[16], want.miscOutput) << "miscellaneous output";
    EXPECT_EQ(block->bytes[17], 0x21) << "sequencer clocking mode";
    EXPECT_EQ(block->bytes[18], want.pll & 0xFF) << "pixel clock, low byte";
    EXPECT_EQ(block->bytes[19], want.pll >> 8) << "pixel clock, high byte";
    EXPECT_EQ(CrtcPllValue(block), want.pll);
    EXPECT_EQ(block->bytes[20], want.doubleClock) << "double clock";

    // A block that adds up to zero would be refused as missing.
    unsigned sum = 0;
    for (UCHAR byte : block->bytes) sum += byte;
    EXPECT_NE(sum & 0xFF, 0u);
    // With a doubled pixel clock the horizontal display end counts pairs of pixels.
    ULONG charactersPerLine = want.width / (want.doubleClock ? 16 : 8);
    EXPECT_EQ(block->bytes[1], charactersPerLine - 1) << "horizontal display end";
}

INSTANTIATE_TEST_SUITE_P(AllTimings, DisplayTimingBlock, ::testing::ValuesIn(expectedTimings),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height) +
                                    "at" + std::to_string(info.param.rate);
                         });

TEST(DisplayTimings, EveryBlockIsDocumented) {
    for (const ModeSelectorEntry* e = directSelectorTable; e->bitsPerPixel != 0; ++e) {
        bool documented = false;
        for (const ExpectedTiming& t : expectedTimings) {
            documented |= t.width == e->width && t.height == e->height && t.rate == e->refreshRate;
        }
        EXPECT_TRUE(documented) << Selection{e->bitsPerPixel, e->width, e->height, e->refreshRate};
    }
}

// --- Small tables -----------------------------------------------------------------------------

TEST(MemorySizes, AreFourEightAndSixteenMegabytes) {
    ASSERT_EQ(MemorySizeCount, 3u);
    EXPECT_EQ(memorySizeTable[0], 0x400000u);
    EXPECT_EQ(memorySizeTable[1], 0x800000u);
    EXPECT_EQ(memorySizeTable[2], 0x1000000u);
}

TEST(AttributeController, ValuesEnableGraphicsWithFullColourPlanes) {
    ASSERT_EQ(AttributeCount, 20u);
    for (ULONG index = 0; index < AttributeCount; ++index) {
        UCHAR want = index == 0x10 ? 0x01 : index == 0x12 ? 0x0F : 0x00;
        EXPECT_EQ(attributeTable[index], want) << "attribute index " << index;
    }
}
