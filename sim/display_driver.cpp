#include "display_driver.h"

#include <cstring>

namespace sim {

std::vector<uint8_t> BytesOf(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(bytes, bytes + size);
}

uint32_t Dword(const std::vector<uint8_t>& bytes, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4 && offset + i < bytes.size(); ++i) value |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
    return value;
}

ModeList QueryModes(Machine& machine, int adapter) {
    ModeList list;
    RequestOptions options;
    options.adapter = adapter;
    RequestResult count = machine.Request(IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES, {}, sizeof(VIDEO_NUM_MODES), options);
    if (count.status != NO_ERROR || count.output.size() < sizeof(VIDEO_NUM_MODES)) {
        list.status = count.status ? count.status : ERROR_INSUFFICIENT_BUFFER;
        return list;
    }
    uint32_t modes = Dword(count.output, 0);
    uint32_t recordLength = Dword(count.output, 4);
    if (recordLength != sizeof(VIDEO_MODE_INFORMATION)) {
        list.status = ERROR_INVALID_PARAMETER;
        return list;
    }
    RequestResult all = machine.Request(IOCTL_VIDEO_QUERY_AVAIL_MODES, {}, modes * recordLength, options);
    if (all.status != NO_ERROR) {
        list.status = all.status;
        return list;
    }
    list.modes.resize(all.output.size() / sizeof(VIDEO_MODE_INFORMATION));
    std::memcpy(list.modes.data(), all.output.data(), list.modes.size() * sizeof(VIDEO_MODE_INFORMATION));
    return list;
}

}  // namespace sim
