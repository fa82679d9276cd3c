// One adapter board in a PCI slot: how it is built (the description a test or the command line
// gives), its configuration space, its chip, its video memory and its option ROM.
#pragma once

#include <cstdint>
#include <sys/mman.h>

#include <cstddef>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "devices/chip.h"
#include "devices/display_monitor.h"
#include "devices/pci.h"
#include "devices/sync_generator.h"
#include "devices/video_bios.h"

namespace sim {

// The chip maker's PCI vendor ID, as the hardware reports it.
constexpr uint16_t ZarnVendorId = 0x1A5D;

// How one adapter board is built and found.
struct AdapterConfig {
    uint16_t deviceId = 5;
    uint8_t revision = 1;
    uint32_t memoryMiB = 16;        // 4, 8 or 16
    bool altMemory = false;         // the alternative memory type (16 MB, dramInit1 strap)
    bool secondary = false;         // found with decoding switched off; no BIOS has run on it
    bool bus66 = false;             // on a 66 MHz capable bus
    // The PCI bus driver's start of the device switches memory and I/O decoding on before discovery
    // (as the platform documents a PCI device's start); false: it leaves decoding as the BIOS left it.
    bool pciStartEnables = false;
    uint16_t subsystemVendor = ZarnVendorId;
    uint16_t subsystemId = 0x0001;
    uint32_t registerWindowMiB = 32;  // size of the register window (a power of two, 1 to 128)
    bool hasRom = true;             // the board carries an option ROM
    std::vector<uint8_t> romImage;  // its image; empty means the standard board's ROM
    BiosConfig bios;                // which VESA modes its video BIOS sets
    // --- Monitor ---
    MonitorConfig monitor;          // the monitor on its connector (the built-in one by default)
};

// Parses one adapter's comma-separated key=value description; throws std::invalid_argument with a
// one-line message.
AdapterConfig ParseAdapterDescription(const std::string& description);

constexpr uint32_t FrameBufferWindowSize = 16u << 20;
constexpr uint32_t IoWindowSize = 256;
constexpr uint32_t RomWindowSize = 128u << 10;

// A board's video memory: a fresh anonymous mapping, which the system zeroes a page at a time on
// first use, so untouched pages cost nothing (neither to make nor to free). It never changes size.
class VideoMemoryBytes {
public:
    VideoMemoryBytes() = default;
    explicit VideoMemoryBytes(size_t size) : size_(size) {
        if (size == 0) return;
        void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) throw std::bad_alloc();
        bytes_ = static_cast<uint8_t*>(memory);
    }
    VideoMemoryBytes(VideoMemoryBytes&& other) noexcept : bytes_(other.bytes_), size_(other.size_) {
        other.bytes_ = nullptr;
        other.size_ = 0;
    }
    VideoMemoryBytes& operator=(VideoMemoryBytes&& other) noexcept {
        std::swap(bytes_, other.bytes_);
        std::swap(size_, other.size_);
        return *this;
    }
    VideoMemoryBytes(const VideoMemoryBytes&) = delete;
    VideoMemoryBytes& operator=(const VideoMemoryBytes&) = delete;
    ~VideoMemoryBytes() {
        if (bytes_) munmap(bytes_, size_);
    }

    // Makes every byte the file's byte at the same offset (the file holds at least size() bytes):
    // a private copy-on-write mapping of it in the same place, so that nothing is copied until
    // written. False (nothing changed) when the system refuses.
    bool MapCopyOf(int file) {
        if (size_ == 0) return true;
        return mmap(bytes_, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, file, 0) != MAP_FAILED;
    }

    size_t size() const { return size_; }
    uint8_t* data() { return bytes_; }
    const uint8_t* data() const { return bytes_; }
    uint8_t& operator[](size_t at) { return bytes_[at]; }
    const uint8_t& operator[](size_t at) const { return bytes_[at]; }
    uint8_t* begin() { return bytes_; }
    uint8_t* end() { return bytes_ + size_; }
    const uint8_t* begin() const { return bytes_; }
    const uint8_t* end() const { return bytes_ + size_; }

private:
    uint8_t* bytes_ = nullptr;
    size_t size_ = 0;
};

struct Board {
    AdapterConfig config;
    uint32_t slot = 0;               // PCI slot number
    PciFunction pci;
    Chip chip{Straps{}};
    VideoMemoryBytes videoMemory;
    std::vector<uint8_t> rom;        // empty: the board has no option ROM
    // --- What hangs off the chip: the CRTC's sync in time, the monitor on the connector ---
    SyncGenerator sync;
    DisplayMonitor monitor;
    // The chip has power (the system's D0 to D2); in a deep power state only configuration space answers.
    bool powered = true;
};

}  // namespace sim
