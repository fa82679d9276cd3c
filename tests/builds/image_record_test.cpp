// zarnsim reads the driver image's device extension at the offsets the i386 compiler gave the
// adapter state record's fields: its table of them against the zarn.sys build's own layout probe.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "adapter_layout_list.h"
#include "driver_view.h"

namespace {

TEST(ImageRecordLayout, MatchesTheOffsetsOfTheI386Build) {
    std::ifstream file(ZARN_ADAPTER_LAYOUT, std::ios::binary);
    if (!file) GTEST_SKIP() << "the zarn.sys build's layout probe is missing: " << ZARN_ADAPTER_LAYOUT;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<uint32_t> values;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        values.push_back(bytes[i] | bytes[i + 1] << 8 | bytes[i + 2] << 16 | static_cast<uint32_t>(bytes[i + 3]) << 24);
    }
#define FIELD(name) {#name, zarnsim::ImageAdapterLayout.name},
    const std::pair<const char*, uint32_t> expected[] = {ADAPTER_LAYOUT_FIELDS(FIELD)};
#undef FIELD
    ASSERT_FALSE(values.empty());
    ASSERT_EQ(values[0], std::size(expected)) << "the probe lists another number of fields";
    for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(expected[i].second, values[i + 1]) << expected[i].first;
}

}  // namespace
