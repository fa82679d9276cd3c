// The emulated CPU under image code: thunks decode the arguments as each calling convention passes
// them, host routines call back into the image and return to the driver, failures stop the whole
// call with a message that says what happened, and memory and device windows are shared with the
// host.
#include <algorithm>
#include <map>
#include <set>

#include "image_support.h"

namespace {

using namespace image_test;
using Seen = std::vector<uint64_t>;

std::string DllOf(const char* routine) {
    for (const ImportedRoutine& entry : RoutineTable()) {
        if (entry.name == routine) return std::string(entry.dll);
    }
    return "";
}

// The strings an import library's archive holds that may be decorated names: each that starts with
// '_' or '@' at the archive's start or after a NUL or a '/', up to the next NUL.
std::set<std::string> ArchiveNames(const std::vector<char>& archive) {
    std::set<std::string> names;
    for (size_t at = 0; at < archive.size(); ++at) {
        bool starts = at == 0 || archive[at - 1] == '\0' || archive[at - 1] == '/';
        if (!starts || (archive[at] != '_' && archive[at] != '@')) continue;
        names.emplace(archive.begin() + at, std::find(archive.begin() + at, archive.end(), '\0'));
    }
    return names;
}

// The decorated names of a routine in an import library: _Name@N (stdcall), @Name@N (fastcall) or
// _Name (cdecl), as the archive's symbol index lists them.
std::set<std::string> Decorations(const std::set<std::string>& archiveNames, std::string_view name) {
    std::set<std::string> found;
    for (std::string prefix : {"_", "@"}) {
        std::string pattern = prefix + std::string(name);
        for (auto it = archiveNames.lower_bound(pattern); it != archiveNames.end() && it->starts_with(pattern); ++it) {
            std::string rest = it->substr(pattern.size());
            bool bytes = rest.size() > 1 && rest[0] == '@' && rest.find_first_not_of("0123456789", 1) == std::string::npos;
            if (rest.empty() || bytes) found.insert(*it);
        }
    }
    return found;
}

TEST(ImageRoutineTable, AgreesWithTheDecoratedNamesOfThePlatformsImportLibraries) {
    if (std::string(ZARN_MINGW_LIB).empty()) GTEST_SKIP() << "the mingw-w64 import libraries were not found";
    std::map<std::string, std::set<std::string>> namesOf;   // by module, each archive read once
    for (const ImportedRoutine& entry : RoutineTable()) {
        SCOPED_TRACE(std::string(entry.dll) + "!" + std::string(entry.name));
        std::string module(entry.dll.substr(0, entry.dll.find('.')));
        if (!namesOf.count(module)) {
            std::ifstream file(std::string(ZARN_MINGW_LIB) + "/lib" + module + ".a", std::ios::binary);
            std::vector<char> archive((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            ASSERT_FALSE(archive.empty());
            namesOf[module] = ArchiveNames(archive);
        }
        std::string bytes = "@" + std::to_string(entry.argumentBytes);
        std::string expected = entry.convention == Convention::Fastcall ? "@" + std::string(entry.name) + bytes
                               : entry.convention == Convention::Stdcall ? "_" + std::string(entry.name) + bytes
                                                                        : "_" + std::string(entry.name);
        EXPECT_EQ(Decorations(namesOf[module], entry.name), std::set<std::string>{expected});
    }
}

struct ThunkCase {
    const char* routine;
    std::vector<uint32_t> slots;   // stack slots in argument order
    uint32_t ecx;                  // the first argument of a fastcall routine
    std::function<void(PlatformRoutines&, Seen&)> bind;
    Seen expected;
    uint64_t result;               // EDX:EAX the caller sees (EAX only for 32-bit results)
};

void PrintTo(const ThunkCase& row, std::ostream* out) { *out << row.routine; }

class ImageThunks : public testing::TestWithParam<ThunkCase> {};

TEST_P(ImageThunks, DecodeTheArgumentsAsTheCallerPassedThem) {
    const ThunkCase& row = GetParam();
    PlatformRoutines routines;
    Seen seen;
    row.bind(routines, seen);
    RunnerWithScratch scratch(routines);
    Code code;
    code.MovEcx(row.ecx);
    for (auto slot = row.slots.rbegin(); slot != row.slots.rend(); ++slot) code.Push(*slot);
    code.Call(scratch.Thunk(DllOf(row.routine).c_str(), row.routine)).Ret();

    // The caller's own return checks that the routine popped exactly its arguments.
    uint64_t result = scratch.cpu().Call(scratch.Place(code), {});
    EXPECT_EQ(seen, row.expected);
    EXPECT_EQ(row.result >> 32 ? result : result & 0xFFFFFFFF, row.result);
}

INSTANTIATE_TEST_SUITE_P(
    Routines, ImageThunks,
    testing::Values(
        // A PHYSICAL_ADDRESS takes two slots; a UCHAR's slot carries garbage above its byte.
        ThunkCase{"VideoPortGetDeviceBase", {0x81000000, 0xF0000000, 0x00000001, 0x10000, 0xFFFFFF08}, 0,
                  [](PlatformRoutines& p, Seen& s) {
                      p.VideoPortGetDeviceBase = [&s](uint32_t e, uint64_t a, uint32_t l, uint8_t io) {
                          s = {e, a, l, io};
                          return 0x90000000u;
                      };
                  },
                  {0x81000000, 0x1F0000000, 0x10000, 0x08}, 0x90000000},
        // A PHYSICAL_ADDRESS result comes back in EDX:EAX.
        ThunkCase{"MmGetPhysicalAddress", {0x81002000}, 0,
                  [](PlatformRoutines& p, Seen& s) {
                      p.MmGetPhysicalAddress = [&s](uint32_t a) {
                          s = {a};
                          return uint64_t{0x123456000};
                      };
                  },
                  {0x81002000}, 0x123456000},
        // Fastcall: the argument in ECX, nothing on the stack.
        ThunkCase{"ObfDereferenceObject", {}, 0x81003000,
                  [](PlatformRoutines& p, Seen& s) {
                      p.ObfDereferenceObject = [&s](uint32_t object) {
                          s = {object};
                          return 7u;
                      };
                  },
                  {0x81003000}, 7},
        ThunkCase{"IoGetCurrentProcess", {}, 0,
                  [](PlatformRoutines& p, Seen& s) {
                      p.IoGetCurrentProcess = [&s]() {
                          s = {};
                          return 0x81004000u;
                      };
                  },
                  {}, 0x81004000},
        ThunkCase{"ZwCreateFile", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 0,
                  [](PlatformRoutines& p, Seen& s) {
                      p.ZwCreateFile = [&s](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e, uint32_t f,
                                            uint32_t g, uint32_t h, uint32_t i, uint32_t j, uint32_t k) {
                          s = {a, b, c, d, e, f, g, h, i, j, k};
                          return 0xC0000034u;
                      };
                  },
                  {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 0xC0000034}),
    [](const testing::TestParamInfo<ThunkCase>& info) { return info.param.routine; });

// Driver code that keeps a value in EBX across a call of the display data channel helper, which
// calls the driver's line callback `count` times; the callback reads a register through a thunk.
TEST(ImageNestedCalls, AHostRoutineCallsBackHundredsOfTimesAndReturnsToTheDriver) {
    constexpr uint32_t Count = 500;
    PlatformRoutines routines;
    RunnerWithScratch scratch(routines);
    int deepest = 0;
    routines.VideoPortReadRegisterUlong = [&](Address address) {
        deepest = std::max(deepest, scratch.cpu().Depth());
        return address * 2;
    };
    routines.VideoPortDDCMonitorHelper = [&](Address, Address callback, Address, uint32_t count) -> uint8_t {
        uint64_t sum = 0;
        for (uint32_t i = 0; i < count; ++i) sum += static_cast<uint32_t>(scratch.cpu().Call(callback, {i}));
        return sum == uint64_t{Count} * (Count - 1);
    };
    uint32_t callback = scratch.Place(Code()
                                          .Raw({0xFF, 0x74, 0x24, 0x04})   // push dword [esp+4]
                                          .Call(scratch.Thunk("videoprt.sys", "VideoPortReadRegisterUlong"))
                                          .Ret(4),
                                      0x100);
    uint32_t driver = scratch.Place(Code()
                                        .Raw({0x53, 0xBB}).Imm32(0x5550)   // push ebx; mov ebx, 0x5550
                                        .Push(Count).Push(0).Push(callback).Push(0x81000000)
                                        .Call(scratch.Thunk("videoprt.sys", "VideoPortDDCMonitorHelper"))
                                        .Raw({0x01, 0xD8, 0x5B})           // add eax, ebx; pop ebx
                                        .Ret());
    EXPECT_EQ(scratch.cpu().Call(driver, {}) & 0xFFFFFFFF, 0x5551u);
    EXPECT_EQ(deepest, 2);
    EXPECT_EQ(scratch.cpu().Depth(), 0);
}

struct FailureCase {
    const char* description;
    // Places the code and binds the routines; returns the entry to call.
    std::function<uint32_t(RunnerWithScratch&, PlatformRoutines&, bool& reachedAfterCallback)> arrange;
    std::vector<uint32_t> arguments;
    const char* message;
};

void PrintTo(const FailureCase& row, std::ostream* out) { *out << row.description; }

class ImageFailures : public testing::TestWithParam<FailureCase> {};

TEST_P(ImageFailures, EndTheWholeCallSayingWhatHappenedAndTheCpuRunsOn) {
    PlatformRoutines routines;
    RunnerWithScratch scratch(routines);
    bool reachedAfterCallback = false;
    uint32_t healthy = scratch.Place(Code().Raw({0xB8}).Imm32(42).Ret(), 0xF00);
    uint32_t entry = GetParam().arrange(scratch, routines, reachedAfterCallback);
    try {
        scratch.cpu().Call(entry, std::span<const uint32_t>(GetParam().arguments));
        ADD_FAILURE() << "the call succeeded";
    } catch (const std::exception& error) {
        EXPECT_NE(std::string(error.what()).find(GetParam().message), std::string::npos) << error.what();
    }
    EXPECT_FALSE(reachedAfterCallback);
    EXPECT_EQ(scratch.cpu().Depth(), 0);
    EXPECT_EQ(scratch.cpu().Call(healthy, {}) & 0xFFFFFFFF, 42u);
}

uint32_t CallsReadPortUlong(RunnerWithScratch& s) {
    return s.Place(Code().Push(0x3C8).Call(s.Thunk("videoprt.sys", "VideoPortReadPortUlong")).Ret());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ImageFailures,
    testing::Values(
        FailureCase{"reads memory nothing backs",
                    [](RunnerWithScratch& s, PlatformRoutines&, bool&) {
                        return s.Place(Code().Raw({0xA1}).Imm32(0x0BAD0000).Ret());
                    },
                    {}, "the image read 4 bytes at 0x0BAD0000, which nothing backs"},
        FailureCase{"writes its own code",
                    [](RunnerWithScratch& s, PlatformRoutines&, bool&) {
                        return s.Place(Code().Raw({0xC7, 0x05}).Imm32(RunnerWithScratch::CodePage + 0x800).Imm32(1).Ret());
                    },
                    {}, "the image wrote 4 bytes at 0x00400800, which is read-only"},
        FailureCase{"runs data",
                    [](RunnerWithScratch& s, PlatformRoutines&, bool&) {
                        return s.Place(Code().Call(RunnerWithScratch::DataPage).Ret());
                    },
                    {}, "the image ran code at 0x00500000, which is not executable"},
        FailureCase{"divides by zero",
                    [](RunnerWithScratch& s, PlatformRoutines&, bool&) {
                        return s.Place(Code().Raw({0x31, 0xC9, 0xF7, 0xF1}).Ret());   // xor ecx, ecx; div ecx
                    },
                    {}, "CPU exception 0 (divide error)"},
        FailureCase{"overflows its stack",
                    [](RunnerWithScratch& s, PlatformRoutines&, bool&) {
                        return s.Place(Code().Raw({0xE8}).Imm32(0xFFFFFFFB));   // call itself
                    },
                    {}, "the image wrote 4 bytes at 0xF00FFFFC, which nothing backs"},
        FailureCase{"pops too few argument bytes",
                    [](RunnerWithScratch& s, PlatformRoutines&, bool&) { return s.Place(Code().Ret()); },
                    {1}, "returned with the stack 4 bytes lower than its calling convention leaves it"},
        FailureCase{"changes EBX",
                    [](RunnerWithScratch& s, PlatformRoutines&, bool&) {
                        return s.Place(Code().Raw({0xBB}).Imm32(1234).Ret());
                    },
                    {}, "did not preserve EBX"},
        FailureCase{"jumps between the thunks",
                    [](RunnerWithScratch& s, PlatformRoutines&, bool&) {
                        return s.Place(Code().Call(s.runner.Processor().ThunkPage() + 6).Ret());
                    },
                    {}, "inside the thunk page but to no routine"},
        FailureCase{"calls a routine the machine left empty",
                    [](RunnerWithScratch& s, PlatformRoutines&, bool&) { return CallsReadPortUlong(s); },
                    {}, "the image called videoprt.sys!VideoPortReadPortUlong, which this machine does not implement"},
        FailureCase{"a routine of the machine fails",
                    [](RunnerWithScratch& s, PlatformRoutines& p, bool&) {
                        p.VideoPortReadPortUlong = [](Address) -> uint32_t { throw std::runtime_error("the port is gone"); };
                        return CallsReadPortUlong(s);
                    },
                    {}, "the port is gone"},
        FailureCase{"a callback faults",
                    [](RunnerWithScratch& s, PlatformRoutines& p, bool& reached) {
                        uint32_t faulty = s.Place(Code().Raw({0xA1}).Imm32(0x0BAD0000).Ret(4), 0x200);
                        p.VideoPortReadPortUlong = [&s, &reached, faulty](Address port) {
                            s.cpu().Call(faulty, {port});
                            reached = true;
                            return 0u;
                        };
                        return CallsReadPortUlong(s);
                    },
                    {}, "the image read 4 bytes at 0x0BAD0000, which nothing backs"}),
    [](const testing::TestParamInfo<FailureCase>& info) {
        std::string name;
        for (const char* c = info.param.description; *c; ++c) {
            if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
        }
        return name;
    });

// Every outermost call into the image may run a budget of instructions, the calls back into the
// image that its host routines make included: code that runs longer (a loop without end) is a fault
// that says where the code was, the CPU runs on, and the next call has its whole budget again.
struct BudgetCase {
    const char* description;
    uint64_t budget;
    uint32_t callbacks;        // how often the host routine calls back; 0: no host routine
    uint32_t loops;            // rounds of the two-instruction loop in the code called (0: forever)
    const char* message;       // empty: the call returns
};

void PrintTo(const BudgetCase& row, std::ostream* out) { *out << row.description; }

class ImageBudget : public testing::TestWithParam<BudgetCase> {};

TEST_P(ImageBudget, StopsACallThatRunsLongerAndOnlySuchACall) {
    const BudgetCase& row = GetParam();
    PlatformRoutines routines;
    RunnerWithScratch scratch(routines);
    scratch.cpu().SetInstructionBudget(row.budget);
    // mov ecx, loops; dec ecx; jnz back; ret 4: 2 + 2 x loops instructions. Without loops: jmp $.
    Code loop = row.loops ? Code().MovEcx(row.loops).Raw({0x49, 0x75, 0xFD}).Ret(4) : Code().Raw({0xEB, 0xFE});
    uint32_t counted = scratch.Place(loop, 0x100);
    routines.VideoPortDDCMonitorHelper = [&](Address, Address callback, Address, uint32_t count) -> uint8_t {
        for (uint32_t i = 0; i < count; ++i) scratch.cpu().Call(callback, {i});
        return 1;
    };
    uint32_t entry = row.callbacks
                         ? scratch.Place(Code().Push(row.callbacks).Push(0).Push(counted).Push(0)
                                             .Call(scratch.Thunk("videoprt.sys", "VideoPortDDCMonitorHelper"))
                                             .Ret())
                         : scratch.Place(Code().Push(0).Call(counted).Ret());
    uint32_t healthy = scratch.Place(Code().Raw({0xB8}).Imm32(42).Ret(), 0xF00);
    if (*row.message == '\0') {
        EXPECT_NO_THROW(scratch.cpu().Call(entry, {}));
    } else {
        try {
            scratch.cpu().Call(entry, {});
            ADD_FAILURE() << "the call returned";
        } catch (const CpuFault& fault) {
            EXPECT_NE(std::string(fault.what()).find(row.message), std::string::npos) << fault.what();
        }
    }
    EXPECT_EQ(scratch.cpu().Depth(), 0);
    EXPECT_EQ(scratch.cpu().Call(healthy, {}) & 0xFFFFFFFF, 42u);
}

// The direct call: push 0, mov eax, call eax, then mov ecx, 5 rounds of dec and jnz, ret 4, and the
// caller's ret: 16 instructions.
INSTANTIATE_TEST_SUITE_P(
    Budgets, ImageBudget,
    testing::Values(BudgetCase{"ExactlyItsBudget", 16, 0, 5, ""},
                    BudgetCase{"OneInstructionOver", 15, 0, 5, "the image ran more than 15 instructions in one call"},
                    BudgetCase{"ALoopWithoutEnd", 1000, 0, 0, "it was at EIP 0x00400100"},
                    // Each call back runs 12 instructions, within the budget alone but not three together.
                    BudgetCase{"CallbacksCountForTheOutermostCall", 30, 3, 5, "ran more than 30 instructions"}),
    [](const testing::TestParamInfo<BudgetCase>& info) { return info.param.description; });

TEST(ImageCpu, SharesMemoryWithTheHostPageForPage) {
    PlatformRoutines routines;
    RunnerWithScratch scratch(routines);
    std::memcpy(scratch.Data() + 0x10, "\x78\x56\x34\x12", 4);
    // mov eax, [data+0x10]; mov [data+0x20], eax; ret
    uint32_t entry = scratch.Place(Code()
                                       .Raw({0xA1}).Imm32(RunnerWithScratch::DataPage + 0x10)
                                       .Raw({0xA3}).Imm32(RunnerWithScratch::DataPage + 0x20)
                                       .Ret());
    EXPECT_EQ(scratch.cpu().Call(entry, {}) & 0xFFFFFFFF, 0x12345678u);
    EXPECT_EQ(std::memcmp(scratch.Data() + 0x20, "\x78\x56\x34\x12", 4), 0);
}

struct Access {
    char direction;
    uint32_t offset;
    unsigned size;
    uint64_t value;
    bool operator==(const Access&) const = default;
};

class RecordingWindow : public DeviceWindow {
public:
    uint64_t Read(uint32_t offset, unsigned size) override {
        uint64_t value = 0x8877665544332211ull & (size == 8 ? ~0ull : (1ull << (8 * size)) - 1);
        accesses.push_back({'r', offset, size, value});
        return value;
    }
    void Write(uint32_t offset, unsigned size, uint64_t value) override { accesses.push_back({'w', offset, size, value}); }
    std::vector<Access> accesses;
};

struct WindowCase {
    const char* description;
    std::vector<uint8_t> opcode;   // followed by the address of window offset 0x10, then the immediate
    std::vector<uint8_t> immediate;
    Access access;
    uint32_t eax;                  // what the access leaves in EAX (reads)
};

void PrintTo(const WindowCase& row, std::ostream* out) { *out << row.description; }

class DeviceWindows : public testing::TestWithParam<WindowCase> {};

TEST_P(DeviceWindows, SeeEveryAccessAtItsWidth) {
    constexpr uint32_t Window = 0xE0000000;
    PlatformRoutines routines;
    RunnerWithScratch scratch(routines);
    RecordingWindow window;
    scratch.cpu().MapDevice(Window, PageSize, &window);
    Code code;
    code.Raw({0x31, 0xC0});   // xor eax, eax
    code.bytes.insert(code.bytes.end(), GetParam().opcode.begin(), GetParam().opcode.end());
    code.Imm32(Window + 0x10);
    code.bytes.insert(code.bytes.end(), GetParam().immediate.begin(), GetParam().immediate.end());
    uint32_t eax = static_cast<uint32_t>(scratch.cpu().Call(scratch.Place(code.Ret()), {}));
    EXPECT_EQ(window.accesses, std::vector<Access>{GetParam().access});
    EXPECT_EQ(eax, GetParam().eax);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, DeviceWindows,
    testing::Values(WindowCase{"ReadByte", {0x0F, 0xB6, 0x05}, {}, {'r', 0x10, 1, 0x11}, 0x11},
                    WindowCase{"ReadWord", {0x0F, 0xB7, 0x05}, {}, {'r', 0x10, 2, 0x2211}, 0x2211},
                    WindowCase{"ReadDword", {0xA1}, {}, {'r', 0x10, 4, 0x44332211}, 0x44332211},
                    WindowCase{"WriteByte", {0xC6, 0x05}, {0xAB}, {'w', 0x10, 1, 0xAB}, 0},
                    WindowCase{"WriteWord", {0x66, 0xC7, 0x05}, {0xCD, 0xAB}, {'w', 0x10, 2, 0xABCD}, 0},
                    WindowCase{"WriteDword", {0xC7, 0x05}, {0x78, 0x56, 0x34, 0x12}, {'w', 0x10, 4, 0x12345678}, 0}),
    [](const testing::TestParamInfo<WindowCase>& info) { return info.param.description; });

}  // namespace
