// Small helpers shared by the test programs.
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
