// How a fuzz input names a served control code or a platform routine that fails: by its place in a
// list that only grows at its end (ServedCodes in driver/dispatch/served_codes.h, ZARN_INJECTABLE_CALLS
// in sim/support/faults.h), the input's byte taken modulo a fixed number of places. A code or routine
// added later takes a place no earlier one held, so a stored input names the same code and routine
// as before; only a byte that named an empty place (code 0, which no driver serves; no routine
// failing) names the newcomer. Places run out at 32 entries: widening them changes stored inputs.
#pragma once

#include <cstdint>
#include <iterator>

#include "dispatch/served_codes.h"
#include "support/faults.h"

namespace fuzzpicks {

constexpr unsigned CodePlaces = 32;
constexpr unsigned RoutinePlaces = 32;
static_assert(std::size(ServedCodes) <= CodePlaces, "more served codes than places: widening them changes stored inputs");
static_assert(static_cast<unsigned>(sim::PlatformCall::Count) <= RoutinePlaces,
              "more injectable routines than places: widening them changes stored inputs");

// The served code a byte names; 0 for a place no code holds yet.
inline uint32_t CodeAt(uint8_t selector) {
    const unsigned place = selector % CodePlaces;
    return place < std::size(ServedCodes) ? ServedCodes[place].code : 0;
}

// The routine a byte names; false for a place no routine holds yet.
inline bool RoutineAt(uint8_t selector, sim::PlatformCall* call) {
    const unsigned place = selector % RoutinePlaces;
    if (place >= static_cast<unsigned>(sim::PlatformCall::Count)) return false;
    *call = static_cast<sim::PlatformCall>(place);
    return true;
}

}  // namespace fuzzpicks
