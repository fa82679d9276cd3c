#include <gtest/gtest.h>

#include "machine.h"

TEST(Discovery, DefaultAdapterStarts) {
    sim::Machine machine;
    EXPECT_EQ(machine.Boot(), 0u);
    EXPECT_TRUE(machine.Adapter(0).started);
}
