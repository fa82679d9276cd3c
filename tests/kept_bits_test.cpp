// Read-modify-write rules change only their own bits: whatever else the register held stays.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "clients/display_driver.h"
#include "machine/machine.h"

namespace {

// The chip's registers and bits as the hardware defines them (not the driver's names for them).
constexpr uint32_t DramInit1 = 0x1C, SlowMemoryClock = 1u << 14;
constexpr uint32_t Reg28 = 0x28, SecondaryOff = 1u << 9;

// An option ROM whose version is not 1.00.01, so that the memory clock rule applies.
std::vector<uint8_t> RomOfVersion110() {
    std::vector<uint8_t> image(32768, 0);
    image[0] = 0x55;
    image[1] = 0xAA;
    image[2] = 64;
    std::memcpy(&image[0x40], "Version 1.10 x", 14);
    std::memcpy(&image[0x100], "Zarn Microsystems Inc", 21);
    return image;
}

// The memory clock rule sets or clears bit 14 of dramInit1 (slow memory clock, at or below 105 MHz)
// and nothing else, whether the register's other bits are all clear or all set.
TEST(KeptBits, MemoryClockRuleChangesOnlyTheSlowClockBit) {
    struct Case {
        uint32_t mhz;
        bool slowAfter;
    };
    for (const Case& c : {Case{105, true}, Case{106, false}}) {
        for (bool slowBefore : {false, true}) {
            for (uint32_t others : {0u, ~SlowMemoryClock}) {
                SCOPED_TRACE(testing::Message() << c.mhz << " MHz, slow before " << slowBefore << ", others " << std::hex << others);
                sim::MachineConfig config;
                config.adapters[0].deviceId = 3;
                config.adapters[0].romImage = RomOfVersion110();
                sim::Machine machine(config);
                const uint32_t before = others | (slowBefore ? SlowMemoryClock : 0);
                machine.ChipOf(0).Poke(DramInit1, before);
                machine.GetRegistry().SetDword(sim::Machine::DeviceKey(0), "MemClocking", c.mhz);
                machine.Boot();
                ASSERT_TRUE(machine.OpenDevice(0));
                const uint32_t after = machine.ChipOf(0).Peek(DramInit1);
                EXPECT_EQ((after & SlowMemoryClock) != 0, c.slowAfter);
                EXPECT_EQ(after & ~SlowMemoryClock, others);
            }
        }
    }
}

// The first write of an adapter's register (an offset in its register window), or null.
const sim::TraceEntry* FirstRegisterWrite(sim::Machine& machine, int adapter, uint32_t offset) {
    for (const sim::TraceEntry& entry : machine.Trace()) {
        if (entry.adapter == adapter && entry.write && entry.window == sim::Window::Mmio && entry.offset == offset) return &entry;
    }
    return nullptr;
}

// A secondary adapter's switch-off clears bit 9 of register 0x28 and keeps the bits around it.
TEST(KeptBits, SecondarySwitchOffClearsOnlyItsBit) {
    for (uint32_t others : {0u, ~SecondaryOff}) {
        SCOPED_TRACE(testing::Message() << std::hex << others);
        sim::AdapterConfig secondary;
        secondary.secondary = true;
        sim::MachineConfig config;
        config.adapters = {sim::AdapterConfig{}, secondary};
        sim::Machine machine(config);
        machine.ChipOf(1).Poke(Reg28, others | SecondaryOff);
        machine.Boot();
        const sim::TraceEntry* first = FirstRegisterWrite(machine, 1, Reg28);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(first->value, others) << std::hex << first->value;
    }
}

// A secondary's chip initialization writes dramInit1 as the registry's value with the bits it keeps
// from the hardware (31, 30 and 25) added: a bit that both hold stays set.
TEST(KeptBits, DramInit1AddsTheKeptBitsToTheRegistryValue) {
    constexpr uint32_t Kept = 0xC2000000;
    for (uint32_t value : {0x00011111u, 0xC2011111u}) {
        for (uint32_t hardware : {0u, Kept, ~0u}) {
            SCOPED_TRACE(testing::Message() << std::hex << "registry " << value << ", hardware " << hardware);
            sim::AdapterConfig secondary;
            secondary.secondary = true;
            sim::MachineConfig config;
            config.adapters = {sim::AdapterConfig{}, secondary};
            sim::Machine machine(config);
            machine.ChipOf(1).Poke(DramInit1, hardware);
            machine.GetRegistry().SetDword(sim::Machine::DeviceKey(1), "dramInit1", value);
            machine.Boot();
            const sim::TraceEntry* first = FirstRegisterWrite(machine, 1, DramInit1);
            ASSERT_NE(first, nullptr);
            EXPECT_EQ(first->value, value | (hardware & Kept)) << std::hex << first->value;
        }
    }
}

}  // namespace
