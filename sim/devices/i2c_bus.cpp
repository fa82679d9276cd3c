#include "devices/i2c_bus.h"

namespace sim {

void I2cBus::SetMasterLines(bool clock, bool data, I2cDevice& device) {
    if (data != masterData_) {
        masterData_ = data;
        Settle(device);
    }
    if (clock != masterClock_) {
        masterClock_ = clock;
        Settle(device);
    }
}

void I2cBus::HoldDataLow(bool hold, I2cDevice& device) {
    heldLow_ = hold;
    Settle(device);
}

void I2cBus::HoldClockLow(bool hold, I2cDevice& device) {
    clockHeldLow_ = hold;
    Settle(device);
}

// The stretched clock is released when its time is up, whenever the master looks next.
void I2cBus::Advance(uint64_t now, I2cDevice& device) {
    if (stretching_ && now >= stretchEnd_) {
        now_ = stretchEnd_;
        stretching_ = false;
        Settle(device);
    }
    now_ = now;
}

// The device has a byte behind it and holds the clock low (it is low already) while it works.
void I2cBus::Stretch() {
    if (stretchNs_ == 0) return;
    stretching_ = true;
    stretchEnd_ = now_ + stretchNs_;
}

void I2cBus::Settle(I2cDevice& device) {
    const bool oldClock = clock_, oldData = data_;
    SettleLevels(device);
    if (watcher_ && (clock_ != oldClock || data_ != oldData)) watcher_->WiresChanged(now_, clock_, data_);
}

// Brings the wires to what the outputs drive and acts on the edges that produces.
void I2cBus::SettleLevels(I2cDevice& device) {
    bool oldClock = clock_, oldData = data_;
    clock_ = ClockLevel();
    data_ = masterData_ && deviceData_ && !heldLow_;
    if (oldClock && clock_ && oldData != data_) {
        if (data_) Stop(device);
        else Start();
        return;
    }
    if (!oldClock && clock_) ClockRises();
    if (oldClock && !clock_) {
        ClockFalls(device);
        // The device changes its output while the clock is low: no start or stop can come of it.
        data_ = masterData_ && deviceData_ && !heldLow_;
    }
}

// A start, or a repeated start: the next byte is an address.
void I2cBus::Start() {
    phase_ = Phase::Receive;
    bits_ = 0;
    shift_ = 0;
    addressPhase_ = true;
    DriveData(true);
}

void I2cBus::Stop(I2cDevice& device) {
    phase_ = Phase::Idle;
    DriveData(true);
    device.Stop();
}

void I2cBus::ClockRises() {
    switch (phase_) {
    case Phase::Receive:
        if (bits_ < 8) {
            shift_ = static_cast<uint8_t>(shift_ << 1 | (data_ ? 1 : 0));
            ++bits_;
        }
        break;
    case Phase::Transmit: ++bits_; break;
    case Phase::AckIn:
        masterAcked_ = !data_;
        clockedHigh_ = true;
        break;
    case Phase::AckOut: clockedHigh_ = true; break;
    case Phase::Idle: break;
    }
}

void I2cBus::ClockFalls(I2cDevice& device) {
    switch (phase_) {
    case Phase::Receive:
        if (bits_ == 8) ByteReceived(device);
        break;
    case Phase::AckOut:
        if (!clockedHigh_) break;
        DriveData(true);
        Stretch();
        if (reading_) {
            SendNextByte(device);
        } else {
            phase_ = Phase::Receive;
            bits_ = 0;
            shift_ = 0;
        }
        break;
    case Phase::Transmit:
        if (bits_ == 8) {
            DriveData(true);   // the master's acknowledge bit
            phase_ = Phase::AckIn;
            clockedHigh_ = false;
        } else {
            DriveData((shift_ >> (7 - bits_)) & 1);
        }
        break;
    case Phase::AckIn:
        if (!clockedHigh_) break;
        if (masterAcked_) {
            Stretch();
            SendNextByte(device);
        } else {
            phase_ = Phase::Idle;   // a byte not acknowledged ends the read
        }
        break;
    case Phase::Idle: break;
    }
}

// The eighth bit is in: the device answers on the data line during the ninth clock.
void I2cBus::ByteReceived(I2cDevice& device) {
    bool ack;
    if (addressPhase_) {
        reading_ = shift_ & 1;
        ack = device.Select(static_cast<uint8_t>(shift_ >> 1), reading_);
        addressPhase_ = false;
    } else {
        ack = device.Write(shift_);
    }
    if (!ack) {
        phase_ = Phase::Idle;
        return;
    }
    DriveData(false);
    phase_ = Phase::AckOut;
    clockedHigh_ = false;
}

// The device puts the first bit of its next byte on the line while the clock is low.
void I2cBus::SendNextByte(I2cDevice& device) {
    shift_ = device.Read();
    bits_ = 0;
    phase_ = Phase::Transmit;
    DriveData(shift_ & 0x80);
}

}  // namespace sim
