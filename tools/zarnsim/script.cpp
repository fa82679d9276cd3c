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
#include "untrusted_text.h"

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

std::vector<uint8_t> ParseHex(int line, const std::string& text) {
    if (text.size() % 2) throw ScriptError(line, "in= needs an even number of hex digits");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) throw ScriptError(line, "in= holds something other than hex digits");
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

void RunRequest(sim::Machine& machine, int line, const std::vector<std::string>& tokens, bool json,
                std::ostream& out) {
    if (tokens.size() < 2) throw ScriptError(line, "request needs a control code");
    uint32_t code = 0;
    if (!ParseControlCode(tokens[1], &code)) throw ScriptError(line, "unknown control code '" + TerminalText(tokens[1]) + "'");

    std::vector<uint8_t> input;
    uint32_t outputLength = 0;
    sim::RequestOptions options;
    for (size_t i = 2; i < tokens.size(); ++i) {
        size_t equals = tokens[i].find('=');
        if (equals == std::string::npos) throw ScriptError(line, "expected key=value, found '" + TerminalText(tokens[i]) + "'");
        std::string key = tokens[i].substr(0, equals), value = tokens[i].substr(equals + 1);
        if (key == "in") input = ParseHex(line, value);
        else if (key == "out") outputLength = ParseCount(line, key, value, 1u << 24);
        else if (key == "adapter") options.adapter = static_cast<int>(ParseCount(line, key, value, 64));
        else if (key == "process") options.process = ParseCount(line, key, value, 0xFFFF);
        else throw ScriptError(line, "unknown request option '" + TerminalText(key) + "' (in, out, adapter, process)");
    }
    if (static_cast<size_t>(options.adapter) >= machine.AdapterCount()) {
        throw ScriptError(line, "there is no adapter " + std::to_string(options.adapter));
    }
    if (!machine.Adapter(options.adapter).started) {
        throw ScriptError(line, "adapter " + std::to_string(options.adapter) + " did not start");
    }

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
        if (tokens[i].rfind("adapter=", 0) != 0) throw ScriptError(line, "unexpected '" + TerminalText(tokens[i]) + "'");
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
    uint32_t index = ParseCount(line, "mode", tokens[1], 0xFFFFFFFF);
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
    Report(out, json, line, "screenshot", fields, "screenshot: " + tokens[1]);
}

}  // namespace

void RunScript(sim::Machine& machine, std::istream& script, bool json, std::ostream& out) {
    std::string text;
    for (int line = 1; std::getline(script, text); ++line) {
        std::vector<std::string> tokens = Tokens(text);
        if (tokens.empty()) continue;
        if (tokens[0] == "request") {
            RunRequest(machine, line, tokens, json, out);
        } else if (tokens[0] == "mode") {
            RunMode(machine, line, tokens, json, out);
        } else if (tokens[0] == "reset") {
            RunReset(machine, line, tokens, json, out);
        } else if (tokens[0] == "screenshot") {
            RunScreenshot(machine, line, tokens, json, out);
        } else {
            throw ScriptError(line, "unknown command '" + TerminalText(tokens[0]) + "' (request, mode, reset, screenshot)");
        }
    }
}

}  // namespace zarnsim
