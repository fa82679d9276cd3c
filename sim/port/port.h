// The video port driver: loads the miniport (driver entry, then discovery and initialization of each
// adapter), delivers requests through HwStartIO with buffered transfer, and implements the VideoPort*
// routines the driver calls. It checks the driver as a driver verifier would, and can be told to make
// any of its routines fail.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "devices/bus.h"
#include "kernel/kernel.h"
#include "platform/videoport.h"
#include "port/miniport.h"
#include "support/faults.h"

namespace sim {

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

// A child device the port enumerated through HwGetVideoChildDescriptor.
struct ChildDevice {
    uint32_t index = 0;
    uint32_t type = 0;                 // VIDEO_CHILD_TYPE
    uint32_t uid = 0;
    std::vector<uint8_t> descriptor;   // the descriptor buffer as the driver left it
};

// What the port knows of one adapter it started.
struct AdapterRuntime {
    uint32_t extension = 0;        // address of the device extension, 0 before discovery
    bool discoveryRan = false;
    uint32_t discoveryStatus = 0;
    uint8_t again = 0;
    bool started = false;          // discovery succeeded: the device is started
    uint16_t commandAtDiscovery = 0;   // the PCI command register as the bus driver's start left it
    // HwInitialize runs when the display device is first opened (the display driver's session).
    bool initializeRan = false;
    bool opened = false;           // HwInitialize returned TRUE
    std::vector<DeviceMapping> mappings;
    VIDEO_PORT_CONFIG_INFO configInfo{};   // as HwFindAdapter left it
    uint16_t askedVendorId = 0;    // the identification given to VideoPortGetAccessRanges
    uint16_t askedDeviceId = 0;
    // --- Monitor child and power ---
    std::vector<ChildDevice> children;   // as the last enumeration found them
    uint32_t powerState = VideoPowerOn;  // the adapter's power state as the port last set it
};

// An error the driver logged with VideoPortLogError, as the system's event log keeps it.
struct LoggedError {
    int adapter = -1;
    uint32_t errorCode = 0;     // the driver's VP_STATUS
    uint32_t uniqueId = 0;      // the driver's own value saying where
    uint32_t requestCode = 0;   // the control code of the request it names, 0 for none
};

// A message of the driver's checked build (VideoPortDebugPrint), as the kernel debugger shows it.
struct DriverMessage {
    int adapter = -1;           // the adapter whose callback was running, -1 for none (driver entry)
    uint32_t level = 0;         // 0 error, 1 warning, 2 trace, 3 information
    std::string text;
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

class VideoPort {
public:
    VideoPort(Kernel& kernel, Bus& bus, FaultLog& faults, Miniport& miniport);
    VideoPort(const VideoPort&) = delete;
    VideoPort& operator=(const VideoPort&) = delete;

    // The Length the port puts into VIDEO_PORT_CONFIG_INFO.
    void SetConfigInfoLength(uint32_t length) { configInfoLength_ = length; }
    // Whether the load enumerates each started adapter's children, as the platform does (tests that
    // pin discovery and initialization alone may enumerate them explicitly later).
    void SetEnumerateAtLoad(bool enumerate) { enumerateAtLoad_ = enumerate; }
    void InjectFault(const InjectedFault& fault) { state_.injector.Add(fault); }
    // How often the driver called an injectable routine for the adapter so far.
    unsigned Calls(PlatformCall call, int adapter) const { return state_.injector.Calls(call, adapter); }

    // --- Loading and driving the miniport ----------------------------------------------------------

    // Driver entry, then for every board on the bus the bus driver's start, discovery and the
    // enumeration of its children; returns the driver entry's status.
    uint32_t Load();
    // The first open of an adapter's display device (the display driver's session) runs
    // HwInitialize; later opens do nothing. True when the device is open.
    bool Open(int adapter);
    uint32_t DriverEntryStatus() const { return state_.driverEntryStatus; }
    const VIDEO_HW_INITIALIZATION_DATA& Registration() const { return state_.registration; }
    size_t AdapterCount() const { return state_.adapters.size(); }
    const AdapterRuntime& Adapter(int index) const { return state_.adapters.at(index); }
    void* Extension(int adapter);
    // The driver's registry calls in the order made: the first 10,000 (boot's come first), so that a
    // long run costs no memory for the rest.
    const std::vector<RegistryCall>& RegistryCalls() const { return state_.registryCalls; }

    // One request through HwStartIO, with one system buffer for input and output as the port makes
    // it (`aliased`), or with two separate buffers (for the aliasing check).
    RequestResult Deliver(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength,
                          const RequestOptions& options, bool aliased);
    bool ResetHw(int adapter, ULONG columns, ULONG rows);

    // The driver's device key of an adapter.
    static std::string DeviceKey(int adapter);

    // --- Monitor child and power -------------------------------------------------------------------

    // Asks the driver for its children (index 1 on) as the platform does after the start and whenever
    // the Plug and Play manager asks again.
    void EnumerateChildren(int adapter);
    // HwGetPowerState and HwSetPowerState for a device of the adapter (a child's identifier, or
    // AdapterId for the adapter); an adapter set to suspend or off loses power. Hibernation is the
    // whole machine's: every started adapter is told, the machine powers off and boots cold, and
    // every started adapter is told VideoPowerOn; the answer is the named adapter's to hibernate.
    static constexpr uint32_t AdapterId = 0xFFFFFFFF;
    uint32_t QueryPower(int adapter, uint32_t hwId, uint32_t state);
    uint32_t SetPower(int adapter, uint32_t hwId, uint32_t state);
    // Reads `count` bytes of the monitor's memory from `offset` through the line callbacks of
    // `lines`, as the adapter's DDC helper does it (strict or tolerant) but in one attempt, without
    // a wait for vertical sync and with any count (the memory wraps);
    // false when the monitor did not answer.
    bool ReadDisplayData(int adapter, const I2C_FNC_TABLE& lines, uint8_t offset, uint32_t count,
                         std::vector<uint8_t>* bytes);

    // --- Diagnostics: the event log and the kernel debugger ---------------------------------------

    // VideoDebugLevel: the port keeps (and hands to the sink) the driver's messages of this level and
    // below; -1, the default, is no debugger attached: nothing is kept.
    void SetDebugLevel(int level) { debugLevel_ = level; }
    // Called with each message kept, as it is printed (zarnsim shows them on standard error).
    void SetMessageSink(std::function<void(const DriverMessage&)> sink) { messageSink_ = std::move(sink); }
    const std::vector<DriverMessage>& Messages() const { return state_.messages; }
    const std::vector<LoggedError>& LoggedErrors() const { return state_.loggedErrors; }
    // The text of a message as the platform formats it: the conversions d i u x X c s and %% with
    // their flags, width and precision; `number` gives the next 32-bit argument, `text` the next
    // string. Anything else is copied as it stands.
    static std::string FormatMessage(const char* format, const std::function<uint32_t()>& number,
                                     const std::function<std::string()>& text);

    // --- The routines the driver calls -------------------------------------------------------------

    uint32_t VideoPortInitialize(PVOID argument1, PVOID argument2, PVIDEO_HW_INITIALIZATION_DATA data);
    // `requestedCount` and `requestedListGiven`: the resources the caller asked for and whether it
    // passed their list (the port reads `requestedCount` entries of it).
    uint32_t GetAccessRanges(PVOID extension, ULONG requestedCount, bool requestedListGiven, ULONG count,
                             PVIDEO_ACCESS_RANGE ranges, PVOID vendorId, PVOID deviceId, PULONG slot);
    uint32_t VerifyAccessRanges(PVOID extension, ULONG count, PVIDEO_ACCESS_RANGE ranges);
    PVOID GetDeviceBase(PVOID extension, PHYSICAL_ADDRESS address, ULONG length, UCHAR inIoSpace);
    // Gives back a mapping GetDeviceBase handed out; anything else is refused as a driver fault.
    void FreeDeviceBase(PVOID extension, PVOID base);
    ULONG GetBusData(PVOID extension, BUS_DATA_TYPE type, ULONG slot, PVOID buffer, ULONG offset, ULONG length);
    ULONG SetBusData(PVOID extension, BUS_DATA_TYPE type, ULONG slot, PVOID buffer, ULONG offset, ULONG length);
    uint32_t SetRegistryParameters(PVOID extension, PWSTR name, PVOID data, ULONG length);
    // `callback` is the code address of the driver's value callback.
    uint32_t GetRegistryParameters(PVOID extension, PWSTR name, UCHAR isFileName, ULONG callback, PVOID context);
    BOOLEAN ScanRom(PVOID extension, PUCHAR base, ULONG length, PUCHAR text);
    uint32_t Int10(PVOID extension, PVIDEO_X86_BIOS_ARGUMENTS arguments);
    // --- Monitor child and power ---
    BOOLEAN DdcMonitorHelper(PVOID extension, PVOID control, PUCHAR buffer, ULONG size);
    void StallExecution(ULONG microseconds) { bus_.AdvanceTime(uint64_t{microseconds} * 1000); }
    void DebugPrint(uint32_t level, std::string text);
    void LogError(PVOID extension, PVIDEO_REQUEST_PACKET request, uint32_t errorCode, uint32_t uniqueId);

    // Memory mapping: user views of physical ranges in the process a handle names.
    uint32_t MapMemory(PVOID extension, PHYSICAL_ADDRESS physical, PULONG length, PULONG inIoSpace,
                       PVOID* virtualAddress);
    uint32_t UnmapMemory(PVOID extension, PVOID virtualAddress, HANDLE processHandle);

    // Register and port accesses by address: kernel virtual addresses for registers, port numbers
    // for I/O.
    uint32_t ReadRegister(const volatile void* pointer, unsigned width) { return kernel_.ReadMemory(pointer, width); }
    void WriteRegister(const volatile void* pointer, unsigned width, uint32_t value) {
        kernel_.WriteMemory(pointer, width, value);
    }
    uint32_t ReadPort(const volatile void* pointer, unsigned width);
    void WritePort(const volatile void* pointer, unsigned width, uint32_t value);

    // Everything the port keeps, for the machine's snapshots.
    struct State {
        std::vector<AdapterRuntime> adapters;
        std::vector<RegistryCall> registryCalls;
        std::vector<DriverMessage> messages;
        std::vector<LoggedError> loggedErrors;
        FaultInjector injector;
        bool registered = false;
        VIDEO_HW_INITIALIZATION_DATA registration{};
        uint32_t driverEntryStatus = 0;
    };
    const State& Save() const { return state_; }
    void Restore(const State& state) { state_ = state; }

private:
    void StartAdapter(int index);
    // What a failed discovery left behind, reported as driver faults: device mappings still live,
    // decoding it switched on still on, the option ROM it enabled still enabled.
    void CheckLeftovers(int index, uint16_t commandBefore, bool romEnabledBefore);

    struct RoutineCall {
        int adapter = -1;
        bool fail = false;
        uint32_t status = 0;
    };
    RoutineCall BeginRoutine(PVOID extension, const char* routine, PlatformCall call);
    // Keeps a registry call while the log has room; its place in the log, or SIZE_MAX.
    size_t RecordRegistryCall(RegistryCall call);
    int AdapterOfExtension(PVOID extension, const char* routine);
    bool InsideAdapterWindow(int adapter, uint64_t start, uint32_t length, bool io) const;
    PVOID ExtensionPointer(int adapter) { return kernel_.HostPointer(state_.adapters[adapter].extension); }
    // After a callback of the driver returned: what it left open or allocated is a fault.
    void CheckLeftBehind(const std::string& callback) { kernel_.Objects().ReportLeftBehind(callback); }
    uint32_t CallPower(int adapter, bool set, uint32_t hwId, uint32_t state);
    void CheckDescriptorWritten(uint32_t type, uint32_t address, const uint8_t* descriptor);
    void CheckReplyWritten(uint32_t code, uint32_t address, const uint8_t* bytes, uint32_t count, uint32_t inputLength,
                           int adapter);
    // HwSetPowerState for one device, with what the adapter's power state does to the board.
    uint32_t SetDevicePower(int adapter, uint32_t hwId, uint32_t state);

    Kernel& kernel_;
    Bus& bus_;
    FaultLog& faults_;
    Miniport& miniport_;
    uint32_t configInfoLength_ = 112;
    bool enumerateAtLoad_ = true;
    int debugLevel_ = -1;
    std::function<void(const DriverMessage&)> messageSink_;
    State state_;
};

}  // namespace sim
