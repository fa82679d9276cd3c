// The adapter's PCI configuration header: its identity, the offsets and bits the driver reads and
// writes, and the whole-header read and write through the platform.
#pragma once

#include "adapter/adapter_state.h"

// The chip maker's PCI vendor ID, and the device IDs of the chips the driver serves.
constexpr USHORT ZarnVendorId = 0x1A5D;
constexpr USHORT CorvidDeviceId = 3;
constexpr USHORT CorvidPlusDeviceId = 4;
constexpr USHORT Mistral3DeviceId = 5;

constexpr ULONG PciHeaderSize = 64;

constexpr ULONG PciVendorIdOffset = 0x00;
constexpr ULONG PciDeviceIdOffset = 0x02;
constexpr ULONG PciCommandOffset = 0x04;
constexpr UCHAR PciCommandIoEnable = 0x01;
constexpr UCHAR PciCommandMemoryEnable = 0x02;
constexpr ULONG PciStatusOffset = 0x06;
constexpr UCHAR PciStatus66MHz = 0x20;
constexpr ULONG PciRevisionOffset = 0x08;
constexpr ULONG PciRegisterBarOffset = 0x10;   // the first base address register
constexpr ULONG PciBarBytes = 4;               // each base address register
constexpr ULONG PciBarIoSpace = 0x1;           // an I/O range, not memory
constexpr ULONG PciBarIoAddressMask = 0xFFFFFFFC;
constexpr ULONG PciBarMemoryAddressMask = 0xFFFFFFF0;
constexpr ULONG PciSubsystemVendorOffset = 0x2C;
constexpr ULONG PciRomBarOffset = 0x30;
constexpr ULONG PciRomEnable = 0x1;

// The bus clock, in MHz, of a bus whose status register shows the 66 MHz capability.
constexpr ULONG PciFastBusMhz = 66;

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
