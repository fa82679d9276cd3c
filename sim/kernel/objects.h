// The kernel's objects behind the routines the driver calls for the settings relay: registry keys
// opened by name (ZwOpenKey, ZwQueryValueKey, ZwSetValueKey), files of the system directory
// (ZwCreateFile), the handles to both (ZwClose), counted strings and their allocating conversions
// (Rtl*String), and pool memory. It checks the arguments as the platform would, and reports every
// handle, string and pool block that a call into the driver left behind.
//
// Handles belong to the process in whose context they were opened (the requesting process during a
// request), unless the object attributes ask for a kernel handle; one opened into a process's table
// is reported as a driver fault (any thread of the process could use it). Pool memory and converted
// strings come back holding stale words (Kernel::StaleDword), not zeros. The system's ANSI code page is
// taken as ISO 8859-1: byte b is character U+00b; a character above U+00FF becomes '?' in 8-bit
// text and in the simulated registry's names.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "platform/videoport.h"
#include "support/code_page.h"
#include "support/faults.h"

namespace sim {

class Kernel;

class KernelObjects {
public:
    KernelObjects(Kernel& kernel, FaultLog& faults) : kernel_(kernel), faults_(faults) {}
    KernelObjects(const KernelObjects&) = delete;
    KernelObjects& operator=(const KernelObjects&) = delete;

    void InjectFault(const InjectedFault& fault) { state_.injector.Add(fault); }

    // --- Registry keys and files ------------------------------------------------------------------
    NTSTATUS OpenKey(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
    NTSTATUS QueryValueKey(HANDLE handle, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS type, PVOID buffer,
                           ULONG length, PULONG resultLength);
    NTSTATUS SetValueKey(HANDLE handle, PUNICODE_STRING name, ULONG titleIndex, ULONG type, PVOID data, ULONG size);
    NTSTATUS CreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK ioStatus,
                        ULONG shareAccess, ULONG disposition, ULONG options, PVOID eaBuffer, ULONG eaLength);
    NTSTATUS Close(HANDLE handle);
    // Whether the value is a key or file handle of this table (of any process).
    bool HoldsHandle(HANDLE handle) const;

    // The files of \SystemRoot\System32\ (names compare without regard to case).
    void AddSystemFile(const std::string& name);
    bool SystemFileExists(const std::string& name) const;

    // --- Counted strings ----------------------------------------------------------------------------
    // The system's ANSI code page, which the two conversions use (set before boot).
    void SetAnsiCodePage(AnsiCodePage page) { codePage_ = page; }
    void InitUnicodeString(PUNICODE_STRING string, PCWSTR source);
    void InitAnsiString(PANSI_STRING string, PCSZ source);
    NTSTATUS AnsiToUnicode(PUNICODE_STRING destination, PCANSI_STRING source, BOOLEAN allocate);
    NTSTATUS UnicodeToAnsi(PANSI_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate);
    void FreeUnicodeString(PUNICODE_STRING string);
    void FreeAnsiString(PANSI_STRING string);
    // RtlAppendUnicodeToString: the text up to its zero after the string's, zero-terminated when
    // there is room; STATUS_BUFFER_TOO_SMALL (nothing changed) when it does not fit.
    NTSTATUS AppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source);

    // --- Pool memory ---------------------------------------------------------------------------------
    // A block of `size` bytes holding stale words, as pool memory does; its address.
    uint32_t AllocatePool(uint32_t size, uint32_t tag);
    // False (and a driver fault) for an address that is no live pool block.
    bool FreePool(uint32_t address);
    // ExAllocatePoolWithTag and ExFreePool as the driver calls them: null when the pool cannot give
    // the memory (or the call is made to fail); a free of something that is no pool block is reported.
    PVOID AllocatePoolFor(POOL_TYPE type, size_t size, ULONG tag);
    void FreePoolAt(PVOID pointer);

    // Reports, once each, the handles, strings and pool blocks still held after `callback` of the
    // driver returned; the driver keeps none of them between calls.
    void ReportLeftBehind(const std::string& callback);
    size_t OpenHandles() const { return state_.handles.size(); }
    size_t LiveStrings() const;
    size_t LivePoolBlocks() const;

    struct Handle {
        enum class Kind { Key, File, Directory } kind = Kind::Key;
        std::string path;        // a key in its HKEY_ form, or the file's path
        uint32_t process = 0;    // 0: a kernel handle
        uint32_t access = 0;
        bool reported = false;
    };
    struct Block {
        bool string = false;     // from an allocating string conversion, else pool memory
        uint32_t size = 0;
        uint32_t tag = 0;
        bool reported = false;
    };
    struct State {
        std::map<uint32_t, Handle> handles;   // by handle value
        std::map<uint32_t, Block> blocks;     // by address
        std::set<std::string> systemFiles;    // lower case
        // Key and file handles count from 0x10000, clear of the section handles (below 0x1000) and
        // the process handles (0x1000 + 4 x N) of the processes' own tables.
        uint32_t nextHandle = 0x10000;
        FaultInjector injector;
    };
    const State& Save() const { return state_; }
    void Restore(const State& state) { state_ = state; }

private:
    bool Fails(PlatformCall call, NTSTATUS* status);
    NTSTATUS Violation(const std::string& what);
    // The bytes [address, address + length) of machine memory, or null when they are not all in
    // one block of memory.
    uint8_t* MachineBytes(uint32_t address, uint32_t length);
    bool ReadCounted(PCUNICODE_STRING string, std::u16string* text, const char* what);
    bool ObjectPath(POBJECT_ATTRIBUTES attributes, std::string* path, uint32_t* process, NTSTATUS* status);
    Handle* FindHandle(HANDLE handle);
    uint32_t AddHandle(Handle handle);
    uint32_t AllocateString(uint32_t size);
    bool FreeString(uint32_t address, const char* routine);

    Kernel& kernel_;
    AnsiCodePage codePage_ = AnsiCodePage::Latin1;
    FaultLog& faults_;
    State state_;
};

}  // namespace sim
