#include "driver_view.h"

#include <cstring>

#include "adapter/adapter_state.h"

namespace zarnsim {

namespace {

bool IsIdentityRamp(const ULONG* ramp) {
    for (ULONG i = 0; i < GammaEntries; ++i) {
        if (ramp[i] != i * 0x010101u) return false;
    }
    return true;
}

// --- The driver image ---

template <class T>
T FieldAt(const uint8_t* record, uint32_t offset) {
    T value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

bool IsIdentityRampAt(const uint8_t* record, uint32_t offset) {
    ULONG ramp[GammaEntries];
    std::memcpy(ramp, record + offset, sizeof ramp);
    return IsIdentityRamp(ramp);
}

// The record of the driver image, read at its i386 offsets.
DriverView ReadImageRecord(const uint8_t* record) {
    const ImageRecordLayout& at = ImageAdapterLayout;
    DriverView view;
    view.available = true;
    for (ULONG i = 0; i < BiosVersionBytes && record[at.biosVersion + i]; ++i) {
        view.biosVersion.push_back(static_cast<char>(record[at.biosVersion + i]));
    }
    view.romPresent = FieldAt<UCHAR>(record, at.romPresent);
    view.romHasVersion10001 = FieldAt<UCHAR>(record, at.romHasVersion10001);
    view.debugLevel = FieldAt<LONG>(record, at.debugLevel);
    view.useSoftwareCursor = FieldAt<ULONG>(record, at.useSoftwareCursor);
    view.useNonBiosModeSet = FieldAt<ULONG>(record, at.useNonBiosModeSet);
    view.graphicsClockMhz = FieldAt<ULONG>(record, at.graphicsClockMhz);
    view.memClockMhz = FieldAt<ULONG>(record, at.memClockMhz);
    view.dramInit0Value = FieldAt<ULONG>(record, at.dramInit0Value);
    view.dramInit1Value = FieldAt<ULONG>(record, at.dramInit1Value);
    view.miscInit1Value = FieldAt<ULONG>(record, at.miscInit1Value);
    view.identityGamma = IsIdentityRampAt(record, at.gammaTable);
    view.identityLumenGamma = IsIdentityRampAt(record, at.lumenGammaTable);
    view.modeCount = FieldAt<ULONG>(record, at.modeCount);
    view.isSecondary = FieldAt<UCHAR>(record, at.isSecondary);
    // The driver's rule (UsesBiosPath), with the table pointer 4 bytes wide.
    view.biosPath = view.romPresent && view.useNonBiosModeSet == 0 && FieldAt<uint32_t>(record, at.biosModeTable) != 0;
    return view;
}

}  // namespace

DriverView ReadDriverView(sim::Machine& machine, int adapter) {
    DriverView view;
    const auto* record = static_cast<const AdapterState*>(machine.Extension(adapter));
    if (!record || !machine.Adapter(adapter).discoveryRan) return view;
    if (!machine.Config().driverImage.empty()) return ReadImageRecord(reinterpret_cast<const uint8_t*>(record));
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
    view.isSecondary = record->isSecondary;
    return view;
}

double PllMegahertz(uint32_t pll) {
    unsigned n = (pll >> 8) & 0xFF, m = (pll >> 2) & 0x3F, k = pll & 0x3;
    return 14.31818 * (n + 2) / ((m + 2) * static_cast<double>(1u << k));
}

}  // namespace zarnsim
