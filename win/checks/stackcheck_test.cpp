// The stack check on zarn.sys, and on small graphs whose deepest chain is known.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "stack_check.h"

namespace {

std::string Node(const std::string& name, const std::string& label, uint32_t bytes, const char* kind = "static") {
    return "node: { title: \"" + name + "\" label: \"void " + label + "()\\nfile.cpp:1:1\\n" + std::to_string(bytes) +
           " bytes (" + kind + ")\" }\n";
}

std::string Edge(const std::string& from, const std::string& to) {
    return "edge: { sourcename: \"" + from + "\" targetname: \"" + to + "\" label: \"file.cpp:2:2\" }\n";
}

struct GraphCase {
    const char* name;
    std::string ci;
    std::string disassembly;
    uint32_t deepest;       // 0: the check refuses the graph
    std::string chain;
};

class StackCheck : public testing::TestWithParam<GraphCase> {};

TEST_P(StackCheck, FindsTheDeepestChainOrRefuses) {
    const GraphCase& c = GetParam();
    stackcheck::Graph graph;
    std::string error;
    ASSERT_TRUE(stackcheck::AddCallGraph("graph: { title: \"file.cpp\"\n" + c.ci + "}\n", graph, &error)) << error;
    std::vector<stackcheck::Chain> chains;
    bool ok = stackcheck::AddAddressReferences(c.disassembly, graph, &error) &&
              stackcheck::DeepestChains(graph, &chains, &error);
    if (c.deepest == 0) {
        EXPECT_FALSE(ok);
        EXPECT_NE(error.find(c.chain), std::string::npos) << error;
        return;
    }
    ASSERT_TRUE(ok) << error;
    ASSERT_FALSE(chains.empty());
    EXPECT_EQ(stackcheck::ChainText(chains.front()), std::to_string(c.deepest) + " bytes: " + c.chain);
}

const std::string Image = "00011000 <_Entry@4>:\n   11000:\tmovl   $0x11100,0x4(%esp)\n   11008:\tcall   *0x2814c\n"
                          "00011100 <__ZL8Callbackv>:\n   11100:\tret\n";

INSTANTIATE_TEST_SUITE_P(
    Graphs, StackCheck,
    testing::Values(
        GraphCase{"CallsAddUp", Node("A", "A", 1000) + Node("B", "B", 1100) + Edge("A", "B"), "", 2100, "A > B"},
        GraphCase{"TheDeeperBranchCounts",
                  Node("A", "A", 100) + Node("B", "B", 50) + Node("C", "C", 300) + Edge("A", "B") + Edge("A", "C"), "",
                  400, "A > C"},
        GraphCase{"PlatformRoutinesCountNothing",
                  Node("A", "A", 64) + "node: { title: \"Ext@4\" label: \"void Ext()\\nvideo.h:1:1\" shape : ellipse }\n" +
                      Edge("A", "Ext@4"),
                  "", 64, "A"},
        GraphCase{"ACallbackRunsOnItsCaller",
                  Node("Entry@4", "Entry", 200) + Node("file.cpp:_ZL8Callbackv", "Callback", 900), Image, 1100,
                  "Entry > Callback"},
        GraphCase{"LocalFunctionsOfTheSameNameMerge",
                  Node("a.cpp:_ZL4Workv", "Work", 100) + Node("b.cpp:_ZL4Workv", "Work", 700), "", 700, "Work"},
        GraphCase{"Recursion", Node("A", "A", 10) + Node("B", "B", 10) + Edge("A", "B") + Edge("B", "A") +
                                   Node("Root", "Root", 1) + Edge("Root", "A"),
                  "", 0, "recursion"},
        GraphCase{"UnboundedFrame", Node("A", "A", 10, "dynamic"), "", 0, "unbounded"},
        GraphCase{"CallThroughAPointer",
                  Node("Entry@4", "Entry", 10) +
                      "node: { title: \"__indirect_call\" label: \"Indirect Call Placeholder\" shape : ellipse }\n" +
                      Edge("Entry@4", "__indirect_call"),
                  "", 0, "calls through a function pointer"}),
    [](const testing::TestParamInfo<GraphCase>& info) { return std::string(info.param.name); });

// zarn.sys itself: every chain from every entry point within 2 KiB of stack.
TEST(StackCheck, ZarnSysStaysWithin2KiB) {
    stackcheck::Graph graph;
    std::string error;
    size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(ZARN_OBJECTS)) {
        if (entry.path().extension() != ".ci") continue;
        std::ifstream file(entry.path());
        ASSERT_TRUE(stackcheck::AddCallGraph(std::string(std::istreambuf_iterator<char>(file), {}), graph, &error))
            << error;
        ++files;
    }
    ASSERT_GT(files, 10u);
    std::vector<stackcheck::Chain> chains;
    ASSERT_TRUE(stackcheck::DeepestChains(graph, &chains, &error)) << error;
    ASSERT_FALSE(chains.empty());
    EXPECT_LE(chains.front().bytes, 2048u) << stackcheck::ChainText(chains.front());
    bool startIo = false;
    for (const stackcheck::Chain& chain : chains) startIo = startIo || chain.labels.front() == "HwStartIO";
    EXPECT_TRUE(startIo) << "HwStartIO is an entry point";
}

}  // namespace
