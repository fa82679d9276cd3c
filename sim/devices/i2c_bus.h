// The I2C bus of the display data channel at the level of its two wires: start and stop conditions
// (the data line changing while the clock is high), bits taken on the clock's rising edge, the
// acknowledge bit, and the device driving the data line while the clock is low. The lines are
// open-drain: a wire is low when any side pulls it low, high through its pull-up otherwise.
//
// The bus turns levels into bytes for one device behind it (I2cDevice) and knows nothing of what
// the device holds; the device never sees a line.
#pragma once

#include <cstdint>

namespace sim {

class I2cDevice {
public:
    virtual ~I2cDevice() = default;
    // A start condition, then an address byte for this bus: true to acknowledge it.
    virtual bool Select(uint8_t address, bool read) = 0;
    // A byte the master wrote after selecting the device for writing: true to acknowledge it.
    virtual bool Write(uint8_t byte) = 0;
    // The next byte to send after a selection for reading, or after the master acknowledged a byte.
    virtual uint8_t Read() = 0;
    // A stop condition: the transaction ends.
    virtual void Stop() = 0;
};

// A bus with nothing that answers on it.
class NoI2cDevice : public I2cDevice {
public:
    bool Select(uint8_t, bool) override { return false; }
    bool Write(uint8_t) override { return false; }
    uint8_t Read() override { return 0xFF; }
    void Stop() override {}
};

// A probe on the two wires (a logic analyser's): told the levels after every change, with the
// machine's time of the change.
class WireWatcher {
public:
    virtual ~WireWatcher() = default;
    virtual void WiresChanged(uint64_t timeNs, bool clock, bool data) = 0;
};

class I2cBus {
public:
    // The master's outputs (true: released). When both change in one step, the data line changes
    // first, against the clock level before the step, then the clock.
    void SetMasterLines(bool clock, bool data, I2cDevice& device);
    // A faulty device that holds the data line low for good.
    void HoldDataLow(bool hold, I2cDevice& device);
    // A faulty device that holds the clock line low for good.
    void HoldClockLow(bool hold, I2cDevice& device);
    // A slow device: after the ninth clock pulse of every byte it holds the clock low for
    // `nanoseconds` (clock stretching) while it gets the next byte ready.
    void SetStretch(uint64_t nanoseconds) { stretchNs_ = nanoseconds; }
    // The machine's time now: a stretched clock whose time is up is released.
    void Advance(uint64_t now, I2cDevice& device);

    bool Clock() const { return clock_; }
    bool Data() const { return data_; }
    // The probe told of every change of the wires from now on; null for none.
    void SetWatcher(WireWatcher* watcher) { watcher_ = watcher; }

private:
    enum class Phase {
        Idle,       // no transaction, or one that is not for the device: waiting for a start
        Receive,    // the master sends a byte (the address first)
        AckOut,     // the device acknowledges the byte it received
        Transmit,   // the device sends a byte
        AckIn,      // the master acknowledges the byte it received
    };

    void Settle(I2cDevice& device);
    void SettleLevels(I2cDevice& device);
    void Start();
    void Stop(I2cDevice& device);
    void ClockRises();
    void ClockFalls(I2cDevice& device);
    void ByteReceived(I2cDevice& device);
    void SendNextByte(I2cDevice& device);
    void DriveData(bool level) { deviceData_ = level; }
    void Stretch();
    bool ClockLevel() const { return masterClock_ && !clockHeldLow_ && !stretching_; }

    bool masterClock_ = true;
    bool masterData_ = true;
    bool deviceData_ = true;      // the device's output on the data line
    bool heldLow_ = false;
    bool clockHeldLow_ = false;
    uint64_t stretchNs_ = 0;
    bool stretching_ = false;     // the device holds the clock low until stretchEnd_
    uint64_t stretchEnd_ = 0;
    uint64_t now_ = 0;
    bool clock_ = true;           // the wires
    bool data_ = true;

    Phase phase_ = Phase::Idle;
    unsigned bits_ = 0;           // bits of the current byte clocked so far
    uint8_t shift_ = 0;
    bool addressPhase_ = false;   // the byte being received is the address
    bool reading_ = false;        // the device was selected for reading
    bool clockedHigh_ = false;    // the clock has risen since the phase began (acknowledge phases)
    bool masterAcked_ = false;
    WireWatcher* watcher_ = nullptr;
};

}  // namespace sim
