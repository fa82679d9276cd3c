// The video port's side of the display data channel: an I2C master that drives the monitor's bus
// only through the miniport's line callbacks (through the Miniport seam), as the platform's DDC
// helper does.
//
// Timing, from the display data channel's documented behaviour: DDC2B runs the bus at 100 kHz at
// most, so the master holds every level for half a bit period (5 us) with the processor stalled;
// after releasing the clock it reads the clock line back. The tolerant helper lets a device hold it
// low (clock stretching) for up to 1 ms before it gives up; the strict one gives up at once.
#pragma once

#include <cstdint>

#include "devices/bus.h"
#include "platform/videoport.h"
#include "port/miniport.h"

namespace sim {

constexpr uint32_t DdcHalfBitMicroseconds = 5;
constexpr uint32_t DdcClockStretchPolls = 200;
constexpr uint8_t DdcWriteAddress = 0xA0;   // the EDID memory, address 0x50, to write its offset
constexpr uint8_t DdcReadAddress = 0xA1;    // and to read from it

class DdcMaster {
public:
    DdcMaster(Miniport& miniport, PVOID extension, const I2C_FNC_TABLE& lines, Bus& bus, DdcHelper reading)
        : miniport_(miniport), extension_(extension), lines_(lines), bus_(bus), strict_(reading == DdcHelper::Strict) {}

    // One read of the EDID memory: start, 0xA0, the offset, repeated start, 0xA1, `count` bytes
    // (each acknowledged but the last), stop. False when the bus was busy, a clock stayed low or a
    // byte was not acknowledged; the bytes read so far are in `bytes`. The strict helper leaves a bus
    // it finds busy before its start untouched.
    bool Read(uint8_t offset, uint8_t* bytes, uint32_t count);

private:
    bool Start();
    bool RepeatedStart();
    void Stop();
    bool ReleaseBus();
    bool FreeBus();
    bool WriteByte(uint8_t byte);
    bool ReadByte(bool acknowledge, uint8_t* byte);
    bool RaiseClock();
    bool Idle() { return Clock() && Data(); }
    void Delay() { bus_.AdvanceTime(uint64_t{DdcHalfBitMicroseconds} * 1000); }
    void SetClock(bool level) { miniport_.WriteClockLine(lines_.WriteClockLine.address, extension_, level ? 1 : 0); }
    void SetData(bool level) { miniport_.WriteDataLine(lines_.WriteDataLine.address, extension_, level ? 1 : 0); }
    bool Clock() { return miniport_.ReadClockLine(lines_.ReadClockLine.address, extension_) != FALSE; }
    bool Data() { return miniport_.ReadDataLine(lines_.ReadDataLine.address, extension_) != FALSE; }

    Miniport& miniport_;
    PVOID extension_;
    I2C_FNC_TABLE lines_;
    Bus& bus_;
    bool strict_;
};

}  // namespace sim
