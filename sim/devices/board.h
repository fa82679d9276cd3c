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

// The platform's DDC helper. Whether it checks the bus before a start, waits for vertical sync or
// for a clock a device stretches is not documented, so both readings are offered.
enum class DdcHelper {
    // As a clean-room port driver's: it looks at both lines before every start condition and gives
    // up at once when either reads low; it gives up at once on a clock that reads low after it
    // released it (a stretched one too); it never waits for vertical sync.
    Strict,
    // It waits for vertical sync before each attempt, releases both lines itself and clocks a data
    // line a device holds low free (up to nine pulses), and waits up to 1 ms for a stretched clock.
    Tolerant,
};

// How one adapter board is built and found.
struct AdapterConfig {
    uint16_t deviceId = 5;
    uint8_t revision = 1;
    uint32_t memoryMiB = 16;        // 4, 8 or 16
    bool altMemory = false;         // the alternative memory type (16 MB, dramInit1 strap)
    bool secondary = false;         // no BIOS has run on it: decoding off until the bus driver's start
    bool bus66 = false;             // on a 66 MHz capable bus
    // The PCI bus driver's start of the device switches memory and I/O decoding on before discovery,
    // as the platform documents a PCI device's start (the default); false: it leaves decoding as the
    // BIOS left it.
    bool pciStartEnables = true;
    // VideoPortGetAccessRanges answers with the resources as the platform lists them: the three
    // windows in the order of the assigned list and the expansion ROM the device decodes as one more
    // entry, ERROR_MORE_DATA with no entry filled when the caller's room is short (the default);
    // false: the three windows only.
    bool rangesAsAssigned = true;
    // How many times the platform's DDC helper tries to read the monitor's EDID (1 to
    // MaxDdcAttempts). The platform documents no retries.
    uint32_t ddcAttempts = 1;
    // Which DDC helper the platform has (see DdcHelper).
    DdcHelper ddcHelper = DdcHelper::Strict;
    // How the port hands on the status of a registry value callback. true: as the status of the
    // registry's query routine, an NTSTATUS, where a Win32 error number such as 87 counts as success,
    // so VideoPortGetRegistryParameters answers NO_ERROR although the callback refused; only an
    // NTSTATUS error (high bit set) makes it answer ERROR_INVALID_PARAMETER. false: any non-zero
    // status is a refusal and the routine answers ERROR_INVALID_PARAMETER.
    bool callbackStatusIsNtStatus = true;
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

constexpr uint32_t MaxDdcAttempts = 8;
constexpr uint32_t FrameBufferWindowSize = 16u << 20;
constexpr uint32_t IoWindowSize = 256;
constexpr uint32_t RomWindowSize = 128u << 10;

// A board's video memory. DRAM holds no data when power comes on: its cells settle to a pattern
// that is nobody's data, so a fresh board's memory (and a board's memory after its power was removed)
// holds one noise pattern, never zeros. The pattern is mapped copy-on-write from one shared copy, so
// untouched pages cost nothing (neither to make nor to free). It never changes size.
class VideoMemoryBytes {
public:
    VideoMemoryBytes() = default;
    explicit VideoMemoryBytes(size_t size);
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

    // Every byte back to the power-on noise (the cells lost their charge).
    void LoseCharge();
    // The power-on noise's byte at `offset` (what an untouched cell reads).
    static uint8_t NoiseAt(size_t offset);

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
    AdapterConfig config;            // its description, but for the ROM image: that is `rom`
    uint32_t slot = 0;               // PCI slot number
    uint32_t romWindow = 0;          // where the system assigned the expansion ROM's window
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
