// PNG writing and reading through libpng's simplified interface.
#include "support/png_writer.h"

#include <png.h>

#include <vector>

#include "support/file_save.h"

namespace sim {

namespace {

bool Fail(std::string* error, const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
}

// The PNG file of 8-bit RGB rows, in memory.
bool EncodeRgb(const Image& image, const std::vector<uint8_t>& rgb, std::string* bytes, std::string* message) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = image.width;
    png.height = image.height;
    png.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&png, nullptr, &size, 0, rgb.data(), 0, nullptr)) {
        *message = png.message;
        png_image_free(&png);
        return false;
    }
    bytes->resize(size);
    if (!png_image_write_to_memory(&png, bytes->data(), &size, 0, rgb.data(), 0, nullptr)) {
        *message = png.message;
        png_image_free(&png);
        return false;
    }
    bytes->resize(size);
    return true;
}

}  // namespace

bool WritePng(const std::string& path, const Image& image, std::string* error) {
    if (image.width == 0 || image.height == 0) return Fail(error, "the image is empty");
    if (image.width > MaxPngSide || image.height > MaxPngSide) {
        return Fail(error, "the image is larger than " + std::to_string(MaxPngSide) + " pixels on a side");
    }
    if (image.pixels.size() != static_cast<size_t>(image.width) * image.height) {
        return Fail(error, "the image holds " + std::to_string(image.pixels.size()) + " pixels, not " +
                               std::to_string(image.width) + " x " + std::to_string(image.height));
    }
    std::vector<uint8_t> rgb(image.pixels.size() * 3);
    for (size_t i = 0; i < image.pixels.size(); ++i) {
        uint32_t pixel = image.pixels[i];
        rgb[i * 3] = static_cast<uint8_t>(pixel >> 16);
        rgb[i * 3 + 1] = static_cast<uint8_t>(pixel >> 8);
        rgb[i * 3 + 2] = static_cast<uint8_t>(pixel);
    }

    std::string bytes, message;
    if (!EncodeRgb(image, rgb, &bytes, &message)) return Fail(error, message);
    return SaveFile(path, bytes, SavePolicy{}, error);
}

bool ReadPng(const std::string& path, Image* image, std::string* error) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) {
        std::string message = path + ": " + png.message;
        png_image_free(&png);
        return Fail(error, message);
    }
    if (png.width == 0 || png.height == 0 || png.width > MaxPngSide || png.height > MaxPngSide) {
        std::string message = path + ": " + std::to_string(png.width) + " x " + std::to_string(png.height) +
                              " pixels is outside the sizes read (1 to " + std::to_string(MaxPngSide) + ")";
        png_image_free(&png);
        return Fail(error, message);
    }
    png.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(png), 0);
    if (!png_image_finish_read(&png, nullptr, rgb.data(), 0, nullptr)) {
        std::string message = path + ": " + png.message;
        png_image_free(&png);
        return Fail(error, message);
    }
    Image result;
    result.width = png.width;
    result.height = png.height;
    result.pixels.resize(static_cast<size_t>(png.width) * png.height);
    for (size_t i = 0; i < result.pixels.size(); ++i) {
        result.pixels[i] = static_cast<uint32_t>(rgb[i * 3]) << 16 | rgb[i * 3 + 1] << 8 | rgb[i * 3 + 2];
    }
    *image = std::move(result);
    return true;
}

}  // namespace sim
