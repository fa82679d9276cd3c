#include "routines.h"

#include "platform_routines.h"

namespace sim::image {

namespace {

constexpr ImportedRoutine FromRow(const PlatformRoutine& row) {
    ImportedRoutine routine{ModuleFile(row.module),   row.name,  row.convention,         row.argumentBytes,
                            row.binding.result,       row.binding.arguments, row.binding.argumentCount,
                            row.binding.invoke,       row.binding.provided};
    // A cdecl routine has a variable argument list: its member takes the fixed arguments and then
    // the address of the first variable one.
    routine.variadic = row.convention == Convention::Cdecl;
    return routine;
}

constexpr auto MakeTable() {
    std::array<ImportedRoutine, std::size(PlatformRoutineTable)> table{};
    for (size_t i = 0; i < table.size(); ++i) table[i] = FromRow(PlatformRoutineTable[i]);
    return table;
}

constexpr auto Table = MakeTable();

// A row whose argument bytes disagree with its member's signature, or the same routine twice.
constexpr bool RowsAgreeWithTheirMembers() {
    for (size_t i = 0; i < std::size(PlatformRoutineTable); ++i) {
        const PlatformRoutine& row = PlatformRoutineTable[i];
        if (row.binding.argumentBytes != row.argumentBytes) return false;
        if (row.convention == Convention::Fastcall && row.binding.hasQword) return false;   // 32-bit arguments only
        for (size_t j = i + 1; j < std::size(PlatformRoutineTable); ++j) {
            if (PlatformRoutineTable[j].name == row.name) return false;
        }
    }
    return true;
}
static_assert(RowsAgreeWithTheirMembers(),
              "a row's argument bytes disagree with its member's signature, or a routine has two rows");

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
