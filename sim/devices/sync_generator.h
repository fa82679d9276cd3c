// The CRTC's vertical sync in time: the level of the vertical sync output at any moment of the
// machine's clock, from the timing the chip's registers program (decoded as the scanout decodes it).
// Frames count from power-on, so the phase of the sync is the same whoever looks at it. The status
// register's bit 6 shows this level.
#pragma once

#include <cmath>
#include <cstdint>

#include "devices/chip.h"
#include "devices/scanout.h"

namespace sim {

// A sync output's pulses in time: one pulse of `width` ns every `period` ns, starting `start` ns
// into each period, periods counted from power-on (0 <= start < period).
struct PulseTrain {
    double start = 0;
    double period = 0;
    double width = 0;

    bool ActiveAt(uint64_t nowNs) const {
        return std::fmod(static_cast<double>(nowNs) - start + period, period) < width;
    }
    bool operator==(const PulseTrain&) const = default;
};

// The pulse trains of a timing: the horizontal sync's within each line, the vertical sync's within
// each frame (its pulse starts with a line). A pulse that runs past its total lasts the whole total.
PulseTrain HorizontalPulses(const DisplayTiming& t);
PulseTrain VerticalPulses(const DisplayTiming& t);

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
    PulseTrain pulses_;
};

}  // namespace sim
