// The CRTC's vertical sync in time: the level of the vertical sync output at any moment of the
// machine's clock, from the timing the chip's registers program (decoded as the scanout decodes it).
// Frames count from power-on, so the phase of the sync is the same whoever looks at it. The status
// register's bit 6 shows this level.
#pragma once

#include <cstdint>

#include "devices/chip.h"

namespace sim {

class SyncGenerator {
public:
    // The level of the vertical sync output at `nowNs`: high during the pulse with positive
    // polarity, low during it with negative polarity; a stopped sync holds the line low.
    bool VsyncLevel(const Chip& chip, uint64_t nowNs);
    // The leading edges of the pulse from power-on to `nowNs` (0 while the sync is stopped).
    uint64_t Pulses(const Chip& chip, uint64_t nowNs);
    // The length of one frame in nanoseconds, 0 while the sync is stopped.
    double FrameNanoseconds(const Chip& chip);

private:
    void Decode(const Chip& chip);

    uint64_t generation_ = UINT64_MAX;   // of the chip when last decoded
    bool running_ = false;
    bool negative_ = false;
    double frameNs_ = 0;
    double pulseStartNs_ = 0;   // from the start of a frame
    double pulseNs_ = 0;
};

}  // namespace sim
