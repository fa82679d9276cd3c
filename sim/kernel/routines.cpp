// The kernel routines of the host build (Zw*, Rtl*), as the driver calls them. Each one hands the
// call to the kernel of the machine the driver runs for.
#include <cstdio>
#include <cstdlib>

#include "machine/machine.h"

namespace {

sim::KernelObjects& Objects(const char* routine) {
    sim::Machine* machine = sim::CurrentMachine();
    if (!machine) {
        std::fprintf(stderr, "zarnsim: the driver called %s outside a simulated machine\n", routine);
        std::abort();
    }
    return machine->GetKernel().Objects();
}

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

NTSTATUS NTAPI ZwClose(HANDLE handle) { return Objects("ZwClose").Close(handle); }

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

}  // extern "C"
