// Shared pieces of the image runner tests: the shipped zarn.sys, a little i386 code assembler and
// a runner with a scratch page for code and data of the tests' own.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image_runner.h"

namespace image_test {

using namespace sim::image;

// The zarn.sys the build made, or empty when it was not built.
inline std::vector<uint8_t> ZarnSys() {
    std::ifstream file(ZARN_SYS, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The link map beside zarn.sys: the shipped image is stripped, its symbols are there.
inline std::string ZarnMap() {
    std::ifstream file(ZARN_MAP);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

#define SKIP_WITHOUT_ZARN_SYS(bytes)                                                                     \
    if ((bytes).empty())                                                                                 \
        GTEST_SKIP() << (std::string(ZARN_SYS).empty() ? "the build was configured without the zarn.sys build" \
                                                       : "zarn.sys was not built: " ZARN_SYS)

// i386 machine code, assembled by hand.
struct Code {
    std::vector<uint8_t> bytes;

    Code& Raw(std::initializer_list<uint8_t> raw) {
        bytes.insert(bytes.end(), raw);
        return *this;
    }
    Code& Imm32(uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
        return *this;
    }
    Code& Push(uint32_t value) { return Raw({0x68}).Imm32(value); }
    Code& MovEcx(uint32_t value) { return Raw({0xB9}).Imm32(value); }
    // mov eax, target; call eax
    Code& Call(uint32_t target) { return Raw({0xB8}).Imm32(target).Raw({0xFF, 0xD0}); }
    Code& Ret(uint16_t pop = 0) {
        if (pop == 0) return Raw({0xC3});
        return Raw({0xC2, static_cast<uint8_t>(pop), static_cast<uint8_t>(pop >> 8)});
    }
};

// A runner with a page of test code at CodePage and a page of data at DataPage, both shared with
// the host.
class RunnerWithScratch {
public:
    static constexpr uint32_t CodePage = 0x00400000;
    static constexpr uint32_t DataPage = 0x00500000;

    explicit RunnerWithScratch(const PlatformRoutines& routines, std::span<const ImportedRoutine> table = RoutineTable())
        : code_(PageSize), data_(PageSize), runner(routines, table) {
        runner.Processor().MapMemory(CodePage, PageSize, code_.data(), ProtectRead | ProtectExecute);
        runner.Processor().MapMemory(DataPage, PageSize, data_.data(), ProtectRead | ProtectWrite);
    }

    // Places `code` at `offset` into the code page and returns its address.
    uint32_t Place(const Code& code, uint32_t offset = 0) {
        std::memcpy(code_.data() + offset, code.bytes.data(), code.bytes.size());
        return CodePage + offset;
    }
    uint8_t* Data() { return data_.data(); }
    uint32_t Thunk(const char* dll, const char* name) { return *runner.ThunkAddress(dll, name); }
    Cpu& cpu() { return runner.Processor(); }

private:
    PageMemory code_;   // before the runner, so that it outlives the CPU
    PageMemory data_;

public:
    ImageRunner runner;
};

}  // namespace image_test
