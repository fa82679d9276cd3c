// The lists that other places take on trust: the served control codes (the dispatch's cases, and
// the places the fuzzers name them by), the platform routines (the modules a driver may import
// from, the names --fault takes and the documents list), and the injectable routines' places.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "dispatch/served_codes.h"
#include "image/platform_routines.h"
#include "pe_image.h"
#include "support/faults.h"

namespace {

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::set<std::string> Matches(const std::string& text, const std::regex& pattern) {
    std::set<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern); it != std::sregex_iterator(); ++it) {
        found.insert((*it)[1]);
    }
    return found;
}

// HwStartIO's switch is plain code: its cases are the list's codes, no more and no fewer.
TEST(ServedCodes, AreTheCasesOfTheDispatch) {
    const std::string source = ReadFile(std::string(ZARN_SOURCE_DIR) + "/driver/dispatch/start_io.cpp");
    ASSERT_FALSE(source.empty());
    std::set<std::string> listed;
    for (const ServedCode& served : ServedCodes) listed.insert(served.name);
    EXPECT_EQ(Matches(source, std::regex(R"(case\s+(\w+)\s*:)")), listed);
}

// The fuzzers name a code by its place in the list, and the user-mode drivers by its number: a
// code moved, dropped or renumbered changes stored fuzz inputs or breaks those drivers.
TEST(ServedCodes, KeepTheirPlacesAndNumbers) {
    const std::pair<const char*, uint32_t> kept[] = {
        {"IOCTL_VIDEO_HANDLE_VIDEOPARAMETERS", 0x230020},
        {"IOCTL_VIDEO_QUERY_AVAIL_MODES", 0x230400},
        {"IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES", 0x230404},
        {"IOCTL_VIDEO_QUERY_CURRENT_MODE", 0x230408},
        {"IOCTL_VIDEO_SET_CURRENT_MODE", 0x23040C},
        {"IOCTL_VIDEO_RESET_DEVICE", 0x230410},
        {"IOCTL_VIDEO_SET_POWER_MANAGEMENT", 0x23046C},
        {"IOCTL_VIDEO_GET_POWER_MANAGEMENT", 0x230470},
        {"IOCTL_VIDEO_QUERY_ADAPTER_ID", 0x233F60},
        {"IOCTL_VIDEO_QUERY_BIOS_VERSION", 0x233F70},
        {"IOCTL_VIDEO_MAP_VIDEO_MEMORY", 0x230458},
        {"IOCTL_VIDEO_UNMAP_VIDEO_MEMORY", 0x23045C},
        {"IOCTL_VIDEO_QUERY_PUBLIC_ACCESS_RANGES", 0x230460},
        {"IOCTL_VIDEO_FREE_PUBLIC_ACCESS_RANGES", 0x230464},
        {"IOCTL_VIDEO_SHARE_VIDEO_MEMORY", 0x230474},
        {"IOCTL_VIDEO_UNSHARE_VIDEO_MEMORY", 0x230478},
        {"IOCTL_VIDEO_MAP_APERTURES", 0x233F4C},
        {"IOCTL_VIDEO_UNMAP_APERTURES", 0x233F50},
        {"IOCTL_VIDEO_FIND_MAPPING", 0x233F6C},
        {"IOCTL_VIDEO_ALLOCATE_CONTIGUOUS", 0x233FF4},
        {"IOCTL_VIDEO_MAP_PHYSICAL_PAGES", 0x233FF8},
        {"IOCTL_VIDEO_SET_COLOR_REGISTERS", 0x23041C},
        {"IOCTL_VIDEO_SET_GAMMA_TABLE", 0x233F64},
        {"IOCTL_VIDEO_GET_GAMMA_TABLE", 0x233F68},
        {"IOCTL_VIDEO_READ_SETTING", 0x233F54},
        {"IOCTL_VIDEO_WRITE_SETTING", 0x233F58},
    };
    ASSERT_GE(std::size(ServedCodes), std::size(kept));
    for (size_t place = 0; place < std::size(kept); ++place) {
        EXPECT_STREQ(ServedCodes[place].name, kept[place].first) << "place " << place;
        EXPECT_EQ(ServedCodes[place].code, kept[place].second) << kept[place].first;
    }
}

// The fuzzers name a failing routine by its place among the injectable ones.
TEST(InjectableRoutines, KeepTheirPlaces) {
    const char* const kept[] = {
        "GetAccessRanges", "VerifyAccessRanges", "GetDeviceBase", "GetBusData", "SetBusData",
        "GetRegistryParameters", "SetRegistryParameters", "ScanRom", "Int10", "MapMemory", "UnmapMemory",
        "MmAllocateContiguousMemory", "ZwOpenSection", "ObReferenceObjectByHandle", "ZwMapViewOfSection",
        "AllocatePool", "ZwOpenKey", "ZwQueryValueKey", "ZwSetValueKey", "ZwCreateFile",
        "RtlAnsiStringToUnicodeString", "RtlUnicodeStringToAnsiString", "DDCMonitorHelper",
    };
    ASSERT_GE(static_cast<size_t>(sim::PlatformCall::Count), std::size(kept));
    for (size_t place = 0; place < std::size(kept); ++place) {
        EXPECT_STREQ(sim::PlatformCallName(static_cast<sim::PlatformCall>(place)), kept[place]) << "place " << place;
    }
}

// The PE check lets a driver import from exactly the modules the table's routines come from.
TEST(PlatformRoutines, ComeFromTheModulesADriverMayImport) {
    std::vector<std::string> tableModules;
    for (sim::image::Module module : sim::image::Modules) tableModules.emplace_back(sim::image::ModuleFile(module));
    EXPECT_EQ(tableModules, std::vector<std::string>(std::begin(pe::DriverImportModules), std::end(pe::DriverImportModules)));
    for (const sim::image::PlatformRoutine& row : sim::image::PlatformRoutineTable) {
        EXPECT_NE(std::find(std::begin(sim::image::Modules), std::end(sim::image::Modules), row.module),
                  std::end(sim::image::Modules))
            << row.name;
    }
}

// The --fault item of the documents (README, or the reference under docs/).
std::string FaultItem() {
    std::vector<std::filesystem::path> documents = {std::string(ZARN_SOURCE_DIR) + "/README.md"};
    const std::filesystem::path docs = std::string(ZARN_SOURCE_DIR) + "/docs";
    if (std::filesystem::is_directory(docs)) {
        for (const auto& entry : std::filesystem::directory_iterator(docs)) {
            if (entry.path().extension() == ".md") documents.push_back(entry.path());
        }
    }
    for (const std::filesystem::path& document : documents) {
        std::istringstream lines(ReadFile(document));
        std::string line, item;
        while (std::getline(lines, line)) {
            if (item.empty() && line.rfind("- `--fault ", 0) != 0) continue;
            if (!item.empty() && (line.empty() || line.rfind("- ", 0) == 0)) return item;
            item += line + "\n";
        }
        if (!item.empty()) return item;
    }
    return "";
}

// The documents name every fault name and no other, each routine named beside one is in the
// table, and the routines that take no status are those that fail in their own way.
TEST(PlatformRoutines, TheDocumentsNameEveryFaultName) {
    const std::string item = FaultItem();
    ASSERT_FALSE(item.empty()) << "no `--fault` item in README.md or docs/";
    std::set<std::string> faults, own;
    for (const sim::image::PlatformRoutine& row : sim::image::PlatformRoutineTable) {
        if (row.fault.empty()) continue;
        faults.emplace(row.fault);
        if (row.failure == sim::image::FailureAnswer::Own) own.emplace(row.fault);
    }
    const std::regex name("`([A-Z][A-Za-z0-9]*)`");
    std::set<std::string> named = Matches(item, name);
    std::set<std::string> missing;
    for (const std::string& fault : faults) {
        if (!named.count(fault)) missing.insert(fault);
    }
    EXPECT_TRUE(missing.empty()) << "not named: " << testing::PrintToString(missing);
    for (const std::string& word : named) {
        EXPECT_TRUE(faults.count(word) || sim::image::FindRoutine(word)) << word << " is no fault name nor routine";
    }
    const size_t takeNone = item.find("take none");
    ASSERT_NE(takeNone, std::string::npos);
    const size_t open = item.rfind('(', takeNone);
    ASSERT_NE(open, std::string::npos);
    EXPECT_EQ(Matches(item.substr(open, takeNone - open), name), own);
}

}  // namespace
