// Screenshots as PNG files: 8-bit RGB, written with libpng.
#pragma once

#include <string>

#include "devices/scanout.h"

namespace sim {

// The largest side, in pixels, of an image written or read.
constexpr unsigned MaxPngSide = 16384;

// Writes `image` to `path` as an 8-bit RGB PNG, with SaveFile (file_save.h): a regular file appears
// complete or not at all (a failure leaves an existing file untouched; a symbolic link is followed
// to the file it names), a character device or a FIFO (such as /dev/stdout on a pipe) is written
// through, and a directory, block device or socket is refused. On failure returns false and, when
// `error` is not null, says why (an empty, oversized or inconsistent image, a file that cannot be
// saved, a libpng error).
bool WritePng(const std::string& path, const Image& image, std::string* error);

// Reads a PNG file of any colour type into 0x00RRGGBB pixels (transparency is composed onto black).
// Images of more than MaxPngSide pixels on a side are refused. On failure returns false, leaves
// `image` unchanged and, when `error` is not null, says why.
bool ReadPng(const std::string& path, Image* image, std::string* error);

}  // namespace sim
