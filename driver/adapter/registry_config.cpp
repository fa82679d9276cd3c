// Registry configuration: the adapter's registry values, read once during discovery. A value that
// is absent or refused leaves its default; a missing or malformed gamma ramp is written back, while
// one the platform could not read is kept as stored.
#include "adapter/bringup.h"
#include "hw/pci.h"
#include "hw/registers.h"
#include "platform/diagnostics.h"

// The context of the number callback: the word it takes and whether it accepted the value. The
// port's answer alone cannot say so: it may hand the callback's refusal (87, a success status to the
// registry's query) on as NO_ERROR.
struct NumberRead {
    ULONG word;
    UCHAR accepted;
};

// Accepts any value with at least one byte and takes its first 32-bit word; a value of one to three
// bytes is zero-extended, never read past its end.
static VP_STATUS NTAPI NumberCallback(PVOID, PVOID context, PWSTR, PVOID data, ULONG length) {
    if (length == 0) return ERROR_INVALID_PARAMETER;
    const UCHAR* bytes = static_cast<const UCHAR*>(data);
    NumberRead* read = static_cast<NumberRead*>(context);
    read->word = 0;
    for (ULONG i = 0; i < length && i < sizeof(ULONG); ++i) read->word |= static_cast<ULONG>(bytes[i]) << (8 * i);
    read->accepted = 1;
    return NO_ERROR;
}

// The context of the table callback: the ramp it copies and its answer, if the platform called it
// at all (it does not for a missing value).
enum TableAnswer : UCHAR { TableNotCalled, TableRefused, TableAccepted };

struct TableRead {
    ULONG words[GammaEntries];
    UCHAR answer;
};

// Accepts a value of exactly 1024 bytes: a ramp of 256 words.
static VP_STATUS NTAPI TableCallback(PVOID, PVOID context, PWSTR, PVOID data, ULONG length) {
    TableRead* read = static_cast<TableRead*>(context);
    if (length != GammaTableBytes) {
        read->answer = TableRefused;
        return ERROR_INVALID_PARAMETER;
    }
    VideoPortMoveMemory(read->words, data, GammaTableBytes);
    read->answer = TableAccepted;
    return NO_ERROR;
}

static bool ReadNumber(AdapterState* adapter, PWSTR name, ULONG* value) {
    NumberRead read = {0, 0};
    if (VideoPortGetRegistryParameters(adapter, name, FALSE, NumberCallback, &read) != NO_ERROR) return false;
    if (!read.accepted) return false;
    *value = read.word;
    return true;
}

// The stored ramp with bits 24-31 dropped. A ramp that is missing or of the wrong size is replaced
// in the registry by the current ramp; one the platform failed to read is left as it is stored.
static void ReadGammaRamp(AdapterState* adapter, PWSTR name, ULONG* ramp, TableRead* read) {
    read->answer = TableNotCalled;
    VP_STATUS status = VideoPortGetRegistryParameters(adapter, name, FALSE, TableCallback, read);
    if (status == NO_ERROR && read->answer == TableAccepted) {
        for (ULONG i = 0; i < GammaEntries; ++i) ramp[i] = read->words[i] & reg::DacColourMask;
        return;
    }
    // The port reports a missing value with ERROR_INVALID_PARAMETER, without calling the callback;
    // any other failure before the callback ran says nothing about what is stored.
    bool missing = read->answer == TableNotCalled && status == ERROR_INVALID_PARAMETER;
    if (missing || read->answer == TableRefused) VideoPortSetRegistryParameters(adapter, name, ramp, GammaTableBytes);
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

    TableRead read;
    ReadGammaRamp(adapter, WIDE_NAME("GammaTable"), adapter->gammaTable, &read);
    ReadGammaRamp(adapter, WIDE_NAME("LumenGammaTable"), adapter->lumenGammaTable, &read);

    ReadNumber(adapter, WIDE_NAME("UseSoftwareCursor"), &adapter->useSoftwareCursor);
    ReadNumber(adapter, WIDE_NAME("GraphicsClocking"), &adapter->graphicsClockMhz);
    if (adapter->pciDeviceId == CorvidDeviceId) ReadNumber(adapter, WIDE_NAME("MemClocking"), &adapter->memClockMhz);
    DebugMessage(Trace, "settings: UseNonBIOSModeSet %u UseSoftwareCursor %u GraphicsClocking %u MHz MemClocking %u MHz\n",
                 adapter->useNonBiosModeSet, adapter->useSoftwareCursor, adapter->graphicsClockMhz,
                 adapter->memClockMhz);
    if (adapter->isSecondary) {
        DebugMessage(Trace, "settings of a secondary adapter: miscInit1 0x%X dramInit0 0x%X dramInit1 0x%X\n",
                     adapter->miscInit1Value, adapter->dramInit0Value, adapter->dramInit1Value);
    }
}
