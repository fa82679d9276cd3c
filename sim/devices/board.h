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
#include "devices/pci.h"
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
    uint16_t subsystemVendor = ZarnVendorId;
    uint16_t subsystemId = 0x0001;
    uint32_t registerWindowMiB = 32;  // size of the register window (a power of two, 1 to 128)
    bool hasRom = true;             // the board carries an option ROM
    std::vector<uint8_t> romImage;  // its image; empty means the standard board's ROM
    BiosConfig bios;                // which VESA modes its video BIOS sets
};

// Parses one adapter's comma-separated key=value description; throws std::invalid_argument with a
// one-line message.
AdapterConfig ParseAdapterDescription(const std::string& description);

constexpr uint32_t FrameBufferWindowSize = 16u << 20;
constexpr uint32_t IoWindowSize = 256;
constexpr uint32_t RomWindowSize = 128u << 10;

// Hands out zero-filled memory whose pages cost nothing until touched (a fresh anonymous mapping,
// which the system zeroes a page at a time on first use), and leaves the elements of a new vector
// as allocated instead of writing zeros over them.
template <class T>
struct LazyZeroAllocator {
    using value_type = T;
    LazyZeroAllocator() = default;
    template <class U>
    LazyZeroAllocator(const LazyZeroAllocator<U>&) {}
    T* allocate(size_t count) {
        void* memory = mmap(nullptr, Bytes(count), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }
    void deallocate(T* memory, size_t count) { munmap(memory, Bytes(count)); }
    template <class U>
    void construct(U*) noexcept {}   // already zero
    template <class U, class... Arguments>
    void construct(U* at, Arguments&&... arguments) {
        ::new (static_cast<void*>(at)) U(std::forward<Arguments>(arguments)...);
    }
    template <class U>
    bool operator==(const LazyZeroAllocator<U>&) const { return true; }

private:
    static size_t Bytes(size_t count) { return count == 0 ? 1 : count * sizeof(T); }
};

// A board's video memory: untouched pages cost nothing. It never grows after it is made.
using VideoMemoryBytes = std::vector<uint8_t, LazyZeroAllocator<uint8_t>>;

struct Board {
    AdapterConfig config;
    uint32_t slot = 0;               // PCI slot number
    PciFunction pci;
    Chip chip{Straps{}};
    VideoMemoryBytes videoMemory;
    std::vector<uint8_t> rom;        // empty: the board has no option ROM
};

}  // namespace sim
