// The keys of the adapter description language (`zarnsim --adapter ITEMS`), for help and checks;
// ParseAdapterDescription (machine.h) reads a description.
#pragma once

#include <string>
#include <vector>

namespace sim {

struct AdapterKey {
    const char* key;       // "rom"
    const char* usage;     // "rom=builtin|none|FILE"
    const char* meaning;   // what it sets
};

std::vector<AdapterKey> AdapterDescriptionKeys();

// Every key with its usage and meaning, comma-separated: "device=N (PCI device ID), ...".
std::string AdapterDescriptionHelp();

}  // namespace sim
