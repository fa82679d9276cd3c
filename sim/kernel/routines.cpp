// The kernel routines of the host build (Ex*, Io*, Mm*, Ob*, Zw*, Rtl*), as the driver calls them.
// Each one hands the call to the kernel of the machine the driver runs for.
#include "machine/machine.h"

namespace {

sim::KernelObjects& Objects(const char* routine) { return sim::MachineForRoutine(routine).GetKernel().Objects(); }

sim::Kernel& KernelFor(const char* routine) { return sim::MachineForRoutine(routine).GetKernel(); }

}  // namespace

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE type, size_t size, ULONG tag) {
    return Objects("ExAllocatePoolWithTag").AllocatePoolFor(type, size, tag);
}

VOID NTAPI ExFreePool(PVOID pointer) { Objects("ExFreePool").FreePoolAt(pointer); }

NTSTATUS NTAPI ZwOpenKey(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes) {
    return Objects("ZwOpenKey").OpenKey(handle, access, attributes);
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE handle, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS type, PVOID buffer,
                               ULONG length, PULONG resultLength) {
    return Objects("ZwQueryValueKey").QueryValueKey(handle, name, type, buffer, length, resultLength);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE handle, PUNICODE_STRING name, ULONG titleIndex, ULONG type, PVOID data, ULONG size) {
    return Objects("ZwSetValueKey").SetValueKey(handle, name, titleIndex, type, data, size);
}

NTSTATUS NTAPI ZwCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                            PIO_STATUS_BLOCK ioStatus, PLARGE_INTEGER, ULONG, ULONG shareAccess, ULONG disposition,
                            ULONG options, PVOID eaBuffer, ULONG eaLength) {
    return Objects("ZwCreateFile")
        .CreateFile(handle, access, attributes, ioStatus, shareAccess, disposition, options, eaBuffer, eaLength);
}

NTSTATUS NTAPI ZwClose(HANDLE handle) { return KernelFor("ZwClose").CloseHandle(handle); }

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING string, PCWSTR source) {
    Objects("RtlInitUnicodeString").InitUnicodeString(string, source);
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING string, PCSZ source) { Objects("RtlInitAnsiString").InitAnsiString(string, source); }

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, PCANSI_STRING source, BOOLEAN allocate) {
    return Objects("RtlAnsiStringToUnicodeString").AnsiToUnicode(destination, source, allocate);
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate) {
    return Objects("RtlUnicodeStringToAnsiString").UnicodeToAnsi(destination, source, allocate);
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING string) { Objects("RtlFreeUnicodeString").FreeUnicodeString(string); }

VOID NTAPI RtlFreeAnsiString(PANSI_STRING string) { Objects("RtlFreeAnsiString").FreeAnsiString(string); }

PEPROCESS NTAPI IoGetCurrentProcess(VOID) {
    sim::Kernel& kernel = KernelFor("IoGetCurrentProcess");
    return static_cast<PEPROCESS>(kernel.HostPointer(kernel.CurrentProcessObject()));
}

PVOID NTAPI MmAllocateContiguousMemory(SIZE_T bytes, PHYSICAL_ADDRESS highestAcceptable) {
    sim::Kernel& kernel = KernelFor("MmAllocateContiguousMemory");
    uint32_t address = kernel.AllocateContiguousMemory(bytes, static_cast<uint64_t>(highestAcceptable.QuadPart));
    return kernel.HostPointer(address);
}

PHYSICAL_ADDRESS NTAPI MmGetPhysicalAddress(PVOID address) {
    sim::Kernel& kernel = KernelFor("MmGetPhysicalAddress");
    PHYSICAL_ADDRESS physical;
    physical.QuadPart = static_cast<LONGLONG>(kernel.PhysicalAddressOf(kernel.AddressOfPointer(address)));
    return physical;
}

NTSTATUS NTAPI ZwOpenSection(PHANDLE section, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes) {
    uint32_t handle = 0;
    NTSTATUS status = KernelFor("ZwOpenSection").OpenSection(&handle, access, attributes);
    if (NT_SUCCESS(status)) *section = reinterpret_cast<HANDLE>(uintptr_t{handle});
    return status;
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK access, POBJECT_TYPE objectType,
                                         KPROCESSOR_MODE mode, PVOID* object, POBJECT_HANDLE_INFORMATION) {
    sim::Kernel& kernel = KernelFor("ObReferenceObjectByHandle");
    uint32_t address = 0;
    NTSTATUS status = kernel.ReferenceObjectByHandle(kernel.HandleValue(handle), access, objectType,
                                                     static_cast<uint8_t>(mode), &address);
    if (NT_SUCCESS(status)) *object = kernel.HostPointer(address);
    return status;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID object) {
    sim::Kernel& kernel = KernelFor("ObfReferenceObject");
    kernel.ReferenceObject(kernel.AddressOfPointer(object));
    return 0;
}

VOID NTAPI MmFreeContiguousMemory(PVOID address) {
    sim::Kernel& kernel = KernelFor("MmFreeContiguousMemory");
    kernel.FreeContiguousMemory(kernel.AddressOfPointer(address));
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                                     PLARGE_INTEGER timeout) {
    sim::Kernel& kernel = KernelFor("KeWaitForSingleObject");
    const int64_t time = timeout ? timeout->QuadPart : 0;
    return kernel.WaitForSingleObject(kernel.AddressOfPointer(object), static_cast<uint32_t>(reason),
                                      static_cast<uint8_t>(mode), alertable, timeout ? &time : nullptr);
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID object) {
    sim::Kernel& kernel = KernelFor("ObfDereferenceObject");
    kernel.DereferenceObject(kernel.AddressOfPointer(object));
    return 0;
}

NTSTATUS NTAPI ZwMapViewOfSection(HANDLE section, HANDLE process, PVOID* base, ULONG_PTR zeroBits, SIZE_T commitSize,
                                  PLARGE_INTEGER offset, PSIZE_T viewSize, SECTION_INHERIT inherit, ULONG allocationType,
                                  ULONG protection) {
    sim::Kernel& kernel = KernelFor("ZwMapViewOfSection");
    uint32_t at = kernel.AddressOfPointer(*base);
    uint64_t start = offset ? static_cast<uint64_t>(offset->QuadPart) : 0;
    uint64_t size = *viewSize;
    sim::Kernel::ViewRequest request{static_cast<uint32_t>(zeroBits), commitSize, static_cast<uint32_t>(inherit),
                                     allocationType, protection};
    NTSTATUS status =
        kernel.MapViewOfSection(kernel.HandleValue(section), kernel.HandleValue(process), &at, &start, &size, request);
    if (!NT_SUCCESS(status)) return status;
    *base = reinterpret_cast<PVOID>(uintptr_t{at});
    if (offset) offset->QuadPart = static_cast<LONGLONG>(start);
    *viewSize = size;
    return status;
}

}  // extern "C"
