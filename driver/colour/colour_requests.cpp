// The palette and gamma requests. Every palette change and every new ramp ends with the gamma half
// of the DAC colour table reloaded from gammaTable.
#include "colour/colour.h"

#include "colour/dac.h"
#include "dispatch/control_codes.h"
#include "settings/settings.h"

constexpr ULONG ClutHeadBytes = 4;   // NumEntries and FirstEntry
constexpr ULONG ClutEntryBytes = 4;

// Palette entries carry 8-bit intensities; the DAC takes 0x00RRGGBB.
static ULONG DacColour(const VIDEO_CLUTDATA& entry) {
    return static_cast<ULONG>(entry.Red) << 16 | static_cast<ULONG>(entry.Green) << 8 | entry.Blue;
}

VP_STATUS SetColorRegisters(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    if (packet->InputBufferLength < ClutHeadBytes) return ERROR_INSUFFICIENT_BUFFER;
    const VIDEO_CLUT* clut = static_cast<const VIDEO_CLUT*>(packet->InputBuffer);
    ULONG count = clut->NumEntries;
    ULONG first = clut->FirstEntry;
    if (packet->InputBufferLength < ClutHeadBytes + ClutEntryBytes * count) return ERROR_INSUFFICIENT_BUFFER;
    if (count == 0 || first >= PaletteEntries || first + count > PaletteEntries) return ERROR_INVALID_PARAMETER;

    const auto* entries = clut->LookupTable;
    for (ULONG k = 0; k < count; ++k) WritePaletteEntry(adapter, first + k, DacColour(entries[k].RgbArray));
    LoadGammaRamp(adapter, adapter->gammaTable);
    return NO_ERROR;
}

// The ramp is stored unmasked, kept as the "GammaTable" device parameter for the next start, and
// loaded. No output is returned: Information is 1024 only to tell a short input what it lacks.
VP_STATUS SetGammaTable(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    packet->StatusBlock->Information = GammaTableBytes;
    if (packet->InputBufferLength < GammaTableBytes) return ERROR_INSUFFICIENT_BUFFER;

    VideoPortMoveMemory(adapter->gammaTable, packet->InputBuffer, GammaTableBytes);
    VideoPortSetRegistryParameters(adapter, WIDE_NAME("GammaTable"), adapter->gammaTable, GammaTableBytes);
    LoadGammaRamp(adapter, adapter->gammaTable);
    packet->StatusBlock->Information = 0;
    return NO_ERROR;
}

// The settings read request that fetches the stored ramp, with buffers of its own.
struct GammaRead {
    VIDEO_REQUEST_PACKET packet;
    STATUS_BLOCK statusBlock;
    CHAR name[12];
    SettingReply reply;
};

static void BuildGammaRead(GammaRead* read) {
    static const CHAR name[] = "GammaTable";
    for (ULONG i = 0; i < sizeof(name); ++i) read->name[i] = name[i];
    read->statusBlock.Status = NO_ERROR;
    read->statusBlock.Information = 0;
    read->reply.size = GammaTableBytes;
    read->packet.IoControlCode = IOCTL_VIDEO_READ_SETTING;
    read->packet.StatusBlock = &read->statusBlock;
    read->packet.InputBuffer = read->name;
    read->packet.InputBufferLength = sizeof(name);   // the name and its zero byte
    read->packet.OutputBuffer = &read->reply;
    read->packet.OutputBufferLength = sizeof(read->reply);
}

// The stored ramp goes to the caller's output and becomes gammaTable; the DAC is not reloaded. A
// stored value of any other size is no ramp: 87, nothing changed.
VP_STATUS GetGammaTable(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    packet->StatusBlock->Information = GammaTableBytes;
    if (packet->OutputBufferLength < GammaTableBytes) return ERROR_INSUFFICIENT_BUFFER;

    auto* read = static_cast<GammaRead*>(AllocateWorkArea(adapter, sizeof(GammaRead)));
    if (read == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    BuildGammaRead(read);
    VP_STATUS status = ReadSetting(adapter, &read->packet);
    if (status == NO_ERROR && read->reply.size != GammaTableBytes) status = ERROR_INVALID_PARAMETER;
    if (status == NO_ERROR) {
        VideoPortMoveMemory(packet->OutputBuffer, read->reply.data, GammaTableBytes);
        VideoPortMoveMemory(adapter->gammaTable, read->reply.data, GammaTableBytes);
    }
    FreeWorkArea(adapter, read);
    return status;
}
