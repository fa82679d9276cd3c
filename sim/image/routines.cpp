#include "routines.h"

#include <type_traits>
#include <utility>

#include "platform_routines.h"

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

// The binding of one routine of the table of platform routines to its member; fails to compile
// when the routine has no row, or its row's argument bytes disagree with the member's signature.
template <auto Member>
consteval ImportedRoutine Bind(std::string_view name) {
    using S = SignatureOf<Member>;
    const PlatformRoutine* row = FindRoutine(name);
    if (!row) throw "the routine has no row in the table of platform routines";
    if (S::Bytes != row->argumentBytes) throw "the argument bytes disagree with the routine's signature";
    if (row->convention == Convention::Fastcall && S::HasQword) throw "fastcall routines here take 32-bit arguments only";
    ImportedRoutine routine{ModuleFile(row->module), row->name, row->convention, row->argumentBytes, S::Result(),
                            S::Kinds(),              S::Count,  &InvokeMember<Member>, &MemberSet<Member>};
    // A cdecl routine has a variable argument list: its member takes the fixed arguments and then
    // the address of the first variable one.
    routine.variadic = row->convention == Convention::Cdecl;
    return routine;
}

#define BIND(name) Bind<&PlatformRoutines::name>(#name)

constexpr ImportedRoutine Table[] = {
    BIND(VideoPortInitialize),
    BIND(VideoPortGetAccessRanges),
    BIND(VideoPortVerifyAccessRanges),
    BIND(VideoPortGetDeviceBase),
    BIND(VideoPortFreeDeviceBase),
    BIND(VideoPortGetBusData),
    BIND(VideoPortSetBusData),
    BIND(VideoPortReadPortUchar),
    BIND(VideoPortReadPortUshort),
    BIND(VideoPortReadPortUlong),
    BIND(VideoPortWritePortUchar),
    BIND(VideoPortWritePortUshort),
    BIND(VideoPortWritePortUlong),
    BIND(VideoPortReadRegisterUchar),
    BIND(VideoPortReadRegisterUshort),
    BIND(VideoPortReadRegisterUlong),
    BIND(VideoPortWriteRegisterUchar),
    BIND(VideoPortWriteRegisterUshort),
    BIND(VideoPortWriteRegisterUlong),
    BIND(VideoPortGetRegistryParameters),
    BIND(VideoPortSetRegistryParameters),
    BIND(VideoPortScanRom),
    BIND(VideoPortInt10),
    BIND(VideoPortMapMemory),
    BIND(VideoPortUnmapMemory),
    BIND(VideoPortDDCMonitorHelper),
    BIND(VideoPortStallExecution),
    BIND(VideoPortZeroMemory),
    BIND(VideoPortMoveMemory),
    BIND(VideoPortDebugPrint),
    BIND(VideoPortLogError),
    BIND(ExAllocatePoolWithTag),
    BIND(ExFreePool),
    BIND(IoGetCurrentProcess),
    BIND(MmAllocateContiguousMemory),
    BIND(MmGetPhysicalAddress),
    BIND(ZwOpenSection),
    BIND(ObReferenceObjectByHandle),
    BIND(ObfReferenceObject),
    BIND(ObfDereferenceObject),
    BIND(MmFreeContiguousMemory),
    BIND(KeWaitForSingleObject),
    BIND(ZwMapViewOfSection),
    BIND(ZwClose),
    BIND(ZwOpenKey),
    BIND(ZwQueryValueKey),
    BIND(ZwSetValueKey),
    BIND(ZwCreateFile),
    BIND(RtlInitUnicodeString),
    BIND(RtlInitAnsiString),
    BIND(RtlAnsiStringToUnicodeString),
    BIND(RtlUnicodeStringToAnsiString),
    BIND(RtlAppendUnicodeToString),
    BIND(RtlFreeUnicodeString),
    BIND(RtlFreeAnsiString),
};

#undef BIND

constexpr bool EveryRowBoundOnce() {
    if (std::size(Table) != std::size(PlatformRoutineTable)) return false;
    for (size_t i = 0; i < std::size(Table); ++i) {
        for (size_t j = i + 1; j < std::size(Table); ++j) {
            if (Table[i].name == Table[j].name) return false;
        }
    }
    return true;
}
static_assert(EveryRowBoundOnce(), "every routine of the table of platform routines is bound once");

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
