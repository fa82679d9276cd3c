#include "cpu.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>

namespace sim::image {

namespace {

// A routine leaves EAX (when it returns nothing), ECX and EDX with whatever it computed; the thunks
// leave this value there, so that code relying on them would show.
constexpr uint32_t ScratchValue = 0xCCCCCCCC;

// Fresh flags of an outermost call: interrupts enabled, direction flag clear.
constexpr uint32_t InitialFlags = 0x202;

constexpr uint8_t Ud2[] = {0x0F, 0x0B};

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

const char* ExceptionName(uint32_t vector) {
    switch (vector) {
        case 0: return " (divide error)";
        case 1: return " (debug)";
        case 3: return " (breakpoint)";
        case 4: return " (overflow)";
        case 5: return " (bound range)";
        case 6: return " (invalid opcode)";
        case 13: return " (general protection)";
        case 14: return " (page fault)";
        default: return "";
    }
}

std::string DescribeAccess(uc_mem_type type, uint32_t address, int size) {
    const char* action = "read";
    const char* reason = "which nothing backs";
    switch (type) {
        case UC_MEM_WRITE_UNMAPPED: action = "wrote"; break;
        case UC_MEM_FETCH_UNMAPPED: action = "ran code"; break;
        case UC_MEM_WRITE_PROT: action = "wrote", reason = "which is read-only"; break;
        case UC_MEM_READ_PROT: reason = "which is not readable"; break;
        case UC_MEM_FETCH_PROT: action = "ran code", reason = "which is not executable"; break;
        default: break;
    }
    if (type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT) {
        return std::string("the image ") + action + " at " + Hex(address) + ", " + reason;
    }
    return std::string("the image ") + action + " " + std::to_string(size) + " bytes at " + Hex(address) + ", " + reason;
}

void Check(uc_err error, const std::string& what) {
    if (error != UC_ERR_OK) throw std::runtime_error(what + ": " + uc_strerror(error));
}

}  // namespace

// Unicorn's callbacks. None lets an exception escape into Unicorn: a failure is kept and the
// emulation stopped, and Call rethrows it.
struct CpuHooks {
    static void Code(uc_engine*, uint64_t address, uint32_t, void* user) {
        static_cast<Cpu*>(user)->RunThunk(static_cast<uint32_t>(address));
    }

    // Every instruction counts against the outermost call's budget.
    static void Instruction(uc_engine* uc, uint64_t, uint32_t, void* user) {
        Cpu* cpu = static_cast<Cpu*>(user);
        if (++cpu->spent_ <= cpu->budget_ || cpu->budget_ == 0 || !cpu->fault_.empty()) return;
        cpu->fault_ = "the image ran more than " + std::to_string(cpu->budget_) +
                       " instructions in one call (its instruction budget); it was at EIP " +
                      Hex(cpu->Register(UC_X86_REG_EIP));
        uc_emu_stop(uc);
    }

    static bool InvalidMemory(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* user) {
        Cpu* cpu = static_cast<Cpu*>(user);
        cpu->fault_ = DescribeAccess(type, static_cast<uint32_t>(address), size) + " (EIP " +
                      Hex(cpu->Register(UC_X86_REG_EIP)) + ")";
        return false;
    }

    static void Interrupt(uc_engine* uc, uint32_t vector, void* user) {
        Cpu* cpu = static_cast<Cpu*>(user);
        cpu->fault_ = "CPU exception " + std::to_string(vector) + ExceptionName(vector) + " at EIP " +
                      Hex(cpu->Register(UC_X86_REG_EIP));
        uc_emu_stop(uc);
    }

    static void Store(uc_engine*, uc_mem_type, uint64_t address, int size, int64_t, void* user) {
        auto* watch = static_cast<Cpu::StoreWatch*>(user);
        watch->sink(watch->context, static_cast<uint32_t>(address), static_cast<unsigned>(size));
    }

    static uint64_t DeviceRead(uc_engine*, uint64_t offset, unsigned size, void* user) {
        auto* binding = static_cast<Cpu::DeviceBinding*>(user);
        try {
            return binding->window->Read(static_cast<uint32_t>(offset), size);
        } catch (...) {
            binding->cpu->Fail(std::current_exception());
            return 0;
        }
    }

    static void DeviceWrite(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user) {
        auto* binding = static_cast<Cpu::DeviceBinding*>(user);
        try {
            binding->window->Write(static_cast<uint32_t>(offset), size, value);
        } catch (...) {
            binding->cpu->Fail(std::current_exception());
        }
    }
};

Cpu::Cpu(uint32_t thunkPage) : thunkPage_(thunkPage), returnAddress_(thunkPage), thunkMemory_(PageSize) {
    if (thunkPage % PageSize) throw std::invalid_argument("the thunk page must be page-aligned");
    Check(uc_open(UC_ARCH_X86, UC_MODE_32, &uc_), "cannot start the i386 emulator");
    // Every slot holds an invalid instruction: reaching one without its hook stops the emulation.
    for (uint32_t at = 0; at < PageSize; at += sizeof Ud2) std::copy(std::begin(Ud2), std::end(Ud2), thunkMemory_.data() + at);
    MapMemory(thunkPage_, PageSize, thunkMemory_.data(), ProtectRead | ProtectExecute);

    // The thunks' hook covers the thunk page only (slot 0, the return address, ends a call by
    // `until`); the instruction count covers everything, for the budget.
    uc_hook hook;
    Check(uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&CpuHooks::Code), this,
                      thunkPage_ + ThunkStride, thunkPage_ + PageSize - 1),
          "cannot hook the thunks");
    Check(uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&CpuHooks::Instruction), this, 1, 0),
          "cannot count instructions");
    Check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&CpuHooks::InvalidMemory), this, 1, 0),
          "cannot hook memory faults");
    Check(uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&CpuHooks::Interrupt), this, 1, 0),
          "cannot hook CPU exceptions");
}

Cpu::~Cpu() { uc_close(uc_); }

void Cpu::MapMemory(uint32_t address, uint32_t size, uint8_t* host, uint32_t protection) {
    if (address % PageSize || size % PageSize || size == 0) {
        throw std::invalid_argument("memory shared with the CPU must be whole pages: " + Hex(address) + " + " + Hex(size));
    }
    Check(uc_mem_map_ptr(uc_, address, size, protection, host), "cannot map " + Hex(address) + " + " + Hex(size));
}

void Cpu::MapDevice(uint32_t address, uint32_t size, DeviceWindow* window) {
    if (address % PageSize || size % PageSize || size == 0) {
        throw std::invalid_argument("a device window must be whole pages: " + Hex(address) + " + " + Hex(size));
    }
    auto binding = std::make_unique<DeviceBinding>(DeviceBinding{this, window, address, size});
    Check(uc_mmio_map(uc_, address, size, &CpuHooks::DeviceRead, binding.get(), &CpuHooks::DeviceWrite, binding.get()),
          "cannot map the device window at " + Hex(address));
    devices_.push_back(std::move(binding));
}

void Cpu::Unmap(uint32_t address, uint32_t size) {
    Check(uc_mem_unmap(uc_, address, size), "cannot unmap " + Hex(address) + " + " + Hex(size));
    // Code translated from the old contents must not run again.
    uc_ctl_remove_cache(uc_, address, uint64_t{address} + size);
    std::erase_if(devices_, [&](const auto& binding) {
        return binding->address >= address && uint64_t{binding->address} + binding->size <= uint64_t{address} + size;
    });
}

bool Cpu::IsDevice(uint32_t address) const {
    return std::any_of(devices_.begin(), devices_.end(), [&](const auto& binding) {
        return address - binding->address < binding->size;
    });
}

uint32_t Cpu::AddThunk(Thunk thunk) {
    if (depth_ > 0) throw std::logic_error("thunks cannot be added while image code runs");
    if (thunk.argumentBytes % 4 || thunk.argumentBytes > MaxArgumentBytes) {
        throw std::invalid_argument(thunk.name + ": arguments must be whole 32-bit slots, at most 64 bytes");
    }
    if ((thunks_.size() + 2) * ThunkStride > PageSize) throw std::length_error("the thunk page is full");
    thunks_.push_back(std::move(thunk));
    return thunkPage_ + static_cast<uint32_t>(thunks_.size()) * ThunkStride;
}

uint32_t Cpu::Register(int id) const {
    uint32_t value = 0;
    uc_reg_read(uc_, id, &value);
    return value;
}

void Cpu::SetRegister(int id, uint32_t value) { uc_reg_write(uc_, id, &value); }

uint32_t Cpu::StackPointer() const { return Register(UC_X86_REG_ESP); }

// --- Watching stores ---

// The widest store the image makes is 8 bytes: one that begins up to 7 bytes before the range
// still reaches it.
uint64_t Cpu::WatchStores(uint32_t address, uint32_t size, StoreSink sink, void* context) {
    if (size == 0) throw std::invalid_argument("a watched range needs at least one byte");
    auto watch = std::make_unique<StoreWatch>(StoreWatch{sink, context});
    uc_hook hook;
    const uint64_t first = address < 7 ? 0 : address - 7;
    Check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&CpuHooks::Store), watch.get(), first,
                      uint64_t{address} + size - 1),
          "cannot watch stores at " + Hex(address));
    storeWatches_[hook] = std::move(watch);
    return hook;
}

void Cpu::EndWatch(uint64_t watch) {
    uc_hook_del(uc_, static_cast<uc_hook>(watch));
    storeWatches_.erase(watch);
}

void Cpu::Fail(std::exception_ptr error) {
    if (!pending_) pending_ = error;
    uc_emu_stop(uc_);
}

uint64_t Cpu::Call(uint32_t address, std::span<const uint32_t> arguments, Convention convention) {
    if (convention == Convention::Fastcall) throw std::invalid_argument("calls into the image are stdcall or cdecl");
    if (depth_ == 0 && stackTop_ == 0) throw std::logic_error("the CPU has no stack");
    uint32_t entryStack = depth_ == 0 ? stackTop_ : Register(UC_X86_REG_ESP);
    uint32_t stack = entryStack - 4 * static_cast<uint32_t>(arguments.size()) - 4;
    std::vector<uint32_t> frame{returnAddress_};
    frame.insert(frame.end(), arguments.begin(), arguments.end());
    Write(stack, frame.data(), static_cast<uint32_t>(frame.size() * 4));
    SetRegister(UC_X86_REG_ESP, stack);
    if (depth_ == 0) {
        SetRegister(UC_X86_REG_EFLAGS, InitialFlags);
        SetRegister(UC_X86_REG_EBP, 0);
        spent_ = 0;
    }
    const uint32_t preserved[4] = {Register(UC_X86_REG_EBX), Register(UC_X86_REG_ESI), Register(UC_X86_REG_EDI),
                                   Register(UC_X86_REG_EBP)};

    fault_.clear();
    ++depth_;
    uc_err error = uc_emu_start(uc_, address, returnAddress_, 0, 0);
    --depth_;
    if (pending_) {
        std::exception_ptr failure = pending_;
        pending_ = nullptr;
        std::rethrow_exception(failure);
    }
    if (error != UC_ERR_OK) {
        std::string what = fault_.empty() ? std::string(uc_strerror(error)) + " at EIP " + Hex(Register(UC_X86_REG_EIP)) : fault_;
        throw CpuFault(what + ", in the call to " + Hex(address));
    }
    if (!fault_.empty()) throw CpuFault(fault_ + ", in the call to " + Hex(address));
    if (returned_) returned_();
    uint32_t expectedStack = convention == Convention::Stdcall ? entryStack : stack + 4;
    CheckReturn(address, expectedStack, preserved);
    return Register(UC_X86_REG_EAX) | uint64_t{Register(UC_X86_REG_EDX)} << 32;
}

// The callee came back to the return address, popped what its convention pops and kept the
// registers every i386 routine keeps.
void Cpu::CheckReturn(uint32_t address, uint32_t expectedStack, const uint32_t (&preserved)[4]) const {
    uint32_t eip = Register(UC_X86_REG_EIP);
    if (eip != returnAddress_) throw CpuFault("the call to " + Hex(address) + " stopped at " + Hex(eip) + " before returning");
    uint32_t stack = Register(UC_X86_REG_ESP);
    if (stack != expectedStack) {
        int32_t off = static_cast<int32_t>(stack - expectedStack);
        throw CpuFault("the call to " + Hex(address) + " returned with the stack " + std::to_string(off < 0 ? -off : off) +
                       " bytes " + (off < 0 ? "lower" : "higher") + " than its calling convention leaves it");
    }
    static const char* const names[4] = {"EBX", "ESI", "EDI", "EBP"};
    const int ids[4] = {UC_X86_REG_EBX, UC_X86_REG_ESI, UC_X86_REG_EDI, UC_X86_REG_EBP};
    for (int i = 0; i < 4; ++i) {
        if (Register(ids[i]) != preserved[i]) throw CpuFault("the call to " + Hex(address) + " did not preserve " + names[i]);
    }
}

// The image called a thunk: decode the arguments, run the host routine, and return to the caller
// as the routine would (result registers set, arguments popped by the callee's convention).
void Cpu::RunThunk(uint32_t address) {
    uint32_t offset = address - thunkPage_;
    if (offset % ThunkStride || offset / ThunkStride - 1 >= thunks_.size()) {
        fault_ = "the image jumped to " + Hex(address) + ", inside the thunk page but to no routine";
        uc_emu_stop(uc_);
        return;
    }
    const Thunk& thunk = thunks_[offset / ThunkStride - 1];
    try {
        uint32_t count = thunk.argumentBytes / 4;
        uint32_t inRegisters = thunk.convention == Convention::Fastcall ? std::min(count, 2u) : 0;
        uint32_t slots[MaxArgumentBytes / 4];
        if (inRegisters > 0) slots[0] = Register(UC_X86_REG_ECX);
        if (inRegisters > 1) slots[1] = Register(UC_X86_REG_EDX);
        uint32_t stack = Register(UC_X86_REG_ESP);
        uint32_t frame[1 + MaxArgumentBytes / 4];
        uint32_t read = count - inRegisters - (thunk.variadic ? 1 : 0);
        Read(stack, frame, 4 * (1 + read));
        std::copy(frame + 1, frame + 1 + read, slots + inRegisters);
        if (thunk.variadic) slots[count - 1] = stack + 4 + 4 * read;

        uint64_t result = thunk.run(std::span<const uint32_t>(slots, count));

        uint32_t popped = thunk.convention == Convention::Cdecl ? 0 : 4 * (count - inRegisters);
        SetRegister(UC_X86_REG_EAX, thunk.result == ResultWidth::None ? ScratchValue : static_cast<uint32_t>(result));
        SetRegister(UC_X86_REG_EDX, thunk.result == ResultWidth::Qword ? static_cast<uint32_t>(result >> 32) : ScratchValue);
        SetRegister(UC_X86_REG_ECX, ScratchValue);
        SetRegister(UC_X86_REG_ESP, stack + 4 + popped);
        SetRegister(UC_X86_REG_EIP, frame[0]);
    } catch (...) {
        Fail(std::current_exception());
    }
}

void Cpu::Read(uint32_t address, void* bytes, uint32_t size) const {
    if (uc_mem_read(uc_, address, bytes, size) != UC_ERR_OK) {
        throw CpuFault("reading " + std::to_string(size) + " bytes at " + Hex(address) + ": nothing backs them");
    }
}

void Cpu::Write(uint32_t address, const void* bytes, uint32_t size) {
    if (uc_mem_write(uc_, address, bytes, size) != UC_ERR_OK) {
        throw CpuFault("writing " + std::to_string(size) + " bytes at " + Hex(address) + ": nothing writable backs them");
    }
}

uint32_t Cpu::Read32(uint32_t address) const {
    uint32_t value = 0;
    Read(address, &value, 4);
    return value;
}

void Cpu::Write32(uint32_t address, uint32_t value) { Write(address, &value, 4); }

}  // namespace sim::image
