#include "kernel/objects.h"
#include "support/text_format.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kernel/kernel.h"

namespace sim {

// The simulated registry and file system keep names as Latin-1 bytes: a name holding any other
// character names nothing they can hold (false).
static bool Latin1Name(const std::u16string& text, std::string* name) {
    for (char16_t unit : text) {
        if (unit > 0xFF) return false;
    }
    *name = Latin1Of(text);
    return true;
}

namespace {

constexpr uint32_t ObjKernelHandle = 0x200;
constexpr uint32_t KernelHandleBit = 0x80000000;
constexpr uint32_t MaxCounted = 0xFFFF;   // the most bytes a counted string's length holds
constexpr NTSTATUS StatusAccessViolation = static_cast<NTSTATUS>(0xC0000005);
constexpr NTSTATUS StatusNotSupported = static_cast<NTSTATUS>(0xC00000BB);
constexpr NTSTATUS StatusInsufficientResources = static_cast<NTSTATUS>(0xC000009A);
constexpr NTSTATUS StatusNotADirectory = static_cast<NTSTATUS>(0xC0000103);
const char* const SystemDirectory = "\\systemroot\\system32";

uint32_t HandleValue(HANDLE handle) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle)); }

void PutDword(std::vector<uint8_t>& bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

bool KernelObjects::Fails(PlatformCall call, NTSTATUS* status) {
    uint32_t injected = 0;
    if (!state_.injector.ShouldFail(call, faults_.CurrentAdapter(), &injected)) return false;
    // A status that is no NTSTATUS error stands for the routine's usual failure.
    *status = static_cast<NTSTATUS>(injected) < 0 ? static_cast<NTSTATUS>(injected) : StatusInsufficientResources;
    return true;
}

NTSTATUS KernelObjects::Violation(const std::string& what) {
    faults_.ReportDriver(what);
    return StatusAccessViolation;
}

uint8_t* KernelObjects::MachineBytes(uint32_t address, uint32_t length) {
    const Region* region = kernel_.Space().Find(address);
    if (!region || region->device || address - region->base + uint64_t{length} > region->size) return nullptr;
    return static_cast<uint8_t*>(kernel_.HostPointer(address));
}

bool KernelObjects::ReadCounted(PCUNICODE_STRING string, std::u16string* text, const char* what) {
    if (string == nullptr) return false;
    if (string->Length > string->MaximumLength && string->MaximumLength != 0) {
        faults_.ReportDriver(std::string(what) + " has a length beyond its maximum length");
    }
    const uint8_t* bytes = string->Length ? MachineBytes(string->Buffer.address, string->Length) : nullptr;
    if (string->Length && !bytes) {
        faults_.ReportDriver(std::string(what) + " points at " + Hex(string->Buffer.address) + ", which holds no " +
                             std::to_string(string->Length) + " bytes of memory");
        return false;
    }
    text->clear();
    for (uint32_t i = 0; i + 1 < string->Length; i += 2) text->push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
    return true;
}

// The registry path or file path that object attributes name.
bool KernelObjects::ObjectPath(POBJECT_ATTRIBUTES attributes, std::string* path, uint32_t* process, NTSTATUS* status) {
    if (attributes == nullptr) {
        *status = Violation("object attributes missing");
        return false;
    }
    if (attributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        *status = STATUS_INVALID_PARAMETER;
        return false;
    }
    auto* name = static_cast<UNICODE_STRING*>(attributes->ObjectName);
    if (attributes->ObjectName.address && !MachineBytes(attributes->ObjectName.address, sizeof(UNICODE_STRING))) {
        *status = Violation("the object attributes' name points at no memory");
        return false;
    }
    std::u16string text;
    if (name == nullptr || !ReadCounted(name, &text, "an object name")) {
        *status = name == nullptr ? STATUS_OBJECT_NAME_INVALID : StatusAccessViolation;
        return false;
    }
    if (name->Length % 2) {
        *status = STATUS_OBJECT_NAME_INVALID;
        return false;
    }
    if (!Latin1Name(text, path)) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return false;
    }
    if (attributes->RootDirectory.address) {
        Handle* root = FindHandle(reinterpret_cast<HANDLE>(uintptr_t{attributes->RootDirectory.address}));
        if (!root || root->kind != Handle::Kind::Key) {
            *status = STATUS_INVALID_HANDLE;
            return false;
        }
        *path = root->path + "\\" + *path;
    } else if (path->empty() || (*path)[0] != '\\') {
        *status = STATUS_OBJECT_PATH_SYNTAX_BAD;
        return false;
    }
    *process = attributes->Attributes & ObjKernelHandle ? 0 : kernel_.CurrentProcess();
    return true;
}

KernelObjects::Handle* KernelObjects::FindHandle(HANDLE handle) {
    auto found = state_.handles.find(HandleValue(handle));
    if (found == state_.handles.end()) return nullptr;
    // A process handle means nothing in another process's context.
    if (found->second.process != 0 && found->second.process != kernel_.CurrentProcess()) return nullptr;
    return &found->second;
}

bool KernelObjects::HoldsHandle(HANDLE handle) const { return state_.handles.count(HandleValue(handle)) != 0; }

uint32_t KernelObjects::AddHandle(Handle handle) {
    uint32_t value = state_.nextHandle;
    state_.nextHandle += 4;
    if (handle.process == 0) value |= KernelHandleBit;
    state_.handles[value] = std::move(handle);
    return value;
}

// --- Registry keys --------------------------------------------------------------------------------

NTSTATUS KernelObjects::OpenKey(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes) {
    NTSTATUS status = STATUS_SUCCESS;
    if (Fails(PlatformCall::ZwOpenKey, &status)) return status;
    if (handle == nullptr) return Violation("ZwOpenKey without a place for the handle");
    Handle key;
    if (!ObjectPath(attributes, &key.path, &key.process, &status)) return status;
    // Relative opens start from a key's HKEY_ form; absolute ones must lie in the registry.
    bool absolute = !attributes->RootDirectory.address;
    if (absolute && LowerAscii(key.path).rfind("\\registry\\", 0) != 0 && LowerAscii(key.path) != "\\registry") {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    key.path = Registry::Canonical(key.path + "\\");
    if (!kernel_.GetRegistry().KeyExists(key.path)) return STATUS_OBJECT_NAME_NOT_FOUND;
    key.access = access;
    const uint32_t value = AddHandle(key);
    if (key.process != 0) kernel_.ReportUserHandle("ZwOpenKey", "key " + key.path, Hex(value));
    *handle = reinterpret_cast<HANDLE>(uintptr_t{value});
    return STATUS_SUCCESS;
}

NTSTATUS KernelObjects::QueryValueKey(HANDLE handle, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS type,
                                      PVOID buffer, ULONG length, PULONG resultLength) {
    NTSTATUS status = STATUS_SUCCESS;
    if (Fails(PlatformCall::ZwQueryValueKey, &status)) return status;
    Handle* key = FindHandle(handle);
    if (!key || key->kind != Handle::Kind::Key) return STATUS_INVALID_HANDLE;
    if (!(key->access & KEY_QUERY_VALUE)) return STATUS_ACCESS_DENIED;
    std::u16string text;
    if (!ReadCounted(name, &text, "a value name")) return name ? StatusAccessViolation : Violation("no value name");
    if (resultLength == nullptr) return Violation("ZwQueryValueKey without a place for the result length");
    std::string asked;
    const RegValue* value = Latin1Name(text, &asked) ? kernel_.GetRegistry().GetValue(key->path, asked) : nullptr;
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;

    // The whole record of the class asked for, and the part of it that must fit at least.
    std::vector<uint8_t> record;
    uint32_t head = 0;
    std::string valueName = value->name;
    uint32_t nameBytes = static_cast<uint32_t>(valueName.size() * 2);
    PutDword(record, 0);   // TitleIndex
    PutDword(record, value->type);
    switch (type) {
    case KeyValueBasicInformation:
        PutDword(record, nameBytes);
        head = 12;
        for (char c : valueName) record.insert(record.end(), {static_cast<uint8_t>(c), 0});
        break;
    case KeyValueFullInformation: {
        uint32_t dataOffset = (20 + nameBytes + 3) & ~3u;
        PutDword(record, dataOffset);
        PutDword(record, static_cast<uint32_t>(value->data.size()));
        PutDword(record, nameBytes);
        head = 20;
        for (char c : valueName) record.insert(record.end(), {static_cast<uint8_t>(c), 0});
        record.resize(dataOffset, 0);
        record.insert(record.end(), value->data.begin(), value->data.end());
        break;
    }
    case KeyValuePartialInformation:
        PutDword(record, static_cast<uint32_t>(value->data.size()));
        head = 12;
        record.insert(record.end(), value->data.begin(), value->data.end());
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    *resultLength = static_cast<ULONG>(record.size());
    if (length < head) return STATUS_BUFFER_TOO_SMALL;
    if (buffer == nullptr) return Violation("ZwQueryValueKey into no buffer");
    std::memcpy(buffer, record.data(), std::min<size_t>(length, record.size()));
    return length < record.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS KernelObjects::SetValueKey(HANDLE handle, PUNICODE_STRING name, ULONG, ULONG type, PVOID data, ULONG size) {
    NTSTATUS status = STATUS_SUCCESS;
    if (Fails(PlatformCall::ZwSetValueKey, &status)) return status;
    Handle* key = FindHandle(handle);
    if (!key || key->kind != Handle::Kind::Key) return STATUS_INVALID_HANDLE;
    if (!(key->access & KEY_SET_VALUE)) return STATUS_ACCESS_DENIED;
    std::u16string text;
    if (!ReadCounted(name, &text, "a value name")) return name ? StatusAccessViolation : Violation("no value name");
    if (size && data == nullptr) return Violation("ZwSetValueKey of " + std::to_string(size) + " bytes from nowhere");
    std::string valueName;
    if (!Latin1Name(text, &valueName)) return StatusNotSupported;
    const auto* bytes = static_cast<const uint8_t*>(data);
    kernel_.CheckWritten("the value " + valueName + " stored by ZwSetValueKey", kernel_.Space().AddressOfHost(data), data,
                         size);
    kernel_.GetRegistry().SetValue(key->path, valueName, type, std::vector<uint8_t>(bytes, bytes + size));
    return STATUS_SUCCESS;
}

// --- Files ----------------------------------------------------------------------------------------

void KernelObjects::AddSystemFile(const std::string& name) { state_.systemFiles.insert(LowerAscii(name)); }

bool KernelObjects::SystemFileExists(const std::string& name) const { return state_.systemFiles.count(LowerAscii(name)) != 0; }

NTSTATUS KernelObjects::CreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                   PIO_STATUS_BLOCK ioStatus, ULONG, ULONG disposition, ULONG options, PVOID eaBuffer,
                                   ULONG eaLength) {
    NTSTATUS status = STATUS_SUCCESS;
    if (Fails(PlatformCall::ZwCreateFile, &status)) return status;
    if (handle == nullptr || ioStatus == nullptr) return Violation("ZwCreateFile without a handle or I/O status block");
    bool wantsDirectory = options & FILE_DIRECTORY_FILE;
    bool wantsFile = options & FILE_NON_DIRECTORY_FILE;
    if (disposition > FILE_OVERWRITE_IF || (wantsDirectory && wantsFile) || (eaLength && eaBuffer == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    Handle file;
    if (!ObjectPath(attributes, &file.path, &file.process, &status)) return status;
    if (attributes->RootDirectory.address) return STATUS_OBJECT_PATH_NOT_FOUND;   // files by full path only
    std::string path = LowerAscii(file.path);
    while (path.size() > 1 && path.back() == '\\') path.pop_back();

    ULONG information = FILE_OPENED;
    std::string directory = SystemDirectory;
    if (path == directory || path == "\\systemroot") {
        if (wantsFile) return STATUS_FILE_IS_A_DIRECTORY;
        if (disposition == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
        file.kind = Handle::Kind::Directory;
    } else if (path.rfind(directory + "\\", 0) == 0 && path.find('\\', directory.size() + 1) == std::string::npos) {
        std::string name = path.substr(directory.size() + 1);
        bool exists = SystemFileExists(name);
        if (exists && wantsDirectory) return StatusNotADirectory;
        if (exists && disposition == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
        if (!exists && (disposition == FILE_OPEN || disposition == FILE_OVERWRITE)) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (!exists) {
            AddSystemFile(name);
            information = FILE_CREATED;
        }
        file.kind = Handle::Kind::File;
    } else {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    file.access = access;
    const uint32_t value = AddHandle(file);
    if (file.process != 0) kernel_.ReportUserHandle("ZwCreateFile", "file " + file.path, Hex(value));
    *handle = reinterpret_cast<HANDLE>(uintptr_t{value});
    ioStatus->Status = STATUS_SUCCESS;
    ioStatus->Information = information;
    return STATUS_SUCCESS;
}

NTSTATUS KernelObjects::Close(HANDLE handle) {
    if (!FindHandle(handle)) {
        faults_.ReportDriver("ZwClose of " + Hex(HandleValue(handle)) + ", which is no open handle of this process");
        return STATUS_INVALID_HANDLE;
    }
    state_.handles.erase(HandleValue(handle));
    return STATUS_SUCCESS;
}

// --- Counted strings ------------------------------------------------------------------------------

// As the platform does it: the length in a 16-bit field, wrapping for text past 65535 bytes.
void KernelObjects::InitUnicodeString(PUNICODE_STRING string, PCWSTR source) {
    size_t units = 0;
    while (source && source[units]) ++units;
    string->Length = static_cast<USHORT>(units * 2);
    string->MaximumLength = static_cast<USHORT>(units * 2 + 2);
    string->Buffer = const_cast<PWSTR>(source);
}

void KernelObjects::InitAnsiString(PANSI_STRING string, PCSZ source) {
    size_t length = source ? std::strlen(source) : 0;
    string->Length = static_cast<USHORT>(length);
    string->MaximumLength = static_cast<USHORT>(source ? length + 1 : 0);
    string->Buffer = const_cast<PCHAR>(source);
}

uint32_t KernelObjects::AllocateString(uint32_t size) {
    uint32_t address = kernel_.Space().AllocateMemory(size, "string");
    kernel_.FillStale(address, size);
    state_.blocks[address] = Block{true, size, 0, false};
    return address;
}

NTSTATUS KernelObjects::AnsiToUnicode(PUNICODE_STRING destination, PCANSI_STRING source, BOOLEAN allocate) {
    if (destination == nullptr || source == nullptr) return Violation("RtlAnsiStringToUnicodeString without its strings");
    const uint8_t* bytes = source->Length ? MachineBytes(source->Buffer.address, source->Length) : nullptr;
    if (source->Length && !bytes) return Violation("RtlAnsiStringToUnicodeString of text that is not in memory");
    std::u16string wide = UnicodeOfAnsi(bytes, source->Length, codePage_);
    uint32_t size = static_cast<uint32_t>(wide.size() + 1) * 2;   // with the terminating zero
    if (size > MaxCounted) return STATUS_INVALID_PARAMETER_2;
    NTSTATUS status = STATUS_SUCCESS;
    if (allocate) {
        if (Fails(PlatformCall::RtlAnsiStringToUnicodeString, &status)) return status;
        destination->Buffer.address = AllocateString(size);
        destination->MaximumLength = static_cast<USHORT>(size);
    } else if (size - 2 >= destination->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    destination->Length = static_cast<USHORT>(size - 2);
    uint8_t* out = MachineBytes(destination->Buffer.address, destination->MaximumLength);
    if (!out) return Violation("RtlAnsiStringToUnicodeString into memory that is not there");
    for (size_t i = 0; i < wide.size(); ++i) {
        out[2 * i] = static_cast<uint8_t>(wide[i]);
        out[2 * i + 1] = static_cast<uint8_t>(wide[i] >> 8);
    }
    if (size <= destination->MaximumLength) out[size - 2] = out[size - 1] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS KernelObjects::UnicodeToAnsi(PANSI_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate) {
    if (destination == nullptr) return Violation("RtlUnicodeStringToAnsiString without its strings");
    std::u16string text;
    if (!ReadCounted(source, &text, "the text of RtlUnicodeStringToAnsiString")) {
        return source ? StatusAccessViolation : Violation("RtlUnicodeStringToAnsiString without its strings");
    }
    std::string narrow = AnsiOfUnicode(text, codePage_);
    uint32_t size = static_cast<uint32_t>(narrow.size()) + 1;
    if (size > MaxCounted) return STATUS_INVALID_PARAMETER_2;
    NTSTATUS status = STATUS_SUCCESS;
    if (allocate) {
        if (Fails(PlatformCall::RtlUnicodeStringToAnsiString, &status)) return status;
        destination->Buffer.address = AllocateString(size);
        destination->MaximumLength = static_cast<USHORT>(size);
    } else if (size - 1 >= destination->MaximumLength) {
        // As much as fits is converted (whole characters), and the status says the rest was lost.
        if (destination->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        status = STATUS_BUFFER_OVERFLOW;
        narrow = AnsiOfUnicodeWithin(text, codePage_, destination->MaximumLength - 1u);
        size = static_cast<uint32_t>(narrow.size()) + 1;
    }
    destination->Length = static_cast<USHORT>(size - 1);
    uint8_t* out = MachineBytes(destination->Buffer.address, size);
    if (!out) return Violation("RtlUnicodeStringToAnsiString into memory that is not there");
    std::memcpy(out, narrow.data(), size - 1);
    out[size - 1] = 0;
    return status;
}

bool KernelObjects::FreeString(uint32_t address, const char* routine) {
    auto found = state_.blocks.find(address);
    if (found == state_.blocks.end() || !found->second.string) {
        faults_.ReportDriver(std::string(routine) + " of " + Hex(address) + ", which no string conversion allocated");
        return false;
    }
    state_.blocks.erase(found);
    kernel_.Space().Free(address);
    return true;
}

void KernelObjects::FreeUnicodeString(PUNICODE_STRING string) {
    if (string == nullptr) {
        Violation("RtlFreeUnicodeString without a string");
        return;
    }
    if (string->Buffer.address && FreeString(string->Buffer.address, "RtlFreeUnicodeString")) *string = UNICODE_STRING{};
}

void KernelObjects::FreeAnsiString(PANSI_STRING string) {
    if (string == nullptr) {
        Violation("RtlFreeAnsiString without a string");
        return;
    }
    if (string->Buffer.address && FreeString(string->Buffer.address, "RtlFreeAnsiString")) *string = ANSI_STRING{};
}

NTSTATUS KernelObjects::AppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source) {
    if (destination == nullptr) return Violation("RtlAppendUnicodeToString without a string");
    if (source == nullptr) return STATUS_SUCCESS;
    size_t units = 0;
    while (source[units]) ++units;
    const uint64_t end = uint64_t{destination->Length} + units * 2;
    if (end > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    uint8_t* out = MachineBytes(destination->Buffer.address, destination->MaximumLength);
    if (!out) return Violation("RtlAppendUnicodeToString into memory that is not there");
    std::memmove(out + destination->Length, source, units * 2);
    destination->Length = static_cast<USHORT>(end);
    if (end + 2 <= destination->MaximumLength) out[end] = out[end + 1] = 0;
    return STATUS_SUCCESS;
}

// --- Pool memory ----------------------------------------------------------------------------------

uint32_t KernelObjects::AllocatePool(uint32_t size, uint32_t tag) {
    uint32_t address = kernel_.Space().AllocateMemory(size, "pool");
    kernel_.FillStale(address, size);
    state_.blocks[address] = Block{false, size, tag, false};
    return address;
}

PVOID KernelObjects::AllocatePoolFor(POOL_TYPE type, size_t size, ULONG tag) {
    NTSTATUS status = 0;
    if (Fails(PlatformCall::AllocatePool, &status)) return nullptr;
    if (type != NonPagedPool && type != PagedPool) {
        Violation("ExAllocatePoolWithTag of unknown pool type " + std::to_string(static_cast<int>(type)));
        return nullptr;
    }
    if (size > 0x10000000) return nullptr;   // more than the simulated pool holds
    return kernel_.HostPointer(AllocatePool(static_cast<uint32_t>(size ? size : 1), tag));
}

void KernelObjects::FreePoolAt(PVOID pointer) { FreePool(kernel_.Space().AddressOfHost(pointer)); }

bool KernelObjects::FreePool(uint32_t address) {
    auto found = state_.blocks.find(address);
    if (found == state_.blocks.end() || found->second.string) {
        faults_.ReportDriver("pool freed at " + Hex(address) + ", which is no pool block the driver holds");
        return false;
    }
    state_.blocks.erase(found);
    kernel_.Space().Free(address);
    return true;
}

size_t KernelObjects::LiveStrings() const {
    return std::count_if(state_.blocks.begin(), state_.blocks.end(), [](const auto& b) { return b.second.string; });
}

size_t KernelObjects::LivePoolBlocks() const { return state_.blocks.size() - LiveStrings(); }

void KernelObjects::ReportLeftBehind(const std::string& callback) {
    for (auto& [value, handle] : state_.handles) {
        if (handle.reported) continue;
        handle.reported = true;
        const char* kind = handle.kind == Handle::Kind::Key ? "key" : "file";
        faults_.ReportDriver(callback + " returned with a " + kind + " handle left open (" + handle.path + ")");
    }
    for (auto& [address, block] : state_.blocks) {
        if (block.reported) continue;
        block.reported = true;
        faults_.ReportDriver(callback + " returned with " + (block.string ? "a converted string" : "a pool block") +
                             " of " + std::to_string(block.size) + " bytes never freed (leak)");
    }
}

}  // namespace sim
