// The simulated machine: composes the PCI bus with its adapter boards, the kernel and the video port
// driver around one build of the driver, and boots it as the platform does. It is the one object a
// test or the command line holds: requests, resets, the trace of hardware accesses, the faults a
// driver verifier would report, and the hardware's state all come through it.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "devices/board.h"
#include "devices/bus.h"
#include "devices/wave_capture.h"
#include "kernel/kernel.h"
#include "port/miniport.h"
#include "port/port.h"
#include "support/faults.h"
#include "support/trace.h"

namespace sim {

namespace image {
class Cpu;
struct LoadedImage;
}

struct MachineConfig {
    std::vector<AdapterConfig> adapters{AdapterConfig{}};
    // The Length the port puts into VIDEO_PORT_CONFIG_INFO.
    uint32_t configInfoLength = 112;
    // Boot enumerates each started adapter's children (the monitor) after its start, as the
    // platform does; off, only an explicit EnumerateChildren does.
    bool enumerateChildren = true;
    // Run every request twice, once with the input and output in one buffer (as the port does it)
    // and once in two separate buffers, and report a driver fault when the results differ.
    bool checkAliasing = false;
    // The files in the system directory (\SystemRoot\System32\), by name.
    std::vector<std::string> systemFiles;
    // The system's ANSI code page (a Western system's, or a Japanese system's 932).
    AnsiCodePage ansiCodePage = AnsiCodePage::Latin1;
    // System memory (RAM), 24 to 256 MiB: kernel pool and contiguous memory come from it.
    uint32_t systemMemoryMiB = 64;
    // Which freed process object a new process gets: the most recently freed, as a pool does.
    ProcessReuse processReuse = ProcessReuse::Recent;
    // --- The driver image ---
    // The shipped zarn.sys to run on an emulated i386 processor; empty: the host build linked into
    // this program.
    std::string driverImage;
};

class Machine {
public:
    explicit Machine(MachineConfig config = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Loads the driver: driver entry, then the start (discovery) and the child enumeration of every
    // adapter. HwInitialize follows when the display device is first opened (OpenDevice, or the
    // first request). Returns the driver entry's status.
    uint32_t Boot();
    // Opens an adapter's display device as the display driver's session does first: the first open
    // runs HwInitialize. True when the device is open (HwInitialize answered TRUE). Throws
    // std::invalid_argument for an adapter that does not exist or was not started.
    bool OpenDevice(int adapter);
    uint32_t DriverEntryStatus() const { return port_.DriverEntryStatus(); }

    size_t AdapterCount() const { return bus_.BoardCount(); }
    const AdapterRuntime& Adapter(int index) const { return port_.Adapter(index); }
    const MachineConfig& Config() const { return config_; }
    // Turns the aliasing check of later requests on or off (see MachineConfig::checkAliasing).
    void SetAliasingCheck(bool on) { config_.checkAliasing = on; }

    // A request from a process, through HwStartIO, on the display device (opened first if it is
    // not open yet). Throws std::invalid_argument for an adapter that does not exist, was not
    // started or could not be opened.
    RequestResult Request(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength,
                          const RequestOptions& options = {});
    // The control codes requested so far (the requests a run has reached).
    const std::set<uint32_t>& CodesRequested() const { return codesRequested_; }

    // The platform's HwResetHw call for an adapter (as when the system leaves a mode to show its
    // own screen); returns the driver's answer.
    bool ResetHw(int adapter, ULONG columns = 80, ULONG rows = 50);

    const Board& BoardOf(int adapter) const { return bus_.BoardAt(adapter); }
    Chip& ChipOf(int adapter) { return bus_.BoardAt(adapter).chip; }
    PciFunction& PciOf(int adapter) { return bus_.BoardAt(adapter).pci; }
    VideoMemoryBytes& VideoMemory(int adapter) { return bus_.BoardAt(adapter).videoMemory; }
    const std::vector<uint8_t>& RomImage(int adapter) const { return bus_.BoardAt(adapter).rom; }
    // The device extension of an adapter, as a debugger would show it; null before discovery.
    void* Extension(int adapter);
    Registry& GetRegistry() { return kernel_.GetRegistry(); }
    // The driver's device key of an adapter.
    static std::string DeviceKey(int adapter) { return VideoPort::DeviceKey(adapter); }

    // The trace kept in memory: every access unless KeepLatestTrace bounds it.
    const std::vector<TraceEntry>& Trace() const { return trace_.Entries(); }
    void ClearTrace() { trace_.Clear(); }
    // Keeps at least the latest `entries` accesses (0: none) in memory, at most twice as many.
    void KeepLatestTrace(size_t entries) { trace_.KeepLatest(entries); }
    // Writes every access from now on to `out`, one line each (FormatTraceEntry), as it happens.
    void StreamTrace(std::ostream* out) { trace_.StreamTo(out); }
    const std::vector<Fault>& Faults() const { return faults_.All(); }
    std::vector<Fault> DriverFaults() const { return faults_.DriverFaults(); }
    void ClearFaults() { faults_.Clear(); }
    void InjectFault(const InjectedFault& fault) {
        port_.InjectFault(fault);
        kernel_.InjectFault(fault);
        kernel_.Objects().InjectFault(fault);
    }
    // How often the driver called an injectable platform routine for the adapter so far.
    unsigned PlatformCalls(PlatformCall call, int adapter) const { return port_.Calls(call, adapter); }
    void ReportFault(FaultKind kind, int adapter, const std::string& message) { faults_.Report(kind, adapter, message); }
    const std::vector<RegistryCall>& RegistryCalls() const { return port_.RegistryCalls(); }
    // The callbacks and sizes the driver registered at driver entry.
    const VIDEO_HW_INITIALIZATION_DATA& Registration() const { return port_.Registration(); }

    // Address translation for the records' 32-bit pointer fields.
    void* HostPointer(uint32_t address) { return kernel_.HostPointer(address); }
    uint32_t AddressOfPointer(const void* pointer) { return kernel_.AddressOfPointer(pointer); }

    // --- Monitor child and power ---------------------------------------------------------------
    // The children the platform enumerated for an adapter (at boot, and again with EnumerateChildren).
    const std::vector<ChildDevice>& Children(int adapter) const { return port_.Adapter(adapter).children; }
    void EnumerateChildren(int adapter);
    // The identifier the platform knows the monitor child by; 0 when none was enumerated.
    uint32_t MonitorId(int adapter) const;
    // HwGetPowerState and HwSetPowerState for a device of an adapter: a child's identifier, or
    // AdapterDevice for the adapter itself. Hibernating an adapter hibernates the machine: every
    // started adapter is told, the machine powers off and boots cold, the PCI configuration is
    // restored, and every started adapter is told VideoPowerOn (VideoPort::SetPower).
    static constexpr uint32_t AdapterDevice = 0xFFFFFFFF;
    uint32_t QueryPower(int adapter, uint32_t hwId, uint32_t state);
    uint32_t SetPower(int adapter, uint32_t hwId, uint32_t state);
    // The monitor on an adapter's connector, and the power state it is in from the signal it gets.
    DisplayMonitor& MonitorOf(int adapter) { return bus_.BoardAt(adapter).monitor; }
    MonitorPower MonitorPowerOf(int adapter);
    // The machine's clock, in nanoseconds since power-on.
    uint64_t Now() const { return bus_.Now(); }

    // --- A logic analyser on the connectors -----------------------------------------------------
    // Starts capturing every adapter's connector from now (see WaveCapture); false when a capture
    // is running already.
    bool StartWave();
    bool WaveRunning() const { return wave_ != nullptr; }
    // Ends the capture and returns it as a Value Change Dump: at the machine's time, or with
    // `runOn` once the sync outputs of the latest change are recorded (the machine stays idle,
    // as at the end of a run). Empty when no capture runs.
    std::string StopWave(bool runOn);

    // --- Processes and their address spaces ---------------------------------------------------
    //
    // Process N is started by its first use (or StartProcess). Requests, reads and writes of an ended
    // process throw std::invalid_argument; a process object that no room is left for throws
    // ResourceExhausted.
    void StartProcess(uint32_t process);

    // What process N's code reads and writes: user addresses through its views, kernel addresses
    // in every process. False (and a process fault) when a byte is reachable through nothing.
    bool ProcessRead(uint32_t process, uint32_t address, std::vector<uint8_t>& bytes);
    bool ProcessWrite(uint32_t process, uint32_t address, const std::vector<uint8_t>& bytes);
    // Ends a running process: its views go, and its object is freed once the driver holds no
    // reference to it. Returns its views. Throws std::invalid_argument for the system process (0), a
    // process that never ran and one that has ended.
    std::vector<View> EndProcess(uint32_t process);
    // Process N while it runs (or has ended, its object kept by a reference), else null.
    const Process* FindProcess(uint32_t process) const { return kernel_.FindProcess(process); }
    // The handle value that names process N in every process.
    static uint32_t ProcessHandle(uint32_t process) { return ProcessHandleOf(process); }

    // The parties the machine is made of.
    VideoPort& Port() { return port_; }
    Kernel& GetKernel() { return kernel_; }
    Bus& GetBus() { return bus_; }

    // --- The driver image ---
    // The emulated processor that runs the driver image; null when the machine runs the host build.
    image::Cpu* Processor();
    // The driver image as the loader placed it; null when the machine runs the host build.
    const image::LoadedImage* DriverImage();

    // The machine's state (everything but video memory, ROM images and the trace: saving copies no
    // trace, whatever its length), to come back to: the aliasing check restores it after its check
    // run, and a fuzzer after every input.
    struct Snapshot {
        VideoPort::State port;
        Kernel::State kernel;
        Bus::State bus;
        FaultLog faults;
        std::vector<uint8_t> driverData;
    };

    Snapshot Save();
    void Restore(const Snapshot& snapshot);

private:
    void Activate();
    void CheckStarted(int adapter) const;
    void CheckRunning(uint32_t process);
    void CheckStaleDependence(uint32_t code, int adapter, const RequestResult& run, const RequestResult& other,
                              const std::vector<Kernel::StoredValue>& values,
                              const std::vector<Kernel::StoredValue>& otherValues);

    MachineConfig config_;
    TraceLog trace_;
    FaultLog faults_;
    Bus bus_;
    Kernel kernel_;
    std::unique_ptr<Miniport> miniport_;
    VideoPort port_;
    std::unique_ptr<WaveCapture> wave_;   // goes before the bus it watches
    std::set<uint32_t> codesRequested_;
};

// The machine on whose behalf the driver runs right now.
Machine* CurrentMachine();
// The same for a platform routine the host build of the driver called: a call outside a simulated
// machine is a fault of the test that made it, and ends the process naming the routine.
Machine& MachineForRoutine(const char* routine);

}  // namespace sim
