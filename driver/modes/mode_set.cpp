// The mode set, on the BIOS path (the video BIOS, with direct programming as the fallback) or the
// direct path, and the reset that leaves a mode.
#include "adapter/bringup.h"
#include "adapter/callbacks.h"
#include "modes/modes.h"
#include "modes/program_mode.h"
#include "platform/diagnostics.h"

namespace {

constexpr ULONG VesaSetMode = 0x4F02;
constexpr ULONG BiosTextMode = 0x0003;
// The BIOS answers a VESA call with its status in AH: 0 for success.
constexpr ULONG VesaStatusShift = 8;
constexpr ULONG VesaStatusMask = 0xFF;
constexpr ULONG DefaultRefreshRate = 60;

const ULONG acceptedRates[] = {1, 60, 65, 70, 72, 75, 76, 80, 85, 100, 120, 140, 150, 160};

// A rate the display driver cannot be given is reported as 60 Hz; the timing stays as it is.
void ForceAcceptedRate(ModeSelectorEntry* entry) {
    for (ULONG rate : acceptedRates) {
        if (entry->refreshRate == rate) return;
    }
    entry->refreshRate = DefaultRefreshRate;
}

// A VESA mode set; it succeeds when the call does and AH comes back 0.
bool SetBiosMode(AdapterState* adapter, USHORT mode) {
    VIDEO_X86_BIOS_ARGUMENTS arguments;
    VideoPortZeroMemory(&arguments, sizeof(arguments));
    arguments.Eax = VesaSetMode;
    arguments.Ebx = mode;
    if (VideoPortInt10(adapter, &arguments) != NO_ERROR) return false;
    return ((arguments.Eax >> VesaStatusShift) & VesaStatusMask) == 0;
}

// Records the mode and completes its information entry.
VP_STATUS FinishModeSet(AdapterState* adapter, ModeSelectorEntry* entry) {
    ModeInfoEntry* info = entry->infoEntry;
    VIDEO_MODE_INFORMATION& mode = info->modeInfo;
    mode.ScreenStride = info->strideBytes;
    adapter->currentModeInfo = info;
    adapter->currentModeEntry = entry;
    adapter->modeSetActive = 1;

    mode.VideoMemoryBitmapWidth = mode.ScreenStride * 8 / mode.BitsPerPlane;
    if (mode.VideoMemoryBitmapWidth < mode.VisScreenWidth) return ERROR_INVALID_PARAMETER;
    mode.VideoMemoryBitmapHeight = adapter->memorySize / mode.ScreenStride;
    return NO_ERROR;
}

VP_STATUS ProgramAndFinish(AdapterState* adapter, ModeSelectorEntry* entry) {
    adapter->currentModeEntry = entry;
    ForceAcceptedRate(entry);
    VP_STATUS status = ProgramMode(adapter);
    if (status != NO_ERROR) return status;
    return FinishModeSet(adapter, entry);
}

// The direct table's entry of the same resolution and depth with the highest rate that does not
// exceed the BIOS entry's; the first of several with that rate.
ModeSelectorEntry* FindDirectFallback(AdapterState* adapter, const ModeSelectorEntry* biosEntry) {
    ModeSelectorEntry* best = nullptr;
    for (ModeSelectorEntry* entry = adapter->directModeTable; entry->bitsPerPixel != 0; ++entry) {
        if (entry->bitsPerPixel != biosEntry->bitsPerPixel || entry->width != biosEntry->width ||
            entry->height != biosEntry->height || entry->refreshRate > biosEntry->refreshRate) {
            continue;
        }
        if (best == nullptr || entry->refreshRate > best->refreshRate) best = entry;
    }
    return best;
}

// Whether the entry names two different VESA mode numbers (the same number twice, or a 0, is one).
bool NamesTwoModes(const ModeInfoEntry* info) {
    return info->vesaMode != 0 && info->vesaModeAlt != 0 && info->vesaMode != info->vesaModeAlt;
}

void ReportBiosRefusal(const ModeInfoEntry* info) {
    if (NamesTwoModes(info)) {
        DebugMessage(Warn, "the video BIOS refused VESA modes 0x%X and 0x%X: programming %ux%u directly\n",
                     info->vesaMode, info->vesaModeAlt, info->modeInfo.VisScreenWidth, info->modeInfo.VisScreenHeight);
        return;
    }
    DebugMessage(Warn, "the video BIOS refused VESA mode 0x%X: programming %ux%u directly\n",
                 info->vesaMode ? info->vesaMode : info->vesaModeAlt, info->modeInfo.VisScreenWidth, info->modeInfo.VisScreenHeight);
}

VP_STATUS SetModeThroughBios(AdapterState* adapter, ULONG index) {
    ModeSelectorEntry* entry = &adapter->biosModeTable[index];
    if (!entry->valid) return ERROR_INVALID_PARAMETER;
    ModeInfoEntry* info = entry->infoEntry;

    ForceAcceptedRate(entry);
    VP_STATUS status = PreloadTiming(adapter, entry);
    if (status != NO_ERROR) return status;

    // A mode number of 0 is no number: that call is not made.
    if (info->vesaMode != 0 && SetBiosMode(adapter, info->vesaMode)) return FinishModeSet(adapter, entry);
    if (info->vesaModeAlt != 0 && SetBiosMode(adapter, info->vesaModeAlt)) return FinishModeSet(adapter, entry);

    ReportBiosRefusal(info);
    ModeSelectorEntry* fallback = FindDirectFallback(adapter, entry);
    if (fallback == nullptr) {
        DebugMessage(Error, "no directly programmed mode of %ux%u at %u Hz or less: the mode set fails\n",
                     entry->width, entry->height, entry->refreshRate);
        return ERROR_INVALID_PARAMETER;
    }
    fallback->valid = 1;
    fallback->infoEntry = info;
    return ProgramAndFinish(adapter, fallback);
}

}  // namespace

VP_STATUS SetCurrentMode(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    if (packet->InputBufferLength < sizeof(VIDEO_MODE)) return ERROR_INSUFFICIENT_BUFFER;
    ULONG index = static_cast<PVIDEO_MODE>(packet->InputBuffer)->RequestedMode;
    if (index >= adapter->modeCount) return ERROR_INVALID_PARAMETER;

    if (UsesBiosPath(adapter)) return SetModeThroughBios(adapter, index);

    // A mode that validation dropped would scan out past the end of video memory.
    ModeSelectorEntry* entry = &adapter->directModeTable[index];
    if (!entry->valid) return ERROR_INVALID_PARAMETER;
    return ProgramAndFinish(adapter, entry);
}

BOOLEAN ResetHardware(AdapterState* adapter) {
    if (!adapter->modeSetActive) return FALSE;
    if (adapter->isSecondary) InitializeChip(adapter);
    if (!UsesBiosPath(adapter)) ResetDisplay(adapter);
    adapter->modeSetActive = 0;
    return FALSE;
}

VP_STATUS ResetDevice(AdapterState* adapter) {
    ResetHardware(adapter);
    if (UsesBiosPath(adapter)) {
        VIDEO_X86_BIOS_ARGUMENTS arguments;
        VideoPortZeroMemory(&arguments, sizeof(arguments));
        arguments.Eax = BiosTextMode;
        VideoPortInt10(adapter, &arguments);
    }
    return NO_ERROR;
}

BOOLEAN NTAPI HwResetHw(PVOID hwDeviceExtension, ULONG, ULONG) { return ResetHardware(AdapterOf(hwDeviceExtension)); }
