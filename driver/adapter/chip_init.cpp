// Chip initialization, the display reset sequence and HwInitialize with the registry's clocks.
#include "adapter/bringup.h"
#include "adapter/callbacks.h"
#include "adapter/clock_tables.h"
#include "hw/access.h"
#include "hw/pci.h"
#include "hw/registers.h"

constexpr ULONG Device3GraphicsClockMhz = 100;
constexpr ULONG Device3MemoryClockMhz = 110;
constexpr ULONG Device45GraphicsClockMhz = 143;
// Above this memory clock, bit 14 of the dramInit1 register is clear.
constexpr ULONG SlowMemoryClockMhz = 105;

static void ProgramDram(AdapterState* adapter) {
    ULONG dramInit1 = ReadMmio(adapter, reg::DramInit1);
    WriteMmio(adapter, reg::Reg28, reg::Reg28InitValue);
    WriteMmio(adapter, reg::DramInit1, adapter->dramInit1Value | (dramInit1 & reg::DramInit1KeptBits));

    ULONG dramInit0 = adapter->dramInit0Value | (ReadMmio(adapter, reg::DramInit0) & reg::DramInit0KeptBits);
    WriteMmio(adapter, reg::DramInit0, dramInit0);
    if (adapter->memoryTypeFlag) WriteMmio(adapter, reg::DramInit0, dramInit0 & ~reg::DramInit0SizeBit26);
}

static void ProgramMemoryType(const AdapterState* adapter) {
    WriteMmio(adapter, reg::Reg10, 0);
    WriteMmio(adapter, reg::Reg34, reg::Reg34AltMemory);
    WriteMmio(adapter, reg::Reg30, reg::Reg30AltMemory);
    if (!adapter->memoryTypeFlag) {
        WriteMmio(adapter, reg::Reg34, reg::Reg34StdMemory);
        WriteMmio(adapter, reg::Reg30, reg::Reg30StdMemory);
    }
    ULONG reg14 = ReadMmio(adapter, reg::Reg14) & reg::Reg14KeptBits;
    reg14 |= adapter->memoryTypeFlag ? reg::Reg14AltMemory : reg::Reg14StdMemory;
    WriteMmio(adapter, reg::Reg14, reg14);
    WriteMmio(adapter, reg::Reg20, reg::Reg20InitValue);
}

static void ProgramDefaultClocks(const AdapterState* adapter) {
    if (adapter->pciDeviceId == CorvidDeviceId) {
        WriteMmio(adapter, reg::GraphicsClock, device3ClockTable[Device3GraphicsClockMhz]);
        WriteMmio(adapter, reg::MemoryClock, device3ClockTable[Device3MemoryClockMhz]);
    } else {
        WriteMmio(adapter, reg::GraphicsClock, device45ClockTable.entries[Device45GraphicsClockMhz]);
    }
}

void InitializeChip(AdapterState* adapter) {
    if (ReadMmio(adapter, reg::DramInit1) & reg::DramInit1AltMemory) adapter->memoryTypeFlag = 1;
    if (adapter->pciBusClock == PciFastBusMhz) SetMmioBits(adapter, reg::BusInterface, reg::BusInterface66MHz);

    ProgramDram(adapter);
    ProgramMemoryType(adapter);
    ProgramDefaultClocks(adapter);
    SetMmioBits(adapter, reg::Reg0C, reg::Reg0CInitBits);

    WriteVga(adapter, reg::VgaEnable, reg::VgaEnableOn);
    WriteVga(adapter, reg::VgaMiscWrite, reg::MiscOutputInit);
    WriteVgaIndexed(adapter, reg::VgaGraphics, reg::GfxMisc, reg::GfxMiscInit);
}

void ResetDisplay(const AdapterState* adapter) {
    WriteIo(adapter, reg::Pipeline, 0);
    WriteIo(adapter, reg::Reg2C, 0);
    WriteIo(adapter, reg::Reg28, ReadIo(adapter, reg::Reg28) & ~reg::Reg28ModeEnable);
    WriteIo(adapter, reg::OutputControl, ReadIo(adapter, reg::OutputControl) & ~reg::OutputResetBits);
    WriteVgaIndexed(adapter, reg::VgaCrtc, reg::CrtcExtHorizontal, 0x00);
    WriteVgaIndexed(adapter, reg::VgaCrtc, reg::CrtcExtVertical, 0x00);
}

// The graphics clock the registry asked for, when the device's table has it and it lies in range.
static void ApplyGraphicsClock(const AdapterState* adapter) {
    ULONG mhz = adapter->graphicsClockMhz;
    if (mhz == 0) return;
    ULONG pll = NoClock;
    if (adapter->pciDeviceId == CorvidDeviceId) {
        if (mhz >= Device3LowestMhz && mhz <= Device3HighestMhz) pll = device3ClockTable[mhz];
    } else if (mhz >= Device45LowestMhz && mhz <= Device45HighestMhz) {
        pll = device45ClockTable.entries[mhz];
    }
    if (pll != NoClock) WriteMmio(adapter, reg::GraphicsClock, pll);
}

// Bit 14 of the dramInit1 register is set exactly when the memory clock is 105 MHz or less.
static void ApplySlowMemoryBit(const AdapterState* adapter, ULONG mhz) {
    ULONG dramInit1 = ReadMmio(adapter, reg::DramInit1);
    bool slow = dramInit1 & reg::DramInit1SlowMemClock;
    if (slow && mhz > SlowMemoryClockMhz) WriteMmio(adapter, reg::DramInit1, dramInit1 & ~reg::DramInit1SlowMemClock);
    if (!slow && mhz <= SlowMemoryClockMhz) WriteMmio(adapter, reg::DramInit1, dramInit1 | reg::DramInit1SlowMemClock);
}

static void ApplyMemoryClock(const AdapterState* adapter) {
    ULONG mhz = adapter->memClockMhz;
    if (mhz < Device3LowestMhz || mhz > Device3HighestMhz) return;
    // The version 1.00.01 BIOS manages bit 14 itself.
    if (!adapter->romHasVersion10001) ApplySlowMemoryBit(adapter, mhz);
    // Every entry of that range holds a clock.
    WriteMmio(adapter, reg::MemoryClock, device3ClockTable[mhz]);
}

BOOLEAN NTAPI HwInitialize(PVOID hwDeviceExtension) {
    AdapterState* adapter = AdapterOf(hwDeviceExtension);
    if (adapter->isSecondary) InitializeChip(adapter);
    ResetDisplay(adapter);
    ApplyGraphicsClock(adapter);
    ApplyMemoryClock(adapter);
    SetMmioBits(adapter, reg::Reg14, reg::Reg14Enable);
    WriteIo(adapter, reg::Pipeline, ReadIo(adapter, reg::Pipeline) & ~reg::PipelineBits10To11);
    return TRUE;
}
