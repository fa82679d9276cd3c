// The kernel routines of the host build, as the driver calls them. Each one hands the call to the
// kernel of the machine the driver runs for.
#include <cstdio>
#include <cstdlib>

#include "machine/machine.h"

namespace {

sim::Kernel& KernelFor(const char* routine) {
    sim::Machine* machine = sim::CurrentMachine();
    if (!machine) {
        std::fprintf(stderr, "zarnsim: the driver called %s outside a simulated machine\n", routine);
        std::abort();
    }
    return machine->GetKernel();
}

}  // namespace

extern "C" {

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

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK, POBJECT_TYPE objectType, KPROCESSOR_MODE,
                                         PVOID* object, POBJECT_HANDLE_INFORMATION) {
    sim::Kernel& kernel = KernelFor("ObReferenceObjectByHandle");
    uint32_t address = 0;
    NTSTATUS status = kernel.ReferenceObjectByHandle(kernel.HandleValue(handle), objectType, &address);
    if (NT_SUCCESS(status)) *object = kernel.HostPointer(address);
    return status;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID object) {
    sim::Kernel& kernel = KernelFor("ObfDereferenceObject");
    kernel.DereferenceObject(kernel.AddressOfPointer(object));
    return 0;
}

NTSTATUS NTAPI ZwMapViewOfSection(HANDLE section, HANDLE process, PVOID* base, ULONG_PTR, SIZE_T, PLARGE_INTEGER offset,
                                  PSIZE_T viewSize, SECTION_INHERIT, ULONG, ULONG protection) {
    sim::Kernel& kernel = KernelFor("ZwMapViewOfSection");
    uint32_t at = kernel.AddressOfPointer(*base);
    uint64_t start = offset ? static_cast<uint64_t>(offset->QuadPart) : 0;
    uint64_t size = *viewSize;
    NTSTATUS status =
        kernel.MapViewOfSection(kernel.HandleValue(section), kernel.HandleValue(process), &at, &start, &size, protection);
    if (!NT_SUCCESS(status)) return status;
    *base = reinterpret_cast<PVOID>(uintptr_t{at});
    if (offset) offset->QuadPart = static_cast<LONGLONG>(start);
    *viewSize = size;
    return status;
}

NTSTATUS NTAPI ZwClose(HANDLE handle) {
    sim::Kernel& kernel = KernelFor("ZwClose");
    return kernel.Close(kernel.HandleValue(handle));
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    size_t length = 0;
    while (source && source[length]) ++length;
    destination->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    destination->MaximumLength = static_cast<USHORT>(source ? (length + 1) * sizeof(WCHAR) : 0);
    destination->Buffer = const_cast<PWSTR>(source);
}

}  // extern "C"
