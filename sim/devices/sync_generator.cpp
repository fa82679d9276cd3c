#include "devices/sync_generator.h"

#include <algorithm>

namespace sim {

PulseTrain HorizontalPulses(const DisplayTiming& t) {
    double pixelNs = 1000.0 / t.pixelClockMHz;
    return PulseTrain{t.hSyncStart * pixelNs, t.hTotal * pixelNs, std::min(t.hSyncEnd - t.hSyncStart, t.hTotal) * pixelNs};
}

PulseTrain VerticalPulses(const DisplayTiming& t) {
    double lineNs = t.hTotal * 1000.0 / t.pixelClockMHz;
    return PulseTrain{lineNs * t.vSyncStart, lineNs * t.vTotal, lineNs * std::min(t.vSyncEnd - t.vSyncStart, t.vTotal)};
}

void SyncGenerator::Decode(const Chip& chip) {
    generation_ = chip.Generation();
    SyncOutputs sync = DecodeSyncOutputs(chip);
    running_ = sync.vsync && sync.t.pixelClockMHz > 0;
    negative_ = sync.t.vsyncNegative;
    if (running_) pulses_ = VerticalPulses(sync.t);
}

bool SyncGenerator::VsyncLevel(const Chip& chip, uint64_t nowNs) {
    if (chip.Generation() != generation_) Decode(chip);
    if (!running_) return false;
    return pulses_.ActiveAt(nowNs) != negative_;
}

uint64_t SyncGenerator::Pulses(const Chip& chip, uint64_t nowNs) {
    if (chip.Generation() != generation_) Decode(chip);
    if (!running_ || static_cast<double>(nowNs) < pulses_.start) return 0;
    return static_cast<uint64_t>((static_cast<double>(nowNs) - pulses_.start) / pulses_.period) + 1;
}

double SyncGenerator::FrameNanoseconds(const Chip& chip) {
    if (chip.Generation() != generation_) Decode(chip);
    return running_ ? pulses_.period : 0;
}

}  // namespace sim
