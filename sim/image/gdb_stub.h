// A debugger on the driver image: a stub of the GDB remote serial protocol that serves one gdb over
// TCP on the loopback interface for the emulated i386 CPU that runs the image.
//
// Attached, it stops the run at the image's next instruction (before DriverEntry when attached before
// boot) and serves the debugger from inside the emulation: the general registers, the memory the
// CPU sees (device windows refused: a read there is a traced access with side effects), breakpoints
// at instructions of the image and at the return address of a call into it, watchpoints on the
// image's own loads and stores, single steps, continue, an interrupt (Ctrl-C), the image's section
// offsets (the image runs moved from its preferred base), a fault of the image as a signal at the
// faulting instruction, and the run's end. Without a stub the CPU has no hooks for it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu.h"

namespace sim::image {

// The debugger ended the run (gdb's kill).
class DebuggerEnded : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where the image lies: loaded at `base`, linked for `preferredBase`, `size` bytes.
struct DebuggedImage {
    uint32_t base = 0;
    uint32_t preferredBase = 0;
    uint32_t size = 0;
};

class GdbStub {
public:
    // Listens on HOST:PORT, HOST a loopback address (127.x.x.x, localhost or [::1]; 127.0.0.1 when
    // empty), PORT 0 for any free port. Throws std::invalid_argument for another address or a port
    // that cannot be had.
    explicit GdbStub(const std::string& address);
    ~GdbStub();
    GdbStub(const GdbStub&) = delete;
    GdbStub& operator=(const GdbStub&) = delete;

    // HOST:PORT as gdb's `target remote` takes it, with the port listened on.
    std::string Address() const { return address_; }

    // Waits for gdb to connect and attaches to the CPU: the next instruction of the image stops.
    void Attach(Cpu& cpu, const DebuggedImage& image);
    // Runs whenever the run stops for the debugger (to flush what the run has written so far).
    void OnStop(std::function<void()> stopped) { stopped_ = std::move(stopped); }
    // The host bytes behind an address of memory, or null: under AddressSanitizer the debugger's
    // reads stop where the sanitizer build poisons the rest of a block's last page (where the
    // driver's own reads stop), instead of tripping over it.
    void OnHostMemory(std::function<const uint8_t*(uint32_t address)> host) { host_ = std::move(host); }
    // The run ended with exit status `status`: gdb waiting for the run is told so, and the
    // connection is closed.
    void End(int status);

private:
    struct Stop {
        int signal;
        std::string detail;   // "swbreak:;", "watch:ADDR;", ...
    };
    enum class Next { Resume, Kill };
    struct Watchpoint {
        char type;            // '2' write, '3' read, '4' access
        uint32_t address;
        uint32_t length;
    };
    friend struct GdbHooks;

    // Stops the run here and serves the debugger until it resumes, detaches or kills the run.
    Next Serve(const Stop& stop);
    Next StopAt(uint32_t address);
    // Answers one packet; sets `next` when the packet resumes the run.
    std::string Answer(const std::string& packet, std::optional<Next>* next, bool* reply);
    std::string Resume(bool step, const std::string& address);
    std::string ReadRegisters() const;
    std::string WriteRegisters(const std::string& hex);
    std::string ReadRegister(const std::string& number) const;
    std::string WriteRegister(const std::string& assignment);
    std::string ReadMemory(const std::string& arguments) const;
    uint32_t Readable(uint32_t address, uint32_t size) const;
    std::string WriteMemory(const std::string& arguments, bool binary);
    std::string SetPoint(const std::string& arguments, bool insert);
    void Detach();

    void OnInstruction(uint32_t address);
    void OnAccess(bool write, uint32_t address, int size);
    void OnFault();
    void OnException(uint32_t vector);
    void OnReturn();
    void PollInterrupt();

    // The connection. False when gdb has gone.
    bool ReadPacket(std::string* packet);
    int ReadByte();
    void Send(const std::string& payload);

    int listener_ = -1;
    int connection_ = -1;
    std::string address_;
    std::string input_;          // bytes received and not yet read
    bool noAck_ = false;

    Cpu* cpu_ = nullptr;
    DebuggedImage image_;
    std::function<void()> stopped_;
    std::function<const uint8_t*(uint32_t)> host_;
    bool attached_ = false;
    bool running_ = false;       // gdb waits for a stop reply
    bool stepping_ = false;      // stop at the next instruction
    std::optional<Stop> pending_;   // a stop to report at the next instruction
    std::string lastStop_ = "S05";
    std::set<uint32_t> breakpoints_;
    std::vector<Watchpoint> watchpoints_;
    unsigned untilPoll_ = 1;
};

}  // namespace sim::image
