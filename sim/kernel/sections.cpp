// The kernel's objects as the driver reaches them: the physical memory section, handles in the
// calling process's table, object references, and the checks of what a request leaves behind.
#include <algorithm>
#include <climits>
#include <cstdio>

#include "kernel/kernel.h"
#include "support/text_format.h"

namespace sim {

namespace {

constexpr NTSTATUS StatusTimeout = 0x00000102;
constexpr NTSTATUS StatusInvalidHandle = static_cast<NTSTATUS>(0xC0000008);
constexpr NTSTATUS StatusConflictingAddresses = static_cast<NTSTATUS>(0xC0000018);
constexpr NTSTATUS StatusNoMemory = static_cast<NTSTATUS>(0xC0000017);
constexpr NTSTATUS StatusInvalidViewSize = static_cast<NTSTATUS>(0xC000001F);
constexpr NTSTATUS StatusObjectTypeMismatch = static_cast<NTSTATUS>(0xC0000024);
constexpr NTSTATUS StatusObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS StatusInsufficientResources = static_cast<NTSTATUS>(0xC000009A);
constexpr NTSTATUS StatusMappedAlignment = static_cast<NTSTATUS>(0xC0000220);
constexpr NTSTATUS StatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS StatusInvalidPageProtection = static_cast<NTSTATUS>(0xC0000045);
constexpr NTSTATUS StatusInvalidParameter4 = static_cast<NTSTATUS>(0xC00000F3);   // zero bits
constexpr NTSTATUS StatusInvalidParameter5 = static_cast<NTSTATUS>(0xC00000F4);   // commit size
constexpr NTSTATUS StatusInvalidParameter8 = static_cast<NTSTATUS>(0xC00000F6);   // inherit disposition
constexpr NTSTATUS StatusInvalidParameter9 = static_cast<NTSTATUS>(0xC00000F7);   // allocation type

constexpr uint32_t ObjKernelHandle = 0x200;
constexpr uint32_t KernelHandleBit = 0x80000000;
constexpr uint32_t SectionObjectBytes = 0x40;
constexpr uint64_t SectionBytes = 1ull << 32;   // the physical memory section spans physical space

// Access rights a section handle can carry: the section's own (query, map write, read and execute,
// extend size), the standard rights, synchronize, system security; and the requests that the object
// manager turns into rights (maximum allowed, the generic rights).
constexpr uint32_t SectionAllAccess = 0x000F001F;
constexpr uint32_t Synchronize = 0x00100000;
constexpr uint32_t AccessSystemSecurity = 0x01000000;
constexpr uint32_t MaximumAllowed = 0x02000000;
constexpr uint32_t GenericRights = 0xF0000000;
constexpr uint32_t SectionAccessKnown = SectionAllAccess | Synchronize | AccessSystemSecurity | MaximumAllowed | GenericRights;
constexpr uint32_t ModeKernel = 0, ModeUser = 1;   // KPROCESSOR_MODE

// ZwMapViewOfSection's documented values on Windows 2000.
constexpr uint32_t MaxZeroBits = 21;
constexpr uint32_t InheritShare = 1, InheritUnmap = 2;   // SECTION_INHERIT
constexpr uint32_t MemReserve = 0x2000, MemTopDown = 0x100000;
constexpr uint32_t PageBaseProtections = 0xFF;   // PAGE_NOACCESS ... PAGE_EXECUTE_WRITECOPY, one bit each
constexpr uint32_t PageNoAccess = 0x01, PageGuard = 0x100, PageNoCache = 0x200;
const char16_t PhysicalMemoryName[] = u"\\Device\\PhysicalMemory";

char16_t Folded(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

// True when the counted string names the physical memory section.
bool NamesPhysicalMemory(const UNICODE_STRING& name, bool caseInsensitive) {
    const size_t length = sizeof PhysicalMemoryName / sizeof(char16_t) - 1;
    if (name.Length % 2 || name.Length / 2 != length || !name.Buffer) return false;
    for (size_t i = 0; i < length; ++i) {
        char16_t a = name.Buffer[i], b = PhysicalMemoryName[i];
        if (caseInsensitive ? Folded(a) != Folded(b) : a != b) return false;
    }
    return true;
}

std::string Caching(ULONG protection) { return (protection & PageNoCache) ? "uncached" : "cached"; }

// One base protection, optionally with PAGE_GUARD or PAGE_NOCACHE (not both, and neither on
// PAGE_NOACCESS). PAGE_WRITECOMBINE came after Windows 2000.
bool ProtectionValid(uint32_t protection) {
    const uint32_t base = protection & PageBaseProtections;
    const uint32_t modifiers = protection & ~PageBaseProtections;
    if (base == 0 || (base & (base - 1)) != 0) return false;
    if (modifiers & ~(PageGuard | PageNoCache)) return false;
    if (modifiers == (PageGuard | PageNoCache)) return false;
    return !(base == PageNoAccess && modifiers);
}

// True when a 32-bit word of a request's output lies in the view.
bool AddressGiven(const std::vector<uint8_t>& output, const View& view) {
    for (size_t i = 0; i + 4 <= output.size(); i += 4) {
        uint32_t value = output[i] | output[i + 1] << 8 | output[i + 2] << 16 | uint32_t{output[i + 3]} << 24;
        if (value - view.base < view.size) return true;
    }
    return false;
}

// The rights a desired access grants on the section (a kernel-mode open is not access-checked).
uint32_t GrantedSectionAccess(uint32_t desired) {
    if (desired & (MaximumAllowed | GenericRights)) return SectionAllAccess | Synchronize;
    return desired;
}

}  // namespace

Kernel::State Kernel::Save() const {
    // A registry's version changes with every change, and a copy keeps it: a saved copy of the same
    // version holds the same keys and values.
    if (!savedRegistry_ || savedRegistry_->Version() != registry_.Version()) {
        savedRegistry_ = std::make_shared<const Registry>(registry_);
    }
    return State{space_, savedRegistry_, currentProcess_, memory_, objects_.Save()};
}

void Kernel::Restore(const State& state) {
    space_.RestoreFrom(state.space);
    if (registry_.Version() != state.registry->Version()) registry_ = *state.registry;
    currentProcess_ = state.currentProcess;
    memory_ = state.memory;
    objects_.Restore(state.objects);
}

bool Kernel::InjectedFailure(PlatformCall call, NTSTATUS* status) {
    uint32_t injected = 0;
    if (!memory_.injector.ShouldFail(call, faults_.CurrentAdapter(), &injected)) return false;
    *status = (injected & 0x80000000u) ? static_cast<NTSTATUS>(injected) : STATUS_UNSUCCESSFUL;
    return true;
}

uint32_t Kernel::HandleValue(const void* handle) {
    auto value = reinterpret_cast<uintptr_t>(handle);
    if (value == UINTPTR_MAX) return CurrentProcessHandle;
    return AddressOfPointer(handle);
}

// The process whose table holds `handle` (a kernel handle: the system process's) and the value
// there; null when the handle is of no table.
Process* Kernel::HandleOwner(uint32_t handle, uint32_t* value) {
    Process& owner = EnsureProcess((handle & KernelHandleBit) ? SystemProcess : currentProcess_);
    *value = handle & ~KernelHandleBit;
    return owner.handles.count(*value) ? &owner : nullptr;
}

NTSTATUS Kernel::OpenSection(uint32_t* handle, ACCESS_MASK access, const OBJECT_ATTRIBUTES* attributes) {
    NTSTATUS status = 0;
    if (InjectedFailure(PlatformCall::ZwOpenSection, &status)) return status;
    if (!attributes || attributes->Length != sizeof(OBJECT_ATTRIBUTES) || !attributes->ObjectName) {
        return STATUS_INVALID_PARAMETER;
    }
    // Rights a section does not have cannot be granted; a handle of no rights serves nothing.
    if ((access & ~SectionAccessKnown) || GrantedSectionAccess(access) == 0) return StatusAccessDenied;
    if (attributes->RootDirectory ||
        !NamesPhysicalMemory(*attributes->ObjectName, attributes->Attributes & OBJ_CASE_INSENSITIVE)) {
        return StatusObjectNameNotFound;
    }
    bool kernelHandle = attributes->Attributes & ObjKernelHandle;
    Process& owner = EnsureProcess(kernelHandle ? SystemProcess : currentProcess_);
    uint32_t value = owner.FreeHandle();
    if (value == 0) return StatusInsufficientResources;
    if (memory_.physicalMemorySection == 0) {
        memory_.physicalMemorySection = space_.AllocateMemory(SectionObjectBytes, "section object \\Device\\PhysicalMemory");
    }
    owner.handles[value] = HandleEntry{"\\Device\\PhysicalMemory", memory_.nextSerial++, GrantedSectionAccess(access)};
    *handle = kernelHandle ? value | KernelHandleBit : value;
    if (!kernelHandle) ReportUserHandle("ZwOpenSection", "section \\Device\\PhysicalMemory", Hex(value));
    return STATUS_SUCCESS;
}

void Kernel::ReportUserHandle(const std::string& routine, const std::string& object, const std::string& handle) {
    if (currentProcess_ == SystemProcess) return;
    faults_.ReportDriver(routine + " opened handle " + handle + " to " + object + " without OBJ_KERNEL_HANDLE in process " +
                         std::to_string(currentProcess_) + ": any thread of that process can use it while it is open");
}

NTSTATUS Kernel::ReferenceObjectByHandle(uint32_t handle, ACCESS_MASK access, const void* objectType, uint32_t mode,
                                         uint32_t* object) {
    NTSTATUS status = 0;
    if (InjectedFailure(PlatformCall::ObReferenceObjectByHandle, &status)) return status;
    if (mode != ModeKernel && mode != ModeUser) return STATUS_INVALID_PARAMETER;
    uint32_t value = 0;
    Process* owner = HandleOwner(handle, &value);
    // A kernel handle means nothing to a reference made for user mode.
    if (!owner || (mode == ModeUser && (handle & KernelHandleBit))) return StatusInvalidHandle;
    // Only section handles exist; the sim exports no object type the driver could name.
    if (objectType) return StatusObjectTypeMismatch;
    // Kernel mode is not access-checked; user mode gets only the rights the handle was opened with.
    if (mode == ModeUser && (GrantedSectionAccess(access) & ~owner->handles[value].access)) return StatusAccessDenied;
    *object = memory_.physicalMemorySection;
    ++memory_.references[{*object, faults_.CurrentAdapter()}];
    return STATUS_SUCCESS;
}

int Kernel::ReferencesTo(uint32_t object) const {
    int count = 0;
    for (auto it = memory_.references.lower_bound({object, INT_MIN}); it != memory_.references.end() && it->first.first == object;
         ++it) {
        count += it->second;
    }
    return count;
}

// A pointer the driver may reference: a process object (its process running, or ended and kept by a
// reference), or an object it already holds a reference to.
void Kernel::ReferenceObject(uint32_t object) {
    if (!ProcessOfObject(object) && ReferencesTo(object) == 0) {
        faults_.ReportDriver("ObfReferenceObject of " + Hex(object) +
                             ", which is no object the driver may hold (freed memory, or no object at all)");
        return;
    }
    ++memory_.references[{object, faults_.CurrentAdapter()}];
}

void Kernel::DereferenceObject(uint32_t object) {
    auto found = memory_.references.find({object, faults_.CurrentAdapter()});
    if (found == memory_.references.end()) {
        // One driver serves every adapter: a reference one adapter's request took may go in another's.
        found = memory_.references.lower_bound({object, INT_MIN});
        if (found != memory_.references.end() && found->first.first != object) found = memory_.references.end();
    }
    if (found == memory_.references.end()) {
        faults_.ReportDriver("ObfDereferenceObject of " + Hex(object) + ", of which the driver holds no reference");
        return;
    }
    if (--found->second == 0) memory_.references.erase(found);
    // The last reference to an ended process's object frees it.
    const Process* process = ProcessOfObject(object);
    if (process && process->ended && ReferencesTo(object) == 0) FreeProcess(process->id);
}

NTSTATUS Kernel::WaitForSingleObject(uint32_t object, uint32_t waitReason, uint32_t mode, uint32_t alertable,
                                     const int64_t* timeout) {
    (void)waitReason;
    (void)alertable;
    const Process* process = ProcessOfObject(object);
    if (!process) {
        faults_.ReportDriver("KeWaitForSingleObject on " + Hex(object) +
                             ", which is no object the driver can wait on (a freed process object, or no object at all)");
        return STATUS_INVALID_PARAMETER;
    }
    if (mode != ModeKernel && mode != ModeUser) {
        faults_.ReportDriver("KeWaitForSingleObject with wait mode " + std::to_string(mode) + ", which is no processor mode");
        return STATUS_INVALID_PARAMETER;
    }
    // An ended process's object is signalled.
    if (process->ended) return STATUS_SUCCESS;
    if (!timeout) {
        faults_.ReportDriver("KeWaitForSingleObject without a timeout on the object of process " +
                             std::to_string(process->id) + ", which is running: the wait would not end");
        return StatusTimeout;
    }
    // A relative time (negative, 100 ns units) passes on the machine's clock; an absolute one (the
    // driver cannot read the system time to make one) has passed.
    if (*timeout < 0) {
        const uint64_t ticks = static_cast<uint64_t>(-(*timeout + 1)) + 1;
        bus_.AdvanceTime(std::min<uint64_t>(ticks, UINT64_MAX / 100) * 100);
    }
    return StatusTimeout;
}

NTSTATUS Kernel::MapViewOfSection(uint32_t section, uint32_t processHandle, uint32_t* base, uint64_t* offset,
                                  uint64_t* viewSize, const ViewRequest& request) {
    NTSTATUS status = 0;
    if (InjectedFailure(PlatformCall::ZwMapViewOfSection, &status)) return status;
    if (request.zeroBits > MaxZeroBits) return StatusInvalidParameter4;
    if (*viewSize != 0 && request.commitSize > *viewSize) return StatusInvalidParameter5;
    if (request.inherit != InheritShare && request.inherit != InheritUnmap) return StatusInvalidParameter8;
    if (request.allocationType & ~(MemReserve | MemTopDown)) return StatusInvalidParameter9;
    if (!ProtectionValid(request.protection)) return StatusInvalidPageProtection;
    const ULONG protection = request.protection;
    uint32_t value = 0;
    if (!HandleOwner(section, &value)) return StatusInvalidHandle;
    uint32_t id = 0;
    if (!ProcessOfHandle(processHandle, &id)) return StatusInvalidHandle;

    // The offset goes down to the allocation granularity; the size up to whole pages.
    const uint64_t start = *offset / AllocationGranularity * AllocationGranularity;
    const uint64_t size = (*viewSize + PageBytes - 1) / PageBytes * PageBytes;
    if (*viewSize == 0 || start + size > SectionBytes || size > UserSpaceEnd) return StatusInvalidViewSize;
    Process& process = EnsureProcess(id);
    uint32_t at = *base;
    if (at != 0) {
        if (at % AllocationGranularity) return StatusMappedAlignment;
        if (at < UserSpaceStart || uint64_t{at} + size > UserSpaceEnd || !process.IsFree(at, static_cast<uint32_t>(size))) {
            return StatusConflictingAddresses;
        }
    } else {
        at = process.FreeRange(static_cast<uint32_t>(size));
        if (at == 0) return StatusNoMemory;
    }
    View view;
    view.base = at;
    view.size = static_cast<uint32_t>(size);
    view.physical = static_cast<uint32_t>(start);
    view.writable = (protection & 0xCC) != 0;   // PAGE_READWRITE, PAGE_WRITECOPY and their execute forms
    view.caching = Caching(protection);
    view.madeBy = "ZwMapViewOfSection";
    view.adapter = faults_.CurrentAdapter();
    view.serial = memory_.nextSerial++;
    process.views.emplace(at, view);
    CheckViewShowsNoStale(id, view);
    *base = at;
    *offset = start;
    *viewSize = size;
    return STATUS_SUCCESS;
}

// A handle is a key's or a file's, or a section's: each kind has its own table.
NTSTATUS Kernel::CloseHandle(HANDLE handle) {
    if (objects_.HoldsHandle(handle)) return objects_.Close(handle);
    return Close(HandleValue(handle));
}

NTSTATUS Kernel::Close(uint32_t handle) {
    uint32_t value = 0;
    Process* owner = HandleOwner(handle, &value);
    if (!owner) {
        faults_.ReportDriver("ZwClose of " + Hex(handle) + ", which is no open handle of process " +
                             std::to_string(currentProcess_));
        return StatusInvalidHandle;
    }
    owner->handles.erase(value);
    return STATUS_SUCCESS;
}

Kernel::RequestMark Kernel::BeginRequest() const {
    RequestMark mark{memory_.nextSerial, memory_.references, {}};
    for (const auto& [id, process] : memory_.processes) {
        if (process.ended) mark.endedObjects.push_back(process.object);
    }
    return mark;
}

// A request must not leave behind what its requester cannot undo: a handle opened during it, a
// reference taken during it, or a view whose address the requester was not given (all views of a
// failed request, whose output is not copied back).
void Kernel::EndRequest(const RequestMark& mark, const std::string& request, bool succeeded,
                        const std::vector<uint8_t>& output, int adapter) {
    for (const auto& [id, process] : memory_.processes) {
        for (const auto& [handle, entry] : process.handles) {
            if (entry.serial < mark.serial) continue;
            faults_.Report(FaultKind::Driver, adapter,
                           request + " left handle " + Hex(handle) + " to " + entry.object + " open in process " +
                               std::to_string(id));
        }
        for (const auto& [base, view] : process.views) {
            if (view.serial < mark.serial) continue;
            if (succeeded && AddressGiven(output, view)) continue;
            faults_.Report(FaultKind::Driver, adapter,
                           request + (succeeded ? "" : " failed and") + " left a view at " + Hex(view.base) +
                               " in process " + std::to_string(id) + " whose address the requester was not given");
        }
    }
    for (const auto& [base, view] : memory_.systemViews) {
        if (view.serial < mark.serial) continue;
        if (succeeded && AddressGiven(output, view)) continue;
        faults_.Report(FaultKind::Driver, adapter,
                       request + (succeeded ? "" : " failed and") + " left a system-space mapping at " + Hex(view.base) +
                           " whose address the requester was not given");
    }
    for (const auto& [key, count] : memory_.references) {
        const auto& [object, holder] = key;
        if (const Process* process = ProcessOfObject(object)) {
            // A reference keeps a process object from going to another process while the driver keeps
            // something for it. Once the process has ended, a request of the same adapter is the
            // driver's chance to see it and let go; a reference still held after one is kept for good.
            const auto& ended = mark.endedObjects;
            if (holder != adapter || std::find(ended.begin(), ended.end(), object) == ended.end() ||
                !memory_.reportedKeeps.insert(key).second) {
                continue;
            }
            faults_.Report(FaultKind::Driver, adapter,
                           request + " left " + std::to_string(count) + " reference(s) to the object of process " +
                               std::to_string(process->id) +
                               ", which had ended before it: the object's memory is never freed");
            continue;
        }
        auto before = mark.references.find(key);
        if (count > (before == mark.references.end() ? 0 : before->second)) {
            faults_.Report(FaultKind::Driver, adapter, request + " kept a reference to the object at " + Hex(object));
        }
    }
}

}  // namespace sim
