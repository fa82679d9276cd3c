// The machine: boot, requests, state, decoding of physical memory and I/O space, faults.
#include "machine.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "adapter/callbacks.h"
#include "option_rom.h"

extern "C" {
// The driver image's writable data (see DRIVER_IMAGE_DATA). Weak: an image may have none.
extern char __start_zarn_image_data[] __attribute__((weak));
extern char __stop_zarn_image_data[] __attribute__((weak));
}

namespace sim {

namespace {

thread_local Machine* currentMachine = nullptr;
Machine* imageOwner = nullptr;

std::vector<uint8_t> ReadImage() {
    if (!__start_zarn_image_data || !__stop_zarn_image_data) return {};
    return std::vector<uint8_t>(__start_zarn_image_data, __stop_zarn_image_data);
}

void WriteImage(const std::vector<uint8_t>& image) {
    if (!image.empty()) std::memcpy(__start_zarn_image_data, image.data(), image.size());
}

// The image as the loader finds it in the file, before any driver code has run.
const std::vector<uint8_t> pristineImage = ReadImage();

constexpr uint32_t DriverObjectAddress = 0x8A000000;
constexpr uint32_t Windows2000InitDataSize = 80;
static_assert(offsetof(VIDEO_HW_INITIALIZATION_DATA, Reserved) == Windows2000InitDataSize);
constexpr uint32_t RegistryPathAddress = 0x8A001000;
constexpr uint32_t RequestPattern = 0xCD;   // what a fresh system buffer holds beyond the input
constexpr uint32_t StatusUnset = 0xFFFFFFFF;

constexpr uint32_t FrameBufferWindowSize = 16u << 20;
constexpr uint32_t PciMemoryBase = 0xA0000000;   // where the system assigns PCI memory windows
constexpr uint32_t IoWindowSize = 256;
constexpr uint32_t RomWindowSize = 128u << 10;
constexpr uint32_t VgaFirstOffset = 0xC0;    // I/O window offset of VGA port 0x3C0
constexpr uint32_t VgaLastOffset = 0xDF;

uint32_t AlignUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) & ~(alignment - 1); }

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string NarrowName(PCWSTR name) {
    std::string out;
    for (; name && *name; ++name) out.push_back(*name < 0x80 ? static_cast<char>(*name) : '?');
    return out;
}

}  // namespace

Machine* CurrentMachine() { return currentMachine; }

const char* PlatformCallName(PlatformCall call) {
    switch (call) {
    case PlatformCall::GetAccessRanges: return "GetAccessRanges";
    case PlatformCall::VerifyAccessRanges: return "VerifyAccessRanges";
    case PlatformCall::GetDeviceBase: return "GetDeviceBase";
    case PlatformCall::GetBusData: return "GetBusData";
    case PlatformCall::SetBusData: return "SetBusData";
    case PlatformCall::GetRegistryParameters: return "GetRegistryParameters";
    case PlatformCall::SetRegistryParameters: return "SetRegistryParameters";
    case PlatformCall::ScanRom: return "ScanRom";
    case PlatformCall::Int10: return "Int10";
    case PlatformCall::Count: break;
    }
    return "?";
}

bool ParsePlatformCall(const std::string& name, PlatformCall* call) {
    for (int i = 0; i < static_cast<int>(PlatformCall::Count); ++i) {
        if (name == PlatformCallName(static_cast<PlatformCall>(i))) {
            *call = static_cast<PlatformCall>(i);
            return true;
        }
    }
    return false;
}

// --- Construction and state ---------------------------------------------------------------------

Machine::Machine(MachineConfig config) : config_(std::move(config)), image_(pristineImage) {
    if (config_.adapters.empty()) throw std::invalid_argument("a machine needs at least one adapter");
    if (config_.adapters.size() > MaxAdapters) {
        throw std::invalid_argument("at most " + std::to_string(MaxAdapters) + " adapters fit in the machine");
    }
    uint32_t nextMemory = PciMemoryBase;
    for (size_t i = 0; i < config_.adapters.size(); ++i) {
        const AdapterConfig& ac = config_.adapters[i];
        AdapterRuntime adapter;
        adapter.config = ac;
        adapter.slot = static_cast<uint32_t>(i + 1);
        PciIdentity identity{ZarnVendorId, ac.deviceId, ac.revision, ac.subsystemVendor, ac.subsystemId};
        std::array<BarLayout, 3> bars{BarLayout{ac.registerWindowMiB << 20, false, false},
                                      BarLayout{FrameBufferWindowSize, false, true},
                                      BarLayout{IoWindowSize, true, false}};
        adapter.pci = PciFunction(identity, bars, ac.hasRom ? RomWindowSize : 0);
        // The system assigns each window at the next address aligned to its size.
        uint32_t registerBase = AlignUp(nextMemory, bars[0].size);
        uint32_t frameBufferBase = AlignUp(registerBase + bars[0].size, bars[1].size);
        nextMemory = frameBufferBase + bars[1].size;
        adapter.pci.Assign({registerBase, frameBufferBase, 0xD000u + static_cast<uint32_t>(i) * IoWindowSize},
                           !ac.secondary);
        if (ac.bus66) adapter.pci.SetStatusBits(pcicfg::Status66MHz);
        adapter.chip = Chip(Straps{ac.memoryMiB, ac.altMemory});
        // The system BIOS runs the video BIOS of the primary adapter before any driver loads.
        if (!ac.secondary && ac.hasRom) RunPowerOnSelfTest(adapter.chip, ac.deviceId, ac.bus66);
        world_.adapters.push_back(std::move(adapter));
        videoMemory_.emplace_back(static_cast<size_t>(ac.memoryMiB) << 20, 0);
        if (!ac.hasRom) roms_.emplace_back();
        else if (ac.romImage.empty()) roms_.push_back(BuiltinRom(ZarnVendorId, ac.deviceId));
        else roms_.push_back(ac.romImage);
        if (roms_.back().size() > RomWindowSize) throw std::invalid_argument("the option ROM image is larger than 128 KiB");
    }
    for (auto& counts : world_.callCounts) counts.assign(config_.adapters.size() + 1, 0);
}

Machine::~Machine() {
    if (imageOwner == this) imageOwner = nullptr;
    if (currentMachine == this) currentMachine = nullptr;
}

// Makes this machine the one the driver runs for, with its own copy of the image's data.
void Machine::Activate() {
    if (imageOwner != this) {
        if (imageOwner) imageOwner->image_ = ReadImage();
        WriteImage(image_);
        imageOwner = this;
    }
    currentMachine = this;
}

Machine::Snapshot Machine::Save() {
    Activate();
    return Snapshot{world_, ReadImage()};
}

void Machine::Restore(const Snapshot& snapshot) {
    KernelSpace kernel = std::move(world_.kernel);
    kernel.RestoreFrom(snapshot.world.kernel);
    World world = snapshot.world;
    world.kernel = std::move(kernel);
    world_ = std::move(world);
    WriteImage(snapshot.image);
}

std::string Machine::DeviceKey(int adapter) {
    return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device" + std::to_string(adapter);
}

std::vector<Fault> Machine::DriverFaults() const {
    std::vector<Fault> out;
    for (const Fault& fault : world_.faults) {
        if (fault.kind == FaultKind::Driver) out.push_back(fault);
    }
    return out;
}

void Machine::ReportFault(FaultKind kind, int adapter, const std::string& message) {
    std::string key = std::to_string(static_cast<int>(kind)) + "/" + std::to_string(adapter) + "/" + message;
    auto found = world_.faultIndex.find(key);
    if (found != world_.faultIndex.end()) {
        ++world_.faults[found->second].count;
        return;
    }
    world_.faultIndex.emplace(key, world_.faults.size());
    world_.faults.push_back(Fault{kind, adapter, message, 1});
}

void Machine::InjectFault(const InjectedFault& fault) { world_.injected.push_back(fault); }

bool Machine::ShouldFail(PlatformCall call, int adapter, uint32_t* status) {
    auto& counts = world_.callCounts[static_cast<size_t>(call)];
    unsigned& count = counts[static_cast<size_t>(adapter + 1)];
    ++count;
    for (const InjectedFault& fault : world_.injected) {
        if (fault.call != call || (fault.adapter != -1 && fault.adapter != adapter)) continue;
        if (fault.occurrence == 0 || fault.occurrence == count) {
            *status = fault.status;
            return true;
        }
    }
    return false;
}

void Machine::Trace(int adapter, bool write, unsigned width, Window window, uint32_t offset, std::string name,
                    uint32_t value) {
    if (!tracing_) return;
    world_.trace.push_back(TraceEntry{adapter, write, width, window, offset, std::move(name), value});
}

// --- Boot ---------------------------------------------------------------------------------------

uint32_t Machine::Boot() {
    Activate();
    world_.driverEntryStatus = DriverEntry(reinterpret_cast<PVOID>(uintptr_t{DriverObjectAddress}),
                                           reinterpret_cast<PVOID>(uintptr_t{RegistryPathAddress}));
    if (world_.driverEntryStatus == 0 && world_.registered) {
        for (size_t i = 0; i < world_.adapters.size(); ++i) StartAdapter(static_cast<int>(i));
    }
    return world_.driverEntryStatus;
}

void* Machine::Extension(int adapter) {
    uint32_t address = world_.adapters.at(adapter).extension;
    return address ? HostPointer(address) : nullptr;
}

PVOID Machine::ExtensionPointer(int adapter) {
    return HostPointer(world_.adapters[adapter].extension);
}

void Machine::StartAdapter(int index) {
    AdapterRuntime& adapter = world_.adapters[index];
    const VIDEO_HW_INITIALIZATION_DATA& data = world_.registration;
    if (data.AdapterInterfaceType != PCIBus || !data.HwSetPowerState.address || !data.HwGetPowerState.address) return;

    adapter.extension = world_.kernel.AllocateMemory(data.HwDeviceExtensionSize,
                                                     "device extension " + std::to_string(index));
    uint32_t configAddress = world_.kernel.AllocateMemory(sizeof(VIDEO_PORT_CONFIG_INFO), "configuration information");
    auto* configInfo = static_cast<PVIDEO_PORT_CONFIG_INFO>(HostPointer(configAddress));
    configInfo->Length = config_.configInfoLength;
    configInfo->SystemIoBusNumber = 0;
    configInfo->AdapterInterfaceType = PCIBus;
    configInfo->BusInterruptLevel = adapter.pci.ReadByte(pcicfg::InterruptLine);
    configInfo->BusInterruptVector = adapter.pci.ReadByte(pcicfg::InterruptLine);
    configInfo->InterruptMode = LevelSensitive;
    configInfo->VdmPhysicalVideoMemoryAddress.QuadPart = 0xA0000;
    configInfo->VdmPhysicalVideoMemoryLength = 0x20000;
    configInfo->SystemMemorySize = 64u << 20;

    world_.currentAdapter = index;
    PVIDEO_HW_FIND_ADAPTER findAdapter = data.HwFindAdapter;
    UCHAR again = 0;
    adapter.discoveryStatus = findAdapter(ExtensionPointer(index), nullptr, nullptr, configInfo, &again);
    adapter.discoveryRan = true;
    adapter.again = again;
    adapter.configInfo = *configInfo;
    world_.kernel.Free(configAddress);

    if (adapter.discoveryStatus == NO_ERROR) {
        PVIDEO_HW_INITIALIZE initialize = data.HwInitialize;
        adapter.initializeRan = true;
        adapter.started = initialize(ExtensionPointer(index)) != FALSE;
    }
    world_.currentAdapter = -1;
}

uint32_t Machine::VideoPortInitialize(PVOID argument1, PVOID argument2, PVIDEO_HW_INITIALIZATION_DATA data) {
    if (reinterpret_cast<uintptr_t>(argument1) != DriverObjectAddress ||
        reinterpret_cast<uintptr_t>(argument2) != RegistryPathAddress) {
        ReportFault(FaultKind::Driver, -1, "VideoPortInitialize was not given the driver entry's arguments");
        return static_cast<uint32_t>(STATUS_INVALID_PARAMETER);
    }
    // The Windows 2000 port knows the record up to AllowEarlyEnumeration.
    if (data->HwInitDataSize != Windows2000InitDataSize) return static_cast<uint32_t>(STATUS_REVISION_MISMATCH);
    if (!data->HwFindAdapter.address || !data->HwInitialize.address || !data->HwStartIO.address) {
        return static_cast<uint32_t>(STATUS_INVALID_PARAMETER);
    }
    std::memcpy(&world_.registration, data, Windows2000InitDataSize);
    world_.registered = true;
    if (!data->HwSetPowerState.address || !data->HwGetPowerState.address) {
        ReportFault(FaultKind::Driver, -1,
                    "registered without power callbacks: the port starts no Plug and Play adapter for it");
    }
    return 0;
}

// --- Requests -----------------------------------------------------------------------------------

RequestResult Machine::Request(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength,
                               const RequestOptions& options) {
    if (options.adapter < 0 || static_cast<size_t>(options.adapter) >= world_.adapters.size()) {
        throw std::invalid_argument("there is no adapter " + std::to_string(options.adapter));
    }
    if (!world_.adapters[options.adapter].started) {
        throw std::invalid_argument("adapter " + std::to_string(options.adapter) + " was not started");
    }
    if (!config_.checkAliasing) return RunRequest(code, input, outputLength, options, true);

    // The separate run is only the check; the machine goes on from the run the port makes, with one buffer.
    Snapshot before = Save();
    RequestResult separate = RunRequest(code, input, outputLength, options, false);
    Restore(before);
    RequestResult aliased = RunRequest(code, input, outputLength, options, true);
    if (!(aliased == separate)) {
        ReportFault(FaultKind::Driver, options.adapter,
                    "request " + Hex(code) + " answers differently when input and output share one buffer");
    }
    return aliased;
}

RequestResult Machine::RunRequest(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength,
                                  const RequestOptions& options, bool aliased) {
    Activate();
    const uint32_t inputLength = static_cast<uint32_t>(input.size());
    KernelSpace& kernel = world_.kernel;

    auto allocate = [&](uint32_t size, const char* purpose) -> uint32_t {
        if (size == 0) return 0;
        uint32_t address = kernel.AllocateMemory(size, purpose);
        std::memset(HostPointer(address), RequestPattern, size);
        return address;
    };
    uint32_t inputAddress, outputAddress;
    if (aliased) {
        inputAddress = outputAddress = allocate(std::max(inputLength, outputLength), "system buffer");
    } else {
        inputAddress = allocate(inputLength, "input buffer");
        outputAddress = allocate(outputLength, "output buffer");
    }
    if (inputLength) std::memcpy(HostPointer(inputAddress), input.data(), inputLength);

    uint32_t statusAddress = kernel.AllocateMemory(sizeof(STATUS_BLOCK), "status block");
    uint32_t packetAddress = kernel.AllocateMemory(sizeof(VIDEO_REQUEST_PACKET), "request packet");
    auto* statusBlock = static_cast<PSTATUS_BLOCK>(HostPointer(statusAddress));
    auto* packet = static_cast<PVIDEO_REQUEST_PACKET>(HostPointer(packetAddress));
    statusBlock->Status = StatusUnset;
    statusBlock->Information = options.presetInformation;
    packet->IoControlCode = code;
    packet->StatusBlock.address = statusAddress;
    packet->InputBuffer.address = inputAddress;
    packet->InputBufferLength = inputLength;
    packet->OutputBuffer.address = outputAddress;
    packet->OutputBufferLength = outputLength;

    world_.currentProcess = options.process;
    world_.currentAdapter = options.adapter;
    PVIDEO_HW_START_IO startIo = world_.registration.HwStartIO;
    BOOLEAN handled = startIo(ExtensionPointer(options.adapter), packet);
    world_.currentAdapter = -1;

    RequestResult result;
    result.status = statusBlock->Status;
    result.information = statusBlock->Information;
    if (!handled) ReportFault(FaultKind::Driver, options.adapter, "HwStartIO returned FALSE for " + Hex(code));
    if (result.status == StatusUnset) {
        ReportFault(FaultKind::Driver, options.adapter, "HwStartIO left the status of " + Hex(code) + " unset");
    }
    // The I/O manager copies Information bytes back for a success or warning status only; on a
    // failure Information is the size the requester must supply, and nothing is copied.
    bool copyBack = result.status == NO_ERROR || result.status == ERROR_MORE_DATA;
    if (copyBack && result.information > outputLength) {
        ReportFault(FaultKind::Driver, options.adapter,
                    "request " + Hex(code) + " reports " + std::to_string(result.information) +
                        " bytes of output in a buffer of " + std::to_string(outputLength));
    }
    if (copyBack && outputAddress) {
        uint32_t count = std::min(result.information, outputLength);
        auto* bytes = static_cast<uint8_t*>(HostPointer(outputAddress));
        result.output.assign(bytes, bytes + count);
    }

    for (uint32_t address : {inputAddress, outputAddress, statusAddress, packetAddress}) {
        if (address) kernel.Free(address);
    }
    return result;
}

bool Machine::ResetHw(int adapter, ULONG columns, ULONG rows) {
    if (adapter < 0 || static_cast<size_t>(adapter) >= world_.adapters.size() || !world_.adapters[adapter].started) {
        throw std::invalid_argument("adapter " + std::to_string(adapter) + " was not started");
    }
    Activate();
    PVIDEO_HW_RESET_HW resetHw = world_.registration.HwResetHw;
    if (!resetHw) return false;
    world_.currentAdapter = adapter;
    bool result = resetHw(ExtensionPointer(adapter), columns, rows) != FALSE;
    world_.currentAdapter = -1;
    return result;
}

// --- Platform routines --------------------------------------------------------------------------

int Machine::AdapterOfExtension(PVOID extension, const char* routine) {
    uint32_t address = world_.kernel.AddressOfHost(extension);
    for (size_t i = 0; i < world_.adapters.size(); ++i) {
        if (address && world_.adapters[i].extension == address) return static_cast<int>(i);
    }
    ReportFault(FaultKind::Driver, world_.currentAdapter,
                std::string(routine) + " was given something other than a device extension");
    return -1;
}

// True when [start, start + length) lies inside one of the adapter's windows of that space.
bool Machine::InsideAdapterWindow(const AdapterRuntime& adapter, uint64_t start, uint32_t length, bool io) {
    for (int bar = 0; bar < 3; ++bar) {
        uint64_t barStart = adapter.pci.BarAddress(bar);
        if (adapter.pci.BarIsIo(bar) == io && start >= barStart && start + length <= barStart + adapter.pci.BarSize(bar)) {
            return true;
        }
    }
    return false;
}

// The start of every platform routine: the adapter whose device extension it was given, or a failure
// (an unknown extension, status 87, or an injected fault with its status).
Machine::RoutineCall Machine::BeginRoutine(PVOID extension, const char* routine, PlatformCall platformCall) {
    RoutineCall call;
    call.adapter = AdapterOfExtension(extension, routine);
    if (call.adapter < 0) {
        call.fail = true;
        call.status = ERROR_INVALID_PARAMETER;
    } else {
        call.fail = ShouldFail(platformCall, call.adapter, &call.status);
    }
    return call;
}

uint32_t Machine::GetAccessRanges(PVOID extension, ULONG count, PVIDEO_ACCESS_RANGE ranges, PVOID vendorId,
                                  PVOID deviceId, PULONG slot) {
    RoutineCall call = BeginRoutine(extension, "VideoPortGetAccessRanges", PlatformCall::GetAccessRanges);
    if (call.adapter < 0) return call.status;
    int index = call.adapter;
    // A Plug and Play start gives the device's own resources; the identification is only recorded.
    AdapterRuntime& caller = world_.adapters[index];
    caller.askedVendorId = vendorId ? *static_cast<const USHORT*>(vendorId) : 0;
    caller.askedDeviceId = deviceId ? *static_cast<const USHORT*>(deviceId) : 0;
    if (call.fail) return call.status;
    if (count < 3) return ERROR_MORE_DATA;

    const AdapterRuntime& adapter = world_.adapters[index];
    for (int bar = 0; bar < 3; ++bar) {
        VIDEO_ACCESS_RANGE& range = ranges[bar];
        range.RangeStart.QuadPart = adapter.pci.BarAddress(bar);
        range.RangeLength = adapter.pci.BarSize(bar);
        range.RangeInIoSpace = adapter.pci.BarIsIo(bar) ? 1 : 0;
        range.RangeVisible = 0;
        range.RangeShareable = adapter.pci.BarIsIo(bar) ? 0 : 1;
        range.RangePassive = 0;
    }
    *slot = adapter.slot;
    return NO_ERROR;
}

uint32_t Machine::VerifyAccessRanges(PVOID extension, ULONG count, PVIDEO_ACCESS_RANGE ranges) {
    RoutineCall call = BeginRoutine(extension, "VideoPortVerifyAccessRanges", PlatformCall::VerifyAccessRanges);
    if (call.fail) return call.status;
    int index = call.adapter;

    const AdapterRuntime& adapter = world_.adapters[index];
    for (ULONG i = 0; i < count; ++i) {
        const VIDEO_ACCESS_RANGE& range = ranges[i];
        // A resource is memory or I/O; mapping attributes such as write combining are no resource type.
        bool typeKnown = range.RangeInIoSpace == VIDEO_MEMORY_SPACE_MEMORY || range.RangeInIoSpace == VIDEO_MEMORY_SPACE_IO;
        if (!typeKnown || !InsideAdapterWindow(adapter, static_cast<uint64_t>(range.RangeStart.QuadPart),
                                               range.RangeLength, range.RangeInIoSpace == VIDEO_MEMORY_SPACE_IO)) {
            return ERROR_INVALID_PARAMETER;
        }
    }
    return NO_ERROR;
}

PVOID Machine::GetDeviceBase(PVOID extension, PHYSICAL_ADDRESS address, ULONG length, UCHAR inIoSpace) {
    RoutineCall call = BeginRoutine(extension, "VideoPortGetDeviceBase", PlatformCall::GetDeviceBase);
    if (call.fail) return nullptr;
    int index = call.adapter;

    AdapterRuntime& adapter = world_.adapters[index];
    uint64_t start = static_cast<uint64_t>(address.QuadPart);
    bool io = inIoSpace & VIDEO_MEMORY_SPACE_IO;
    if (!InsideAdapterWindow(adapter, start, length, io)) {
        ReportFault(FaultKind::Driver, index, "VideoPortGetDeviceBase of " + Hex(start) + " outside the adapter");
        return nullptr;
    }
    // On x86 an I/O range is used by its port numbers.
    uint32_t base = io ? static_cast<uint32_t>(start)
                       : world_.kernel.MapPhysical(static_cast<uint32_t>(start), length, "device mapping");
    adapter.mappings.push_back(DeviceMapping{start, length, inIoSpace, base});
    return reinterpret_cast<PVOID>(uintptr_t{base});
}

ULONG Machine::GetBusData(PVOID extension, BUS_DATA_TYPE type, ULONG slot, PVOID buffer, ULONG offset,
                          ULONG length) {
    RoutineCall call = BeginRoutine(extension, "VideoPortGetBusData", PlatformCall::GetBusData);
    if (call.fail) return 0;
    int index = call.adapter;
    if (type != PCIConfiguration || offset >= 256) return 0;

    auto* bytes = static_cast<uint8_t*>(buffer);
    for (AdapterRuntime& adapter : world_.adapters) {
        if (adapter.slot != slot) continue;
        ULONG count = std::min<ULONG>(length, 256 - offset);
        for (ULONG i = 0; i < count; ++i) bytes[i] = adapter.pci.ReadByte(offset + i);
        Trace(index, false, count * 8, Window::Config, offset, "config", count >= 4 ? adapter.pci.ReadDword(offset) : 0);
        return count;
    }
    // An empty slot answers with an invalid vendor ID.
    if (length >= 2) bytes[0] = bytes[1] = 0xFF;
    return length >= 2 ? 2 : 0;
}

ULONG Machine::SetBusData(PVOID extension, BUS_DATA_TYPE type, ULONG slot, PVOID buffer, ULONG offset,
                          ULONG length) {
    RoutineCall call = BeginRoutine(extension, "VideoPortSetBusData", PlatformCall::SetBusData);
    if (call.fail) return 0;
    int index = call.adapter;
    if (type != PCIConfiguration || offset >= 256) return 0;

    const auto* bytes = static_cast<const uint8_t*>(buffer);
    for (AdapterRuntime& adapter : world_.adapters) {
        if (adapter.slot != slot) continue;
        ULONG count = std::min<ULONG>(length, 256 - offset);
        // One access of `count` bytes; the trace names the registers it changed.
        std::string changes;
        for (ULONG dword = offset & ~3u; dword < offset + count; dword += 4) {
            uint32_t before = adapter.pci.ReadDword(dword);
            for (ULONG i = dword; i < dword + 4; ++i) {
                if (i >= offset && i < offset + count) adapter.pci.WriteByte(i, bytes[i - offset]);
            }
            uint32_t after = adapter.pci.ReadDword(dword);
            if (after != before) changes += " [" + Hex(dword) + "]=" + Hex(after);
        }
        uint32_t first = 0;
        for (ULONG i = 0; i < 4 && i < count; ++i) first |= static_cast<uint32_t>(bytes[i]) << (8 * i);
        Trace(index, true, count * 8, Window::Config, offset, "config" + changes, first);
        return count;
    }
    return 0;
}

uint32_t Machine::SetRegistryParameters(PVOID extension, PWSTR name, PVOID data, ULONG length) {
    RoutineCall call = BeginRoutine(extension, "VideoPortSetRegistryParameters", PlatformCall::SetRegistryParameters);
    if (call.fail) return call.status;
    int index = call.adapter;
    const auto* bytes = static_cast<const uint8_t*>(data);
    world_.registry.SetValue(DeviceKey(index), NarrowName(name), regtype::Binary,
                             std::vector<uint8_t>(bytes, bytes + length));
    world_.registryCalls.push_back(RegistryCall{index, true, NarrowName(name), true, 0});
    return NO_ERROR;
}

uint32_t Machine::GetRegistryParameters(PVOID extension, PWSTR name, UCHAR isFileName,
                                        PMINIPORT_GET_REGISTRY_ROUTINE callback, PVOID context) {
    RoutineCall call = BeginRoutine(extension, "VideoPortGetRegistryParameters", PlatformCall::GetRegistryParameters);
    if (call.fail) return call.status;
    int index = call.adapter;
    if (isFileName) {
        ReportFault(FaultKind::Driver, index, "VideoPortGetRegistryParameters with a file name is not simulated");
        return ERROR_INVALID_PARAMETER;
    }
    const RegValue* value = world_.registry.GetValue(DeviceKey(index), NarrowName(name));
    world_.registryCalls.push_back(RegistryCall{index, false, NarrowName(name), value != nullptr, 0});
    if (!value) return ERROR_INVALID_PARAMETER;

    // The callback sees a copy of exactly the value's bytes, as the port hands it over.
    std::vector<uint8_t> bytes = value->data;
    uint32_t size = static_cast<uint32_t>(bytes.size());
    uint32_t address = size ? world_.kernel.AllocateMemory(size, "registry value") : 0;
    if (size) std::memcpy(HostPointer(address), bytes.data(), size);
    uint32_t result = callback(extension, context, name, HostPointer(address), size);
    if (address) world_.kernel.Free(address);
    world_.registryCalls.back().status = result;
    return result;
}

BOOLEAN Machine::ScanRom(PVOID extension, PUCHAR base, ULONG length, PUCHAR text) {
    RoutineCall call = BeginRoutine(extension, "VideoPortScanRom", PlatformCall::ScanRom);
    if (call.fail) return FALSE;
    int index = call.adapter;
    size_t textLength = std::strlen(reinterpret_cast<const char*>(text));
    auto start = reinterpret_cast<uintptr_t>(base);

    // The port reads the memory byte by byte; one trace entry stands for the whole scan.
    std::vector<uint8_t> bytes(length);
    tracing_ = false;
    for (ULONG i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(ReadMemory(reinterpret_cast<const volatile void*>(start + i), 8));
    }
    tracing_ = true;
    bool found = false;
    for (size_t i = 0; !found && textLength && i + textLength <= bytes.size(); ++i) {
        found = std::memcmp(&bytes[i], text, textLength) == 0;
    }
    const Region* region = world_.kernel.Find(static_cast<uint32_t>(start));
    uint32_t offset = region ? region->physical + (static_cast<uint32_t>(start) - region->base) -
                                   world_.adapters[index].pci.BarAddress(0)
                             : 0;
    Trace(index, false, 8, Window::Mmio, offset,
          "rom scan " + std::to_string(length) + " bytes for \"" + reinterpret_cast<const char*>(text) + "\"",
          found ? 1 : 0);
    return found ? TRUE : FALSE;
}

uint32_t Machine::Int10(PVOID extension, PVIDEO_X86_BIOS_ARGUMENTS arguments) {
    RoutineCall call = BeginRoutine(extension, "VideoPortInt10", PlatformCall::Int10);
    if (call.fail) return call.status;
    int index = call.adapter;
    AdapterRuntime& adapter = world_.adapters[index];
    if (adapter.config.secondary) {
        ReportFault(FaultKind::Driver, index, "a BIOS call for a secondary adapter reaches the primary's video BIOS");
        return ERROR_INVALID_PARAMETER;
    }
    if (!adapter.config.hasRom) {
        // No video BIOS: the system's interrupt vector returns with the registers unchanged.
        Trace(index, true, 0, Window::Bios, 0, "int10 (no video BIOS)", arguments->Eax);
        return NO_ERROR;
    }
    BiosRegisters registers{arguments->Eax, arguments->Ebx, arguments->Ecx, arguments->Edx,
                            arguments->Esi, arguments->Edi, arguments->Ebp};
    std::string description = CallVideoBios(adapter.chip, adapter.config.bios, registers);
    arguments->Eax = registers.eax;
    arguments->Ebx = registers.ebx;
    arguments->Ecx = registers.ecx;
    arguments->Edx = registers.edx;
    arguments->Esi = registers.esi;
    arguments->Edi = registers.edi;
    arguments->Ebp = registers.ebp;
    Trace(index, true, 0, Window::Bios, 0, description, registers.eax);
    return NO_ERROR;
}

// --- Addresses ----------------------------------------------------------------------------------

void* Machine::HostPointer(uint32_t address) {
    if (address == 0) return nullptr;
    Region* region = world_.kernel.Find(address);
    if (region && !region->device) return region->memory.data() + (address - region->base);
    return reinterpret_cast<void*>(uintptr_t{address});
}

uint32_t Machine::AddressOfPointer(const void* pointer) {
    auto value = reinterpret_cast<uintptr_t>(pointer);
    if (value <= 0xFFFFFFFFu) return static_cast<uint32_t>(value);
    uint32_t address = world_.kernel.AddressOfHost(pointer);
    if (address == 0) {
        ReportFault(FaultKind::Driver, world_.currentAdapter,
                    "a pointer outside the machine's address space was stored in a platform record");
    }
    return address;
}

// --- Hardware access ----------------------------------------------------------------------------

// The physical address behind a kernel virtual address of a device mapping; false (and a driver
// fault) when the address maps no device.
bool Machine::PhysicalOf(const volatile void* pointer, bool write, uint32_t* physical) {
    auto value = reinterpret_cast<uintptr_t>(pointer);
    const char* access = write ? "register write" : "register read";
    if (value > 0xFFFFFFFFu) {
        ReportFault(FaultKind::Driver, world_.currentAdapter, std::string(access) + " through a host pointer");
        return false;
    }
    const Region* region = world_.kernel.Find(static_cast<uint32_t>(value));
    if (!region || !region->device) {
        ReportFault(FaultKind::Driver, world_.currentAdapter,
                    std::string(access) + " at " + Hex(value) + ", which maps no device");
        return false;
    }
    *physical = region->physical + (static_cast<uint32_t>(value) - region->base);
    return true;
}

uint32_t Machine::ReadMemory(const volatile void* pointer, unsigned width) {
    uint32_t physical = 0;
    if (!PhysicalOf(pointer, false, &physical)) return 0xFFFFFFFF;
    return PhysicalAccess(physical, width, false, 0);
}

void Machine::WriteMemory(const volatile void* pointer, unsigned width, uint32_t value) {
    uint32_t physical = 0;
    if (PhysicalOf(pointer, true, &physical)) PhysicalAccess(physical, width, true, value);
}

uint32_t Machine::ReadPort(const volatile void* pointer, unsigned width) {
    return PortAccess(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)), width, false, 0);
}

void Machine::WritePort(const volatile void* pointer, unsigned width, uint32_t value) {
    PortAccess(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)), width, true, value);
}

uint32_t Machine::PhysicalAccess(uint32_t physical, unsigned width, bool write, uint32_t value) {
    for (size_t i = 0; i < world_.adapters.size(); ++i) {
        const PciFunction& pci = world_.adapters[i].pci;
        if (!pci.MemoryDecode()) continue;
        int index = static_cast<int>(i);
        uint32_t registerBase = pci.BarAddress(0);
        if (pci.RomEnabled() && physical - pci.RomAddress() < pci.RomSize()) {
            return RomAccess(index, physical - pci.RomAddress(), physical - registerBase, width, write);
        }
        if (physical - registerBase < pci.BarSize(0)) {
            return RegisterWindowAccess(index, physical - registerBase, width, write, value);
        }
        if (physical - pci.BarAddress(1) < pci.BarSize(1)) {
            return FrameBufferAccess(index, physical - pci.BarAddress(1), width, write, value);
        }
    }
    ReportFault(FaultKind::Driver, world_.currentAdapter,
                std::string(write ? "write" : "read") + " of physical address " + Hex(physical) +
                    ", where no device answers");
    return 0xFFFFFFFF;
}

uint32_t Machine::RegisterWindowAccess(int adapter, uint32_t offset, unsigned width, bool write, uint32_t value) {
    Chip& chip = world_.adapters[adapter].chip;
    const RegisterInfo* info = FindRegister(offset);
    if (!info) {
        // The chip does not decode the offset: writes are dropped and reads return 0.
        Trace(adapter, write, width, Window::Mmio, offset, "?", write ? value : 0);
        ReportFault(FaultKind::UnknownRegister, adapter,
                    std::string(write ? "write" : "read") + " of unknown register " + Hex(offset));
        return 0;
    }
    if (width != 32) {
        ReportFault(FaultKind::Driver, adapter,
                    std::to_string(width) + "-bit access to chip register " + Hex(offset) + "; registers are 32-bit");
        return 0xFFFFFFFF;
    }
    bool known = false;
    if (write) {
        chip.WriteRegister(offset, value, &known);
    } else {
        value = chip.ReadRegister(offset, &known);
    }
    Trace(adapter, write, width, Window::Mmio, offset, info->name, value);
    return value;
}

uint32_t Machine::RomAccess(int adapter, uint32_t romOffset, uint32_t windowOffset, unsigned width, bool write) {
    if (write) {
        ReportFault(FaultKind::Driver, adapter, "write to the option ROM at " + Hex(romOffset));
        return 0;
    }
    const std::vector<uint8_t>& rom = roms_[adapter];
    uint32_t value = 0;
    for (unsigned i = 0; i < width / 8; ++i) {
        uint32_t at = romOffset + i;
        // Beyond the image, the ROM's unprogrammed bytes read as 0xFF.
        uint8_t byte = at < rom.size() ? rom[at] : 0xFF;
        value |= static_cast<uint32_t>(byte) << (8 * i);
    }
    Trace(adapter, false, width, Window::Mmio, windowOffset, "rom", value);
    return value;
}

uint32_t Machine::FrameBufferAccess(int adapter, uint32_t offset, unsigned width, bool write, uint32_t value) {
    std::vector<uint8_t>& memory = videoMemory_[adapter];
    unsigned bytes = width / 8;
    if (offset + bytes > memory.size()) {
        ReportFault(FaultKind::UnknownRegister, adapter, "frame buffer access beyond video memory at " + Hex(offset));
        return write ? 0 : 0xFFFFFFFF;
    }
    if (write) {
        for (unsigned i = 0; i < bytes; ++i) memory[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        return 0;
    }
    uint32_t result = 0;
    for (unsigned i = 0; i < bytes; ++i) result |= static_cast<uint32_t>(memory[offset + i]) << (8 * i);
    return result;
}

uint32_t Machine::PortAccess(uint32_t port, unsigned width, bool write, uint32_t value) {
    for (size_t i = 0; i < world_.adapters.size(); ++i) {
        AdapterRuntime& adapter = world_.adapters[i];
        if (!adapter.pci.IoDecode()) continue;
        uint32_t offset = port - adapter.pci.BarAddress(2);
        if (offset >= adapter.pci.BarSize(2)) continue;
        int index = static_cast<int>(i);

        if (offset < VgaFirstOffset) {
            if (width != 32) {
                ReportFault(FaultKind::Driver, index,
                            std::to_string(width) + "-bit port access to chip register " + Hex(offset));
                return 0xFFFFFFFF;
            }
            bool known = false;
            if (write) adapter.chip.WriteRegister(offset, value, &known);
            else value = adapter.chip.ReadRegister(offset, &known);
            const RegisterInfo* info = FindRegister(offset);
            Trace(index, write, width, Window::Io, offset, info ? info->name : "?", value);
            if (!known) ReportFault(FaultKind::UnknownRegister, index, "port access to unknown register " + Hex(offset));
            return value;
        }
        if (offset > VgaLastOffset || width == 32) break;

        uint16_t vgaPort = static_cast<uint16_t>(0x300 + offset);
        bool known = false;
        if (write && width == 16) {
            adapter.chip.WriteVgaPortWord(vgaPort, static_cast<uint16_t>(value), &known);
        } else if (write) {
            adapter.chip.WriteVgaPort(vgaPort, static_cast<uint8_t>(value), &known);
        } else if (width == 8) {
            value = adapter.chip.ReadVgaPort(vgaPort, &known);
        } else {
            value = adapter.chip.ReadVgaPort(vgaPort, &known) |
                    adapter.chip.ReadVgaPort(static_cast<uint16_t>(vgaPort + 1), &known) << 8;
        }
        Trace(index, write, width, Window::Io, offset, Chip::VgaPortName(vgaPort, width == 16, static_cast<uint16_t>(value)),
              value);
        if (!known) ReportFault(FaultKind::UnknownRegister, index, "access to undecoded VGA port " + Hex(vgaPort));
        return value;
    }
    ReportFault(FaultKind::Driver, world_.currentAdapter,
                std::to_string(width) + "-bit " + (write ? "write" : "read") + " of I/O port " + Hex(port) +
                    ", where no device answers");
    return 0xFFFFFFFF;
}

}  // namespace sim
