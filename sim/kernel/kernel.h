// The kernel: the 32-bit kernel address space (pool memory backed by the host, and mappings of
// physical addresses), the processor's accesses through it, the process on whose behalf the driver
// runs, and the registry.
//
// Memory: system memory (RAM) is physical 0 up to SystemMemoryBytes(); kernel pool lives in it at
// kernel address 0x80000000 + physical, as x86 Windows maps low memory, so a view of physical
// memory reaches any pool block. The first 16 MiB are the system's own (no pool is given out
// there). Contiguous memory comes from the same pool, and can run out. Neither is cleared: a fresh
// block holds StaleDword in every aligned 32-bit word, standing for what earlier owners left there,
// and a user view that shows such a word is reported as a driver fault.
//
// User and kernel mode: processes 0 (the system) and 1 (the display driver) run in kernel mode and
// reach kernel addresses; every other process is a user program, whose access to an address at or
// above 0x80000000 faults whatever is mapped there.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "devices/bus.h"
#include "kernel/address_space.h"
#include "kernel/objects.h"
#include "kernel/process.h"
#include "kernel/registry.h"
#include "kernel/write_ledger.h"
#include "platform/videoport.h"
#include "support/faults.h"

namespace sim {

class Kernel {
public:
    Kernel(Bus& bus, FaultLog& faults) : bus_(bus), faults_(faults), objects_(*this, faults) {}
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    KernelSpace& Space() { return space_; }
    Registry& GetRegistry() { return registry_; }
    const Registry& GetRegistry() const { return registry_; }
    // Registry keys and files by handle, counted strings, pool memory.
    KernelObjects& Objects() { return objects_; }

    // The process on whose behalf the driver runs (what IoGetCurrentProcess answers).
    uint32_t CurrentProcess() const { return currentProcess_; }
    void SetCurrentProcess(uint32_t process) { currentProcess_ = process; }

    // A 32-bit address to the host pointer behind it: the memory itself for pool memory, otherwise
    // the address as a pointer value that must not be dereferenced.
    void* HostPointer(uint32_t address);
    // A host pointer (into pool memory, or a pointer value that already is an address) to its
    // address; 0 and a driver fault for a pointer outside the machine's address space.
    uint32_t AddressOfPointer(const void* pointer);

    // The processor's accesses through a kernel virtual address of a device mapping.
    uint32_t ReadMemory(const volatile void* pointer, unsigned width);
    void WriteMemory(const volatile void* pointer, unsigned width, uint32_t value);
    // The physical address behind a kernel virtual address of a device mapping; false (and a driver
    // fault) when the address maps no device.
    bool PhysicalOf(const volatile void* pointer, bool write, uint32_t* physical);

    // --- Memory mapping: processes, user views, system memory, the physical memory section ------

    static constexpr uint32_t SystemProcess = 0;         // where discovery and initialization run
    static constexpr uint32_t DisplayDriverProcess = 1;  // the display driver, in kernel mode
    static bool RunsInKernelMode(uint32_t id) { return id <= DisplayDriverProcess; }
    // What a fresh pool or contiguous block holds in every aligned 32-bit word.
    static constexpr uint32_t StaleDword = 0xDEC0ADDE;   // bytes DE AD C0 DE

    // System memory; set before boot (24 to 256 MiB).
    void SetSystemMemory(uint64_t bytes);
    uint32_t SystemMemoryBytes() const { return memory_.systemBytes; }
    void InjectFault(const InjectedFault& fault) { memory_.injector.Add(fault); }

    // Which freed process object a new process gets (set before boot).
    void SetProcessReuse(ProcessReuse reuse) { memory_.processReuse = reuse; }
    ProcessReuse GetProcessReuse() const { return memory_.processReuse; }
    // Process `id`, started when it has not run yet. Throws std::invalid_argument for a process that
    // has ended, and ResourceExhausted when the pool has no room for its object.
    Process& EnsureProcess(uint32_t id);
    // A running process, or an ended one whose object a reference keeps; null for any other.
    const Process* FindProcess(uint32_t id) const;
    const std::map<uint32_t, Process>& Processes() const { return memory_.processes; }
    bool HasEnded(uint32_t id) const;
    // Ends a running process: its views and handles go (the platform cleans them up; nothing is
    // reported), a system-space mapping that one of its requests made and left is reported, and its
    // object is freed unless a reference keeps it. Returns the views it had.
    std::vector<View> EndProcess(uint32_t id);
    // The process whose object lies at `object` (running, or ended and kept), or null.
    const Process* ProcessOfObject(uint32_t object) const;
    // Pool blocks that hold process objects, in use or freed for reuse.
    size_t ProcessObjectBlocks() const;
    // The process a handle names (-1: the current one); false for 0, an unknown handle or a process
    // that has ended.
    bool ProcessOfHandle(uint32_t handle, uint32_t* id);

    // A user view of `length` bytes of physical memory from `physical` in process `id`. Returns the
    // address that shows `physical` (0 when the process has no room) and, in `viewLength`, the
    // bytes from there to the view's end.
    uint32_t MapUserView(uint32_t id, uint32_t physical, uint32_t length, const std::string& caching,
                         const std::string& madeBy, uint32_t* viewLength);
    // Removes the view holding `address`; false when no view of the process holds it.
    bool UnmapUserView(uint32_t id, uint32_t address);
    // The same in system space (VideoPortMapMemory without a process): a kernel address, the same in
    // every process. Only such mappings can be removed again.
    uint32_t MapSystemView(uint32_t physical, uint32_t length, const std::string& caching, const std::string& madeBy,
                           uint32_t* viewLength);
    bool UnmapSystemView(uint32_t address);
    const std::map<uint32_t, View>& SystemViews() const { return memory_.systemViews; }

    // The processor's accesses in process `id`'s address space, as code running in that process
    // makes them: user addresses through its views, kernel addresses only in a process that runs in
    // kernel mode. All or nothing: false, and a fault of the process, when a byte is reachable
    // through nothing (or a write meets a read-only view, or a user program reaches kernel space). Every access reaches the memory or device behind it and is
    // traced.
    bool ProcessRead(uint32_t id, uint32_t address, uint8_t* bytes, uint32_t length);
    bool ProcessWrite(uint32_t id, uint32_t address, const uint8_t* bytes, uint32_t length);
    // Physical memory space: system memory, or the bus above it.
    void PhysicalAccess(uint32_t physical, uint8_t* bytes, uint32_t length, bool write);

    // The kernel routines the driver calls (addresses are 32-bit machine addresses).
    uint32_t CurrentProcessObject();
    uint32_t AllocateContiguousMemory(uint64_t bytes, uint64_t highestAcceptable);
    uint64_t PhysicalAddressOf(uint32_t address);
    NTSTATUS OpenSection(uint32_t* handle, ACCESS_MASK access, const OBJECT_ATTRIBUTES* attributes);
    NTSTATUS ReferenceObjectByHandle(uint32_t handle, ACCESS_MASK access, const void* objectType, uint32_t mode,
                                     uint32_t* object);
    // ObfReferenceObject: one more reference to an object the driver holds a pointer to (a process
    // object, or the physical memory section); a reference keeps a process object's memory.
    void ReferenceObject(uint32_t object);
    // ObfDereferenceObject: the last reference to an ended process's object frees it.
    void DereferenceObject(uint32_t object);
    // KeWaitForSingleObject on a process object: STATUS_SUCCESS once the process has ended (its object
    // is signalled), STATUS_TIMEOUT while it runs. `timeout` in 100 ns units, negative relative; null
    // waits without end. A wait that would never end, or on what is no process object, is a driver fault.
    NTSTATUS WaitForSingleObject(uint32_t object, uint32_t waitReason, uint32_t mode, uint32_t alertable,
                                 const int64_t* timeout);
    // MmFreeContiguousMemory: `address` must be where a block of contiguous memory starts.
    void FreeContiguousMemory(uint32_t address);
    // ZwMapViewOfSection's arguments besides the handles and the in/out base, offset and size.
    struct ViewRequest {
        uint32_t zeroBits = 0;
        uint64_t commitSize = 0;
        uint32_t inherit = 2;          // ViewUnmap
        uint32_t allocationType = 0;
        uint32_t protection = 0;
    };
    NTSTATUS MapViewOfSection(uint32_t section, uint32_t processHandle, uint32_t* base, uint64_t* offset,
                              uint64_t* viewSize, const ViewRequest& request);
    // Fills [address, address + size) of pool memory with the stale word.
    void FillStale(uint32_t address, uint32_t size);
    NTSTATUS Close(uint32_t handle);
    // A handle argument as the driver passed it, as a 32-bit value (NtCurrentProcess() is -1).
    uint32_t HandleValue(const void* handle);

    // --- Bytes the driver never wrote ---
    //
    // Every byte a caller did not supply starts stale: fresh pool and contiguous blocks, a request's
    // system buffer past the input, the driver's stack. Stale memory holds the stale word at each
    // aligned address: StaleDword, or OtherStaleDword in the run of the aliasing check that tells
    // apart the bytes whose value depends on stale memory.
    static constexpr uint32_t OtherStaleDword = 0xA5965A3C;   // bytes 3C 5A 96 A5
    uint32_t StaleWord() const { return staleWord_; }
    void SetStaleWord(uint32_t word);
    // Fills host memory with the stale word as it lies at each byte's address.
    void FillStaleBytes(uint8_t* bytes, size_t size) const;
    // Which bytes of the buffers the port watches were written (see WriteLedger).
    WriteLedger& Ledger() { return ledger_; }
    // A run of bytes the driver never wrote: from `offset`, `length` bytes.
    struct Run {
        uint32_t offset = 0;
        uint32_t length = 0;
    };
    // The runs among bytes [from, size) of the memory at `bytes` (kernel address `address`, or 0 for
    // memory outside the kernel's space) that the driver never wrote. Exact where the ledger watches
    // the memory and is exact; elsewhere runs of at least MinStaleRun bytes that hold the stale word
    // at their addresses and that no platform routine wrote (a written value shorter than that may
    // equal the stale word by chance).
    static constexpr uint32_t MinStaleRun = 8;
    std::vector<Run> NeverWritten(uint32_t address, const uint8_t* bytes, uint32_t size, uint32_t from = 0) const;
    // "N bytes (offsets A-B, C)", at most a few runs named.
    static std::string DescribeRuns(const std::vector<Run>& runs);
    // The request whose HwStartIO runs now (its control code), for the checks made on the way.
    bool InRequest() const { return inRequest_; }
    uint32_t RequestCode() const { return requestCode_; }
    void SetRequest(bool in, uint32_t code) {
        inRequest_ = in;
        requestCode_ = code;
        if (in) storedValues_.clear();
    }
    // The values the driver stored in the registry during requests since the last call, for the
    // aliasing check's comparison of its runs.
    struct StoredValue {
        std::string what;
        std::vector<uint8_t> data;
        bool operator==(const StoredValue&) const = default;
    };
    std::vector<StoredValue> TakeStoredValues() { return std::move(storedValues_); }
    // Reports, as a driver fault, `what` stores bytes the driver never wrote (`bytes` at kernel address
    // `address`, 0 when outside the kernel's space); false when every byte was written.
    bool CheckWritten(const std::string& what, uint32_t address, const void* bytes, uint32_t size);

    // The checks around one request: what a request leaves behind that its requester cannot undo.
    // Object references the driver holds, by object and the adapter whose driver took them.
    using References = std::map<std::pair<uint32_t, int>, int>;
    struct RequestMark {
        uint64_t serial = 0;
        References references;
        std::vector<uint32_t> endedObjects;   // objects of ended processes that references keep
    };
    RequestMark BeginRequest() const;
    void EndRequest(const RequestMark& mark, const std::string& request, bool succeeded,
                    const std::vector<uint8_t>& output, int adapter);

    // Everything but pool contents is copied; pool regions keep their host memory across a restore.
    struct MemoryState {
        uint32_t systemBytes = 64u << 20;
        std::map<uint32_t, Process> processes;
        std::map<uint32_t, View> systemViews;    // by base: system-space mappings of VideoPortMapMemory
        uint32_t physicalMemorySection = 0;      // kernel address of its object, 0 before first use
        References references;
        uint64_t nextSerial = 1;
        FaultInjector injector;
        ProcessReuse processReuse = ProcessReuse::Recent;
        NumberRanges endedProcesses;                   // ended and gone from `processes`
        std::deque<uint32_t> freeProcessObjects;       // freed process objects, the longest freed first
        std::map<uint32_t, uint32_t> processOfObject;  // object -> process, for every process in `processes`
        size_t processObjectBlocks = 0;                // pool blocks made for process objects
        std::set<std::pair<uint32_t, int>> reportedKeeps;   // references to ended processes reported
    };
    struct State {
        KernelSpace space;
        // Shared with the kernel's last saved copy while the registry keeps its version: most
        // snapshots (one per request) find it unchanged, and copying it was much of a save.
        std::shared_ptr<const Registry> registry;
        uint32_t currentProcess = 0;
        MemoryState memory;
        KernelObjects::State objects;
    };
    State Save() const;
    void Restore(const State& state);

    // A handle the driver opened without OBJ_KERNEL_HANDLE goes into the calling process's table:
    // reported as a driver fault while a request of a process runs.
    void ReportUserHandle(const std::string& routine, const std::string& object, const std::string& handle);

    // --- Both builds of the driver ---
    // ZwClose: a handle of a key or file, or else of a section in the calling process's table.
    NTSTATUS CloseHandle(HANDLE handle);

private:
    // PhysicalOf's answer as a value: the physical address, or NoPhysical (and a driver fault).
    static constexpr uint64_t NoPhysical = uint64_t{1} << 32;
    uint64_t PhysicalOrNone(const volatile void* pointer, bool write);
    // A view record of the current adapter with the next serial number.
    View NewView(uint32_t base, uint32_t size, uint32_t physical, const std::string& caching, const std::string& madeBy);
    bool Resolve(uint32_t id, uint32_t address, uint32_t length, bool write, std::vector<std::pair<uint32_t, uint32_t>>* pieces);
    bool InjectedFailure(PlatformCall call, NTSTATUS* status);
    // Reports the words of a fresh block that a new user view of process `id` shows.
    void CheckViewShowsNoStale(uint32_t id, const View& view);
    Process* HandleOwner(uint32_t handle, uint32_t* value);
    // A process object's memory for a new process, as the reading gives it.
    uint32_t NewProcessObject();
    // Frees an ended process's object; the process is gone.
    void FreeProcess(uint32_t id);
    int ReferencesTo(uint32_t object) const;
    void ReportSystemViewsLeftBy(uint32_t id);

    Bus& bus_;
    FaultLog& faults_;
    KernelSpace space_;
    Registry registry_;
    // The copy of the registry that the last save made, shared by every snapshot taken since.
    mutable std::shared_ptr<const Registry> savedRegistry_;
    uint32_t currentProcess_ = 0;
    MemoryState memory_;
    KernelObjects objects_;
    // --- Bytes the driver never wrote ---
    uint32_t staleWord_ = StaleDword;
    std::vector<uint8_t> stalePage_ = StalePage(StaleDword);   // a page of it and a word more
    static std::vector<uint8_t> StalePage(uint32_t word);
    WriteLedger ledger_;
    bool inRequest_ = false;
    uint32_t requestCode_ = 0;
    std::vector<StoredValue> storedValues_;
};

}  // namespace sim
