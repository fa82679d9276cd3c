#include "gdb_stub.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unicorn/unicorn.h>

#include "address_sanitizer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim::image {

namespace {

// gdb's signal numbers.
constexpr int SigInt = 2, SigIll = 4, SigTrap = 5, SigFpe = 8, SigSegv = 11;

// The registers of gdb's i386 'g' packet, in its order.
constexpr int GeneralRegisters[] = {UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX,    UC_X86_REG_EBX,
                                    UC_X86_REG_ESP, UC_X86_REG_EBP, UC_X86_REG_ESI,    UC_X86_REG_EDI,
                                    UC_X86_REG_EIP, UC_X86_REG_EFLAGS, UC_X86_REG_CS,  UC_X86_REG_SS,
                                    UC_X86_REG_DS,  UC_X86_REG_ES,  UC_X86_REG_FS,     UC_X86_REG_GS};
constexpr size_t RegisterCount = std::size(GeneralRegisters);

// The largest packet gdb may send (it reads the size as hexadecimal), and the most bytes one memory
// read answers.
constexpr size_t PacketSize = 0x4000;
constexpr uint32_t MaxTransfer = PacketSize / 2 - 16;
// Instructions between two looks for gdb's interrupt while the image runs.
constexpr unsigned PollInterval = 4096;
constexpr uint32_t Page = 0x1000;

const char HexDigits[] = "0123456789abcdef";

std::string Hex8(uint8_t byte) { return {HexDigits[byte >> 4], HexDigits[byte & 15]}; }

std::string HexBytes(const uint8_t* bytes, size_t size) {
    std::string text;
    for (size_t i = 0; i < size; ++i) text += Hex8(bytes[i]);
    return text;
}

std::string HexNumber(uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A hexadecimal number of up to 32 bits, the whole text.
bool ParseHex(const std::string& text, uint32_t* value) {
    if (text.empty() || text.size() > 8) return false;
    uint32_t result = 0;
    for (char c : text) {
        int digit = HexValue(c);
        if (digit < 0) return false;
        result = result << 4 | static_cast<uint32_t>(digit);
    }
    *value = result;
    return true;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes) {
    if (text.size() % 2) return false;
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = HexValue(text[i]), low = HexValue(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes->push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return true;
}

// "ADDR,LENGTH" (and the rest after `end`, when given).
bool ParseRange(const std::string& text, uint32_t* address, uint32_t* length, char end = '\0', std::string* rest = nullptr) {
    size_t comma = text.find(',');
    if (comma == std::string::npos) return false;
    size_t stop = end ? std::min(text.find(end, comma), text.size()) : text.size();
    if (!ParseHex(text.substr(0, comma), address) || !ParseHex(text.substr(comma + 1, stop - comma - 1), length)) return false;
    if (rest) *rest = stop < text.size() ? text.substr(stop + 1) : "";
    return true;
}

int SignalOfException(uint32_t vector) {
    switch (vector) {
        case 0: case 16: case 19: return SigFpe;     // divide error, x87 and SIMD errors
        case 1: case 3: return SigTrap;              // debug, breakpoint
        case 6: return SigIll;                       // invalid opcode
        default: return SigSegv;                     // protection faults, and an INT n without a gate
    }
}

bool Loopback(const std::string& host, sockaddr_storage* address, socklen_t* length) {
    std::memset(address, 0, sizeof *address);
    auto* v4 = reinterpret_cast<sockaddr_in*>(address);
    if (host.empty() || host == "localhost") {
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        *length = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        *length = sizeof *v4;
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(address);
    if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        *length = sizeof *v6;
        return IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
    }
    return false;
}

}  // namespace

// Unicorn's callbacks for the stub.
struct GdbHooks {
    static void Code(uc_engine*, uint64_t address, uint32_t, void* user) {
        static_cast<GdbStub*>(user)->OnInstruction(static_cast<uint32_t>(address));
    }
    static void Access(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* user) {
        static_cast<GdbStub*>(user)->OnAccess(type == UC_MEM_WRITE, static_cast<uint32_t>(address), size);
    }
    static bool Invalid(uc_engine*, uc_mem_type, uint64_t, int, int64_t, void* user) {
        static_cast<GdbStub*>(user)->OnFault();
        return false;
    }
    static void Exception(uc_engine*, uint32_t vector, void* user) { static_cast<GdbStub*>(user)->OnException(vector); }
    static bool InvalidInstruction(uc_engine*, void* user) {
        static_cast<GdbStub*>(user)->OnException(6);
        return false;
    }
};

GdbStub::GdbStub(const std::string& address) {
    const size_t colon = address.rfind(':');
    if (colon == std::string::npos) throw std::invalid_argument("--gdb needs HOST:PORT, such as 127.0.0.1:1234");
    std::string host = address.substr(0, colon), portText = address.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    uint32_t port = 0;
    bool digits = !portText.empty() && portText.size() <= 5 &&
                  std::all_of(portText.begin(), portText.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits) port = static_cast<uint32_t>(std::stoul(portText));
    if (!digits || port > 65535) throw std::invalid_argument("--gdb " + address + ": the port must be a number from 0 to 65535");
    sockaddr_storage socketAddress;
    socklen_t length = 0;
    if (!Loopback(host, &socketAddress, &length)) {
        throw std::invalid_argument("--gdb " + address + ": only a loopback address (127.0.0.1, localhost, [::1]) is "
                                    "served, since the debugger controls the run and its memory");
    }
    reinterpret_cast<sockaddr_in*>(&socketAddress)->sin_port = htons(static_cast<uint16_t>(port));   // same place in v6
    listener_ = ::socket(socketAddress.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (listener_ < 0 || ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&socketAddress), length) != 0 || ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&socketAddress), &length) != 0) {
        std::string why = std::strerror(errno);
        if (listener_ >= 0) ::close(listener_);
        throw std::invalid_argument("--gdb " + address + ": cannot listen there: " + why);
    }
    port = ntohs(reinterpret_cast<sockaddr_in*>(&socketAddress)->sin_port);
    address_ = (socketAddress.ss_family == AF_INET6 ? "[" + host + "]" : host.empty() ? "127.0.0.1" : host) + ":" +
               std::to_string(port);
}

GdbStub::~GdbStub() {
    if (listener_ >= 0) ::close(listener_);
    if (connection_ >= 0) ::close(connection_);
}

void GdbStub::Attach(Cpu& cpu, const DebuggedImage& image) {
    do {
        connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    } while (connection_ < 0 && errno == EINTR);
    if (connection_ < 0) throw std::runtime_error(std::string("--gdb: cannot accept the debugger: ") + std::strerror(errno));
    ::close(listener_);
    listener_ = -1;
    int on = 1;
    ::setsockopt(connection_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    cpu_ = &cpu;
    image_ = image;
    uc_engine* uc = cpu.Engine();
    uc_hook hook;
    auto check = [](uc_err error) {
        if (error != UC_ERR_OK) throw std::runtime_error(std::string("--gdb: cannot hook the CPU: ") + uc_strerror(error));
    };
    // Every instruction of the image, every load and store (for watchpoints) and every fault.
    check(uc_hook_add(uc, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&GdbHooks::Code), this, image.base,
                      uint64_t{image.base} + image.size - 1));
    check(uc_hook_add(uc, &hook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&GdbHooks::Access), this,
                      1, 0));
    check(uc_hook_add(uc, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&GdbHooks::Invalid), this, 1, 0));
    check(uc_hook_add(uc, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&GdbHooks::Exception), this, 1, 0));
    check(uc_hook_add(uc, &hook, UC_HOOK_INSN_INVALID, reinterpret_cast<void*>(&GdbHooks::InvalidInstruction), this, 1,
                      0));
    // Code translated before the hooks must not run without them.
    uc_ctl_remove_cache(uc, image.base, uint64_t{image.base} + image.size);
    cpu.OnReturn([this] { OnReturn(); });
    attached_ = true;
    stepping_ = true;
}

void GdbStub::End(int status) {
    if (connection_ < 0) return;
    if (attached_ && running_) Send("W" + Hex8(static_cast<uint8_t>(status)));
    // Lets gdb read the last reply before the connection goes.
    ::shutdown(connection_, SHUT_WR);
    pollfd wait{connection_, POLLIN, 0};
    char drain[256];
    while (::poll(&wait, 1, 2000) > 0 && ::recv(connection_, drain, sizeof drain, 0) > 0) {
    }
    ::close(connection_);
    connection_ = -1;
    attached_ = false;
}

void GdbStub::Detach() {
    attached_ = false;
    running_ = stepping_ = false;
    pending_.reset();
    breakpoints_.clear();
    watchpoints_.clear();
    if (connection_ >= 0) ::close(connection_);
    connection_ = -1;
}

// --- Stops ----------------------------------------------------------------------------------------

// The processor is at `address`: a stop a watchpoint left pending, a step or a breakpoint there is
// served; otherwise the run goes on.
GdbStub::Next GdbStub::StopAt(uint32_t address) {
    if (pending_) {
        Stop stop = *pending_;
        pending_.reset();
        return Serve(stop);
    }
    if (stepping_) return Serve({SigTrap, ""});
    if (breakpoints_.count(address)) return Serve({SigTrap, "swbreak:;"});
    return Next::Resume;
}

void GdbStub::OnInstruction(uint32_t address) {
    if (!attached_) return;
    if (--untilPoll_ == 0) PollInterrupt();
    if (StopAt(address) == Next::Kill) cpu_->Stop(std::make_exception_ptr(DebuggerEnded("the debugger ended the run")));
}

void GdbStub::OnAccess(bool write, uint32_t address, int size) {
    if (!attached_) return;
    for (const Watchpoint& point : watchpoints_) {
        if (address + static_cast<uint32_t>(size) <= point.address || address >= point.address + point.length) continue;
        if ((point.type == '2' && !write) || (point.type == '3' && write)) continue;
        const char* kind = point.type == '2' ? "watch" : point.type == '3' ? "rwatch" : "awatch";
        // The stop comes after the access, at the next instruction, as on the processor.
        pending_ = Stop{SigTrap, std::string(kind) + ":" + HexNumber(point.address) + ";"};
        return;
    }
}

void GdbStub::OnFault() {
    if (attached_ && Serve({SigSegv, ""}) == Next::Kill) {
        cpu_->Stop(std::make_exception_ptr(DebuggerEnded("the debugger ended the run")));
    }
}

void GdbStub::OnException(uint32_t vector) {
    if (attached_ && Serve({SignalOfException(vector), ""}) == Next::Kill) {
        cpu_->Stop(std::make_exception_ptr(DebuggerEnded("the debugger ended the run")));
    }
}

// A call came back to the return address: a breakpoint there (gdb's `finish` from a routine the
// platform called) or a step stops with the result in EAX.
void GdbStub::OnReturn() {
    if (!attached_) return;
    uint32_t eip = 0;
    uc_reg_read(cpu_->Engine(), UC_X86_REG_EIP, &eip);
    if (StopAt(eip) == Next::Kill) throw DebuggerEnded("the debugger ended the run");
}

void GdbStub::PollInterrupt() {
    untilPoll_ = PollInterval;
    pollfd ready{connection_, POLLIN, 0};
    if (::poll(&ready, 1, 0) > 0) {
        char bytes[256];
        ssize_t got = ::recv(connection_, bytes, sizeof bytes, 0);
        if (got <= 0) {
            Detach();   // gdb has gone: the run goes on without it
            return;
        }
        input_.append(bytes, static_cast<size_t>(got));
    }
    // The interrupt may also have come with the packet that resumed the run.
    if (size_t at = input_.find('\x03'); at != std::string::npos) {
        input_.erase(at, 1);
        if (!pending_) pending_ = Stop{SigInt, ""};
    }
}

GdbStub::Next GdbStub::Serve(const Stop& stop) {
    if (stopped_) stopped_();
    char reply[8];
    std::snprintf(reply, sizeof reply, "T%02x", stop.signal);
    lastStop_ = reply + stop.detail;
    stepping_ = false;
    if (running_) Send(lastStop_);
    running_ = false;
    std::string packet;
    while (ReadPacket(&packet)) {
        std::optional<Next> next;
        bool reply = true;
        std::string answer = Answer(packet, &next, &reply);
        if (reply) Send(answer);
        if (next) {
            if (*next == Next::Kill) Detach();
            return *next;
        }
        if (!attached_) return Next::Resume;   // detached
    }
    Detach();   // gdb has gone: the run goes on without it
    return Next::Resume;
}

// --- Packets ----------------------------------------------------------------------------------------

std::string GdbStub::Answer(const std::string& packet, std::optional<Next>* next, bool* reply) {
    const char command = packet.empty() ? '\0' : packet[0];
    const std::string arguments = packet.empty() ? "" : packet.substr(1);
    if (packet == "?") return lastStop_;
    if (packet.rfind("qSupported", 0) == 0) {
        return "PacketSize=" + HexNumber(PacketSize) + ";QStartNoAckMode+;swbreak+;hwbreak+";
    }
    if (packet == "QStartNoAckMode") {
        Send("OK");
        noAck_ = true;
        *reply = false;
        return "";
    }
    if (packet == "qOffsets") {
        std::string delta = HexNumber(image_.base - image_.preferredBase);
        return "Text=" + delta + ";Data=" + delta + ";Bss=" + delta;
    }
    if (packet == "qAttached") return "1";   // gdb detaches on quit and the run goes on
    if (packet.rfind("qSymbol", 0) == 0) return "OK";
    if (command == 'H') return "OK";
    if (packet == "g") return ReadRegisters();
    if (command == 'G') return WriteRegisters(arguments);
    if (command == 'p') return ReadRegister(arguments);
    if (command == 'P') return WriteRegister(arguments);
    if (command == 'm') return ReadMemory(arguments);
    if (command == 'M') return WriteMemory(arguments, false);
    if (command == 'X') return WriteMemory(arguments, true);
    if (command == 'Z' || command == 'z') return SetPoint(arguments, command == 'Z');
    if (packet == "vCont?") return "vCont;c;C;s;S";
    if (command == 'c' || command == 's' || command == 'C' || command == 'S' || packet.rfind("vCont;", 0) == 0) {
        bool step = command == 's' || command == 'S';
        std::string address;
        if (command == 'c' || command == 's') address = arguments;
        if ((command == 'C' || command == 'S') && arguments.find(';') != std::string::npos) {
            address = arguments.substr(arguments.find(';') + 1);
        }
        // vCont;ACTION[:THREAD][;ACTION...]: the first action is the one for our only thread.
        if (command == 'v') step = packet.size() > 6 && (packet[6] == 's' || packet[6] == 'S');
        std::string error = Resume(step, address);
        if (!error.empty()) return error;
        *reply = false;
        *next = Next::Resume;
        return "";
    }
    if (command == 'D') {
        Send("OK");
        *reply = false;
        Detach();
        *next = Next::Resume;
        return "";
    }
    if (packet == "k" || packet.rfind("vKill", 0) == 0) {
        if (command == 'v') Send("OK");
        *reply = false;
        *next = Next::Kill;
        return "";
    }
    return "";   // not supported
}

std::string GdbStub::Resume(bool step, const std::string& address) {
    if (!address.empty()) {
        uint32_t eip = 0;
        if (!ParseHex(address, &eip)) return "E01";
        uc_reg_write(cpu_->Engine(), UC_X86_REG_EIP, &eip);
    }
    stepping_ = step;
    running_ = true;
    return "";
}

std::string GdbStub::ReadRegisters() const {
    std::string text;
    for (int id : GeneralRegisters) {
        uint32_t value = 0;
        uc_reg_read(cpu_->Engine(), id, &value);
        text += HexBytes(reinterpret_cast<const uint8_t*>(&value), 4);
    }
    return text;
}

std::string GdbStub::WriteRegisters(const std::string& hex) {
    std::vector<uint8_t> bytes;
    if (!ParseHexBytes(hex, &bytes) || bytes.size() < 4 * RegisterCount) return "E01";
    for (size_t i = 0; i < RegisterCount; ++i) {
        uint32_t value = 0;
        std::memcpy(&value, &bytes[4 * i], 4);
        uc_reg_write(cpu_->Engine(), GeneralRegisters[i], &value);
    }
    return "OK";
}

// The general registers only: gdb shows the x87 and SSE registers, which a kernel driver leaves
// alone, as unavailable.
std::string GdbStub::ReadRegister(const std::string& number) const {
    uint32_t index = 0;
    if (!ParseHex(number, &index)) return "E01";
    if (index >= RegisterCount) return "";
    uint32_t value = 0;
    uc_reg_read(cpu_->Engine(), GeneralRegisters[index], &value);
    return HexBytes(reinterpret_cast<const uint8_t*>(&value), 4);
}

std::string GdbStub::WriteRegister(const std::string& assignment) {
    size_t equals = assignment.find('=');
    uint32_t index = 0;
    std::vector<uint8_t> bytes;
    if (equals == std::string::npos || !ParseHex(assignment.substr(0, equals), &index) ||
        !ParseHexBytes(assignment.substr(equals + 1), &bytes) || bytes.size() != 4 || index >= RegisterCount) {
        return "E01";
    }
    uint32_t value = 0;
    std::memcpy(&value, bytes.data(), 4);
    uc_reg_write(cpu_->Engine(), GeneralRegisters[index], &value);
    return "OK";
}

// As much of the range as memory backs, from its start; device windows are not read.
std::string GdbStub::ReadMemory(const std::string& arguments) const {
    uint32_t address = 0, length = 0;
    if (!ParseRange(arguments, &address, &length)) return "E01";
    length = std::min(length, MaxTransfer);
    std::string text;
    uint8_t bytes[Page];
    while (length > 0) {
        uint32_t chunk = std::min(length, Page - address % Page);
        chunk = Readable(address, chunk);
        if (chunk == 0 || cpu_->IsDevice(address) || uc_mem_read(cpu_->Engine(), address, bytes, chunk) != UC_ERR_OK) break;
        text += HexBytes(bytes, chunk);
        address += chunk;
        length -= chunk;
    }
    return text.empty() && length > 0 ? "E14" : text;
}

uint32_t GdbStub::Readable(uint32_t address, uint32_t size) const {
#if defined(ZARN_ASAN)
    const uint8_t* host = host_ ? host_(address) : nullptr;
    if (void* poisoned = host ? __asan_region_is_poisoned(const_cast<uint8_t*>(host), size) : nullptr) {
        return static_cast<uint32_t>(static_cast<const uint8_t*>(poisoned) - host);
    }
#else
    (void)address;
#endif
    return size;
}

std::string GdbStub::WriteMemory(const std::string& arguments, bool binary) {
    uint32_t address = 0, length = 0;
    std::string data;
    if (!ParseRange(arguments, &address, &length, ':', &data)) return "E01";
    std::vector<uint8_t> bytes;
    if (binary) {
        for (size_t i = 0; i < data.size(); ++i) {
            bytes.push_back(data[i] == 0x7d && i + 1 < data.size() ? static_cast<uint8_t>(data[++i] ^ 0x20)
                                                                   : static_cast<uint8_t>(data[i]));
        }
    } else if (!ParseHexBytes(data, &bytes)) {
        return "E01";
    }
    if (bytes.size() != length) return "E01";
    if (length == 0) return "OK";
    for (uint64_t page = address & ~(Page - 1); page < uint64_t{address} + length; page += Page) {
        if (cpu_->IsDevice(static_cast<uint32_t>(page))) return "E14";
    }
    if (uc_mem_write(cpu_->Engine(), address, bytes.data(), length) != UC_ERR_OK) return "E14";
    // Code translated from the old bytes must not run again.
    uc_ctl_remove_cache(cpu_->Engine(), address, uint64_t{address} + length);
    return "OK";
}

// Z/z TYPE,ADDR,KIND: 0 and 1 breakpoints, 2 to 4 watchpoints of KIND bytes.
std::string GdbStub::SetPoint(const std::string& arguments, bool insert) {
    if (arguments.size() < 2 || arguments[1] != ',') return "E01";
    const char type = arguments[0];
    uint32_t address = 0, kind = 0;
    if (!ParseRange(arguments.substr(2), &address, &kind, ';')) return "E01";
    if (type == '0' || type == '1') {
        if (insert) breakpoints_.insert(address);
        else breakpoints_.erase(address);
        return "OK";
    }
    if (type < '2' || type > '4') return "";
    if (kind == 0) return "E01";
    auto same = [&](const Watchpoint& point) {
        return point.type == type && point.address == address && point.length == kind;
    };
    if (insert) watchpoints_.push_back({type, address, kind});
    else if (auto it = std::find_if(watchpoints_.begin(), watchpoints_.end(), same); it != watchpoints_.end()) watchpoints_.erase(it);
    return "OK";
}

// --- The connection -----------------------------------------------------------------------------------

int GdbStub::ReadByte() {
    if (input_.empty()) {
        char bytes[4096];
        ssize_t got;
        do {
            got = ::recv(connection_, bytes, sizeof bytes, 0);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return -1;
        input_.assign(bytes, static_cast<size_t>(got));
    }
    int byte = static_cast<unsigned char>(input_[0]);
    input_.erase(0, 1);
    return byte;
}

bool GdbStub::ReadPacket(std::string* packet) {
    if (connection_ < 0) return false;
    for (;;) {
        int byte = ReadByte();
        if (byte < 0) return false;
        if (byte != '$') continue;   // acknowledgements, and an interrupt while stopped
        packet->clear();
        uint8_t sum = 0;
        while ((byte = ReadByte()) >= 0 && byte != '#') {
            packet->push_back(static_cast<char>(byte));
            sum = static_cast<uint8_t>(sum + byte);
        }
        int high = ReadByte(), low = ReadByte();
        if (byte < 0 || low < 0) return false;
        if (noAck_) return true;
        bool intact = HexValue(static_cast<char>(high)) * 16 + HexValue(static_cast<char>(low)) == sum;
        ::send(connection_, intact ? "+" : "-", 1, MSG_NOSIGNAL);
        if (intact) return true;
    }
}

void GdbStub::Send(const std::string& payload) {
    if (connection_ < 0) return;
    uint8_t sum = 0;
    for (char c : payload) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    const std::string framed = "$" + payload + "#" + Hex8(sum);
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (::send(connection_, framed.data(), framed.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(framed.size())) return;
        if (noAck_) return;
        int ack;
        while ((ack = ReadByte()) >= 0 && ack != '+' && ack != '-') {
        }
        if (ack != '-') return;
    }
}

}  // namespace sim::image
