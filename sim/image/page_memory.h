// Host memory that the emulated CPU can share page for page: page-aligned, a whole number of
// pages, zero-filled.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace sim::image {

constexpr uint32_t PageSize = 0x1000;

constexpr uint32_t RoundToPages(uint32_t size) { return (size + PageSize - 1) & ~(PageSize - 1); }

class PageMemory {
public:
    PageMemory() = default;
    explicit PageMemory(uint32_t size) : size_(RoundToPages(size)) {
        if (size_ == 0) return;
        bytes_.reset(static_cast<uint8_t*>(std::aligned_alloc(PageSize, size_)));
        if (!bytes_) throw std::bad_alloc();
        std::memset(bytes_.get(), 0, size_);
    }

    uint8_t* data() const { return bytes_.get(); }
    uint32_t size() const { return size_; }

private:
    struct Release {
        void operator()(uint8_t* bytes) const { std::free(bytes); }
    };
    uint32_t size_ = 0;
    std::unique_ptr<uint8_t, Release> bytes_;
};

}  // namespace sim::image
