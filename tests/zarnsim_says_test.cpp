// What zarnsim says about its own run: which build of the driver ran, a warning when --debug-level
// meets a build without messages, the subsystem ID in JSON, why a mode is not offered, the names it
// knows for a control code it does not, and the checked build's message for a refused VESA mode.
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli_runner.h"
#include "pe_image.h"

namespace {

using clirunner::Count;
using clirunner::JsonOf;
using clirunner::Outcome;
using clirunner::RunZarnsim;

// The driver image of this name beside zarn.sys, or "" when it was not built.
std::string ImagePath(const std::string& name) {
    const std::string release = ZARN_SYS;
    const size_t at = release.rfind("zarn.sys");
    if (release.empty() || at == std::string::npos) return "";
    const std::string path = release.substr(0, at) + name;
    return std::ifstream(path) ? path : "";
}

// The file version of the image's version resource, read as the test reads it.
std::string VersionOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    pe::Image image;
    pe::VersionInfo version;
    std::string error;
    if (!pe::Parse(bytes, &image, &error) || !pe::ReadVersion(image, &version, &error)) return "";
    return version.fileVersion;
}

enum class Warning { None, DebugLevelShowsNothing };

struct BuildCase {
    const char* name;
    const char* image;          // "" for the host build
    const char* options;
    std::string reportLine;     // after "Driver: "; {version} stands for the image's version
    const char* jsonBuild;      // "host" or "image"
    Warning warning;
};

void PrintTo(const BuildCase& row, std::ostream* out) { *out << row.name; }

class WhichBuild : public testing::TestWithParam<BuildCase> {};

TEST_P(WhichBuild, TheReportNamesItAndDebugLevelWarnsWhenItHasNoMessages) {
    const BuildCase& row = GetParam();
    std::string driver, version;
    if (*row.image) {
        const std::string path = ImagePath(row.image);
        if (path.empty()) GTEST_SKIP() << row.image << " was not built";
        version = VersionOf(path);
        ASSERT_FALSE(version.empty()) << "the image carries no version resource";
        driver = "--driver '" + path + "' ";
    }
    std::string line = row.reportLine;
    if (line.find("{version}") != std::string::npos) line.replace(line.find("{version}"), 9, version);

    Outcome text = RunZarnsim(driver + row.options + " run");
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out.rfind("Driver: " + line + "\n", 0), 0u) << text.out.substr(0, 200);
    EXPECT_EQ(Count(text.err, "zarnsim: warning: --debug-level"), row.warning == Warning::DebugLevelShowsNothing ? 1u : 0u) << text.err;

    Outcome json = RunZarnsim(driver + row.options + " --json run");
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const clirunner::Json report = JsonOf(json.out);
    EXPECT_EQ(report["driver"]["build"], row.jsonBuild);
    if (*row.image) {
        EXPECT_EQ(report["driver"]["file"], row.image);
        EXPECT_EQ(report["driver"]["version"], version);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Builds, WhichBuild,
    testing::Values(
        BuildCase{"HostQuiet", "", "", "host build linked into zarnsim (release, no messages)", "host",
                  Warning::None},
        BuildCase{"HostWithDebugLevel", "", "--debug-level 3", "host build linked into zarnsim (release, no messages)",
                  "host", Warning::DebugLevelShowsNothing},
        BuildCase{"ReleaseImageWithDebugLevel", "zarn.sys", "--debug-level 0", "zarn.sys, version {version}, no messages",
                  "image", Warning::DebugLevelShowsNothing},
        BuildCase{"CheckedImageWithDebugLevel", "zarn-checked.sys", "--debug-level 0",
                  "zarn-checked.sys, version {version}, checked build", "image", Warning::None}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunJson, CarriesTheSubsystemIdTheTextShows) {
    for (const char* id : {"0x0001", "0xBEEF"}) {
        const std::string board = std::string("--adapter subsystem=") + id;
        Outcome text = RunZarnsim(board + " run");
        EXPECT_NE(text.out.find(std::string("subsystem 0x1A5D:") + id), std::string::npos) << text.out.substr(0, 300);
        Outcome json = RunZarnsim(board + " --json run");
        ASSERT_EQ(json.exitCode, 0) << json.err;
        EXPECT_EQ(JsonOf(json.out)["adapters"][0]["subsystemId"], std::stoul(id, nullptr, 16));
    }
}

struct DroppedCase {
    const char* name;
    const char* adapter;
    size_t dropped;              // entries of the active table not offered
    const char* reason;          // each one's reason contains this
};

void PrintTo(const DroppedCase& row, std::ostream* out) { *out << row.name; }

class ModesNotOffered : public testing::TestWithParam<DroppedCase> {};

TEST_P(ModesNotOffered, AreListedWithWhyValidationDroppedThem) {
    const DroppedCase& row = GetParam();
    Outcome text = RunZarnsim(std::string("--adapter ") + row.adapter + " timings");
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(Count(text.out, "not offered: "), row.dropped) << text.out;
    EXPECT_EQ(Count(text.out, row.reason), row.dropped) << text.out;

    Outcome json = RunZarnsim(std::string("--adapter ") + row.adapter + " --json timings");
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const clirunner::Json notOffered = JsonOf(json.out)["adapters"][0]["notOffered"];
    ASSERT_EQ(notOffered.size(), row.dropped);
    for (const clirunner::Json& entry : notOffered) {
        EXPECT_NE(entry["reason"].get<std::string>().find(row.reason), std::string::npos) << entry.dump();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, ModesNotOffered,
    testing::Values(DroppedCase{"EveryModeFitsSixteen", "rom=none,memory=16", 0, "video memory"},
                    DroppedCase{"FourMegabytes", "rom=none,memory=4", 158 - 132,
                                "KiB of video memory, the adapter has 4096 KiB"},
                    DroppedCase{"EightMegabytes", "rom=none,memory=8", 158 - 154,
                                "KiB of video memory, the adapter has 8192 KiB"},
                    DroppedCase{"VideoBiosPath", "rom=builtin,memory=16", 103,
                                "it has no VESA mode number, and this adapter sets its modes through the video BIOS"}),
    [](const auto& info) { return std::string(info.param.name); });

// Which names a refusal lists: the nearest ones, or every one when none is near.
enum class Listed { Nearest, Every };

struct CodeCase {
    const char* name;
    const char* code;
    const char* text;            // how the list in the refusal begins
    Listed listed;
};

void PrintTo(const CodeCase& row, std::ostream* out) { *out << row.name; }

class UnknownControlCode : public testing::TestWithParam<CodeCase> {};

TEST_P(UnknownControlCode, IsRefusedWithTheNearestKnownNames) {
    const CodeCase& row = GetParam();
    Outcome run = RunZarnsim("script -", std::string("request ") + row.code + "\n");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find(std::string("unknown control code '") + row.code + "' (" + row.text), std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("IOCTL_VIDEO_MAP_PHYSICAL_PAGES") != std::string::npos, row.listed == Listed::Every) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Names, UnknownControlCode,
    testing::Values(
        CodeCase{"OneLetterShort", "IOCTL_VIDEO_QUERY_AVAIL_MODE", "nearest: IOCTL_VIDEO_QUERY_AVAIL_MODES; or a number)",
                 Listed::Nearest},
        CodeCase{"LowerCase", "ioctl_video_reset_device", "nearest: IOCTL_VIDEO_RESET_DEVICE; or a number)",
                 Listed::Nearest},
        CodeCase{"TwoAtTheSameDistance", "IOCTL_VIDEO_XET_GAMMA_TABLE",
                 "nearest: IOCTL_VIDEO_SET_GAMMA_TABLE, IOCTL_VIDEO_GET_GAMMA_TABLE; or a number)", Listed::Nearest},
        CodeCase{"NothingNear", "FROBNICATE", "known: IOCTL_VIDEO_HANDLE_VIDEOPARAMETERS, ", Listed::Every}),
    [](const auto& info) { return std::string(info.param.name); });

// The checked build names each VESA mode number the video BIOS refused once.
TEST(CheckedBuildMessages, NameEachRefusedVesaModeOnce) {
    const std::string checked = ImagePath("zarn-checked.sys");
    if (checked.empty()) GTEST_SKIP() << "zarn-checked.sys was not built";
    struct {
        const char* mode;
        const char* message;
    } rows[] = {
        {"640x480x16@60", "the video BIOS refused VESA mode 0x111: programming 640x480 directly"},
        {"1024x768x24@60", "the video BIOS refused VESA mode 0x118: programming 1024x768 directly"},
    };
    for (const auto& row : rows) {
        Outcome run = RunZarnsim("--driver '" + checked + "' --adapter bios=refuse --debug-level 1 run --mode " + row.mode);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.err.find(row.message), std::string::npos) << row.mode << "\n" << run.err;
        EXPECT_EQ(run.err.find(" and 0x"), std::string::npos) << row.mode << "\n" << run.err;
    }
}

}  // namespace
