// The simulated kernel's registry keys, files, handles and counted strings, called as a driver calls
// them: the statuses the platform gives for each argument, and what it reports when a driver leaves
// a handle open, a string allocated or frees what it does not own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "machine/machine.h"
#include "support/code_page.h"
#include "support/text_format.h"

#include "driver_faults.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr NTSTATUS NotADirectory = static_cast<NTSTATUS>(0xC0000103);

// A booted machine and records in its memory, where a driver's records live.
class KernelRoutines : public testing::Test {
protected:
    void SetUp() override {
        machine_.GetRegistry().SetValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn\\Test", "Ten", 3, Bytes(10, 7));
        machine_.GetRegistry().SetDword("HKEY_CURRENT_USER\\Software\\Zarn", "User", 1);
        machine_.GetRegistry().SetDword("HKEY_USERS\\CurrentUser\\Created", "AsWritten", 1);
        machine_.GetRegistry().CreateKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Z\xE4rn\xDF");
        machine_.GetKernel().Objects().AddSystemFile("present.dll");
        machine_.Boot();
        machine_.ClearFaults();
    }

    template <class T>
    T* Allocate(uint32_t size = sizeof(T)) {
        uint32_t address = machine_.GetKernel().Space().AllocateMemory(size, "test record");
        return static_cast<T*>(machine_.HostPointer(address));
    }

    // Object attributes naming `path`, all in machine memory.
    POBJECT_ATTRIBUTES Attributes(const std::string& path) {
        auto* text = Allocate<WCHAR>(static_cast<uint32_t>(2 * path.size() + 2));
        for (size_t i = 0; i <= path.size(); ++i) text[i] = static_cast<unsigned char>(path.c_str()[i]);
        auto* name = Allocate<UNICODE_STRING>();
        RtlInitUnicodeString(name, text);
        auto* attributes = Allocate<OBJECT_ATTRIBUTES>();
        InitializeObjectAttributes(attributes, name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        return attributes;
    }

    PUNICODE_STRING Name(const std::string& text) { return Attributes(text)->ObjectName; }

    std::string Faults() {
        std::string text;
        for (const sim::Fault& fault : machine_.DriverFaults()) text += fault.message + "\n";
        return text;
    }

    sim::Machine machine_;
};

struct OpenCase {
    const char* name;
    std::string path;
    NTSTATUS status;
};

class KernelOpenKey : public KernelRoutines, public testing::WithParamInterface<OpenCase> {};

TEST_P(KernelOpenKey, AnswersAsThePlatform) {
    HANDLE key = nullptr;
    EXPECT_EQ(ZwOpenKey(&key, KEY_READ, Attributes(GetParam().path)), GetParam().status);
    if (GetParam().status == STATUS_SUCCESS) {
        EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    }
    EXPECT_EQ(machine_.GetKernel().Objects().OpenHandles(), 0u);
    EXPECT_EQ(Faults(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, KernelOpenKey,
    testing::Values(OpenCase{"MachineKey", "\\Registry\\Machine\\SOFTWARE\\Zarn\\Test", STATUS_SUCCESS},
                    OpenCase{"AnyCase", "\\REGISTRY\\machine\\software\\ZARN\\test", STATUS_SUCCESS},
                    OpenCase{"ParentOfAKey", "\\Registry\\Machine\\SOFTWARE\\Zarn", STATUS_SUCCESS},
                    OpenCase{"Root", "\\Registry\\Machine", STATUS_SUCCESS},
                    OpenCase{"NoKeyNamedCurrentUser", "\\Registry\\User\\CurrentUser\\Software\\Zarn",
                             STATUS_OBJECT_NAME_NOT_FOUND},
                    OpenCase{"UserHiveBySid", "\\Registry\\User\\" + std::string(sim::SimulatedUserSid) + "\\Software\\Zarn",
                             STATUS_SUCCESS},
                    OpenCase{"UserHiveBySidInAnyCase", "\\registry\\user\\" + sim::LowerAscii(sim::SimulatedUserSid) + "\\SOFTWARE\\zarn",
                             STATUS_SUCCESS},
                    OpenCase{"CurrentUserCreatedUnderUsers", "\\Registry\\User\\CurrentUser\\Created", STATUS_SUCCESS},
                    OpenCase{"Latin1LettersInAnyCase", "\\Registry\\Machine\\SOFTWARE\\z\xC4RN\xDF", STATUS_SUCCESS},
                    OpenCase{"NoCaseBeyondLetters", "\\Registry\\Machine\\SOFTWARE\\Z\xC4rn\xFF", STATUS_OBJECT_NAME_NOT_FOUND},
                    OpenCase{"MachineIsAWholeName", "\\Registry\\MachineX\\SOFTWARE\\Zarn\\Test", STATUS_OBJECT_NAME_NOT_FOUND},
                    OpenCase{"Missing", "\\Registry\\Machine\\SOFTWARE\\Zarn\\Gone", STATUS_OBJECT_NAME_NOT_FOUND},
                    OpenCase{"UserKeyUnderMachine", "\\Registry\\Machine\\Software\\Zarn\\User", STATUS_OBJECT_NAME_NOT_FOUND},
                    OpenCase{"Relative", "Registry\\Machine\\SOFTWARE", STATUS_OBJECT_PATH_SYNTAX_BAD},
                    OpenCase{"NotTheRegistry", "\\Device\\Video0", STATUS_OBJECT_PATH_NOT_FOUND}),
    [](const testing::TestParamInfo<OpenCase>& info) { return std::string(info.param.name); });

// What a device parameter's callback saw, and what it answers.
struct CallbackSeen {
    uint32_t answer = 0;
    bool called = false;
    Bytes data;
    bool endsAtTheValue = true;   // the byte behind the value is no memory (under the sanitizers)
};

VP_STATUS NTAPI RecordingCallback(PVOID, PVOID context, PWSTR, PVOID data, ULONG length) {
    auto* seen = static_cast<CallbackSeen*>(context);
    seen->called = true;
    const auto* bytes = static_cast<const uint8_t*>(data);
    seen->data.assign(bytes, bytes + length);
#if defined(TEST_ASAN)
    if (length) seen->endsAtTheValue = !__asan_address_is_poisoned(bytes + length - 1) && __asan_address_is_poisoned(bytes + length);
#endif
    return seen->answer;
}

struct ParameterCase {
    const char* name;
    size_t length;          // of the stored value
    uint32_t answer;        // the callback's
    uint32_t status;        // VideoPortGetRegistryParameters's
};

class PortRegistryParameters : public KernelRoutines, public testing::WithParamInterface<ParameterCase> {};

// The callback gets a copy of exactly the value's bytes (the sanitizer build stops on a read past
// them), and the routine answers only its documented values whatever the callback answered.
TEST_P(PortRegistryParameters, HandsOverExactlyTheValueAndAnswersOnlyTheDocumentedValues) {
    const ParameterCase& c = GetParam();
    Bytes value(c.length);
    for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>(i * 13 + 1);
    machine_.GetRegistry().SetValue(sim::Machine::DeviceKey(0), "Probe", 3, value);
    auto* name = Allocate<WCHAR>(12);
    for (int i = 0; i < 6; ++i) name[i] = static_cast<WCHAR>("Probe"[i]);
    CallbackSeen seen;
    seen.answer = c.answer;
    EXPECT_EQ(VideoPortGetRegistryParameters(machine_.Extension(0), name, FALSE, RecordingCallback, &seen), c.status);
    EXPECT_TRUE(seen.called);
    EXPECT_EQ(seen.data, value);
    EXPECT_TRUE(seen.endsAtTheValue);
    EXPECT_EQ(Faults(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Values, PortRegistryParameters,
    testing::Values(ParameterCase{"OneByteAccepted", 1, NO_ERROR, NO_ERROR},
                    ParameterCase{"ThreeBytesAccepted", 3, NO_ERROR, NO_ERROR},
                    ParameterCase{"RampAccepted", 1024, NO_ERROR, NO_ERROR},
                    ParameterCase{"RefusedWithAnNtStatus", 1025, 0xC0000001, ERROR_INVALID_PARAMETER},
                    // A Win32 error number handed on as the query routine's NTSTATUS is a success.
                    ParameterCase{"RefusedWithAWin32Error", 5, ERROR_MORE_DATA, NO_ERROR},
                    ParameterCase{"RefusedWithTheDocumentedError", 4, ERROR_INVALID_PARAMETER, NO_ERROR}),
    [](const testing::TestParamInfo<ParameterCase>& info) { return std::string(info.param.name); });

// Under the other reading of a callback's status, any non-zero answer is a refusal.
TEST(PortRegistryParametersRefusalReading, AnyNonZeroAnswerOfTheCallbackIsARefusal) {
    sim::AdapterConfig adapter;
    adapter.callbackStatusIsNtStatus = false;
    sim::MachineConfig config;
    config.adapters = {adapter};
    sim::Machine machine(config);
    machine.GetRegistry().SetValue(sim::Machine::DeviceKey(0), "Probe", 3, Bytes(4, 1));
    machine.Boot();
    auto* name = static_cast<WCHAR*>(machine.HostPointer(machine.GetKernel().Space().AllocateMemory(12, "name")));
    for (int i = 0; i < 6; ++i) name[i] = static_cast<WCHAR>("Probe"[i]);
    for (uint32_t answer : {0u, 234u, 87u, 0xC0000001u}) {   // accepted, ERROR_MORE_DATA, 87, an NTSTATUS error
        CallbackSeen seen;
        seen.answer = answer;
        EXPECT_EQ(VideoPortGetRegistryParameters(machine.Extension(0), name, FALSE, RecordingCallback, &seen),
                  answer == NO_ERROR ? NO_ERROR : ERROR_INVALID_PARAMETER)
            << answer;
        EXPECT_TRUE(seen.called);
    }
}

struct QueryCase {
    ULONG length;
    NTSTATUS status;
    uint32_t dataCopied;
};

class KernelQueryValue : public KernelRoutines, public testing::WithParamInterface<QueryCase> {};

// A 10-byte value into buffers around its 22-byte partial information.
TEST_P(KernelQueryValue, FillsWhatFitsAndSaysWhatIsNeeded) {
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, Attributes("\\Registry\\Machine\\SOFTWARE\\Zarn\\Test")), STATUS_SUCCESS);
    Bytes buffer(GetParam().length + 8, 0xEE);
    ULONG needed = 0;
    EXPECT_EQ(ZwQueryValueKey(key, Name("TEN"), KeyValuePartialInformation, buffer.data(), GetParam().length, &needed),
              GetParam().status);
    EXPECT_EQ(needed, 22u);
    Bytes expected(GetParam().length + 8, 0xEE);
    if (GetParam().length >= 12) {
        Bytes head = {0, 0, 0, 0, 3, 0, 0, 0, 10, 0, 0, 0};
        std::copy(head.begin(), head.end(), expected.begin());
        std::fill_n(expected.begin() + 12, GetParam().dataCopied, 7);
    }
    EXPECT_EQ(buffer, expected);
    ZwClose(key);
}

INSTANTIATE_TEST_SUITE_P(Lengths, KernelQueryValue,
                         testing::Values(QueryCase{0, STATUS_BUFFER_TOO_SMALL, 0},
                                         QueryCase{11, STATUS_BUFFER_TOO_SMALL, 0},
                                         QueryCase{12, STATUS_BUFFER_OVERFLOW, 0},
                                         QueryCase{21, STATUS_BUFFER_OVERFLOW, 9},
                                         QueryCase{22, STATUS_SUCCESS, 10}, QueryCase{1040, STATUS_SUCCESS, 10}));

struct FileCase {
    const char* name;
    std::string path;
    ULONG disposition;
    ULONG options;
    NTSTATUS status;
};

class KernelCreateFile : public KernelRoutines, public testing::WithParamInterface<FileCase> {};

TEST_P(KernelCreateFile, OpensOnlyWhatTheSystemDirectoryHolds) {
    const FileCase& c = GetParam();
    HANDLE file = nullptr;
    auto* io = Allocate<IO_STATUS_BLOCK>();
    NTSTATUS status = ZwCreateFile(&file, GENERIC_READ, Attributes(c.path), io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                   FILE_SHARE_READ, c.disposition, c.options, nullptr, 0);
    EXPECT_EQ(status, c.status);
    if (status == STATUS_SUCCESS) {
        EXPECT_EQ(io->Information, static_cast<ULONG>(FILE_OPENED));
        EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    }
    EXPECT_EQ(Faults(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, KernelCreateFile,
    testing::Values(
        FileCase{"Present", "\\SystemRoot\\System32\\present.dll", FILE_OPEN, FILE_NON_DIRECTORY_FILE, STATUS_SUCCESS},
        FileCase{"AnyCase", "\\SYSTEMROOT\\system32\\PRESENT.DLL", FILE_OPEN, FILE_NON_DIRECTORY_FILE, STATUS_SUCCESS},
        FileCase{"Absent", "\\SystemRoot\\System32\\absent.dll", FILE_OPEN, FILE_NON_DIRECTORY_FILE,
                 STATUS_OBJECT_NAME_NOT_FOUND},
        FileCase{"TheDirectoryAsAFile", "\\SystemRoot\\System32\\", FILE_OPEN, FILE_NON_DIRECTORY_FILE,
                 STATUS_FILE_IS_A_DIRECTORY},
        FileCase{"AFileAsADirectory", "\\SystemRoot\\System32\\present.dll", FILE_OPEN, FILE_DIRECTORY_FILE, NotADirectory},
        FileCase{"FileAndDirectory", "\\SystemRoot\\System32\\present.dll", FILE_OPEN,
                 FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE, STATUS_INVALID_PARAMETER},
        FileCase{"UnknownDisposition", "\\SystemRoot\\System32\\present.dll", 6, 0, STATUS_INVALID_PARAMETER},
        FileCase{"BelowTheDirectory", "\\SystemRoot\\System32\\drivers\\present.dll", FILE_OPEN, 0,
                 STATUS_OBJECT_PATH_NOT_FOUND},
        FileCase{"ElsewhereOnDisk", "\\??\\C:\\present.dll", FILE_OPEN, 0, STATUS_OBJECT_PATH_NOT_FOUND}),
    [](const testing::TestParamInfo<FileCase>& info) { return std::string(info.param.name); });

// Handles belong to the process that opened them; what a driver leaves behind is reported once.
TEST_F(KernelRoutines, ReportsHandlesAndStringsLeftBehindAndForeignHandles) {
    HANDLE key = nullptr;
    machine_.GetKernel().SetCurrentProcess(1);
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, Attributes("\\Registry\\Machine\\SOFTWARE\\Zarn\\Test")), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(key, Name("New"), 0, REG_DWORD, Allocate<ULONG>(), 4), STATUS_ACCESS_DENIED);
    auto* ansi = Allocate<ANSI_STRING>();
    auto* text = Allocate<CHAR>(4);
    std::memcpy(text, "caf\xE9", 4);
    ansi->Length = ansi->MaximumLength = 4;
    ansi->Buffer = text;
    auto* wide = Allocate<UNICODE_STRING>();
    ASSERT_EQ(RtlAnsiStringToUnicodeString(wide, ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(wide->Length, 8u);
    EXPECT_EQ(wide->MaximumLength, 10u);
    EXPECT_EQ(static_cast<PWSTR>(wide->Buffer)[3], u'\u00E9');
    EXPECT_EQ(static_cast<PWSTR>(wide->Buffer)[4], 0);

    machine_.GetKernel().Objects().ReportLeftBehind("HwStartIO");
    machine_.GetKernel().Objects().ReportLeftBehind("HwStartIO");
    EXPECT_EQ(Faults(),
              "ZwOpenKey opened handle 0x10000 to key HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn\\Test without "
              "OBJ_KERNEL_HANDLE in process 1: any thread of that process can use it while it is open\n"
              "HwStartIO returned with a key handle left open (HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn\\Test)\n"
              "HwStartIO returned with a converted string of 10 bytes never freed (leak)\n");

    machine_.ClearFaults();
    machine_.GetKernel().SetCurrentProcess(2);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    RtlFreeUnicodeString(wide);
    EXPECT_EQ(wide->Buffer.address, 0u);
    RtlFreeUnicodeString(Name("not converted"));
    EXPECT_EQ(machine_.GetKernel().Objects().LiveStrings(), 0u);
    EXPECT_EQ(Faults().substr(0, 8), "ZwClose ");
    EXPECT_NE(Faults().find("RtlFreeUnicodeString of "), std::string::npos);
}

// Text beyond what a counted string holds is refused, not cut.
TEST_F(KernelRoutines, ConversionsRefuseTextLongerThanACountedString) {
    auto* ansi = Allocate<ANSI_STRING>();
    ansi->Length = 32767;
    ansi->MaximumLength = 32767;
    ansi->Buffer = Allocate<CHAR>(32767);
    auto* wide = Allocate<UNICODE_STRING>();
    EXPECT_EQ(RtlAnsiStringToUnicodeString(wide, ansi, TRUE), STATUS_INVALID_PARAMETER_2);
    ansi->Length = 32766;
    EXPECT_EQ(RtlAnsiStringToUnicodeString(wide, ansi, TRUE), STATUS_SUCCESS);
    RtlFreeUnicodeString(wide);
    EXPECT_EQ(Faults(), "");
}

// The ANSI code pages, both ways: a Japanese system's characters take one or two bytes.
struct CodePageCase {
    const char* name;
    sim::AnsiCodePage page;
    std::u16string text;
    std::string bytes;
    bool toAnsi = true;      // the text converts to the bytes
    bool toUnicode = true;   // the bytes convert to the text
};

class AnsiConversion : public testing::TestWithParam<CodePageCase> {};

TEST_P(AnsiConversion, ConvertsAsTheCodePageHasIt) {
    const CodePageCase& c = GetParam();
    if (c.toAnsi) {
        EXPECT_EQ(sim::AnsiOfUnicode(c.text, c.page), c.bytes);
    }
    if (c.toUnicode) {
        EXPECT_EQ(sim::UnicodeOfAnsi(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), c.page), c.text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pages, AnsiConversion,
    testing::Values(CodePageCase{"Latin1", sim::AnsiCodePage::Latin1, u"caf\u00E9", "caf\xE9"},
                    CodePageCase{"Latin1HasNoKana", sim::AnsiCodePage::Latin1, u"\u3042", "?", true, false},
                    CodePageCase{"Kana932", sim::AnsiCodePage::ShiftJis, u"A\u3042\uFF71\u30DF\u30E0\u3000",
                                 "A\x82\xA0\xB1\x83\x7E\x83\x80\x81\x40"},
                    CodePageCase{"Kanji932", sim::AnsiCodePage::ShiftJis, u"\u4E00", "\x88\xEA"},
                    CodePageCase{"Unmapped932", sim::AnsiCodePage::ShiftJis, u"\u00E9", "?", true, false},
                    CodePageCase{"LoneLeadByte932", sim::AnsiCodePage::ShiftJis, u"a\u30FB", "a\x82", false},
                    CodePageCase{"UnusedPair932", sim::AnsiCodePage::ShiftJis, u"\u30FB", "\x85\x40", false}),
    [](const testing::TestParamInfo<CodePageCase>& info) { return std::string(info.param.name); });

// A conversion into a buffer too small keeps whole characters: a pair that does not fit is left out.
TEST(AnsiConversionWithin, LeavesOutAPairThatDoesNotFit) {
    const std::string whole("a\x82\xA0\x82\xA0");
    const size_t kept[] = {0, 1, 1, 3, 3, 5, 5};   // bytes kept in a room of 0 to 6 bytes
    for (size_t room = 0; room < std::size(kept); ++room) {
        EXPECT_EQ(sim::AnsiOfUnicodeWithin(u"a\u3042\u3042", sim::AnsiCodePage::ShiftJis, room), whole.substr(0, kept[room]))
            << "room " << room;
    }
}

}  // namespace
