#include "port/port.h"
#include "support/text_format.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr uint32_t DriverObjectAddress = 0x8A000000;
constexpr uint32_t RegistryPathAddress = 0x8A001000;
constexpr uint32_t Windows2000InitDataSize = 80;
static_assert(offsetof(VIDEO_HW_INITIALIZATION_DATA, Reserved) == Windows2000InitDataSize);

// A name the driver passes, in the registry's Latin-1 (as the kernel's own registry routines take it).
std::string NarrowName(PCWSTR name) { return name ? Latin1Of(std::u16string_view(name)) : std::string(); }

}  // namespace

VideoPort::VideoPort(Kernel& kernel, Bus& bus, FaultLog& faults, Miniport& miniport)
    : kernel_(kernel), bus_(bus), faults_(faults), miniport_(miniport) {
    state_.injector = FaultInjector(bus.BoardCount());
    state_.adapters.resize(bus.BoardCount());
}

std::string VideoPort::DeviceKey(int adapter) {
    return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device" + std::to_string(adapter);
}

void* VideoPort::Extension(int adapter) {
    uint32_t address = state_.adapters.at(adapter).extension;
    return address ? kernel_.HostPointer(address) : nullptr;
}

// --- Loading --------------------------------------------------------------------------------------

uint32_t VideoPort::Load() {
    state_.adapters.resize(bus_.BoardCount());
    state_.driverEntryStatus = miniport_.DriverEntry(reinterpret_cast<PVOID>(uintptr_t{DriverObjectAddress}),
                                                     reinterpret_cast<PVOID>(uintptr_t{RegistryPathAddress}));
    if (state_.driverEntryStatus == 0 && state_.registered) {
        for (size_t i = 0; i < state_.adapters.size(); ++i) StartAdapter(static_cast<int>(i));
    }
    return state_.driverEntryStatus;
}

uint32_t VideoPort::VideoPortInitialize(PVOID argument1, PVOID argument2, PVIDEO_HW_INITIALIZATION_DATA data) {
    if (reinterpret_cast<uintptr_t>(argument1) != DriverObjectAddress ||
        reinterpret_cast<uintptr_t>(argument2) != RegistryPathAddress) {
        faults_.Report(FaultKind::Driver, -1, "VideoPortInitialize was not given the driver entry's arguments");
        return static_cast<uint32_t>(STATUS_INVALID_PARAMETER);
    }
    // The Windows 2000 port knows the record up to AllowEarlyEnumeration.
    if (data->HwInitDataSize != Windows2000InitDataSize) return static_cast<uint32_t>(STATUS_REVISION_MISMATCH);
    if (!data->HwFindAdapter.address || !data->HwInitialize.address || !data->HwStartIO.address) {
        return static_cast<uint32_t>(STATUS_INVALID_PARAMETER);
    }
    std::memcpy(&state_.registration, data, Windows2000InitDataSize);
    state_.registered = true;
    if (!data->HwSetPowerState.address || !data->HwGetPowerState.address) {
        faults_.Report(FaultKind::Driver, -1,
                       "registered without power callbacks: the port starts no Plug and Play adapter for it");
    }
    return 0;
}

void VideoPort::StartAdapter(int index) {
    AdapterRuntime& adapter = state_.adapters[index];
    const VIDEO_HW_INITIALIZATION_DATA& data = state_.registration;
    if (data.AdapterInterfaceType != PCIBus || !data.HwSetPowerState.address || !data.HwGetPowerState.address) return;

    KernelSpace& space = kernel_.Space();
    adapter.extension = space.AllocateMemory(data.HwDeviceExtensionSize, "device extension " + std::to_string(index));
    uint32_t configAddress = space.AllocateMemory(sizeof(VIDEO_PORT_CONFIG_INFO), "configuration information");
    uint32_t againAddress = space.AllocateMemory(1, "again flag");
    auto* configInfo = static_cast<PVIDEO_PORT_CONFIG_INFO>(kernel_.HostPointer(configAddress));
    const PciFunction& pci = bus_.BoardAt(index).pci;
    configInfo->Length = configInfoLength_;
    configInfo->SystemIoBusNumber = 0;
    configInfo->AdapterInterfaceType = PCIBus;
    configInfo->BusInterruptLevel = pci.ReadByte(pcicfg::InterruptLine);
    configInfo->BusInterruptVector = pci.ReadByte(pcicfg::InterruptLine);
    configInfo->InterruptMode = LevelSensitive;
    configInfo->VdmPhysicalVideoMemoryAddress.QuadPart = 0xA0000;
    configInfo->VdmPhysicalVideoMemoryLength = 0x20000;
    configInfo->SystemMemorySize = kernel_.SystemMemoryBytes();

    // The bus driver's start: as the platform documents a PCI device's start it switches decoding
    // on, or it leaves decoding as the BIOS left it (see AdapterConfig::pciStartEnables).
    if (bus_.BoardAt(index).config.pciStartEnables) bus_.BoardAt(index).pci.EnableDecoding();
    const uint16_t commandBefore = pci.ReadWord(pcicfg::Command);
    adapter.commandAtDiscovery = commandBefore;
    const bool romEnabledBefore = pci.RomEnabled();
    faults_.SetCurrentAdapter(index);
    auto* again = static_cast<PUCHAR>(kernel_.HostPointer(againAddress));
    adapter.discoveryStatus =
        miniport_.FindAdapter(data.HwFindAdapter.address, ExtensionPointer(index), nullptr, nullptr, configInfo, again);
    adapter.discoveryRan = true;
    CheckLeftBehind("HwFindAdapter");
    adapter.again = *again;
    adapter.configInfo = *configInfo;
    space.Free(configAddress);
    space.Free(againAddress);
    if (adapter.discoveryStatus != NO_ERROR) CheckLeftovers(index, commandBefore, romEnabledBefore);

    adapter.started = adapter.discoveryStatus == NO_ERROR;
    if (adapter.started && enumerateAtLoad_) EnumerateChildren(index);
    faults_.SetCurrentAdapter(-1);
}

bool VideoPort::Open(int index) {
    AdapterRuntime& adapter = state_.adapters.at(index);
    if (!adapter.started || adapter.initializeRan) return adapter.opened;
    int previous = faults_.CurrentAdapter();
    faults_.SetCurrentAdapter(index);
    adapter.initializeRan = true;
    adapter.opened = miniport_.Initialize(state_.registration.HwInitialize.address, ExtensionPointer(index)) != FALSE;
    CheckLeftBehind("HwInitialize");
    faults_.SetCurrentAdapter(previous);
    return adapter.opened;
}

void VideoPort::CheckLeftovers(int index, uint16_t commandBefore, bool romEnabledBefore) {
    const std::vector<DeviceMapping>& mappings = state_.adapters[index].mappings;
    if (!mappings.empty()) {
        std::string bases;
        for (const DeviceMapping& mapping : mappings) bases += " " + Hex(mapping.address);
        faults_.Report(FaultKind::Driver, index,
                       "failed discovery left " + std::to_string(mappings.size()) + " device mapping(s) live:" + bases);
    }
    const PciFunction& pci = bus_.BoardAt(index).pci;
    uint16_t decoding = pcicfg::CommandIo | pcicfg::CommandMemory;
    uint16_t switchedOn = static_cast<uint16_t>(pci.ReadWord(pcicfg::Command) & ~commandBefore & decoding);
    if (switchedOn) {
        faults_.Report(FaultKind::Driver, index,
                       "failed discovery left the decoding it switched on still on (command register " +
                           Hex(pci.ReadWord(pcicfg::Command)) + ", was " + Hex(commandBefore) + ")");
    }
    if (pci.RomEnabled() && !romEnabledBefore) {
        faults_.Report(FaultKind::Driver, index,
                       "failed discovery left the option ROM enabled at " + Hex(pci.RomAddress()));
    }
}

bool VideoPort::ResetHw(int adapter, ULONG columns, ULONG rows) {
    if (!state_.registration.HwResetHw.address) return false;
    faults_.SetCurrentAdapter(adapter);
    bool result = miniport_.ResetHw(state_.registration.HwResetHw.address, ExtensionPointer(adapter), columns, rows) != FALSE;
    CheckLeftBehind("HwResetHw");
    faults_.SetCurrentAdapter(-1);
    return result;
}

// --- Routines -------------------------------------------------------------------------------------

int VideoPort::AdapterOfExtension(PVOID extension, const char* routine) {
    uint32_t address = kernel_.Space().AddressOfHost(extension);
    for (size_t i = 0; i < state_.adapters.size(); ++i) {
        if (address && state_.adapters[i].extension == address) return static_cast<int>(i);
    }
    faults_.ReportDriver(std::string(routine) + " was given something other than a device extension");
    return -1;
}

// True when [start, start + length) lies inside one of the adapter's windows of that space.
bool VideoPort::InsideAdapterWindow(int adapter, uint64_t start, uint32_t length, bool io) const {
    const PciFunction& pci = bus_.BoardAt(adapter).pci;
    for (int bar = 0; bar < 3; ++bar) {
        uint64_t barStart = pci.BarAddress(bar);
        if (pci.BarIsIo(bar) == io && start >= barStart && start + length <= barStart + pci.BarSize(bar)) return true;
    }
    return false;
}

// The start of every routine: the adapter whose device extension it was given, or a failure (an
// unknown extension, status 87, or an injected fault with its status).
VideoPort::RoutineCall VideoPort::BeginRoutine(PVOID extension, const char* routine, PlatformCall platformCall) {
    RoutineCall call;
    call.adapter = AdapterOfExtension(extension, routine);
    if (call.adapter < 0) {
        call.fail = true;
        call.status = ERROR_INVALID_PARAMETER;
    } else {
        call.fail = state_.injector.ShouldFail(platformCall, call.adapter, &call.status);
    }
    return call;
}

uint32_t VideoPort::GetAccessRanges(PVOID extension, ULONG requestedCount, bool requestedListGiven, ULONG count,
                                    PVIDEO_ACCESS_RANGE ranges, PVOID vendorId, PVOID deviceId, PULONG slot) {
    RoutineCall call = BeginRoutine(extension, "VideoPortGetAccessRanges", PlatformCall::GetAccessRanges);
    if (call.adapter < 0) return call.status;
    int index = call.adapter;
    // The port reads as many requested resources as the caller counts: a count without a list makes
    // it read through a null pointer, which stops the system.
    if (requestedCount != 0 && !requestedListGiven) {
        faults_.Report(FaultKind::Driver, index,
                       "VideoPortGetAccessRanges was told of " + std::to_string(requestedCount) +
                           " requested resources and given no list of them");
        return ERROR_INVALID_PARAMETER;
    }
    // A Plug and Play start gives the device's own resources; the identification is only recorded.
    AdapterRuntime& caller = state_.adapters[index];
    caller.askedVendorId = vendorId ? *static_cast<const USHORT*>(vendorId) : 0;
    caller.askedDeviceId = deviceId ? *static_cast<const USHORT*>(deviceId) : 0;
    if (call.fail) return call.status;

    // The assigned list: the three windows in the order of the base address registers, then the
    // expansion ROM's window, which the device decodes although the driver did not ask for it. When
    // the caller's room is short the answer is ERROR_MORE_DATA and no entry is filled (a port may
    // fill what fits first; a driver cannot count on it).
    const Board& board = bus_.BoardAt(index);
    const ULONG listed = board.config.rangesAsAssigned ? 4 : 3;
    if (count < listed) return ERROR_MORE_DATA;
    for (int bar = 0; bar < 3; ++bar) {
        VIDEO_ACCESS_RANGE& range = ranges[bar];
        range.RangeStart.QuadPart = board.pci.BarAddress(bar);
        range.RangeLength = board.pci.BarSize(bar);
        range.RangeInIoSpace = board.pci.BarIsIo(bar) ? 1 : 0;
        range.RangeVisible = 0;
        range.RangeShareable = board.pci.BarIsIo(bar) ? 0 : 1;
        range.RangePassive = 0;
    }
    if (listed == 4) {
        VIDEO_ACCESS_RANGE& rom = ranges[3];
        rom.RangeStart.QuadPart = board.romWindow;
        rom.RangeLength = board.pci.RomSize();
        rom.RangeInIoSpace = 0;
        rom.RangeVisible = 0;
        rom.RangeShareable = 1;
        rom.RangePassive = 0;
    }
    *slot = board.slot;
    return NO_ERROR;
}

uint32_t VideoPort::VerifyAccessRanges(PVOID extension, ULONG count, PVIDEO_ACCESS_RANGE ranges) {
    RoutineCall call = BeginRoutine(extension, "VideoPortVerifyAccessRanges", PlatformCall::VerifyAccessRanges);
    if (call.fail) return call.status;
    for (ULONG i = 0; i < count; ++i) {
        const VIDEO_ACCESS_RANGE& range = ranges[i];
        // A resource is memory or I/O; mapping attributes such as write combining are no resource type.
        bool typeKnown = range.RangeInIoSpace == VIDEO_MEMORY_SPACE_MEMORY || range.RangeInIoSpace == VIDEO_MEMORY_SPACE_IO;
        if (!typeKnown || !InsideAdapterWindow(call.adapter, static_cast<uint64_t>(range.RangeStart.QuadPart),
                                               range.RangeLength, range.RangeInIoSpace == VIDEO_MEMORY_SPACE_IO)) {
            return ERROR_INVALID_PARAMETER;
        }
    }
    return NO_ERROR;
}

PVOID VideoPort::GetDeviceBase(PVOID extension, PHYSICAL_ADDRESS address, ULONG length, UCHAR inIoSpace) {
    RoutineCall call = BeginRoutine(extension, "VideoPortGetDeviceBase", PlatformCall::GetDeviceBase);
    if (call.fail) return nullptr;
    int index = call.adapter;
    uint64_t start = static_cast<uint64_t>(address.QuadPart);
    bool io = inIoSpace & VIDEO_MEMORY_SPACE_IO;
    if (!InsideAdapterWindow(index, start, length, io)) {
        faults_.Report(FaultKind::Driver, index, "VideoPortGetDeviceBase of " + Hex(start) + " outside the adapter");
        return nullptr;
    }
    // On x86 an I/O range is used by its port numbers.
    uint32_t base = io ? static_cast<uint32_t>(start)
                       : kernel_.Space().MapPhysical(static_cast<uint32_t>(start), length, "device mapping");
    state_.adapters[index].mappings.push_back(DeviceMapping{start, length, inIoSpace, base});
    return reinterpret_cast<PVOID>(uintptr_t{base});
}

void VideoPort::FreeDeviceBase(PVOID extension, PVOID base) {
    int index = AdapterOfExtension(extension, "VideoPortFreeDeviceBase");
    if (index < 0) return;
    auto address = reinterpret_cast<uintptr_t>(base);
    std::vector<DeviceMapping>& mappings = state_.adapters[index].mappings;
    for (auto it = mappings.begin(); it != mappings.end(); ++it) {
        if (it->address != address) continue;
        if (!(it->inIoSpace & VIDEO_MEMORY_SPACE_IO)) kernel_.Space().Free(it->address);
        mappings.erase(it);
        return;
    }
    faults_.Report(FaultKind::Driver, index, "VideoPortFreeDeviceBase of " + Hex(address) + ", which is no live device base");
}

ULONG VideoPort::GetBusData(PVOID extension, BUS_DATA_TYPE type, ULONG slot, PVOID buffer, ULONG offset, ULONG length) {
    RoutineCall call = BeginRoutine(extension, "VideoPortGetBusData", PlatformCall::GetBusData);
    if (call.fail || type != PCIConfiguration) return 0;
    return bus_.ReadConfig(call.adapter, slot, static_cast<uint8_t*>(buffer), offset, length);
}

ULONG VideoPort::SetBusData(PVOID extension, BUS_DATA_TYPE type, ULONG slot, PVOID buffer, ULONG offset, ULONG length) {
    RoutineCall call = BeginRoutine(extension, "VideoPortSetBusData", PlatformCall::SetBusData);
    if (call.fail || type != PCIConfiguration) return 0;
    return bus_.WriteConfig(call.adapter, slot, static_cast<const uint8_t*>(buffer), offset, length);
}

uint32_t VideoPort::SetRegistryParameters(PVOID extension, PWSTR name, PVOID data, ULONG length) {
    RoutineCall call = BeginRoutine(extension, "VideoPortSetRegistryParameters", PlatformCall::SetRegistryParameters);
    if (call.fail) return call.status;
    const auto* bytes = static_cast<const uint8_t*>(data);
    kernel_.CheckWritten("the value " + NarrowName(name) + " stored by VideoPortSetRegistryParameters",
                         kernel_.Space().AddressOfHost(data), data, length);
    kernel_.GetRegistry().SetValue(DeviceKey(call.adapter), NarrowName(name), regtype::Binary,
                                   std::vector<uint8_t>(bytes, bytes + length));
    RecordRegistryCall(RegistryCall{call.adapter, true, NarrowName(name), true, 0});
    return NO_ERROR;
}

size_t VideoPort::RecordRegistryCall(RegistryCall call) {
    constexpr size_t MaxRegistryCalls = 10000;
    if (state_.registryCalls.size() >= MaxRegistryCalls) return SIZE_MAX;
    state_.registryCalls.push_back(std::move(call));
    return state_.registryCalls.size() - 1;
}

uint32_t VideoPort::GetRegistryParameters(PVOID extension, PWSTR name, UCHAR isFileName, ULONG callback,
                                          PVOID context) {
    RoutineCall call = BeginRoutine(extension, "VideoPortGetRegistryParameters", PlatformCall::GetRegistryParameters);
    if (call.fail) return call.status;
    int index = call.adapter;
    if (isFileName) {
        faults_.Report(FaultKind::Driver, index, "VideoPortGetRegistryParameters with a file name is not simulated");
        return ERROR_INVALID_PARAMETER;
    }
    const RegValue* value = kernel_.GetRegistry().GetValue(DeviceKey(index), NarrowName(name));
    const size_t logged = RecordRegistryCall(RegistryCall{index, false, NarrowName(name), value != nullptr, 0});
    if (!value) return ERROR_INVALID_PARAMETER;

    // The callback sees a copy of exactly the value's bytes, as the port hands it over.
    std::vector<uint8_t> bytes = value->data;
    uint32_t size = static_cast<uint32_t>(bytes.size());
    uint32_t address = size ? kernel_.Space().AllocateMemory(size, "registry value") : 0;
    if (size) std::memcpy(kernel_.HostPointer(address), bytes.data(), size);
    uint32_t result = miniport_.RegistryValue(callback, extension, context, name, kernel_.HostPointer(address), size);
    if (address) kernel_.Space().Free(address);
    // The callback may have called the registry routines itself: the entry is found by its place.
    if (logged < state_.registryCalls.size()) state_.registryCalls[logged].status = result;
    // The routine answers only its documented values. The callback's status becomes the status of
    // the registry's query routine: read as an NTSTATUS, a Win32 error number is a success status
    // and only an NTSTATUS error fails the query (AdapterConfig::callbackStatusIsNtStatus).
    bool refused = bus_.BoardAt(index).config.callbackStatusIsNtStatus ? (result & 0x80000000u) != 0 : result != NO_ERROR;
    return refused ? ERROR_INVALID_PARAMETER : NO_ERROR;
}

BOOLEAN VideoPort::ScanRom(PVOID extension, PUCHAR base, ULONG length, PUCHAR text) {
    RoutineCall call = BeginRoutine(extension, "VideoPortScanRom", PlatformCall::ScanRom);
    if (call.fail) return FALSE;
    int index = call.adapter;
    size_t textLength = std::strlen(reinterpret_cast<const char*>(text));
    auto start = reinterpret_cast<uintptr_t>(base);

    // The port reads the memory byte by byte; one trace entry stands for the whole scan. A scan that
    // lies wholly inside an enabled ROM reads it in one go, with the same result (inside the ROM's
    // image, the image itself, without a copy).
    const Region* mapping = kernel_.Space().Find(static_cast<uint32_t>(start));
    bool inOneMapping = mapping && mapping->device && static_cast<uint64_t>(start - mapping->base) + length <= mapping->size;
    uint32_t physical = inOneMapping ? mapping->physical + static_cast<uint32_t>(start - mapping->base) : 0;
    const uint8_t* image = inOneMapping ? bus_.RomImageAt(physical, length) : nullptr;
    std::vector<uint8_t> bytes;
    if (!image) {
        bytes.resize(length);
        image = bytes.data();
        if (!inOneMapping || !bus_.ReadRomBlock(physical, length, bytes.data())) {
            TraceLog& trace = bus_.TraceOf();
            trace.Pause();
            for (ULONG i = 0; i < length; ++i) {
                bytes[i] = static_cast<uint8_t>(kernel_.ReadMemory(reinterpret_cast<const volatile void*>(start + i), 8));
            }
            trace.Resume();
        }
    }
    // One search, not a comparison call per position (a fuzzer's build intercepts every such call).
    bool found = textLength && std::search(image, image + length, text, text + textLength) != image + length;
    if (bus_.TraceOf().Recording()) {
        const Region* region = kernel_.Space().Find(static_cast<uint32_t>(start));
        uint32_t offset = region ? region->physical + (static_cast<uint32_t>(start) - region->base) -
                                       bus_.BoardAt(index).pci.BarAddress(0)
                                 : 0;
        bus_.TraceText(index, false, 8, Window::Mmio, offset,
                       "rom scan " + std::to_string(length) + " bytes for \"" + reinterpret_cast<const char*>(text) + "\"",
                       found ? 1 : 0);
    }
    return found ? TRUE : FALSE;
}

uint32_t VideoPort::Int10(PVOID extension, PVIDEO_X86_BIOS_ARGUMENTS arguments) {
    RoutineCall call = BeginRoutine(extension, "VideoPortInt10", PlatformCall::Int10);
    if (call.fail) return call.status;
    int index = call.adapter;
    Board& board = bus_.BoardAt(index);
    if (board.config.secondary) {
        faults_.Report(FaultKind::Driver, index, "a BIOS call for a secondary adapter reaches the primary's video BIOS");
        return ERROR_INVALID_PARAMETER;
    }
    if (!board.config.hasRom) {
        // No video BIOS: the system's interrupt vector returns with the registers unchanged.
        bus_.Trace(index, true, 0, Window::Bios, 0, "int10 (no video BIOS)", arguments->Eax);
        return NO_ERROR;
    }
    BiosRegisters registers{arguments->Eax, arguments->Ebx, arguments->Ecx, arguments->Edx,
                            arguments->Esi, arguments->Edi, arguments->Ebp};
    std::string description = CallVideoBios(board.chip, board.config.bios, registers);
    arguments->Eax = registers.eax;
    arguments->Ebx = registers.ebx;
    arguments->Ecx = registers.ecx;
    arguments->Edx = registers.edx;
    arguments->Esi = registers.esi;
    arguments->Edi = registers.edi;
    arguments->Ebp = registers.ebp;
    bus_.TraceText(index, true, 0, Window::Bios, 0, description, registers.eax);
    return NO_ERROR;
}

uint32_t VideoPort::ReadPort(const volatile void* pointer, unsigned width) {
    return bus_.PortAccess(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)), width, false, 0);
}

void VideoPort::WritePort(const volatile void* pointer, unsigned width, uint32_t value) {
    bus_.PortAccess(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)), width, true, value);
}

}  // namespace sim
