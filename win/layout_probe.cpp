// Sizes, field offsets and control codes of the platform records as this compiler lays them out,
// in one section that the build extracts for the host's layout test: the entry count, then the
// entries.
#include <stddef.h>

#include "layout_list.h"
#include "platform/videoport.h"

#define LAYOUT_RECORD(type) sizeof(type),
#define LAYOUT_FIELD(type, field) offsetof(type, field),
#define LAYOUT_CODE(code) static_cast<unsigned int>(code),

static const unsigned int entries[] = {LAYOUT_ENTRIES};
constexpr unsigned int entryCount = sizeof(entries) / sizeof(entries[0]);

// The entry count first: the section may be padded behind the entries.
struct Layout {
    unsigned int count;
    unsigned int values[entryCount];
};
extern "C" __attribute__((section(".layout"), used)) const Layout zarnLayout = {entryCount, {LAYOUT_ENTRIES}};
