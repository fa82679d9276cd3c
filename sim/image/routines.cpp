#include "routines.h"

#include <type_traits>
#include <utility>

namespace sim::image {

namespace {

// What the signature of a PlatformRoutines member says about its stack frame.
template <class F>
struct Signature;

template <class R, class... A>
struct Signature<std::function<R(A...)>> {
    static_assert((std::is_unsigned_v<A> && ...), "arguments are unsigned i386 values");
    static_assert(std::is_void_v<R> || std::is_unsigned_v<R>, "results are unsigned i386 values");

    static constexpr uint32_t SlotsOf(size_t size) { return size == 8 ? 2 : 1; }
    static constexpr uint32_t Bytes = (0u + ... + (4 * SlotsOf(sizeof(A))));
    static constexpr bool HasQword = ((sizeof(A) == 8) || ... || false);
    static constexpr uint8_t Count = sizeof...(A);

    static constexpr ResultWidth Result() {
        if constexpr (std::is_void_v<R>) return ResultWidth::None;
        else return sizeof(R) == 8 ? ResultWidth::Qword : ResultWidth::Dword;
    }

    static constexpr ArgumentKind KindOf(size_t size) {
        return size == 1 ? ArgumentKind::Byte : size == 2 ? ArgumentKind::Word : size == 4 ? ArgumentKind::Dword : ArgumentKind::Qword;
    }
    static constexpr std::array<ArgumentKind, MaxArguments> Kinds() {
        std::array<ArgumentKind, MaxArguments> kinds{};
        size_t sizes[] = {sizeof(A)..., 0};
        for (size_t i = 0; i < sizeof...(A); ++i) kinds[i] = KindOf(sizes[i]);
        return kinds;
    }
    // The first slot of each argument.
    static constexpr std::array<uint32_t, sizeof...(A)> Offsets() {
        std::array<uint32_t, sizeof...(A)> offsets{};
        size_t sizes[] = {sizeof(A)..., 0};
        uint32_t slot = 0;
        for (size_t i = 0; i < sizeof...(A); ++i) {
            offsets[i] = slot;
            slot += SlotsOf(sizes[i]);
        }
        return offsets;
    }

    template <class T>
    static T Decode(std::span<const uint32_t> slots, uint32_t at) {
        if constexpr (sizeof(T) == 8) return slots[at] | uint64_t{slots[at + 1]} << 32;
        else return static_cast<T>(slots[at]);
    }

    template <size_t... I>
    static uint64_t Call(const std::function<R(A...)>& routine, std::span<const uint32_t> slots, std::index_sequence<I...>) {
        static constexpr auto offsets = Offsets();
        if constexpr (std::is_void_v<R>) {
            routine(Decode<A>(slots, offsets[I])...);
            return 0;
        } else {
            return routine(Decode<A>(slots, offsets[I])...);
        }
    }
    static uint64_t Invoke(const std::function<R(A...)>& routine, std::span<const uint32_t> slots) {
        return Call(routine, slots, std::index_sequence_for<A...>{});
    }
};

template <auto Member>
struct MemberOf;

template <class F, F PlatformRoutines::*Member>
struct MemberOf<Member> {
    using Function = F;
};

template <auto Member>
using SignatureOf = Signature<typename MemberOf<Member>::Function>;

template <auto Member>
uint64_t InvokeMember(const PlatformRoutines& routines, std::span<const uint32_t> slots) {
    return SignatureOf<Member>::Invoke(routines.*Member, slots);
}

template <auto Member>
bool MemberSet(const PlatformRoutines& routines) {
    return static_cast<bool>(routines.*Member);
}

// One row of the table; fails to compile when the decorated name's byte count disagrees with the
// member's signature.
template <auto Member>
consteval ImportedRoutine Routine(std::string_view dll, std::string_view name, uint32_t argumentBytes,
                              Convention convention) {
    using S = SignatureOf<Member>;
    if (S::Bytes != argumentBytes) throw "the argument bytes disagree with the routine's signature";
    if (convention == Convention::Fastcall && S::HasQword) throw "fastcall routines here take 32-bit arguments only";
    return ImportedRoutine{dll,       name,       convention, argumentBytes,         S::Result(),
                       S::Kinds(), S::Count, &InvokeMember<Member>, &MemberSet<Member>};
}

// A cdecl routine with a variable argument list: its member takes the fixed arguments and then the
// address of the first variable one.
template <auto Member>
consteval ImportedRoutine VariadicRoutine(std::string_view dll, std::string_view name) {
    // Built here rather than through Routine: clang 14 refuses a consteval call that takes this
    // function's parameters.
    using S = SignatureOf<Member>;
    ImportedRoutine routine{dll,        name,     Convention::Cdecl,     S::Bytes,           S::Result(),
                            S::Kinds(), S::Count, &InvokeMember<Member>, &MemberSet<Member>};
    routine.variadic = true;
    return routine;
}

constexpr std::string_view VideoPort = "videoprt.sys";
constexpr std::string_view Kernel = "ntoskrnl.exe";

#define STDCALL(dll, name, bytes) Routine<&PlatformRoutines::name>(dll, #name, bytes, Convention::Stdcall)
#define FASTCALL(dll, name, bytes) Routine<&PlatformRoutines::name>(dll, #name, bytes, Convention::Fastcall)
#define VARIADIC(dll, name) VariadicRoutine<&PlatformRoutines::name>(dll, #name)

// The byte counts are those of the decorated names in the mingw-w64 import libraries libvideoprt.a
// and libntoskrnl.a (_Name@N for stdcall, @Name@N for fastcall).
constexpr ImportedRoutine Table[] = {
    STDCALL(VideoPort, VideoPortInitialize, 16),
    STDCALL(VideoPort, VideoPortGetAccessRanges, 32),
    STDCALL(VideoPort, VideoPortVerifyAccessRanges, 12),
    STDCALL(VideoPort, VideoPortGetDeviceBase, 20),
    STDCALL(VideoPort, VideoPortFreeDeviceBase, 8),
    STDCALL(VideoPort, VideoPortGetBusData, 24),
    STDCALL(VideoPort, VideoPortSetBusData, 24),
    STDCALL(VideoPort, VideoPortReadPortUchar, 4),
    STDCALL(VideoPort, VideoPortReadPortUshort, 4),
    STDCALL(VideoPort, VideoPortReadPortUlong, 4),
    STDCALL(VideoPort, VideoPortWritePortUchar, 8),
    STDCALL(VideoPort, VideoPortWritePortUshort, 8),
    STDCALL(VideoPort, VideoPortWritePortUlong, 8),
    STDCALL(VideoPort, VideoPortReadRegisterUchar, 4),
    STDCALL(VideoPort, VideoPortReadRegisterUshort, 4),
    STDCALL(VideoPort, VideoPortReadRegisterUlong, 4),
    STDCALL(VideoPort, VideoPortWriteRegisterUchar, 8),
    STDCALL(VideoPort, VideoPortWriteRegisterUshort, 8),
    STDCALL(VideoPort, VideoPortWriteRegisterUlong, 8),
    STDCALL(VideoPort, VideoPortGetRegistryParameters, 20),
    STDCALL(VideoPort, VideoPortSetRegistryParameters, 16),
    STDCALL(VideoPort, VideoPortScanRom, 16),
    STDCALL(VideoPort, VideoPortInt10, 8),
    STDCALL(VideoPort, VideoPortMapMemory, 24),
    STDCALL(VideoPort, VideoPortUnmapMemory, 12),
    STDCALL(VideoPort, VideoPortDDCMonitorHelper, 16),
    STDCALL(VideoPort, VideoPortStallExecution, 4),
    STDCALL(VideoPort, VideoPortZeroMemory, 8),
    STDCALL(VideoPort, VideoPortMoveMemory, 12),
    VARIADIC(VideoPort, VideoPortDebugPrint),
    STDCALL(VideoPort, VideoPortLogError, 16),

    STDCALL(Kernel, ExAllocatePoolWithTag, 12),
    STDCALL(Kernel, ExFreePool, 4),
    STDCALL(Kernel, IoGetCurrentProcess, 0),
    STDCALL(Kernel, MmAllocateContiguousMemory, 12),
    STDCALL(Kernel, MmGetPhysicalAddress, 4),
    STDCALL(Kernel, ZwOpenSection, 12),
    STDCALL(Kernel, ObReferenceObjectByHandle, 24),
    FASTCALL(Kernel, ObfReferenceObject, 4),
    FASTCALL(Kernel, ObfDereferenceObject, 4),
    STDCALL(Kernel, MmFreeContiguousMemory, 4),
    STDCALL(Kernel, KeWaitForSingleObject, 20),
    STDCALL(Kernel, ZwMapViewOfSection, 40),
    STDCALL(Kernel, ZwClose, 4),
    STDCALL(Kernel, ZwOpenKey, 12),
    STDCALL(Kernel, ZwQueryValueKey, 24),
    STDCALL(Kernel, ZwSetValueKey, 24),
    STDCALL(Kernel, ZwCreateFile, 44),
    STDCALL(Kernel, RtlInitUnicodeString, 8),
    STDCALL(Kernel, RtlInitAnsiString, 8),
    STDCALL(Kernel, RtlAnsiStringToUnicodeString, 12),
    STDCALL(Kernel, RtlUnicodeStringToAnsiString, 12),
    STDCALL(Kernel, RtlAppendUnicodeToString, 8),
    STDCALL(Kernel, RtlFreeUnicodeString, 4),
    STDCALL(Kernel, RtlFreeAnsiString, 4),
};

#undef STDCALL
#undef FASTCALL
#undef VARIADIC

}  // namespace

std::span<const ImportedRoutine> RoutineTable() { return Table; }

std::vector<std::string> UnsetRoutines(const PlatformRoutines& routines, std::span<const ImportedRoutine> table) {
    std::vector<std::string> unset;
    for (const ImportedRoutine& entry : table) {
        if (!entry.provided(routines)) unset.push_back(std::string(entry.dll) + "!" + std::string(entry.name));
    }
    return unset;
}

}  // namespace sim::image
