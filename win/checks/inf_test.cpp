// zarn.inf as the build ships it, read as setup reads it: every section it names exists, it
// installs exactly the adapters the driver serves, the file it copies is the one the build makes,
// its version is the version resource's, every %string% is defined, and the event log is pointed
// only at files that hold messages.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>

#include "adapter/discovery.h"
#include "inf_file.h"
#include "pe_image.h"

namespace {

std::string ReadText(const char* path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

inf::File ShippedInf() {
    inf::File file;
    std::string error;
    std::string text = ReadText(ZARN_INF);
    EXPECT_FALSE(text.empty()) << "no INF at " << ZARN_INF;
    EXPECT_TRUE(inf::Parse(text, &file, &error)) << error;
    return file;
}

pe::Image Driver(const char* path) {
    std::string bytes = ReadText(path);
    pe::Image image;
    std::string error;
    EXPECT_TRUE(pe::Parse(std::vector<uint8_t>(bytes.begin(), bytes.end()), &image, &error)) << path << ": " << error;
    return image;
}

std::string FileName(const std::string& path) { return path.substr(path.find_last_of("/\\") + 1); }

// The install sections the models name, with the sections setup adds to them for a display device.
std::vector<std::string> InstallSections(const inf::File& file) {
    std::vector<std::string> sections;
    for (const inf::Line& manufacturer : *file.Section("Manufacturer")) {
        for (const inf::Line& model : *file.Section(manufacturer.values.at(0))) sections.push_back(model.values.at(0));
    }
    return sections;
}

TEST(ZarnInf, NamesOnlySectionsItHas) {
    inf::File file = ShippedInf();
    std::vector<std::string> missing;
    auto need = [&](const std::string& name) {
        if (!file.Section(name)) missing.push_back(name);
    };
    for (const char* section : {"Version", "Manufacturer", "SourceDisksNames", "SourceDisksFiles", "DestinationDirs", "Strings"}) {
        need(section);
    }
    ASSERT_TRUE(missing.empty()) << missing.front();
    for (const inf::Line& manufacturer : *file.Section("Manufacturer")) need(manufacturer.values.at(0));
    // Directives whose values are section names (a CopyFiles value of @file names a file).
    const std::set<std::string> listing = {"copyfiles", "addreg", "delreg", "delfiles", "renfiles"};
    std::vector<std::string> install = InstallSections(file);
    ASSERT_FALSE(install.empty());
    for (const std::string& section : install) {
        need(section);
        need(section + ".Services");
        need(section + ".SoftwareSettings");
    }
    for (const auto& [name, lines] : file.sections) {
        for (const inf::Line& line : lines) {
            std::string key = inf::Lower(line.key);
            if (listing.count(key)) {
                for (const std::string& value : line.values) {
                    if (!value.empty() && value[0] != '@') need(value);
                }
            }
            if (key == "addservice") {
                need(line.values.at(2));
                if (line.values.size() > 3) need(line.values.at(3));
            }
            if (name == "destinationdirs" && key != "defaultdestdir") need(line.key);
        }
    }
    EXPECT_EQ(missing, std::vector<std::string>{});
}

TEST(ZarnInf, InstallsExactlyTheDevicesTheDriverServes) {
    std::set<std::string> served;
    for (uint32_t id = 0; id <= 0xFFFF; ++id) {
        if (!ServesDevice(static_cast<USHORT>(id))) continue;
        char hardwareId[40];
        std::snprintf(hardwareId, sizeof hardwareId, "PCI\\VEN_%04X&DEV_%04X", ZarnVendorId, id);
        served.insert(hardwareId);
    }
    ASSERT_FALSE(served.empty());
    inf::File file = ShippedInf();
    std::multiset<std::string> listed;
    for (const inf::Line& manufacturer : *file.Section("Manufacturer")) {
        for (const inf::Line& model : *file.Section(manufacturer.values.at(0))) {
            for (size_t i = 1; i < model.values.size(); ++i) listed.insert(model.values[i]);
        }
    }
    EXPECT_EQ(listed, std::multiset<std::string>(served.begin(), served.end()));
}

TEST(ZarnInf, CopiesAndStartsTheFileTheBuildMakes) {
    inf::File file = ShippedInf();
    const std::string shipped = FileName(ZARN_SYS);
    std::string service;
    for (const std::string& install : InstallSections(file)) {
        for (const inf::Line& line : *file.Section(install + ".Services")) {
            if (inf::Lower(line.key) == "addservice") service = line.values.at(2);
        }
    }
    const std::vector<std::string>* binary = file.Values(service, "ServiceBinary");
    ASSERT_NE(binary, nullptr) << "no ServiceBinary in [" << service << "]";
    EXPECT_EQ(FileName(file.Expand(binary->at(0))), shipped);
    const std::vector<std::string>* source = file.Values("SourceDisksFiles", shipped);
    EXPECT_NE(source, nullptr) << shipped << " is not on the disk";
    pe::VersionInfo version;
    std::string error;
    ASSERT_TRUE(pe::ReadVersion(Driver(ZARN_SYS), &version, &error)) << error;
    EXPECT_EQ(version.String("OriginalFilename"), shipped);
}

TEST(ZarnInf, CarriesTheVersionOfBothBuilds) {
    inf::File file = ShippedInf();
    std::string driverVer = inf::DriverVersion(file);
    ASSERT_FALSE(driverVer.empty());
    for (const char* path : {ZARN_SYS, ZARN_CHECKED_SYS}) {
        SCOPED_TRACE(path);
        pe::VersionInfo version;
        std::string error;
        ASSERT_TRUE(pe::ReadVersion(Driver(path), &version, &error)) << error;
        EXPECT_EQ(version.fileVersion, driverVer);
        EXPECT_EQ(version.productVersion, driverVer);
        EXPECT_EQ(version.String("FileVersion"), driverVer);
        EXPECT_EQ(version.String("CompanyName"), file.Expand("%Zarn%"));
    }
}

TEST(ZarnInf, DefinesEveryStringItUses) {
    inf::File file = ShippedInf();
    std::vector<std::string> undefined;
    for (const auto& [name, lines] : file.sections) {
        for (const inf::Line& line : lines) {
            file.Expand(line.key, &undefined);
            for (const std::string& value : line.values) file.Expand(value, &undefined);
        }
    }
    EXPECT_EQ(undefined, std::vector<std::string>{});
}

TEST(ZarnInf, IsOfTheDisplayClass) {
    inf::File file = ShippedInf();
    const std::vector<std::string>* type = file.Values("Version", "Class");
    const std::vector<std::string>* guid = file.Values("Version", "ClassGUID");
    ASSERT_TRUE(type && guid);
    EXPECT_EQ(type->at(0), "Display");
    EXPECT_EQ(inf::Lower(guid->at(0)), "{4d36e968-e325-11ce-bfc1-08002be10318}");
}

// The event viewer reads the text of a logged error from these files: the system's I/O messages,
// or a shipped file only when it carries a message table.
TEST(ZarnInf, PointsTheEventLogOnlyAtFilesHoldingMessages) {
    inf::File file = ShippedInf();
    const std::string shipped = inf::Lower(FileName(ZARN_SYS));
    const bool shippedHasMessages = pe::HasResource(Driver(ZARN_SYS), 11);
    size_t files = 0;
    for (const auto& [name, lines] : file.sections) {
        for (const inf::Line& line : lines) {
            if (line.values.size() < 5 || inf::Lower(line.values.at(2)) != "eventmessagefile") continue;
            std::string list = file.Expand(line.values.at(4));
            size_t start = 0;
            while (start < list.size()) {
                size_t end = std::min(list.find(';', start), list.size());
                std::string named = inf::Lower(FileName(list.substr(start, end - start)));
                ++files;
                EXPECT_TRUE(named == "iologmsg.dll" || (named == shipped && shippedHasMessages))
                    << named << " holds no messages";
                start = end + 1;
            }
        }
    }
    EXPECT_GT(files, 0u);
}

}  // namespace
