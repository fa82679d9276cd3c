// The frame buffer test pattern.
#include "clients/test_pattern.h"

namespace sim {

namespace {

constexpr uint32_t White = 0xFFFFFF;
constexpr uint32_t Red = 0xFF0000;
constexpr uint32_t Green = 0x00FF00;
constexpr uint32_t Blue = 0x0000FF;
constexpr uint32_t Yellow = 0xFFFF00;
constexpr uint32_t Cyan = 0x00FFFF;
constexpr uint32_t Magenta = 0xFF00FF;
constexpr uint32_t Black = 0x000000;

const uint32_t bars[8] = {White, Yellow, Cyan, Green, Magenta, Red, Blue, Black};

// 0 at position 0 to 255 at position count - 1.
uint32_t Ramp(unsigned position, unsigned count) {
    return count > 1 ? static_cast<uint32_t>(static_cast<uint64_t>(position) * 255 / (count - 1)) : 0;
}

uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) { return r << 16 | g << 8 | b; }

uint32_t PaletteIndex(uint32_t colour) {
    uint32_t r = (colour >> 16) & 0xFF;
    uint32_t g = (colour >> 8) & 0xFF;
    uint32_t b = colour & 0xFF;
    return (77 * r + 150 * g + 29 * b) >> 8;
}

uint32_t Pack565(uint32_t colour) {
    return ((colour >> 19) & 0x1F) << 11 | ((colour >> 10) & 0x3F) << 5 | ((colour >> 3) & 0x1F);
}

uint32_t Widen565(uint32_t word) {
    uint32_t r5 = (word >> 11) & 0x1F;
    uint32_t g6 = (word >> 5) & 0x3F;
    uint32_t b5 = word & 0x1F;
    return Rgb(r5 << 3 | r5 >> 2, g6 << 2 | g6 >> 4, b5 << 3 | b5 >> 2);
}

bool Refuse(std::string* error, const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
}

}  // namespace

uint32_t PatternColour(unsigned x, unsigned y, unsigned width, unsigned height) {
    if (x >= width || y >= height) return Black;
    bool left = x == 0;
    bool right = x + 1 == width;
    bool top = y == 0;
    bool bottom = y + 1 == height;
    if (top && left) return Red;
    if (top && right) return Green;
    if (bottom && left) return Blue;
    if (bottom && right) return Yellow;
    if (left || right || top || bottom) return White;

    unsigned half = height / 2;
    if (y < half) return bars[static_cast<uint64_t>(x) * 8 / width];
    unsigned lowerLines = height - half;
    unsigned band = static_cast<unsigned>(static_cast<uint64_t>(y - half) * 4 / lowerLines);
    uint32_t across = Ramp(x, width);
    uint32_t down = Ramp(y - half, lowerLines);
    switch (band) {
    case 0: return Rgb(across, 0, down);
    case 1: return Rgb(down, across, 0);
    case 2: return Rgb(0, down, across);
    default: return Rgb(across, across, across);
    }
}

uint32_t PatternValue(unsigned x, unsigned y, unsigned width, unsigned height, unsigned bitsPerPixel) {
    uint32_t colour = PatternColour(x, y, width, height);
    switch (bitsPerPixel) {
    case 8: return PaletteIndex(colour);
    case 16: return Widen565(Pack565(colour));
    default: return colour;
    }
}

uint32_t NearestPaletteIndex(uint32_t colour, const std::vector<uint32_t>& palette) {
    uint32_t best = 0;
    int64_t bestDistance = -1;
    for (uint32_t i = 0; i < palette.size(); ++i) {
        int64_t distance = 0;
        for (int shift : {16, 8, 0}) {
            int64_t d = static_cast<int64_t>((colour >> shift) & 0xFF) - ((palette[i] >> shift) & 0xFF);
            distance += d * d;
        }
        if (bestDistance < 0 || distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

bool DrawTestPattern(std::span<uint8_t> videoMemory, unsigned width, unsigned height, unsigned bitsPerPixel,
                     uint32_t stride, std::string* error, const std::vector<uint32_t>* palette) {
    if (palette != nullptr && palette->size() != 256) return Refuse(error, "a palette has 256 colours");
    if (bitsPerPixel != 8 && bitsPerPixel != 16 && bitsPerPixel != 24 && bitsPerPixel != 32) {
        return Refuse(error, "no pixel layout for " + std::to_string(bitsPerPixel) + " bits per pixel");
    }
    if (width == 0 || height == 0) return Refuse(error, "the screen is empty");
    const uint64_t bytesPerPixel = bitsPerPixel / 8;
    const uint64_t lineBytes = width * bytesPerPixel;
    if (stride < lineBytes) {
        return Refuse(error, "a stride of " + std::to_string(stride) + " bytes is shorter than a line (" +
                                 std::to_string(lineBytes) + " bytes)");
    }
    const uint64_t extent = static_cast<uint64_t>(height - 1) * stride + lineBytes;
    if (extent > videoMemory.size()) {
        return Refuse(error, "the pattern needs " + std::to_string(extent) + " bytes; video memory has " +
                                 std::to_string(videoMemory.size()));
    }
    for (unsigned y = 0; y < height; ++y) {
        uint8_t* line = &videoMemory[static_cast<size_t>(y) * stride];
        for (unsigned x = 0; x < width; ++x) {
            uint8_t* p = line + x * bytesPerPixel;
            uint32_t colour = PatternColour(x, y, width, height);
            switch (bitsPerPixel) {
            case 8:
                p[0] = static_cast<uint8_t>(palette ? NearestPaletteIndex(colour, *palette) : PaletteIndex(colour));
                break;
            case 16: {
                uint32_t word = Pack565(colour);
                p[0] = static_cast<uint8_t>(word);
                p[1] = static_cast<uint8_t>(word >> 8);
                break;
            }
            default:
                p[0] = static_cast<uint8_t>(colour);
                p[1] = static_cast<uint8_t>(colour >> 8);
                p[2] = static_cast<uint8_t>(colour >> 16);
                if (bitsPerPixel == 32) p[3] = 0;
                break;
            }
        }
    }
    return true;
}

}  // namespace sim
