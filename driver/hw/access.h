// The register accessors: the only way driver code reaches the hardware.
#pragma once

#include "adapter/adapter_state.h"

// MMIO n: the 32-bit chip register at byte offset n of the register window.
ULONG ReadMmio(const AdapterState* adapter, ULONG offset);
void WriteMmio(const AdapterState* adapter, ULONG offset, ULONG value);
// Read-modify-write of an MMIO register.
void SetMmioBits(const AdapterState* adapter, ULONG offset, ULONG bits);
void ClearMmioBits(const AdapterState* adapter, ULONG offset, ULONG bits);
void MaskMmio(const AdapterState* adapter, ULONG offset, ULONG keep);

// A byte of the register window (the option ROM image is read this way).
UCHAR ReadMmioByte(const AdapterState* adapter, ULONG offset);

// I/O n: the same chip register n through the I/O window.
ULONG ReadIo(const AdapterState* adapter, ULONG offset);
void WriteIo(const AdapterState* adapter, ULONG offset, ULONG value);

// VGA port p through the I/O window.
UCHAR ReadVga(const AdapterState* adapter, USHORT port);
void WriteVga(const AdapterState* adapter, USHORT port, UCHAR value);
// An indexed VGA register (CRTC, sequencer, graphics controller): one 16-bit write to the index
// port with the index in the low byte and the value in the high byte.
void WriteVgaIndexed(const AdapterState* adapter, USHORT indexPort, UCHAR index, UCHAR value);
