#include "port/ddc_master.h"

namespace sim {

// Releases the clock and reads it back: a device may hold it low while it works. The tolerant
// helper waits for it; the strict one gives up at once.
bool DdcMaster::RaiseClock() {
    SetClock(true);
    if (strict_) return Clock();
    for (uint32_t poll = 0; poll < DdcClockStretchPolls; ++poll) {
        if (Clock()) return true;
        Delay();
    }
    return false;
}

// The tolerant helper's way onto the bus: it releases both lines itself, and a device cut off in the
// middle of a byte that still holds the data line low gets up to nine clock pulses to finish it.
bool DdcMaster::ReleaseBus() {
    SetData(true);
    if (!RaiseClock()) return false;
    Delay();
    return Data() || FreeBus();
}

bool DdcMaster::FreeBus() {
    for (int pulse = 0; pulse < 9 && !Data(); ++pulse) {
        SetClock(false);
        Delay();
        if (!RaiseClock()) return false;
        Delay();
    }
    return Data();
}

// The strict helper has found both lines released before it comes here.
bool DdcMaster::Start() {
    if (!strict_ && !ReleaseBus()) return false;
    SetData(false);
    Delay();
    SetClock(false);
    Delay();
    return true;
}

bool DdcMaster::RepeatedStart() {
    SetData(true);
    Delay();
    if (!RaiseClock()) return false;
    Delay();
    if (strict_ && !Data()) return false;
    SetData(false);
    Delay();
    SetClock(false);
    Delay();
    return true;
}

void DdcMaster::Stop() {
    SetData(false);
    Delay();
    RaiseClock();
    Delay();
    SetData(true);
    Delay();
}

// Eight bits, most significant first, each set while the clock is low; then the device's answer.
bool DdcMaster::WriteByte(uint8_t byte) {
    for (int bit = 7; bit >= 0; --bit) {
        SetData((byte >> bit) & 1);
        Delay();
        if (!RaiseClock()) return false;
        Delay();
        SetClock(false);
    }
    SetData(true);
    Delay();
    if (!RaiseClock()) return false;
    Delay();
    bool acknowledged = !Data();
    SetClock(false);
    Delay();
    return acknowledged;
}

// Eight bits taken while the clock is high, then the acknowledge; false when the clock stayed low.
bool DdcMaster::ReadByte(bool acknowledge, uint8_t* byte) {
    *byte = 0;
    SetData(true);
    for (int bit = 0; bit < 8; ++bit) {
        Delay();
        if (!RaiseClock()) return false;
        Delay();
        *byte = static_cast<uint8_t>(*byte << 1 | (Data() ? 1 : 0));
        SetClock(false);
    }
    SetData(!acknowledge);
    Delay();
    if (!RaiseClock()) return false;
    Delay();
    SetClock(false);
    SetData(true);
    Delay();
    return true;
}

bool DdcMaster::Read(uint8_t offset, uint8_t* bytes, uint32_t count) {
    // The strict helper looks at both lines before it moves either, and leaves a busy bus alone.
    if (strict_ && !Idle()) return false;
    bool answered = Start() && WriteByte(DdcWriteAddress) && WriteByte(offset) && RepeatedStart() &&
                    WriteByte(DdcReadAddress);
    for (uint32_t i = 0; answered && i < count; ++i) answered = ReadByte(i + 1 < count, &bytes[i]);
    Stop();
    return answered;
}

}  // namespace sim
