// Any request a caller can send: random control codes near the served ones, random lengths and
// contents, on every kind of adapter. The driver must answer each one without touching memory it
// was not given, without reporting output it did not write, and the same way whether or not input
// and output share one buffer.
#include <gtest/gtest.h>

#include <random>

#include "dispatch/served_codes.h"
#include "driver_faults.h"
#include "machine/machine.h"

namespace {


struct AdapterKind {
    const char* name;
    sim::AdapterConfig config;
};

class RandomRequests : public testing::TestWithParam<AdapterKind> {};

TEST_P(RandomRequests, AreAnsweredSafelyAndAlike) {
    sim::MachineConfig config;
    config.adapters = {GetParam().config};
    config.checkAliasing = true;
    sim::Machine machine(config);
    machine.Boot();
    ASSERT_TRUE(machine.Adapter(0).started);

    std::mt19937 random(20261207);
    std::uniform_int_distribution<uint32_t> byte(0, 255);
    for (int i = 0; i < 400; ++i) {
        uint32_t code = ServedCodes[random() % std::size(ServedCodes)].code;
        if (random() % 4 == 0) code ^= 1u << (random() % 32);   // a near miss of a served code
        std::vector<uint8_t> input(random() % 3 == 0 ? random() % 9 : random() % 160);
        for (uint8_t& b : input) b = static_cast<uint8_t>(byte(random));
        if (code == IOCTL_VIDEO_SET_CURRENT_MODE && input.size() >= 4 && random() % 2) {
            input[1] = input[2] = input[3] = 0;   // mostly indices near the table
        }
        uint32_t outputLength = random() % 3 == 0 ? random() % 100 : random() % 13000;
        sim::RequestResult result = machine.Request(code, input, outputLength);
        ASSERT_LE(result.output.size(), outputLength);
        if (random() % 16 == 0) machine.ResetHw(0);
    }
    for (const sim::Fault& fault : machine.DriverFaults()) ADD_FAILURE() << fault.message;
}

INSTANTIATE_TEST_SUITE_P(Adapters, RandomRequests,
                         testing::Values(AdapterKind{"BiosPath", Board("memory=16")},
                                         AdapterKind{"DirectPath4MB", Board("memory=4,rom=none")},
                                         AdapterKind{"Secondary8MB", Board("memory=8,secondary")}),
                         [](const testing::TestParamInfo<AdapterKind>& info) { return std::string(info.param.name); });

}  // namespace
