// The adapter state record: the per-adapter device extension that the platform allocates
// zero-filled with the size the driver entry registers, and passes to every callback.
#pragma once

#include "platform/videoport.h"

struct ModeInfoEntry;
struct ModeSelectorEntry;
struct ModeTables;

// Registered with the platform as the device extension size.
constexpr ULONG AdapterStateSize = 5448;
constexpr ULONG MappingSlots = 256;
constexpr ULONG GammaEntries = 256;
constexpr ULONG GammaTableBytes = GammaEntries * sizeof(ULONG);
constexpr ULONG BiosVersionBytes = 32;

enum AdapterRange : ULONG { RegisterRange = 0, FrameBufferRange = 1, IoRange = 2, RangeCount = 3 };

struct AdapterState {
    VIDEO_ACCESS_RANGE mappedRanges[RangeCount];   // as used for mapping requests
    VIDEO_ACCESS_RANGE accessRanges[RangeCount];   // as the platform returned them
    PUCHAR registerBase;
    PUCHAR frameBufferBase;
    PUCHAR ioBase;
    ADDRESS32 mapAddress[MappingSlots];            // mapping registry: address handed out, 0 = free
    LONG mapRefCount[MappingSlots];
    ULONG mapProcess[MappingSlots];
    ULONG pciSlot;
    USHORT pciVendorId;
    USHORT pciDeviceId;
    ULONG pciBusClock;                             // 66 on a 66 MHz capable bus
    UCHAR isSecondary;
    UCHAR decodingSwitchedOn;                      // discovery switched decoding on itself
    ULONG dramInit0Value;
    ULONG dramInit1Value;
    ULONG miscInit1Value;
    ULONG revisionId;
    ULONG memoryTypeFlag;
    ULONG memorySize;
    UCHAR romPresent;
    ULONG romSize;                                 // option ROM length in 32-bit words
    UCHAR biosVersion[BiosVersionBytes];
    UCHAR romHasVersion10001;
    UCHAR modeSetActive;
    ModeInfoEntry* currentModeInfo;
    ModeSelectorEntry* currentModeEntry;
    ModeSelectorEntry* biosModeTable;
    ModeSelectorEntry* directModeTable;
    ULONG validModeCount;
    ULONG modeCount;
    ULONG powerState;
    ULONG modeAttributeBits;
    LONG debugLevel;
    ULONG useSoftwareCursor;
    ULONG useNonBiosModeSet;
    ULONG memClockMhz;
    ULONG graphicsClockMhz;
    ULONG gammaTable[GammaEntries];
    ULONG lumenGammaTable[GammaEntries];
    ModeTables* modeTables;                        // this adapter's own copy of the mode tables
};

static_assert(sizeof(AdapterState) <= AdapterStateSize, "the adapter state record must fit the registered size");

// The adapter state record behind a callback's device extension argument.
static inline AdapterState* AdapterOf(PVOID hwDeviceExtension) {
    return static_cast<AdapterState*>(hwDeviceExtension);
}

// True when modes are set through the video BIOS rather than programmed directly. The BIOS table
// is always chosen with the BIOS path; an adapter without one cannot take it.
static inline bool UsesBiosPath(const AdapterState* adapter) {
    return adapter->romPresent && adapter->useNonBiosModeSet == 0 && adapter->biosModeTable != nullptr;
}
