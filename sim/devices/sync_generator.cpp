#include "devices/sync_generator.h"

#include <algorithm>
#include <cmath>

#include "devices/scanout.h"

namespace sim {

void SyncGenerator::Decode(const Chip& chip) {
    generation_ = chip.Generation();
    SyncOutputs sync = DecodeSyncOutputs(chip);
    const DisplayTiming& t = sync.t;
    running_ = sync.vsync && t.pixelClockMHz > 0;
    negative_ = t.vsyncNegative;
    if (!running_) return;
    double lineNs = t.hTotal * 1000.0 / t.pixelClockMHz;
    frameNs_ = lineNs * t.vTotal;
    pulseStartNs_ = lineNs * t.vSyncStart;
    pulseNs_ = lineNs * std::min(t.vSyncEnd - t.vSyncStart, t.vTotal);
}

bool SyncGenerator::VsyncLevel(const Chip& chip, uint64_t nowNs) {
    if (chip.Generation() != generation_) Decode(chip);
    if (!running_) return false;
    double intoPulse = std::fmod(static_cast<double>(nowNs) - pulseStartNs_ + frameNs_, frameNs_);
    bool active = intoPulse < pulseNs_;
    return active != negative_;
}

uint64_t SyncGenerator::Pulses(const Chip& chip, uint64_t nowNs) {
    if (chip.Generation() != generation_) Decode(chip);
    if (!running_ || static_cast<double>(nowNs) < pulseStartNs_) return 0;
    return static_cast<uint64_t>((static_cast<double>(nowNs) - pulseStartNs_) / frameNs_) + 1;
}

double SyncGenerator::FrameNanoseconds(const Chip& chip) {
    if (chip.Generation() != generation_) Decode(chip);
    return running_ ? frameNs_ : 0;
}

}  // namespace sim
