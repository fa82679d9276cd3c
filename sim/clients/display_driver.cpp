#include "clients/display_driver.h"

#include "clients/test_pattern.h"

#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "dispatch/control_codes.h"
#include "support/untrusted_text.h"

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

ModeRequest ParseModeRequest(const std::string& text) {
    ModeRequest request;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%ux%ux%u@%u%c", &request.width, &request.height, &request.bitsPerPixel,
                    &request.refreshHz, &tail) != 4 ||
        request.width == 0 || request.height == 0 || request.refreshHz == 0) {
        throw std::invalid_argument("a mode is written WIDTHxHEIGHTxBITS@HZ, like 1024x768x16@75, not '" + TerminalText(text) + "'");
    }
    return request;
}

ModeSetResult SetModeByIndex(Machine& machine, int adapter, uint32_t index) {
    ModeSetResult result;
    RequestOptions options;
    options.adapter = adapter;
    std::vector<uint8_t> input = BytesOf(&index, sizeof index);
    RequestResult set = machine.Request(IOCTL_VIDEO_SET_CURRENT_MODE, input, 0, options);
    if (set.status != NO_ERROR) {
        result.status = set.status;
        return result;
    }
    RequestResult current = machine.Request(IOCTL_VIDEO_QUERY_CURRENT_MODE, {}, sizeof(VIDEO_MODE_INFORMATION), options);
    if (current.status != NO_ERROR || current.output.size() != sizeof(VIDEO_MODE_INFORMATION)) {
        result.status = current.status ? current.status : ERROR_INSUFFICIENT_BUFFER;
        return result;
    }
    std::memcpy(&result.mode, current.output.data(), sizeof result.mode);
    return result;
}

ModeSetResult SetMode(Machine& machine, int adapter, const ModeRequest& request) {
    ModeList list = QueryModes(machine, adapter);
    if (list.status != NO_ERROR) {
        ModeSetResult result;
        result.status = list.status;
        return result;
    }
    for (const VIDEO_MODE_INFORMATION& mode : list.modes) {
        if (mode.VisScreenWidth == request.width && mode.VisScreenHeight == request.height &&
            mode.BitsPerPlane == request.bitsPerPixel && mode.Frequency == request.refreshHz) {
            ModeSetResult result = SetModeByIndex(machine, adapter, mode.ModeIndex);
            result.offered = true;
            return result;
        }
    }
    return ModeSetResult{};
}

std::vector<uint32_t> DisplayDriverPalette() {
    static const uint32_t reserved[20] = {
        0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0, 0xC0DCC0, 0xA6CAF0,
        0xFFFBF0, 0xA0A0A4, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
    };
    std::vector<uint32_t> palette(256);
    for (uint32_t n = 0; n < 256; ++n) palette[255 - n] = (n % 8 * 32) << 16 | (n / 8 % 8 * 32) << 8 | (n / 64 * 64);
    for (uint32_t i = 0; i < 10; ++i) {
        palette[i] = reserved[i];
        palette[246 + i] = reserved[10 + i];
    }
    return palette;
}

uint32_t SetPalette(Machine& machine, int adapter, uint32_t first, const std::vector<uint32_t>& colours) {
    std::vector<uint8_t> clut = {static_cast<uint8_t>(colours.size()), static_cast<uint8_t>(colours.size() >> 8),
                                 static_cast<uint8_t>(first), static_cast<uint8_t>(first >> 8)};
    for (uint32_t colour : colours) {
        clut.insert(clut.end(), {static_cast<uint8_t>(colour >> 16), static_cast<uint8_t>(colour >> 8),
                                 static_cast<uint8_t>(colour), 0});
    }
    RequestOptions options;
    options.adapter = adapter;
    return machine.Request(IOCTL_VIDEO_SET_COLOR_REGISTERS, clut, 0, options).status;
}

uint32_t SetGammaRamp(Machine& machine, int adapter, const std::vector<uint32_t>& ramp) {
    RequestOptions options;
    options.adapter = adapter;
    return machine.Request(IOCTL_VIDEO_SET_GAMMA_TABLE, BytesOf(ramp.data(), ramp.size() * 4), 0, options).status;
}

FrameBufferMapping MapFrameBuffer(Machine& machine, int adapter, uint32_t process) {
    RequestOptions options;
    options.adapter = adapter;
    options.process = process;
    const uint32_t requested = 0;
    RequestResult map = machine.Request(IOCTL_VIDEO_MAP_VIDEO_MEMORY, BytesOf(&requested, sizeof requested),
                                        sizeof(VIDEO_MEMORY_INFORMATION), options);
    FrameBufferMapping mapping;
    mapping.status = map.status;
    if (map.status == NO_ERROR && map.output.size() < sizeof(VIDEO_MEMORY_INFORMATION)) {
        mapping.status = ERROR_INSUFFICIENT_BUFFER;
    }
    if (mapping.status != NO_ERROR) return mapping;
    mapping.videoRamBase = Dword(map.output, 0);
    mapping.videoRamLength = Dword(map.output, 4);
    mapping.frameBufferBase = Dword(map.output, 8);
    mapping.frameBufferLength = Dword(map.output, 12);
    return mapping;
}

uint32_t UnmapFrameBuffer(Machine& machine, int adapter, uint32_t address, uint32_t process) {
    RequestOptions options;
    options.adapter = adapter;
    options.process = process;
    return machine.Request(IOCTL_VIDEO_UNMAP_VIDEO_MEMORY, BytesOf(&address, sizeof address), 0, options).status;
}

bool DrawThroughMapping(Machine& machine, uint32_t process, const FrameBufferMapping& mapping,
                        const VIDEO_MODE_INFORMATION& mode, std::string* error, const std::vector<uint32_t>* palette) {
    LineWriter write = [&](uint32_t offset, const std::vector<uint8_t>& line) {
        return machine.ProcessWrite(process, mapping.frameBufferBase + offset, line);
    };
    return DrawTestPattern(write, mapping.frameBufferLength, mode.VisScreenWidth, mode.VisScreenHeight,
                           mode.BitsPerPlane, mode.ScreenStride, error, palette);
}

}  // namespace sim
