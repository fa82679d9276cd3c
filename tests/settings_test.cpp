// The settings relay as the 3D drivers use it: reads and writes through real requests on the
// simulated registry, the keys each name is routed to, the driver-file check, and what every buffer
// size gets. Requests go to the second adapter, whose device parameters (Device1) are a key of their
// own, so the relay's keys (Device0) and the device parameters can be told apart.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "clients/display_driver.h"
#include "dispatch/control_codes.h"
#include "kernel/regfile.h"
#include "machine/machine.h"
#include "driver_faults.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string SettingsKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0";
// The relay's current-user paths name "\Registry\User\CurrentUser\...", a key the platform does not
// have: the user's own hive (HKEY_CURRENT_USER) is named by the user's security identifier, so those
// paths never open and the machine's values are read. A registry that creates the key under
// HKEY_USERS (as a .reg file can) lets them open.
const std::string UserHiveKey = "HKEY_CURRENT_USER\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0";
const std::string UserKey = "HKEY_USERS\\CurrentUser\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0";
const std::string OpenGlKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\OpenGLDrivers";
const std::string ParameterKey = sim::Machine::DeviceKey(1);
constexpr uint32_t Reply = 1032;

sim::MachineConfig TwoAdapters(const std::vector<std::string>& files = {},
                              sim::AnsiCodePage page = sim::AnsiCodePage::Latin1) {
    sim::AdapterConfig secondary;
    secondary.secondary = true;
    sim::MachineConfig config;
    config.adapters = {sim::AdapterConfig{}, secondary};
    config.checkAliasing = true;
    config.systemFiles = files;
    config.ansiCodePage = page;
    return config;
}

Bytes Utf16(const std::u16string& text) {
    Bytes bytes;
    for (char16_t unit : text) bytes.insert(bytes.end(), {static_cast<uint8_t>(unit), static_cast<uint8_t>(unit >> 8)});
    return bytes;
}

// Hiragana A (two bytes on a Japanese system) `count` times, then `tail`.
std::u16string Kana(size_t count, const std::u16string& tail = u"") { return std::u16string(count, u'\u3042') + tail; }
Bytes KanaBytes(size_t count, const std::string& tail = "") {
    Bytes bytes;
    for (size_t i = 0; i < count; ++i) bytes.insert(bytes.end(), {0x82, 0xA0});
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

Bytes Dword(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

Bytes IdentityRamp() {
    Bytes ramp;
    for (uint32_t i = 0; i < 256; ++i) {
        Bytes entry = Dword(i * 0x010101u);
        ramp.insert(ramp.end(), entry.begin(), entry.end());
    }
    return ramp;
}

Bytes Text(const std::string& text) {
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// The read request's input as a 3D driver fills the shared buffer: the size field at offset 4, then
// the name over it from offset 0.
Bytes ReadInput(const std::string& name, uint32_t sizeField, uint32_t inputLength) {
    Bytes buffer(std::max<size_t>({inputLength, name.size() + 1, 8}), 0);
    for (int i = 0; i < 4; ++i) buffer[4 + i] = static_cast<uint8_t>(sizeField >> (8 * i));
    std::copy(name.begin(), name.end(), buffer.begin());
    buffer[name.size()] = 0;
    buffer.resize(inputLength);
    return buffer;
}

sim::RequestResult Read(sim::Machine& machine, const std::string& name, uint32_t sizeField = 1024,
                        uint32_t inputLength = 0, uint32_t outputLength = Reply) {
    sim::RequestOptions options;
    options.adapter = 1;
    if (inputLength == 0) inputLength = static_cast<uint32_t>(std::max<size_t>(name.size() + 1, 8));
    return machine.Request(IOCTL_VIDEO_READ_SETTING, ReadInput(name, sizeField, inputLength), outputLength, options);
}

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

sim::RequestResult Write(sim::Machine& machine, const Bytes& record) {
    sim::RequestOptions options;
    options.adapter = 1;
    options.presetInformation = 0x5A5A5A5A;
    return machine.Request(IOCTL_VIDEO_WRITE_SETTING, record, 0, options);
}

// The reply's type, size and data bytes.
struct Answer {
    uint32_t status;
    uint32_t type;
    uint32_t size;
    Bytes data;
    bool operator==(const Answer&) const = default;
};

void PrintTo(const Answer& a, std::ostream* out) {
    *out << "status " << a.status << " type " << a.type << " size " << a.size << " data";
    for (uint8_t b : a.data) *out << ' ' << static_cast<int>(b);
}

Answer AnswerOf(const sim::RequestResult& r) {
    if (r.status != 0) return Answer{r.status, 0, 0, {}};
    uint32_t size = sim::Dword(r.output, 4);
    return Answer{r.status, sim::Dword(r.output, 0), size,
                  Bytes(r.output.begin() + 8, r.output.begin() + 8 + std::min<uint32_t>(size, 1024))};
}

// --- Reading --------------------------------------------------------------------------------------

struct ReadCase {
    const char* name;
    std::function<void(sim::Registry&)> registry;
    std::vector<std::string> files;
    std::string setting;
    uint32_t sizeField;
    Answer expected;
    uint32_t outputLength = Reply;
    sim::AnsiCodePage page = sim::AnsiCodePage::Latin1;
};

void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.name; }

class SettingsRead : public testing::TestWithParam<ReadCase> {};

TEST_P(SettingsRead, FindsTheValueWhereTheNameIsRouted) {
    const ReadCase& c = GetParam();
    sim::Machine machine(TwoAdapters(c.files, c.page));
    c.registry(machine.GetRegistry());
    machine.Boot();
    ASSERT_TRUE(machine.Adapter(1).started);
    EXPECT_EQ(AnswerOf(Read(machine, c.setting, c.sizeField, 0, c.outputLength)), c.expected);
    EXPECT_EQ(Faults(machine), "");
}

const std::string Name300 = "Setting" + std::string(293, 'x');
const std::string LongRelayedName = "ZR" + std::string(32764, 'A');

INSTANTIATE_TEST_SUITE_P(
    Names, SettingsRead,
    testing::Values(
        ReadCase{"OpenGlDriverWithItsFile", [](sim::Registry& r) { r.SetString(OpenGlKey, "Zarn", "example.dll"); },
                 {"EXAMPLE.DLL"}, "Zarn", 1024, {0, 1, 12, Text("example.dll")}},
        ReadCase{"OpenGlDriverFileMissingFallsBackToTheParameter",
                 [](sim::Registry& r) {
                     r.SetString(OpenGlKey, "Zarn", "example.dll");
                     r.SetDword(ParameterKey, "Zarn", 9);
                 },
                 {}, "Zarn", 1024, {0, 4, 4, Dword(9)}},
        ReadCase{"OpenGlDriverFileMissingAndNoParameter",
                 [](sim::Registry& r) { r.SetString(OpenGlKey, "Zarn", "example.dll"); }, {}, "Zarn", 1024, {87, 0, 0, {}}},
        ReadCase{"OpenGlDriverNameOf43Characters", [](sim::Registry& r) { r.SetString(OpenGlKey, "Zarn", std::string(39, 'a') + ".dll"); },
                 {std::string(39, 'a') + ".dll"}, "Zarn", 1024, {0, 1, 44, Text(std::string(39, 'a') + ".dll")}},
        ReadCase{"OpenGlDriverNameOf44CharactersIsNotChecked",
                 [](sim::Registry& r) { r.SetString(OpenGlKey, "Zarn", std::string(40, 'a') + ".dll"); },
                 {std::string(40, 'a') + ".dll"}, "Zarn", 1024, {87, 0, 0, {}}},
        ReadCase{"RelayedOnlyUnderTheMachineKey", [](sim::Registry& r) { r.SetDword(SettingsKey, "ZRFoo", 7); }, {},
                 "ZRFoo", 1024, {0, 4, 4, Dword(7)}},
        ReadCase{"UserLumenKeyComesFirst",
                 [](sim::Registry& r) {
                     r.SetDword(SettingsKey, "ZRFoo", 7);
                     r.SetDword(UserKey + "\\Lumen", "ZRFoo", 8);
                 },
                 {}, "ZRFoo", 1024, {0, 4, 4, Dword(8)}},
        ReadCase{"TheUsersOwnHiveIsNeverSearched",
                 [](sim::Registry& r) {
                     r.SetDword(SettingsKey, "ZRFoo", 7);
                     r.SetDword(UserHiveKey + "\\Lumen", "ZRFoo", 8);
                     r.SetDword(UserHiveKey, "ZRFoo", 9);
                 },
                 {}, "ZRFoo", 1024, {0, 4, 4, Dword(7)}},
        ReadCase{"UserD3DKeyBeforeTheMachineKey",
                 [](sim::Registry& r) {
                     r.SetValue(SettingsKey + "\\D3D", "LuMode", 3, {1, 2});
                     r.SetString(UserKey + "\\D3D", "LuMode", "fast");
                 },
                 {}, "LuMode", 1024, {0, 1, 5, Text("fast")}},
        ReadCase{"ExpandableTextStopsTheSearch",
                 [](sim::Registry& r) {
                     r.SetValue(UserKey + "\\Lumen", "ZRFoo", 2, sim::Utf16Bytes("%x%"));
                     r.SetDword(SettingsKey, "ZRFoo", 7);
                     r.SetValue(ParameterKey, "ZRFoo", 3, {5, 6, 7});
                 },
                 {}, "ZRFoo", 1024, {0, 3, 3, {5, 6, 7}}},
        ReadCase{"BinaryLargerThanTheSizeFieldFallsBack",
                 [](sim::Registry& r) {
                     r.SetValue(SettingsKey, "ZRx", 3, Bytes(16, 1));
                     r.SetValue(ParameterKey, "ZRx", 3, Bytes(8, 2));
                 },
                 {}, "ZRx", 8, {0, 3, 8, Bytes(8, 2)}},
        ReadCase{"ParameterLargerThanTheSizeField", [](sim::Registry& r) { r.SetValue(ParameterKey, "Sx", 3, Bytes(9, 2)); },
                 {}, "Sx", 8, {122, 0, 0, {}}},
        ReadCase{"ParameterNamedInLatin1",
                 [](sim::Registry& r) {
                     r.SetDword(ParameterKey, "S?", 1);
                     r.SetDword(ParameterKey, "S\xE9", 2);
                 },
                 {}, "S\xE9", 1024, {0, 4, 4, Dword(2)}},
        ReadCase{"EmptyParameter", [](sim::Registry& r) { r.SetValue(ParameterKey, "Sx", 3, {}); }, {}, "Sx", 1024,
                 {0, 3, 0, {}}},
        ReadCase{"NumberAsText640", [](sim::Registry& r) { r.SetValue(ParameterKey, "KMTC4_Level", 3, Dword(640)); }, {},
                 "KMTC4_Level", 1024, {0, 1, 4, Text("640")}},
        ReadCase{"NumberAsTextZero", [](sim::Registry& r) { r.SetValue(ParameterKey, "KMTC4_Level", 3, Dword(0)); }, {},
                 "KMTC4_Level", 1024, {0, 1, 2, Text("0")}},
        ReadCase{"NumberAsTextFromTwoBytes", [](sim::Registry& r) { r.SetValue(ParameterKey, "KMTC4_Short", 3, {0x80, 2}); },
                 {}, "KMTC4_Short", 1024, {0, 1, 4, Text("640")}},
        ReadCase{"NumberAsTextLargest", [](sim::Registry& r) { r.SetValue(ParameterKey, "KMTC4_Max", 3, Dword(0xFFFFFFFF)); },
                 {}, "KMTC4_Max", 1024, {0, 1, 11, Text("4294967295")}},
        ReadCase{"LumenGammaTableIsAParameter", [](sim::Registry& r) { r.SetValue(UserKey, "LumenGammaTable", 3, {1}); },
                 {}, "LumenGammaTable", 1024, {0, 3, 1024, IdentityRamp()}},
        ReadCase{"ParameterOf1025BytesIsRefused", [](sim::Registry& r) { r.SetValue(ParameterKey, "Big", 3, Bytes(1025, 1)); },
                 {}, "Big", 1024, {87, 0, 0, {}}},
        // Names of at most three letters leave the size field (bytes 4-7) as the requester set it.
        ReadCase{"RelayedBinaryFillingTheReply", [](sim::Registry& r) { r.SetValue(SettingsKey, "ZRx", 3, Bytes(1024, 1)); },
                 {}, "ZRx", 1028, {0, 3, 1024, Bytes(1024, 1)}, Reply + 4},
        ReadCase{"RelayedBinaryLongerThanTheReplyIsNotAnsweredInPart",
                 [](sim::Registry& r) { r.SetValue(SettingsKey, "ZRx", 3, Bytes(1028, 1)); }, {}, "ZRx", 1028,
                 {87, 0, 0, {}}, Reply + 4},
        ReadCase{"RelayedNumberLongerThanTheReplyFallsBack",
                 [](sim::Registry& r) {
                     r.SetValue(SettingsKey, "KMTC4_Big", 4, Bytes(1025, 1));
                     r.SetValue(ParameterKey, "KMTC4_Big", 3, Dword(12));
                 },
                 {}, "KMTC4_Big", 1028, {0, 1, 3, Text("12")}, Reply + 4},
        ReadCase{"ParameterNameInAnyCaseOfLatin1",
                 [](sim::Registry& r) { r.SetDword(ParameterKey, "S\xC9T\xDE", 4); }, {}, "S\xE9t\xFE", 1024,
                 {0, 4, 4, Dword(4)}},
        ReadCase{"DivisionSignIsNoLetter", [](sim::Registry& r) { r.SetDword(ParameterKey, "S\xD7", 1); }, {}, "S\xF7",
                 1024, {87, 0, 0, {}}},
        ReadCase{"YWithDiaeresisHasNoLatin1Capital", [](sim::Registry& r) { r.SetDword(ParameterKey, "S\xDF", 1); }, {},
                 "S\xFF", 1024, {87, 0, 0, {}}},
        ReadCase{"NameOf300CharactersReadsItsFirst255",
                 [](sim::Registry& r) { r.SetDword(ParameterKey, Name300.substr(0, 255), 300); }, {}, Name300, 1024,
                 {0, 4, 4, Dword(300)}},
        ReadCase{"LowerCaseLettersAreNotRelayed", [](sim::Registry& r) { r.SetDword(SettingsKey, "zrFoo", 1); }, {},
                 "zrFoo", 1024, {87, 0, 0, {}}},
        ReadCase{"RelayedTextWithoutItsZeroCharacter",
                 [](sim::Registry& r) { r.SetValue(SettingsKey, "ZRt", 1, {'a', 0, 'b', 0, 'c', 0}); }, {}, "ZRt", 1024,
                 {0, 1, 4, Text("abc")}},
        ReadCase{"RelayedBinaryOneByteLongerThanAnExactReplyFallsBack",
                 [](sim::Registry& r) {
                     r.SetValue(SettingsKey, "ZRx", 3, Bytes(1025, 1));
                     r.SetDword(ParameterKey, "ZRx", 5);
                 },
                 {}, "ZRx", 1028, {0, 4, 4, Dword(5)}},
        ReadCase{"NumberAsTextOfAParameterOf1024Bytes",
                 [](sim::Registry& r) { r.SetValue(ParameterKey, "KMTC4_Big", 3, Bytes(1024, 1)); }, {}, "KMTC4_Big", 1024,
                 {0, 1, 9, Text("16843009")}},
        ReadCase{"NumberAsTextOfAParameterOf1025BytesIsRefused",
                 [](sim::Registry& r) { r.SetValue(ParameterKey, "KMTC4_Big", 3, Bytes(1025, 1)); }, {}, "KMTC4_Big", 1024,
                 {87, 0, 0, {}}},
        // The longest name the platform converts is relayed; one more character and it is a device
        // parameter, read by its first 255 characters.
        ReadCase{"RelayedNameOf32766Characters", [](sim::Registry& r) { r.SetDword(SettingsKey, LongRelayedName, 1); },
                 {}, LongRelayedName, 1024, {0, 4, 4, Dword(1)}},
        ReadCase{"NameOf32767CharactersIsNotRelayed",
                 [](sim::Registry& r) {
                     r.SetDword(SettingsKey, LongRelayedName + "A", 1);
                     r.SetDword(ParameterKey, LongRelayedName.substr(0, 255), 2);
                 },
                 {}, LongRelayedName + "A", 1024, {0, 4, 4, Dword(2)}},
        // On a Japanese system a character can convert to two bytes: text of 1023 bytes and its zero
        // fill the reply; one byte more does not fit, and the device parameter answers.
        ReadCase{"RelayedTextOnAJapaneseSystem", [](sim::Registry& r) { r.SetValue(SettingsKey, "ZRt", 1, Utf16(Kana(1, u"A"))); },
                 {}, "ZRt", 1024, {0, 1, 4, KanaBytes(1, std::string("A\0", 2))}, Reply, sim::AnsiCodePage::ShiftJis},
        ReadCase{"RelayedTextOf1023BytesOnAJapaneseSystem",
                 [](sim::Registry& r) { r.SetValue(SettingsKey, "ZRt", 1, Utf16(Kana(511, u"A"))); }, {}, "ZRt", 1024,
                 {0, 1, 1024, KanaBytes(511, std::string("A\0", 2))}, Reply, sim::AnsiCodePage::ShiftJis},
        ReadCase{"RelayedTextOf1024BytesOnAJapaneseSystemDoesNotFit",
                 [](sim::Registry& r) {
                     r.SetValue(SettingsKey, "ZRt", 1, Utf16(Kana(512)));
                     r.SetDword(ParameterKey, "ZRt", 6);
                 },
                 {}, "ZRt", 1024, {0, 4, 4, Dword(6)}, Reply, sim::AnsiCodePage::ShiftJis},
        // A name holding a double-byte character names no value the registry holds ("ZR?" is another
        // name); the device parameter of the name's bytes answers.
        ReadCase{"RelayedNameWithADoubleByteCharacter",
                 [](sim::Registry& r) {
                     r.SetDword(SettingsKey, "ZR?", 1);
                     r.SetDword(ParameterKey, "ZR\x82\xA0", 5);
                 },
                 {}, "ZR\x82\xA0", 1024, {0, 4, 4, Dword(5)}, Reply, sim::AnsiCodePage::ShiftJis}),
    [](const testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

struct BadRead {
    const char* name;
    Bytes input;
    uint32_t outputLength;
    uint32_t status;
    uint32_t information;
};

class SettingsReadRefused : public testing::TestWithParam<BadRead> {};

// Refused before anything is read from the registry or written to the reply.
TEST_P(SettingsReadRefused, WithoutTouchingTheRegistryOrTheReply) {
    const BadRead& c = GetParam();
    sim::Machine machine(TwoAdapters());
    machine.GetRegistry().SetDword(ParameterKey, "Speed", 1);
    machine.Boot();
    size_t calls = machine.RegistryCalls().size();
    sim::RequestOptions options;
    options.adapter = 1;
    options.presetInformation = 7;
    sim::RequestResult r = machine.Request(IOCTL_VIDEO_READ_SETTING, c.input, c.outputLength, options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, c.information);
    EXPECT_EQ(machine.RegistryCalls().size(), calls);
    EXPECT_EQ(Faults(machine), "");
}

INSTANTIATE_TEST_SUITE_P(Buffers, SettingsReadRefused,
                         testing::Values(BadRead{"OutputOf1031", Text("Speed"), 1031, 122, 1032},
                                         BadRead{"NoOutput", Text("Speed"), 0, 122, 1032},
                                         BadRead{"NameWithoutItsZero", {'S', 'p', 'e', 'e', 'd'}, 1032, 87, 7},
                                         BadRead{"NameRunningToTheEnd", Bytes(2000, 'S'), 1032, 87, 7},
                                         BadRead{"NoInput", {}, 1032, 87, 7}),
                         [](const testing::TestParamInfo<BadRead>& info) { return std::string(info.param.name); });

// --- Writing --------------------------------------------------------------------------------------

struct Stored {
    std::string key;
    std::string name;
    uint32_t type;
    Bytes data;
};

struct WriteCase {
    const char* name;
    bool settingsKey;   // the machine's settings key exists
    Bytes record;
    uint32_t status;
    std::vector<Stored> stored;   // values that must hold these bytes afterwards
    bool registryUnchanged;       // nothing else may change
};

void PrintTo(const WriteCase& c, std::ostream* out) { *out << c.name; }

class SettingsWrite : public testing::TestWithParam<WriteCase> {};

TEST_P(SettingsWrite, StoresWhereTheNameIsRouted) {
    const WriteCase& c = GetParam();
    sim::Machine machine(TwoAdapters());
    machine.Boot();
    if (!c.settingsKey) machine.GetRegistry().DeleteKey(SettingsKey);
    std::string before = sim::SaveRegFile(machine.GetRegistry());
    sim::RequestResult r = Write(machine, c.record);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, 0u);
    for (const Stored& s : c.stored) {
        const sim::RegValue* value = machine.GetRegistry().GetValue(s.key, s.name);
        ASSERT_NE(value, nullptr) << s.key << " " << s.name;
        EXPECT_EQ(value->type, s.type) << s.name;
        EXPECT_EQ(value->data, s.data) << s.name;
    }
    if (c.registryUnchanged) {
        EXPECT_EQ(sim::SaveRegFile(machine.GetRegistry()), before);
    }
    EXPECT_FALSE(machine.GetRegistry().KeyExists(OpenGlKey));
    EXPECT_EQ(Faults(machine), "");
}

Bytes Unterminated(Bytes record) {
    record.pop_back();
    return record;
}


Bytes LongName() {
    Bytes record = WriteRecord("ZRx", 4, Dword(1));
    std::fill(record.begin() + 4, record.begin() + 68, 'Z');
    return record;
}

INSTANTIATE_TEST_SUITE_P(
    Records, SettingsWrite,
    testing::Values(
        WriteCase{"RelayedTextKeepsItsSpace", true, WriteRecord("ZRSpeed", 1, Text(" 42")), 0,
                  {{SettingsKey, "ZRSpeed", 1, sim::Utf16Bytes(" 42")}}, false},
        WriteCase{"RelayedTextWithoutTheKeyIsANumber", false, WriteRecord("ZRSpeed", 1, Text(" 42")), 0,
                  {{ParameterKey, "ZRSpeed", 3, Dword(42)}}, false},
        WriteCase{"RelayedBinary", true, WriteRecord("LuBlob", 3, {1, 2, 3}), 0, {{SettingsKey, "LuBlob", 3, {1, 2, 3}}}, false},
        WriteCase{"RelayedNumber", true, WriteRecord("KMTC4_Level", 4, Dword(640)), 0,
                  {{SettingsKey, "KMTC4_Level", 4, Dword(640)}}, false},
        WriteCase{"GammaNameIsAParameter", true, WriteRecord("LumenGammaTable", 3, Bytes(1024, 9)), 0,
                  {{ParameterKey, "LumenGammaTable", 3, Bytes(1024, 9)}}, false},
        WriteCase{"OpenGlNameIsAParameter", true, WriteRecord("Zarn", 1, Text("12")), 0,
                  {{ParameterKey, "Zarn", 3, Dword(12)}}, false},
        WriteCase{"TextStopsAtALetter", true, WriteRecord("Speed", 1, Text("12ab")), 0, {{ParameterKey, "Speed", 3, Dword(12)}}, false},
        WriteCase{"TextWithASign", true, WriteRecord("Speed", 1, Text("-5")), 0, {{ParameterKey, "Speed", 3, Dword(0)}}, false},
        WriteCase{"TextWraps", true, WriteRecord("Speed", 1, Text("4294967297")), 0, {{ParameterKey, "Speed", 3, Dword(1)}}, false},
        WriteCase{"TextSkipsTabsAndLineFeedsNotReturns", true, WriteRecord("Speed", 1, Text("\t\n7\r")), 0,
                  {{ParameterKey, "Speed", 3, Dword(7)}}, false},
        WriteCase{"RelayedType7WritesNothing", true, WriteRecord("ZRList", 7, {0, 0}), 0, {}, true},
        WriteCase{"ParameterType7IsRefused", true, WriteRecord("List", 7, {0, 0}), 87, {}, true},
        WriteCase{"ShorterThanTheHead", true, Bytes(75, 0), 122, {}, true},
        WriteCase{"ShorterThanItsSize", true, Unterminated(WriteRecord("ZRx", 3, {1, 2})), 122, {}, true},
        WriteCase{"TextWithoutItsZero", true, WriteRecord("ZRx", 1, {'1', '2'}), 122, {}, true},
        WriteCase{"NameFillingItsField", true, LongName(), 87, {}, true}),
    [](const testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.name); });

// --- Round trip -----------------------------------------------------------------------------------

struct RoundTrip {
    std::string name;
    uint32_t type;
    Bytes data;
    Answer readBack;
};

// Every value written through the relay reads back through it, and again after the registry was saved
// as a .reg file and loaded into a machine started afresh.
TEST(SettingsRoundTrip, WrittenValuesReadBackAfterASaveAndALoad) {
    const std::vector<RoundTrip> values = {
        {"ZRText", 1, Text("Hello, world"), {0, 1, 13, Text("Hello, world")}},
        {"LuBytes", 3, {0, 1, 2, 0xFF, 0x80}, {0, 3, 5, {0, 1, 2, 0xFF, 0x80}}},
        {"KMTC4_Number", 4, Dword(0x12345678), {0, 4, 4, Dword(0x12345678)}},
        {"ZREmpty", 3, {}, {0, 3, 0, {}}},
        {"ZRLatin", 1, Text("caf\xE9"), {0, 1, 5, Text("caf\xE9")}},
        {"Speed", 1, Text("1234"), {0, 4, 4, Dword(1234)}},
        {"KMTC4_Text", 4, Dword(77), {0, 4, 4, Dword(77)}},
        {"Blob", 3, Bytes(1024, 0xAB), {0, 3, 1024, Bytes(1024, 0xAB)}},
    };
    sim::Machine first(TwoAdapters());
    first.Boot();
    for (const RoundTrip& v : values) {
        ASSERT_EQ(Write(first, WriteRecord(v.name, v.type, v.data)).status, 0u) << v.name;
        EXPECT_EQ(AnswerOf(Read(first, v.name)), v.readBack) << v.name;
    }
    std::string saved = sim::SaveRegFile(first.GetRegistry());

    sim::Machine second(TwoAdapters());
    std::string error;
    ASSERT_TRUE(sim::LoadRegFile(saved, second.GetRegistry(), &error)) << error;
    second.Boot();
    for (const RoundTrip& v : values) EXPECT_EQ(AnswerOf(Read(second, v.name)), v.readBack) << v.name;
    EXPECT_EQ(sim::SaveRegFile(second.GetRegistry()), saved);
    EXPECT_EQ(Faults(first) + Faults(second), "");
}

// --- Every buffer size ----------------------------------------------------------------------------

// Zero, short, exact and oversized buffers, input and output in one buffer and in two (the machine
// compares both), on names of every class: the driver reads and writes only inside its buffers,
// leaves no handle, string or pool block behind, and reports no output it did not write.
TEST(SettingsAndColourRequests, AnyBufferSizeIsAnsweredSafely) {
    sim::Machine machine(TwoAdapters({"example.dll"}));
    machine.GetRegistry().SetString(OpenGlKey, "Zarn", "example.dll");
    machine.GetRegistry().SetString(UserKey + "\\Lumen", "ZRText", "text");
    machine.GetRegistry().SetValue(ParameterKey, "KMTC4_Level", 3, Dword(5));
    machine.Boot();
    struct Request {
        uint32_t code;
        Bytes input;
        uint32_t output;
    };
    const std::vector<Request> exact = {
        {IOCTL_VIDEO_READ_SETTING, Text("Zarn"), Reply},
        {IOCTL_VIDEO_READ_SETTING, Text("ZRText"), Reply},
        {IOCTL_VIDEO_READ_SETTING, Text("KMTC4_Level"), Reply},
        {IOCTL_VIDEO_READ_SETTING, Text("LumenGammaTable"), Reply},
        {IOCTL_VIDEO_WRITE_SETTING, WriteRecord("ZRText", 1, Text("x")), 0},
        {IOCTL_VIDEO_WRITE_SETTING, WriteRecord("Other", 3, {1, 2, 3}), 0},
        {IOCTL_VIDEO_SET_COLOR_REGISTERS, {2, 0, 7, 0, 1, 2, 3, 0, 4, 5, 6, 0}, 0},
        {IOCTL_VIDEO_SET_GAMMA_TABLE, Bytes(1024, 0x40), 0},
        {IOCTL_VIDEO_GET_GAMMA_TABLE, {}, 1024},
    };
    for (const Request& request : exact) {
        uint32_t in = static_cast<uint32_t>(request.input.size());
        for (uint32_t inputLength : {0u, in / 2, in ? in - 1 : 0, in, in + 1, in + 3000}) {
            for (uint32_t outputLength : {0u, request.output / 2, request.output, request.output + 1, 5000u}) {
                Bytes input = request.input;
                input.resize(inputLength, 0x41);
                sim::RequestOptions options;
                options.adapter = 1;
                sim::RequestResult r = machine.Request(request.code, input, outputLength, options);
                EXPECT_LE(r.output.size(), outputLength);
            }
        }
    }
    EXPECT_EQ(Faults(machine), "");
    EXPECT_EQ(machine.GetKernel().Objects().OpenHandles(), 0u);
    EXPECT_EQ(machine.GetKernel().Objects().LiveStrings(), 0u);
    EXPECT_EQ(machine.GetKernel().Objects().LivePoolBlocks(), 0u);
}

// Without pool memory for the driver-file check nothing is known of the file: the request fails
// rather than answering with the device parameter, as it would for a missing file.
TEST(SettingsRelay, DriverFileCheckWithoutPoolMemoryFailsTheRead) {
    sim::Machine machine(TwoAdapters({"example.dll"}));
    machine.GetRegistry().SetString(OpenGlKey, "Zarn", "example.dll");
    machine.GetRegistry().SetDword(ParameterKey, "Zarn", 9);
    machine.Boot();
    unsigned before = machine.GetKernel().Objects().Save().injector.Calls(sim::PlatformCall::AllocatePool, 1);
    // The relay's own work area first, then the file check's.
    machine.InjectFault(sim::InjectedFault{sim::PlatformCall::AllocatePool, 1, before + 2, 0});
    EXPECT_EQ(AnswerOf(Read(machine, "Zarn")), (Answer{8, 0, 0, {}}));
    EXPECT_EQ(AnswerOf(Read(machine, "Zarn")), (Answer{0, 1, 12, Text("example.dll")}));
    EXPECT_EQ(Faults(machine), "");
}

// Without pool memory for a string conversion the value cannot be looked up or answered: the read
// fails, and neither a later key nor the device parameter answers in its place.
TEST(SettingsRelay, StringConversionWithoutPoolMemoryFailsTheRead) {
    for (sim::PlatformCall call : {sim::PlatformCall::RtlAnsiStringToUnicodeString,
                                   sim::PlatformCall::RtlUnicodeStringToAnsiString}) {
        sim::Machine machine(TwoAdapters());
        machine.GetRegistry().SetString(UserKey, "ZRText", "user");
        machine.GetRegistry().SetString(SettingsKey, "ZRText", "machine");
        machine.GetRegistry().SetDword(ParameterKey, "ZRText", 9);
        machine.Boot();
        unsigned before = machine.GetKernel().Objects().Save().injector.Calls(call, 1);
        machine.InjectFault(sim::InjectedFault{call, 1, before + 1, 0xC000009A});
        EXPECT_EQ(AnswerOf(Read(machine, "ZRText")), (Answer{8, 0, 0, {}})) << sim::PlatformCallName(call);
        EXPECT_EQ(AnswerOf(Read(machine, "ZRText")), (Answer{0, 1, 5, Text("user")})) << sim::PlatformCallName(call);
        EXPECT_EQ(Faults(machine), "");
    }
}

TEST(SettingsRelay, ParameterReadWithoutPoolMemoryFails) {
    sim::Machine machine(TwoAdapters());
    machine.GetRegistry().SetDword(ParameterKey, "Sx", 9);
    machine.Boot();
    unsigned before = machine.GetKernel().Objects().Save().injector.Calls(sim::PlatformCall::AllocatePool, 1);
    machine.InjectFault(sim::InjectedFault{sim::PlatformCall::AllocatePool, 1, before + 1, 0});
    EXPECT_EQ(AnswerOf(Read(machine, "Sx")), (Answer{8, 0, 0, {}}));
    EXPECT_EQ(AnswerOf(Read(machine, "Sx")), (Answer{0, 4, 4, Dword(9)}));
    EXPECT_EQ(machine.GetKernel().Objects().LivePoolBlocks(), 0u);
    EXPECT_EQ(Faults(machine), "");
}

// Text the relay's key could not take (its UTF-16 copy failed) is kept as the device parameter.
TEST(SettingsRelay, RelayedTextThatCannotBeConvertedIsKeptAsAParameter) {
    sim::Machine machine(TwoAdapters());
    machine.Boot();
    unsigned before =
        machine.GetKernel().Objects().Save().injector.Calls(sim::PlatformCall::RtlAnsiStringToUnicodeString, 1);
    // The value name's conversion first, then the text's.
    machine.InjectFault(sim::InjectedFault{sim::PlatformCall::RtlAnsiStringToUnicodeString, 1, before + 2, 0xC0000017});
    EXPECT_EQ(Write(machine, WriteRecord("ZRText", 1, Text("42"))).status, 0u);
    EXPECT_EQ(machine.GetRegistry().GetValue(SettingsKey, "ZRText"), nullptr);
    const sim::RegValue* parameter = machine.GetRegistry().GetValue(ParameterKey, "ZRText");
    ASSERT_NE(parameter, nullptr);
    EXPECT_EQ(parameter->data, Dword(42));
    EXPECT_EQ(machine.GetKernel().Objects().LiveStrings() + machine.GetKernel().Objects().LivePoolBlocks(), 0u);
    EXPECT_EQ(Faults(machine), "");
}

// A platform routine that fails in the middle of the relay's work leaves nothing behind.
TEST(SettingsRelay, FailingPlatformRoutinesLeaveNothingBehind) {
    for (sim::PlatformCall call : {sim::PlatformCall::AllocatePool, sim::PlatformCall::ZwOpenKey,
                                   sim::PlatformCall::ZwQueryValueKey, sim::PlatformCall::ZwSetValueKey,
                                   sim::PlatformCall::ZwCreateFile, sim::PlatformCall::RtlAnsiStringToUnicodeString,
                                   sim::PlatformCall::RtlUnicodeStringToAnsiString}) {
        sim::Machine machine(TwoAdapters({"example.dll"}));
        machine.GetRegistry().SetString(OpenGlKey, "Zarn", "example.dll");
        machine.GetRegistry().SetString(UserKey, "ZRText", "text");
        machine.Boot();
        machine.InjectFault(sim::InjectedFault{call, -1, 0, 0xC000009A});
        Read(machine, "Zarn");
        Read(machine, "ZRText");
        Write(machine, WriteRecord("ZRText", 1, Text("new")));
        machine.Request(IOCTL_VIDEO_GET_GAMMA_TABLE, {}, 1024, sim::RequestOptions{1, 1, 0});
        EXPECT_EQ(Faults(machine), "") << sim::PlatformCallName(call);
        EXPECT_EQ(machine.GetKernel().Objects().OpenHandles() + machine.GetKernel().Objects().LiveStrings() +
                      machine.GetKernel().Objects().LivePoolBlocks(),
                  0u)
            << sim::PlatformCallName(call);
    }
}

}  // namespace
