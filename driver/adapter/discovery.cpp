// Adapter discovery: brings one adapter from found on the PCI bus to mapped, identified, sized and
// equipped with a validated mode list.
#include "adapter/discovery.h"

#include "adapter/bringup.h"
#include "adapter/callbacks.h"
#include "hw/access.h"
#include "hw/registers.h"
#include "modes/mode_tables.h"
#include "modes/modes.h"
#include "platform/diagnostics.h"

bool ReadPciHeader(AdapterState* adapter, UCHAR* header) {
    VideoPortZeroMemory(header, PciHeaderSize);
    return VideoPortGetBusData(adapter, PCIConfiguration, adapter->pciSlot, header, 0, PciHeaderSize) ==
           PciHeaderSize;
}

bool WritePciHeader(AdapterState* adapter, UCHAR* header) {
    return VideoPortSetBusData(adapter, PCIConfiguration, adapter->pciSlot, header, 0, PciHeaderSize) ==
           PciHeaderSize;
}

static void SetDefaults(AdapterState* adapter) {
    adapter->debugLevel = -1;
    adapter->useSoftwareCursor = 0;
    adapter->useNonBiosModeSet = 0;
    adapter->memClockMhz = 0;
    adapter->miscInit1Value = 1;
    adapter->graphicsClockMhz = 0;
    adapter->dramInit0Value = 0x17A16A;
    adapter->dramInit1Value = 0x23C031;
    adapter->memoryTypeFlag = 0;
    adapter->romPresent = 0;
    adapter->romSize = 0;
    adapter->biosVersion[0] = 0;
    adapter->romHasVersion10001 = 0;
    adapter->isSecondary = 0;
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
        adapter->gammaTable[i] = i | i << 8 | i << 16;
        adapter->lumenGammaTable[i] = i | i << 8 | i << 16;
    }
}

// Identifies the adapter and switches decoding on for one that nobody enabled (a secondary).
// A configuration header that cannot be read or written ends discovery: its contents would be
// garbage, and a secondary adapter that stays switched off answers nothing.
static VP_STATUS ConfigurePci(AdapterState* adapter) {
    USHORT vendorId = ZarnVendorId;
    USHORT deviceId = ZarnFirstDeviceId;
    ULONG slot = 0;
    VP_STATUS status = VideoPortGetAccessRanges(adapter, 0, nullptr, RangeCount, adapter->accessRanges, &vendorId,
                                                &deviceId, &slot);
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

    if (header[PciStatusOffset] & PciStatus66MHz) adapter->pciBusClock = 66;
    adapter->pciDeviceId = PciWord(header, PciDeviceIdOffset);
    adapter->pciVendorId = PciWord(header, PciVendorIdOffset);
    adapter->revisionId = header[PciRevisionOffset];

    if (header[PciCommandOffset] & (PciCommandIoEnable | PciCommandMemoryEnable)) return NO_ERROR;

    header[PciCommandOffset] |= PciCommandIoEnable | PciCommandMemoryEnable;
    adapter->isSecondary = 1;
    DebugMessage(Info, "device 0x%04X in slot %u: decoding was off, switched on (secondary adapter)\n",
                 adapter->pciDeviceId, slot);
    if (!WritePciHeader(adapter, header)) {
        DebugMessage(Error, "the PCI configuration space of slot %u could not be written\n", slot);
        return ERROR_DEV_NOT_EXIST;
    }
    return NO_ERROR;
}

// Windows too short for the chip's registers would send register accesses past their mapping.
static bool WindowsLargeEnough(const AdapterState* adapter) {
    return adapter->accessRanges[RegisterRange].RangeLength >= RegisterWindowNeeded &&
           adapter->accessRanges[IoRange].RangeLength >= IoWindowNeeded;
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

    PUCHAR* bases[RangeCount] = {&adapter->registerBase, &adapter->frameBufferBase, &adapter->ioBase};
    for (ULONG i = 0; i < RangeCount; ++i) {
        const VIDEO_ACCESS_RANGE& range = adapter->accessRanges[i];
        PVOID base = VideoPortGetDeviceBase(adapter, range.RangeStart, range.RangeLength, range.RangeInIoSpace);
        if (base == nullptr) {
            DebugMessage(Error, "VideoPortGetDeviceBase could not map window %u (0x%X bytes)\n", i, range.RangeLength);
            return ERROR_INVALID_PARAMETER;
        }
        *bases[i] = static_cast<PUCHAR>(base);
    }

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
    PUCHAR* bases[RangeCount] = {&adapter->registerBase, &adapter->frameBufferBase, &adapter->ioBase};
    for (ULONG i = RangeCount; i-- > 0;) {
        if (*bases[i] == nullptr) continue;
        VideoPortFreeDeviceBase(adapter, *bases[i]);
        *bases[i] = nullptr;
    }
}

// Switches off again the decoding discovery switched on for a secondary adapter, so that the
// adapter is left as nobody enabled it. A failed read or write is tried once more, as for the ROM
// register: an adapter left decoding would answer at addresses the system never gave it.
static void SwitchDecodingOff(AdapterState* adapter) {
    UCHAR header[PciHeaderSize];
    if (!adapter->isSecondary) return;
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

    ReadRegistryConfiguration(adapter);
    adapter->modeAttributeBits = 0;

    status = MapRanges(adapter);
    if (status != NO_ERROR) return Refuse(adapter, status, DiscoveryStepRanges);

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
