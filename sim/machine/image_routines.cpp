#include "machine/image_routines.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace sim {

namespace {

using image::Address;
using image::CpuFault;

// The bytes of VIDEO_HW_INITIALIZATION_DATA the Windows 2000 port reads.
constexpr uint32_t InitializationDataBytes = 80;
// The access ranges the port fills at most (the adapter's three windows and its expansion ROM).
constexpr uint32_t AccessRangesFilled = 4;

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// The image's arguments as the host build's routines receive them.
class Arguments {
public:
    explicit Arguments(Kernel& kernel) : kernel_(kernel) {}

    // A pointer passed through as the host build passes it: the memory behind a machine address,
    // or the address itself as a pointer value (a device mapping, a port number, a process handle).
    void* Pointer(Address address) const { return kernel_.HostPointer(address); }

    // The memory behind [address, address + bytes), which a routine reads or writes. Nothing is
    // touched of an empty range: it is passed through (0 as null). Address 0 with bytes to touch is
    // a fault of the driver, as any other address with no memory behind it.
    void* Memory(Address address, uint64_t bytes, const char* routine) const {
        if (bytes == 0) return address ? Pointer(address) : nullptr;
        const Region* region = address ? kernel_.Space().Find(address) : nullptr;
        if (!region || region->device || address - region->base + bytes > region->size) {
            throw CpuFault(std::string(routine) + " was given " + Hex(address) + ", where no " + std::to_string(bytes) +
                           " bytes of memory are");
        }
        return kernel_.HostPointer(address);
    }

    template <class T>
    T* Record(Address address, const char* routine, uint64_t count = 1) const {
        return static_cast<T*>(Memory(address, sizeof(T) * count, routine));
    }

    // An argument the routine itself may be given as null (it checks it, as the platform's does):
    // 0 passes as null, any other address as Memory or Record.
    void* Optional(Address address, uint64_t bytes, const char* routine) const {
        return address ? Memory(address, bytes, routine) : nullptr;
    }
    template <class T>
    T* Optional(Address address, const char* routine) const {
        return address ? Record<T>(address, routine) : nullptr;
    }

    // A 32-bit slot that a routine fills (the image's PVOID, HANDLE and SIZE_T); never null.
    uint32_t* Slot(Address address, const char* routine) const {
        if (address == 0) throw CpuFault(std::string(routine) + " was given no place for its result");
        return Record<uint32_t>(address, routine);
    }

    // Zero-terminated text that ends in the memory it starts in; null for 0.
    template <class C>
    C* Text(Address address, const char* routine) const {
        if (address == 0) return nullptr;
        const Region* region = kernel_.Space().Find(address);
        if (region && !region->device) {
            const auto* text = static_cast<const C*>(kernel_.HostPointer(address));
            const uint64_t room = (region->base + uint64_t{region->size} - address) / sizeof(C);
            for (uint64_t i = 0; i < room; ++i) {
                if (text[i] == 0) return const_cast<C*>(text);
            }
        }
        throw CpuFault(std::string(routine) + " was given text at " + Hex(address) + " that does not end in memory");
    }

    // What a routine wrote on the driver's behalf: the driver's bytes (see WriteLedger).
    void Wrote(Address address, uint64_t bytes) const {
        if (address && bytes) kernel_.Ledger().MarkWritten(address, static_cast<uint32_t>(std::min<uint64_t>(bytes, ~0u)));
    }

    // A handle value as the host build passes it (NtCurrentProcess() is -1 in a pointer).
    static HANDLE Handle(uint32_t value) {
        return value == 0xFFFFFFFF ? reinterpret_cast<HANDLE>(intptr_t{-1}) : reinterpret_cast<HANDLE>(uintptr_t{value});
    }
    // What the routine returned or wrote, as the image's 32-bit value.
    uint32_t AddressOf(const void* pointer) const { return kernel_.AddressOfPointer(pointer); }

    static PHYSICAL_ADDRESS Physical(uint64_t value) {
        PHYSICAL_ADDRESS physical;
        physical.QuadPart = static_cast<LONGLONG>(value);
        return physical;
    }

private:
    Kernel& kernel_;
};

void FillVideoPortRoutines(image::PlatformRoutines& r, VideoPort& port, const Arguments& a) {
    r.VideoPortInitialize = [&port, a](Address argument1, Address argument2, Address data, Address) -> uint32_t {
        auto* record = static_cast<PVIDEO_HW_INITIALIZATION_DATA>(
            a.Memory(data, InitializationDataBytes, "VideoPortInitialize"));
        return port.VideoPortInitialize(a.Pointer(argument1), a.Pointer(argument2), record);
    };
    // The image's VIDEO_ACCESS_RANGE array is 4-byte aligned (i386), the host's record wants 8: the
    // port works on an aligned copy, which goes back into the image's memory.
    r.VideoPortGetAccessRanges = [&port, a](Address extension, uint32_t requestedCount, Address requested, uint32_t count,
                                            Address ranges, Address vendorId, Address deviceId, Address slot) -> uint32_t {
        const char* routine = "VideoPortGetAccessRanges";
        const uint32_t filled = std::min(count, AccessRangesFilled);
        auto* image = static_cast<uint8_t*>(a.Memory(ranges, uint64_t{filled} * sizeof(VIDEO_ACCESS_RANGE), routine));
        std::vector<VIDEO_ACCESS_RANGE> aligned(filled);
        if (filled) std::memcpy(aligned.data(), image, filled * sizeof(VIDEO_ACCESS_RANGE));
        uint32_t status = port.GetAccessRanges(a.Pointer(extension), requestedCount, requested != 0, count,
                                               filled ? aligned.data() : nullptr,
                                               a.Optional<USHORT>(vendorId, routine), a.Optional<USHORT>(deviceId, routine),
                                               a.Record<ULONG>(slot, routine));
        if (filled) std::memcpy(image, aligned.data(), filled * sizeof(VIDEO_ACCESS_RANGE));
        if (status == NO_ERROR) {
            a.Wrote(ranges, uint64_t{filled} * sizeof(VIDEO_ACCESS_RANGE));
            a.Wrote(slot, sizeof(ULONG));
        }
        return status;
    };
    r.VideoPortVerifyAccessRanges = [&port, a](Address extension, uint32_t count, Address ranges) -> uint32_t {
        const char* routine = "VideoPortVerifyAccessRanges";
        const auto* image = static_cast<const uint8_t*>(a.Memory(ranges, uint64_t{count} * sizeof(VIDEO_ACCESS_RANGE), routine));
        std::vector<VIDEO_ACCESS_RANGE> aligned(count);
        if (count) std::memcpy(aligned.data(), image, count * sizeof(VIDEO_ACCESS_RANGE));
        return port.VerifyAccessRanges(a.Pointer(extension), count, count ? aligned.data() : nullptr);
    };
    r.VideoPortGetDeviceBase = [&port, a](Address extension, uint64_t physical, uint32_t length,
                                          uint8_t inIoSpace) -> Address {
        return a.AddressOf(port.GetDeviceBase(a.Pointer(extension), Arguments::Physical(physical), length, inIoSpace));
    };
    r.VideoPortFreeDeviceBase = [&port, a](Address extension, Address base) {
        port.FreeDeviceBase(a.Pointer(extension), a.Pointer(base));
    };
    r.VideoPortGetBusData = [&port, a](Address extension, uint32_t type, uint32_t slot, Address buffer,
                                       uint32_t offset, uint32_t length) -> uint32_t {
        uint32_t read = port.GetBusData(a.Pointer(extension), static_cast<BUS_DATA_TYPE>(type), slot,
                                        a.Memory(buffer, length, "VideoPortGetBusData"), offset, length);
        a.Wrote(buffer, std::min(read, length));
        return read;
    };
    r.VideoPortSetBusData = [&port, a](Address extension, uint32_t type, uint32_t slot, Address buffer,
                                       uint32_t offset, uint32_t length) -> uint32_t {
        return port.SetBusData(a.Pointer(extension), static_cast<BUS_DATA_TYPE>(type), slot,
                               a.Memory(buffer, length, "VideoPortSetBusData"), offset, length);
    };

    r.VideoPortReadPortUchar = [&port, a](Address at) { return static_cast<uint8_t>(port.ReadPort(a.Pointer(at), 8)); };
    r.VideoPortReadPortUshort = [&port, a](Address at) { return static_cast<uint16_t>(port.ReadPort(a.Pointer(at), 16)); };
    r.VideoPortReadPortUlong = [&port, a](Address at) { return port.ReadPort(a.Pointer(at), 32); };
    r.VideoPortWritePortUchar = [&port, a](Address at, uint8_t value) { port.WritePort(a.Pointer(at), 8, value); };
    r.VideoPortWritePortUshort = [&port, a](Address at, uint16_t value) { port.WritePort(a.Pointer(at), 16, value); };
    r.VideoPortWritePortUlong = [&port, a](Address at, uint32_t value) { port.WritePort(a.Pointer(at), 32, value); };
    r.VideoPortReadRegisterUchar = [&port, a](Address at) {
        return static_cast<uint8_t>(port.ReadRegister(a.Pointer(at), 8));
    };
    r.VideoPortReadRegisterUshort = [&port, a](Address at) {
        return static_cast<uint16_t>(port.ReadRegister(a.Pointer(at), 16));
    };
    r.VideoPortReadRegisterUlong = [&port, a](Address at) { return port.ReadRegister(a.Pointer(at), 32); };
    r.VideoPortWriteRegisterUchar = [&port, a](Address at, uint8_t value) { port.WriteRegister(a.Pointer(at), 8, value); };
    r.VideoPortWriteRegisterUshort = [&port, a](Address at, uint16_t value) {
        port.WriteRegister(a.Pointer(at), 16, value);
    };
    r.VideoPortWriteRegisterUlong = [&port, a](Address at, uint32_t value) { port.WriteRegister(a.Pointer(at), 32, value); };

    // The callback is the image's own code address, as the port names every callback.
    r.VideoPortGetRegistryParameters = [&port, a](Address extension, Address name, uint8_t isFileName, Address callback,
                                                  Address context) -> uint32_t {
        return port.GetRegistryParameters(a.Pointer(extension), a.Text<WCHAR>(name, "VideoPortGetRegistryParameters"),
                                          isFileName, callback, a.Pointer(context));
    };
    r.VideoPortSetRegistryParameters = [&port, a](Address extension, Address name, Address data,
                                                  uint32_t length) -> uint32_t {
        const char* routine = "VideoPortSetRegistryParameters";
        return port.SetRegistryParameters(a.Pointer(extension), a.Text<WCHAR>(name, routine),
                                          a.Memory(data, length, routine), length);
    };
    r.VideoPortScanRom = [&port, a](Address extension, Address base, uint32_t length, Address text) -> uint8_t {
        return port.ScanRom(a.Pointer(extension), static_cast<PUCHAR>(a.Pointer(base)), length,
                            reinterpret_cast<PUCHAR>(a.Text<char>(text, "VideoPortScanRom")));
    };
    r.VideoPortInt10 = [&port, a](Address extension, Address arguments) -> uint32_t {
        uint32_t status =
            port.Int10(a.Pointer(extension), a.Record<VIDEO_X86_BIOS_ARGUMENTS>(arguments, "VideoPortInt10"));
        a.Wrote(arguments, sizeof(VIDEO_X86_BIOS_ARGUMENTS));
        return status;
    };
    // The view's address is in and out: a process handle in, the view out.
    r.VideoPortMapMemory = [&port, a](Address extension, uint64_t physical, Address length, Address inIoSpace,
                                      Address virtualAddress) -> uint32_t {
        const char* routine = "VideoPortMapMemory";
        uint32_t* slot = a.Slot(virtualAddress, routine);
        PVOID view = Arguments::Handle(*slot);
        uint32_t status = port.MapMemory(a.Pointer(extension), Arguments::Physical(physical),
                                         a.Record<ULONG>(length, routine), a.Record<ULONG>(inIoSpace, routine), &view);
        *slot = a.AddressOf(view);
        a.Wrote(virtualAddress, sizeof(uint32_t));
        a.Wrote(length, sizeof(ULONG));
        return status;
    };
    r.VideoPortUnmapMemory = [&port, a](Address extension, Address virtualAddress, image::Handle process) -> uint32_t {
        return port.UnmapMemory(a.Pointer(extension), a.Pointer(virtualAddress), Arguments::Handle(process));
    };
    // The helper checks the buffer itself.
    r.VideoPortDDCMonitorHelper = [&port, a](Address extension, Address control, Address buffer,
                                             uint32_t size) -> uint8_t {
        return port.DdcMonitorHelper(a.Pointer(extension), a.Record<I2C_FNC_TABLE>(control, "VideoPortDDCMonitorHelper"),
                                     static_cast<PUCHAR>(a.Pointer(buffer)), size);
    };
    r.VideoPortStallExecution = [&port](uint32_t microseconds) { port.StallExecution(microseconds); };
    r.VideoPortZeroMemory = [a](Address destination, uint32_t length) {
        void* bytes = a.Memory(destination, length, "VideoPortZeroMemory");
        if (length) std::memset(bytes, 0, length);
        a.Wrote(destination, length);
    };
    // The variable arguments are read from the image's stack one 32-bit slot after another.
    r.VideoPortDebugPrint = [&port, a](uint32_t level, Address format, Address arguments) {
        const char* routine = "VideoPortDebugPrint";
        Address next = arguments;
        auto slot = [&]() {
            uint32_t value;
            std::memcpy(&value, a.Memory(next, 4, routine), 4);
            next += 4;
            return value;
        };
        const char* message = a.Text<char>(format, routine);
        if (!message) throw CpuFault("VideoPortDebugPrint was given no message");
        std::string text = VideoPort::FormatMessage(message, slot, [&]() {
            const char* value = a.Text<char>(slot(), routine);
            return std::string(value ? value : "(null)");
        });
        port.DebugPrint(level, std::move(text));
    };
    r.VideoPortLogError = [&port, a](Address extension, Address request, uint32_t errorCode, uint32_t uniqueId) {
        port.LogError(a.Pointer(extension), a.Optional<VIDEO_REQUEST_PACKET>(request, "VideoPortLogError"), errorCode,
                      uniqueId);
    };
    r.VideoPortMoveMemory = [a](Address destination, Address source, uint32_t length) {
        void* to = a.Memory(destination, length, "VideoPortMoveMemory");
        void* from = a.Memory(source, length, "VideoPortMoveMemory");
        if (length) std::memmove(to, from, length);
        a.Wrote(destination, length);
    };
}

void FillKernelRoutines(image::PlatformRoutines& r, Kernel& kernel, const Arguments& a) {
    KernelObjects& objects = kernel.Objects();
    r.ExAllocatePoolWithTag = [&objects, a](uint32_t type, uint32_t size, uint32_t tag) -> Address {
        return a.AddressOf(objects.AllocatePoolFor(static_cast<POOL_TYPE>(type), size, tag));
    };
    r.ExFreePool = [&objects, a](Address pointer) { objects.FreePoolAt(a.Pointer(pointer)); };
    r.IoGetCurrentProcess = [&kernel]() -> Address { return kernel.CurrentProcessObject(); };
    r.MmAllocateContiguousMemory = [&kernel](uint32_t size, uint64_t highest) -> Address {
        return kernel.AllocateContiguousMemory(size, highest);
    };
    r.MmGetPhysicalAddress = [&kernel](Address address) -> uint64_t { return kernel.PhysicalAddressOf(address); };

    r.ZwOpenSection = [&kernel, a](Address handle, uint32_t access, Address attributes) -> uint32_t {
        uint32_t opened = 0;
        NTSTATUS status =
            kernel.OpenSection(&opened, access, a.Optional<OBJECT_ATTRIBUTES>(attributes, "ZwOpenSection"));
        if (NT_SUCCESS(status)) *a.Slot(handle, "ZwOpenSection") = opened;
        return static_cast<uint32_t>(status);
    };
    r.ObReferenceObjectByHandle = [&kernel, a](image::Handle handle, uint32_t access, Address objectType, uint8_t mode,
                                               Address object, Address) -> uint32_t {
        uint32_t referenced = 0;
        NTSTATUS status = kernel.ReferenceObjectByHandle(kernel.HandleValue(Arguments::Handle(handle)), access,
                                                         a.Pointer(objectType), mode, &referenced);
        if (NT_SUCCESS(status)) *a.Slot(object, "ObReferenceObjectByHandle") = referenced;
        return static_cast<uint32_t>(status);
    };
    r.ObfReferenceObject = [&kernel](Address object) -> uint32_t {
        kernel.ReferenceObject(object);
        return 0;
    };
    r.ObfDereferenceObject = [&kernel](Address object) -> uint32_t {
        kernel.DereferenceObject(object);
        return 0;
    };
    r.MmFreeContiguousMemory = [&kernel](Address address) { kernel.FreeContiguousMemory(address); };
    r.KeWaitForSingleObject = [&kernel, a](Address object, uint32_t reason, uint8_t mode, uint8_t alertable,
                                           Address timeout) -> uint32_t {
        const auto* time = a.Record<LARGE_INTEGER>(timeout, "KeWaitForSingleObject");
        const int64_t value = time ? time->QuadPart : 0;
        return static_cast<uint32_t>(kernel.WaitForSingleObject(object, reason, mode, alertable, time ? &value : nullptr));
    };
    r.ZwMapViewOfSection = [&kernel, a](image::Handle section, image::Handle process, Address base, uint32_t zeroBits,
                                        uint32_t commitSize, Address offset, Address viewSize, uint32_t inherit,
                                        uint32_t allocationType, uint32_t protect) -> uint32_t {
        const char* routine = "ZwMapViewOfSection";
        uint32_t* baseSlot = a.Slot(base, routine);
        uint32_t* sizeSlot = a.Slot(viewSize, routine);
        auto* start = a.Optional<LARGE_INTEGER>(offset, routine);
        uint32_t at = *baseSlot;
        uint64_t from = start ? static_cast<uint64_t>(start->QuadPart) : 0;
        uint64_t size = *sizeSlot;
        NTSTATUS status = kernel.MapViewOfSection(kernel.HandleValue(Arguments::Handle(section)),
                                                  kernel.HandleValue(Arguments::Handle(process)), &at, &from, &size,
                                                  Kernel::ViewRequest{zeroBits, commitSize, inherit, allocationType, protect});
        if (!NT_SUCCESS(status)) return static_cast<uint32_t>(status);
        *baseSlot = at;
        if (start) start->QuadPart = static_cast<LONGLONG>(from);
        *sizeSlot = static_cast<uint32_t>(size);
        a.Wrote(base, sizeof(uint32_t));
        a.Wrote(offset, sizeof(LARGE_INTEGER));
        a.Wrote(viewSize, sizeof(uint32_t));
        return static_cast<uint32_t>(status);
    };
    r.ZwClose = [&kernel](image::Handle handle) -> uint32_t {
        return static_cast<uint32_t>(kernel.CloseHandle(Arguments::Handle(handle)));
    };

    // A handle is written back only when the routine gave one, as the host's own routines do.
    r.ZwOpenKey = [&objects, a](Address handle, uint32_t access, Address attributes) -> uint32_t {
        HANDLE opened = nullptr;
        NTSTATUS status = objects.OpenKey(handle ? &opened : nullptr, access,
                                          a.Optional<OBJECT_ATTRIBUTES>(attributes, "ZwOpenKey"));
        if (NT_SUCCESS(status)) *a.Slot(handle, "ZwOpenKey") = a.AddressOf(opened);
        return static_cast<uint32_t>(status);
    };
    r.ZwQueryValueKey = [&objects, a](image::Handle key, Address name, uint32_t type, Address information,
                                      uint32_t length, Address resultLength) -> uint32_t {
        const char* routine = "ZwQueryValueKey";
        auto* result = a.Optional<ULONG>(resultLength, routine);
        NTSTATUS status = objects.QueryValueKey(Arguments::Handle(key), a.Optional<UNICODE_STRING>(name, routine),
                                                static_cast<KEY_VALUE_INFORMATION_CLASS>(type),
                                                a.Optional(information, length, routine), length, result);
        if (result) {
            a.Wrote(information, std::min(*result, length));
            a.Wrote(resultLength, sizeof(ULONG));
        }
        return static_cast<uint32_t>(status);
    };
    r.ZwSetValueKey = [&objects, a](image::Handle key, Address name, uint32_t titleIndex, uint32_t type, Address data,
                                    uint32_t size) -> uint32_t {
        const char* routine = "ZwSetValueKey";
        return static_cast<uint32_t>(objects.SetValueKey(Arguments::Handle(key), a.Optional<UNICODE_STRING>(name, routine),
                                                         titleIndex, type, a.Optional(data, size, routine), size));
    };
    r.ZwCreateFile = [&objects, a](Address handle, uint32_t access, Address attributes, Address ioStatus, Address,
                                   uint32_t, uint32_t shareAccess, uint32_t disposition, uint32_t options,
                                   Address eaBuffer, uint32_t eaLength) -> uint32_t {
        const char* routine = "ZwCreateFile";
        HANDLE opened = nullptr;
        NTSTATUS status = objects.CreateFile(handle ? &opened : nullptr, access,
                                             a.Optional<OBJECT_ATTRIBUTES>(attributes, routine),
                                             a.Optional<IO_STATUS_BLOCK>(ioStatus, routine), shareAccess, disposition,
                                             options, a.Pointer(eaBuffer), eaLength);
        if (NT_SUCCESS(status)) *a.Slot(handle, routine) = a.AddressOf(opened);
        return static_cast<uint32_t>(status);
    };

    r.RtlInitUnicodeString = [&objects, a](Address destination, Address source) {
        const char* routine = "RtlInitUnicodeString";
        objects.InitUnicodeString(a.Record<UNICODE_STRING>(destination, routine), a.Text<WCHAR>(source, routine));
    };
    r.RtlInitAnsiString = [&objects, a](Address destination, Address source) {
        const char* routine = "RtlInitAnsiString";
        objects.InitAnsiString(a.Record<ANSI_STRING>(destination, routine), a.Text<char>(source, routine));
    };
    r.RtlAnsiStringToUnicodeString = [&objects, a](Address destination, Address source, uint8_t allocate) -> uint32_t {
        const char* routine = "RtlAnsiStringToUnicodeString";
        auto* converted = a.Optional<UNICODE_STRING>(destination, routine);
        uint32_t status = static_cast<uint32_t>(
            objects.AnsiToUnicode(converted, a.Optional<ANSI_STRING>(source, routine), allocate));
        if (converted) {
            a.Wrote(destination, sizeof(UNICODE_STRING));
            if (NT_SUCCESS(status) && !allocate) a.Wrote(converted->Buffer.address, converted->Length + 2u);
        }
        return status;
    };
    r.RtlUnicodeStringToAnsiString = [&objects, a](Address destination, Address source, uint8_t allocate) -> uint32_t {
        const char* routine = "RtlUnicodeStringToAnsiString";
        auto* converted = a.Optional<ANSI_STRING>(destination, routine);
        uint32_t status = static_cast<uint32_t>(
            objects.UnicodeToAnsi(converted, a.Optional<UNICODE_STRING>(source, routine), allocate));
        if (converted) {
            a.Wrote(destination, sizeof(ANSI_STRING));
            if (NT_SUCCESS(status) && !allocate) a.Wrote(converted->Buffer.address, converted->Length + 1u);
        }
        return status;
    };
    r.RtlAppendUnicodeToString = [&objects, a](Address destination, Address source) -> uint32_t {
        const char* routine = "RtlAppendUnicodeToString";
        return static_cast<uint32_t>(objects.AppendUnicodeToString(a.Optional<UNICODE_STRING>(destination, routine),
                                                                   a.Text<WCHAR>(source, routine)));
    };
    r.RtlFreeUnicodeString = [&objects, a](Address string) {
        objects.FreeUnicodeString(a.Optional<UNICODE_STRING>(string, "RtlFreeUnicodeString"));
    };
    r.RtlFreeAnsiString = [&objects, a](Address string) {
        objects.FreeAnsiString(a.Optional<ANSI_STRING>(string, "RtlFreeAnsiString"));
    };
}

}  // namespace

image::PlatformRoutines ImageRoutines(VideoPort& port, Kernel& kernel) {
    image::PlatformRoutines routines;
    Arguments arguments(kernel);
    FillVideoPortRoutines(routines, port, arguments);
    FillKernelRoutines(routines, kernel, arguments);
    return routines;
}

}  // namespace sim
