// The option ROM probe: the ROM is made visible inside the register window through the PCI
// expansion ROM base register, its version text and maker text decide whether the video BIOS may
// set modes, and the adapter's identity is published as HardwareInformation values.
#include "adapter/bringup.h"
#include "hw/access.h"
#include "hw/pci.h"
#include "hw/registers.h"
#include "modes/mode_tables.h"
#include "platform/diagnostics.h"

namespace {

constexpr ULONG RomLengthByte = 2;            // image length in 512-byte units
constexpr ULONG RomWordsPerLengthUnit = 128;
constexpr ULONG VersionMarkerLow = 0x73726556;   // "Vers"
constexpr ULONG VersionMarkerHigh = 0x206E6F69;  // "ion "
constexpr ULONG VersionMarkerBytes = 8;
constexpr ULONG VersionTextBytes = 31;
constexpr ULONG RomSearchBytes = 0x8000;
constexpr ULONG BiosStringChars = 32;
constexpr ULONG BiosStringPrefixChars = 19;   // "VGA BIOS - Version "
constexpr USHORT ReferenceBoardSubvendor = 0xFFFF;

const UCHAR makerText[] = "Zarn Microsystems Inc";
const UCHAR version10001Text[] = "VGA BIOS - Version 1.00.01";

struct WideText {
    PCWSTR text;
    ULONG bytes;   // with the terminating zero character
};
#define WIDE_TEXT(text) {WIDE(text), sizeof(WIDE(text))}

struct BoardIdentity {
    WideText chipType;
    WideText adapterString;
};

const BoardIdentity corvidReference = {WIDE_TEXT("Zarn Mistral Corvid"), WIDE_TEXT("Zarn Mistral Corvid Reference Board")};
const BoardIdentity corvid = {WIDE_TEXT("Zarn Mistral Corvid"), WIDE_TEXT("Zarn Mistral Corvid Board")};
const BoardIdentity corvidPlusReference = {WIDE_TEXT("Zarn Mistral Corvid Plus"),
                                           WIDE_TEXT("Zarn Mistral Corvid Plus Reference Board")};
const BoardIdentity mistral3Reference = {WIDE_TEXT("Zarn Mistral 3"), WIDE_TEXT("Zarn Mistral 3 Reference Board")};
const BoardIdentity mistral3 = {WIDE_TEXT("Zarn Mistral 3"), WIDE_TEXT("Zarn Mistral 3 Board")};
const WideText dacType = WIDE_TEXT("Zarn Internal DAC");
const WideText noRomText = WIDE_TEXT("NO ROM DETECTED");
const WideText secondaryText = WIDE_TEXT("SECONDARY DEVICE -- NO ROM ALLOWED");
const WCHAR defaultBiosString[] = WIDE("VGA BIOS - Version 1.00.01-ET");

// What the probe learns, kept for the length of one probe.
struct RomProbe {
    UCHAR header[PciHeaderSize];
    bool romBarChanged;    // the expansion ROM base register was written and must be restored
    ULONG savedRomBar;
    ULONG romBytes;        // bytes of the register window from the ROM offset on
    ULONG searchOrigin;    // ROM offset of the version text
    WCHAR biosString[BiosStringChars];
    WideText published;    // the BIOS string as published
};

const BoardIdentity* IdentityOf(USHORT deviceId, USHORT subsystemVendor) {
    switch (deviceId) {
    case CorvidDeviceId: return subsystemVendor == ZarnVendorId ? &corvidReference : &corvid;
    case CorvidPlusDeviceId: return &corvidPlusReference;
    case Mistral3DeviceId: return subsystemVendor == ReferenceBoardSubvendor ? &mistral3Reference : &mistral3;
    default: return nullptr;
    }
}

// Points the expansion ROM base register at the register window offset of the ROM and enables it;
// false when either write did not reach the adapter: then the window shows registers, not the ROM.
// From the first write on the register is put back at the end of the probe.
bool EnableRom(AdapterState* adapter, RomProbe* probe) {
    probe->savedRomBar = PciDword(probe->header, PciRomBarOffset);
    ULONG romBar = (PciDword(probe->header, PciRegisterBarOffset) + reg::RomWindowOffset) & ~PciRomEnable;
    probe->romBarChanged = true;
    SetPciDword(probe->header, PciRomBarOffset, romBar);
    if (!WritePciHeader(adapter, probe->header)) return false;
    SetPciDword(probe->header, PciRomBarOffset, romBar | PciRomEnable);
    return WritePciHeader(adapter, probe->header);
}

// Puts the saved expansion ROM base register back; false when the write did not reach the adapter,
// which leaves the ROM covering part of the register window. A failed write is tried once more: an
// enabled ROM would hide registers from whoever uses the adapter next.
bool RestoreRom(AdapterState* adapter, RomProbe* probe) {
    if (!probe->romBarChanged) return true;
    SetPciDword(probe->header, PciRomBarOffset, probe->savedRomBar);
    return WritePciHeader(adapter, probe->header) || WritePciHeader(adapter, probe->header);
}

ULONG ReadRomWord(const AdapterState* adapter, ULONG offset) {
    return ReadMmio(adapter, reg::RomWindowOffset + offset);
}

// Finds the first 4-byte-aligned "Version " inside the ROM image and copies the 31 bytes after it.
// Every read stays inside the register window; a version text that does not fit in it counts as
// not found.
void FindVersionText(AdapterState* adapter, RomProbe* probe) {
    if (probe->romBytes <= RomLengthByte) return;
    adapter->romSize = ReadMmioByte(adapter, reg::RomWindowOffset + RomLengthByte) * RomWordsPerLengthUnit;

    for (ULONG i = 0; i < adapter->romSize; ++i) {
        ULONG textOffset = 4 * i + VersionMarkerBytes;
        if (textOffset + VersionTextBytes > probe->romBytes) return;
        if (ReadRomWord(adapter, 4 * i) != VersionMarkerLow) continue;
        if (ReadRomWord(adapter, 4 * i + 4) != VersionMarkerHigh) continue;
        for (ULONG j = 0; j < VersionTextBytes; ++j) {
            adapter->biosVersion[j] = ReadMmioByte(adapter, reg::RomWindowOffset + textOffset + j);
        }
        adapter->romHasVersion10001 = 0;
        probe->searchOrigin = textOffset;
        return;
    }
}

bool RomHasText(AdapterState* adapter, const RomProbe* probe, const UCHAR* text) {
    ULONG length = probe->romBytes - probe->searchOrigin;
    if (length > RomSearchBytes) length = RomSearchBytes;
    PUCHAR origin = adapter->registerBase + reg::RomWindowOffset + probe->searchOrigin;
    return (VideoPortScanRom(adapter, origin, length, const_cast<PUCHAR>(text)) & 0xFF) != 0;
}

// "VGA BIOS - Version " followed by the version text up to its first space, within 32 characters.
void ComposeBiosString(const AdapterState* adapter, RomProbe* probe) {
    ULONG at = BiosStringPrefixChars;
    for (ULONG j = 0; at < BiosStringChars && adapter->biosVersion[j] != ' '; ++j, ++at) {
        probe->biosString[at] = adapter->biosVersion[j];
    }
    if (at < BiosStringChars) probe->biosString[at] = 0;
    probe->published = {probe->biosString, sizeof(probe->biosString)};
}

void ChooseTables(AdapterState* adapter, RomProbe* probe) {
    if (adapter->biosVersion[0] == 0) {
        adapter->romPresent = 0;
        adapter->biosModeTable = nullptr;
        adapter->useNonBiosModeSet = 1;
        probe->published = noRomText;
        return;
    }
    if (RomHasText(adapter, probe, makerText)) adapter->romPresent = 1;
    if (RomHasText(adapter, probe, version10001Text)) adapter->romHasVersion10001 = 1;
    ComposeBiosString(adapter, probe);
    if (adapter->isSecondary) {
        adapter->useNonBiosModeSet = 1;
        adapter->biosModeTable = nullptr;
        probe->published = secondaryText;
    } else {
        adapter->biosModeTable = adapter->modeTables->biosSelectorTable;
    }
}

void Publish(AdapterState* adapter, PWSTR name, const WideText& text) {
    VideoPortSetRegistryParameters(adapter, name, const_cast<PWSTR>(text.text), text.bytes);
}

void PublishIdentity(AdapterState* adapter, const BoardIdentity* identity, const RomProbe* probe) {
    Publish(adapter, WIDE_NAME("HardwareInformation.ChipType"), identity->chipType);
    Publish(adapter, WIDE_NAME("HardwareInformation.DACType"), dacType);
    Publish(adapter, WIDE_NAME("HardwareInformation.AdapterString"), identity->adapterString);
    Publish(adapter, WIDE_NAME("HardwareInformation.AdapterType"), identity->adapterString);
    Publish(adapter, WIDE_NAME("HardwareInformation.BiosString"), probe->published);
}

}  // namespace

bool ServesDevice(USHORT deviceId) { return IdentityOf(deviceId, 0) != nullptr; }

VP_STATUS ProbeOptionRom(AdapterState* adapter) {
    RomProbe probe;
    VideoPortZeroMemory(&probe, sizeof(probe));
    VideoPortMoveMemory(probe.biosString, const_cast<WCHAR*>(defaultBiosString), sizeof(defaultBiosString));

    adapter->modeAttributeBits = adapter->useSoftwareCursor ? 1 : 0;
    adapter->directModeTable = adapter->modeTables->directSelectorTable;

    // Without the configuration header neither the ROM nor the board can be told: the adapter is
    // refused, as when the header cannot be read at the start of discovery.
    if (!ReadPciHeader(adapter, probe.header)) return ERROR_DEV_NOT_EXIST;
    ULONG window = adapter->accessRanges[RegisterRange].RangeLength;
    // A ROM that cannot be enabled is no ROM: its offset in the window holds registers.
    if (window > reg::RomWindowOffset && EnableRom(adapter, &probe)) {
        probe.romBytes = window - reg::RomWindowOffset;
        FindVersionText(adapter, &probe);
    }
    ChooseTables(adapter, &probe);
    if (adapter->biosVersion[0] == 0) DebugMessage(Info, "option ROM: no version text\n");
    else DebugMessage(Info, "option ROM: version %.31s\n", reinterpret_cast<const char*>(adapter->biosVersion));
    DebugMessage(Info, "modes are set %s\n",
                 adapter->romPresent && !adapter->useNonBiosModeSet ? "through the video BIOS" : "by direct programming");

    const BoardIdentity* identity = IdentityOf(adapter->pciDeviceId, PciWord(probe.header, PciSubsystemVendorOffset));
    if (identity == nullptr) {
        DebugMessage(Error, "device ID 0x%04X is not one the driver serves\n", adapter->pciDeviceId);
        RestoreRom(adapter, &probe);
        return ERROR_DEV_NOT_EXIST;
    }
    PublishIdentity(adapter, identity, &probe);
    if (!RestoreRom(adapter, &probe)) return ERROR_DEV_NOT_EXIST;
    return NO_ERROR;
}
