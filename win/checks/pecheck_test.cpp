// The driver image checks, on zarn.sys and on copies of it with one defect each.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

#include "inf_file.h"
#include "pe_image.h"
#include "version_check.h"

namespace {

std::vector<uint8_t> DriverBytes() {
    std::ifstream file(ZARN_SYS, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The entry point as the link map beside the image names it.
pe::EntryExpectation EntryOfMap() {
    std::ifstream file(ZARN_MAP);
    std::string map((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    pe::EntryExpectation entry{"_DriverEntry@8"};
    entry.inMap = pe::FindMapSymbol(map, entry.symbol, &entry.address);
    return entry;
}

std::vector<std::string> FailedChecks(std::vector<uint8_t> bytes) {
    pe::Image image;
    std::string error;
    if (!pe::Parse(std::move(bytes), &image, &error)) return {"parse: " + error};
    std::vector<std::string> failed;
    for (const pe::CheckResult& result : pe::CheckDriver(image, EntryOfMap())) {
        if (!result.passed) failed.push_back(result.name);
    }
    return failed;
}

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t value) {
    b[at] = static_cast<uint8_t>(value);
    b[at + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Re-seals a changed image with a correct checksum, so that only the intended defect remains.
void Reseal(std::vector<uint8_t>& b) {
    pe::Image image;
    std::string error;
    ASSERT_TRUE(pe::Parse(b, &image, &error)) << error;
    Put32(b, image.checksumOffset, pe::ComputeChecksum(b, image.checksumOffset));
}

size_t CoffHeader(const std::vector<uint8_t>& b) { return (b[0x3C] | b[0x3D] << 8) + 4; }
size_t OptionalHeader(const std::vector<uint8_t>& b) { return CoffHeader(b) + 20; }

// The file offset of the first base relocation block.
size_t RelocationBlock(const std::vector<uint8_t>& b) {
    pe::Image image;
    std::string error;
    EXPECT_TRUE(pe::Parse(b, &image, &error)) << error;
    for (const pe::Section& section : image.sections) {
        uint32_t offset = image.relocationsRva - section.virtualAddress;
        if (image.relocationsRva >= section.virtualAddress && offset < section.rawSize) return section.rawOffset + offset;
    }
    ADD_FAILURE() << "no relocations in the file";
    return 0;
}

// The RVA of the first section that holds no code.
uint32_t DataSectionRva(const std::vector<uint8_t>& b) {
    pe::Image image;
    std::string error;
    EXPECT_TRUE(pe::Parse(b, &image, &error)) << error;
    for (const pe::Section& section : image.sections) {
        if (!(section.characteristics & pe::SectionExecute)) return section.virtualAddress;
    }
    ADD_FAILURE() << "no data section";
    return 0;
}

size_t Find(const std::vector<uint8_t>& b, const std::string& text) {
    auto it = std::search(b.begin(), b.end(), text.begin(), text.end());
    return it == b.end() ? std::string::npos : static_cast<size_t>(it - b.begin());
}

TEST(DriverImage, ZarnSysPassesEveryCheck) {
    std::vector<uint8_t> bytes = DriverBytes();
    ASSERT_FALSE(bytes.empty()) << "no driver image at " << ZARN_SYS;
    ASSERT_TRUE(EntryOfMap().inMap) << "the link map " << ZARN_MAP << " does not name the entry point";
    EXPECT_EQ(FailedChecks(bytes), std::vector<std::string>{});
}

TEST(LinkMap, SymbolLinesGiveTheAddressAndOtherLinesDoNot) {
    const std::string map =
        " .text          0x00011ae0       0xa0 driver_entry.cpp.obj\n"
        "                0x00011ae0                DriverEntry@8\n"
        "                0x00011600                HwFindAdapter(void*)@20\r\n"
        "                0x00012000                _Other@4 extra\n";
    uint32_t address = 0;
    EXPECT_TRUE(pe::FindMapSymbol(map, "_DriverEntry@8", &address));
    EXPECT_EQ(address, 0x11AE0u);
    EXPECT_FALSE(pe::FindMapSymbol(map, "_Other@4", &address)) << "a line with more than a name";
    EXPECT_FALSE(pe::FindMapSymbol(map, "_Missing@0", &address));
}

struct Defect {
    const char* description;
    std::function<void(std::vector<uint8_t>&)> apply;
    std::vector<std::string> failingChecks;
};

class DriverImageDefect : public testing::TestWithParam<Defect> {};

TEST_P(DriverImageDefect, IsReportedByItsCheck) {
    std::vector<uint8_t> bytes = DriverBytes();
    ASSERT_FALSE(bytes.empty());
    GetParam().apply(bytes);
    std::vector<std::string> failed = FailedChecks(bytes);
    EXPECT_EQ(failed, GetParam().failingChecks) << GetParam().description;
}

INSTANTIATE_TEST_SUITE_P(
    Defects, DriverImageDefect,
    testing::Values(
        Defect{"checksum off by one", [](std::vector<uint8_t>& b) { b[OptionalHeader(b) + 64] ^= 1; }, {"valid checksum"}},
        Defect{"console subsystem",
               [](std::vector<uint8_t>& b) {
                   Put16(b, OptionalHeader(b) + 68, 3);
                   Reseal(b);
               },
               {"subsystem native"}},
        Defect{"built for x86-64",
               [](std::vector<uint8_t>& b) {
                   Put16(b, CoffHeader(b), 0x8664);
                   Reseal(b);
               },
               {"machine i386"}},
        Defect{"imports from a C runtime",
               [](std::vector<uint8_t>& b) {
                   size_t at = Find(b, "videoprt.sys");
                   ASSERT_NE(at, std::string::npos);
                   std::memcpy(&b[at], "msvcrt.dll\0\0", 12);
                   Reseal(b);
               },
               {"imports only videoprt.sys, ntoskrnl.exe and hal.dll"}},
        Defect{"a constructor table",
               [](std::vector<uint8_t>& b) {
                   size_t at = Find(b, ".rdata");
                   ASSERT_NE(at, std::string::npos);
                   std::memcpy(&b[at], ".ctors", 6);
                   Reseal(b);
               },
               {"no constructor, exception or thread-local tables"}},
        Defect{"entry point moved",
               [](std::vector<uint8_t>& b) {
                   size_t at = OptionalHeader(b) + 16;
                   Put32(b, at, (b[at] | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24) + 16);
                   Reseal(b);
               },
               {"entry point _DriverEntry@8"}},
        Defect{"entry point in data",
               [](std::vector<uint8_t>& b) {
                   Put32(b, OptionalHeader(b) + 16, DataSectionRva(b));
                   Reseal(b);
               },
               {"entry point in an executable section", "entry point _DriverEntry@8"}},
        Defect{"a relocation block longer than the directory",
               [](std::vector<uint8_t>& b) {
                   pe::Image image;
                   std::string error;
                   ASSERT_TRUE(pe::Parse(b, &image, &error)) << error;
                   Put32(b, RelocationBlock(b) + 4, image.relocationsSize + 2);
                   Reseal(b);
               },
               {"relocations"}},
        Defect{"a relocation past the end of the image",
               [](std::vector<uint8_t>& b) {
                   pe::Image image;
                   std::string error;
                   ASSERT_TRUE(pe::Parse(b, &image, &error)) << error;
                   Put32(b, RelocationBlock(b), image.sizeOfImage - 2);
                   Reseal(b);
               },
               {"relocations"}},
        Defect{"symbol table left in",
               [](std::vector<uint8_t>& b) {
                   Put32(b, CoffHeader(b) + 8, static_cast<uint32_t>(b.size()));
                   Put32(b, CoffHeader(b) + 12, 1);
                   b.resize(b.size() + 18 + 4);
                   Reseal(b);
               },
               {"stripped"}}),
    [](const testing::TestParamInfo<Defect>& info) {
        std::string name;
        for (const char* c = info.param.description; *c; ++c) {
            if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
        }
        return name;
    });

// The version resource read back against the INF: the build's pair agrees; a changed INF or image
// fails the check that names it.
struct VersionCase {
    const char* description;
    std::function<void(std::vector<uint8_t>& image, std::string& inf)> apply;
    std::vector<std::string> failingChecks;
};

void PrintTo(const VersionCase& row, std::ostream* out) { *out << row.description; }

class DriverVersion : public testing::TestWithParam<VersionCase> {};

TEST_P(DriverVersion, AgreesWithTheInfOrFailsItsCheck) {
    std::vector<uint8_t> bytes = DriverBytes();
    std::ifstream file(ZARN_INF, std::ios::binary);
    std::string infText((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(bytes.empty() || infText.empty());
    GetParam().apply(bytes, infText);
    pe::Image image;
    inf::File inf;
    std::string error, shown;
    ASSERT_TRUE(pe::Parse(bytes, &image, &error)) << error;
    ASSERT_TRUE(inf::Parse(infText, &inf, &error)) << error;
    std::vector<std::string> failed;
    for (const pe::CheckResult& result : inf::CheckVersion(image, inf, &shown)) {
        if (!result.passed) failed.push_back(result.name);
    }
    EXPECT_EQ(failed, GetParam().failingChecks) << shown;
    if (failed.empty()) EXPECT_NE(shown.find("OriginalFilename: zarn.sys"), std::string::npos) << shown;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) text.replace(at, from.size(), to);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, DriverVersion,
    testing::Values(
        VersionCase{"as built", [](std::vector<uint8_t>&, std::string&) {}, {}},
        VersionCase{"another DriverVer",
                    [](std::vector<uint8_t>&, std::string& inf) {
                        size_t at = inf.find("DriverVer");
                        size_t comma = inf.find(',', at);
                        inf.insert(inf.find_first_of("\r\n", comma), ".1");
                    },
                    {"version agrees with the INF"}},
        VersionCase{"no DriverVer", [](std::vector<uint8_t>&, std::string& inf) { ReplaceAll(inf, "DriverVer", "DriverXyz"); },
                    {"version agrees with the INF"}},
        VersionCase{"another FileVersion text",
                    [](std::vector<uint8_t>& b, std::string&) {
                        // The UTF-16 value after the key "FileVersion": its first digit becomes 9.
                        std::string key;
                        for (char c : std::string("FileVersion")) key += std::string(1, c) + '\0';
                        size_t at = Find(b, key);
                        ASSERT_NE(at, std::string::npos);
                        size_t value = at + key.size();
                        while (b[value] < '0' || b[value] > '9') ++value;
                        b[value] = '9';
                    },
                    {"version agrees with the INF"}},
        VersionCase{"no resource directory",
                    [](std::vector<uint8_t>& b, std::string&) {
                        Put32(b, OptionalHeader(b) + 96 + 2 * 8, 0);
                        Put32(b, OptionalHeader(b) + 96 + 2 * 8 + 4, 0);
                    },
                    {"version resource"}}),
    [](const testing::TestParamInfo<VersionCase>& info) {
        std::string name;
        for (const char* c = info.param.description; *c; ++c) {
            if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
        }
        return name;
    });

// The release image keeps none of the checked build's messages: no import of the print routine and
// none of their text; the checked image has both. Both log a refused adapter.
TEST(DriverImage, OnlyTheCheckedBuildCarriesMessages) {
    std::ifstream checkedFile(ZARN_CHECKED_SYS, std::ios::binary);
    std::vector<uint8_t> checked((std::istreambuf_iterator<char>(checkedFile)), std::istreambuf_iterator<char>());
    std::vector<uint8_t> release = DriverBytes();
    ASSERT_FALSE(checked.empty() || release.empty());
    for (auto [bytes, isChecked] : {std::pair{&release, false}, std::pair{&checked, true}}) {
        SCOPED_TRACE(isChecked ? "zarn-checked.sys" : "zarn.sys");
        pe::Image image;
        std::string error;
        ASSERT_TRUE(pe::Parse(*bytes, &image, &error)) << error;
        std::set<std::string> imported;
        for (const pe::Import& import : image.imports) imported.insert(import.name);
        EXPECT_EQ(imported.count("VideoPortDebugPrint"), isChecked ? 1u : 0u);
        EXPECT_EQ(imported.count("VideoPortLogError"), 1u);
        EXPECT_EQ(Find(*bytes, "zarn: ") != std::string::npos, isChecked);
        EXPECT_EQ(Find(*bytes, "is not one the driver serves") != std::string::npos, isChecked);
        pe::VersionInfo version;
        ASSERT_TRUE(pe::ReadVersion(image, &version, &error)) << error;
        EXPECT_EQ(version.fileFlags & 1, isChecked ? 1u : 0u) << "VS_FF_DEBUG";
    }
}

}  // namespace
