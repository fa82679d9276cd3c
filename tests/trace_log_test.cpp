// The trace of hardware accesses over a long run: bounded in memory when asked, streamed as the
// accesses happen, and untouched by the aliasing check's own run.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "cli_runner.h"
#include "machine/machine.h"
#include "support/trace.h"

namespace {

sim::TraceEntry EntryNumber(uint32_t n) { return sim::TraceEntry{0, true, sim::Window::Mmio, 32, 0x5C, n, "pipeline"}; }

TEST(TraceLog, KeepsTheLatestEntriesWithinItsBoundAndStreamsEveryOne) {
    struct {
        size_t keep;
        size_t atLeast;   // entries kept after 23 recorded, one pause among them
        size_t atMost;
    } cases[] = {{0, 0, 0}, {5, 5, 10}, {sim::TraceLog::KeepAll, 22, 22}};
    for (const auto& c : cases) {
        sim::TraceLog log;
        std::ostringstream stream;
        log.KeepLatest(c.keep);
        log.StreamTo(&stream);
        for (uint32_t n = 0; n < 23; ++n) {
            if (n != 7) {
                log.Record(EntryNumber(n));
                continue;
            }
            // Pauses nest: after two pauses and one resume, entry 7 is still not recorded.
            log.Pause();
            log.Pause();
            log.Resume();
            log.Record(EntryNumber(n));
            log.Resume();
        }
        const auto& kept = log.Entries();
        EXPECT_GE(kept.size(), c.atLeast) << c.keep;
        EXPECT_LE(kept.size(), c.atMost) << c.keep;
        for (size_t i = 0; i < kept.size(); ++i) {
            uint32_t back = static_cast<uint32_t>(kept.size() - 1 - i);   // entries from the end
            EXPECT_EQ(kept[i].value, 22u - back - (22u - back <= 7 ? 1 : 0)) << "the latest entries, in order";
        }

        std::string expected;
        for (uint32_t n = 0; n < 23; ++n) {
            if (n != 7) expected += sim::FormatTraceEntry(EntryNumber(n)) + "\n";
        }
        EXPECT_EQ(stream.str(), expected) << c.keep;
    }
}

// The check run of --check-aliasing adds nothing to the trace, and saving the machine's state for
// it copies no trace.
TEST(TraceLog, AliasingCheckLeavesTheTraceOfOneRun) {
    std::string traces[2];
    for (bool check : {false, true}) {
        sim::MachineConfig config;
        config.adapters[0].hasRom = false;
        config.checkAliasing = check;
        sim::Machine machine(config);
        machine.Boot();
        machine.ClearTrace();
        EXPECT_EQ(machine.Request(IOCTL_VIDEO_SET_CURRENT_MODE, {0, 0, 0, 0}, 0).status, 0u);
        for (const sim::TraceEntry& entry : machine.Trace()) traces[check] += sim::FormatTraceEntry(entry) + "\n";
    }
    EXPECT_FALSE(traces[0].empty());
    EXPECT_EQ(traces[1], traces[0]);
}

// `--trace` streams every access of a script, boot included, to the file; zarnsim keeps none in memory.
TEST(TraceOption, ScriptStreamsEveryAccessToTheFile) {
    std::string path = clirunner::TempPath("script.trace");
    clirunner::Outcome run = clirunner::RunZarnsim("--adapter rom=none script - --trace '" + path + "'", "mode 0\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::string trace = clirunner::ReadFile(path);
    std::string modeSet = clirunner::ReadFile(std::string(ZARN_SOURCE_DIR) + "/tests/golden/direct_mode_set_640x480x8_60.trace");
    ASSERT_FALSE(modeSet.empty());
    ASSERT_GT(trace.size(), modeSet.size());
    EXPECT_TRUE(trace.substr(trace.size() - modeSet.size()) == modeSet) << "the mode set's accesses end the file";
    EXPECT_EQ(trace.rfind("R 512 config", 0), 0u) << "the boot's accesses start it";
    std::remove(path.c_str());
}

}  // namespace
