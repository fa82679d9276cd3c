#include "driver_view.h"

#include "adapter/adapter_state.h"

namespace zarnsim {

namespace {

bool IsIdentityRamp(const ULONG* ramp) {
    for (ULONG i = 0; i < GammaEntries; ++i) {
        if (ramp[i] != i * 0x010101u) return false;
    }
    return true;
}

}  // namespace

DriverView ReadDriverView(sim::Machine& machine, int adapter) {
    DriverView view;
    const auto* record = static_cast<const AdapterState*>(machine.Extension(adapter));
    if (!record || !machine.Adapter(adapter).discoveryRan) return view;
    view.available = true;
    for (ULONG i = 0; i < BiosVersionBytes && record->biosVersion[i]; ++i) {
        view.biosVersion.push_back(static_cast<char>(record->biosVersion[i]));
    }
    view.romPresent = record->romPresent;
    view.romHasVersion10001 = record->romHasVersion10001;
    view.biosPath = UsesBiosPath(record);
    view.debugLevel = record->debugLevel;
    view.useSoftwareCursor = record->useSoftwareCursor;
    view.useNonBiosModeSet = record->useNonBiosModeSet;
    view.graphicsClockMhz = record->graphicsClockMhz;
    view.memClockMhz = record->memClockMhz;
    view.dramInit0Value = record->dramInit0Value;
    view.dramInit1Value = record->dramInit1Value;
    view.miscInit1Value = record->miscInit1Value;
    view.identityGamma = IsIdentityRamp(record->gammaTable);
    view.identityLumenGamma = IsIdentityRamp(record->lumenGammaTable);
    view.modeCount = record->modeCount;
    return view;
}

double PllMegahertz(uint32_t pll) {
    unsigned n = (pll >> 8) & 0xFF, m = (pll >> 2) & 0x3F, k = pll & 0x3;
    return 14.31818 * (n + 2) / ((m + 2) * static_cast<double>(1u << k));
}

}  // namespace zarnsim
