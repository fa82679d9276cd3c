#include "script.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <iterator>
#include <map>
#include <set>
#include <ostream>
#include <sstream>
#include <vector>

#include "display.h"
#include "clients/display_driver.h"
#include "dispatch/control_codes.h"
#include "json.h"
#include "monitor_report.h"
#include "names.h"
#include "image/cpu.h"
#include "image/gdb_stub.h"
#include "support/file_read.h"
#include "support/number_text.h"
#include "support/untrusted_text.h"

namespace zarnsim {

namespace {

// Words separated by blanks; a word in double quotes may hold blanks (the quotes are dropped).
std::vector<std::string> Tokens(const std::string& line) {
    std::vector<std::string> tokens;
    size_t at = 0;
    for (;;) {
        at = line.find_first_not_of(" \t\r", at);
        if (at == std::string::npos || line[at] == '#') break;
        if (line[at] == '"') {
            size_t close = line.find('"', at + 1);
            if (close == std::string::npos) close = line.size();
            tokens.push_back(line.substr(at + 1, close - at - 1));
            at = close + 1;
        } else {
            size_t end = line.find_first_of(" \t\r", at);
            if (end == std::string::npos) end = line.size();
            tokens.push_back(line.substr(at, end - at));
            at = end;
        }
    }
    return tokens;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A word of the script as an error message shows it: escaped, and cut short when it is long.
std::string Echo(const std::string& word) {
    constexpr size_t Shown = 40;
    if (word.size() <= Shown) return "'" + sim::TerminalText(word) + "'";
    return "'" + sim::TerminalText(word.substr(0, Shown)) + "...' (" + std::to_string(word.size()) + " characters)";
}

// The most bytes one request's input or output may hold, and so the longest line a script needs:
// 32 MiB and 4 KiB, as docs/zarnsim.md states it.
constexpr uint32_t MaxRequestBytes = 1u << 24;
constexpr size_t MaxLineBytes = 2 * size_t{MaxRequestBytes} + 4096;
static_assert(MaxLineBytes == (32u << 20) + (4u << 10));

std::vector<uint8_t> ParseHex(int line, const std::string& text, const std::string& what) {
    if (text.size() / 2 > MaxRequestBytes) {
        throw ScriptError(line, what + " holds " + std::to_string(text.size() / 2) + " bytes, more than the " +
                                    std::to_string(MaxRequestBytes) + " a request may carry");
    }
    if (text.size() % 2) throw ScriptError(line, what + " needs an even number of hex digits, not " + Echo(text));
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) throw ScriptError(line, what + " holds something other than hex digits: " + Echo(text));
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return bytes;
}

// A number as docs/zarnsim.md documents them: decimal, or hexadecimal after 0x.
uint32_t Number(int line, const std::string& what, const std::string& text, uint32_t max) {
    uint64_t value = 0;
    if (!sim::ParseUnsigned(text, max, &value)) {
        throw ScriptError(line, what + " must be a number up to " + std::to_string(max) + ", not " + Echo(text));
    }
    return static_cast<uint32_t>(value);
}

uint32_t ParseCount(int line, const std::string& key, const std::string& text, uint32_t max) {
    return Number(line, key + "=", text, max);
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t byte : bytes) {
        out.push_back(digits[byte >> 4]);
        out.push_back(digits[byte & 15]);
    }
    return out;
}

// Process numbers are never given twice, so a long script needs many; the handle of the highest,
// 0x1000 + 4 x N, stays clear of NtCurrentProcess (-1).
constexpr uint32_t MaxProcess = 1000000;

// The edits (insert, delete, replace a character) that turn one word into the other; letters
// compare without case.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const bool same = std::toupper(static_cast<unsigned char>(a[i - 1])) == std::toupper(static_cast<unsigned char>(b[j - 1]));
            const size_t next = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = row[j];
            row[j] = next;
        }
    }
    return row[b.size()];
}

// A word is near a name when a quarter of it or less (at least 3 characters) differs.
constexpr size_t NearDivisor = 4;
constexpr size_t NearAtLeast = 3;

// Why a control code is refused: the nearest known names when some are near the word, else every one.
std::string UnknownControlCode(const std::string& word) {
    const std::vector<std::string> names = ControlCodeNames();
    size_t best = SIZE_MAX;
    for (const std::string& name : names) best = std::min(best, EditDistance(word, name));
    const bool near = best <= std::max(NearAtLeast, word.size() / NearDivisor);
    std::string listed;
    for (const std::string& name : names) {
        if (near && EditDistance(word, name) != best) continue;
        listed += (listed.empty() ? "" : ", ") + name;
    }
    return "unknown control code " + Echo(word) + (near ? " (nearest: " : " (known: ") + listed + "; or a number)";
}

void CheckRunning(sim::Machine& machine, int line, uint32_t process) {
    if (machine.GetKernel().HasEnded(process)) throw ScriptError(line, "process " + std::to_string(process) + " has ended");
}

void RunRequest(sim::Machine& machine, int line, const std::vector<std::string>& tokens, uint32_t process, bool json,
                std::ostream& out) {
    if (tokens.size() < 2) throw ScriptError(line, "request needs a control code");
    uint32_t code = 0;
    if (!ParseControlCode(tokens[1], &code)) throw ScriptError(line, UnknownControlCode(tokens[1]));

    std::vector<uint8_t> input;
    uint32_t outputLength = 0;
    sim::RequestOptions options;
    options.process = process;
    for (size_t i = 2; i < tokens.size(); ++i) {
        size_t equals = tokens[i].find('=');
        if (equals == std::string::npos) throw ScriptError(line, "expected key=value, found " + Echo(tokens[i]));
        std::string key = tokens[i].substr(0, equals), value = tokens[i].substr(equals + 1);
        if (key == "in") input = ParseHex(line, value, "in=");
        else if (key == "out") outputLength = ParseCount(line, key, value, MaxRequestBytes);
        else if (key == "adapter") options.adapter = static_cast<int>(ParseCount(line, key, value, 64));
        else if (key == "process") options.process = ParseCount(line, key, value, MaxProcess);
        else throw ScriptError(line, "unknown request option " + Echo(key) + " (in, out, adapter, process)");
    }
    if (static_cast<size_t>(options.adapter) >= machine.AdapterCount()) {
        throw ScriptError(line, "there is no adapter " + std::to_string(options.adapter));
    }
    if (!machine.Adapter(options.adapter).started) {
        throw ScriptError(line, "adapter " + std::to_string(options.adapter) + " did not start");
    }

    CheckRunning(machine, line, options.process);

    sim::RequestResult result = machine.Request(code, input, outputLength, options);
    if (json) {
        Json object = Json::object();
        object["line"] = line;
        object["status"] = result.status;
        object["information"] = result.information;
        object["output"] = HexBytes(result.output);
        out << DumpJson(object) << "\n";
        return;
    }
    out << "line " << line << ": " << ControlCodeName(code) << ": status " << StatusText(result.status)
        << ", information " << result.information << ", output "
        << (result.output.empty() ? "(none)" : HexBytes(result.output)) << "\n";
}

// The adapter=N option of a command, the only option besides its one argument.
int AdapterOption(sim::Machine& machine, int line, const std::vector<std::string>& tokens, size_t first) {
    int adapter = 0;
    for (size_t i = first; i < tokens.size(); ++i) {
        if (tokens[i].rfind("adapter=", 0) != 0) throw ScriptError(line, "unexpected " + Echo(tokens[i]));
        adapter = static_cast<int>(ParseCount(line, "adapter", tokens[i].substr(8), 64));
    }
    if (static_cast<size_t>(adapter) >= machine.AdapterCount()) {
        throw ScriptError(line, "there is no adapter " + std::to_string(adapter));
    }
    if (!machine.Adapter(adapter).started) throw ScriptError(line, "adapter " + std::to_string(adapter) + " did not start");
    return adapter;
}

void Report(std::ostream& out, bool json, int line, const std::string& command, Json fields, const std::string& text) {
    if (json) {
        fields["line"] = line;
        fields["command"] = command;
        out << DumpJson(fields) << "\n";
    } else {
        out << "line " << line << ": " << text << "\n";
    }
}

void RunMode(sim::Machine& machine, int line, const std::vector<std::string>& tokens, bool json, std::ostream& out) {
    if (tokens.size() < 2) throw ScriptError(line, "mode needs a mode index");
    uint32_t index = Number(line, "mode INDEX", tokens[1], 0xFFFFFFFF);
    int adapter = AdapterOption(machine, line, tokens, 2);
    sim::ModeSetResult result = sim::SetModeByIndex(machine, adapter, index);
    Json fields = Json::object();
    fields["status"] = result.status;
    std::string text = "mode " + std::to_string(index) + ": status " + StatusText(result.status);
    if (result.status == NO_ERROR) {
        sim::DisplayState display = sim::DecodeDisplay(machine.ChipOf(adapter), machine.VideoMemory(adapter).size());
        fields["timing"] = TimingJson(display);
        text += "; " + TimingText(display);
    }
    Report(out, json, line, "mode", fields, text);
}

void RunReset(sim::Machine& machine, int line, const std::vector<std::string>& tokens, bool json, std::ostream& out) {
    int adapter = AdapterOption(machine, line, tokens, 1);
    bool result = machine.ResetHw(adapter);
    Json fields = Json::object();
    fields["result"] = result;
    Report(out, json, line, "reset", fields, std::string("reset: HwResetHw returned ") + (result ? "TRUE" : "FALSE"));
}

void RunScreenshot(sim::Machine& machine, int line, const std::vector<std::string>& tokens, bool json,
                   std::ostream& out) {
    if (tokens.size() < 2) throw ScriptError(line, "screenshot needs a file name");
    int adapter = AdapterOption(machine, line, tokens, 2);
    try {
        SaveScreenshot(machine, adapter, tokens[1]);
    } catch (const std::runtime_error& error) {
        throw ScriptError(line, error.what());
    }
    Json fields = Json::object();
    fields["file"] = tokens[1];
    Report(out, json, line, "screenshot", fields, "screenshot: " + sim::TerminalText(tokens[1]));
}


// --- Settings, palette and gamma ramp ---------------------------------------------------------------

constexpr uint32_t SettingReplyBytes = 1032;
constexpr uint32_t SettingHeadBytes = 76;
constexpr uint32_t SettingNameField = 64;

void PutDword(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

std::string TypeName(uint32_t type) {
    switch (type) {
    case 1: return "1 REG_SZ";
    case 3: return "3 REG_BINARY";
    case 4: return "4 REG_DWORD";
    default: return std::to_string(type);
    }
}

// The options after a command's arguments: adapter=N, and the command's own keys.
struct CommandOptions {
    int adapter = 0;
    std::map<std::string, std::string> values;
};

CommandOptions ParseOptions(sim::Machine& machine, int line, const std::vector<std::string>& tokens, size_t first,
                            const std::set<std::string>& keys) {
    CommandOptions options;
    std::vector<std::string> adapterTokens;
    for (size_t i = first; i < tokens.size(); ++i) {
        size_t equals = tokens[i].find('=');
        std::string key = equals == std::string::npos ? "" : tokens[i].substr(0, equals);
        if (key == "adapter") {
            adapterTokens.push_back(tokens[i]);
        } else if (keys.count(key)) {
            options.values[key] = tokens[i].substr(equals + 1);
        } else {
            throw ScriptError(line, "unexpected " + Echo(tokens[i]));
        }
    }
    adapterTokens.insert(adapterTokens.begin(), "");
    options.adapter = AdapterOption(machine, line, adapterTokens, 1);
    return options;
}

// As a 3D driver builds it: one buffer that holds the reply's size field at offset 4 and the name
// from offset 0, so a name of four or more characters covers the size field.
void RunReadSetting(sim::Machine& machine, int line, const std::vector<std::string>& tokens, bool json,
                    std::ostream& out) {
    if (tokens.size() < 2) throw ScriptError(line, "read-setting needs a value name");
    const std::string& name = tokens[1];
    CommandOptions options = ParseOptions(machine, line, tokens, 2, {"size", "in"});
    uint32_t size = options.values.count("size") ? ParseCount(line, "size", options.values["size"], 0xFFFFFFFF) : 1024;
    uint32_t inputLength = options.values.count("in") ? ParseCount(line, "in", options.values["in"], 1u << 20)
                                                      : std::max<uint32_t>(static_cast<uint32_t>(name.size()) + 1, 8);
    std::vector<uint8_t> record(std::max<size_t>(inputLength, std::max<size_t>(name.size() + 1, 8)), 0);
    PutDword(record, 4, size);
    std::copy(name.begin(), name.end(), record.begin());
    record[name.size()] = 0;
    record.resize(inputLength);

    sim::RequestOptions request;
    request.adapter = options.adapter;
    sim::RequestResult result = machine.Request(IOCTL_VIDEO_READ_SETTING, record, SettingReplyBytes, request);
    Json fields = Json::object();
    fields["name"] = name;
    fields["status"] = result.status;
    fields["information"] = result.information;
    std::string text = "read-setting " + sim::TerminalText(name) + ": status " + StatusText(result.status);
    if (result.status == NO_ERROR && result.output.size() >= 8) {
        uint32_t type = sim::Dword(result.output, 0);
        uint32_t bytes = std::min<uint32_t>(sim::Dword(result.output, 4), static_cast<uint32_t>(result.output.size() - 8));
        std::vector<uint8_t> data(result.output.begin() + 8, result.output.begin() + 8 + bytes);
        std::string value = HexBytes(data);
        if (type == 1) value = "\"" + sim::TerminalText(std::string(data.begin(), std::find(data.begin(), data.end(), 0))) + "\"";
        if (type == 4 && bytes == 4) value = Hex32(sim::Dword(data, 0)) + " (" + std::to_string(sim::Dword(data, 0)) + ")";
        fields["type"] = type;
        fields["size"] = sim::Dword(result.output, 4);
        fields["data"] = HexBytes(data);
        text += ", type " + TypeName(type) + ", size " + std::to_string(sim::Dword(result.output, 4)) + ", value " + value;
    }
    Report(out, json, line, "read-setting", fields, text);
}

// TYPE is sz, binary, dword or a number; VALUE is text for sz, a number for dword, hex bytes
// otherwise. The record is the 76-byte head and the data, as a 3D driver sends it.
void RunWriteSetting(sim::Machine& machine, int line, const std::vector<std::string>& tokens, bool json,
                     std::ostream& out) {
    if (tokens.size() < 4) throw ScriptError(line, "write-setting needs a value name, a type and a value");
    const std::string& name = tokens[1];
    if (name.size() >= SettingNameField) throw ScriptError(line, "a setting's name has at most 63 characters");
    uint32_t type = 0;
    if (tokens[2] == "sz") type = 1;
    else if (tokens[2] == "binary") type = 3;
    else if (tokens[2] == "dword") type = 4;
    else type = Number(line, "write-setting TYPE (sz, binary, dword or a number)", tokens[2], 0xFFFFFFFF);
    std::vector<uint8_t> data;
    if (type == 1) {
        data.assign(tokens[3].begin(), tokens[3].end());
        data.push_back(0);
    } else if (type == 4) {
        data.resize(4);
        PutDword(data, 0, Number(line, "the dword VALUE", tokens[3], 0xFFFFFFFF));
    } else {
        data = ParseHex(line, tokens[3], "the " + tokens[2] + " VALUE");
    }
    CommandOptions options = ParseOptions(machine, line, tokens, 4, {});
    std::vector<uint8_t> record(SettingHeadBytes, 0);
    std::copy(name.begin(), name.end(), record.begin() + 4);
    PutDword(record, 68, type);
    PutDword(record, 72, static_cast<uint32_t>(data.size()));
    record.resize(SettingHeadBytes + data.size());
    std::copy(data.begin(), data.end(), record.begin() + SettingHeadBytes);

    sim::RequestOptions request;
    request.adapter = options.adapter;
    sim::RequestResult result = machine.Request(IOCTL_VIDEO_WRITE_SETTING, record, 0, request);
    Json fields = Json::object();
    fields["name"] = name;
    fields["status"] = result.status;
    Report(out, json, line, "write-setting", fields, "write-setting " + sim::TerminalText(name) + ": status " + StatusText(result.status));
}

void RunPalette(sim::Machine& machine, int line, const std::vector<std::string>& tokens, bool json, std::ostream& out) {
    if (tokens.size() < 3) throw ScriptError(line, "palette needs the first entry and at least one colour RRGGBB");
    uint32_t first = Number(line, "palette FIRST", tokens[1], 0xFFFF);
    std::vector<uint32_t> colours;
    size_t i = 2;
    for (; i < tokens.size() && tokens[i].find('=') == std::string::npos; ++i) {
        std::vector<uint8_t> rgb = tokens[i].size() == 6 && tokens[i].find_first_not_of("0123456789abcdefABCDEF") == std::string::npos
                                       ? ParseHex(line, tokens[i], "RRGGBB")
                                       : std::vector<uint8_t>{};
        if (rgb.size() != 3) throw ScriptError(line, "a colour is six hex digits RRGGBB, not " + Echo(tokens[i]));
        colours.push_back(static_cast<uint32_t>(rgb[0]) << 16 | rgb[1] << 8 | rgb[2]);
    }
    CommandOptions options = ParseOptions(machine, line, tokens, i, {});
    uint32_t status = sim::SetPalette(machine, options.adapter, first, colours);
    Json fields = Json::object();
    fields["status"] = status;
    Report(out, json, line, "palette", fields,
           "palette " + std::to_string(colours.size()) + " entries from " + std::to_string(first) + ": status " +
               StatusText(status));
}

// identity, inverse, or a file of 1024 bytes: 256 little-endian entries 0x00RRGGBB.
constexpr size_t GammaFileBytes = 1024;

std::vector<uint32_t> GammaRampOf(int line, const std::string& what) {
    std::vector<uint32_t> ramp(256);
    if (what == "identity" || what == "inverse") {
        for (uint32_t i = 0; i < 256; ++i) ramp[i] = (what == "identity" ? i : 255 - i) * 0x010101u;
        return ramp;
    }
    std::vector<uint8_t> bytes;
    try {
        bytes = sim::ReadBoundedFile("the gamma file", what, GammaFileBytes);
    } catch (const std::invalid_argument& error) {
        throw ScriptError(line, std::string(error.what()) + " (gamma takes identity, inverse or a file of 1024 bytes)");
    }
    if (bytes.size() != GammaFileBytes) {
        throw ScriptError(line, sim::NamedFile("the gamma file", what) + " holds " + std::to_string(bytes.size()) +
                                    " bytes, not 1024 (256 little-endian entries)");
    }
    for (uint32_t i = 0; i < 256; ++i) ramp[i] = sim::Dword(bytes, i * 4);
    return ramp;
}

void RunGamma(sim::Machine& machine, int line, const std::vector<std::string>& tokens, bool json, std::ostream& out) {
    if (tokens.size() < 2) throw ScriptError(line, "gamma needs FILE, identity or inverse");
    std::vector<uint32_t> ramp = GammaRampOf(line, tokens[1]);
    CommandOptions options = ParseOptions(machine, line, tokens, 2, {});
    uint32_t status = sim::SetGammaRamp(machine, options.adapter, ramp);
    Json fields = Json::object();
    fields["status"] = status;
    Report(out, json, line, "gamma", fields, "gamma " + sim::TerminalText(tokens[1]) + ": status " + StatusText(status));
}

// --- Monitor child and power ---

void RunChildren(sim::Machine& machine, int line, const std::vector<std::string>& tokens, bool json, std::ostream& out) {
    int adapter = AdapterOption(machine, line, tokens, 1);
    machine.EnumerateChildren(adapter);
    Json fields = Json::object();
    std::string text = "children:";
    for (const sim::ChildDevice& child : machine.Children(adapter)) {
        text += " " + std::to_string(child.index) + " " + ChildTypeName(child.type) + " " + Hex32(child.uid) + ";";
    }
    if (machine.Children(adapter).empty()) text += " none";
    else text.pop_back();
    fields["children"] = ChildrenJson(machine, adapter);
    Report(out, json, line, "children", fields, text);
}

struct NamedState {
    const char* name;
    uint32_t state;
};
const NamedState powerStates[] = {{"on", 1}, {"standby", 2}, {"suspend", 3}, {"off", 4}, {"hibernate", 5}};

uint32_t PowerDevice(sim::Machine& machine, int line, const std::string& text, int adapter) {
    if (text == "adapter") return sim::Machine::AdapterDevice;
    if (text == "monitor") {
        uint32_t id = machine.MonitorId(adapter);
        if (id == 0) throw ScriptError(line, "adapter " + std::to_string(adapter) + " has no monitor child");
        return id;
    }
    return Number(line, "power DEVICE (monitor, adapter or a number)", text, 0xFFFFFFFF);
}

uint32_t PowerState(int line, const std::string& text) {
    for (const NamedState& named : powerStates) {
        if (text == named.name) return named.state;
    }
    return Number(line, "power STATE (on, standby, suspend, off, hibernate or a number)", text, 0xFFFFFFFF);
}

// The power manager asks first; a refused query vetoes the change, so the set is not sent.
void RunPower(sim::Machine& machine, int line, const std::vector<std::string>& tokens, bool json, std::ostream& out) {
    if (tokens.size() < 3) throw ScriptError(line, "power needs a device (monitor, adapter or a number) and a state");
    int adapter = AdapterOption(machine, line, tokens, 3);
    uint32_t device = PowerDevice(machine, line, tokens[1], adapter);
    uint32_t state = PowerState(line, tokens[2]);
    uint32_t query = machine.QueryPower(adapter, device, state);
    Json fields = Json::object();
    fields["device"] = device;
    fields["state"] = state;
    fields["queryStatus"] = query;
    std::string text = "power " + Hex32(device) + " state " + std::to_string(state) + ": HwGetPowerState " + StatusText(query);
    if (query == NO_ERROR) {
        uint32_t set = machine.SetPower(adapter, device, state);
        fields["setStatus"] = set;
        text += ", HwSetPowerState " + StatusText(set);
        // Hibernating an adapter hibernates the machine, and the machine resumes (Machine::SetPower).
        if (device == sim::Machine::AdapterDevice && state == VideoPowerHibernate && set == NO_ERROR) {
            fields["resumed"] = true;
            text += "; the machine powered off, booted cold and told every adapter on";
        }
    } else {
        text += ", not set";
    }
    std::string power = sim::MonitorPowerName(machine.MonitorPowerOf(adapter));
    fields["monitorPower"] = power;
    Report(out, json, line, "power", fields, text + "; monitor power: " + power);
}

// --- Processes and their memory -------------------------------------------------------------------

constexpr uint32_t MaxAccessBytes = 1u << 20;

void ExpectArguments(int line, const std::vector<std::string>& tokens, size_t count, const std::string& usage) {
    if (tokens.size() != count + 1) throw ScriptError(line, "usage: " + usage);
}

std::string Address(uint32_t address) { return Hex32(address); }

// A read, write or fill of the current process: the bytes read, or a fault line.
void RunMemory(sim::Machine& machine, int line, const std::vector<std::string>& tokens, uint32_t process, bool json,
               std::ostream& out) {
    const std::string& command = tokens[0];
    std::vector<uint8_t> bytes;
    uint32_t address = 0;
    if (command == "read") {
        ExpectArguments(line, tokens, 2, "read ADDRESS LENGTH");
        address = Number(line, command + " ADDRESS", tokens[1], 0xFFFFFFFF);
        bytes.resize(Number(line, command + " LENGTH", tokens[2], MaxAccessBytes));
    } else if (command == "write") {
        ExpectArguments(line, tokens, 2, "write ADDRESS HEX");
        address = Number(line, command + " ADDRESS", tokens[1], 0xFFFFFFFF);
        bytes = ParseHex(line, tokens[2], "write HEX");
    } else {
        ExpectArguments(line, tokens, 3, "fill ADDRESS LENGTH BYTE");
        address = Number(line, command + " ADDRESS", tokens[1], 0xFFFFFFFF);
        bytes.assign(Number(line, command + " LENGTH", tokens[2], MaxAccessBytes),
                     static_cast<uint8_t>(Number(line, command + " BYTE", tokens[3], 0xFF)));
    }
    if (bytes.empty()) throw ScriptError(line, command + " needs at least one byte");
    CheckRunning(machine, line, process);
    bool done = command == "read" ? machine.ProcessRead(process, address, bytes) : machine.ProcessWrite(process, address, bytes);

    Json fields = Json::object();
    fields["process"] = process;
    fields["address"] = address;
    fields["length"] = static_cast<unsigned>(bytes.size());
    fields["done"] = done;
    std::string text = command + " " + std::to_string(bytes.size()) + " bytes at " + Address(address) + " in process " +
                       std::to_string(process);
    if (!done) {
        // A user program (process 2 and up) reaches no kernel address, whatever is mapped there.
        const bool kernelSpace = uint64_t{address} + bytes.size() > sim::KernelSpaceStart;
        text += !sim::Kernel::RunsInKernelMode(process) && kernelSpace ? ": access violation (kernel space, from user mode)"
                                                                       : ": access violation (nothing maps it)";
    } else if (command == "read") {
        fields["bytes"] = HexBytes(bytes);
        text += ": " + HexBytes(bytes);
    }
    Report(out, json, line, command, fields, text);
}

void RunEndProcess(sim::Machine& machine, int line, const std::vector<std::string>& tokens, bool json, std::ostream& out) {
    ExpectArguments(line, tokens, 1, "end-process N");
    uint32_t process = Number(line, tokens[0] + " N", tokens[1], MaxProcess);
    CheckRunning(machine, line, process);
    if (process == sim::Kernel::SystemProcess) throw ScriptError(line, "process 0 is the system's: it never ends");
    if (!machine.FindProcess(process)) {
        throw ScriptError(line, "process " + std::to_string(process) + " never ran (process N starts it)");
    }
    std::vector<sim::View> views = machine.EndProcess(process);
    Json fields = Json::object();
    fields["process"] = process;
    fields["viewsRemoved"] = static_cast<unsigned>(views.size());
    Report(out, json, line, "end-process", fields,
           "end-process " + std::to_string(process) + ": " + std::to_string(views.size()) + " views removed");
}

// One view as `views` lists it.
Json ViewJson(const sim::View& view) {
    Json item = Json::object();
    item["base"] = view.base;
    item["size"] = view.size;
    item["physical"] = view.physical;
    item["caching"] = view.caching;
    item["writable"] = view.writable;
    item["madeBy"] = view.madeBy;
    return item;
}

std::string ViewText(const sim::View& view) {
    return "\n  " + Address(view.base) + " " + std::to_string(view.size) + " bytes -> physical " +
           Address(view.physical) + ", " + view.caching + (view.writable ? "" : ", read-only") + " (" + view.madeBy + ")";
}

// The current process's views, then the mappings in system space (kernel addresses, the same in
// every process, reachable only from kernel mode).
void RunViews(sim::Machine& machine, int line, const std::vector<std::string>& tokens, uint32_t process, bool json,
              std::ostream& out) {
    ExpectArguments(line, tokens, 0, "views");
    const sim::Process* found = machine.FindProcess(process);
    Json list = Json::array();
    std::string text = "views of process " + std::to_string(process) + ":";
    if (found) {
        for (const auto& [base, view] : found->views) {
            list.push_back(ViewJson(view));
            text += ViewText(view);
        }
    }
    if (!found || found->views.empty()) text += " none";
    Json system = Json::array();
    const auto& systemViews = machine.GetKernel().SystemViews();
    text += "\nsystem space:";
    for (const auto& [base, view] : systemViews) {
        system.push_back(ViewJson(view));
        text += ViewText(view);
    }
    if (systemViews.empty()) text += " none";
    Json fields = Json::object();
    fields["process"] = process;
    fields["views"] = list;
    fields["systemSpace"] = system;
    Report(out, json, line, "views", fields, text);
}

// --- The capture of the connectors ---------------------------------------------------------------

void RunWave(int line, const std::vector<std::string>& tokens, WaveFile* wave, bool json, std::ostream& out) {
    ExpectArguments(line, tokens, 1, "wave FILE.vcd, or wave off");
    if (!wave) throw ScriptError(line, "this script cannot capture the connectors");
    Json fields = Json::object();
    if (tokens[1] == "off") {
        if (!wave->Running()) throw ScriptError(line, "no capture is running");
        const std::string path = wave->Path();
        std::string error = wave->Stop(false);
        if (!error.empty()) throw ScriptError(line, "the capture was not saved: " + error);
        fields["file"] = path;
        Report(out, json, line, "wave", fields, "wave off: saved " + sim::TerminalText(path));
        return;
    }
    try {
        wave->Start(tokens[1]);
    } catch (const std::invalid_argument& error) {
        throw ScriptError(line, error.what());
    }
    fields["file"] = tokens[1];
    Report(out, json, line, "wave", fields, "wave: capturing to " + sim::TerminalText(tokens[1]));
}

// The next line of the script, without its line break; false at the end. A line longer than any
// command needs is refused before it is read whole.
bool ReadLine(std::istream& script, int line, std::string* text) {
    text->clear();
    std::streambuf* in = script.rdbuf();
    for (;;) {
        int c = in->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            script.setstate(std::ios::eofbit);
            return !text->empty();
        }
        if (c == '\n') return true;
        if (text->size() == MaxLineBytes) {
            throw ScriptError(line, "the line is longer than 32 MiB and 4 KiB (" + std::to_string(MaxLineBytes) +
                                        " bytes: room for in= of 16 MiB and the words around it)");
        }
        text->push_back(static_cast<char>(c));
    }
}

// The commands of processes and their memory take adapter=N as every command does, though no
// adapter's state is theirs: it must name an adapter of the machine. The words without it.
std::vector<std::string> WithoutAdapterOption(sim::Machine& machine, int line, const std::vector<std::string>& tokens) {
    std::vector<std::string> words;
    for (const std::string& token : tokens) {
        if (token.rfind("adapter=", 0) != 0 || words.empty()) {
            words.push_back(token);
            continue;
        }
        uint32_t adapter = ParseCount(line, "adapter", token.substr(8), 64);
        if (adapter >= machine.AdapterCount()) throw ScriptError(line, "there is no adapter " + std::to_string(adapter));
    }
    return words;
}

bool IsProcessCommand(const std::string& word) {
    return word == "process" || word == "end-process" || word == "read" || word == "write" || word == "fill" ||
           word == "views";
}

// Runs one command line; `process` is the process later lines run in.
void RunLine(sim::Machine& machine, int line, const std::vector<std::string>& given, uint32_t& process, bool json,
             std::ostream& out, WaveFile* wave) {
    const std::vector<std::string> tokens = IsProcessCommand(given[0]) ? WithoutAdapterOption(machine, line, given) : given;
    if (tokens[0] == "request") {
        RunRequest(machine, line, tokens, process, json, out);
    } else if (tokens[0] == "process") {
        ExpectArguments(line, tokens, 1, "process N");
        process = Number(line, tokens[0] + " N", tokens[1], MaxProcess);
        CheckRunning(machine, line, process);
        machine.StartProcess(process);
        Json fields = Json::object();
        fields["process"] = process;
        fields["handle"] = sim::Machine::ProcessHandle(process);
        Report(out, json, line, "process", fields,
               "process " + std::to_string(process) + " (handle " + Hex32(sim::Machine::ProcessHandle(process)) + ")");
    } else if (tokens[0] == "end-process") {
        RunEndProcess(machine, line, tokens, json, out);
    } else if (tokens[0] == "read" || tokens[0] == "write" || tokens[0] == "fill") {
        RunMemory(machine, line, tokens, process, json, out);
    } else if (tokens[0] == "views") {
        RunViews(machine, line, tokens, process, json, out);
    } else if (tokens[0] == "mode") {
        RunMode(machine, line, tokens, json, out);
    } else if (tokens[0] == "reset") {
        RunReset(machine, line, tokens, json, out);
    } else if (tokens[0] == "screenshot") {
        RunScreenshot(machine, line, tokens, json, out);
    } else if (tokens[0] == "read-setting") {
        RunReadSetting(machine, line, tokens, json, out);
    } else if (tokens[0] == "write-setting") {
        RunWriteSetting(machine, line, tokens, json, out);
    } else if (tokens[0] == "palette") {
        RunPalette(machine, line, tokens, json, out);
    } else if (tokens[0] == "gamma") {
        RunGamma(machine, line, tokens, json, out);
    } else if (tokens[0] == "children") {
        RunChildren(machine, line, tokens, json, out);
    } else if (tokens[0] == "power") {
        RunPower(machine, line, tokens, json, out);
    } else if (tokens[0] == "wave") {
        RunWave(line, tokens, wave, json, out);
    } else {
        throw ScriptError(line, "unknown command " + Echo(tokens[0]) +
                                    " (request, mode, reset, screenshot, process, end-process, read, write, "
                                    "fill, views, read-setting, write-setting, palette, gamma, children, power, wave)");
    }
}

}  // namespace

void RunScript(sim::Machine& machine, std::istream& script, bool json, std::ostream& out, WaveFile* wave,
               const std::function<void()>& checkpoint) {
    std::string text;
    uint32_t process = 1;   // the display driver's process, running from the start
    if (!machine.GetKernel().HasEnded(process)) machine.StartProcess(process);
    // What the lines so far wrote is shown before a read that may wait for the next line (a
    // person typing, a program feeding the script): the script is a console.
    auto readLine = [&](int line) {
        if (script.rdbuf()->in_avail() <= 0) out.flush();
        return ReadLine(script, line, &text);
    };
    for (int line = 1; readLine(line); ++line) {
        checkpoint();
        std::vector<std::string> tokens = Tokens(text);
        if (tokens.empty()) continue;
        // Whatever stops a command is reported with its line and the command word.
        try {
            RunLine(machine, line, tokens, process, json, out, wave);
        } catch (const ScriptError&) {
            throw;
        } catch (const sim::image::DebuggerEnded&) {
            throw;
        } catch (const sim::ResourceExhausted& exhausted) {
            throw sim::ResourceExhausted("script line " + std::to_string(line) + " (" + sim::TerminalText(tokens[0]) +
                                         "): " + exhausted.what());
        } catch (const sim::image::CpuFault& fault) {
            throw sim::image::CpuFault("script line " + std::to_string(line) + " (" + sim::TerminalText(tokens[0]) +
                                       "): " + fault.what());
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& error) {
            throw ScriptError(line, sim::TerminalText(tokens[0]) + ": " + error.what());
        }
    }
    checkpoint();
}

}  // namespace zarnsim
