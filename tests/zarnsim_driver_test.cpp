// zarnsim --driver: every command run against the shipped zarn.sys gives what it gives with the host
// build, the report and the screenshot's picture included; a file that is no driver image is
// refused with a clear error.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "cli_runner.h"

namespace {

using clirunner::Outcome;
using clirunner::ReadFile;
using clirunner::RunZarnsim;
using clirunner::TempPath;

bool ZarnSysBuilt() { return static_cast<bool>(std::ifstream(ZARN_SYS)); }

std::string Binary(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

struct CommandCase {
    const char* description;
    std::string arguments;   // SHOT stands for the screenshot's path
    std::string input;
};

void PrintTo(const CommandCase& row, std::ostream* out) { *out << row.description; }

std::string WithShot(std::string arguments, const std::string& shot) {
    size_t at = arguments.find("SHOT");
    if (at != std::string::npos) arguments.replace(at, 4, "'" + shot + "'");
    return arguments;
}

// The run report without its first line, which names the build that ran.
std::string WithoutBuildLine(const std::string& out) {
    if (out.rfind("Driver: ", 0) != 0) return out;
    return out.substr(out.find('\n') + 1);
}

class DriverOption : public testing::TestWithParam<CommandCase> {};

// Under the sanitizers (an unoptimized zarnsim) the commands that mostly draw and set modes are
// left to the normal build.
std::vector<CommandCase> Commands() {
    std::vector<CommandCase> commands = {
        {"RunAModeWithAScreenshot", "run --mode 1024x768x16@85 --screenshot SHOT", ""},
        {"Timings", "--adapter device=4,memory=8 timings", ""},
        {"Monitor", "monitor", ""},
        {"ScriptWithFaults", "--fault MapMemory@2 --check-aliasing script -",
         "process 2\nrequest IOCTL_VIDEO_MAP_APERTURES in=ffffffff out=24\nviews\n"
         "request IOCTL_VIDEO_MAP_APERTURES in=ffffffff out=24\npower monitor off\n"},
    };
#if !defined(ZARN_SANITIZED)
    commands.push_back({"RunAPaletteModeOnASecondary",
                        "--adapter device=5 --adapter device=3,memory=4,secondary run --mode 640x480x8@60 "
                        "--display 1 --screenshot SHOT",
                        ""});
    commands.push_back({"ModesAsJson", "--adapter rom=none modes --json", ""});
#endif
    return commands;
}

TEST_P(DriverOption, GivesWhatTheHostBuildGives) {
    if (!ZarnSysBuilt()) GTEST_SKIP() << "zarn.sys was not built";
    const std::string hostShot = TempPath("host.png"), imageShot = TempPath("image.png");
    Outcome host = RunZarnsim(WithShot(GetParam().arguments, hostShot), GetParam().input);
    Outcome image =
        RunZarnsim("--driver '" + std::string(ZARN_SYS) + "' " + WithShot(GetParam().arguments, imageShot), GetParam().input);
    ASSERT_EQ(host.exitCode, 0) << host.err;
    EXPECT_EQ(image.exitCode, host.exitCode) << image.err;
    EXPECT_EQ(image.err, host.err);
    if (GetParam().arguments.find("SHOT") != std::string::npos) {
        // The report names the build that ran and its screenshot file; everything else is the same.
        std::string hostOut = WithoutBuildLine(host.out), imageOut = WithoutBuildLine(image.out);
        hostOut.replace(hostOut.find(hostShot), hostShot.size(), "SHOT");
        imageOut.replace(imageOut.find(imageShot), imageShot.size(), "SHOT");
        EXPECT_EQ(imageOut, hostOut);
        std::string picture = Binary(hostShot);
        EXPECT_GT(picture.size(), 1000u);
        EXPECT_EQ(Binary(imageShot), picture) << "the same picture, byte for byte";
    } else {
        EXPECT_EQ(image.out, host.out);
    }
    std::remove(hostShot.c_str());
    std::remove(imageShot.c_str());
}

INSTANTIATE_TEST_SUITE_P(Commands, DriverOption, testing::ValuesIn(Commands()),
                         [](const testing::TestParamInfo<CommandCase>& info) { return info.param.description; });

struct RefusedCase {
    const char* description;
    std::string file;
    const char* message;
};

void PrintTo(const RefusedCase& row, std::ostream* out) { *out << row.description; }

class DriverOptionRefuses : public testing::TestWithParam<RefusedCase> {};

TEST_P(DriverOptionRefuses, WhatIsNoDriverImage) {
    Outcome run = RunZarnsim("--driver '" + GetParam().file + "' run");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Files, DriverOptionRefuses,
    testing::Values(RefusedCase{"MissingFile", "/nonexistent/zarn.sys", "cannot read the driver image"},
                    RefusedCase{"TextFile", std::string(ZARN_SOURCE_DIR) + "/README.md", "cannot be loaded"}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return info.param.description; });

// The code section of a PE image: its file offset and the bytes of code it holds there.
std::pair<uint32_t, uint32_t> CodeBytes(const std::string& image) {
    auto at = [&](size_t offset, int bytes) {
        uint32_t value = 0;
        for (int i = 0; i < bytes; ++i) value |= uint32_t{static_cast<uint8_t>(image[offset + i])} << (8 * i);
        return value;
    };
    const uint32_t header = at(0x3C, 4), sections = at(header + 6, 2), optional = at(header + 20, 2);
    for (uint32_t i = 0; i < sections; ++i) {
        const uint32_t section = header + 24 + optional + 40 * i;
        if (at(section + 36, 4) & 0x20) return {at(section + 20, 4), std::min(at(section + 8, 4), at(section + 16, 4))};
    }
    return {0, 0};
}

// One-byte changes of zarn.sys's code, as a damaged or hostile image holds them: whatever the image
// then does, a run ends with a status a run documents (0, 1 an adapter did not start, 3 a fault of
// the driver), never a crash, another status or a hang past the instruction budget. The suite runs
// a sample; ZARN_FLIPS=1000 runs the full check (each change drawn from a fixed seed).
TEST(DamagedImage, EveryRunEndsWithADocumentedStatus) {
    if (!ZarnSysBuilt()) GTEST_SKIP() << "zarn.sys was not built";
#if defined(ZARN_SANITIZED)
    int count = 4;
#else
    int count = 16;
#endif
    if (const char* asked = std::getenv("ZARN_FLIPS")) count = std::atoi(asked);
    const std::string image = Binary(ZARN_SYS);
    const auto [code, length] = CodeBytes(image);
    ASSERT_GT(length, 0u) << "no code section";
    std::mt19937 random(27);
    std::map<int, int> statuses;
    const std::string changed = TempPath("changed.sys"), err = TempPath("changed.err");
    for (int i = 0; i < count; ++i) {
        const uint32_t offset = code + random() % length;
        const uint8_t mask = static_cast<uint8_t>(1 + random() % 255);
        std::string bytes = image;
        bytes[offset] = static_cast<char>(bytes[offset] ^ mask);
        std::ofstream(changed, std::ios::binary) << bytes;
        // The kill after ten minutes only keeps a hang from holding the suite; no run comes near it.
        const std::string command = "timeout -s KILL 600 '" + std::string(ZARNSIM) + "' --driver '" + changed +
                                    "' run >/dev/null 2>'" + err + "'";
        const int raw = std::system(command.c_str());
        const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        ++statuses[status];
        if (status != 0 && status != 1 && status != 3) {
            ADD_FAILURE() << "byte 0x" << std::hex << offset << " xor 0x" << int{mask} << std::dec << ": status " << status
                          << "\n" << ReadFile(err);
        }
    }
    std::string tally;
    for (const auto& [status, runs] : statuses) tally += " status " + std::to_string(status) + ": " + std::to_string(runs);
    RecordProperty("statuses", tally);
    std::printf("%d one-byte changes of zarn.sys's code:%s\n", count, tally.c_str());
    std::remove(changed.c_str());
    std::remove(err.c_str());
}

}  // namespace
