// The host build's platform records and control codes against the published headers, as the cross
// compiler laid them out.
#include <gtest/gtest.h>

#include <cstddef>
#include <fstream>
#include <iterator>

#include "layout_list.h"
#include "platform/videoport.h"

namespace {

struct LayoutEntry {
    const char* what;
    uint32_t value;
};

#define LAYOUT_RECORD(type) {"sizeof(" #type ")", sizeof(type)},
#define LAYOUT_FIELD(type, field) {"offsetof(" #type ", " #field ")", offsetof(type, field)},
#define LAYOUT_CODE(code) {#code, static_cast<uint32_t>(code)},
const LayoutEntry hostLayout[] = {LAYOUT_ENTRIES};

std::vector<uint32_t> PublishedLayout(const char* path = ZARN_LAYOUT_BIN) {
    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<uint32_t> values;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        values.push_back(bytes[i] | bytes[i + 1] << 8 | bytes[i + 2] << 16 | static_cast<uint32_t>(bytes[i + 3]) << 24);
    }
    // The entry count comes first; padding may follow the entries.
    if (values.empty() || values[0] > values.size() - 1) return {};
    return std::vector<uint32_t>(values.begin() + 1, values.begin() + 1 + values[0]);
}

TEST(PlatformLayout, HostRecordsAndCodesMatchThePublishedHeaders) {
    std::vector<uint32_t> published = PublishedLayout();
    ASSERT_EQ(published.size(), std::size(hostLayout)) << "the layout probe from " << ZARN_LAYOUT_BIN
                                                       << " does not list the same entries";
    for (size_t i = 0; i < published.size(); ++i) {
        EXPECT_EQ(hostLayout[i].value, published[i]) << hostLayout[i].what;
    }
}

// The kernel records the driver declares itself for the zarn.sys build, against wdm.h.
TEST(PlatformLayout, KernelRecordsAndConstantsMatchThePublishedWdmHeader) {
    const LayoutEntry hostKernelLayout[] = {LAYOUT_KERNEL_ENTRIES};
    std::vector<uint32_t> published = PublishedLayout(ZARN_KERNEL_LAYOUT_BIN);
    ASSERT_EQ(published.size(), std::size(hostKernelLayout)) << "the kernel layout probe from " << ZARN_KERNEL_LAYOUT_BIN
                                                             << " does not list the same entries";
    for (size_t i = 0; i < published.size(); ++i) {
        EXPECT_EQ(hostKernelLayout[i].value, published[i]) << hostKernelLayout[i].what;
    }
}

TEST(PlatformLayout, RecordsHaveTheirI386Sizes) {
    EXPECT_EQ(sizeof(VIDEO_MODE_INFORMATION), 80u);
    EXPECT_EQ(sizeof(VIDEO_PORT_CONFIG_INFO), 112u);
    EXPECT_EQ(sizeof(VIDEO_X86_BIOS_ARGUMENTS), 28u);
    EXPECT_EQ(sizeof(I2C_FNC_TABLE), 28u);
    EXPECT_EQ(sizeof(VIDEO_REQUEST_PACKET), 24u);
    EXPECT_EQ(offsetof(VIDEO_HW_INITIALIZATION_DATA, Reserved), 80u);
}

}  // namespace
