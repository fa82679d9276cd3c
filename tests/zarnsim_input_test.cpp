// zarnsim and bad input: every input file is read up to its bound and refused by name beyond it,
// every error names the file or the script line and the word typed, text from outside reaches the
// terminal escaped, a fault of the driver's code is status 3, and output that cannot be written is
// a clear error after which the registry is still written back.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_runner.h"

namespace {

using clirunner::Outcome;
using clirunner::ReadFile;
using clirunner::RunZarnsim;
using clirunner::TempPath;

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

std::string WriteFile(const std::string& name, const std::string& bytes) {
    std::string path = TempPath(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string Directory() {
    std::string path = TempPath("directory");
    ::mkdir(path.c_str(), 0700);
    return path;
}

// zarn.sys with `code` written over the first bytes of its entry point, or empty without zarn.sys.
std::string ZarnSysWithEntry(const std::string& name, const std::string& code) {
    std::ifstream file(ZARN_SYS, std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (image.size() < 0x400) return "";
    auto at = [&](size_t offset, int bytes) {
        uint32_t value = 0;
        for (int i = 0; i < bytes; ++i) value |= uint32_t{static_cast<uint8_t>(image[offset + i])} << (8 * i);
        return value;
    };
    const uint32_t header = at(0x3C, 4), sections = at(header + 6, 2), optional = at(header + 20, 2);
    const uint32_t entry = at(header + 24 + 16, 4);
    for (uint32_t i = 0; i < sections; ++i) {
        const uint32_t section = header + 24 + optional + 40 * i;
        const uint32_t address = at(section + 12, 4), size = at(section + 16, 4), raw = at(section + 20, 4);
        if (entry >= address && entry < address + size) image.replace(raw + entry - address, code.size(), code);
    }
    return WriteFile(name, image);
}

// zarn.sys with a field of its PE header (an offset from the "PE" signature) set to `value`.
std::string ZarnSysWithHeaderField(const std::string& name, uint32_t offset, uint32_t value, int bytes) {
    std::ifstream file(ZARN_SYS, std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (image.size() < 0x400) return "";
    uint32_t header = 0;
    for (int i = 0; i < 4; ++i) header |= uint32_t{static_cast<uint8_t>(image[0x3C + i])} << (8 * i);
    for (int i = 0; i < bytes; ++i) image[header + offset + i] = static_cast<char>(value >> (8 * i));
    return WriteFile(name, image);
}

// An EDID of a real monitor whose name and serial texts hold terminal control sequences.
std::string EdidWithControlText() {
    std::string edid = ReadFile(ZARN_SOURCE_DIR "/tests/data/edid/eizo-l788.bin");
    edid.replace(72 + 5, 6, "\x1b]0;x\x07");   // the serial text descriptor
    edid.replace(108 + 5, 5, "\x1b[2J\x0a");   // the name descriptor
    unsigned sum = 0;
    for (size_t i = 0; i < 127; ++i) sum += static_cast<uint8_t>(edid[i]);
    edid[127] = static_cast<char>((256 - sum % 256) % 256);
    return WriteFile("control.edid", edid);
}

bool HasControlBytes(const std::string& text) {
    for (unsigned char c : text) {
        if ((c < 0x20 && c != '\n') || c == 0x7F) return true;
    }
    return false;
}

size_t Lines(const std::string& text) { return clirunner::Count(text, "\n"); }

// --- Bad command lines and files ------------------------------------------------------------------

struct InputCase {
    const char* name;
    std::string arguments;
    std::string script;                // standard input
    int status;
    std::vector<std::string> errorHas;   // the one-line error says each; no error when empty
    std::string outputHas;             // empty: nothing on standard output
    bool needsZarnSys = false;
};

void PrintTo(const InputCase& row, std::ostream* out) { *out << row.name; }

// Each row a bad input, or the good one at a bound.
class BadInput : public testing::TestWithParam<InputCase> {};

TEST_P(BadInput, IsRefusedByNameWithItsStatus) {
    const InputCase& row = GetParam();
    if (row.needsZarnSys && !static_cast<bool>(std::ifstream(ZARN_SYS))) GTEST_SKIP() << "zarn.sys was not built";
    Outcome run = RunZarnsim(row.arguments, row.script);
    EXPECT_EQ(run.exitCode, row.status) << run.err;
    for (const std::string& part : row.errorHas) EXPECT_NE(run.err.find(part), std::string::npos) << part << " in " << run.err;
    EXPECT_EQ(Lines(run.err), row.errorHas.empty() ? 0u : 1u) << run.err;
    if (row.outputHas.empty()) {
        EXPECT_EQ(run.out, "");
    } else {
        EXPECT_NE(run.out.find(row.outputHas), std::string::npos) << run.out.substr(0, 300);
    }
}

std::vector<InputCase> InputCases() {
    const std::string dir = Quoted(Directory());
    const std::string rom = Quoted(WriteFile("big.rom", std::string(128 * 1024 + 1, '\0')));
    const std::string fullRom = Quoted(WriteFile("full.rom", std::string(128 * 1024, '\0')));
    const std::string fullGamma = WriteFile("full.gamma", std::string(1024, '\0'));
    const std::string edid = Quoted(WriteFile("big.edid", ReadFile(ZARN_SOURCE_DIR "/tests/data/edid/dell-d3218hn.bin") + "x"));
    const std::string gamma = WriteFile("big.gamma", std::string(1025, '\0'));   // script words take no quotes
    const std::string twoAdapters = "--adapter device=5 --adapter device=9 ";
    return {
        {"RomDevZero", "--adapter rom=/dev/zero run", "", 2, {"option ROM file '/dev/zero' is larger than 131072 bytes"}, ""},
        {"RomOneByteTooLarge", "--adapter rom=" + rom + " run", "", 2, {"option ROM file", "larger than 131072"}, ""},
        {"RomAtTheLimit", "--adapter rom=" + fullRom + " run", "", 0, {}, "Driver entry: status 0"},
        {"RomDirectory", "--adapter rom=" + dir + " run", "", 2, {"option ROM file", "is a directory"}, ""},
        {"EdidDevZero", "--adapter monitor=/dev/zero monitor", "", 2, {"EDID file '/dev/zero' is larger than 256 bytes"}, ""},
        {"EdidOneByteTooLarge", "--adapter monitor=" + edid + " monitor", "", 2, {"EDID file", "larger than 256"}, ""},
        {"EdidDirectory", "--adapter monitor=" + dir + " monitor", "", 2, {"EDID file", "is a directory"}, ""},
        {"ImageDevZero", "--driver /dev/zero run", "", 2, {"driver image '/dev/zero' is larger than"}, ""},
        {"ImageDirectory", "--driver " + dir + " run", "", 2, {"driver image", "is a directory"}, ""},
        {"GammaDevZero", "script -", "gamma /dev/zero\n", 2, {"script line 1", "gamma file '/dev/zero' is larger than 1024"}, ""},
        {"GammaOneByteTooLarge", "script -", "gamma " + gamma + "\n", 2, {"script line 1", "gamma file", "larger than 1024"}, ""},
        {"GammaAtTheLimit", "script -", "gamma " + fullGamma + "\n", 0, {}, ": status 0 NO_ERROR"},
        {"GammaDirectory", "script -", "\ngamma " + Directory() + "\n", 2, {"script line 2", "gamma file", "is a directory"}, ""},
        {"ScriptDirectory", "script " + dir, "", 2, {"script '", "is a directory"}, ""},
        // A fault of the driver's code on the emulated processor is the driver's, not the input's.
        {"ImageWritesAtZero", "--driver " + Quoted(ZarnSysWithEntry("w.sys", std::string("\xA3\0\0\0\0", 5))) + " run", "", 3,
         {"driver fault", "the image wrote 4 bytes at 0x00000000"}, "", true},
        {"ImageInvalidInstruction", "--driver " + Quoted(ZarnSysWithEntry("ud.sys", "\x0F\x0B")) + " run", "", 3,
         {"driver fault", "Invalid instruction"}, "", true},
        // Options that mean nothing, and statuses.
        {"GdbNotLoopback", "--driver " + Quoted(ZARN_SYS) + " --gdb 192.0.2.1:1234 run", "", 2,
         {"--gdb 192.0.2.1:1234", "only a loopback address"}, "", true},
        {"GdbPortBeyondTheLast", "--driver " + Quoted(ZARN_SYS) + " --gdb 127.0.0.1:65536 run", "", 2,
         {"--gdb 127.0.0.1:65536", "from 0 to 65535"}, "", true},
        {"GdbWithoutDriver", "--gdb 127.0.0.1:0 run", "", 2, {"--gdb needs --driver"}, ""},
        {"EmptyMode", "run --mode ''", "", 2, {"--mode", "empty"}, ""},
        {"EmptyScreenshot", "run --mode 640x480x8@60 --screenshot ''", "", 2, {"--screenshot", "empty"}, ""},
        {"EmptyDriver", "--driver '' run", "", 2, {"--driver", "empty"}, ""},
        {"EmptyTrace", "run --trace ''", "", 2, {"--trace", "empty"}, ""},
        // The capture of the connectors: its file is checked before the machine boots; the script
        // starts one capture at a time and ends only one that runs.
        {"EmptyWave", "monitor --wave ''", "", 2, {"--wave", "empty"}, ""},
        {"WaveDirectory", "monitor --wave " + dir, "", 2, {"is a directory"}, ""},
        {"WaveDirectoryInScript", "script -", "wave " + Directory() + "\n", 2, {"script line 1", "is a directory"}, ""},
        {"WaveOffWithoutCapture", "script -", "wave off\n", 2, {"script line 1", "no capture is running"}, ""},
        {"WaveWhileCapturing", "script -", "wave /dev/null\nwave /dev/null\n", 2,
         {"script line 2", "a capture to '/dev/null' is running"}, "line 1: wave: capturing to /dev/null"},
        {"WaveOff", "script -", "wave /dev/null\nwave off\n", 0, {}, "line 2: wave off: saved /dev/null"},
        {"DisplayWithoutMode", "run --display 0", "", 2, {"--display needs --mode"}, ""},
        {"DisplayBeyondAdapters", twoAdapters + "run --mode 640x480x8@60 --display 2", "", 2, {"--display 2", "no such adapter"}, ""},
        {"FaultWithTwoOccurrences", "--fault GetBusData@1@2 run", "", 2, {"--fault GetBusData@1@2", "N must be a number"}, ""},
        {"FaultWithStatusAndMore", "--fault GetBusData=5@1 run", "", 2, {"--fault GetBusData=5@1", "STATUS must be a number"}, ""},
        {"SecondAdapterNotStarted", twoAdapters + "run --mode 640x480x8@60 --display 1", "", 1,
         {"adapter 1 did not start", "640x480x8@60 was not set"}, "Adapter 1"},
        // A leading zero makes no octal number: device=010 is device 10.
        {"DeviceLeadingZero", "--adapter device=010 run", "", 1, {}, "device ID 10 is not one"},
        // Nothing is accepted in silence: each of these meant something else than what it did.
        {"AdapterKeyTwice", "--adapter device=5,device=4 run", "", 2, {"gives device twice"}, ""},
        {"FaultAtCallZero", "--fault MapMemory@0 run", "", 2, {"--fault MapMemory@0", "counts the calls from 1"}, ""},
        {"FaultStatusNoWin32Code", "--fault MapMemory=0xFFFFFFFF run", "", 2, {"MapMemory fails with a Win32 error code"}, ""},
        {"FaultStatusWhereNoneGoes", "--fault GetDeviceBase=5 run", "", 2, {"GetDeviceBase", "takes no =STATUS"}, ""},
        {"ScriptWithAnAdapterThatDidNotStart", "--adapter device=9 script -", "", 1, {"adapter 0 did not start"}, ""},
        {"ProcessCommandsTakeAdapter", "script -", "views adapter=0\nprocess 2 adapter=0\nviews adapter=0\n", 0, {},
         "line 3: views of process 2"},
        {"BudgetWithoutDriver", "--instruction-budget 5 run", "", 2, {"--instruction-budget needs --driver"}, ""},
        {"ImageLoopsAtEntry", "--driver " + Quoted(ZarnSysWithEntry("loop.sys", "\xEB\xFE")) + " --instruction-budget 100000 run",
         "", 3, {"driver fault", "ran more than 100000 instructions"}, "", true},
        // Messages name what they refuse, escaped once.
        {"RegistryFileNameEscaped", "--registry '\x1b[31m\n.reg' run", "", 2, {"\\x1b[31m\\x0a.reg: cannot open"}, ""},
        {"CodePageEscapedOnce", "--code-page '\x1b' run", "", 2, {"must be latin1 or 932, not \\x1b"}, ""},
        {"DebugLevelNotWhole", "--debug-level 3.0 run", "", 2, {"--debug-level", "a whole number from 0 to 3, not 3.0"}, ""},
        {"ImageForAnotherMachine", "--driver " + Quoted(ZarnSysWithHeaderField("amd64.sys", 4, 0x8664, 2)) + " run", "", 2,
         {"Machine 0x00008664 is not i386"}, "", true},
        {"ImageSectionsOffPages", "--driver " + Quoted(ZarnSysWithHeaderField("align.sys", 24 + 32, 0x800, 4)) + " run", "",
         2, {"SectionAlignment 0x00000800 is not a whole number of pages"}, "", true},
        {"ImageWithoutHeaders", "--driver " + Quoted(ZarnSysWithHeaderField("noheaders.sys", 24 + 60, 0, 4)) + " run", "",
         2, {"SizeOfHeaders 0x00000000 and SizeOfImage"}, "", true},
    };
}

INSTANTIATE_TEST_SUITE_P(Cases, BadInput, testing::ValuesIn(InputCases()),
                         [](const testing::TestParamInfo<InputCase>& info) { return info.param.name; });

// --- Bad script lines ---------------------------------------------------------------------------

struct LineCase {
    const char* name;
    std::string lines;   // the bad line is the last
    std::vector<std::string> errorHas;
    std::string errorLacks;
};

void PrintTo(const LineCase& row, std::ostream* out) { *out << row.name; }

class BadScriptLine : public testing::TestWithParam<LineCase> {};

TEST_P(BadScriptLine, NamesTheLineAndTheWordTyped) {
    const LineCase& row = GetParam();
    Outcome run = RunZarnsim("script -", "request IOCTL_VIDEO_QUERY_ADAPTER_ID out=8\n" + row.lines + "\nviews\n");
    EXPECT_EQ(run.exitCode, 2) << run.err;
    const std::string line = "script line " + std::to_string(1 + clirunner::Count(row.lines, "\n") + 1) + ": ";
    EXPECT_EQ(run.err.rfind("zarnsim: " + line, 0), 0u) << run.err;
    for (const std::string& part : row.errorHas) EXPECT_NE(run.err.find(part), std::string::npos) << part << " in " << run.err;
    if (!row.errorLacks.empty()) {
        EXPECT_EQ(run.err.find(row.errorLacks), std::string::npos) << run.err;
    }
    EXPECT_FALSE(HasControlBytes(run.err)) << run.err;
    EXPECT_EQ(Lines(run.err), 1u) << run.err;
    EXPECT_EQ(run.out.find("views of process"), std::string::npos) << "the script went on after the bad line";
}

std::vector<LineCase> LineCases() {
    const std::string tooLong(2 * ((1u << 24) + 1), '0');
    return {
        {"ModeAfterItsProcessEnded", "end-process 1\nmode 0", {"mode: process 1 has ended"}, ""},
        {"InputBeyondTheLimit", "request IOCTL_VIDEO_QUERY_ADAPTER_ID in=" + tooLong + " out=8",
         {"in= holds 16777217 bytes, more than the 16777216"}, ""},
        {"LineBeyondTheLimit", std::string((32u << 20) + (4u << 10) + 1, 'x'), {"longer than 32 MiB and 4 KiB"}, ""},
        {"AdapterOfAProcessCommand", "views adapter=1", {"there is no adapter 1"}, ""},
        {"BinaryValueOddDigits", "write-setting a binary abc", {"binary VALUE", "'abc'"}, "in="},
        {"DwordValueNotANumber", "write-setting a dword 12q", {"dword VALUE", "'12q'"}, ""},
        // Each command echoes the word typed, escaped.
        {"PaletteColour", "palette 0 \x1b[31m", {"RRGGBB", "'\\x1b[31m'"}, ""},
        {"PaletteFirst", "palette \x1b 000000", {"palette FIRST", "'\\x1b'"}, ""},
        {"GammaFile", "gamma \x1b[2J", {"gamma file '\\x1b[2J'"}, ""},
        {"Process", "process \x07", {"process N", "'\\x07'"}, ""},
        {"ReadLength", "read 0x1000 \x1b", {"read LENGTH", "'\\x1b'"}, ""},
        {"WriteHex", "write 0x1000 \x1bz", {"write HEX", "'\\x1bz'"}, ""},
        {"FillByte", "fill 0x1000 4 \x1b", {"fill BYTE", "'\\x1b'"}, ""},
        {"ReadSettingOption", "read-setting Name \x1b=1", {"unexpected '\\x1b=1'"}, ""},
        {"ReadSettingSize", "read-setting Name size=\x1b", {"size=", "'\\x1b'"}, ""},
    };
}

INSTANTIATE_TEST_SUITE_P(Cases, BadScriptLine, testing::ValuesIn(LineCases()),
                         [](const testing::TestParamInfo<LineCase>& info) { return info.param.name; });

// Numbers in a script are read as docs/zarnsim.md documents them: a leading zero is decimal.
TEST(ScriptNumbers, ALeadingZeroIsDecimal) {
    Outcome run = RunZarnsim("script -", "process 010\nprocess 0x10\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "line 1: process 10 (handle 0x00001028)\nline 2: process 16 (handle 0x00001040)\n");
}

// --- Text from outside, as the printers show it ----------------------------------------------------

struct TextCase {
    const char* name;
    std::string arguments;
    std::string script;
    std::string outputHas;   // the text, escaped
    std::string errorHas = "";   // a message on standard error that names it, escaped (none when empty)
};

void PrintTo(const TextCase& row, std::ostream* out) { *out << row.name; }

class TextFromOutside : public testing::TestWithParam<TextCase> {};

TEST_P(TextFromOutside, ReachesTheTerminalEscaped) {
    Outcome run = RunZarnsim(GetParam().arguments, GetParam().script);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find(GetParam().outputHas), std::string::npos) << run.out;
    EXPECT_FALSE(HasControlBytes(run.out)) << run.out;
    EXPECT_FALSE(HasControlBytes(run.err)) << run.err;
    if (GetParam().errorHas.empty()) {
        EXPECT_EQ(run.err, "");
    } else {
        EXPECT_NE(run.err.find(GetParam().errorHas), std::string::npos) << run.err;
    }
}

std::vector<TextCase> TextCases() {
    const std::string monitor = "--adapter monitor=" + Quoted(EdidWithControlText()) + " ";
    // A relayed name in the settings key, a REG_SZ value.
    const std::string registry = Quoted(WriteFile("text.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\"
                                                              "Services\\Zarn\\Device0]\n\"ZRColour\"=\"\x1b[31mred\"\n"));
    return {
        {"ReadSettingTextValue", "--registry " + registry + " script -", "read-setting ZRColour\n", "value \"\\x1b[31mred\""},
        {"SettingNameInResultLines", "script -", "write-setting \x1b]0;t dword 1\nread-setting \x1b]0;t\n",
         "read-setting \\x1b]0;t: status 0"},
        {"MonitorName", monitor + "monitor", "", "name:            \\x1b[2J"},
        {"MonitorSerialText", monitor + "monitor", "", "(\"\\x1b]0;x\\x0727\")"},
        {"MonitorNameInRunReport", monitor + "run", "", "\\x1b[2J (ENC"},
        // A value name a .reg file cannot hold is named as it is, escaped, when it is left out.
        {"LeftOutValueName", "--registry " + Quoted(WriteFile("leftout.reg", "")) + " script -",
         "write-setting \"a\x1b\rb\" dword 1\n", "write-setting a\\x1b\\x0db: status 0",
         "cannot write value 'a\\x1b\\x0db'"},
    };
}

INSTANTIATE_TEST_SUITE_P(Cases, TextFromOutside, testing::ValuesIn(TextCases()),
                         [](const testing::TestParamInfo<TextCase>& info) { return info.param.name; });

// --- Output that cannot be written -----------------------------------------------------------------

// A script with output that fills any pipe many times over, which changes the registry on its last
// line.
std::string LongScriptThatWritesASetting() {
    std::string script;
    for (int i = 0; i < 20000; ++i) script += "request IOCTL_VIDEO_QUERY_ADAPTER_ID out=8\n";
    return script + "write-setting LastLine dword 8\n";
}

struct OutputCase {
    const char* name;
    // A shell command around ZARNSIM, ARGS and REG (the registry file); its reader quits at once.
    std::string command;
    const char* errorHas;
};

void PrintTo(const OutputCase& row, std::ostream* out) { *out << row.name; }

class OutputFailure : public testing::TestWithParam<OutputCase> {};

std::string Replace(std::string text, const std::string& what, const std::string& with) {
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
    return text;
}

// The run stops at the first write that fails, not at the end of the script, and writes back what
// it changed until then.
TEST_P(OutputFailure, StopsTheRunWithAClearErrorAndTheRegistryIsStillWrittenBack) {
    const std::string registry = WriteFile("out.reg", "");
    const std::string script = WriteFile("out.script", LongScriptThatWritesASetting());
    const std::string fifo = TempPath("trace.fifo"), err = TempPath("out.err"), status = TempPath("out.status");
    std::remove(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string command = Replace(GetParam().command, "ZARNSIM", Quoted(ZARNSIM) + " --registry " + Quoted(registry));
    command = Replace(Replace(command, "SCRIPT", Quoted(script)), "FIFO", Quoted(fifo));
    // The exit status of zarnsim itself, not of the pipeline's last command.
    std::string shell = "(" + command + " 2>" + Quoted(err) + "; echo $? >" + Quoted(status) + ") | head -c 1 >/dev/null";
    int raw = std::system(shell.c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(ReadFile(status), "2\n") << ReadFile(err);
    EXPECT_NE(ReadFile(err).find(GetParam().errorHas), std::string::npos) << ReadFile(err);
    EXPECT_EQ(Lines(ReadFile(err)), 1u) << ReadFile(err);
    // Written back with what the driver wrote at boot; a trace fails before the first line.
    EXPECT_NE(ReadFile(registry).find("\"HardwareInformation.MemorySize\"="), std::string::npos) << ReadFile(registry);
    EXPECT_EQ(ReadFile(registry).find("LastLine"), std::string::npos) << "the script ran on after the failed write";
    for (const std::string& path : {registry, script, fifo, err, status}) std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OutputFailure,
    testing::Values(OutputCase{"StandardOutput", "ZARNSIM script SCRIPT", "cannot write standard output: Broken pipe"},
                    OutputCase{"TraceFifo", "(head -c 1 FIFO >/dev/null &) ; ZARNSIM script SCRIPT --trace FIFO >/dev/null",
                               "cannot write the trace to"},
                    OutputCase{"StandardOutputOnAFullDisk", "ZARNSIM script SCRIPT >/dev/full",
                               "cannot write standard output: No space left on device"},
                    OutputCase{"TraceOnAFullDisk", "ZARNSIM script SCRIPT --trace /dev/full >/dev/null",
                               "cannot write the trace to '/dev/full': No space left on device"}),
    [](const testing::TestParamInfo<OutputCase>& info) { return info.param.name; });

// --- A run refused for bad input changes no file ---------------------------------------------------

struct RefusedCase {
    const char* name;
    std::string arguments;   // REG and TRACE stand for the registry file and the trace
    const char* errorHas;
};

void PrintTo(const RefusedCase& row, std::ostream* out) { *out << row.name; }

class RefusedRun : public testing::TestWithParam<RefusedCase> {};

// Every input and output is checked before the machine boots: the registry file (with a comment a
// rewrite would drop) and an earlier trace stay as they were.
TEST_P(RefusedRun, ChangesNoFile) {
    const std::string written = "REGEDIT4\n; kept as written\n";
    const std::string registry = WriteFile("refused.reg", written);
    const std::string trace = WriteFile("refused.trace", "an earlier trace\n");
    Outcome run = RunZarnsim(Replace(Replace(GetParam().arguments, "REG", Quoted(registry)), "TRACE", Quoted(trace)));
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find(GetParam().errorHas), std::string::npos) << run.err;
    EXPECT_EQ(Lines(run.err), 1u) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(ReadFile(registry), written);
    EXPECT_EQ(ReadFile(trace), "an earlier trace\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedRun,
    testing::Values(RefusedCase{"ScriptThatIsNotThere", "--registry REG script /nonexistent.scr --trace TRACE",
                                "cannot open script '/nonexistent.scr'"},
                    RefusedCase{"ModeNotOffered", "--registry REG run --mode 1x1x8@60 --trace TRACE",
                                "--mode 1x1x8@60: adapter 0 does not offer it"},
                    RefusedCase{"ScreenshotInNoDirectory",
                                "--registry REG run --mode 640x480x8@60 --screenshot /nonexistent/x.png --trace TRACE",
                                "/nonexistent/x.png: cannot be created"}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });

// Standard output closed: nothing zarnsim reports could be read, so it refuses to run, saying so on
// standard error; a script read from a closed standard input likewise.
TEST(ClosedStandardDescriptors, AreRefusedBeforeTheMachineRuns) {
    const std::pair<const char*, const char*> cases[] = {{"run >&-", "standard output is closed"},
                                                         {"script - <&-", "standard input is closed"}};
    for (const auto& [arguments, errorHas] : cases) {
        SCOPED_TRACE(arguments);
        const std::string registry = WriteFile("closed.reg", "REGEDIT4\n; kept as written\n");
        const std::string err = TempPath("closed.err");
        int raw = std::system(("'" ZARNSIM "' --registry " + Quoted(registry) + " " + arguments + " 2>" + Quoted(err)).c_str());
        ASSERT_TRUE(WIFEXITED(raw));
        EXPECT_EQ(WEXITSTATUS(raw), 2) << ReadFile(err);
        EXPECT_NE(ReadFile(err).find(errorHas), std::string::npos) << ReadFile(err);
        EXPECT_EQ(ReadFile(registry), "REGEDIT4\n; kept as written\n");
        std::remove(err.c_str());
    }
}

// --- Stop signals -----------------------------------------------------------------------------------

class StopSignal : public testing::TestWithParam<int> {};

// SIGINT, SIGTERM and SIGHUP stop a script waiting for its next line as a failure would: the
// registry is written back with what the run changed, no temporary file is left beside it, and
// zarnsim then ends by the signal, as its parent expects of a program it stopped.
TEST_P(StopSignal, StopsTheRunAndWritesTheRegistryBack) {
    const int signal = GetParam();
    const std::string registry = WriteFile("signal.reg", "");
    const std::string err = TempPath("signal.err");
    int input[2], output[2];
    ASSERT_EQ(::pipe(input), 0);
    ASSERT_EQ(::pipe(output), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(input[0], STDIN_FILENO);
        ::dup2(output[1], STDOUT_FILENO);
        std::FILE* errors = std::fopen(err.c_str(), "w");
        if (errors) ::dup2(::fileno(errors), STDERR_FILENO);
        for (int fd : {input[0], input[1], output[0], output[1]}) ::close(fd);
        ::execl(ZARNSIM, "zarnsim", "--registry", registry.c_str(), "script", "-", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    const std::string line = "write-setting Kept dword 5\n";
    ASSERT_EQ(::write(input[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
    // The line has run once its result is out; the script then waits for its next line. (Bounded:
    // a zarnsim that keeps its output until the end is signalled all the same.)
    std::string out;
    pollfd readable{output[0], POLLIN, 0};
    for (int polls = 0; polls < 3000 && out.find('\n') == std::string::npos; ++polls) {
        char c = 0;
        if (::poll(&readable, 1, 10) == 1 && ::read(output[0], &c, 1) == 1) out.push_back(c);
    }
    EXPECT_EQ(out, "line 1: write-setting Kept: status 0 NO_ERROR\n");
    ASSERT_EQ(::kill(child, signal), 0);
    int status = 0;
    // The signal comes right after the line's result, while zarnsim goes back to wait for the next
    // line: it must end without more input. (Bounded: one that went on waiting is then ended by the
    // end of its input.)
    bool ended = false;
    for (int polls = 0; polls < 3000 && !ended; ++polls) {
        ended = ::waitpid(child, &status, WNOHANG) == child;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(ended) << "zarnsim went on waiting for its next line";
    ::close(input[1]);
    if (!ended) ::waitpid(child, &status, 0);
    ::close(output[0]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "status " << status << ": " << ReadFile(err);
    EXPECT_NE(ReadFile(registry).find("\"Kept\"=hex:05,00,00,00"), std::string::npos) << ReadFile(registry);
    EXPECT_NE(ReadFile(err).find(std::string("stopped by SIG") + sigabbrev_np(signal)), std::string::npos) << ReadFile(err);
    const std::filesystem::path saved(registry);
    for (const auto& entry : std::filesystem::directory_iterator(saved.parent_path())) {
        EXPECT_NE(entry.path().filename().string().rfind("." + saved.filename().string() + ".", 0), 0u)
            << "left behind: " << entry.path();
    }
    std::remove(registry.c_str());
    std::remove(err.c_str());
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int>& info) { return std::string(sigabbrev_np(info.param)); });

}  // namespace
