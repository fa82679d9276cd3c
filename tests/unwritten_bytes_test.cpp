// No byte the driver never wrote reaches a caller: what starts stale (pool, the system buffer past
// the input, the driver's stack, the child descriptor), how the check tells written bytes from
// stale ones, and the driver's replies under it on both builds.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "cli_runner.h"
#include "dispatch/control_codes.h"
#include "machine/machine.h"
#include "port/image_miniport.h"

#include "driver_faults.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool ZarnSysBuilt() { return static_cast<bool>(std::ifstream(ZARN_SYS)); }

// A watcher that stands for a processor reporting every store: the ledger is then exact.
struct NoStores : sim::WriteLedger::StoreWatcher {
    void Watch(uint32_t, uint32_t) override {}
    void Unwatch(uint32_t, uint32_t) override {}
};

struct CheckCase {
    const char* name;
    bool watched;                  // the ledger watches the block
    bool exact;                    // and sees every store
    std::vector<std::pair<uint32_t, uint8_t>> stores;   // bytes written without a mark (the driver's own stores)
    std::pair<uint32_t, uint32_t> marked;               // bytes a platform routine wrote: offset, count
    uint32_t from;                 // the first byte checked (the input's end)
    std::string expected;          // DescribeRuns of what is reported, "" for nothing
};

// 32 bytes of a fresh pool block, checked as a reply or a registry value would be.
TEST(UnwrittenBytes, TheCheckReportsBytesNobodyWroteAndNeverAWrittenOne) {
    const CheckCase cases[] = {
        {"an untouched block, all stale", false, false, {}, {0, 0}, 0, "32 bytes (offsets 0-31)"},
        {"bytes before the input's end are the caller's", false, false, {}, {0, 0}, 20, "12 bytes (offsets 20-31)"},
        {"a run shorter than a pattern can tell is left", false, false, {{7, 1}}, {0, 0}, 0, "24 bytes (offsets 8-31)"},
        {"seven stale bytes at the end are left", false, false, {{24, 0}}, {0, 0}, 0, "24 bytes (offsets 0-23)"},
        {"eight stale bytes are reported", false, false, {{23, 0}}, {0, 0}, 0, "31 bytes (offsets 0-22, 24-31)"},
        {"a platform routine's bytes count as written, whatever they hold", true, false, {}, {0, 32}, 0, ""},
        {"a routine's bytes within the pattern", true, false, {}, {8, 16}, 0, "16 bytes (offsets 0-7, 24-31)"},
        {"exact: a byte no store reached is reported alone", true, true, {}, {0, 31}, 0, "1 byte (offset 31)"},
        {"exact: a store of the stale word's byte is written", true, true, {}, {0, 32}, 0, ""},
        {"exact: an unwritten byte that does not look stale", true, true, {{5, 0x11}}, {6, 26}, 0, "6 bytes (offsets 0-5)"},
    };
    for (const CheckCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Machine machine;
        sim::Kernel& kernel = machine.GetKernel();
        const uint32_t address = kernel.Space().AllocateMemory(32, "checked block");
        kernel.FillStale(address, 32);
        auto* bytes = static_cast<uint8_t*>(machine.HostPointer(address));
        NoStores watcher;
        if (c.exact) kernel.Ledger().SetWatcher(&watcher);
        if (c.watched) kernel.Ledger().Track(address, bytes, 32);
        for (auto [offset, value] : c.stores) bytes[offset] = value;
        kernel.Ledger().MarkWrittenAt(bytes + c.marked.first, c.marked.second);
        std::vector<sim::Kernel::Run> runs = kernel.NeverWritten(c.watched ? address : 0, bytes, 32, c.from);
        EXPECT_EQ(runs.empty() ? "" : sim::Kernel::DescribeRuns(runs), c.expected);
        kernel.Ledger().Untrack(address);
        kernel.Ledger().SetWatcher(nullptr);
    }
}

// --- The driver under the check -----------------------------------------------------------------

constexpr uint32_t Reply = 1032;
const std::string DeviceKey = sim::Machine::DeviceKey(0);

// The name with its zero byte, as a 3D driver sends it: a name of four or more characters covers
// the reply's size field (bytes 4-7) of the same buffer.
Bytes NameRecord(const std::string& name) {
    Bytes record(std::max<size_t>(name.size() + 1, 8), 0);
    std::memcpy(record.data(), name.data(), name.size());
    return record;
}

struct Build {
    const char* name;
    bool image;
    bool aliasing;
};

const Build Builds[] = {{"host", false, false}, {"host, aliasing check", false, true},
                        {"zarn.sys", true, false}, {"zarn.sys, aliasing check", true, true}};

sim::MachineConfig ConfigFor(const Build& build) {
    sim::MachineConfig config;
    config.checkAliasing = build.aliasing;
    if (build.image) config.driverImage = ZARN_SYS;
    return config;
}

// A settings read answers the whole 1032-byte reply (type, size, data), and the data's room past the
// value holds zeros, not the pool's bytes. A value that holds the stale word is the caller's value.
TEST(UnwrittenBytes, ASettingsReadOfAShortValueAnswersNoPoolBytes) {
    const Bytes staleWords = {0xDE, 0xAD, 0xC0, 0xDE, 0xDE, 0xAD, 0xC0, 0xDE, 0xDE, 0xAD, 0xC0, 0xDE};
    const std::pair<const char*, Bytes> values[] = {
        {"three bytes", {1, 2, 3}},
        {"none", {}},
        {"the stale word three times", staleWords},
        {"the whole data room", Bytes(1024, 0x5A)},
    };
    for (const Build& build : Builds) {
        if (build.image && !ZarnSysBuilt()) continue;
        for (const auto& [what, value] : values) {
            SCOPED_TRACE(std::string(build.name) + ": " + what);
            sim::Machine machine(ConfigFor(build));
            machine.GetRegistry().SetValue(DeviceKey, "ZRShort", sim::regtype::Binary, value);
            ASSERT_EQ(machine.Boot(), 0u);
            sim::RequestResult result = machine.Request(IOCTL_VIDEO_READ_SETTING, NameRecord("ZRShort"), Reply);
            EXPECT_EQ(Faults(machine), "");
            ASSERT_EQ(result.status, 0u);
            EXPECT_EQ(result.information, Reply);
            ASSERT_EQ(result.output.size(), Reply);
            Bytes expected(Reply, 0);
            expected[0] = 3;   // REG_BINARY
            expected[4] = static_cast<uint8_t>(value.size());
            expected[5] = static_cast<uint8_t>(value.size() >> 8);
            std::copy(value.begin(), value.end(), expected.begin() + 8);
            EXPECT_EQ(result.output, expected);
        }
    }
}

// The same through zarnsim, as a person reproduces it: a 3-byte value read with out=1032 answers the
// whole reply, and nothing of it is the pool's.
TEST(UnwrittenBytes, ASettingsReadThroughZarnsimAnswersNoPoolBytes) {
    const std::string path = clirunner::TempPath("short.reg");
    std::ofstream(path) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0]\n"
                           "\"ZRShort\"=hex:01,02,03\n";
    const std::string expected = "information 1032, output 0300000003000000010203" + std::string(2 * 1021, '0') + "\n";
    for (const Build& build : Builds) {
        if (build.image && !ZarnSysBuilt()) continue;
        SCOPED_TRACE(build.name);
        std::string options = "--registry '" + path + "' ";
        if (build.image) options += std::string("--driver '") + ZARN_SYS + "' ";
        if (build.aliasing) options += "--check-aliasing ";
        clirunner::Outcome run =
            clirunner::RunZarnsim(options + "script -", "request IOCTL_VIDEO_READ_SETTING in=5a5253686f727400 out=1032\n");
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_NE(run.out.find(expected), std::string::npos) << run.out;
    }
    std::remove(path.c_str());
}

// What the caller did not supply starts stale: the image's stack on every entry into the driver, and
// the child descriptor the port hands the driver (a driver whose monitor read fails leaves it so;
// the port uses none of it then).
TEST(UnwrittenBytes, MemoryTheCallerDidNotSupplyStartsStale) {
    for (const Build& build : Builds) {
        if (build.aliasing || (build.image && !ZarnSysBuilt())) continue;
        SCOPED_TRACE(build.name);
        sim::Machine machine(ConfigFor(build));
        machine.InjectFault(sim::InjectedFault{sim::PlatformCall::DDCMonitorHelper, 0, 0});
        ASSERT_EQ(machine.Boot(), 0u);
        EXPECT_EQ(Faults(machine), "");
        ASSERT_FALSE(machine.Children(0).empty());
        const Bytes& descriptor = machine.Children(0)[0].descriptor;
        ASSERT_EQ(descriptor.size(), 256u);
        EXPECT_EQ(Bytes(descriptor.begin(), descriptor.begin() + 4), (Bytes{0xDE, 0xAD, 0xC0, 0xDE}))
            << "the descriptor the helper never filled";
        if (!build.image) continue;
        uint32_t bottom = 0;
        std::memcpy(&bottom, machine.HostPointer(sim::ImageMiniport::StackBase), 4);
        EXPECT_EQ(bottom, sim::Kernel::StaleDword) << "the stack below every frame the driver made";
    }
}

}  // namespace
