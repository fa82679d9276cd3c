// The shipped zarn.sys on the image runner: its sections where and how its headers say, its
// pointers moved when it loads elsewhere, refused when a routine it imports is missing, and its
// driver entry registering the callbacks through VideoPortInitialize.
#include <map>
#include <set>

#include "image_support.h"
#include "pe_image.h"
#include "platform/videoport.h"

namespace {

using namespace image_test;

constexpr uint32_t Elsewhere = 0xF7A00000;

pe::Image Headers(const std::vector<uint8_t>& bytes) {
    pe::Image headers;
    std::string error;
    EXPECT_TRUE(pe::Parse(bytes, &headers, &error)) << error;
    return headers;
}

// The file's bytes, zero-filled past each section's raw data, with every import slot holding the
// thunk of its routine.
TEST(ImageLoader, PutsEverySectionWhereItsHeaderSays) {
    std::vector<uint8_t> bytes = ZarnSys();
    SKIP_WITHOUT_ZARN_SYS(bytes);
    PlatformRoutines routines;
    ImageRunner runner(routines);
    const LoadedImage& image = runner.Load(bytes);
    pe::Image headers = Headers(bytes);
    EXPECT_EQ(image.base, headers.imageBase);
    ASSERT_EQ(image.imports.size(), headers.imports.size());
    for (const pe::Section& section : headers.sections) {
        SCOPED_TRACE(section.name);
        std::vector<uint8_t> expected(section.virtualSize, 0);
        uint32_t raw = std::min(section.rawSize, section.virtualSize);
        std::copy_n(bytes.begin() + section.rawOffset, raw, expected.begin());
        for (const pe::Import& import : headers.imports) {
            uint32_t at = import.slotRva - section.virtualAddress;
            if (at >= section.virtualSize) continue;
            uint32_t thunk = *runner.ThunkAddress(import.dll, import.name);
            std::memcpy(&expected[at], &thunk, 4);
        }
        std::vector<uint8_t> seen(section.virtualSize);
        runner.Processor().Read(image.base + section.virtualAddress, seen.data(), section.virtualSize);
        EXPECT_EQ(seen, expected);
    }
}

struct AccessCase {
    const char* description;
    const char* section;
    Code code;              // touches the section's first word, whose address follows the opcode
    const char* fault;      // empty: the access is allowed
};

void PrintTo(const AccessCase& row, std::ostream* out) { *out << row.description; }

class SectionProtection : public testing::TestWithParam<AccessCase> {};

TEST_P(SectionProtection, FollowsTheSectionCharacteristics) {
    std::vector<uint8_t> bytes = ZarnSys();
    SKIP_WITHOUT_ZARN_SYS(bytes);
    PlatformRoutines routines;
    RunnerWithScratch scratch(routines);
    const LoadedImage& image = scratch.runner.Load(bytes);
    const MappedSection* section = image.Section(GetParam().section);
    ASSERT_NE(section, nullptr);
    Code code = GetParam().code;
    uint32_t target = section->address;
    for (size_t at = 0; at + 4 <= code.bytes.size(); ++at) {
        uint32_t word;
        std::memcpy(&word, &code.bytes[at], 4);
        if (word == 0xAAAAAAAA) std::memcpy(&code.bytes[at], &target, 4);
    }
    uint32_t entry = scratch.Place(code);
    if (*GetParam().fault == '\0') {
        EXPECT_NO_THROW(scratch.cpu().Call(entry, {}));
    } else {
        try {
            scratch.cpu().Call(entry, {});
            ADD_FAILURE() << "no fault";
        } catch (const CpuFault& fault) {
            EXPECT_NE(std::string(fault.what()).find(GetParam().fault), std::string::npos) << fault.what();
        }
    }
}

// 0xAAAAAAAA stands for the section's address.
Code WriteWord() { return Code().Raw({0xC7, 0x05}).Imm32(0xAAAAAAAA).Imm32(0x11223344).Ret(); }
Code ReadWord() { return Code().Raw({0xA1}).Imm32(0xAAAAAAAA).Ret(); }
Code RunAt() { return Code().Call(0xAAAAAAAA).Ret(); }

INSTANTIATE_TEST_SUITE_P(
    Sections, SectionProtection,
    testing::Values(AccessCase{"reading the headers", "headers", ReadWord(), ""},
                    AccessCase{"writing the headers", "headers", WriteWord(), "which is read-only"},
                    AccessCase{"writing the code", ".text", WriteWord(), "which is read-only"},
                    AccessCase{"writing read-only data", ".rdata", WriteWord(), "which is read-only"},
                    AccessCase{"running read-only data", ".rdata", RunAt(), "which is not executable"},
                    AccessCase{"writing zero-filled data", ".bss", WriteWord(), ""},
                    AccessCase{"running zero-filled data", ".bss", RunAt(), "which is not executable"}),
    [](const testing::TestParamInfo<AccessCase>& info) {
        std::string name;
        for (const char* c = info.param.description; *c; ++c) {
            if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
        }
        return name;
    });

TEST(ImageLoader, MovesEveryPointerByTheDistanceItLoadsFromItsPreferredBase) {
    std::vector<uint8_t> bytes = ZarnSys();
    SKIP_WITHOUT_ZARN_SYS(bytes);
    auto anyThunk = [](const std::string&, const std::string&) -> std::optional<uint32_t> { return 0xFFFF0004; };
    LoadedImage preferred = LoadImage(bytes, PreferredBase(bytes), anyThunk);
    LoadedImage moved = LoadImage(bytes, Elsewhere, anyThunk);
    uint32_t delta = Elsewhere - preferred.base;
    ASSERT_EQ(moved.size, preferred.size);
    ASSERT_FALSE(moved.fixups.empty());

    std::set<uint32_t> fixed;
    std::map<std::string, int> fixupsPerSection;
    for (uint32_t address : moved.fixups) {
        uint32_t rva = address - moved.base;
        uint32_t value = moved.Read32(address);
        EXPECT_EQ(value, preferred.Read32(preferred.base + rva) + delta) << "RVA " << rva;
        EXPECT_NE(moved.SectionAt(value), nullptr) << "RVA " << rva << " points outside the image";
        ++fixupsPerSection[moved.SectionAt(address)->name];
        for (uint32_t i = 0; i < 4; ++i) fixed.insert(rva + i);
    }
    for (uint32_t rva = 0; rva < moved.size; ++rva) {
        if (fixed.count(rva)) continue;
        ASSERT_EQ(moved.memory.data()[rva], preferred.memory.data()[rva]) << "RVA " << rva;
    }
    // The pointer tables of the read-only data (mode tables, control code table) and the code's
    // references to data and the import table.
    EXPECT_GT(fixupsPerSection[".rdata"], 0);
    EXPECT_GT(fixupsPerSection[".text"], 0);
}

struct MissingImports {
    const char* description;
    std::vector<std::string> removed;   // routines taken out of the table
    const char* renamedModule;          // the image's videoprt.sys renamed to this, or null
};

void PrintTo(const MissingImports& row, std::ostream* out) { *out << row.description; }

class ImageImports : public testing::TestWithParam<MissingImports> {};

TEST_P(ImageImports, AreRefusedNamingEveryMissingRoutine) {
    std::vector<uint8_t> bytes = ZarnSys();
    SKIP_WITHOUT_ZARN_SYS(bytes);
    const MissingImports& row = GetParam();
    std::vector<std::string> expected;
    for (const std::string& name : row.removed) expected.push_back("videoprt.sys!" + name);
    if (row.renamedModule) {
        auto at = std::search(bytes.begin(), bytes.end(), std::begin("videoprt.sys"), std::end("videoprt.sys") - 1);
        ASSERT_NE(at, bytes.end());
        std::copy_n(row.renamedModule, 12, at);
        for (const pe::Import& import : Headers(bytes).imports) {
            if (import.dll == row.renamedModule) expected.push_back(import.dll + "!" + import.name);
        }
    }
    std::vector<ImportedRoutine> table;
    for (const ImportedRoutine& entry : RoutineTable()) {
        if (std::find(row.removed.begin(), row.removed.end(), entry.name) == row.removed.end()) table.push_back(entry);
    }
    PlatformRoutines routines;
    ImageRunner runner(routines, table);
    try {
        runner.Load(bytes);
        FAIL() << "loaded";
    } catch (const ImageError& error) {
        std::string message = error.what();
        for (const std::string& name : expected) EXPECT_NE(message.find(name), std::string::npos) << message;
        EXPECT_EQ(std::count(message.begin(), message.end(), '!'), static_cast<long>(expected.size())) << message;
    }
    EXPECT_THROW(runner.Image(), std::logic_error);
}

INSTANTIATE_TEST_SUITE_P(Imports, ImageImports,
                         testing::Values(MissingImports{"one", {"VideoPortInitialize"}, nullptr},
                                         MissingImports{"two", {"VideoPortReadPortUlong", "VideoPortInt10"}, nullptr},
                                         MissingImports{"module", {}, "videoprx.sys"}),
                         [](const testing::TestParamInfo<MissingImports>& info) { return info.param.description; });

// zarn.sys with one header field changed to what the file cannot satisfy: the loader refuses it
// before anything runs, naming the field.
struct CorruptHeader {
    const char* description;
    const char* field;   // in the message
    // Changes the field; given the offsets of the COFF header, the optional header and the first section.
    void (*corrupt)(std::vector<uint8_t>& b, size_t coff, size_t opt, size_t section);
};

void PrintTo(const CorruptHeader& row, std::ostream* out) { *out << row.description; }

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t value) { std::memcpy(&b[at], &value, 4); }
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t value;
    std::memcpy(&value, &b[at], 4);
    return value;
}

class ImageHeaders : public testing::TestWithParam<CorruptHeader> {};

TEST_P(ImageHeaders, ThatTheFileCannotSatisfyAreRefusedNamingTheField) {
    std::vector<uint8_t> bytes = ZarnSys();
    SKIP_WITHOUT_ZARN_SYS(bytes);
    size_t coff = Get32(bytes, 0x3C) + 4;
    size_t opt = coff + 20;
    size_t section = opt + (bytes[coff + 16] | bytes[coff + 17] << 8);
    GetParam().corrupt(bytes, coff, opt, section);
    auto anyThunk = [](const std::string&, const std::string&) -> std::optional<uint32_t> { return 0xFFFF0004; };
    try {
        LoadImage(bytes, Elsewhere, anyThunk);
        FAIL() << "loaded";
    } catch (const ImageError& error) {
        EXPECT_NE(std::string(error.what()).find(GetParam().field), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Corrupted, ImageHeaders,
    testing::Values(
        CorruptHeader{"PE header past the end", "e_lfanew",
                      [](auto& b, size_t, size_t, size_t) { Put32(b, 0x3C, static_cast<uint32_t>(b.size())); }},
        CorruptHeader{"section table past the end", "NumberOfSections",
                      [](auto& b, size_t coff, size_t, size_t) { b[coff + 2] = 0xFF, b[coff + 3] = 0xFF; }},
        CorruptHeader{"optional header too short", "SizeOfOptionalHeader",
                      [](auto& b, size_t coff, size_t, size_t) { b[coff + 16] = 0x40, b[coff + 17] = 0; }},
        CorruptHeader{"image base off 64 KiB", "ImageBase",
                      [](auto& b, size_t, size_t opt, size_t) { Put32(b, opt + 28, Get32(b, opt + 28) + 0x1000); }},
        CorruptHeader{"sections on three pages", "SectionAlignment",
                      [](auto& b, size_t, size_t opt, size_t) { Put32(b, opt + 32, 0x3000); }},
        CorruptHeader{"file alignment of 768", "FileAlignment",
                      [](auto& b, size_t, size_t opt, size_t) { Put32(b, opt + 36, 0x300); }},
        CorruptHeader{"headers longer than the file", "SizeOfHeaders",
                      [](auto& b, size_t, size_t opt, size_t) { Put32(b, opt + 60, static_cast<uint32_t>(b.size()) + 1); }},
        CorruptHeader{"entry point past the image", "AddressOfEntryPoint",
                      [](auto& b, size_t, size_t opt, size_t) { Put32(b, opt + 16, Get32(b, opt + 56)); }},
        CorruptHeader{"seventeen directories", "NumberOfRvaAndSizes",
                      [](auto& b, size_t, size_t opt, size_t) { Put32(b, opt + 92, 17); }},
        CorruptHeader{"import directory far outside", "import directory",
                      [](auto& b, size_t, size_t opt, size_t) { Put32(b, opt + 96 + 8, 0x7FFF0000); }},
        CorruptHeader{"import directory past the image end", "import directory",
                      [](auto& b, size_t, size_t opt, size_t) { Put32(b, opt + 96 + 8 + 4, Get32(b, opt + 56)); }},
        CorruptHeader{"relocations far outside", "base relocation directory",
                      [](auto& b, size_t, size_t opt, size_t) { Put32(b, opt + 96 + 5 * 8, 0xFFFFF000); }},
        CorruptHeader{"raw size far past the file", "SizeOfRawData",
                      [](auto& b, size_t, size_t, size_t section) { Put32(b, section + 16, 0x10000000); }},
        CorruptHeader{"raw data one byte past the file", "SizeOfRawData",
                      [](auto& b, size_t, size_t, size_t section) {
                          Put32(b, section + 16, static_cast<uint32_t>(b.size()) - Get32(b, section + 20) + 1);
                      }},
        CorruptHeader{"raw data offset past the file", "PointerToRawData",
                      [](auto& b, size_t, size_t, size_t section) { Put32(b, section + 20, static_cast<uint32_t>(b.size())); }},
        CorruptHeader{"section past the image", "VirtualSize",
                      [](auto& b, size_t, size_t opt, size_t section) { Put32(b, section + 8, Get32(b, opt + 56)); }},
        CorruptHeader{"symbol table past the file", "PointerToSymbolTable",
                      [](auto& b, size_t coff, size_t, size_t) {
                          Put32(b, coff + 8, static_cast<uint32_t>(b.size()) - 17);
                          Put32(b, coff + 12, 1);
                      }}),
    [](const testing::TestParamInfo<CorruptHeader>& info) {
        std::string name;
        for (const char* c = info.param.description; *c; ++c) {
            if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
        }
        return name;
    });

TEST(ImageDriverEntry, RegistersItsCallbacksThroughVideoPortInitialize) {
    std::vector<uint8_t> bytes = ZarnSys();
    SKIP_WITHOUT_ZARN_SYS(bytes);
    PlatformRoutines routines;
    ImageRunner runner(routines);
    uint32_t zeroed = 0, zeroedLength = 0;
    uint32_t passed[4] = {};
    VIDEO_HW_INITIALIZATION_DATA data{};
    routines.VideoPortZeroMemory = [&](Address destination, uint32_t length) {
        std::vector<uint8_t> zeros(length, 0);
        runner.Processor().Write(destination, zeros.data(), length);
        zeroed = destination;
        zeroedLength = length;
    };
    routines.VideoPortInitialize = [&](Address argument1, Address argument2, Address record, Address context) {
        passed[0] = argument1, passed[1] = argument2, passed[2] = record, passed[3] = context;
        runner.Processor().Read(record, &data, SIZE_OF_W2K_VIDEO_HW_INITIALIZATION_DATA);
        return 0xC0000123u;
    };
    const LoadedImage& image = runner.Load(bytes, Elsewhere);
    runner.AddLinkMapSymbols(ZarnMap());

    EXPECT_EQ(runner.CallDriverEntry(0x81000010, 0x81000020), 0xC0000123u);
    EXPECT_EQ(passed[0], 0x81000010u);
    EXPECT_EQ(passed[1], 0x81000020u);
    EXPECT_EQ(passed[3], 0u);
    EXPECT_EQ(zeroed, passed[2]);
    EXPECT_GE(zeroedLength, 80u);
    EXPECT_EQ(data.HwInitDataSize, 80u);
    EXPECT_EQ(data.AdapterInterfaceType, PCIBus);
    EXPECT_EQ(data.HwDeviceExtensionSize, 5448u);

    // Each callback is the driver's function of that name, in the code of the image where it loaded.
    const std::pair<const char*, uint32_t> callbacks[] = {
        {"HwFindAdapter", data.HwFindAdapter.address},   {"HwInitialize", data.HwInitialize.address},
        {"HwStartIO", data.HwStartIO.address},           {"HwResetHw", data.HwResetHw.address},
        {"HwSetPowerState", data.HwSetPowerState.address}, {"HwGetPowerState", data.HwGetPowerState.address},
        {"HwGetVideoChildDescriptor", data.HwGetVideoChildDescriptor.address}};
    for (const auto& callback : callbacks) {
        const char* name = callback.first;
        uint32_t address = callback.second;
        SCOPED_TRACE(name);
        ASSERT_NE(image.SectionAt(address), nullptr);
        EXPECT_EQ(image.SectionAt(address)->name, ".text");
        auto symbol = std::find_if(image.symbols.begin(), image.symbols.end(), [&](const auto& entry) {
            return entry.first.find(std::to_string(std::strlen(name)) + name + "P") != std::string::npos;
        });
        ASSERT_NE(symbol, image.symbols.end());
        EXPECT_EQ(address, symbol->second);
    }
    const uint32_t unused[] = {data.HwInterrupt.address,      data.HwTimer.address,
                               data.HwStartDma.address,       data.HwQueryInterface.address,
                               data.HwLegacyResourceList.address, data.HwLegacyResourceCount,
                               data.HwGetLegacyResources.address, data.StartingDeviceNumber,
                               data.HwChildDeviceExtensionSize,   data.AllowEarlyEnumeration};
    for (uint32_t value : unused) EXPECT_EQ(value, 0u);
}

std::u16string ReadWide(const Cpu& cpu, uint32_t address) {
    std::u16string text;
    for (char16_t c; text.size() < 256; address += 2) {
        cpu.Read(address, &c, 2);
        if (c == 0) break;
        text.push_back(c);
    }
    return text;
}

// The driver reads its registry configuration: VideoPortGetRegistryParameters hands each value to
// the driver's callback (a call back into the image), whose gamma ramp callback copies the ramp
// with VideoPortMoveMemory (a thunk inside the callback), and the driver goes on with the next value.
TEST(ImageNestedCalls, RegistryValuesReachTheDriverThroughItsCallbacks) {
    std::vector<uint8_t> bytes = ZarnSys();
    SKIP_WITHOUT_ZARN_SYS(bytes);
    constexpr uint32_t Extension = 0x81000000;
    constexpr uint32_t NotFound = 87;
    PlatformRoutines routines;
    RunnerWithScratch scratch(routines);
    Cpu& cpu = scratch.cpu();
    const LoadedImage& image = scratch.runner.Load(bytes);
    scratch.runner.AddLinkMapSymbols(ZarnMap());
    PageMemory extension(5448);
    cpu.MapMemory(Extension, extension.size(), extension.data(), ProtectRead | ProtectWrite);

    std::vector<uint32_t> ramp(256);
    for (uint32_t i = 0; i < 256; ++i) ramp[i] = 0xC0000000 | (i * 0x010305 & 0xFFFFFF);
    std::vector<uint8_t> rampBytes(1024);
    std::memcpy(rampBytes.data(), ramp.data(), 1024);
    std::map<std::u16string, std::vector<uint8_t>> values = {{u"MiniportDebugLevel", {0x03, 0x00, 0xA5, 0x5A}},
                                                              {u"UseNonBIOSModeSet", {0x01}},
                                                              {u"GammaTable", rampBytes},
                                                              {u"UseSoftwareCursor", {}}};
    struct Query {
        std::u16string name;
        uint32_t status;
        uint32_t word;   // the first word of the callback's context afterwards
        bool operator==(const Query&) const = default;
    };
    std::vector<Query> queries;
    routines.VideoPortGetRegistryParameters = [&](Address adapter, Address name, uint8_t, Address callback,
                                                  Address context) -> uint32_t {
        auto value = values.find(ReadWide(cpu, name));
        if (value == values.end()) {
            queries.push_back({ReadWide(cpu, name), NotFound, 0});
            return NotFound;
        }
        std::memset(scratch.Data(), 0xEE, 8);   // what lies past a short value
        std::copy(value->second.begin(), value->second.end(), scratch.Data());
        uint32_t length = static_cast<uint32_t>(value->second.size());
        auto status = static_cast<uint32_t>(cpu.Call(callback, {adapter, context, name, RunnerWithScratch::DataPage, length}));
        queries.push_back({value->first, status, cpu.Read32(context)});
        return status;
    };
    std::vector<std::vector<uint32_t>> moves;
    routines.VideoPortMoveMemory = [&](Address destination, Address source, uint32_t length) {
        std::vector<uint8_t> moved(length);
        cpu.Read(source, moved.data(), length);
        cpu.Write(destination, moved.data(), length);
        moves.push_back({source, length, static_cast<uint32_t>(cpu.Depth())});
    };
    std::vector<std::pair<std::u16string, uint32_t>> written;
    routines.VideoPortSetRegistryParameters = [&](Address, Address name, Address data, uint32_t length) {
        EXPECT_GE(data, Extension);
        EXPECT_LE(data + length, Extension + 5448);
        written.emplace_back(ReadWide(cpu, name), length);
        return 0u;
    };

    auto entry = std::find_if(image.symbols.begin(), image.symbols.end(),
                              [](const auto& symbol) { return symbol.first.find("ReadRegistryConfiguration") != std::string::npos; });
    ASSERT_NE(entry, image.symbols.end());
    cpu.Call(entry->second, {Extension}, Convention::Cdecl);

    std::vector<Query> expected = {{u"MiniportDebugLevel", 0, 0x5AA50003}, {u"UseNonBIOSModeSet", 0, 1},
                                   {u"GammaTable", 0, ramp[0]},            {u"LumenGammaTable", NotFound, 0},
                                   {u"UseSoftwareCursor", NotFound, 0},    {u"GraphicsClocking", NotFound, 0}};
    EXPECT_EQ(queries, expected);
    EXPECT_EQ(moves, (std::vector<std::vector<uint32_t>>{{RunnerWithScratch::DataPage, 1024, 2}}));
    EXPECT_EQ(written, (std::vector<std::pair<std::u16string, uint32_t>>{{u"LumenGammaTable", 1024}}));

    // The values the driver kept are in its device extension: the debug level, and the ramp with
    // bits 24-31 dropped.
    std::vector<uint8_t> kept(extension.data(), extension.data() + 5448);
    std::vector<uint8_t> level = {0x03, 0x00, 0xA5, 0x5A};
    std::vector<uint8_t> masked(1024);
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t entryValue = ramp[i] & 0xFFFFFF;
        std::memcpy(&masked[4 * i], &entryValue, 4);
    }
    EXPECT_NE(std::search(kept.begin(), kept.end(), level.begin(), level.end()), kept.end());
    EXPECT_NE(std::search(kept.begin(), kept.end(), masked.begin(), masked.end()), kept.end());
}

}  // namespace
