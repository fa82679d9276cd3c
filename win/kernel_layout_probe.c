/* The kernel records and constants of the layout list as the published wdm.h lays them out, in one
   section that the build extracts for the host's layout test: the entry count, then the entries.
   C, because wdm.h does not compile as C++ with this tool chain. */
#include <ntddk.h>
#include <stddef.h>

#include "layout_list.h"

#define LAYOUT_RECORD(type) sizeof(type),
#define LAYOUT_FIELD(type, field) offsetof(type, field),
#define LAYOUT_CODE(code) (unsigned int)(code),

static const unsigned int entries[] = {LAYOUT_KERNEL_ENTRIES};
enum { EntryCount = sizeof(entries) / sizeof(entries[0]) };

struct Layout {
    unsigned int count;
    unsigned int values[EntryCount];
};
__attribute__((section(".layout"), used)) const struct Layout zarnKernelLayout = {EntryCount, {LAYOUT_KERNEL_ENTRIES}};
