// A test pattern for the frame buffer, and the colour it puts at every pixel, so that a screenshot
// can be checked pixel by pixel.
//
// The pattern on a width x height screen:
//   - a one-pixel white border with distinct corners: top left red, top right green, bottom left
//     blue, bottom right yellow;
//   - inside, the upper half: eight vertical colour bars, white, yellow, cyan, green, magenta, red,
//     blue, black;
//   - the lower half: four horizontal bands, each a ramp from 0 to 255 across the width in red, green,
//     blue and grey; the red, green and blue bands also carry a ramp down the lower half in another
//     component (the red band in blue, the green band in red, the blue band in green), so every line
//     there differs.
// At 8 bpp a pixel holds a palette index, the weighted brightness (77 R + 150 G + 29 B) / 256 of its
// colour, so the grey ramp uses every index and the identity palette shows the pattern in grey; or,
// drawn for a palette, the index of the palette colour nearest to it, as a display driver draws.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sim {

// The colour, 0x00RRGGBB, that the pattern gives pixel (x, y) of a width x height screen.
uint32_t PatternColour(unsigned x, unsigned y, unsigned width, unsigned height);

// What the scanout reads back for that pixel at `bitsPerPixel`, before palette and gamma: the
// palette index at 8 bpp; at 16 bpp the colour as its 5:6:5 pixel holds it, each component widened
// to 8 bits by repeating its top bits; at 24 and 32 bpp the colour itself.
uint32_t PatternValue(unsigned x, unsigned y, unsigned width, unsigned height, unsigned bitsPerPixel);

// Draws the pattern into video memory from byte 0, `stride` bytes per line, in the chip's pixel
// layouts (16 bpp little-endian 5:6:5 words, 24 bpp bytes B, G, R, 32 bpp 0x00RRGGBB little-endian).
// Bytes between the end of a line and the next stride are left as they are. Refuses, writing nothing,
// a depth other than 8, 16, 24 or 32, an empty screen, a stride shorter than a line, and a pattern
// that does not fit in `videoMemory`; then returns false and, when `error` is not null, says why.
// At 8 bpp with a `palette` (256 colours 0x00RRGGBB), each pixel is the nearest palette entry.
bool DrawTestPattern(std::span<uint8_t> videoMemory, unsigned width, unsigned height, unsigned bitsPerPixel,
                     uint32_t stride, std::string* error, const std::vector<uint32_t>* palette = nullptr);

// The entry of the palette whose colour is nearest to `colour` (the first of equals): the least sum
// of squared differences of red, green and blue.
uint32_t NearestPaletteIndex(uint32_t colour, const std::vector<uint32_t>& palette);

}  // namespace sim
