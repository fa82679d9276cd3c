// The simulated machine: boots the driver as the platform does (driver entry, then discovery and
// initialization of every adapter on the PCI bus), delivers requests through HwStartIO with buffered
// transfer, and implements the video port routines the driver calls. It traces every hardware
// access, can make any platform call fail, and reports what a driver verifier would.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "address_space.h"
#include "chip.h"
#include "pci.h"
#include "platform/videoport.h"
#include "registry.h"
#include "trace.h"
#include "video_bios.h"

namespace sim {

// The chip maker's PCI vendor ID, as the hardware reports it.
constexpr uint16_t ZarnVendorId = 0x1A5D;
// Adapters that fit in the machine's PCI slots.
constexpr size_t MaxAdapters = 8;

// How one adapter in the machine is built and found.
struct AdapterConfig {
    uint16_t deviceId = 5;
    uint8_t revision = 1;
    uint32_t memoryMiB = 16;        // 4, 8 or 16
    bool altMemory = false;         // the alternative memory type (16 MB, dramInit1 strap)
    bool secondary = false;         // found with decoding switched off; no BIOS has run on it
    bool bus66 = false;             // on a 66 MHz capable bus
    uint16_t subsystemVendor = ZarnVendorId;
    uint16_t subsystemId = 0x0001;
    uint32_t registerWindowMiB = 32;  // size of the register window (a power of two, 1 to 128)
    bool hasRom = true;             // the board carries an option ROM
    std::vector<uint8_t> romImage;  // its image; empty means the standard board's ROM
    BiosConfig bios;                // which VESA modes its video BIOS sets
};

// Platform calls that can be made to fail.
enum class PlatformCall {
    GetAccessRanges,
    VerifyAccessRanges,
    GetDeviceBase,
    GetBusData,
    SetBusData,
    GetRegistryParameters,
    SetRegistryParameters,
    ScanRom,
    Int10,
    Count
};
const char* PlatformCallName(PlatformCall call);
bool ParsePlatformCall(const std::string& name, PlatformCall* call);

// Makes the Nth call (1-based; 0 = every call) of one platform routine fail, for one adapter or all
// (-1). A failing call returns `status` where the routine returns a status, null for
// GetDeviceBase, 0 bytes for the bus data routines and FALSE for ScanRom.
struct InjectedFault {
    PlatformCall call = PlatformCall::GetAccessRanges;
    int adapter = -1;
    unsigned occurrence = 1;
    uint32_t status = 87;
};

enum class FaultKind {
    Driver,           // something a driver verifier would stop the machine for
    UnknownRegister,  // an access to a register the chip does not decode
};

struct Fault {
    FaultKind kind = FaultKind::Driver;
    int adapter = -1;
    std::string message;
    unsigned count = 1;   // how often the same fault was seen
};

// A mapping that VideoPortGetDeviceBase handed out.
struct DeviceMapping {
    uint64_t physical = 0;
    uint32_t length = 0;
    uint8_t inIoSpace = 0;
    uint32_t address = 0;
};

// A registry call of the driver: a read with VideoPortGetRegistryParameters or a write with
// VideoPortSetRegistryParameters, in the order made.
struct RegistryCall {
    int adapter = 0;
    bool write = false;
    std::string name;
    bool found = false;      // a read found the value
    uint32_t status = 0;     // a read's callback answer (0 accepts)
};

struct AdapterRuntime {
    AdapterConfig config;
    uint32_t slot = 0;             // PCI slot number
    PciFunction pci;
    Chip chip{Straps{}};
    uint32_t extension = 0;        // address of the device extension, 0 before discovery
    bool discoveryRan = false;
    uint32_t discoveryStatus = 0;
    uint8_t again = 0;
    bool initializeRan = false;
    bool started = false;          // discovery succeeded and HwInitialize returned TRUE
    std::vector<DeviceMapping> mappings;
    VIDEO_PORT_CONFIG_INFO configInfo{};   // as HwFindAdapter left it
    uint16_t askedVendorId = 0;    // the identification given to VideoPortGetAccessRanges
    uint16_t askedDeviceId = 0;
};

struct MachineConfig {
    std::vector<AdapterConfig> adapters{AdapterConfig{}};
    // The Length the port puts into VIDEO_PORT_CONFIG_INFO.
    uint32_t configInfoLength = 112;
    // Run every request twice, once with the input and output in one buffer (as the port does it)
    // and once in two separate buffers, and report a driver fault when the results differ.
    bool checkAliasing = false;
};

struct RequestOptions {
    int adapter = 0;
    uint32_t process = 1;             // the simulated process the request comes from
    uint32_t presetInformation = 0;   // what the port places in Information before the call
};

struct RequestResult {
    uint32_t status = 0;
    uint32_t information = 0;
    std::vector<uint8_t> output;      // the bytes copied back to the requester
    bool operator==(const RequestResult& other) const = default;
};

class Machine {
public:
    explicit Machine(MachineConfig config = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Loads the driver: driver entry, then discovery and HwInitialize for every adapter.
    // Returns the driver entry's status.
    uint32_t Boot();
    uint32_t DriverEntryStatus() const { return world_.driverEntryStatus; }

    size_t AdapterCount() const { return world_.adapters.size(); }
    const AdapterRuntime& Adapter(int index) const { return world_.adapters.at(index); }
    const MachineConfig& Config() const { return config_; }

    // A request from a process, through HwStartIO. Throws std::invalid_argument for an adapter
    // that does not exist or was not started.
    RequestResult Request(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength,
                          const RequestOptions& options = {});

    // The platform's HwResetHw call for an adapter (as when the system leaves a mode to show its
    // own screen); returns the driver's answer.
    bool ResetHw(int adapter, ULONG columns = 80, ULONG rows = 50);

    Chip& ChipOf(int adapter) { return world_.adapters.at(adapter).chip; }
    PciFunction& PciOf(int adapter) { return world_.adapters.at(adapter).pci; }
    std::vector<uint8_t>& VideoMemory(int adapter) { return videoMemory_.at(adapter); }
    const std::vector<uint8_t>& RomImage(int adapter) const { return roms_.at(adapter); }
    // The device extension of an adapter, as a debugger would show it; null before discovery.
    void* Extension(int adapter);
    Registry& GetRegistry() { return world_.registry; }
    // The driver's device key of an adapter.
    static std::string DeviceKey(int adapter);

    const std::vector<TraceEntry>& Trace() const { return world_.trace; }
    void ClearTrace() { world_.trace.clear(); }
    const std::vector<Fault>& Faults() const { return world_.faults; }
    const std::vector<RegistryCall>& RegistryCalls() const { return world_.registryCalls; }
    // The callbacks and sizes the driver registered at driver entry.
    const VIDEO_HW_INITIALIZATION_DATA& Registration() const { return world_.registration; }
    std::vector<Fault> DriverFaults() const;
    void ClearFaults() {
        world_.faults.clear();
        world_.faultIndex.clear();
    }
    void InjectFault(const InjectedFault& fault);

    // --- The platform side: called by the video port routines --------------------------------

    uint32_t VideoPortInitialize(PVOID argument1, PVOID argument2, PVIDEO_HW_INITIALIZATION_DATA data);
    uint32_t GetAccessRanges(PVOID extension, ULONG count, PVIDEO_ACCESS_RANGE ranges, PVOID vendorId, PVOID deviceId,
                             PULONG slot);
    uint32_t VerifyAccessRanges(PVOID extension, ULONG count, PVIDEO_ACCESS_RANGE ranges);
    PVOID GetDeviceBase(PVOID extension, PHYSICAL_ADDRESS address, ULONG length, UCHAR inIoSpace);
    ULONG GetBusData(PVOID extension, BUS_DATA_TYPE type, ULONG slot, PVOID buffer, ULONG offset, ULONG length);
    ULONG SetBusData(PVOID extension, BUS_DATA_TYPE type, ULONG slot, PVOID buffer, ULONG offset, ULONG length);
    uint32_t SetRegistryParameters(PVOID extension, PWSTR name, PVOID data, ULONG length);
    uint32_t GetRegistryParameters(PVOID extension, PWSTR name, UCHAR isFileName,
                                   PMINIPORT_GET_REGISTRY_ROUTINE callback, PVOID context);
    BOOLEAN ScanRom(PVOID extension, PUCHAR base, ULONG length, PUCHAR text);
    uint32_t Int10(PVOID extension, PVIDEO_X86_BIOS_ARGUMENTS arguments);

    // Hardware accesses by address: kernel virtual addresses for registers, port numbers for I/O.
    uint32_t ReadMemory(const volatile void* pointer, unsigned width);
    void WriteMemory(const volatile void* pointer, unsigned width, uint32_t value);
    uint32_t ReadPort(const volatile void* pointer, unsigned width);
    void WritePort(const volatile void* pointer, unsigned width, uint32_t value);

    // Address translation for the records' 32-bit pointer fields.
    void* HostPointer(uint32_t address);
    uint32_t AddressOfPointer(const void* pointer);

    void ReportFault(FaultKind kind, int adapter, const std::string& message);

private:
    struct World {
        std::vector<AdapterRuntime> adapters;
        KernelSpace kernel;
        Registry registry;
        std::vector<TraceEntry> trace;
        std::vector<Fault> faults;
        std::vector<RegistryCall> registryCalls;
        std::map<std::string, size_t> faultIndex;   // message key -> position in faults
        std::vector<InjectedFault> injected;
        std::array<std::vector<unsigned>, static_cast<size_t>(PlatformCall::Count)> callCounts;
        bool registered = false;
        VIDEO_HW_INITIALIZATION_DATA registration{};
        uint32_t driverEntryStatus = 0;
        uint32_t currentProcess = 0;
        int currentAdapter = -1;
    };
    struct Snapshot {
        World world;
        std::vector<uint8_t> image;
    };

    void Activate();
    void StartAdapter(int index);
    RequestResult RunRequest(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength,
                             const RequestOptions& options, bool aliased);
    Snapshot Save();
    void Restore(const Snapshot& snapshot);

    struct RoutineCall {
        int adapter = -1;
        bool fail = false;
        uint32_t status = 0;
    };
    RoutineCall BeginRoutine(PVOID extension, const char* routine, PlatformCall call);
    int AdapterOfExtension(PVOID extension, const char* routine);
    static bool InsideAdapterWindow(const AdapterRuntime& adapter, uint64_t start, uint32_t length, bool io);
    bool ShouldFail(PlatformCall call, int adapter, uint32_t* status);
    PVOID ExtensionPointer(int adapter);

    // Physical memory and I/O space decoding.
    bool PhysicalOf(const volatile void* pointer, bool write, uint32_t* physical);
    uint32_t PhysicalAccess(uint32_t physical, unsigned width, bool write, uint32_t value);
    uint32_t RegisterWindowAccess(int adapter, uint32_t offset, unsigned width, bool write, uint32_t value);
    uint32_t RomAccess(int adapter, uint32_t romOffset, uint32_t windowOffset, unsigned width, bool write);
    uint32_t FrameBufferAccess(int adapter, uint32_t offset, unsigned width, bool write, uint32_t value);
    uint32_t PortAccess(uint32_t port, unsigned width, bool write, uint32_t value);
    void Trace(int adapter, bool write, unsigned width, Window window, uint32_t offset, std::string name,
               uint32_t value);
    bool tracing_ = true;

    MachineConfig config_;
    World world_;
    std::vector<std::vector<uint8_t>> videoMemory_;
    std::vector<std::vector<uint8_t>> roms_;
    std::vector<uint8_t> image_;   // this machine's copy of the driver image's writable data
};

// The machine on whose behalf the driver runs right now.
Machine* CurrentMachine();

// Parses one adapter's comma-separated key=value description; throws std::invalid_argument with a
// one-line message.
AdapterConfig ParseAdapterDescription(const std::string& description);

}  // namespace sim
