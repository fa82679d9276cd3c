// stackcheck: the deepest chain of stack frames of zarn.sys against a limit.
//   stackcheck DRIVER.sys OBJECT_DIR [LIMIT]
// OBJECT_DIR holds the .ci files of the build (-fstack-usage -fcallgraph-info=su); LIMIT defaults to
// 2048 bytes. Prints the deepest chain of every entry point; exits 1 above the limit.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>

#include "stack_check.h"

namespace {

std::string Disassemble(const std::string& image) {
    std::string command = "i686-w64-mingw32-objdump -d --no-show-raw-insn '" + image + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string text;
    if (!pipe) return text;
    char buffer[65536];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) text.append(buffer, got);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::cerr << "usage: stackcheck DRIVER.sys OBJECT_DIR [LIMIT]\n";
        return 2;
    }
    unsigned long limit = argc == 4 ? std::stoul(argv[3]) : 2048;
    stackcheck::Graph graph;
    std::string error;
    size_t files = 0;
    std::error_code walkError;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[2], walkError)) {
        if (entry.path().extension() != ".ci") continue;
        std::ifstream file(entry.path());
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (!stackcheck::AddCallGraph(text, graph, &error)) {
            std::cerr << "stackcheck: " << entry.path().string() << ": " << error << "\n";
            return 2;
        }
        ++files;
    }
    std::string disassembly = Disassemble(argv[1]);
    if (files == 0 || disassembly.empty()) {
        std::cerr << "stackcheck: no call graph files under " << argv[2] << " or no disassembly of " << argv[1] << "\n";
        return 2;
    }
    std::vector<stackcheck::Chain> chains;
    if (!stackcheck::AddAddressReferences(disassembly, graph, &error) ||
        !stackcheck::DeepestChains(graph, &chains, &error)) {
        std::cerr << "stackcheck: " << error << "\n";
        return 1;
    }
    for (const stackcheck::Chain& chain : chains) std::cout << stackcheck::ChainText(chain) << "\n";
    bool ok = !chains.empty() && chains.front().bytes <= limit;
    std::cout << (ok ? "ok   " : "FAIL ") << "deepest chain " << (chains.empty() ? 0 : chains.front().bytes)
              << " bytes, limit " << limit << "\n";
    return ok ? 0 : 1;
}
