// The offsets of the adapter state record's fields that zarnsim's report reads, as this compiler
// lays the record out, in one section that the build extracts: the entry count, then the offsets.
#include <stddef.h>

#include "adapter/adapter_state.h"
#include "adapter_layout_list.h"

#define ADAPTER_OFFSET(field) static_cast<unsigned int>(offsetof(AdapterState, field)),

static const unsigned int offsets[] = {ADAPTER_LAYOUT_FIELDS(ADAPTER_OFFSET)};
constexpr unsigned int offsetCount = sizeof(offsets) / sizeof(offsets[0]);

struct Layout {
    unsigned int count;
    unsigned int values[offsetCount];
};
extern "C" __attribute__((section(".layout"), used)) const Layout zarnAdapterLayout = {
    offsetCount, {ADAPTER_LAYOUT_FIELDS(ADAPTER_OFFSET)}};
