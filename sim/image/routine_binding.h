// How the image runner calls a member of PlatformRoutines from the i386 stack slots of a call: what
// the member's signature says about its frame (argument kinds, slots and bytes, result width), and
// the functions that decode the slots and call it. The table of platform routines binds each row
// to its member with ZARN_BOUND(name).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <type_traits>
#include <utility>

#include "routines.h"

namespace sim::image {

// What a routine's member takes and returns, for its row of the table.
struct RoutineBinding {
    uint32_t argumentBytes;   // the stack bytes its signature takes
    bool hasQword;
    ResultWidth result;
    std::array<ArgumentKind, MaxArguments> arguments;
    uint8_t argumentCount;
    uint64_t (*invoke)(const PlatformRoutines& routines, std::span<const uint32_t> slots);
    bool (*provided)(const PlatformRoutines& routines);
};

namespace binding {

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

template <auto Member>
constexpr RoutineBinding Bind() {
    using S = SignatureOf<Member>;
    return RoutineBinding{S::Bytes, S::HasQword, S::Result(), S::Kinds(), S::Count, &InvokeMember<Member>,
                          &MemberSet<Member>};
}

}  // namespace binding

// A row's name and its binding to the member of the same name.
#define ZARN_BOUND(name) #name, ::sim::image::binding::Bind<&::sim::image::PlatformRoutines::name>()

}  // namespace sim::image
