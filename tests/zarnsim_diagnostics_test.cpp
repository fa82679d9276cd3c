// What zarnsim shows of the driver's diagnostics: the checked build's messages on standard error
// with --debug-level, filtered by level, each naming its adapter; the event log entry of a refused
// adapter in the report of every build.
#include <string>

#include "cli_runner.h"

namespace {

using clirunner::Outcome;
using clirunner::RunZarnsim;

std::string CheckedSys() {
    std::string release = ZARN_SYS;
    size_t at = release.rfind("zarn.sys");
    if (release.empty() || at == std::string::npos) return "";
    std::string checked = release.substr(0, at) + "zarn-checked.sys";
    return std::ifstream(checked) ? checked : "";
}

struct DiagnosticsCase {
    const char* description;
    bool checked;             // run zarn-checked.sys, else the host build
    const char* options;
    std::vector<std::string> shown;      // on standard error
    std::vector<std::string> notShown;
};

void PrintTo(const DiagnosticsCase& row, std::ostream* out) { *out << row.description; }

class Diagnostics : public testing::TestWithParam<DiagnosticsCase> {};

TEST_P(Diagnostics, ShowTheMessagesOfTheLevelAskedForWithTheirAdapter) {
    const DiagnosticsCase& row = GetParam();
    std::string driver;
    if (row.checked) {
        driver = CheckedSys();
        if (driver.empty()) GTEST_SKIP() << "zarn-checked.sys was not built";
        driver = "--driver '" + driver + "' ";
    }
    Outcome outcome = RunZarnsim(driver + "--adapter device=5 --adapter device=9 " + row.options + " run");
    EXPECT_EQ(outcome.exitCode, 1) << outcome.err;
    EXPECT_NE(outcome.out.find("event log:       error 55 ERROR_DEV_NOT_EXIST, unique ID 0x5A524E05"), std::string::npos)
        << outcome.out;
    for (const std::string& text : row.shown) EXPECT_NE(outcome.err.find(text), std::string::npos) << text << "\n" << outcome.err;
    for (const std::string& text : row.notShown) EXPECT_EQ(outcome.err.find(text), std::string::npos) << text << "\n" << outcome.err;
}

const std::string Refused = "zarnsim: adapter 1: error: zarn: device ID 0x0009 is not one the driver serves";
const std::string Rom = "zarnsim: adapter 0: info: zarn: option ROM: version";

INSTANTIATE_TEST_SUITE_P(
    Levels, Diagnostics,
    testing::Values(DiagnosticsCase{"checked errors", true, "--debug-level 0", {Refused}, {Rom, "trace:"}},
                    DiagnosticsCase{"checked everything", true, "--debug-level 3",
                                    {Refused, Rom, "zarnsim: adapter 0: trace: zarn: settings: UseNonBIOSModeSet 0"}, {}},
                    DiagnosticsCase{"checked without a debugger", true, "", {}, {"zarn:"}},
                    DiagnosticsCase{"host release build", false, "--debug-level 3", {}, {"zarn:"}}),
    [](const testing::TestParamInfo<DiagnosticsCase>& info) {
        std::string name;
        for (const char* c = info.param.description; *c; ++c) {
            if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
        }
        return name;
    });

}  // namespace
