// The mode tables: the driver's catalogue of display modes, the CRTC parameter blocks with the
// timing of every resolution and rate, the memory size table and the attribute controller values.
//
// The compiled-in tables are constant. Every adapter works on its own copy of their mutable part
// (the information entries and both selector tables), taken at discovery, so that validation and
// mode sets on one adapter never change what another offers.
#pragma once

#include "adapter/adapter_state.h"

// Register values of one display timing, byte by byte as programmed.
struct CrtcBlock {
    UCHAR bytes[21];
};
static_assert(sizeof(CrtcBlock) == 21, "a CRTC parameter block is 21 bytes");

enum CrtcByte : ULONG {
    CrtcHorizontalFirst = 0,   // bytes 0-7: CRTC 0x00-0x07
    CrtcMaxScanLineByte = 8,   // CRTC 0x09
    CrtcVRetraceStartByte = 9, // CRTC 0x10
    CrtcVRetraceEndByte = 10,  // CRTC 0x11
    CrtcVDisplayEndByte = 11,  // CRTC 0x12
    CrtcVBlankStartByte = 12,  // CRTC 0x15
    CrtcVBlankEndByte = 13,    // CRTC 0x16
    CrtcExtHorizontalByte = 14,  // CRTC 0x1A
    CrtcExtVerticalByte = 15,    // CRTC 0x1B
    CrtcMiscOutputByte = 16,
    CrtcClockingModeByte = 17,
    CrtcPllLowByte = 18,
    CrtcPllHighByte = 19,
    CrtcDoubleClockByte = 20,
};

// One (resolution, depth): the record the display driver receives, plus the BIOS mode numbers.
struct ModeInfoEntry {
    USHORT vesaMode;       // BIOS mode number asked for first; 0 = none
    USHORT vesaModeAlt;    // BIOS mode number asked for when the first is refused; 0 = none
    ULONG strideBytes;
    VIDEO_MODE_INFORMATION modeInfo;
};
static_assert(sizeof(ModeInfoEntry) == 88, "a mode information entry is 88 bytes");

// One (resolution, depth, refresh rate); its position in the active table is the ModeIndex.
struct ModeSelectorEntry {
    ULONG bitsPerPixel;    // 0 ends a table
    ULONG width;
    ULONG height;
    ULONG refreshRate;
    const CrtcBlock* crtcBlock;
    ModeInfoEntry* infoEntry;  // filled by validation
    ULONG tableIndex;          // filled by validation
    UCHAR valid;
};
#if defined(_WIN32)
static_assert(sizeof(ModeSelectorEntry) == 32, "a mode selector entry is 32 bytes on i386");
#endif

constexpr ULONG ModeInfoCount = 47;
constexpr ULONG DirectSelectorCount = 158;
constexpr ULONG BiosSelectorCount = 154;
constexpr ULONG AttributeCount = 20;
constexpr ULONG MemorySizeCount = 3;
// Adapters that can have a mode table copy at the same time.
constexpr ULONG MaxAdapters = 4;

// DriverSpecificAttributeFlags bits shared with the display driver.
constexpr ULONG ModeSoftwarePointer = 0x00000001;
constexpr ULONG ModeScanDoubled = 0x80000000;

// An adapter's own copy of the mutable tables; each selector table ends with a zero entry.
struct ModeTables {
    ModeInfoEntry modeInfoTable[ModeInfoCount];
    ModeSelectorEntry directSelectorTable[DirectSelectorCount + 1];
    ModeSelectorEntry biosSelectorTable[BiosSelectorCount + 1];
};

extern const ModeInfoEntry modeInfoTable[ModeInfoCount];
extern const ModeSelectorEntry directSelectorTable[DirectSelectorCount + 1];
extern const ModeSelectorEntry biosSelectorTable[BiosSelectorCount + 1];
extern const ULONG memorySizeTable[MemorySizeCount];
extern const UCHAR attributeTable[AttributeCount];

// A copy of the mode tables for the adapter, filled afresh from the compiled-in tables: the copy it
// already holds when discovery runs again for it, else a free one; null when every copy is held by
// another adapter.
ModeTables* ClaimModeTables(const AdapterState* owner);
// Gives a copy back, for an adapter whose discovery failed after it took one.
void ReleaseModeTables(ModeTables* tables);

// The pixel-clock PLL value of a CRTC parameter block.
static inline USHORT CrtcPllValue(const CrtcBlock* block) {
    return static_cast<USHORT>(block->bytes[CrtcPllLowByte] | (block->bytes[CrtcPllHighByte] << 8));
}
