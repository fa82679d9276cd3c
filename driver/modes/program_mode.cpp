// Direct mode programming, in the order the chip wants: pixel format and stride, engine defaults,
// then the VGA timing, pixel clock, attribute controller, palette, gamma and screen size.
#include "modes/program_mode.h"

#include "colour/dac.h"
#include "hw/access.h"
#include "hw/registers.h"

namespace {

// What the programming needs of the mode being set.
struct ModeValues {
    ULONG width;
    ULONG height;
    ULONG depth;
    const CrtcBlock* block;
    ULONG stride;
    bool scanDoubled;
};

constexpr ULONG LowLineCount = 400;   // below this, modes of up to 16 bits per pixel are line-doubled

ULONG PixelFormatCode(ULONG depth) {
    switch (depth) {
    case 16: return reg::PipelineFormat16 << reg::PipelineFormatShift;
    case 24: return reg::PipelineFormat24 << reg::PipelineFormatShift;
    case 32: return reg::PipelineFormat32 << reg::PipelineFormatShift;
    default: return 0;
    }
}

// A block whose bytes add up to 0 (or no block at all) counts as missing.
bool BlockMissing(const CrtcBlock* block) {
    if (block == nullptr) return true;
    ULONG sum = 0;
    for (ULONG i = 0; i < sizeof(block->bytes); ++i) sum += block->bytes[i];
    return sum == 0;
}

void ProgramPixelFormat(const AdapterState* adapter, const ModeValues& mode) {
    ULONG pipeline = ReadMmio(adapter, reg::Pipeline) & reg::PipelineFormatKeep;
    pipeline |= reg::PipelineGraphics | PixelFormatCode(mode.depth);
    if (mode.depth != 8) pipeline |= reg::PipelineDirectColour;
    WriteMmio(adapter, reg::Pipeline, pipeline);

    ULONG stride = ReadMmio(adapter, reg::Stride);
    WriteMmio(adapter, reg::RegE4, 0);
    WriteMmio(adapter, reg::Stride, (stride & reg::StrideKeep) | (mode.stride & reg::StrideMask));
}

void ProgramEngineDefaults(const AdapterState* adapter) {
    ULONG pipeline = ReadMmio(adapter, reg::Pipeline);
    WriteMmio(adapter, reg::Reg10, 0);
    WriteMmio(adapter, reg::Reg0C, reg::Reg0CModeValue);
    WriteMmio(adapter, reg::RegA8, 0);
    WriteMmio(adapter, reg::Engine250, reg::Engine250ModeValue);
    WriteMmio(adapter, reg::Engine128, reg::Engine128ModeValue);
    WriteMmio(adapter, reg::Pipeline, pipeline & reg::PipelineDefaultsKeep);
    MaskMmio(adapter, reg::Stride, reg::StrideDefaultsKeep);
}

void WriteCrtc(const AdapterState* adapter, UCHAR index, UCHAR value) {
    WriteVgaIndexed(adapter, reg::VgaCrtc, index, value);
}

// Miscellaneous output and the CRTC registers of the block; the write protection of CRTC
// 0x00-0x07 is lifted first.
void LoadCrtc(const AdapterState* adapter, const CrtcBlock* block) {
    const UCHAR* b = block->bytes;
    WriteVga(adapter, reg::VgaMiscWrite, static_cast<UCHAR>(b[CrtcMiscOutputByte] | reg::MiscOutputIoAddressColour));
    WriteCrtc(adapter, reg::CrtcVRetraceEnd, reg::CrtcVRetraceEndUnprotected);
    for (UCHAR i = 0; i < reg::CrtcHorizontalCount; ++i) WriteCrtc(adapter, i, b[CrtcHorizontalFirst + i]);
    WriteCrtc(adapter, reg::CrtcMaxScanLine, b[CrtcMaxScanLineByte]);
    WriteCrtc(adapter, reg::CrtcVRetraceStart, b[CrtcVRetraceStartByte]);
    WriteCrtc(adapter, reg::CrtcVRetraceEnd, b[CrtcVRetraceEndByte]);
    WriteCrtc(adapter, reg::CrtcVDisplayEnd, b[CrtcVDisplayEndByte]);
    WriteCrtc(adapter, reg::CrtcVBlankStart, b[CrtcVBlankStartByte]);
    WriteCrtc(adapter, reg::CrtcVBlankEnd, b[CrtcVBlankEndByte]);
    WriteCrtc(adapter, reg::CrtcExtHorizontal, b[CrtcExtHorizontalByte]);
    WriteCrtc(adapter, reg::CrtcExtVertical, b[CrtcExtVerticalByte]);
    WriteCrtc(adapter, reg::CrtcModeControl, reg::CrtcModeControlValue);
}

void LoadClock(const AdapterState* adapter, const CrtcBlock* block) {
    WriteMmio(adapter, reg::PixelClock, CrtcPllValue(block));
    WriteMmio(adapter, reg::OutputControl, block->bytes[CrtcDoubleClockByte]);
}

// Sequencer (screen on, running) and the attribute controller.
void LoadSequencerAndAttributes(const AdapterState* adapter, const CrtcBlock* block) {
    UCHAR clocking = static_cast<UCHAR>(block->bytes[CrtcClockingModeByte] & ~reg::SeqScreenOff);
    WriteVgaIndexed(adapter, reg::VgaSequencer, reg::SeqClockingMode, clocking);
    WriteVgaIndexed(adapter, reg::VgaSequencer, reg::SeqReset, reg::SeqResetRunning);

    // Reading the input status register resets the attribute controller's index/data flip-flop.
    ReadVga(adapter, reg::VgaInputStatus);
    for (UCHAR i = 0; i < AttributeCount; ++i) {
        WriteVga(adapter, reg::VgaAttribute, i);
        WriteVga(adapter, reg::VgaAttribute, attributeTable[i]);
    }
    WriteVga(adapter, reg::VgaAttribute, reg::AttrColourSelect | reg::AttrPaletteSource);
    WriteVga(adapter, reg::VgaFeatureControl, reg::FeatureControlInit);
}

void LoadIdentityPalette(const AdapterState* adapter) {
    for (ULONG i = 0; i < PaletteEntries; ++i) WritePaletteEntry(adapter, i, GreyColour(i));
}

void ProgramScreenSize(const AdapterState* adapter, const ModeValues& mode) {
    ULONG size;
    if (mode.scanDoubled) {
        size = (mode.width & reg::ScreenSizeWidthMask) | mode.height << reg::ScreenSizeDoubledShift;
    } else {
        ULONG width = mode.width == reg::ScreenSizeWidestWidth ? reg::ScreenSizeWidestProgrammed : mode.width;
        size = (width & reg::ScreenSizeWidthMask) | mode.height << reg::ScreenSizeLinesShift;
    }
    WriteMmio(adapter, reg::ScreenSize, size);
    WriteMmio(adapter, reg::Reg9C, 0);
    ULONG end = ((mode.width - 1) & reg::ScreenEndWidthMask) |
                ((mode.height - 1) & reg::ScreenEndHeightMask) << reg::ScreenEndHeightShift;
    WriteMmio(adapter, reg::ScreenEnd, end);
}

// The pipeline with bits 10-11 cleared and its double pixel clock following the timing block's.
ULONG WithDoubleClock(ULONG pipeline, UCHAR doubleClock) {
    pipeline &= ~reg::PipelineBits10To11;
    if (doubleClock & reg::OutputDoubleClock) return pipeline | reg::PipelineDoubleClock;
    return pipeline & ~reg::PipelineDoubleClock;
}

VP_STATUS ProgramTiming(AdapterState* adapter, const ModeValues& mode) {
    if (BlockMissing(mode.block)) return ERROR_INVALID_PARAMETER;
    const UCHAR doubleClock = mode.block->bytes[CrtcDoubleClockByte];

    LoadCrtc(adapter, mode.block);
    LoadClock(adapter, mode.block);
    ULONG pipeline = ReadMmio(adapter, reg::Pipeline) & reg::PipelineTimingKeep;
    if (doubleClock) pipeline |= reg::PipelineDoubleClock;
    if (mode.scanDoubled) pipeline |= reg::PipelineLineDouble;
    WriteMmio(adapter, reg::Pipeline, pipeline);
    LoadSequencerAndAttributes(adapter, mode.block);
    ProgramScreenSize(adapter, mode);
    LoadIdentityPalette(adapter);
    LoadGammaRamp(adapter, adapter->gammaTable);

    ULONG reg28 = ReadMmio(adapter, reg::Reg28);
    pipeline = WithDoubleClock(ReadMmio(adapter, reg::Pipeline), doubleClock);
    WriteMmio(adapter, reg::Reg28, reg28 | reg::Reg28ModeEnable);

    // Below 400 lines a mode of up to 16 bits per pixel is line-doubled, with the line count
    // programmed from bit 13.
    if (mode.height < LowLineCount && mode.depth <= 16) {
        pipeline |= reg::PipelineLineDouble;
        WriteMmio(adapter, reg::ScreenSize, mode.height << reg::ScreenSizeDoubledShift | (mode.width & reg::ScreenSizeWidthMask));
    } else if (mode.height >= LowLineCount) {
        pipeline &= ~reg::PipelineLineDouble;
    }
    pipeline |= reg::PipelineEnable;
    if (adapter->currentModeEntry->height >= LowLineCount) pipeline |= reg::PipelineGraphics;
    WriteMmio(adapter, reg::Pipeline, pipeline);
    return NO_ERROR;
}

ModeValues ValuesOf(const ModeSelectorEntry* entry) {
    const VIDEO_MODE_INFORMATION& info = entry->infoEntry->modeInfo;
    return ModeValues{entry->width, entry->height, entry->bitsPerPixel, entry->crtcBlock, info.ScreenStride,
                      (info.DriverSpecificAttributeFlags & ModeScanDoubled) != 0};
}

}  // namespace

VP_STATUS ProgramMode(AdapterState* adapter) {
    const ModeSelectorEntry* entry = adapter->currentModeEntry;
    MaskMmio(adapter, reg::Reg2C, reg::Reg2CModeKeep);
    ModeValues mode = ValuesOf(entry);
    ProgramPixelFormat(adapter, mode);
    ProgramEngineDefaults(adapter);
    VP_STATUS status = ProgramTiming(adapter, mode);

    if (ReadMmio(adapter, reg::Pipeline) & reg::PipelineEnable) {
        SetMmioBits(adapter, reg::DramInit1, reg::DramInit1DisplayOn);
    } else {
        ClearMmioBits(adapter, reg::DramInit1, reg::DramInit1DisplayOn);
    }
    return status;
}

VP_STATUS PreloadTiming(AdapterState* adapter, const ModeSelectorEntry* entry) {
    if (BlockMissing(entry->crtcBlock)) return ERROR_INVALID_PARAMETER;
    LoadCrtc(adapter, entry->crtcBlock);
    LoadClock(adapter, entry->crtcBlock);
    LoadSequencerAndAttributes(adapter, entry->crtcBlock);
    SetMmioBits(adapter, reg::Reg28, reg::Reg28ModeEnable);
    LoadIdentityPalette(adapter);
    LoadGammaRamp(adapter, adapter->gammaTable);

    // The pipeline's double pixel clock must follow the output's, which LoadClock just set: a BIOS
    // that keeps the preloaded timing leaves the pipeline bit as it finds it.
    UCHAR doubleClock = entry->crtcBlock->bytes[CrtcDoubleClockByte];
    WriteMmio(adapter, reg::Pipeline, WithDoubleClock(ReadMmio(adapter, reg::Pipeline), doubleClock));
    return NO_ERROR;
}
