#include "port/ddc_master.h"

namespace sim {

// Releases the clock and waits for it to read high: a device may hold it low while it works.
bool DdcMaster::RaiseClock() {
    SetClock(true);
    for (uint32_t poll = 0; poll < DdcClockStretchPolls; ++poll) {
        if (Clock()) return true;
        Delay();
    }
    return false;
}

// A device cut off in the middle of a byte can still hold the data line low: up to nine clock
// pulses let it finish its byte.
bool DdcMaster::FreeBus() {
    for (int pulse = 0; pulse < 9 && !Data(); ++pulse) {
        SetClock(false);
        Delay();
        if (!RaiseClock()) return false;
        Delay();
    }
    return Data();
}

bool DdcMaster::Start() {
    SetData(true);
    if (!RaiseClock()) return false;
    Delay();
    if (!Data() && !FreeBus()) return false;
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

uint8_t DdcMaster::ReadByte(bool acknowledge) {
    uint8_t byte = 0;
    SetData(true);
    for (int bit = 0; bit < 8; ++bit) {
        Delay();
        RaiseClock();
        Delay();
        byte = static_cast<uint8_t>(byte << 1 | (Data() ? 1 : 0));
        SetClock(false);
    }
    SetData(!acknowledge);
    Delay();
    RaiseClock();
    Delay();
    SetClock(false);
    SetData(true);
    Delay();
    return byte;
}

bool DdcMaster::Read(uint8_t offset, uint8_t* bytes, uint32_t count) {
    bool answered = Start() && WriteByte(DdcWriteAddress) && WriteByte(offset) && RepeatedStart() &&
                    WriteByte(DdcReadAddress);
    for (uint32_t i = 0; answered && i < count; ++i) bytes[i] = ReadByte(i + 1 < count);
    Stop();
    return answered;
}

}  // namespace sim
