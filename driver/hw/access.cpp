// The register accessors, on top of the video port's register and port routines, and the PCI
// configuration header's read and write.
#include "hw/access.h"

#include "hw/pci.h"
#include "hw/registers.h"

static PULONG MmioAddress(const AdapterState* adapter, ULONG offset) {
    return reinterpret_cast<PULONG>(adapter->registerBase + offset);
}

static PUCHAR VgaAddress(const AdapterState* adapter, USHORT port) {
    return adapter->ioBase + (port - reg::VgaPortBase);
}

ULONG ReadMmio(const AdapterState* adapter, ULONG offset) {
    return VideoPortReadRegisterUlong(MmioAddress(adapter, offset));
}

void WriteMmio(const AdapterState* adapter, ULONG offset, ULONG value) {
    VideoPortWriteRegisterUlong(MmioAddress(adapter, offset), value);
}

void SetMmioBits(const AdapterState* adapter, ULONG offset, ULONG bits) {
    WriteMmio(adapter, offset, ReadMmio(adapter, offset) | bits);
}

void ClearMmioBits(const AdapterState* adapter, ULONG offset, ULONG bits) {
    WriteMmio(adapter, offset, ReadMmio(adapter, offset) & ~bits);
}

void MaskMmio(const AdapterState* adapter, ULONG offset, ULONG keep) {
    WriteMmio(adapter, offset, ReadMmio(adapter, offset) & keep);
}

UCHAR ReadMmioByte(const AdapterState* adapter, ULONG offset) {
    return VideoPortReadRegisterUchar(adapter->registerBase + offset);
}

ULONG ReadIo(const AdapterState* adapter, ULONG offset) {
    return VideoPortReadPortUlong(reinterpret_cast<PULONG>(adapter->ioBase + offset));
}

void WriteIo(const AdapterState* adapter, ULONG offset, ULONG value) {
    VideoPortWritePortUlong(reinterpret_cast<PULONG>(adapter->ioBase + offset), value);
}

UCHAR ReadVga(const AdapterState* adapter, USHORT port) {
    return VideoPortReadPortUchar(VgaAddress(adapter, port));
}

void WriteVga(const AdapterState* adapter, USHORT port, UCHAR value) {
    VideoPortWritePortUchar(VgaAddress(adapter, port), value);
}

void WriteVgaIndexed(const AdapterState* adapter, USHORT indexPort, UCHAR index, UCHAR value) {
    USHORT word = static_cast<USHORT>(index | (value << 8));
    VideoPortWritePortUshort(reinterpret_cast<PUSHORT>(VgaAddress(adapter, indexPort)), word);
}

bool ReadPciHeader(AdapterState* adapter, UCHAR* header) {
    VideoPortZeroMemory(header, PciHeaderSize);
    return VideoPortGetBusData(adapter, PCIConfiguration, adapter->pciSlot, header, 0, PciHeaderSize) ==
           PciHeaderSize;
}

bool WritePciHeader(AdapterState* adapter, UCHAR* header) {
    return VideoPortSetBusData(adapter, PCIConfiguration, adapter->pciSlot, header, 0, PciHeaderSize) ==
           PciHeaderSize;
}
