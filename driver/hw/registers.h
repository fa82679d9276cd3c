// The chip's register map: every register, bit and VGA port the driver touches, named once.
//
// Chip registers are 32 bits wide. MMIO n is the register at byte offset n of the register window;
// the same register n is reachable at offset n of the I/O window. VGA port p lies at offset
// p - 0x300 of the I/O window.
#pragma once

#include "platform/videoport.h"

namespace reg {

// --- Chip registers (offsets in the register window and the I/O window) ----------------------

constexpr ULONG Status = 0x00;           // status register
constexpr ULONG StatusVsyncActive = 0x40;  // vertical sync active

constexpr ULONG BusInterface = 0x04;     // bus interface register
constexpr ULONG BusInterface66MHz = 0x300;  // PCI bus runs at 66 MHz

constexpr ULONG Reg0C = 0x0C;
constexpr ULONG Reg0CInitBits = 0xFFF;      // ORed in by the chip initialization
constexpr ULONG Reg0CModeValue = 0x3FFF;    // whole value at mode programming

constexpr ULONG Reg10 = 0x10;

constexpr ULONG Reg14 = 0x14;
constexpr ULONG Reg14KeptBits = 0x1FF40000;   // kept by the chip initialization
constexpr ULONG Reg14AltMemory = 0x8001;      // set for the alternative memory type
constexpr ULONG Reg14StdMemory = 0x0001;      // set for the standard memory type
constexpr ULONG Reg14Enable = 0x1;            // set by HwInitialize

constexpr ULONG DramInit0 = 0x18;             // dramInit0 register
constexpr ULONG DramInit0Default = 0x17A16A;      // the value until the registry gives one
constexpr ULONG DramInit0SizeBit27 = 0x08000000;  // memory size strap, adds one step
constexpr ULONG DramInit0SizeBit26 = 0x04000000;  // memory size strap, adds one step
constexpr ULONG DramInit0KeptBits = 0xFC000000;   // bits 26-31 come from the hardware

constexpr ULONG DramInit1 = 0x1C;             // dramInit1 register
constexpr ULONG DramInit1Default = 0x23C031;      // the value until the registry gives one
constexpr ULONG DramInit1AltMemory = 0x40000000;  // alternative memory type, 16 MB
constexpr ULONG DramInit1KeptBits = 0xC2000000;   // kept from the hardware at initialization
constexpr ULONG DramInit1SlowMemClock = 0x4000;   // memory clock at or below 105 MHz
constexpr ULONG DramInit1DisplayOn = 0x1;         // follows bit 0 of the display pipeline

// The memory controller's refresh interval. It is 0 from power-on until an initialization (the
// video BIOS's power-on self test or the driver's) writes it: without refresh the memory holds
// nothing, so a 0 here marks a chip nobody has initialized.
constexpr ULONG Reg20 = 0x20;
constexpr ULONG Reg20InitValue = 0x49E;
constexpr ULONG Reg20PowerOnValue = 0;

constexpr ULONG Reg28 = 0x28;
constexpr ULONG Reg28InitValue = 0x340;       // written by the chip initialization
constexpr ULONG Reg28PowerUpValue = 0x140;    // written on return from a deep power state
constexpr ULONG Reg28SecondaryOff = 0x200;    // cleared for a secondary adapter
constexpr ULONG Reg28ModeEnable = 0x1000;     // set by mode programming

constexpr ULONG Reg2C = 0x2C;
constexpr ULONG Reg2CModeKeep = 0xE01FFFFF;   // clears bits 21-28 at mode programming

constexpr ULONG Reg30 = 0x30;
constexpr ULONG Reg30AltMemory = 0x10D;
constexpr ULONG Reg30StdMemory = 0x10E;

constexpr ULONG Reg34 = 0x34;
constexpr ULONG Reg34AltMemory = 0x37;
constexpr ULONG Reg34StdMemory = 0xFFFFFFFF;

constexpr ULONG PixelClock = 0x40;            // pixel clock PLL
constexpr ULONG GraphicsClock = 0x44;         // graphics clock PLL
constexpr ULONG MemoryClock = 0x48;           // memory clock PLL

constexpr ULONG OutputControl = 0x4C;         // output control register
constexpr ULONG OutputDoubleClock = 0x1;      // double pixel clock
constexpr ULONG OutputVsyncOff = 0x2;         // vertical sync stopped
constexpr ULONG OutputHsyncOff = 0x8;         // horizontal sync stopped
constexpr ULONG OutputSyncBits = 0x1E;        // monitor power
constexpr ULONG OutputResetBits = 0x1F;       // cleared by the display reset

constexpr ULONG DacIndex = 0x50;              // DAC index register, entry 0-511
constexpr ULONG DacData = 0x54;               // DAC data register, 0x00RRGGBB
constexpr ULONG DacColourMask = 0x00FFFFFF;
constexpr ULONG DacGreyStep = 0x010101;       // grey level n is n times this

constexpr ULONG Pipeline = 0x5C;              // display pipeline register
constexpr ULONG PipelineEnable = 0x1;         // set last by mode programming
constexpr ULONG PipelineLineDouble = 0x10;    // line doubling
constexpr ULONG PipelineGraphics = 0x80;
constexpr ULONG PipelineBits10To11 = 0xC00;   // cleared
constexpr ULONG PipelineDirectColour = 0x1000;  // depth other than 8
constexpr ULONG PipelineFormatShift = 18;     // pixel format
constexpr ULONG PipelineFormatMask = 0xC0000;
constexpr ULONG PipelineFormat16 = 1;
constexpr ULONG PipelineFormat24 = 2;
constexpr ULONG PipelineFormat32 = 3;
constexpr ULONG PipelineDoubleClock = 0x4000000;  // double pixel clock
constexpr ULONG PipelineFormatKeep = 0xFEE3EB7F;  // clears bits 7, 10, 12, 18-20, 24
constexpr ULONG PipelineDefaultsKeep = 0xFD1C16FB;  // clears bits 2, 8, 11, 13-17, 21-23, 25
constexpr ULONG PipelineTimingKeep = 0xFBFFFFEF;    // clears bits 4 and 26

constexpr ULONG MonitorLines = 0x78;          // monitor line register
constexpr ULONG MonitorDdcEnable = 0x40000;
constexpr ULONG MonitorClockOut = 0x80000;
constexpr ULONG MonitorDataOut = 0x100000;
constexpr ULONG MonitorClockIn = 0x200000;
constexpr ULONG MonitorDataIn = 0x400000;
// Both outputs high: the open-drain lines are released and read high through their pull-ups.
constexpr ULONG MonitorLinesReleased = MonitorClockOut | MonitorDataOut;

constexpr ULONG ScreenSize = 0x98;            // screen size: width bits 0-11, lines from bit 12 or 13
constexpr ULONG ScreenSizeWidthMask = 0xFFF;
constexpr ULONG ScreenSizeLinesShift = 12;
constexpr ULONG ScreenSizeDoubledShift = 13;
constexpr ULONG ScreenSizeWidestWidth = 2048;    // does not fit the width field:
constexpr ULONG ScreenSizeWidestProgrammed = 2046;  // programmed as this instead
constexpr ULONG Reg9C = 0x9C;
constexpr ULONG ScreenEnd = 0xA0;             // (width - 1) bits 0-11, (height - 1) bits 12-31
constexpr ULONG ScreenEndWidthMask = 0xFFF;
constexpr ULONG ScreenEndHeightMask = 0xFFFFF;
constexpr ULONG ScreenEndHeightShift = 12;
constexpr ULONG RegA8 = 0xA8;
constexpr ULONG RegE4 = 0xE4;
constexpr ULONG Stride = 0xE8;                // stride register
constexpr ULONG StrideMask = 0x3FFF;          // line stride in bytes
constexpr ULONG StrideKeep = 0xFFFFC000;
constexpr ULONG StrideDefaultsKeep = 0xC000FFFF;  // clears bits 16-29

constexpr ULONG Engine128 = 0x200128;
constexpr ULONG Engine128ModeValue = 0x1;     // written at mode programming
constexpr ULONG Engine250 = 0x200250;
constexpr ULONG Engine250ModeValue = 0x10400; // written at mode programming

// Option ROM image, visible at this offset of the register window while the ROM is enabled.
constexpr ULONG RomWindowOffset = 0xA00000;

// --- VGA ports ----------------------------------------------------------------------------------

constexpr USHORT VgaPortBase = 0x300;         // VGA port p is at I/O window offset p - 0x300
constexpr USHORT VgaAttribute = 0x3C0;        // attribute controller, index and data alternately
constexpr USHORT VgaMiscWrite = 0x3C2;        // miscellaneous output (write)
constexpr USHORT VgaEnable = 0x3C3;
constexpr USHORT VgaSequencer = 0x3C4;        // sequencer index; data at 0x3C5
constexpr USHORT VgaSequencerData = 0x3C5;
constexpr USHORT VgaMiscRead = 0x3CC;         // miscellaneous output (read)
constexpr USHORT VgaGraphics = 0x3CE;         // graphics controller index; data at 0x3CF
constexpr USHORT VgaCrtc = 0x3D4;             // CRTC index; data at 0x3D5
constexpr USHORT VgaInputStatus = 0x3DA;      // reading resets the attribute flip-flop
constexpr USHORT VgaFeatureControl = 0x3DA;   // the same port written (colour addressing)

constexpr UCHAR MiscOutputInit = 0x76;
constexpr UCHAR MiscOutputIoAddressColour = 0x01;  // forced on at mode programming
constexpr UCHAR MiscOutputVsyncPolarity = 0x80;
constexpr UCHAR FeatureControlInit = 0x00;    // written after the attribute controller is loaded
constexpr UCHAR VgaEnableOn = 0x01;

constexpr UCHAR SeqReset = 0x00;
constexpr UCHAR SeqResetRunning = 0x03;
constexpr UCHAR SeqClockingMode = 0x01;
constexpr UCHAR SeqScreenOff = 0x20;          // bit 5 of the clocking mode register

constexpr UCHAR GfxMisc = 0x06;
constexpr UCHAR GfxMiscInit = 0x05;

constexpr UCHAR CrtcHorizontalCount = 8;     // indices 0x00-0x07: the horizontal timing and totals
constexpr UCHAR CrtcMaxScanLine = 0x09;
constexpr UCHAR CrtcVRetraceStart = 0x10;
constexpr UCHAR CrtcVRetraceEnd = 0x11;       // bit 7 protects indices 0x00-0x07
constexpr UCHAR CrtcVRetraceEndUnprotected = 0x00;
constexpr UCHAR CrtcVDisplayEnd = 0x12;
constexpr UCHAR CrtcVBlankStart = 0x15;
constexpr UCHAR CrtcVBlankEnd = 0x16;
constexpr UCHAR CrtcModeControl = 0x17;
constexpr UCHAR CrtcModeControlValue = 0x80;
constexpr UCHAR CrtcExtHorizontal = 0x1A;     // extension: horizontal bit 8s
constexpr UCHAR CrtcExtVertical = 0x1B;       // extension: vertical bit 10s

constexpr UCHAR AttrPaletteSource = 0x20;     // bit 5 of the attribute index: palette address source
constexpr UCHAR AttrColourSelect = 0x14;

}  // namespace reg
