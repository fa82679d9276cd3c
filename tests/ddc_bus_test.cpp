// The monitor's display data channel at the level of its wires: the I2C bus and the EDID memory
// behind it, driven by a master written here from the bus's rules (not the port's), transaction by
// transaction.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/display_monitor.h"

namespace {

using sim::DisplayMonitor;
using sim::MonitorConfig;
using sim::MonitorFault;

// One step of a transaction: a start, a stop, a byte written (with the answer expected), a byte read
// (acknowledged or not, with the byte expected), or a few bare clock pulses.
struct Step {
    enum Kind { Start, Stop, Write, Read, Clocks } kind;
    int value = 0;        // Write: the byte; Read: the offset whose byte is expected (-1: all ones, -2: all
                          // zeros); Clocks: count
    bool flag = false;    // Write: acknowledged; Read: the master acknowledges it
};

Step S() { return {Step::Start}; }
Step P() { return {Step::Stop}; }
Step W(int byte, bool acked = true) { return {Step::Write, byte, acked}; }
Step R(int byte, bool ack = true) { return {Step::Read, byte, ack}; }
Step C(int pulses) { return {Step::Clocks, pulses}; }

// A wire's level: released (pulled up) or driven low.
constexpr bool High = true;
constexpr bool Low = false;

class Master {
public:
    explicit Master(DisplayMonitor& monitor) : monitor_(monitor) {}
    void Lines(bool clock, bool data) {
        clock_ = clock;
        data_ = data;
        monitor_.DriveLines(clock, data, 0);
    }
    void Start() {
        Lines(clock_, High);
        Lines(High, High);
        Lines(High, Low);
        Lines(Low, Low);
    }
    void Stop() {
        Lines(Low, Low);
        Lines(High, Low);
        Lines(High, High);
    }
    bool Bit(bool out) {   // one clock pulse with `out` on the data line; the wire's level while high
        Lines(Low, out);
        Lines(High, out);
        bool in = monitor_.DataWire();
        Lines(Low, out);
        return in;
    }
    bool Write(int byte) {
        for (int bit = 7; bit >= 0; --bit) Bit((byte >> bit) & 1);
        return !Bit(true);
    }
    int Read(bool ack) {
        int byte = 0;
        for (int bit = 0; bit < 8; ++bit) byte = byte << 1 | (Bit(true) ? 1 : 0);
        Bit(!ack);
        return byte;
    }

private:
    DisplayMonitor& monitor_;
    bool clock_ = true, data_ = true;
};

struct BusCase {
    const char* name;
    size_t size;                     // of the EDID memory: 128 or 256
    MonitorFault fault;
    std::vector<Step> steps;
};

void PrintTo(const BusCase& value, std::ostream* out) { *out << value.name; }

class EdidMemoryOnTheWires : public testing::TestWithParam<BusCase> {};

// Byte i of the memory holds i ^ 0x5A, so that every offset can be told from its neighbours.
TEST_P(EdidMemoryOnTheWires, AnswersTransactionByTransaction) {
    const BusCase& c = GetParam();
    std::vector<uint8_t> memory(c.size);
    for (size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<uint8_t>(i ^ 0x5A);
    DisplayMonitor monitor(MonitorConfig{true, memory, "test", c.fault});
    Master master(monitor);
    for (size_t i = 0; i < c.steps.size(); ++i) {
        const Step& step = c.steps[i];
        switch (step.kind) {
        case Step::Start: master.Start(); break;
        case Step::Stop: master.Stop(); break;
        case Step::Clocks:
            for (int n = 0; n < step.value; ++n) master.Bit(true);
            break;
        case Step::Write: EXPECT_EQ(master.Write(step.value), step.flag) << "step " << i; break;
        case Step::Read: {
            int expected = step.value == -1 ? 0xFF : step.value == -2 ? 0x00 : step.value ^ 0x5A;
            EXPECT_EQ(master.Read(step.flag), expected) << "step " << i;
            break;
        }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Transactions, EdidMemoryOnTheWires,
    testing::Values(
        BusCase{"RandomReadWrapsAt128", 128, MonitorFault::None,
                {S(), W(0xA0), W(0x7E), S(), W(0xA1), R(0x7E), R(0x7F), R(0x00), R(0x01, false), P()}},
        BusCase{"RandomReadWrapsAt256", 256, MonitorFault::None,
                {S(), W(0xA0), W(0xFF), S(), W(0xA1), R(0xFF), R(0x00, false), P()}},
        BusCase{"OffsetOutsideA128ByteMemoryWraps", 128, MonitorFault::None,
                {S(), W(0xA0), W(0x81), S(), W(0xA1), R(0x01, false), P()}},
        BusCase{"ReadAfterAStopGoesOnWhereItEnded", 128, MonitorFault::None,
                {S(), W(0xA0), W(0x10), S(), W(0xA1), R(0x10), R(0x11, false), P(), S(), W(0xA1), R(0x12, false), P()}},
        BusCase{"NotAcknowledgingEndsTheRead", 128, MonitorFault::None,
                {S(), W(0xA0), W(0x20), S(), W(0xA1), R(0x20, false), R(-1, false), P(), S(), W(0xA1), R(0x21, false), P()}},
        BusCase{"StopInsideAByteEndsTheTransaction", 128, MonitorFault::None,
                {S(), W(0xA0), W(0x30), S(), W(0xA1), C(4), P(), C(9), S(), W(0xA1), R(0x31, false), P()}},
        BusCase{"StopInsideTheAddressSelectsNothing", 128, MonitorFault::None,
                {S(), W(0xA0), W(0x40), P(), S(), C(4), P(), C(9), S(), W(0xA1), R(0x40, false), P()}},
        BusCase{"OtherAddressesAreNotAcknowledged", 128, MonitorFault::None,
                {S(), W(0xA2, false), P(), S(), W(0x60, false), P(), S(), W(0xA1), R(0x00, false), P()}},
        BusCase{"WritesAreAcknowledgedAndDropped", 128, MonitorFault::None,
                {S(), W(0xA0), W(0x00), W(0x11), W(0x22), P(), S(), W(0xA0), W(0x01), S(), W(0xA1), R(0x01, false), P()}},
        BusCase{"SilentMonitorAcknowledgesNothing", 128, MonitorFault::NoAnswer, {S(), W(0xA0, false), P()}},
        BusCase{"FirstTransactionAfterPowerUpIsMissed", 128, MonitorFault::MissesFirstTransaction,
                {S(), W(0xA0, false), P(), S(), W(0xA0), W(0x05), S(), W(0xA1), R(0x05, false), P()}},
        BusCase{"DataHeldLowLooksLikeAnAnswerOfZeros", 128, MonitorFault::DataLineLow,
                {S(), W(0xA1, true), R(-2, false), P()}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
