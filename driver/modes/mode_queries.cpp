// Mode validation at discovery, and the three mode queries that answer the display driver from
// its result.
#include "modes/modes.h"

ModeSelectorEntry* ActiveModeTable(const AdapterState* adapter) {
    return UsesBiosPath(adapter) ? adapter->biosModeTable : adapter->directModeTable;
}

static ModeInfoEntry* FindModeInfo(AdapterState* adapter, const ModeSelectorEntry* entry) {
    for (ULONG i = 0; i < ModeInfoCount; ++i) {
        ModeInfoEntry* info = &adapter->modeTables->modeInfoTable[i];
        if (info->modeInfo.BitsPerPlane == entry->bitsPerPixel && info->modeInfo.VisScreenWidth == entry->width &&
            info->modeInfo.VisScreenHeight == entry->height) {
            return info;
        }
    }
    return nullptr;
}

static bool FitsInMemory(const AdapterState* adapter, const ModeInfoEntry* info) {
    const VIDEO_MODE_INFORMATION& mode = info->modeInfo;
    ULONG bytes = (mode.BitsPerPlane * mode.VisScreenHeight * mode.VisScreenWidth) >> 3;
    return adapter->memorySize >= bytes;
}

VP_STATUS ValidateModes(AdapterState* adapter) {
    adapter->validModeCount = 0;
    adapter->modeCount = 0;

    ModeSelectorEntry* table = ActiveModeTable(adapter);
    bool biosTable = table == adapter->biosModeTable;

    ULONG position = 0;
    for (; table[position].bitsPerPixel != 0; ++position) {
        ModeSelectorEntry* entry = &table[position];
        entry->valid = 0;
        entry->tableIndex = position;

        ModeInfoEntry* info = FindModeInfo(adapter, entry);
        if (info == nullptr) continue;
        entry->infoEntry = info;
        entry->valid = 1;
        info->modeInfo.DriverSpecificAttributeFlags |= adapter->modeAttributeBits;

        // The BIOS path needs a VESA mode number: the first or the second.
        if (biosTable && (info->vesaMode | info->vesaModeAlt) == 0) entry->valid = 0;
        if (!FitsInMemory(adapter, info)) entry->valid = 0;
        if (entry->valid) ++adapter->validModeCount;
    }

    if (adapter->validModeCount == 0) return ERROR_DEV_NOT_EXIST;
    adapter->modeCount = position;
    return NO_ERROR;
}

VP_STATUS QueryAvailModes(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    ULONG needed = adapter->validModeCount * sizeof(VIDEO_MODE_INFORMATION);
    packet->StatusBlock->Information = needed;
    if (packet->OutputBufferLength < needed) return ERROR_INSUFFICIENT_BUFFER;

    PVIDEO_MODE_INFORMATION out = static_cast<PVIDEO_MODE_INFORMATION>(packet->OutputBuffer);
    for (const ModeSelectorEntry* entry = ActiveModeTable(adapter); entry->bitsPerPixel != 0; ++entry) {
        if (!entry->valid) continue;
        *out = entry->infoEntry->modeInfo;
        out->ModeIndex = entry->tableIndex;
        out->Frequency = entry->refreshRate;
        ++out;
    }
    return NO_ERROR;
}

VP_STATUS QueryNumAvailModes(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    packet->StatusBlock->Information = sizeof(VIDEO_NUM_MODES);
    if (packet->OutputBufferLength < sizeof(VIDEO_NUM_MODES)) return ERROR_INSUFFICIENT_BUFFER;

    PVIDEO_NUM_MODES out = static_cast<PVIDEO_NUM_MODES>(packet->OutputBuffer);
    out->NumModes = adapter->validModeCount;
    out->ModeInformationLength = sizeof(VIDEO_MODE_INFORMATION);
    return NO_ERROR;
}

// Before the first mode set there is no current mode to report: the request fails and nothing is
// written. The mode set records the entry before the information, so a recorded information has
// its entry.
VP_STATUS QueryCurrentMode(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    packet->StatusBlock->Information = sizeof(VIDEO_MODE_INFORMATION);
    if (packet->OutputBufferLength < sizeof(VIDEO_MODE_INFORMATION)) return ERROR_INSUFFICIENT_BUFFER;
    if (adapter->currentModeInfo == nullptr) {
        packet->StatusBlock->Information = 0;
        return ERROR_INVALID_FUNCTION;
    }

    PVIDEO_MODE_INFORMATION out = static_cast<PVIDEO_MODE_INFORMATION>(packet->OutputBuffer);
    *out = adapter->currentModeInfo->modeInfo;
    out->Frequency = adapter->currentModeEntry->refreshRate;
    return NO_ERROR;
}
