// zarnsim and memory mapping: the mode set draws through the display driver's mapping of the frame
// buffer, and a script works in processes that touch the memory they were given.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli_runner.h"
#include "clients/test_pattern.h"
#include "devices/board.h"
#include "support/png_writer.h"

namespace {

using clirunner::Count;
using clirunner::Outcome;
using clirunner::ReadFile;
using clirunner::RunZarnsim;
using clirunner::TempPath;

TEST(ModeCommand, DrawsThroughTheFrameBufferMappingAndReportsIt) {
    std::string png = TempPath("mapped.png"), trace = TempPath("mapped.trace");
    Outcome run = RunZarnsim("--adapter rom=none,memory=8 run --mode 640x480x32@60 --json --screenshot '" + png +
                             "' --trace '" + trace + "'");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.find("fault"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("\"videoRamLength\":16777216,\"frameBufferBase\":"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"frameBufferLength\":8388608,\"unmapStatus\":0}"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"mapping\":{\"status\":0,"), std::string::npos) << run.out;

    sim::Image image;
    std::string error;
    ASSERT_TRUE(sim::ReadPng(png, &image, &error)) << error;
    for (unsigned y : {0u, 100u, 479u}) {
        for (unsigned x : {0u, 320u, 639u}) EXPECT_EQ(image.At(x, y), sim::PatternValue(x, y, 640, 480, 32)) << x << "," << y;
    }
    // One access per line of the pattern, through the mapping into video memory.
    std::string accesses = ReadFile(trace);
    EXPECT_EQ(Count(accesses, " fb     0x"), 480u) << accesses.substr(accesses.find(" fb ") - 40, 200);
    EXPECT_NE(accesses.find("W 20480 fb     0x000a00 frame buffer"), std::string::npos);
    std::remove(png.c_str());
    std::remove(trace.c_str());

    Outcome text = RunZarnsim("--adapter rom=none run --mode 640x480x8@60");
    EXPECT_NE(text.out.find("pattern drawn through it, unmapped: status 0 NO_ERROR"), std::string::npos) << text.out;
}

TEST(ScriptCommands, ProcessesTouchTheMemoryTheyWereGiven) {
    const std::string script =
        "process 2\n"
        "request IOCTL_VIDEO_SHARE_VIDEO_MEMORY in=ffffffff000000000000010000000000 out=12\n"
        "write 0x01000000 ff0000ff\n"
        "fill 0x01000010 8 0xab\n"
        "read 0x01000000 24\n"
        "views\n"
        "process 3\n"
        "read 0x01000000 4\n"
        "end-process 2\n";
    Outcome run = RunZarnsim("--json script -", script);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("\"handle\":4104"), std::string::npos) << "0x1000 + 4 x 2";
    EXPECT_NE(run.out.find("\"output\":\"000000000000010000000001\""), std::string::npos) << run.out;
    // Bytes 4 to 15 were never written: they hold what the memory held at power-on.
    std::string untouched;
    for (size_t at = 4; at < 16; ++at) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", sim::VideoMemoryBytes::NoiseAt(at));
        untouched += hex;
    }
    EXPECT_NE(run.out.find("\"bytes\":\"ff0000ff" + untouched + "abababababababab\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"caching\":\"write-combined\",\"writable\":true,\"madeBy\":\"VideoPortMapMemory\""),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"process\":3,\"address\":16777216,\"length\":4,\"done\":false"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"viewsRemoved\":1"), std::string::npos) << run.out;
    EXPECT_EQ(Count(run.err, "process fault"), 1u) << run.err;
    EXPECT_EQ(Count(run.err, "driver fault"), 0u) << run.err;

    for (const char* bad : {"end-process 2\nprocess 2\n", "write 0x1000 abc\n", "read 0x1000\n", "fill 0 1 256\n",
                            "process 1000001\n", "end-process 0\n", "end-process 5\n", "process 5\nend-process 5\nend-process 5\n"}) {
        Outcome refused = RunZarnsim("script -", bad);
        EXPECT_EQ(refused.exitCode, 2) << bad;
        EXPECT_EQ(Count(refused.err, "\n"), 1u) << bad << refused.err;
    }
}

// A request's handle of 0 maps into the calling process: no system-space mapping is made, which a
// user program could not touch and which would outlive it. A kernel address stays out of a user
// program's reach whatever maps it; the display driver's process reaches the driver's own mappings.
TEST(ScriptCommands, UserProgramsReachNoKernelAddress) {
    const std::string script =
        "process 2\n"
        "request IOCTL_VIDEO_MAP_APERTURES in=00000000 out=24\n"
        "views\n"
        "read 0x01000000 4\n"
        "read 0x90000000 4\n"
        "end-process 2\n"
        "process 1\n"
        "views\n"
        "read 0x90000000 4\n";
    Outcome run = RunZarnsim("script -", script);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("views of process 2:\n  0x01000000"), std::string::npos) << run.out;
    EXPECT_EQ(Count(run.out, "system space: none"), 2u) << run.out;
    EXPECT_EQ(run.out.find("read 4 bytes at 0x01000000 in process 2: access violation"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("read 4 bytes at 0x90000000 in process 2: access violation (kernel space, from user mode)"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("read 4 bytes at 0x90000000 in process 1: "), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("in process 1: access violation"), std::string::npos) << run.out;
    EXPECT_EQ(Count(run.err, "process fault"), 1u) << run.err;
    EXPECT_EQ(Count(run.err, "driver fault"), 0u) << run.err;
}

// More processes than the kernel's pool holds objects for: those of ended processes are given again
// (unless the reading never does), and a run that uses the pool up has a status of its own, with
// the script line, not that of bad input.
TEST(ScriptCommands, ProcessObjectsAreReusedOrTheRunRunsOutWithAStatusOfItsOwn) {
    std::string running, ending;
    for (int process = 2; process < 6300; ++process) {
        running += "process " + std::to_string(process) + "\n";
        ending += "process " + std::to_string(process) + "\nend-process " + std::to_string(process) + "\n";
    }
    const struct {
        const char* options;
        const std::string& script;
        int exitCode;
    } cases[] = {
        {"", ending, 0},
        {"--process-reuse oldest ", ending, 0},
        {"--process-reuse never ", ending, 5},
        {"", running, 5},
        {"--process-reuse sometimes ", ending, 2},
    };
    for (const auto& c : cases) {
        Outcome run = RunZarnsim(std::string(c.options) + "script -", c.script);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.options << run.err;
        if (c.exitCode == 0) continue;
        EXPECT_EQ(Count(run.err, "\n"), 1u) << run.err;
        if (c.exitCode != 5) continue;
        EXPECT_NE(run.err.find("ran out of room: script line "), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("kernel address space is full"), std::string::npos) << run.err;
    }
}

TEST(FaultOption, MakesMappingRoutinesFail) {
    Outcome map = RunZarnsim("--json --fault MapMemory=8 script -",
                             "request IOCTL_VIDEO_MAP_APERTURES in=ffffffff out=24\n");
    EXPECT_NE(map.out.find("\"status\":8"), std::string::npos) << map.out;
    const std::string allocate = "request IOCTL_VIDEO_ALLOCATE_CONTIGUOUS in=00100000 out=4\n";
    Outcome refused = RunZarnsim("--json --fault MmAllocateContiguousMemory script -", allocate);
    EXPECT_NE(refused.out.find("\"status\":0,\"information\":4,\"output\":\"00000000\""), std::string::npos)
        << refused.out;
    Outcome granted = RunZarnsim("--json --fault ZwOpenSection=0xC0000022 script -", allocate);
    EXPECT_EQ(granted.out.find("\"output\":\"00000000\""), std::string::npos) << granted.out;
    EXPECT_TRUE(granted.err.empty()) << granted.err;
}

}  // namespace
