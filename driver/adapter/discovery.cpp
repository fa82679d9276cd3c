// Adapter discovery: brings one adapter from found on the PCI bus to mapped, identified, sized and
// equipped with a validated mode list.
#include "adapter/discovery.h"

#include "adapter/bringup.h"
#include "adapter/callbacks.h"
#include "colour/dac.h"
#include "hw/access.h"
#include "hw/registers.h"
#include "modes/mode_tables.h"
#include "modes/modes.h"
#include "platform/diagnostics.h"

static void SetDefaults(AdapterState* adapter) {
    adapter->debugLevel = -1;
    adapter->useSoftwareCursor = 0;
    adapter->useNonBiosModeSet = 0;
    adapter->memClockMhz = 0;
    adapter->miscInit1Value = 1;
    adapter->graphicsClockMhz = 0;
    adapter->dramInit0Value = reg::DramInit0Default;
    adapter->dramInit1Value = reg::DramInit1Default;
    adapter->memoryTypeFlag = 0;
    adapter->romPresent = 0;
    adapter->romSize = 0;
    adapter->biosVersion[0] = 0;
    adapter->romHasVersion10001 = 0;
    adapter->isSecondary = 0;
    adapter->decodingSwitchedOn = 0;
    adapter->registerBase = nullptr;
    adapter->frameBufferBase = nullptr;
    adapter->ioBase = nullptr;
}

static void ClearMappingRegistry(AdapterState* adapter) {
    for (ULONG i = 0; i < MappingSlots; ++i) {
        adapter->mapAddress[i] = 0;
        adapter->mapRefCount[i] = 0;
    }
}

static void FillIdentityRamps(AdapterState* adapter) {
    for (ULONG i = 0; i < GammaEntries; ++i) {
        adapter->gammaTable[i] = GreyColour(i);
        adapter->lumenGammaTable[i] = GreyColour(i);
    }
}

// Room for every range a PCI function can decode: six base address registers and the expansion ROM.
constexpr ULONG MaxPciRanges = 7;

// True for a listed range (an entry the platform filled has a length) that starts at `base` in the
// given space.
static bool RangeStartsAt(const VIDEO_ACCESS_RANGE& range, ULONG base, bool io) {
    bool rangeIo = range.RangeInIoSpace & VIDEO_MEMORY_SPACE_IO;
    return range.RangeLength != 0 && range.RangeStart.QuadPart == static_cast<LONGLONG>(base) && rangeIo == io;
}

// The range the platform listed for one of the adapter's base address registers: the one that
// starts where the register points, in the register's space; null when none was listed.
static VIDEO_ACCESS_RANGE* FindBarRange(VIDEO_ACCESS_RANGE* ranges, const UCHAR* header, ULONG bar) {
    ULONG value = PciDword(header, PciRegisterBarOffset + PciBarBytes * bar);
    bool io = value & PciBarIoSpace;
    ULONG base = value & (io ? PciBarIoAddressMask : PciBarMemoryAddressMask);
    for (ULONG i = 0; i < MaxPciRanges; ++i) {
        if (RangeStartsAt(ranges[i], base, io)) return &ranges[i];
    }
    return nullptr;
}

// The three windows in the driver's order (registers, frame buffer, I/O: the chip's base address
// registers 0 to 2), whatever the order the platform listed them in and whatever else it listed
// (the expansion ROM's window).
static bool TakeWindows(AdapterState* adapter, VIDEO_ACCESS_RANGE* ranges, const UCHAR* header) {
    for (ULONG bar = 0; bar < RangeCount; ++bar) {
        VIDEO_ACCESS_RANGE* range = FindBarRange(ranges, header, bar);
        if (range == nullptr) {
            DebugMessage(Error, "the platform listed no range for base address register %u\n", bar);
            return false;
        }
        VideoPortMoveMemory(&adapter->accessRanges[bar], range, sizeof(VIDEO_ACCESS_RANGE));
    }
    return true;
}

// Identifies the adapter, takes its three windows from the ranges the platform lists, and switches
// decoding on for one that nobody enabled (a secondary). A configuration header that cannot be read
// or written ends discovery: its contents would be garbage, and a secondary adapter that stays
// switched off answers nothing.
static VP_STATUS ConfigurePci(AdapterState* adapter) {
    USHORT vendorId = ZarnVendorId;
    USHORT deviceId = ZarnFirstDeviceId;
    ULONG slot = 0;
    VIDEO_ACCESS_RANGE ranges[MaxPciRanges];
    VideoPortZeroMemory(ranges, sizeof ranges);
    VP_STATUS status =
        VideoPortGetAccessRanges(adapter, 0, nullptr, MaxPciRanges, ranges, &vendorId, &deviceId, &slot);
    if (status != NO_ERROR) {
        DebugMessage(Error, "VideoPortGetAccessRanges failed with status %u: the adapter's windows are not known\n",
                     status);
        return status;
    }

    adapter->pciSlot = slot;
    UCHAR header[PciHeaderSize];
    if (!ReadPciHeader(adapter, header)) {
        DebugMessage(Error, "the PCI configuration space of slot %u could not be read\n", slot);
        return ERROR_DEV_NOT_EXIST;
    }
    if (!TakeWindows(adapter, ranges, header)) return ERROR_DEV_NOT_EXIST;

    if (header[PciStatusOffset] & PciStatus66MHz) adapter->pciBusClock = PciFastBusMhz;
    adapter->pciDeviceId = PciWord(header, PciDeviceIdOffset);
    adapter->pciVendorId = PciWord(header, PciVendorIdOffset);
    adapter->revisionId = header[PciRevisionOffset];

    if (header[PciCommandOffset] & (PciCommandIoEnable | PciCommandMemoryEnable)) return NO_ERROR;

    header[PciCommandOffset] |= PciCommandIoEnable | PciCommandMemoryEnable;
    adapter->isSecondary = 1;
    adapter->decodingSwitchedOn = 1;
    DebugMessage(Info, "device 0x%04X in slot %u: decoding was off, switched on (secondary adapter)\n",
                 adapter->pciDeviceId, slot);
    if (!WritePciHeader(adapter, header)) {
        DebugMessage(Error, "the PCI configuration space of slot %u could not be written\n", slot);
        return ERROR_DEV_NOT_EXIST;
    }
    return NO_ERROR;
}

// A board the bus driver started with decoding on may still be one that no BIOS initialized: the
// platform's start switches decoding on for every device. What no initialization leaves is the
// memory controller's refresh interval: 0 from power-on until the video BIOS's power-on self test or
// the chip initialization sequence writes it. Such a board is brought up as a secondary.
static void RecognizeUninitializedChip(AdapterState* adapter) {
    if (adapter->isSecondary) return;
    if (ReadMmio(adapter, reg::Reg20) != reg::Reg20PowerOnValue) return;
    adapter->isSecondary = 1;
    DebugMessage(Info,
                 "device 0x%04X in slot %u: its memory refresh is off, no BIOS initialized it (secondary adapter)\n",
                 adapter->pciDeviceId, adapter->pciSlot);
}

// Windows too short for the chip's registers would send register accesses past their mapping.
static bool WindowsLargeEnough(const AdapterState* adapter) {
    return adapter->accessRanges[RegisterRange].RangeLength >= RegisterWindowNeeded &&
           adapter->accessRanges[IoRange].RangeLength >= IoWindowNeeded;
}

// Where the mapped address of window i (in the driver's order) is kept.
static PUCHAR* WindowBase(AdapterState* adapter, ULONG i) {
    PUCHAR* bases[RangeCount] = {&adapter->registerBase, &adapter->frameBufferBase, &adapter->ioBase};
    return bases[i];
}

static VP_STATUS MapRanges(AdapterState* adapter) {
    VP_STATUS status = VideoPortVerifyAccessRanges(adapter, RangeCount, adapter->accessRanges);
    if (status != NO_ERROR) {
        DebugMessage(Error, "VideoPortVerifyAccessRanges refused the windows with status %u\n", status);
        return status;
    }
    if (!WindowsLargeEnough(adapter)) {
        DebugMessage(Error, "register window 0x%X bytes (0x%X needed), I/O window 0x%X bytes (0x%X needed)\n",
                     adapter->accessRanges[RegisterRange].RangeLength, RegisterWindowNeeded,
                     adapter->accessRanges[IoRange].RangeLength, IoWindowNeeded);
        return ERROR_INVALID_PARAMETER;
    }

    adapter->accessRanges[FrameBufferRange].RangeInIoSpace |= VIDEO_MEMORY_SPACE_P6CACHE;

    for (ULONG i = 0; i < RangeCount; ++i) {
        const VIDEO_ACCESS_RANGE& range = adapter->accessRanges[i];
        PVOID base = VideoPortGetDeviceBase(adapter, range.RangeStart, range.RangeLength, range.RangeInIoSpace);
        if (base == nullptr) {
            DebugMessage(Error, "VideoPortGetDeviceBase could not map window %u (0x%X bytes)\n", i, range.RangeLength);
            return ERROR_INVALID_PARAMETER;
        }
        *WindowBase(adapter, i) = static_cast<PUCHAR>(base);
    }

    RecognizeUninitializedChip(adapter);
    if (adapter->isSecondary) ClearMmioBits(adapter, reg::Reg28, reg::Reg28SecondaryOff);
    return NO_ERROR;
}

static void SizeMemory(AdapterState* adapter) {
    ULONG dramInit1 = ReadMmio(adapter, reg::DramInit1);
    ULONG dramInit0 = ReadMmio(adapter, reg::DramInit0);

    if (dramInit1 & reg::DramInit1AltMemory) {
        adapter->memoryTypeFlag = 1;
        adapter->memorySize = memorySizeTable[MemorySizeCount - 1];
    } else {
        ULONG index = 0;
        if (dramInit0 & reg::DramInit0SizeBit27) ++index;
        if (dramInit0 & reg::DramInit0SizeBit26) ++index;
        adapter->memorySize = memorySizeTable[index];
    }

    VideoPortSetRegistryParameters(adapter, WIDE_NAME("HardwareInformation.MemorySize"), &adapter->memorySize,
                                   sizeof(adapter->memorySize));
}

static void FillConfigInfo(PVIDEO_PORT_CONFIG_INFO configInfo) {
    configInfo->NumEmulatorAccessEntries = 0;
    configInfo->EmulatorAccessEntries = nullptr;
    configInfo->EmulatorAccessEntriesContext = 0;
    configInfo->VdmPhysicalVideoMemoryAddress.LowPart = 0;
    configInfo->VdmPhysicalVideoMemoryAddress.HighPart = 0;
    configInfo->VdmPhysicalVideoMemoryLength = 0;
    configInfo->HardwareStateSize = 0;
}

static void CopyRangesForMapping(AdapterState* adapter) {
    for (ULONG i = 0; i < RangeCount; ++i) {
        adapter->mappedRanges[i].RangeStart = adapter->accessRanges[i].RangeStart;
        adapter->mappedRanges[i].RangeLength = adapter->accessRanges[i].RangeLength;
        adapter->mappedRanges[i].RangeInIoSpace = adapter->accessRanges[i].RangeInIoSpace;
    }
}

// Gives back the windows discovery mapped, the last one first.
static void FreeRanges(AdapterState* adapter) {
    for (ULONG i = RangeCount; i-- > 0;) {
        PUCHAR* base = WindowBase(adapter, i);
        if (*base == nullptr) continue;
        VideoPortFreeDeviceBase(adapter, *base);
        *base = nullptr;
    }
}

// Switches off again the decoding discovery switched on for a secondary adapter, so that the
// adapter is left as nobody enabled it; decoding the bus driver switched on stays. A failed read or
// write is tried once more, as for the ROM register: an adapter left decoding would answer at
// addresses the system never gave it.
static void SwitchDecodingOff(AdapterState* adapter) {
    UCHAR header[PciHeaderSize];
    if (!adapter->decodingSwitchedOn) return;
    if (!ReadPciHeader(adapter, header) && !ReadPciHeader(adapter, header)) return;
    UCHAR decoding = PciCommandIoEnable | PciCommandMemoryEnable;
    if ((header[PciCommandOffset] & decoding) == 0) return;
    header[PciCommandOffset] &= static_cast<UCHAR>(~decoding);
    if (!WritePciHeader(adapter, header)) WritePciHeader(adapter, header);
}

// Undoes what a failed discovery did, in reverse order. The option ROM probe puts the ROM register
// back itself before it returns.
static void UndoDiscovery(AdapterState* adapter) {
    FreeRanges(adapter);
    SwitchDecodingOff(adapter);
}

// Logs why discovery refused the adapter (the event log in every build, the debugger's message in
// the checked build) and hands the status on.
static VP_STATUS Refuse(AdapterState* adapter, VP_STATUS status, DiscoveryStep step) {
    DebugMessage(Error, "discovery refused the adapter with status %u (step 0x%08X)\n", status, step);
    LogRefusal(adapter, status, step);
    return status;
}

// Discovery after the adapter has its own copy of the mode tables, from the defaults on.
static VP_STATUS DiscoverAdapter(AdapterState* adapter, PVIDEO_PORT_CONFIG_INFO configInfo) {
    SetDefaults(adapter);
    ClearMappingRegistry(adapter);
    FillIdentityRamps(adapter);

    VP_STATUS status = ConfigurePci(adapter);
    if (status != NO_ERROR) return Refuse(adapter, status, DiscoveryStepPci);

    // The windows are mapped before the registry is read: whether the adapter is a secondary, which
    // decides the values read, can take a look at the chip.
    status = MapRanges(adapter);
    if (status != NO_ERROR) return Refuse(adapter, status, DiscoveryStepRanges);

    ReadRegistryConfiguration(adapter);
    adapter->modeAttributeBits = 0;

    status = ProbeOptionRom(adapter);
    if (status != NO_ERROR) return Refuse(adapter, status, DiscoveryStepRomProbe);

    if (adapter->isSecondary) InitializeChip(adapter);
    SizeMemory(adapter);

    status = ValidateModes(adapter);
    if (status != NO_ERROR) {
        DebugMessage(Error, "no mode fits the adapter's %u KiB of video memory\n", adapter->memorySize / 1024);
        return Refuse(adapter, status, DiscoveryStepModes);
    }

    FillConfigInfo(configInfo);
    CopyRangesForMapping(adapter);
    return NO_ERROR;
}

VP_STATUS NTAPI HwFindAdapter(PVOID hwDeviceExtension, PVOID, PWSTR, PVIDEO_PORT_CONFIG_INFO configInfo,
                              PUCHAR again) {
    AdapterState* adapter = AdapterOf(hwDeviceExtension);
    if (configInfo->Length < ConfigInfoLength) {
        DebugMessage(Error, "the configuration information is %u bytes, %u needed\n", configInfo->Length,
                     ConfigInfoLength);
        return Refuse(adapter, ERROR_INVALID_PARAMETER, DiscoveryStepConfigInfo);
    }

    // One adapter more than the driver keeps mode tables for is refused before anything is touched.
    ModeTables* tables = ClaimModeTables(adapter);
    if (tables == nullptr) {
        DebugMessage(Error, "the driver serves at most %u adapters at once\n", MaxAdapters);
        return Refuse(adapter, ERROR_DEV_NOT_EXIST, DiscoveryStepAdapterLimit);
    }
    adapter->modeTables = tables;

    VP_STATUS status = DiscoverAdapter(adapter, configInfo);
    if (status != NO_ERROR) {
        UndoDiscovery(adapter);
        ReleaseModeTables(tables);
        adapter->modeTables = nullptr;
        adapter->directModeTable = nullptr;
        adapter->biosModeTable = nullptr;
        return status;
    }
    *again = TRUE;
    return NO_ERROR;
}
