#include "stack_check.h"

#include <algorithm>
#include <functional>
#include <regex>
#include <sstream>

namespace stackcheck {

namespace {

// The compiler's stand-in for the target of a call through a pointer.
const char* const IndirectCall = "__indirect_call";

// The assembler name of a node title: local functions carry their source file in front.
std::string NameOfTitle(const std::string& title) {
    size_t colon = title.rfind(':');
    return colon == std::string::npos ? title : title.substr(colon + 1);
}

// "VP_STATUS ReadSetting(AdapterState*, PVIDEO_REQUEST_PACKET)" -> "ReadSetting".
std::string ShortLabel(const std::string& label) {
    std::string head = label.substr(0, label.find('('));
    size_t space = head.find_last_of(" *&");
    return space == std::string::npos ? head : head.substr(space + 1);
}

}  // namespace

bool AddCallGraph(const std::string& ciText, Graph& graph, std::string* error) {
    static const std::regex node(R"re(^node: \{ title: "([^"]+)" label: "([^"]*)")re");
    static const std::regex edge(R"re(^edge: \{ sourcename: "([^"]+)" targetname: "([^"]+)")re");
    static const std::regex size(R"re(\\n(\d+) bytes \(([a-z,]+)\))re");
    std::istringstream in(ciText);
    std::string line;
    bool sawGraph = false;
    while (std::getline(in, line)) {
        std::smatch match;
        if (line.rfind("graph:", 0) == 0) sawGraph = true;
        if (std::regex_search(line, match, node)) {
            Function& function = graph[NameOfTitle(match[1])];
            std::string label = match[2];
            if (function.label.empty()) function.label = ShortLabel(label.substr(0, label.find("\\n")));
            std::smatch figure;
            if (std::regex_search(label, figure, size)) {
                function.bytes = std::max<uint32_t>(function.bytes, static_cast<uint32_t>(std::stoul(figure[1])));
                function.sized = true;
                function.bounded = function.bounded && figure[2] != "dynamic";
            }
        } else if (std::regex_search(line, match, edge)) {
            graph[NameOfTitle(match[1])].calls.insert(NameOfTitle(match[2]));
        }
    }
    if (!sawGraph) {
        if (error) *error = "not a call graph file (no graph: line)";
        return false;
    }
    return true;
}

bool AddAddressReferences(const std::string& disassembly, Graph& graph, std::string*) {
    static const std::regex start(R"re(^([0-9a-f]+) <_?([^>]+)>:$)re");
    static const std::regex immediate(R"re(\$0x([0-9a-f]+))re");
    std::map<uint64_t, std::string> functions;
    std::vector<std::pair<std::string, std::string>> lines;   // function, instruction
    std::istringstream in(disassembly);
    std::string line, current;
    while (std::getline(in, line)) {
        std::smatch match;
        if (std::regex_search(line, match, start)) {
            current = match[2];
            functions[std::stoull(match[1], nullptr, 16)] = current;
        } else if (!current.empty()) {
            lines.emplace_back(current, line);
        }
    }
    for (const auto& [function, instruction] : lines) {
        for (auto it = std::sregex_iterator(instruction.begin(), instruction.end(), immediate);
             it != std::sregex_iterator(); ++it) {
            auto target = functions.find(std::stoull((*it)[1], nullptr, 16));
            if (target != functions.end() && graph.count(target->second) && graph.count(function)) {
                graph[function].hands.insert(target->second);
            }
        }
    }
    return true;
}

bool DeepestChains(const Graph& graph, std::vector<Chain>* chains, std::string* error) {
    std::map<std::string, Chain> deepest;
    std::set<std::string> open;
    std::string failure;
    std::function<const Chain*(const std::string&)> visit = [&](const std::string& name) -> const Chain* {
        auto done = deepest.find(name);
        if (done != deepest.end()) return &done->second;
        auto found = graph.find(name);
        if (found == graph.end()) return nullptr;
        const Function& function = found->second;
        if (!function.bounded) failure = function.label + " has a frame of unbounded size";
        if (function.calls.count(IndirectCall)) failure = function.label + " calls through a function pointer";
        if (!open.insert(name).second) failure = "recursion through " + function.label;
        if (!failure.empty()) return nullptr;
        Chain best;
        std::set<std::string> below = function.calls;
        below.insert(function.hands.begin(), function.hands.end());
        for (const std::string& callee : below) {
            const Chain* chain = visit(callee);
            if (!failure.empty()) return nullptr;
            if (chain && chain->bytes >= best.bytes && (chain->bytes > best.bytes || best.labels.empty())) best = *chain;
        }
        open.erase(name);
        if (!function.sized) return &(deepest[name] = Chain{});
        best.bytes += function.bytes;
        best.labels.insert(best.labels.begin(), function.label);
        return &(deepest[name] = best);
    };
    std::set<std::string> called, handedOut;
    for (const auto& [name, function] : graph) {
        called.insert(function.calls.begin(), function.calls.end());
        handedOut.insert(function.hands.begin(), function.hands.end());
    }
    chains->clear();
    for (const auto& [name, function] : graph) {
        if (!function.sized || (called.count(name) && !handedOut.count(name))) continue;
        const Chain* chain = visit(name);
        if (!failure.empty()) {
            if (error) *error = failure;
            return false;
        }
        chains->push_back(*chain);
    }
    std::stable_sort(chains->begin(), chains->end(), [](const Chain& a, const Chain& b) { return a.bytes > b.bytes; });
    return true;
}

std::string ChainText(const Chain& chain) {
    std::string text = std::to_string(chain.bytes) + " bytes:";
    for (size_t i = 0; i < chain.labels.size(); ++i) text += (i ? " > " : " ") + chain.labels[i];
    return text;
}

}  // namespace stackcheck
