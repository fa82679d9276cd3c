#include "script.h"

#include <cstdlib>
#include <istream>
#include <ostream>
#include <sstream>
#include <vector>

#include "display.h"
#include "clients/display_driver.h"
#include "json.h"
#include "names.h"

namespace zarnsim {

namespace {

std::vector<std::string> Tokens(const std::string& line) {
    std::vector<std::string> tokens;
    std::istringstream in(line);
    std::string token;
    while (in >> token) {
        if (token[0] == '#') break;
        tokens.push_back(token);
    }
    return tokens;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::vector<uint8_t> ParseHex(int line, const std::string& text, const std::string& what = "in=") {
    if (text.size() % 2) throw ScriptError(line, what + " needs an even number of hex digits");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) throw ScriptError(line, what + " holds something other than hex digits");
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return bytes;
}

uint32_t ParseCount(int line, const std::string& key, const std::string& text, uint32_t max) {
    char* end = nullptr;
    unsigned long long value = text.empty() || text[0] == '-' ? max + 1ull : std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || *end != '\0' || value > max) {
        throw ScriptError(line, key + "= needs a number up to " + std::to_string(max));
    }
    return static_cast<uint32_t>(value);
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

void RunRequest(sim::Machine& machine, int line, const std::vector<std::string>& tokens, uint32_t process, bool json,
                std::ostream& out) {
    if (tokens.size() < 2) throw ScriptError(line, "request needs a control code");
    uint32_t code = 0;
    if (!ParseControlCode(tokens[1], &code)) throw ScriptError(line, "unknown control code '" + tokens[1] + "'");

    std::vector<uint8_t> input;
    uint32_t outputLength = 0;
    sim::RequestOptions options;
    options.process = process;
    for (size_t i = 2; i < tokens.size(); ++i) {
        size_t equals = tokens[i].find('=');
        if (equals == std::string::npos) throw ScriptError(line, "expected key=value, found '" + tokens[i] + "'");
        std::string key = tokens[i].substr(0, equals), value = tokens[i].substr(equals + 1);
        if (key == "in") input = ParseHex(line, value);
        else if (key == "out") outputLength = ParseCount(line, key, value, 1u << 24);
        else if (key == "adapter") options.adapter = static_cast<int>(ParseCount(line, key, value, 64));
        else if (key == "process") options.process = ParseCount(line, key, value, 0xFFFF);
        else throw ScriptError(line, "unknown request option '" + key + "' (in, out, adapter, process)");
    }
    if (static_cast<size_t>(options.adapter) >= machine.AdapterCount()) {
        throw ScriptError(line, "there is no adapter " + std::to_string(options.adapter));
    }
    if (!machine.Adapter(options.adapter).started) {
        throw ScriptError(line, "adapter " + std::to_string(options.adapter) + " did not start");
    }

    const sim::Process* running = machine.FindProcess(options.process);
    if (running && running->ended) throw ScriptError(line, "process " + std::to_string(options.process) + " has ended");

    sim::RequestResult result = machine.Request(code, input, outputLength, options);
    if (json) {
        Json object = Json::Object();
        object.Set("line", line);
        object.Set("status", result.status);
        object.Set("information", result.information);
        object.Set("output", HexBytes(result.output));
        out << object.Dump() << "\n";
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
        if (tokens[i].rfind("adapter=", 0) != 0) throw ScriptError(line, "unexpected '" + tokens[i] + "'");
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
        fields.Set("line", line);
        fields.Set("command", command);
        out << fields.Dump() << "\n";
    } else {
        out << "line " << line << ": " << text << "\n";
    }
}

void RunMode(sim::Machine& machine, int line, const std::vector<std::string>& tokens, bool json, std::ostream& out) {
    if (tokens.size() < 2) throw ScriptError(line, "mode needs a mode index");
    uint32_t index = ParseCount(line, "mode", tokens[1], 0xFFFFFFFF);
    int adapter = AdapterOption(machine, line, tokens, 2);
    sim::ModeSetResult result = sim::SetModeByIndex(machine, adapter, index);
    Json fields = Json::Object();
    fields.Set("status", result.status);
    std::string text = "mode " + std::to_string(index) + ": status " + StatusText(result.status);
    if (result.status == NO_ERROR) {
        sim::DisplayState display = sim::DecodeDisplay(machine.ChipOf(adapter), machine.VideoMemory(adapter).size());
        fields.Set("timing", TimingJson(display));
        text += "; " + TimingText(display);
    }
    Report(out, json, line, "mode", fields, text);
}

void RunReset(sim::Machine& machine, int line, const std::vector<std::string>& tokens, bool json, std::ostream& out) {
    int adapter = AdapterOption(machine, line, tokens, 1);
    bool result = machine.ResetHw(adapter);
    Json fields = Json::Object();
    fields.Set("result", result);
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
    Json fields = Json::Object();
    fields.Set("file", tokens[1]);
    Report(out, json, line, "screenshot", fields, "screenshot: " + tokens[1]);
}

// --- Processes and their memory -------------------------------------------------------------------

constexpr uint32_t MaxProcess = 0xFFFF;
constexpr uint32_t MaxAccessBytes = 1u << 20;

uint32_t Number(int line, const std::string& what, const std::string& text, uint32_t max) {
    char* end = nullptr;
    unsigned long long value = text.empty() || text[0] == '-' ? max + 1ull : std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || *end != '\0' || value > max) {
        throw ScriptError(line, what + " must be a number up to " + std::to_string(max) + ", not '" + text + "'");
    }
    return static_cast<uint32_t>(value);
}

void ExpectArguments(int line, const std::vector<std::string>& tokens, size_t count, const std::string& usage) {
    if (tokens.size() != count + 1) throw ScriptError(line, "usage: " + usage);
}

void CheckRunning(sim::Machine& machine, int line, uint32_t process) {
    const sim::Process* found = machine.FindProcess(process);
    if (found && found->ended) throw ScriptError(line, "process " + std::to_string(process) + " has ended");
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
        address = Number(line, "ADDRESS", tokens[1], 0xFFFFFFFF);
        bytes.resize(Number(line, "LENGTH", tokens[2], MaxAccessBytes));
    } else if (command == "write") {
        ExpectArguments(line, tokens, 2, "write ADDRESS HEX");
        address = Number(line, "ADDRESS", tokens[1], 0xFFFFFFFF);
        bytes = ParseHex(line, tokens[2], "HEX");
    } else {
        ExpectArguments(line, tokens, 3, "fill ADDRESS LENGTH BYTE");
        address = Number(line, "ADDRESS", tokens[1], 0xFFFFFFFF);
        bytes.assign(Number(line, "LENGTH", tokens[2], MaxAccessBytes),
                     static_cast<uint8_t>(Number(line, "BYTE", tokens[3], 0xFF)));
    }
    if (bytes.empty()) throw ScriptError(line, command + " needs at least one byte");
    CheckRunning(machine, line, process);
    bool done = command == "read" ? machine.ProcessRead(process, address, bytes) : machine.ProcessWrite(process, address, bytes);

    Json fields = Json::Object();
    fields.Set("process", process);
    fields.Set("address", address);
    fields.Set("length", static_cast<unsigned>(bytes.size()));
    fields.Set("done", done);
    std::string text = command + " " + std::to_string(bytes.size()) + " bytes at " + Address(address) + " in process " +
                       std::to_string(process);
    if (!done) {
        text += ": access violation (nothing maps it)";
    } else if (command == "read") {
        fields.Set("bytes", HexBytes(bytes));
        text += ": " + HexBytes(bytes);
    }
    Report(out, json, line, command, fields, text);
}

void RunEndProcess(sim::Machine& machine, int line, const std::vector<std::string>& tokens, bool json, std::ostream& out) {
    ExpectArguments(line, tokens, 1, "end-process N");
    uint32_t process = Number(line, "N", tokens[1], MaxProcess);
    CheckRunning(machine, line, process);
    std::vector<sim::View> views = machine.EndProcess(process);
    Json fields = Json::Object();
    fields.Set("process", process);
    fields.Set("viewsRemoved", static_cast<unsigned>(views.size()));
    Report(out, json, line, "end-process", fields,
           "end-process " + std::to_string(process) + ": " + std::to_string(views.size()) + " views removed");
}

void RunViews(sim::Machine& machine, int line, const std::vector<std::string>& tokens, uint32_t process, bool json,
              std::ostream& out) {
    ExpectArguments(line, tokens, 0, "views");
    const sim::Process* found = machine.FindProcess(process);
    Json list = Json::Array();
    std::string text = "views of process " + std::to_string(process) + ":";
    if (found) {
        for (const auto& [base, view] : found->views) {
            Json item = Json::Object();
            item.Set("base", view.base);
            item.Set("size", view.size);
            item.Set("physical", view.physical);
            item.Set("caching", view.caching);
            item.Set("writable", view.writable);
            item.Set("madeBy", view.madeBy);
            list.Push(item);
            text += "\n  " + Address(view.base) + " " + std::to_string(view.size) + " bytes -> physical " +
                    Address(view.physical) + ", " + view.caching + (view.writable ? "" : ", read-only") + " (" +
                    view.madeBy + ")";
        }
    }
    if (!found || found->views.empty()) text += " none";
    Json fields = Json::Object();
    fields.Set("process", process);
    fields.Set("views", list);
    Report(out, json, line, "views", fields, text);
}

}  // namespace

void RunScript(sim::Machine& machine, std::istream& script, bool json, std::ostream& out) {
    std::string text;
    uint32_t process = 1;   // the display driver's process
    for (int line = 1; std::getline(script, text); ++line) {
        std::vector<std::string> tokens = Tokens(text);
        if (tokens.empty()) continue;
        if (tokens[0] == "request") {
            RunRequest(machine, line, tokens, process, json, out);
        } else if (tokens[0] == "process") {
            ExpectArguments(line, tokens, 1, "process N");
            process = Number(line, "N", tokens[1], MaxProcess);
            CheckRunning(machine, line, process);
            Json fields = Json::Object();
            fields.Set("process", process);
            fields.Set("handle", sim::Machine::ProcessHandle(process));
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
        } else {
            throw ScriptError(line, "unknown command '" + tokens[0] +
                                        "' (request, mode, reset, screenshot, process, end-process, read, write, "
                                        "fill, views)");
        }
    }
}

}  // namespace zarnsim
