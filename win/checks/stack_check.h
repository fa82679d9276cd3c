// The stack check: the deepest chain of stack frames that any entry point of the driver can build.
//
// The compiler gives every function's frame and its direct calls (-fstack-usage with
// -fcallgraph-info=su, one .ci file per source). The image adds what the compiler's graph lacks: a
// function whose address is handed out (a callback registered with the port, a registry value
// callback) counts as called by the function that hands it out, since the platform may call it on
// top of that function's frames. Every function that nothing calls is an entry point. The frames of
// the platform's own routines are not known here and count as zero.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace stackcheck {

struct Function {
    std::string label;            // the source name, "ReadSetting"
    uint32_t bytes = 0;           // the frame, return address included
    bool sized = false;           // false for a routine outside the driver
    bool bounded = true;          // false for a frame of dynamic size
    std::set<std::string> calls;  // assembler names
    std::set<std::string> hands;  // functions whose address it hands out (they may run on its frames)
};

// By assembler name ("_Z11ReadSettingP12AdapterStateP21_VIDEO_REQUEST_PACKET"); a function local to
// a source file that shares its name with another is merged with it (the larger frame, all calls).
using Graph = std::map<std::string, Function>;

// Adds the nodes and edges of one .ci file; false with a reason for text it cannot read.
bool AddCallGraph(const std::string& ciText, Graph& graph, std::string* error);

// Adds, from `objdump -d` text of the image, an edge from every function to each function whose
// address it uses as an immediate value.
bool AddAddressReferences(const std::string& disassembly, Graph& graph, std::string* error);

struct Chain {
    uint32_t bytes = 0;
    std::vector<std::string> labels;   // from the entry point down
};

// The deepest chain from each entry point (a function nothing calls, or one whose address is handed
// out), deepest first. False with a reason for recursion, a
// frame of unbounded size, or a call through a function pointer, whose target the check cannot know.
bool DeepestChains(const Graph& graph, std::vector<Chain>* chains, std::string* error);

std::string ChainText(const Chain& chain);

}  // namespace stackcheck
