// Boundaries: each rule of the driver that compares a length, count or line count with a limit,
// tried at the limit and one past it (or one below), where the platform can reach both.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "adapter/adapter_state.h"
#include "clients/display_driver.h"
#include "colour/colour.h"
#include "dispatch/control_codes.h"
#include "hw/registers.h"
#include "machine/machine.h"
#include "modes/mode_tables.h"
#include "driver_faults.h"
#include "settings/settings.h"


namespace {

using Bytes = std::vector<uint8_t>;

// The primary and a secondary started by the driver itself (the direct programming path), whose
// device parameters are a key of their own.
sim::MachineConfig TwoAdapters() {
    sim::AdapterConfig secondary;
    secondary.secondary = true;
    sim::MachineConfig config;
    config.adapters = {sim::AdapterConfig{}, secondary};
    config.checkAliasing = true;
    return config;
}

// --- Line doubling: below 400 lines, up to 16 bits per pixel -----------------------------------------

struct DoublingCase {
    const char* mode;
    bool doubled;
    const char* before = nullptr;   // a mode set first on the same adapter
};

void PrintTo(const DoublingCase& c, std::ostream* out) { *out << c.mode; }

class LineDoublingLimit : public testing::TestWithParam<DoublingCase> {};

TEST_P(LineDoublingLimit, DoublesOnlyBelowTheLineCount) {
    const DoublingCase& c = GetParam();
    sim::Machine machine(TwoAdapters());
    machine.Boot();
    if (c.before) {
        ASSERT_EQ(sim::SetMode(machine, 1, sim::ParseModeRequest(c.before)).status, 0u) << c.before;
    }
    sim::ModeRequest request = sim::ParseModeRequest(c.mode);
    sim::ModeSetResult result = sim::SetMode(machine, 1, request);
    ASSERT_TRUE(result.offered) << c.mode;
    ASSERT_EQ(result.status, 0u);
    uint32_t pipeline = machine.ChipOf(1).Peek(reg::Pipeline);
    uint32_t size = machine.ChipOf(1).Peek(reg::ScreenSize);
    EXPECT_EQ((pipeline & reg::PipelineLineDouble) != 0, c.doubled);
    uint32_t shift = c.doubled ? reg::ScreenSizeDoubledShift : reg::ScreenSizeLinesShift;
    EXPECT_EQ(size >> shift, request.height) << std::hex << size;
    EXPECT_EQ(Faults(machine), "");
}

INSTANTIATE_TEST_SUITE_P(LineCounts, LineDoublingLimit,
                         testing::Values(DoublingCase{"512x384x8@60", true}, DoublingCase{"512x384x16@60", true},
                                         DoublingCase{"640x400x8@70", false}, DoublingCase{"640x400x16@70", false},
                                         DoublingCase{"640x480x16@60", false},
                                         DoublingCase{"640x400x8@70", false, "512x384x8@60"},
                                         DoublingCase{"640x400x16@70", false, "320x200x16@70"}),
                         [](const auto& info) {
                             std::string name = info.param.before ? std::string(info.param.before) + "_then_" : "";
                             name += info.param.mode;
                             for (char& ch : name) if (ch == '@') ch = '_';
                             return name;
                         });

// --- Settings read: the value against the reply's room and the caller's size field ------------------

const std::string ParameterKey = sim::Machine::DeviceKey(1);

Bytes ReadInput(const std::string& name, uint32_t sizeField) {
    Bytes buffer(std::max<size_t>(name.size() + 1, 8), 0);
    for (int i = 0; i < 4; ++i) buffer[4 + i] = static_cast<uint8_t>(sizeField >> (8 * i));
    std::copy(name.begin(), name.end(), buffer.begin());
    buffer[name.size()] = 0;
    return buffer;
}

struct ValueCase {
    const char* name;
    std::string setting;
    Bytes value;                 // the device parameter (REG_BINARY)
    uint32_t sizeField;          // the most bytes the caller accepts (a name of up to 3 letters
                                 // leaves it apart from the name's bytes)
    uint32_t outputLength;
    uint32_t status;
    uint32_t type;               // of the reply, when the read succeeds
    Bytes data;                  // the reply's data, when the read succeeds
};

void PrintTo(const ValueCase& c, std::ostream* out) { *out << c.name; }

class SettingValueLimit : public testing::TestWithParam<ValueCase> {};

TEST_P(SettingValueLimit, FitsUpToTheLimitAndIsRefusedPastIt) {
    const ValueCase& c = GetParam();
    sim::Machine machine(TwoAdapters());
    machine.GetRegistry().SetValue(ParameterKey, c.setting, 3, c.value);
    machine.Boot();
    sim::RequestOptions options;
    options.adapter = 1;
    sim::RequestResult r = machine.Request(IOCTL_VIDEO_READ_SETTING, ReadInput(c.setting, c.sizeField), c.outputLength, options);
    ASSERT_EQ(r.status, c.status);
    if (c.status == 0) {
        ASSERT_EQ(r.output.size(), 1032u);
        EXPECT_EQ(sim::Dword(r.output, 0), c.type);
        ASSERT_EQ(sim::Dword(r.output, 4), c.data.size());
        EXPECT_EQ(Bytes(r.output.begin() + 8, r.output.begin() + 8 + c.data.size()), c.data);
    }
    EXPECT_EQ(Faults(machine), "");
}

Bytes Text(const std::string& text) {
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Values, SettingValueLimit,
    testing::Values(
        ValueCase{"ExactlyTheReplysRoom", "Big", Bytes(1024, 7), 1024, 1032, 0, 3, Bytes(1024, 7)},
        ValueCase{"ExactlyTheReplysRoomInALargerOutput", "Big", Bytes(1024, 7), 1024, 1040, 0, 3, Bytes(1024, 7)},
        // The reply's data holds 1024 bytes whatever the output's size: one more is refused.
        ValueCase{"OnePastTheReplysDataInALargerOutput", "Big", Bytes(1025, 7), 1040, 1040, 87, 0, {}},
        ValueCase{"ExactlyTheSizeField", "Sx", Bytes(8, 2), 8, 1032, 0, 3, Bytes(8, 2)},
        ValueCase{"OnePastTheSizeField", "Sx", Bytes(9, 2), 8, 1032, 122, 0, {}},
        ValueCase{"ThreeBytesIsNoNumber", "Sx", Bytes{1, 2, 3}, 1024, 1032, 0, 3, Bytes{1, 2, 3}},
        ValueCase{"FourBytesIsANumber", "Sx", Bytes{1, 2, 3, 4}, 1024, 1032, 0, 4, Bytes{1, 2, 3, 4}},
        ValueCase{"FiveBytesIsNoNumber", "Sx", Bytes{1, 2, 3, 4, 5}, 1024, 1032, 0, 3, Bytes{1, 2, 3, 4, 5}},
        // A number read back as text widens a short value: exactly its bytes count, none past them.
        ValueCase{"NumberAsTextOfNoBytes", "KMTC4_A", {}, 1024, 1032, 0, 1, Text("0")},
        ValueCase{"NumberAsTextOfOneByte", "KMTC4_A", Bytes{0xFF}, 1024, 1032, 0, 1, Text("255")},
        ValueCase{"NumberAsTextOfThreeBytes", "KMTC4_A", Bytes{1, 0, 1}, 1024, 1032, 0, 1, Text("65537")},
        ValueCase{"NumberAsTextOfFiveBytesTakesFour", "KMTC4_A", Bytes{0, 0, 0, 1, 9}, 1024, 1032, 0, 1,
                  Text("16777216")},
        ValueCase{"NumberAsTextOfTheLargestNumber", "KMTC4_A", Bytes{0xFF, 0xFF, 0xFF, 0xFF}, 1024, 1032, 0, 1,
                  Text("4294967295")}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Number formatting: bases 8 to 36, nothing outside them -------------------------------------------

TEST(NumberBaseLimit, FormatsInBasesEightToThirtySixOnly) {
    struct Case {
        uint32_t value, base;
        const char* text;
    };
    const Case cases[] = {{8, 8, "10"},   {8, 7, ""},     {35, 36, "Z"}, {36, 36, "10"},
                          {36, 37, ""},   {0, 10, "0"},   {0xFFFFFFFF, 10, "4294967295"},
                          {0xFFFFFFFF, 8, "37777777777"}, {255, 16, "FF"}, {9, 16, "9"}, {10, 11, "A"}};
    for (const Case& c : cases) {
        CHAR buffer[12];
        std::fill(std::begin(buffer), std::end(buffer), 'x');
        EXPECT_STREQ(FormatNumber(c.value, buffer, c.base), c.text) << c.value << " in base " << c.base;
    }
}

// --- Request buffers: each handler's least input and output, and one byte less -----------------------

struct LengthRule {
    const char* name;
    uint32_t code;
    uint32_t input;      // the least input the handler takes
    uint32_t output;     // the least output
};

void PrintTo(const LengthRule& c, std::ostream* out) { *out << c.name; }

class BufferLengthLimit : public testing::TestWithParam<LengthRule> {};

// One byte short of either buffer is refused as too small; the exact sizes are taken (whatever the
// handler then answers for zero contents).
TEST_P(BufferLengthLimit, TakesTheLeastSizeAndRefusesOneByteLess) {
    const LengthRule& c = GetParam();
    for (int shortBuffer = 0; shortBuffer < 3; ++shortBuffer) {
        if ((shortBuffer == 1 && c.input == 0) || (shortBuffer == 2 && c.output == 0)) continue;
        SCOPED_TRACE(shortBuffer == 0 ? "exact" : shortBuffer == 1 ? "input one short" : "output one short");
        sim::Machine machine(TwoAdapters());
        machine.Boot();
        Bytes input(c.input - (shortBuffer == 1 ? 1 : 0), 0);
        if (c.code == IOCTL_VIDEO_SET_COLOR_REGISTERS && input.size() >= 4) input[0] = 1;   // one entry
        sim::RequestOptions options;
        options.adapter = 1;
        options.process = 2;
        uint32_t output = c.output - (shortBuffer == 2 ? 1 : 0);
        sim::RequestResult r = machine.Request(c.code, input, output, options);
        if (shortBuffer) EXPECT_EQ(r.status, 122u);
        else EXPECT_NE(r.status, 122u);
    }
}

constexpr uint32_t ModeInfo = sizeof(VIDEO_MODE_INFORMATION);

INSTANTIATE_TEST_SUITE_P(
    Requests, BufferLengthLimit,
    testing::Values(
        LengthRule{"NumberOfModes", IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES, 0, sizeof(VIDEO_NUM_MODES)},
        LengthRule{"CurrentMode", IOCTL_VIDEO_QUERY_CURRENT_MODE, 0, ModeInfo},
        LengthRule{"ModeSet", IOCTL_VIDEO_SET_CURRENT_MODE, sizeof(VIDEO_MODE), 0},
        LengthRule{"MapVideoMemory", IOCTL_VIDEO_MAP_VIDEO_MEMORY, sizeof(VIDEO_MEMORY), sizeof(VIDEO_MEMORY_INFORMATION)},
        LengthRule{"UnmapVideoMemory", IOCTL_VIDEO_UNMAP_VIDEO_MEMORY, sizeof(VIDEO_MEMORY), 0},
        LengthRule{"PublicAccessRanges", IOCTL_VIDEO_QUERY_PUBLIC_ACCESS_RANGES, 0, 2 * sizeof(VIDEO_PUBLIC_ACCESS_RANGES)},
        LengthRule{"FreePublicAccessRanges", IOCTL_VIDEO_FREE_PUBLIC_ACCESS_RANGES, 2 * sizeof(VIDEO_MEMORY), 0},
        LengthRule{"ShareVideoMemory", IOCTL_VIDEO_SHARE_VIDEO_MEMORY, 3 * sizeof(ULONG), sizeof(VIDEO_SHARE_MEMORY_INFORMATION)},
        LengthRule{"UnshareVideoMemory", IOCTL_VIDEO_UNSHARE_VIDEO_MEMORY, sizeof(VIDEO_SHARE_MEMORY), 0},
        LengthRule{"MapApertures", IOCTL_VIDEO_MAP_APERTURES, sizeof(ULONG), sizeof(ApertureMap)},
        LengthRule{"UnmapApertures", IOCTL_VIDEO_UNMAP_APERTURES, sizeof(ApertureUnmap), 0},
        LengthRule{"FindMapping", IOCTL_VIDEO_FIND_MAPPING, sizeof(ADDRESS32), sizeof(MappingLookup)},
        LengthRule{"AllocateContiguous", IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, sizeof(ULONG), sizeof(ADDRESS32)},
        LengthRule{"MapPhysicalPages", IOCTL_VIDEO_MAP_PHYSICAL_PAGES, sizeof(PhysicalPages), sizeof(ADDRESS32)},
        LengthRule{"PaletteOfOneEntry", IOCTL_VIDEO_SET_COLOR_REGISTERS, 8, 0},
        LengthRule{"SetGammaTable", IOCTL_VIDEO_SET_GAMMA_TABLE, GammaTableBytes, 0},
        LengthRule{"GetGammaTable", IOCTL_VIDEO_GET_GAMMA_TABLE, 0, GammaTableBytes},
        LengthRule{"AdapterIdentity", IOCTL_VIDEO_QUERY_ADAPTER_ID, 0, sizeof(AdapterIdentity)},
        LengthRule{"BiosVersion", IOCTL_VIDEO_QUERY_BIOS_VERSION, 0, 32},
        LengthRule{"SettingsWrite", IOCTL_VIDEO_WRITE_SETTING, sizeof(SettingWriteHead), 0}),
    [](const auto& info) { return std::string(info.param.name); });

// The list of modes: exactly as many records as there are modes, and one byte less.
TEST(BufferLengthLimit, ModeListTakesExactlyItsRecords) {
    sim::Machine machine(TwoAdapters());
    machine.Boot();
    sim::RequestOptions options;
    options.adapter = 1;
    sim::RequestResult count = machine.Request(IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES, {}, sizeof(VIDEO_NUM_MODES), options);
    ASSERT_EQ(count.status, 0u);
    uint32_t needed = sim::Dword(count.output, 0) * ModeInfo;
    ASSERT_GT(needed, 0u);
    EXPECT_EQ(machine.Request(IOCTL_VIDEO_QUERY_AVAIL_MODES, {}, needed, options).status, 0u);
    sim::RequestResult shortList = machine.Request(IOCTL_VIDEO_QUERY_AVAIL_MODES, {}, needed - 1, options);
    EXPECT_EQ(shortList.status, 122u);
    EXPECT_EQ(shortList.information, needed);
}

// --- Index ranges: the last valid index, and the first past it ---------------------------------------

struct RangeRule {
    const char* name;
    uint32_t code;
    Bytes input;
    uint32_t status;
};

void PrintTo(const RangeRule& c, std::ostream* out) { *out << c.name; }

class IndexLimit : public testing::TestWithParam<RangeRule> {};

Bytes Clut(uint16_t count, uint16_t first) {
    Bytes input{static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(first),
                static_cast<uint8_t>(first >> 8)};
    input.resize(4 + 4 * size_t{count}, 0x40);
    return input;
}

TEST_P(IndexLimit, TakesTheLastAndRefusesThePastEnd) {
    const RangeRule& c = GetParam();
    sim::Machine machine(TwoAdapters());
    machine.Boot();
    sim::RequestOptions options;
    options.adapter = 1;
    Bytes input = c.input;
    EXPECT_EQ(machine.Request(c.code, input, 0, options).status, c.status);
    EXPECT_EQ(Faults(machine), "");
}

// The mode index against the number of table positions, on both programming paths: the last mode
// the list offers sets, the first index past the positions is refused.
TEST(IndexLimit, ModeIndexUpToTheLastPosition) {
    for (int adapter : {0, 1}) {
        SCOPED_TRACE(adapter);
        sim::Machine machine(TwoAdapters());
        machine.Boot();
        sim::RequestOptions options;
        options.adapter = adapter;
        uint32_t modes = sim::Dword(machine.Request(IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES, {}, 8, options).output, 0);
        sim::RequestResult list = machine.Request(IOCTL_VIDEO_QUERY_AVAIL_MODES, {}, modes * ModeInfo, options);
        ASSERT_EQ(list.status, 0u);
        uint32_t last = 0;
        for (uint32_t m = 0; m < modes; ++m) last = std::max(last, sim::Dword(list.output, m * ModeInfo + 4));
        uint32_t positions = AdapterOf(machine.Extension(adapter))->modeCount;
        ASSERT_LT(last, positions);
        for (uint32_t index : {last, positions}) {
            Bytes input{static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), 0, 0};
            EXPECT_EQ(machine.Request(IOCTL_VIDEO_SET_CURRENT_MODE, input, 0, options).status, index < positions ? 0u : 87u)
                << index;
        }
        EXPECT_EQ(Faults(machine), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, IndexLimit,
    testing::Values(RangeRule{"LastPaletteEntry", IOCTL_VIDEO_SET_COLOR_REGISTERS, Clut(1, 255), 0},
                    RangeRule{"FirstEntryPastThePalette", IOCTL_VIDEO_SET_COLOR_REGISTERS, Clut(1, 256), 87},
                    RangeRule{"WholePalette", IOCTL_VIDEO_SET_COLOR_REGISTERS, Clut(256, 0), 0},
                    RangeRule{"OneEntryPastThePalette", IOCTL_VIDEO_SET_COLOR_REGISTERS, Clut(2, 255), 87},
                    RangeRule{"NoEntries", IOCTL_VIDEO_SET_COLOR_REGISTERS, Clut(0, 0), 87}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Text the relay converts: up to the longest string the platform converts -------------------------

Bytes WriteRecord(const std::string& name, uint32_t type, const Bytes& data) {
    Bytes record(76, 0);
    std::copy(name.begin(), name.end(), record.begin() + 4);
    for (int i = 0; i < 4; ++i) {
        record[68 + i] = static_cast<uint8_t>(type >> (8 * i));
        record[72 + i] = static_cast<uint8_t>(data.size() >> (8 * i));
    }
    record.insert(record.end(), data.begin(), data.end());
    return record;
}

// A relayed text of MaxConvertibleLength characters is stored under the relay's key; one more is
// not (the platform's counted strings cannot hold it) and the write falls back to the device
// parameter, as for any name the relay cannot store.
TEST(TextLengthLimit, RelayedTextUpToTheLongestConvertibleString) {
    const std::string settingsKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0";
    for (uint32_t length : {MaxConvertibleLength, MaxConvertibleLength + 1}) {
        SCOPED_TRACE(length);
        sim::Machine machine(TwoAdapters());
        machine.Boot();
        Bytes text(length, 'a');
        text.push_back(0);
        sim::RequestOptions options;
        options.adapter = 1;
        sim::RequestResult r = machine.Request(IOCTL_VIDEO_WRITE_SETTING, WriteRecord("ZRText", 1, text), 0, options);
        bool relayed = machine.GetRegistry().GetValue(settingsKey, "ZRText") != nullptr;
        bool parameter = machine.GetRegistry().GetValue(sim::Machine::DeviceKey(1), "ZRText") != nullptr;
        EXPECT_EQ(r.status, 0u);
        EXPECT_EQ(relayed, length <= MaxConvertibleLength);
        EXPECT_EQ(parameter, !relayed) << "a text the relay cannot store goes to the device parameter";
        EXPECT_EQ(Faults(machine), "");
    }
}

// The name field of a write holds 64 bytes: a name of 63 letters and its zero byte is stored, a
// name of 64 letters (no zero byte in the field) is refused.
TEST(TextLengthLimit, WrittenNameFillsItsFieldWithItsZeroByte) {
    for (size_t length : {63u, 64u}) {
        SCOPED_TRACE(length);
        sim::Machine machine(TwoAdapters());
        machine.Boot();
        const std::string name = "S" + std::string(length - 1, 'n');
        sim::RequestOptions options;
        options.adapter = 1;
        sim::RequestResult r = machine.Request(IOCTL_VIDEO_WRITE_SETTING, WriteRecord(name, 4, {1, 0, 0, 0}), 0, options);
        EXPECT_EQ(r.status, length < 64 ? 0u : 87u);
        EXPECT_EQ(machine.GetRegistry().GetValue(ParameterKey, name) != nullptr, length < 64);
        EXPECT_EQ(Faults(machine), "");
    }
}

// --- Name prefixes: the whole prefix routes a name to the relay, one letter less does not ------------

struct PrefixCase {
    const char* name;
    bool relayed;
};

void PrintTo(const PrefixCase& c, std::ostream* out) { *out << c.name; }

class NamePrefixLimit : public testing::TestWithParam<PrefixCase> {};

TEST_P(NamePrefixLimit, RoutesOnlyTheWholePrefixToTheRelay) {
    const PrefixCase& c = GetParam();
    const std::string settingsKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0";
    sim::Machine machine(TwoAdapters());
    machine.GetRegistry().SetDword(settingsKey, c.name, 7);
    machine.GetRegistry().SetValue(ParameterKey, c.name, 3, {1, 2, 3});
    machine.Boot();
    sim::RequestOptions options;
    options.adapter = 1;
    sim::RequestResult r = machine.Request(IOCTL_VIDEO_READ_SETTING, ReadInput(c.name, 1024), 1032, options);
    ASSERT_EQ(r.status, 0u);
    EXPECT_EQ(sim::Dword(r.output, 0), c.relayed ? 4u : 3u) << "the relay's number or the parameter's bytes";
    uint32_t size = sim::Dword(r.output, 4);
    ASSERT_LE(size, 1024u);
    const Bytes expected = c.relayed ? Bytes{7, 0, 0, 0} : Bytes{1, 2, 3};
    EXPECT_EQ(Bytes(r.output.begin() + 8, r.output.begin() + 8 + size), expected);
    EXPECT_EQ(Faults(machine), "");
}

INSTANTIATE_TEST_SUITE_P(Names, NamePrefixLimit,
                         testing::Values(PrefixCase{"KMTC4_A", true}, PrefixCase{"KMTC4A", false},
                                         PrefixCase{"ZRa", true}, PrefixCase{"Zra", false},
                                         PrefixCase{"LuA", true}, PrefixCase{"LA", false}),
                         [](const auto& info) { return std::string(info.param.name); });


// --- Contiguous memory: up to the number of blocks an adapter keeps ----------------------------------

TEST(ContiguousBlockLimit, SixteenBlocksAndNoMore) {
    sim::Machine machine(TwoAdapters());
    machine.Boot();
    sim::RequestOptions options;
    options.adapter = 1;
    options.process = 2;
    const Bytes length{0x00, 0x10, 0, 0};   // 4 KiB each
    for (int block = 1; block <= 17; ++block) {
        sim::RequestResult r = machine.Request(IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, length, 4, options);
        ASSERT_EQ(r.status, 0u);
        EXPECT_EQ(sim::Dword(r.output, 0) != 0, block <= 16) << "block " << block;
    }
    EXPECT_EQ(Faults(machine), "");
}

// The adapter's bound of 16 MiB: it can be taken whole, in one block or in several, and then not a
// byte more.
TEST(ContiguousBlockLimit, TheWholeBoundAndNotAByteMore) {
    const std::vector<std::vector<uint32_t>> runs = {{16u << 20, 1}, {(16u << 20) - 0x1000, 0x1000, 1}};
    for (const std::vector<uint32_t>& run : runs) {
        sim::Machine machine(TwoAdapters());
        machine.Boot();
        sim::RequestOptions options;
        options.adapter = 1;
        options.process = 2;
        for (size_t i = 0; i < run.size(); ++i) {
            Bytes length{static_cast<uint8_t>(run[i]), static_cast<uint8_t>(run[i] >> 8),
                         static_cast<uint8_t>(run[i] >> 16), static_cast<uint8_t>(run[i] >> 24)};
            sim::RequestResult r = machine.Request(IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, length, 4, options);
            ASSERT_EQ(r.status, 0u);
            EXPECT_EQ(sim::Dword(r.output, 0) != 0, i + 1 < run.size()) << run.size() << " blocks, block " << i;
        }
        EXPECT_EQ(Faults(machine), "");
    }
}

// As many adapters as the driver serves each keep blocks of their own: the last one to ask still
// finds a table for them.
TEST(ContiguousBlockLimit, EveryAdapterOfAFullMachineHasItsOwnBlocks) {
    sim::MachineConfig config;
    config.adapters.assign(::MaxAdapters, sim::AdapterConfig{});
    for (size_t i = 1; i < config.adapters.size(); ++i) config.adapters[i].secondary = true;
    sim::Machine machine(config);
    machine.Boot();
    for (int adapter = static_cast<int>(::MaxAdapters) - 1; adapter >= 0; --adapter) {
        ASSERT_TRUE(machine.Adapter(adapter).started) << adapter;
        sim::RequestOptions options;
        options.adapter = adapter;
        options.process = 2;
        sim::RequestResult r = machine.Request(IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, {0x00, 0x10, 0, 0}, 4, options);
        ASSERT_EQ(r.status, 0u);
        EXPECT_NE(sim::Dword(r.output, 0), 0u) << "adapter " << adapter;
    }
    EXPECT_EQ(Faults(machine), "");
}


// --- Exact buffers: what the platform hands the driver ends where its size ends ----------------------

#if defined(TEST_ASAN)
// Every block of kernel memory (the request's system buffer, a registry value, the child descriptor)
// is as long as asked: under the sanitizer its last byte can be read and the next one cannot.
TEST(ExactBuffers, KernelMemoryEndsAtItsSize) {
    sim::Machine machine(TwoAdapters());
    for (uint32_t size : {1u, 8u, 1031u, 1032u, 4095u, 4096u, 4097u, 65536u, 70001u}) {
        uint32_t address = machine.GetKernel().Space().AllocateMemory(size, "test block");
        auto* bytes = static_cast<volatile uint8_t*>(machine.HostPointer(address));
        EXPECT_FALSE(__asan_address_is_poisoned(const_cast<uint8_t*>(bytes + size - 1))) << size;
        EXPECT_TRUE(__asan_address_is_poisoned(const_cast<uint8_t*>(bytes + size))) << size;
        machine.GetKernel().Space().Free(address);
    }
}
#endif

}  // namespace
