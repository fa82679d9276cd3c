// The words the test programs share: a board named as zarnsim's --adapter names it, and the driver
// faults a machine reported.
#pragma once

#include <string>

#include "machine/machine.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TEST_ASAN 1
#endif
#if defined(TEST_ASAN)
#include <sanitizer/asan_interface.h>
#endif

// The driver faults the machine's verifier reported, one message a line ("" when there were none).
inline std::string Faults(const sim::Machine& machine) {
    std::string text;
    for (const sim::Fault& fault : machine.DriverFaults()) text += fault.message + "\n";
    return text;
}

// One fault with its kind, adapter and count, for comparing two machines' faults line by line.
inline std::string FaultLine(const sim::Fault& fault) {
    return "kind " + std::to_string(static_cast<int>(fault.kind)) + ", adapter " + std::to_string(fault.adapter) +
           ", x" + std::to_string(fault.count) + ": " + fault.message;
}

// A board as zarnsim's --adapter describes it: Board("device=4,memory=8,secondary,rom=none").
inline sim::AdapterConfig Board(const std::string& description) { return sim::ParseAdapterDescription(description); }
