// Writes seeds for a harness into a directory (nothing for a harness it has none for).
//   seeds HARNESS DIRECTORY
// request: short request sequences in its grammar (fuzz/request_fuzzer.cpp) that reach every served
// control code with valid state. Every code with its exact sizes; each mode set on both adapters
// followed by the colour requests; each mapping request given what an earlier reply handed out;
// settings written and read back under every class of name and type, with every reply room; power
// states, resets, process ends and platform routines that fail.
// discovery: the standard primary and secondary boards with each platform routine failing at its
// first, second or third call, or at every call, and the standard board found after 1 to 7 others,
// started or refused (fuzz/discovery_fuzzer.cpp).
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "colour/colour.h"
#include "fuzz_picks.h"
#include "settings/settings.h"
#include "support/faults.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t RegSz = 1, RegBinary = 3, RegDword = 4;

uint8_t CodeSelector(uint32_t code) {
    for (size_t i = 0; i < std::size(ServedCodes); ++i) {
        if (ServedCodes[i].code == code) return static_cast<uint8_t>(i);
    }
    std::fprintf(stderr, "code %#x is not served\n", code);
    std::exit(1);
}

void Put32(Bytes& bytes, size_t at, uint32_t value) {
    if (bytes.size() < at + 4) bytes.resize(at + 4);
    std::memcpy(bytes.data() + at, &value, 4);
}

class Seed {
public:
    Seed() = default;
    // An input for the machine with four boards: it starts with the byte that asks for them.
    explicit Seed(bool fourBoards) : boards(fourBoards ? 4 : 2) {
        if (fourBoards) bytes.push_back(0xEF);
    }
    // An op byte of the kind (op % 10) for the adapter (bits 4 and 6 modulo the boards), with or
    // without the aliasing check (bits 5-7) and with the extra bits asked for.
    Seed& Op(unsigned kind, int adapter, uint8_t bits = 0, bool aliasing = false) {
        for (unsigned op = 0; op < 0xF9; ++op) {
            const unsigned decoded = (((op >> 4) & 1u) | ((op >> 5) & 2u)) % boards;
            if (op % 10 != kind || decoded != static_cast<unsigned>(adapter) || (op & bits) != bits) continue;
            if (((op & 0xE0) == 0xE0) != aliasing) continue;
            bytes.push_back(static_cast<uint8_t>(op));
            return *this;
        }
        std::fprintf(stderr, "no op byte for kind %u\n", kind);
        std::exit(1);
    }
    // A request; `pick` >= 0 replaces dword `dword` of the input with the earlier replies' value it picks.
    Seed& Request(int adapter, uint32_t code, const Bytes& input, uint32_t outputLength, uint32_t process = 1,
                  int dword = -1, int pick = -1, bool aliasing = false) {
        std::vector<std::pair<int, int>> patches;
        if (pick >= 0) patches.emplace_back(dword, pick);
        return Patched(adapter, code, input, outputLength, process, patches, aliasing);
    }
    // A request whose input dwords are replaced by the earlier replies' values: (dword, pick) pairs.
    Seed& Patched(int adapter, uint32_t code, const Bytes& input, uint32_t outputLength, uint32_t process,
                  const std::vector<std::pair<int, int>>& patches, bool aliasing = false) {
        Op(0, adapter, 0, aliasing);
        bytes.push_back(CodeSelector(code));
        bytes.push_back(static_cast<uint8_t>(process - 1));
        Length(static_cast<uint32_t>(input.size()));
        Length(outputLength);
        bytes.insert(bytes.end(), input.begin(), input.end());
        if (patches.empty()) bytes.push_back(0);
        for (size_t i = 0; i < patches.size(); ++i) {
            bytes.push_back(static_cast<uint8_t>(0x80 | (i + 1 < patches.size() ? 0x20 : 0) | patches[i].first));
            bytes.push_back(static_cast<uint8_t>(patches[i].second));
        }
        return *this;
    }
    Seed& SetMode(int adapter, uint16_t word) {
        Op(4, adapter);
        bytes.push_back(static_cast<uint8_t>(word));
        bytes.push_back(static_cast<uint8_t>(word >> 8));
        return *this;
    }
    Seed& Reset(int adapter, bool throughRequest) { return Op(5, adapter).Byte(throughRequest ? 1 : 0); }
    Seed& EndProcess(uint32_t process) { return Op(6, 0).Byte(static_cast<uint8_t>(process - 2)); }
    Seed& Fail(int adapter, sim::PlatformCall call) { return Op(6, adapter, 0x20).Byte(static_cast<uint8_t>(call)); }
    // A power state for the adapter or its monitor, set when the driver's query allows it or, when
    // not `queried`, without asking.
    Seed& Power(int adapter, bool monitor, uint32_t state, bool queried = true) {
        return Op(8, adapter).Byte((monitor ? 1 : 0) | (queried ? 0 : 2)).Byte(static_cast<uint8_t>(state - 1));
    }
    Seed& Enumerate() { return Byte(0xF9); }
    // Process `process` writes a byte `count` times at the picked earlier reply's value.
    Seed& Write(uint32_t process, uint8_t pick, uint8_t count) {
        return Op(7, 0).Byte(static_cast<uint8_t>(process - 1)).Byte(0x80 | pick).Byte(0).Byte(count).Byte(0x5A);
    }
    Seed& Byte(uint8_t value) {
        bytes.push_back(value);
        return *this;
    }

    Bytes bytes;

private:
    unsigned boards = 2;
    void Length(uint32_t length) {
        bytes.push_back(0xF0);
        bytes.push_back(static_cast<uint8_t>(length));
        bytes.push_back(static_cast<uint8_t>(length >> 8));
    }
};

Bytes Dwords(std::initializer_list<uint32_t> values) {
    Bytes bytes;
    for (uint32_t value : values) Put32(bytes, bytes.size(), value);
    return bytes;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end() + 1); }

Bytes WriteRecord(const std::string& name, uint32_t type, const Bytes& data) {
    Bytes record(sizeof(SettingWriteHead), 0);
    std::memcpy(record.data() + offsetof(SettingWriteHead, name), name.c_str(), name.size() + 1);
    Put32(record, offsetof(SettingWriteHead, type), type);
    Put32(record, offsetof(SettingWriteHead, size), type == RegSz ? 0 : static_cast<uint32_t>(data.size()));
    record.insert(record.end(), data.begin(), data.end());
    return record;
}

Bytes Clut(uint16_t count, uint16_t first) {
    Bytes clut{static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(first),
               static_cast<uint8_t>(first >> 8)};
    for (uint16_t i = 0; i < count; ++i) Put32(clut, clut.size(), 0x00010203u * i);
    return clut;
}

}  // namespace

std::vector<Bytes> RequestSeeds() {
    std::vector<Seed> seeds;
    const uint32_t ShareHandle = 0x1000 + 4 * 2;   // the handle naming process 2 in every process
    for (int a : {0, 1}) {
        // Each valid mode, then what depends on a mode: the current mode, colours, gamma, resets.
        for (uint16_t mode = 0; mode < 48; ++mode) {
            seeds.push_back(Seed().SetMode(a, mode)
                                .Request(a, IOCTL_VIDEO_QUERY_CURRENT_MODE, {}, sizeof(VIDEO_MODE_INFORMATION))
                                .Request(a, IOCTL_VIDEO_SET_COLOR_REGISTERS, Clut(256, 0), 0)
                                .Request(a, IOCTL_VIDEO_SET_GAMMA_TABLE, Bytes(GammaTableBytes, 0x40), 0)
                                .Reset(a, mode % 2));
        }
        seeds.push_back(Seed().SetMode(a, 0x8000 | 200));
        seeds.push_back(Seed().Request(a, IOCTL_VIDEO_SET_COLOR_REGISTERS, Clut(2, 255), 0));
        seeds.push_back(Seed().Request(a, IOCTL_VIDEO_GET_GAMMA_TABLE, {}, GammaTableBytes));
        // Mappings, and their release with what the reply handed out.
        for (int pick = 0; pick < 4; ++pick) {
            seeds.push_back(Seed().Request(a, IOCTL_VIDEO_MAP_VIDEO_MEMORY, Dwords({0}), sizeof(VIDEO_MEMORY_INFORMATION))
                                .Request(a, IOCTL_VIDEO_UNMAP_VIDEO_MEMORY, Dwords({0}), 0, 1, 0, pick)
                                .Write(1, static_cast<uint8_t>(pick), 16));
            seeds.push_back(Seed().Request(a, IOCTL_VIDEO_QUERY_PUBLIC_ACCESS_RANGES, {}, 2 * sizeof(VIDEO_PUBLIC_ACCESS_RANGES))
                                .Request(a, IOCTL_VIDEO_FREE_PUBLIC_ACCESS_RANGES, Dwords({0, 0}), 0, 1, pick % 2, pick));
            seeds.push_back(Seed().Request(a, IOCTL_VIDEO_SHARE_VIDEO_MEMORY, Dwords({ShareHandle, 0, 0x10000, 0}),
                                           sizeof(VIDEO_SHARE_MEMORY_INFORMATION), 2)
                                .Request(a, IOCTL_VIDEO_UNSHARE_VIDEO_MEMORY, Dwords({ShareHandle, 0, 0x10000, 0}), 0, 2, 3, pick)
                                .EndProcess(2));
            seeds.push_back(Seed().Request(a, IOCTL_VIDEO_MAP_APERTURES, Dwords({0}), sizeof(ApertureMap), 3)
                                .Request(a, IOCTL_VIDEO_FIND_MAPPING, Dwords({0}), sizeof(MappingLookup), 3, 0, pick)
                                .Request(a, IOCTL_VIDEO_UNMAP_APERTURES, Dwords({0, 0, 0x1000 + 4 * 3}), 0, 3, 0, pick)
                                .Request(a, IOCTL_VIDEO_UNMAP_APERTURES, Dwords({0, 0, 0x1000 + 4 * 3}), 0, 3, 1, pick + 1)
                                .EndProcess(3));
            seeds.push_back(Seed().Request(a, IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, Dwords({0x3000u << pick}), sizeof(ADDRESS32), 4)
                                .Request(a, IOCTL_VIDEO_MAP_PHYSICAL_PAGES, Dwords({0, 0x1000}), sizeof(ADDRESS32), 4, 0, 0)
                                .Request(a, IOCTL_VIDEO_FIND_MAPPING, Dwords({0}), sizeof(MappingLookup), 4, 0, 1)
                                .Request(a, IOCTL_VIDEO_MAP_PHYSICAL_PAGES, Dwords({0, 0x1000u << pick}), sizeof(ADDRESS32), 4, 0, 0)
                                .EndProcess(4));
        }
        // Settings: every class of name, written with every type and read back.
        for (const char* name : {"ZRFoo", "LuMode", "KMTC4_Level", "KMTC4_New", "Zarn", "LumenGammaTable",
                                 "LumenGammaTableX", "GammaTable", "Sx", "Other"}) {
            for (uint32_t type : {RegSz, RegBinary, RegDword, 7u}) {
                Bytes data = type == RegSz ? Text(" 1234") : Dwords({1234});
                if (std::string(name).find("Gamma") != std::string::npos && type == RegBinary) data = Bytes(GammaTableBytes, 7);
                seeds.push_back(Seed().Request(a, IOCTL_VIDEO_WRITE_SETTING, WriteRecord(name, type, data), 0)
                                    .Request(a, IOCTL_VIDEO_READ_SETTING, Text(name), sizeof(SettingReply))
                                    .Request(a, IOCTL_VIDEO_GET_GAMMA_TABLE, {}, GammaTableBytes));
            }
            seeds.push_back(Seed().Request(a, IOCTL_VIDEO_READ_SETTING, Text(name), sizeof(SettingReply)));
        }
        // Power states of the adapter and the monitor, each followed by a mode set.
        for (uint32_t state = 1; state <= 6; ++state) {
            seeds.push_back(Seed().Power(a, false, state).Power(a, false, 1).SetMode(a, 0));
            seeds.push_back(Seed().Power(a, true, state).Power(a, true, 1));
        }
        // Every served code with sizes of nothing, and one that fits, through the aliasing check.
        for (const ServedCode& served : ServedCodes) {
            seeds.push_back(Seed().Request(a, served.code, {}, 0));
            seeds.push_back(Seed().Request(a, served.code, Bytes(16, 0), 64, 1, -1, -1, true));
        }
        // Each platform routine failing before the requests that call it.
        for (unsigned call = 0; call < static_cast<unsigned>(sim::PlatformCall::Count); ++call) {
            Seed seed;
            seed.Fail(a, static_cast<sim::PlatformCall>(call))
                .Request(a, IOCTL_VIDEO_MAP_VIDEO_MEMORY, Dwords({0}), sizeof(VIDEO_MEMORY_INFORMATION))
                .Request(a, IOCTL_VIDEO_MAP_APERTURES, Dwords({0}), sizeof(ApertureMap))
                .Request(a, IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, Dwords({0x10000}), sizeof(ADDRESS32))
                .Request(a, IOCTL_VIDEO_MAP_PHYSICAL_PAGES, Dwords({0, 0x1000}), sizeof(ADDRESS32), 1, 0, 1)
                .Request(a, IOCTL_VIDEO_WRITE_SETTING, WriteRecord("ZRFoo", RegSz, Text("5")), 0)
                .Request(a, IOCTL_VIDEO_READ_SETTING, Text("KMTC4_Level"), sizeof(SettingReply))
                .Request(a, IOCTL_VIDEO_GET_GAMMA_TABLE, {}, GammaTableBytes)
                .SetMode(a, 1);
            if (a == 1) seed.Enumerate();
            seeds.push_back(seed);
        }
    }
    // Settings read with every room the reply's size field (bytes 4-7 of the name's buffer) gives,
    // under short names of each class, and with the routines the relay calls failing.
    for (int a : {0, 1}) {
        for (const char* name : {"ZR", "Lu", "Sx", "Zz"}) {
            for (uint32_t room : {0u, 1u, 2u, 3u, 4u, 12u, 1024u, 1025u, 0xFFFFFFFFu}) {
                Bytes input(8, 0);
                std::memcpy(input.data(), name, std::strlen(name));
                Put32(input, 4, room);
                seeds.push_back(Seed().Request(a, IOCTL_VIDEO_READ_SETTING, input, sizeof(SettingReply)));
            }
        }
        for (auto call : {sim::PlatformCall::ZwOpenKey, sim::PlatformCall::ZwQueryValueKey,
                          sim::PlatformCall::ZwSetValueKey, sim::PlatformCall::AllocatePool,
                          sim::PlatformCall::RtlAnsiStringToUnicodeString, sim::PlatformCall::ZwCreateFile,
                          sim::PlatformCall::GetRegistryParameters, sim::PlatformCall::SetRegistryParameters}) {
            for (const char* name : {"KMTC4_Level", "KMTC4_New", "ZRFoo", "Zarn", "LumenGammaTable", "Other"}) {
                seeds.push_back(Seed().Fail(a, call)
                                    .Request(a, IOCTL_VIDEO_WRITE_SETTING, WriteRecord(name, RegDword, Dwords({77})), 0)
                                    .Request(a, IOCTL_VIDEO_WRITE_SETTING, WriteRecord(name, RegSz, Text("88")), 0)
                                    .Request(a, IOCTL_VIDEO_READ_SETTING, Text(name), sizeof(SettingReply)));
            }
        }
    }
    for (int a : {0, 1}) {
        // Relayed and device-parameter values of each type and size, read back into every room.
        for (const char* name : {"ZR", "Sx"}) {
            for (uint32_t type : {RegSz, RegBinary, RegDword}) {
                for (size_t size : {size_t{1}, size_t{4}, size_t{SettingDataBytes}, size_t{SettingDataBytes + 1}}) {
                    Bytes data = type == RegSz ? Text(std::string(size, '7')) : Bytes(size, 0x31);
                    for (uint32_t room : {0u, 3u, 4u, 1024u}) {
                        Bytes input(8, 0);
                        std::memcpy(input.data(), name, std::strlen(name));
                        Put32(input, 4, room);
                        seeds.push_back(Seed().Request(a, IOCTL_VIDEO_WRITE_SETTING, WriteRecord(name, type, data), 0)
                                            .Request(a, IOCTL_VIDEO_READ_SETTING, input, sizeof(SettingReply)));
                    }
                }
            }
        }
        // Relayed values the harness's registry holds as a program may leave them.
        for (const char* name : {"ZRText", "ZRMulti"}) {
            seeds.push_back(Seed().Request(a, IOCTL_VIDEO_READ_SETTING, Text(name), sizeof(SettingReply)));
        }
        // Numbers read as text from values shorter than a dword, of the largest number, and longer
        // than the reply holds.
        for (size_t size : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{4}, size_t{SettingDataBytes + 1}}) {
            seeds.push_back(Seed().Request(a, IOCTL_VIDEO_WRITE_SETTING, WriteRecord("KMTC4_Level", RegBinary, Bytes(size, 0xFF)), 0)
                                .Request(a, IOCTL_VIDEO_READ_SETTING, Text("KMTC4_Level"), sizeof(SettingReply)));
        }
        // Contiguous blocks to the bound of their count and bytes, and pages mapped from another
        // process's block, from past a block's end and across it.
        Seed blocks;
        for (int i = 0; i < 17; ++i) blocks.Request(a, IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, Dwords({0x1000}), sizeof(ADDRESS32));
        seeds.push_back(blocks);
        seeds.push_back(Seed().Request(a, IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, Dwords({16u << 20}), sizeof(ADDRESS32))
                            .Request(a, IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, Dwords({1}), sizeof(ADDRESS32)));
        for (uint32_t length : {0x1000u, 0x2000u, 0x2001u, 0u}) {
            seeds.push_back(Seed().Request(a, IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, Dwords({0x2000}), sizeof(ADDRESS32), 2)
                                .Request(a, IOCTL_VIDEO_MAP_PHYSICAL_PAGES, Dwords({0, length}), sizeof(ADDRESS32), 3, 0, 0)
                                .Request(a, IOCTL_VIDEO_MAP_PHYSICAL_PAGES, Dwords({0, length}), sizeof(ADDRESS32), 2, 0, 0)
                                .EndProcess(2)
                                .Request(a, IOCTL_VIDEO_MAP_PHYSICAL_PAGES, Dwords({0, length}), sizeof(ADDRESS32), 3, 0, 0));
        }
        // Aperture views released with both addresses the reply gave (wherever they are in it).
        for (int first = 0; first < 4; ++first) {
            for (int second = 0; second < 4; ++second) {
                seeds.push_back(Seed().Request(a, IOCTL_VIDEO_MAP_APERTURES, Dwords({0}), sizeof(ApertureMap), 2)
                                    .Patched(a, IOCTL_VIDEO_UNMAP_APERTURES, Dwords({0, 0, 0x1000 + 4 * 2}), 0, 2,
                                             {{0, first}, {1, second}}));
            }
        }
        // Aperture views released by another process, with the frame buffer's address only, twice.
        for (uint32_t process : {1u, 2u}) {
            seeds.push_back(Seed().Request(a, IOCTL_VIDEO_MAP_APERTURES, Dwords({0}), sizeof(ApertureMap), 2)
                                .Request(a, IOCTL_VIDEO_UNMAP_APERTURES, Dwords({0, 0, 0x1000 + 4 * 2}), 0, process, 1, 1)
                                .Request(a, IOCTL_VIDEO_UNMAP_APERTURES, Dwords({0, 0, 0x1000 + 4 * 2}), 0, process, 0, 0)
                                .Request(a, IOCTL_VIDEO_UNMAP_APERTURES, Dwords({0, 0, 0x1000 + 4 * 2}), 0, process, 0, 0));
        }
    }
    // Power states set without the query, the ones the query refuses among them.
    for (int a : {0, 1}) {
        for (uint32_t state = 1; state <= 6; ++state) {
            seeds.push_back(Seed().Power(a, false, state, false).Power(a, false, 1, false).SetMode(a, 0));
            seeds.push_back(Seed().Power(a, true, state, false).Power(a, true, 1));
        }
    }
    // Four boards: each adapter's contiguous blocks (each adapter claims a table of its own) with
    // pages mapped from them, to the bound of one adapter's blocks, and the third and fourth
    // adapters' modes, resets and mappings.
    for (int last = 0; last < 4; ++last) {
        Seed seed(true);
        for (int a = 0; a <= last; ++a) {
            seed.Request(a, IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, Dwords({0x2000}), sizeof(ADDRESS32), 2)
                .Request(a, IOCTL_VIDEO_MAP_PHYSICAL_PAGES, Dwords({0, 0x1000}), sizeof(ADDRESS32), 2, 0, 0);
        }
        seeds.push_back(seed);
    }
    for (int a : {2, 3}) {
        Seed blocks(true);
        for (int i = 0; i < 17; ++i) blocks.Request(a, IOCTL_VIDEO_ALLOCATE_CONTIGUOUS, Dwords({0x1000}), sizeof(ADDRESS32));
        seeds.push_back(blocks);
        for (uint16_t mode = 0; mode < 48; mode += 7) {
            seeds.push_back(Seed(true).SetMode(a, mode)
                                .Request(a, IOCTL_VIDEO_QUERY_CURRENT_MODE, {}, sizeof(VIDEO_MODE_INFORMATION))
                                .Request(a, IOCTL_VIDEO_SET_COLOR_REGISTERS, Clut(256, 0), 0)
                                .Reset(a, mode % 2));
        }
        seeds.push_back(Seed(true).Request(a, IOCTL_VIDEO_MAP_APERTURES, Dwords({0}), sizeof(ApertureMap), 3)
                            .Request(a, IOCTL_VIDEO_UNMAP_APERTURES, Dwords({0, 0, 0x1000 + 4 * 3}), 0, 3, 0, 0)
                            .Power(a, false, 4).Power(a, false, 1).Power(a, true, 4));
    }
    // The monitor read after each power state and reset, and with the routine that reads it failing.
    for (uint32_t state = 1; state <= 6; ++state) seeds.push_back(Seed().Power(1, false, state).Enumerate());
    seeds.push_back(Seed().Reset(1, false).Enumerate());
    seeds.push_back(Seed().SetMode(1, 3).Enumerate());
    seeds.push_back(Seed().Fail(1, sim::PlatformCall::DDCMonitorHelper).Enumerate());
    std::vector<Bytes> files;
    for (const Seed& seed : seeds) files.push_back(seed.bytes);
    return files;
}

// A discovery input: flags (bits 5-6 the memory size), device byte, the maker's subsystem, BIOS byte,
// and registry values of (name index in the harness's list, type, data).
Bytes Board(uint8_t flags, uint8_t device, uint8_t bios, const std::vector<std::tuple<uint8_t, uint8_t, Bytes>>& values) {
    Bytes input{flags, device, 0x5D, 0x1A, 0x01, 0x00, 1, bios, static_cast<uint8_t>(values.size())};
    for (const auto& [name, type, data] : values) {
        input.insert(input.end(), {name, type, static_cast<uint8_t>(data.size()), static_cast<uint8_t>(data.size() >> 8)});
        input.insert(input.end(), data.begin(), data.end());
    }
    return input;
}

// The standard board (16 MiB, device 5, the maker's subsystem), primary or secondary, with one
// routine failing; each device, memory size and BIOS with clock and gamma values in and out of range.
std::vector<Bytes> DiscoverySeeds() {
    constexpr uint8_t GammaTable = 5, LumenGammaTable = 6, GraphicsClocking = 8, MemClocking = 9;
    std::vector<Bytes> seeds;
    const uint32_t clocks[][2] = {{30, 49}, {31, 50}, {50, 105}, {100, 106}, {169, 169}, {170, 170}, {219, 0}, {220, 1000}};
    for (uint8_t device : {0, 1, 2}) {
        for (uint8_t flags : {0x00, 0x01, 0x20, 0x40, 0x44, 0x08, 0x41}) {
            for (const auto& clock : clocks) {
                seeds.push_back(Board(flags, device, static_cast<uint8_t>(clock[0] % 6),
                                      {{GraphicsClocking, RegDword, Dwords({clock[0]})},
                                       {MemClocking, RegDword, Dwords({clock[1]})}}));
            }
        }
    }
    for (uint8_t name : {GammaTable, LumenGammaTable}) {
        for (uint8_t type : {RegBinary, RegDword, RegSz}) {
            for (uint32_t size : {0u, 4u, GammaTableBytes - 1, GammaTableBytes, GammaTableBytes + 1}) {
                seeds.push_back(Board(0x40, 2, 0, {{name, type, Bytes(size, 0x81)}}));
            }
        }
    }
    // The board found after 1 to 7 others, started, and refused after it took its tables (the
    // first call reading its configuration space failing).
    for (uint8_t others = 1; others < 8; ++others) {
        const uint8_t device = static_cast<uint8_t>(0xF8 + others);
        seeds.push_back(Board(0x40, device, 0, {}));
        seeds.push_back(Bytes{0x80 | 0x40, static_cast<uint8_t>(sim::PlatformCall::GetBusData), 1, device, 0x5D, 0x1A,
                              0x01, 0x00, 1, 0, 0});
    }
    for (uint8_t secondary : {0, 1}) {
        for (unsigned call = 0; call < static_cast<unsigned>(sim::PlatformCall::Count); ++call) {
            for (uint8_t occurrence : {1, 2, 3, 0}) {
                seeds.push_back(Bytes{static_cast<uint8_t>(0x80 | 0x40 | secondary), static_cast<uint8_t>(call), occurrence,
                                      2, 0x5D, 0x1A, 0x01, 0x00, 1, 0, 0});
            }
        }
    }
    return seeds;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: seeds HARNESS DIRECTORY\n");
        return 2;
    }
    const std::string harness = argv[1];
    std::vector<Bytes> seeds = harness == "request" ? RequestSeeds() : harness == "discovery" ? DiscoverySeeds()
                                                                                              : std::vector<Bytes>{};
    for (size_t i = 0; i < seeds.size(); ++i) {
        std::string path = std::string(argv[2]) + "/seed-" + std::to_string(i);
        FILE* file = std::fopen(path.c_str(), "wb");
        if (!file || std::fwrite(seeds[i].data(), 1, seeds[i].size(), file) != seeds[i].size()) {
            std::perror(path.c_str());
            return 1;
        }
        std::fclose(file);
    }
    std::printf("%zu %s seeds in %s\n", seeds.size(), harness.c_str(), argv[2]);
    return 0;
}
