// Registry configuration: the adapter's registry values, read once during discovery. A value that
// is absent or refused leaves its default; a missing or malformed gamma ramp is written back.
#include "adapter/bringup.h"

constexpr ULONG GammaTableBytes = GammaEntries * sizeof(ULONG);

// Accepts any value with at least one byte and takes its first 32-bit word; a value of one to three
// bytes is zero-extended, never read past its end.
static VP_STATUS NTAPI NumberCallback(PVOID, PVOID context, PWSTR, PVOID data, ULONG length) {
    if (length == 0) return ERROR_INVALID_PARAMETER;
    const UCHAR* bytes = static_cast<const UCHAR*>(data);
    ULONG word = 0;
    for (ULONG i = 0; i < length && i < sizeof(ULONG); ++i) word |= static_cast<ULONG>(bytes[i]) << (8 * i);
    *static_cast<PULONG>(context) = word;
    return NO_ERROR;
}

// Accepts a value of exactly 1024 bytes: a ramp of 256 words.
static VP_STATUS NTAPI TableCallback(PVOID, PVOID context, PWSTR, PVOID data, ULONG length) {
    if (length != GammaTableBytes) return ERROR_INVALID_PARAMETER;
    VideoPortMoveMemory(context, data, GammaTableBytes);
    return NO_ERROR;
}

static bool ReadNumber(AdapterState* adapter, PWSTR name, ULONG* value) {
    ULONG word = 0;
    if (VideoPortGetRegistryParameters(adapter, name, FALSE, NumberCallback, &word) != NO_ERROR) return false;
    *value = word;
    return true;
}

// The stored ramp with bits 24-31 dropped, or, when there is none of the right size, the current
// ramp stored under the name.
static void ReadGammaRamp(AdapterState* adapter, PWSTR name, ULONG* ramp, ULONG* buffer) {
    if (VideoPortGetRegistryParameters(adapter, name, FALSE, TableCallback, buffer) == NO_ERROR) {
        for (ULONG i = 0; i < GammaEntries; ++i) ramp[i] = buffer[i] & 0xFFFFFF;
        return;
    }
    VideoPortSetRegistryParameters(adapter, name, ramp, GammaTableBytes);
}

void ReadRegistryConfiguration(AdapterState* adapter) {
    ULONG debugLevel = 0;
    if (ReadNumber(adapter, WIDE_NAME("MiniportDebugLevel"), &debugLevel)) {
        adapter->debugLevel = static_cast<LONG>(debugLevel);
    }

    if (adapter->isSecondary) {
        ReadNumber(adapter, WIDE_NAME("miscInit1"), &adapter->miscInit1Value);
        ReadNumber(adapter, WIDE_NAME("dramInit0"), &adapter->dramInit0Value);
        ReadNumber(adapter, WIDE_NAME("dramInit1"), &adapter->dramInit1Value);
    } else {
        ReadNumber(adapter, WIDE_NAME("UseNonBIOSModeSet"), &adapter->useNonBiosModeSet);
    }

    ULONG buffer[GammaEntries];
    ReadGammaRamp(adapter, WIDE_NAME("GammaTable"), adapter->gammaTable, buffer);
    ReadGammaRamp(adapter, WIDE_NAME("LumenGammaTable"), adapter->lumenGammaTable, buffer);

    ReadNumber(adapter, WIDE_NAME("UseSoftwareCursor"), &adapter->useSoftwareCursor);
    ReadNumber(adapter, WIDE_NAME("GraphicsClocking"), &adapter->graphicsClockMhz);
    if (adapter->pciDeviceId == 3) ReadNumber(adapter, WIDE_NAME("MemClocking"), &adapter->memClockMhz);
}
