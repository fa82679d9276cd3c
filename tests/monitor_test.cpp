// The monitor child: its identification data read over the display data channel through the
// driver's line callbacks, the monitor line register around every read, the I2C transaction as it
// shows on the wires, the line callbacks on an open-drain bus, and the wait for vertical sync.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "adapter/callbacks.h"
#include "clients/display_driver.h"
#include "edid_files.h"
#include "driver_faults.h"
#include "machine/machine.h"
#include "monitor/monitor.h"

namespace {

using sim::Machine;
using sim::MonitorConfig;
using sim::MonitorFault;

constexpr uint32_t Status = 0x00, OutputControl = 0x4C, MonitorLines = 0x78;
constexpr uint32_t DdcEnable = 0x40000, ClockOut = 0x80000, DataOut = 0x100000;

// The board as zarnsim's --adapter describes it, with this monitor and reading of the DDC helper.
sim::MachineConfig WithMonitor(const MonitorConfig& monitor, const std::string& board = "rom=builtin",
                               sim::DdcHelper helper = sim::DdcHelper::Strict) {
    sim::MachineConfig config;
    config.adapters[0] = Board(board);
    config.adapters[0].monitor = monitor;
    config.adapters[0].ddcHelper = helper;
    return config;
}

// Both readings of the platform's DDC helper, as the adapter description names them.
constexpr sim::DdcHelper Helpers[] = {sim::DdcHelper::Strict, sim::DdcHelper::Tolerant};
const char* HelperName(sim::DdcHelper helper) { return helper == sim::DdcHelper::Strict ? "Strict" : "Tolerant"; }

MonitorConfig MonitorWith(std::vector<uint8_t> edid, MonitorFault fault = MonitorFault::None) {
    return MonitorConfig{true, std::move(edid), "test", fault};
}

// The driver's line callbacks, as it hands them to the DDC helper.
I2C_FNC_TABLE DriverLines() {
    I2C_FNC_TABLE lines{};
    lines.Size = sizeof(I2C_FNC_TABLE);
    lines.WriteClockLine = WriteClockLine;
    lines.WriteDataLine = WriteDataLine;
    lines.ReadClockLine = ReadClockLine;
    lines.ReadDataLine = ReadDataLine;
    lines.WaitVsync = WaitVsync;
    return lines;
}

// A register access on the bus, as the processor makes it.
constexpr bool Write = true;

uint32_t Register(Machine& machine, uint32_t offset, bool write = false, uint32_t value = 0) {
    return machine.GetBus().MemoryAccess(machine.PciOf(0).BarAddress(0) + offset, 32, write, value);
}

// --- Identification data of real monitors ---------------------------------------------------------

// Every adapter kind under both readings of the helper: a strict helper finds the bus idle when the
// driver has enabled the channel.
class RealMonitor : public testing::TestWithParam<std::tuple<sim::DdcHelper, uint16_t, const char*>> {};

TEST_P(RealMonitor, IsReadBackByteForByteThroughTheDriversLineCallbacks) {
    const auto& [helper, device, file] = GetParam();
    std::vector<uint8_t> edid = edidfiles::Read(file);
    ASSERT_TRUE(edid.size() == 128 || edid.size() == 256) << file;
    sim::MachineConfig config = WithMonitor(MonitorWith(edid), "rom=builtin", helper);
    config.adapters[0].deviceId = device;
    Machine machine(config);
    machine.Boot();

    ASSERT_EQ(machine.Children(0).size(), 1u);
    const sim::ChildDevice& child = machine.Children(0)[0];
    EXPECT_EQ(child.index, MonitorChildIndex);
    EXPECT_EQ(child.type, static_cast<uint32_t>(Monitor));
    EXPECT_EQ(child.uid, MonitorWithEdidId);
    EXPECT_EQ(std::vector<uint8_t>(child.descriptor.begin(), child.descriptor.begin() + 128),
              std::vector<uint8_t>(edid.begin(), edid.begin() + 128))
        << "the platform's helper reads the base block";

    // All of the monitor's memory, and on past its end, where a sequential read wraps.
    Register(machine, MonitorLines, Write, DdcEnable | ClockOut | DataOut);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(machine.Port().ReadDisplayData(0, DriverLines(), 0, static_cast<uint32_t>(edid.size()) + 16, &bytes));
    std::vector<uint8_t> expected = edid;
    expected.insert(expected.end(), edid.begin(), edid.begin() + 16);
    EXPECT_EQ(bytes, expected);
    EXPECT_TRUE(machine.DriverFaults().empty()) << machine.DriverFaults().front().message;
}

INSTANTIATE_TEST_SUITE_P(SharedEdids, RealMonitor,
                         testing::Combine(testing::ValuesIn(Helpers), testing::Values(uint16_t{3}, uint16_t{4}, uint16_t{5}),
                                          testing::ValuesIn(edidfiles::names)),
                         [](const auto& info) {
                             std::string name = std::get<2>(info.param);
                             return HelperName(std::get<0>(info.param)) + std::string("Device") +
                                    std::to_string(std::get<1>(info.param)) + name.substr(0, name.find('-'));
                         });

// --- The child's identifier, and the monitor line register around each read -----------------------

// Whether the platform's DDC helper is made to fail.
enum class HelperCall { Works, Fails };

struct ChildCase {
    const char* name;
    MonitorConfig monitor;
    const char* board;         // a secondary has no timing: WaitVsync reaches its bounds
    HelperCall helperCall;
    uint32_t strictUid, tolerantUid;   // under each reading of the helper
    int corruptedByte;         // where the served EDID differs from the built-in one, -1 none
};

void PrintTo(const ChildCase& value, std::ostream* out) { *out << value.name; }

class MonitorChild : public testing::TestWithParam<ChildCase> {};

// Whatever the line register held before (both outputs low included), the channel is enabled with
// the bus idle and the register is put back afterwards.
TEST_P(MonitorChild, IsReportedWithItsIdentifierAndTheLineRegisterIsRestored) {
    const ChildCase& c = GetParam();
    for (sim::DdcHelper helper : Helpers) {
        SCOPED_TRACE(HelperName(helper));
        Machine machine(WithMonitor(c.monitor, c.board, helper));
        if (c.helperCall == HelperCall::Fails) machine.InjectFault(sim::InjectedFault{sim::PlatformCall::DDCMonitorHelper, 0, 0, 0});
        machine.Boot();
        ASSERT_TRUE(machine.Adapter(0).started);
        std::vector<uint8_t> builtin = sim::BuiltinEdid();
        const uint32_t uid = helper == sim::DdcHelper::Strict ? c.strictUid : c.tolerantUid;

        for (uint32_t before : {0x0u, DdcEnable, 0x001A5A5Au, DdcEnable | ClockOut | DataOut | 0x3FFFFu}) {
            Register(machine, MonitorLines, Write, before);
            machine.EnumerateChildren(0);
            EXPECT_EQ(machine.ChipOf(0).Peek(MonitorLines), before) << "channel enable and line outputs are put back";
            ASSERT_EQ(machine.Children(0).size(), 1u);
            const sim::ChildDevice& child = machine.Children(0)[0];
            EXPECT_EQ(child.type, static_cast<uint32_t>(Monitor));
            EXPECT_EQ(child.uid, uid) << std::hex << before;
            if (uid != MonitorWithEdidId) continue;
            for (size_t i = 0; i < builtin.size(); ++i) {
                uint8_t expected = static_cast<uint8_t>(builtin[i] + (static_cast<int>(i) == c.corruptedByte ? 1 : 0));
                ASSERT_EQ(child.descriptor[i], expected) << "byte " << i;
            }
        }
        EXPECT_TRUE(machine.DriverFaults().empty()) << machine.DriverFaults().front().message;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Monitors, MonitorChild,
    testing::Values(
        ChildCase{"Answering", MonitorWith({}), "rom=builtin", HelperCall::Works, MonitorWithEdidId,
                  MonitorWithEdidId, -1},
        ChildCase{"AnsweringWithTheSyncStopped", MonitorWith({}), "rom=builtin,secondary", HelperCall::Works,
                  MonitorWithEdidId, MonitorWithEdidId, -1},
        ChildCase{"WrongChecksumStillHasTheHeader", MonitorWith({}, MonitorFault::BadChecksum), "rom=builtin",
                  HelperCall::Works, MonitorWithEdidId, MonitorWithEdidId, 127},
        ChildCase{"NoMonitor", MonitorConfig{false, {}, "none", MonitorFault::None}, "rom=builtin", HelperCall::Works,
                  MonitorWithoutEdidId, MonitorWithoutEdidId, -1},
        ChildCase{"NotAnswering", MonitorWith({}, MonitorFault::NoAnswer), "rom=builtin", HelperCall::Works,
                  MonitorWithoutEdidId, MonitorWithoutEdidId, -1},
        ChildCase{"DataLineHeldLow", MonitorWith({}, MonitorFault::DataLineLow), "rom=builtin", HelperCall::Works,
                  MonitorWithoutEdidId, MonitorWithoutEdidId, -1},
        ChildCase{"HelperFails", MonitorWith({}), "rom=builtin", HelperCall::Fails, MonitorWithoutEdidId,
                  MonitorWithoutEdidId, -1},
        // Both helpers give up on a clock that never rises. A clock stretched after every byte is
        // waited for by the tolerant helper only, which only a driver reading the wire (not its own
        // output) lets it see; the strict one gives up at once.
        ChildCase{"ClockLineHeldLow", MonitorWith({}, MonitorFault::ClockLineLow), "rom=builtin", HelperCall::Works,
                  MonitorWithoutEdidId, MonitorWithoutEdidId, -1},
        ChildCase{"ClockStretchedAfterEveryByte", MonitorWith({}, MonitorFault::StretchesClock), "rom=builtin",
                  HelperCall::Works, MonitorWithoutEdidId, MonitorWithEdidId, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MonitorChild, OnlyIndexOneIsAChildAndOtherIndicesTouchNothing) {
    Machine machine;
    machine.Boot();
    for (ULONG index : {0u, 2u, 0xFFFFFFFFu}) {
        machine.ClearTrace();
        VIDEO_CHILD_ENUM_INFO info{sizeof(VIDEO_CHILD_ENUM_INFO), 256, index, 0, {}};
        VIDEO_CHILD_TYPE type = VideoChip;   // never what the driver reports
        ULONG uid = 0x5A5A5A5A;
        std::vector<UCHAR> descriptor(256, 0xEE);
        EXPECT_EQ(HwGetVideoChildDescriptor(machine.Extension(0), &info, &type, descriptor.data(), &uid, nullptr),
                  static_cast<VP_STATUS>(ERROR_NO_MORE_DEVICES));
        EXPECT_EQ(type, VideoChip);
        EXPECT_EQ(uid, 0x5A5A5A5Au);
        EXPECT_EQ(descriptor, std::vector<UCHAR>(256, 0xEE));
        EXPECT_TRUE(machine.Trace().empty()) << "index " << index;
    }
}

// The platform enumerates children again whenever it is asked, in whatever mode the adapter is in:
// the monitor is read, and the picture stays as it was.
TEST(MonitorChild, IsEnumeratedAgainInAnyModeWithoutTouchingThePicture) {
    for (const char* mode : {"640x480x8@60", "800x600x16@75", "1024x768x16@85"}) {
        SCOPED_TRACE(mode);
        Machine machine;
        machine.Boot();
        sim::ModeSetResult set = sim::SetMode(machine, 0, sim::ParseModeRequest(mode));
        ASSERT_TRUE(set.offered);
        ASSERT_EQ(set.status, 0u);
        sim::FrameBufferMapping mapping = sim::MapFrameBuffer(machine, 0);
        std::string error;
        ASSERT_TRUE(sim::DrawThroughMapping(machine, 1, mapping, set.mode, &error, nullptr)) << error;
        sim::Image before = sim::RenderScreen(machine.ChipOf(0), machine.VideoMemory(0));
        machine.EnumerateChildren(0);
        EXPECT_EQ(machine.MonitorId(0), MonitorWithEdidId);
        EXPECT_EQ(machine.Children(0)[0].descriptor[8], sim::BuiltinEdid()[8]);
        EXPECT_EQ(sim::RenderScreen(machine.ChipOf(0), machine.VideoMemory(0)).pixels, before.pixels);
        EXPECT_TRUE(machine.DriverFaults().empty()) << machine.DriverFaults().front().message;
    }
}

// --- The transaction on the wires -------------------------------------------------------------------

// Decodes the wires as a bus analyser does: start and stop from the data line changing while the
// clock is high, a bit on every rising clock edge, nine bits to a byte with its acknowledge. The
// wires are sampled at every access to the line register; a data change in the same sample as a
// falling clock happened while the clock was low.
std::vector<std::string> AnalyseBus(const std::vector<sim::LineSample>& samples, int* glitches) {
    std::vector<std::string> tokens;
    bool inTransaction = false;
    unsigned bits = 0, value = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
        const sim::LineSample &before = samples[i - 1], &now = samples[i];
        bool clockChanged = before.clock != now.clock, dataChanged = before.data != now.data;
        if (clockChanged && dataChanged && now.clock) {
            ++*glitches;   // data moving as the clock rises: neither a bit nor a condition can be told
        } else if (dataChanged && now.clock && before.clock) {
            tokens.push_back(now.data ? "P" : "S");
            inTransaction = !now.data;
            bits = value = 0;
        } else if (clockChanged && now.clock && inTransaction) {
            value = value << 1 | (now.data ? 1 : 0);
            if (++bits == 9) {
                char token[16];
                std::snprintf(token, sizeof token, "%02X %s", value >> 1, (value & 1) ? "nack" : "ack");
                tokens.push_back(token);
                bits = value = 0;
            }
        }
    }
    return tokens;
}

struct OpeningCase {
    const char* name;
    sim::DdcHelper helper;
    std::vector<std::string> opening;   // the first accesses, repeats of one access counted once
};

void PrintTo(const OpeningCase& value, std::ostream* out) { *out << value.name; }

class DisplayDataChannel : public testing::TestWithParam<OpeningCase> {};

// The line register is saved and the channel enabled with both lines released (an output left at 0
// would pull its wire low); the tolerant helper then waits for vertical sync before it moves a line,
// the strict one reads both lines first.
TEST_P(DisplayDataChannel, OneEnumerationIsOneWellFormedReadOfTheBaseBlock) {
    const OpeningCase& c = GetParam();
    std::vector<uint8_t> edid = edidfiles::Read("sony-cpd-g400.bin");
    Machine machine(WithMonitor(MonitorWith(edid), "rom=builtin", c.helper));
    machine.Boot();
    Register(machine, MonitorLines, Write, 0);
    machine.MonitorOf(0).SetProbe(true);
    machine.ClearTrace();
    machine.EnumerateChildren(0);

    std::vector<std::string> opening;
    for (const sim::TraceEntry& entry : machine.Trace()) {
        std::string access = std::string(entry.write ? "W " : "R ") + std::string(entry.name);
        if (access == "W monitor_lines" && opening.size() == 1) {
            EXPECT_EQ(entry.value & (DdcEnable | ClockOut | DataOut), DdcEnable | ClockOut | DataOut)
                << "the channel is enabled with both lines released";
        }
        if (opening.empty() || opening.back() != access) opening.push_back(access);
        if (opening.size() == c.opening.size()) break;
    }
    EXPECT_EQ(opening, c.opening);
    const std::vector<sim::LineSample>& samples = machine.MonitorOf(0).Samples();
    ASSERT_GE(samples.size(), 2u);
    EXPECT_TRUE(samples[1].clock && samples[1].data) << "both wires are high once the channel is enabled";

    std::vector<std::string> expected = {"S", "A0 ack", "00 ack", "S", "A1 ack"};
    for (size_t i = 0; i < 128; ++i) {
        char token[16];
        std::snprintf(token, sizeof token, "%02X %s", edid[i], i + 1 < 128 ? "ack" : "nack");
        expected.push_back(token);
    }
    expected.push_back("P");
    int glitches = 0;
    EXPECT_EQ(AnalyseBus(samples, &glitches), expected);
    EXPECT_EQ(glitches, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Helpers, DisplayDataChannel,
    testing::Values(OpeningCase{"Strict", sim::DdcHelper::Strict,
                                {"R monitor_lines", "W monitor_lines", "R monitor_lines", "W monitor_lines"}},
                    OpeningCase{"Tolerant", sim::DdcHelper::Tolerant,
                                {"R monitor_lines", "W monitor_lines", "R misc_read", "R status", "R monitor_lines",
                                 "W monitor_lines"}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- How many times the platform's DDC helper tries, and what it waits for -------------------------

struct AttemptCase {
    const char* name;
    sim::DdcHelper helper;
    MonitorFault fault;
    uint32_t attempts;                  // the adapter's ddcattempts
    uint32_t uid, tries, waits;         // the enumeration after start: the identifier, the transactions
                                        // addressed on the wires and the waits for vertical sync
    uint32_t uidAgain, triesAgain, waitsAgain;   // the next enumeration
};

void PrintTo(const AttemptCase& value, std::ostream* out) { *out << value.name; }

class DdcHelperAttempts : public testing::TestWithParam<AttemptCase> {};

// A monitor that misses the first transaction after power-up is silent to a helper that tries once,
// and read by one that tries again. The tolerant helper starts every attempt with one wait for
// vertical sync (the driver's WaitVsync reads the sync polarity once per call); the strict one never
// waits, and leaves a bus that is not idle untouched.
TEST_P(DdcHelperAttempts, DecideWhetherAMonitorMissingItsFirstTransactionIsRead) {
    const AttemptCase& c = GetParam();
    sim::MachineConfig config = WithMonitor(MonitorWith({}, c.fault), "rom=builtin", c.helper);
    config.adapters[0].ddcAttempts = c.attempts;
    Machine machine(config);
    machine.MonitorOf(0).SetProbe(true);
    auto check = [&machine](uint32_t uid, uint32_t tries, uint32_t waits) {
        ASSERT_EQ(machine.Children(0).size(), 1u);
        const sim::ChildDevice& child = machine.Children(0)[0];
        EXPECT_EQ(child.uid, uid);
        std::vector<uint8_t> expected = uid == MonitorWithEdidId ? sim::BuiltinEdid() : std::vector<uint8_t>(128, 0);
        EXPECT_EQ(std::vector<uint8_t>(child.descriptor.begin(), child.descriptor.begin() + 128), expected);
        int glitches = 0;
        uint32_t addressed = 0;
        for (const std::string& token : AnalyseBus(machine.MonitorOf(0).Samples(), &glitches)) {
            addressed += token.rfind("A0 ", 0) == 0;
        }
        EXPECT_EQ(addressed, tries);
        uint32_t polarityReads = 0;
        for (const sim::TraceEntry& entry : machine.Trace()) polarityReads += !entry.write && entry.name == "misc_read";
        EXPECT_EQ(polarityReads, waits);
    };
    machine.Boot();
    check(c.uid, c.tries, c.waits);
    machine.ClearTrace();
    machine.MonitorOf(0).ClearSamples();
    machine.EnumerateChildren(0);
    check(c.uidAgain, c.triesAgain, c.waitsAgain);
    EXPECT_TRUE(machine.DriverFaults().empty()) << machine.DriverFaults().front().message;
}

constexpr auto Strict = sim::DdcHelper::Strict;
constexpr auto Tolerant = sim::DdcHelper::Tolerant;
constexpr auto FirstMiss = MonitorFault::MissesFirstTransaction, Answers = MonitorFault::None,
               Silent = MonitorFault::NoAnswer, Stretches = MonitorFault::StretchesClock, DataLow = MonitorFault::DataLineLow;
constexpr uint32_t Edid = MonitorWithEdidId, NoEdid = MonitorWithoutEdidId, Most = sim::MaxDdcAttempts;

INSTANTIATE_TEST_SUITE_P(
    Readings, DdcHelperAttempts,
    testing::Values(
        AttemptCase{"StrictFirstMissWithOneAttempt", Strict, FirstMiss, 1, NoEdid, 1, 0, Edid, 1, 0},
        AttemptCase{"StrictFirstMissWithTwoAttempts", Strict, FirstMiss, 2, Edid, 2, 0, Edid, 1, 0},
        AttemptCase{"StrictAnsweringWithTheMostAttempts", Strict, Answers, Most, Edid, 1, 0, Edid, 1, 0},
        AttemptCase{"StrictSilentWithTheMostAttempts", Strict, Silent, Most, NoEdid, Most, 0, NoEdid, Most, 0},
        // The first stretch ends the attempt; the next ones, and the next enumeration right after,
        // find the clock still held low.
        AttemptCase{"StrictStretchedWithTheMostAttempts", Strict, Stretches, Most, NoEdid, 1, 0, NoEdid, 0, 0},
        AttemptCase{"StrictDataHeldLowWithTwoAttempts", Strict, DataLow, 2, NoEdid, 0, 0, NoEdid, 0, 0},
        AttemptCase{"TolerantFirstMissWithOneAttempt", Tolerant, FirstMiss, 1, NoEdid, 1, 1, Edid, 1, 1},
        AttemptCase{"TolerantFirstMissWithTwoAttempts", Tolerant, FirstMiss, 2, Edid, 2, 2, Edid, 1, 1},
        AttemptCase{"TolerantFirstMissWithThreeAttempts", Tolerant, FirstMiss, 3, Edid, 2, 2, Edid, 1, 1},
        AttemptCase{"TolerantAnsweringWithOneAttempt", Tolerant, Answers, 1, Edid, 1, 1, Edid, 1, 1},
        AttemptCase{"TolerantSilentWithOneAttempt", Tolerant, Silent, 1, NoEdid, 1, 1, NoEdid, 1, 1},
        AttemptCase{"TolerantSilentWithTheMostAttempts", Tolerant, Silent, Most, NoEdid, Most, Most, NoEdid, Most, Most},
        AttemptCase{"TolerantStretchedWithOneAttempt", Tolerant, Stretches, 1, Edid, 1, 1, Edid, 1, 1},
        AttemptCase{"TolerantDataHeldLowWithTwoAttempts", Tolerant, DataLow, 2, NoEdid, 0, 2, NoEdid, 0, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Line callbacks ---------------------------------------------------------------------------------

struct LineCase {
    const char* name;
    MonitorFault fault;
    uint32_t before;        // the monitor line register, as written on the bus
    int callback;           // 0 WriteClockLine, 1 WriteDataLine, 2 ReadClockLine, 3 ReadDataLine
    UCHAR level;
    uint32_t after;         // the register afterwards (writers)
    BOOLEAN read;           // what a reader returns
};

void PrintTo(const LineCase& value, std::ostream* out) { *out << value.name; }

class LineCallback : public testing::TestWithParam<LineCase> {};

TEST_P(LineCallback, ChangesOnlyItsOutputBitAndReadsTheWire) {
    const LineCase& c = GetParam();
    Machine machine(WithMonitor(MonitorWith({}, c.fault)));
    machine.Boot();
    Register(machine, MonitorLines, Write, c.before);
    PVOID extension = machine.Extension(0);
    switch (c.callback) {
    case 0: WriteClockLine(extension, c.level); break;
    case 1: WriteDataLine(extension, c.level); break;
    case 2: EXPECT_EQ(ReadClockLine(extension), c.read); break;
    default: EXPECT_EQ(ReadDataLine(extension), c.read); break;
    }
    EXPECT_EQ(machine.ChipOf(0).Peek(MonitorLines), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Callbacks, LineCallback,
    testing::Values(
        LineCase{"DataHighKeepsEnableAndClock", MonitorFault::None, DdcEnable | 0x1234, 1, 1, DdcEnable | DataOut | 0x1234, 0},
        LineCase{"DataLowKeepsTheRest", MonitorFault::None, 0x1C5A5A, 1, 0, 0x0C5A5A, 0},
        LineCase{"ClockHighKeepsData", MonitorFault::None, DdcEnable, 0, 1, DdcEnable | ClockOut, 0},
        LineCase{"ClockLowKeepsData", MonitorFault::None, 0x1DFFFF, 0, 0, 0x15FFFF, 0},
        LineCase{"AnyNonZeroLevelDrivesOnlyItsOwnLine", MonitorFault::None, DdcEnable, 0, 2, DdcEnable | ClockOut, 0},
        LineCase{"HighLevelByteStaysInsideTheRegister", MonitorFault::None, 0, 1, 0xFF, DataOut, 0},
        LineCase{"ReleasedClockReadsHigh", MonitorFault::None, DdcEnable | ClockOut | DataOut, 2, 0,
                 DdcEnable | ClockOut | DataOut, TRUE},
        LineCase{"ClockDrivenLowReadsLow", MonitorFault::None, DdcEnable | DataOut, 2, 0, DdcEnable | DataOut, FALSE},
        LineCase{"DisabledChannelDrivesNothing", MonitorFault::None, 0, 3, 0, 0, TRUE},
        LineCase{"DisabledChannelLeavesTheClockHigh", MonitorFault::None, 0, 2, 0, 0, TRUE},
        LineCase{"MonitorHoldingDataLowWins", MonitorFault::DataLineLow, DdcEnable | ClockOut | DataOut, 3, 0,
                 DdcEnable | ClockOut | DataOut, FALSE},
        LineCase{"MonitorHoldingClockLowWins", MonitorFault::ClockLineLow, DdcEnable | ClockOut | DataOut, 2, 0,
                 DdcEnable | ClockOut | DataOut, FALSE}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Vertical sync ----------------------------------------------------------------------------------

struct SyncCase {
    const char* name;
    const char* mode;
    bool negative;         // the mode's vertical sync polarity
    bool enterInPulse;
};

void PrintTo(const SyncCase& value, std::ostream* out) { *out << value.name; }

class WaitForVsync : public testing::TestWithParam<SyncCase> {};

// Moves the machine's clock until the sync output is (or is not) inside a pulse.
void AdvanceUntil(Machine& machine, bool inPulse, bool negative) {
    for (int step = 0; step < 100000; ++step) {
        if ((machine.GetBus().VsyncLevel(0) != negative) == inPulse) return;
        machine.GetBus().AdvanceTime(1000);
    }
    FAIL() << "the sync never reached the wanted state";
}

TEST_P(WaitForVsync, ReturnsAtTheLeadingEdgeOfTheNextPulse) {
    const SyncCase& c = GetParam();
    Machine machine(WithMonitor(MonitorWith({}), "rom=none"));
    machine.Boot();
    ASSERT_EQ(sim::SetMode(machine, 0, sim::ParseModeRequest(c.mode)).status, 0u);
    ASSERT_EQ((machine.ChipOf(0).Vga().miscOutput & 0x80) != 0, c.negative);
    machine.GetBus().AdvanceTime(20'000'000);
    AdvanceUntil(machine, c.enterInPulse, c.negative);

    uint64_t pulsesBefore = machine.GetBus().VsyncPulses(0);
    WaitVsync(machine.Extension(0));
    EXPECT_EQ(machine.GetBus().VsyncPulses(0), pulsesBefore + 1) << "one new pulse began, not the one under way";
    EXPECT_NE(machine.GetBus().VsyncLevel(0), c.negative) << "it returned inside the new pulse";
}

INSTANTIATE_TEST_SUITE_P(
    Polarities, WaitForVsync,
    testing::Values(SyncCase{"NegativeInsideAPulse", "640x480x8@60", true, true},
                    SyncCase{"NegativeBetweenPulses", "640x480x8@60", true, false},
                    SyncCase{"PositiveInsideAPulse", "800x600x8@60", false, true},
                    SyncCase{"PositiveBetweenPulses", "800x600x8@60", false, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct StoppedCase {
    const char* name;
    const char* mode;          // null: no mode set (a secondary adapter has no timing at all)
    void (*stop)(sim::Chip&);
};

void PrintTo(const StoppedCase& value, std::ostream* out) { *out << value.name; }

class StoppedSync : public testing::TestWithParam<StoppedCase> {};

TEST_P(StoppedSync, WaitVsyncGivesUpAfterItsBound) {
    const StoppedCase& c = GetParam();
    Machine machine(WithMonitor(MonitorWith({}), c.mode == nullptr ? "rom=none,secondary" : "rom=none"));
    machine.Boot();
    if (c.mode) {
        ASSERT_EQ(sim::SetMode(machine, 0, sim::ParseModeRequest(c.mode)).status, 0u);
    }
    if (c.stop) c.stop(machine.ChipOf(0));
    uint64_t pulses = machine.GetBus().VsyncPulses(0);
    machine.ClearTrace();
    uint64_t start = machine.Now();

    WaitVsync(machine.Extension(0));
    size_t statusReads = 0;
    for (const sim::TraceEntry& entry : machine.Trace()) statusReads += entry.offset == Status && !entry.write;
    EXPECT_GE(statusReads, VsyncWaitPolls);
    EXPECT_LE(statusReads, VsyncWaitPolls + 1) << "one wait ran to its bound, and then it returned";
    EXPECT_EQ(machine.GetBus().VsyncPulses(0), pulses);
    // The machine's own clock: a couple of frames of the slowest timing (59.94 Hz), not more.
    const uint64_t slowestFrameNs = 16'683'000;
    EXPECT_GE(machine.Now() - start, slowestFrameNs);
    EXPECT_LE(machine.Now() - start, 3 * slowestFrameNs);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, StoppedSync,
    testing::Values(StoppedCase{"NoTiming", nullptr, nullptr},
                    StoppedCase{"VerticalSyncOffPositive", "800x600x8@60",
                                [](sim::Chip& chip) { chip.Poke(OutputControl, chip.Peek(OutputControl) | 0x2); }},
                    StoppedCase{"VerticalSyncOffNegative", "640x480x8@60",
                                [](sim::Chip& chip) { chip.Poke(OutputControl, chip.Peek(OutputControl) | 0x2); }},
                    StoppedCase{"CrtcStopped", "800x600x8@60", [](sim::Chip& chip) { chip.MutableVga().crtc[0x17] = 0; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VerticalSync, StatusBitPulsesAtTheProgrammedRefresh) {
    for (const char* mode : {"640x480x8@60", "1024x768x8@85", "800x600x8@120"}) {
        Machine machine(WithMonitor(MonitorWith({}), "rom=none"));
        machine.Boot();
        ASSERT_EQ(sim::SetMode(machine, 0, sim::ParseModeRequest(mode)).status, 0u);
        double refresh = sim::DecodeDisplay(machine.ChipOf(0), machine.VideoMemory(0).size()).timing.refreshHz;
        bool negative = machine.ChipOf(0).Vga().miscOutput & 0x80;
        machine.GetBus().TraceOf().Pause();
        // A tenth of a second of the status register, read every 5 us.
        unsigned edges = 0;
        bool wasInPulse = false;
        for (int i = 0; i < 20000; ++i) {
            bool inPulse = ((Register(machine, Status) & 0x40) != 0) != negative;
            edges += inPulse && !wasInPulse;
            wasInPulse = inPulse;
            machine.GetBus().AdvanceTime(5000);
        }
        EXPECT_NEAR(edges, refresh / 10, 1.0) << mode;
    }
}

}  // namespace
