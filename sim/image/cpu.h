// An i386 CPU (Unicorn) that runs driver image code flat, in ring 0, 32-bit protected mode without
// paging: an address is the same number for the emulated code and for the simulated kernel.
//
// Memory is shared with the host page for page (the host's bytes are the emulated memory), device
// windows answer through a DeviceWindow, and a call to a thunk address runs a host routine with
// the arguments from the emulated stack. A host routine may call back into the image (Call) and
// then return to the image's original call: Unicorn 2.0 supports uc_emu_start nested inside a hook,
// so a callback runs as a nested emulation on top of the suspended one.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "page_memory.h"

struct uc_struct;

namespace sim::image {

// Page protections, as Unicorn numbers them.
enum Protection : uint32_t { ProtectRead = 1, ProtectWrite = 2, ProtectExecute = 4 };

// Who pops the arguments: the callee (stdcall, fastcall) or the caller (cdecl). Fastcall passes the
// first two 32-bit arguments in ECX and EDX.
enum class Convention { Stdcall, Fastcall, Cdecl };

// What a routine returns: nothing, EAX, or EDX:EAX.
enum class ResultWidth { None, Dword, Qword };

// The emulated code could not go on: an access to nothing, a protection fault, a CPU exception, an
// invalid instruction, or a call that broke its calling convention.
class CpuFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A window whose accesses a device answers (offsets from the window's first page).
class DeviceWindow {
public:
    virtual ~DeviceWindow() = default;
    virtual uint64_t Read(uint32_t offset, unsigned size) = 0;
    virtual void Write(uint32_t offset, unsigned size, uint64_t value) = 0;
};

// A host routine the image calls through a thunk. `run` receives the 32-bit argument slots (a
// 64-bit argument takes two, low half first) and returns EDX:EAX.
struct Thunk {
    std::string name;
    Convention convention = Convention::Stdcall;
    uint32_t argumentBytes = 0;
    ResultWidth result = ResultWidth::Dword;
    // A variable argument list (cdecl): the last slot `run` receives is the address of the first
    // variable argument on the stack, not a value read from there.
    bool variadic = false;
    std::function<uint64_t(std::span<const uint32_t> arguments)> run;
};

class Cpu {
public:
    // The page at `thunkPage` holds the thunks and the return address of host calls.
    explicit Cpu(uint32_t thunkPage);
    ~Cpu();
    Cpu(const Cpu&) = delete;
    Cpu& operator=(const Cpu&) = delete;

    // Page-aligned ranges only. The host memory must stay valid until unmapped.
    void MapMemory(uint32_t address, uint32_t size, uint8_t* host, uint32_t protection);
    void MapDevice(uint32_t address, uint32_t size, DeviceWindow* window);
    void Unmap(uint32_t address, uint32_t size);

    // Where the stack of an outermost call starts; the stack memory must be mapped.
    void SetStackTop(uint32_t top) { stackTop_ = top; }

    // Returns the address the image calls to run `thunk`.
    uint32_t AddThunk(Thunk thunk);
    uint32_t ThunkPage() const { return thunkPage_; }

    // Calls image code with 32-bit arguments (stdcall or cdecl) and returns EDX:EAX. Called from a
    // host routine that a thunk runs, it calls back into the image on top of the suspended call.
    // Throws CpuFault when the code faults or breaks the calling convention; an exception thrown
    // by a host routine on the way comes out here.
    uint64_t Call(uint32_t address, std::span<const uint32_t> arguments, Convention convention = Convention::Stdcall);
    uint64_t Call(uint32_t address, std::initializer_list<uint32_t> arguments,
                  Convention convention = Convention::Stdcall) {
        return Call(address, std::span<const uint32_t>(arguments.begin(), arguments.size()), convention);
    }

    // Emulated memory as the CPU sees it; throws CpuFault for an address nothing backs.
    void Read(uint32_t address, void* bytes, uint32_t size) const;
    void Write(uint32_t address, const void* bytes, uint32_t size);
    uint32_t Read32(uint32_t address) const;
    void Write32(uint32_t address, uint32_t value);

    // Nesting depth of calls into the image (0: no image code is running).
    int Depth() const { return depth_; }
    // ESP as the image left it (the thunk's return address on top while a host routine runs).
    uint32_t StackPointer() const;

    // --- Watching stores ---
    // Calls `sink(context, address, size)` for every store of the image's code that reaches
    // [address, address + size); the store may begin before the range. EndWatch ends it.
    using StoreSink = void (*)(void* context, uint32_t address, unsigned size);
    uint64_t WatchStores(uint32_t address, uint32_t size, StoreSink sink, void* context);
    void EndWatch(uint64_t watch);

    // --- The seam a debugger uses (gdb_stub.h); nothing here costs anything until it is used ---
    // The emulator, to hook and to read and write registers.
    uc_struct* Engine() const { return uc_; }
    // True when the page holding `address` is a device window: reading it would be a traced access
    // with the device's side effects.
    bool IsDevice(uint32_t address) const;
    // Stops the running emulation: the Call running it throws `why`.
    void Stop(std::exception_ptr why) { Fail(why); }
    // Runs whenever a call into the image has come back to its return address, before the calling
    // convention is checked: EIP is the return address and EAX (EDX) the result.
    void OnReturn(std::function<void()> watcher) { returned_ = std::move(watcher); }

    // The most instructions an outermost call may run, the calls back into the image that its host
    // routines make included (0: no limit). A call that runs more stops with a CpuFault that names
    // where it was: code in a loop is a fault of the driver, not a hang of the machine.
    static constexpr uint64_t DefaultInstructionBudget = 100'000'000;
    void SetInstructionBudget(uint64_t instructions) { budget_ = instructions; }
    uint64_t InstructionBudget() const { return budget_; }

private:
    friend struct CpuHooks;
    static constexpr uint32_t ThunkStride = 4;
    static constexpr uint32_t MaxArgumentBytes = 64;

    struct StoreWatch {
        StoreSink sink;
        void* context;
    };
    std::map<uint64_t, std::unique_ptr<StoreWatch>> storeWatches_;   // by Unicorn's hook handle

    struct DeviceBinding {
        Cpu* cpu;
        DeviceWindow* window;
        uint32_t address;
        uint32_t size;
    };

    uint32_t Register(int id) const;
    void SetRegister(int id, uint32_t value);
    void RunThunk(uint32_t address);
    void Fail(std::exception_ptr error);
    void CheckReturn(uint32_t address, uint32_t expectedStack, const uint32_t (&preserved)[4]) const;

    uc_struct* uc_ = nullptr;
    uint32_t thunkPage_;
    uint32_t returnAddress_;
    PageMemory thunkMemory_;
    std::vector<Thunk> thunks_;
    std::vector<std::unique_ptr<DeviceBinding>> devices_;
    uint32_t stackTop_ = 0;
    int depth_ = 0;
    uint64_t budget_ = DefaultInstructionBudget;
    uint64_t spent_ = 0;            // instructions the outermost call has run so far
    std::string fault_;             // what stopped the innermost emulation, when Unicorn saw it
    std::exception_ptr pending_;    // an error of a host routine, rethrown by Call
    std::function<void()> returned_;
};

}  // namespace sim::image
