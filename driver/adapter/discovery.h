// Adapter discovery (HwFindAdapter) and the steps it owns: the PCI configuration step, the range
// step and memory sizing.
#pragma once

#include "adapter/adapter_state.h"

// The chip maker's PCI vendor ID.
constexpr USHORT ZarnVendorId = 0x1A5D;
// The device ID given to the platform when asking for the adapter's ranges.
constexpr USHORT ZarnFirstDeviceId = 3;

// Whether the driver serves an adapter of this PCI device ID (the ROM probe's identity table).
bool ServesDevice(USHORT deviceId);

// The configuration information the driver needs from the port (the record of Windows 2000).
constexpr ULONG ConfigInfoLength = 112;
static_assert(sizeof(VIDEO_PORT_CONFIG_INFO) == ConfigInfoLength, "VIDEO_PORT_CONFIG_INFO keeps its i386 size");

// The register window must reach the chip's last register, the I/O window its last VGA port.
constexpr ULONG RegisterWindowNeeded = 0x200254;
constexpr ULONG IoWindowNeeded = 0xDC;

constexpr ULONG PciHeaderSize = 64;
// Offsets in the PCI configuration header.
constexpr ULONG PciVendorIdOffset = 0x00;
constexpr ULONG PciDeviceIdOffset = 0x02;
constexpr ULONG PciCommandOffset = 0x04;
constexpr ULONG PciStatusOffset = 0x06;
constexpr ULONG PciRevisionOffset = 0x08;
constexpr ULONG PciRegisterBarOffset = 0x10;   // the first base address register
constexpr ULONG PciBarIoSpace = 0x1;            // bit 0 of a base address register: an I/O range
constexpr ULONG PciBarIoAddressMask = 0xFFFFFFFC;
constexpr ULONG PciBarMemoryAddressMask = 0xFFFFFFF0;
constexpr ULONG PciSubsystemVendorOffset = 0x2C;
constexpr ULONG PciRomBarOffset = 0x30;
constexpr UCHAR PciCommandIoEnable = 0x01;
constexpr UCHAR PciCommandMemoryEnable = 0x02;
constexpr UCHAR PciStatus66MHz = 0x20;
constexpr ULONG PciRomEnable = 0x1;

// Reads the whole 64-byte configuration header; false when the platform returned less.
bool ReadPciHeader(AdapterState* adapter, UCHAR* header);
// Writes the whole 64-byte configuration header; false when the platform wrote less.
bool WritePciHeader(AdapterState* adapter, UCHAR* header);

static inline ULONG PciDword(const UCHAR* header, ULONG offset) {
    return header[offset] | (header[offset + 1] << 8) | (header[offset + 2] << 16) |
           (static_cast<ULONG>(header[offset + 3]) << 24);
}

static inline USHORT PciWord(const UCHAR* header, ULONG offset) {
    return static_cast<USHORT>(header[offset] | (header[offset + 1] << 8));
}

static inline void SetPciDword(UCHAR* header, ULONG offset, ULONG value) {
    for (ULONG i = 0; i < 4; ++i) header[offset + i] = static_cast<UCHAR>(value >> (8 * i));
}
