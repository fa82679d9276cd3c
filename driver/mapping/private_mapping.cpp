// The driver's own mapping requests, sent by the user-mode 3D drivers: views of the register and
// frame buffer windows in one request and their undo, the lookup of a recorded mapping, physically
// contiguous kernel memory, and user views of such memory through the physical memory section.
//
// Contiguous blocks are handed out only within a per-adapter bound, each with its owner, and a
// physical view is made only of a range inside a block of the calling process: nobody can map the
// kernel's memory or another device through these requests. A block starts on the physical memory
// section's 64 KiB mapping granularity, so a view of any part of it starts inside the block too.
// A block holds a reference to its owner's process object, and is freed at the first request after
// the owner has ended (its views went with it): the block never passes to a process started later
// at the same object address.
#include "dispatch/control_codes.h"
#include "mapping/mapping.h"
#include "modes/mode_tables.h"

// The bound on contiguous memory per adapter.
constexpr ULONG MaxContiguousBlocks = 16;
constexpr ULONG MaxContiguousBytes = 16u << 20;
// The physical memory section maps from offsets rounded down to this granularity.
constexpr ULONG SectionGranularity = 0x10000;
constexpr ULONG HighestContiguousAddress = 0xFFFFFFFF;

struct ContiguousBlock {
    ADDRESS32 address;      // kernel virtual address handed out, on the section's granularity; 0: free
    ADDRESS32 allocation;   // what MmAllocateContiguousMemory returned
    ULONG length;           // bytes asked for
    ULONG owner;            // the process it was handed to
};

// The blocks handed out for one adapter (the adapter state record has no room for them).
struct ContiguousBlocks {
    AdapterState* adapter;   // null: unused
    ULONG totalBytes;
    ContiguousBlock blocks[MaxContiguousBlocks];
};

static ContiguousBlocks contiguousBlocks[MaxAdapters] DRIVER_IMAGE_DATA;

// The adapter's block table; a free table is claimed for an adapter that has none when `claim`.
static ContiguousBlocks* BlocksOf(AdapterState* adapter, bool claim) {
    for (ULONG i = 0; i < MaxAdapters; ++i) {
        if (contiguousBlocks[i].adapter == adapter) return &contiguousBlocks[i];
    }
    for (ULONG i = 0; claim && i < MaxAdapters; ++i) {
        if (contiguousBlocks[i].adapter != nullptr) continue;
        contiguousBlocks[i].adapter = adapter;
        return &contiguousBlocks[i];
    }
    return nullptr;
}

// --- Aperture views -----------------------------------------------------------------------------

VP_STATUS MapApertures(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    if (packet->InputBufferLength < sizeof(ULONG)) return ERROR_INSUFFICIENT_BUFFER;
    packet->StatusBlock->Information = sizeof(ApertureMap);
    if (packet->OutputBufferLength < sizeof(ApertureMap)) return ERROR_INSUFFICIENT_BUFFER;

    PVOID target = TargetProcess(PointerOf(*static_cast<ADDRESS32*>(packet->InputBuffer)));
    ApertureMap* out = static_cast<ApertureMap*>(packet->OutputBuffer);

    const VIDEO_ACCESS_RANGE& registers = adapter->mappedRanges[RegisterRange];
    out->registerInIoSpace = registers.RangeInIoSpace;
    out->registerMappedInIoSpace = registers.RangeInIoSpace;
    ULONG length = registers.RangeLength;
    VP_STATUS status =
        MapWindow(adapter, RegisterRange, out->registerMappedInIoSpace, target, &length, &out->registerAddress);
    if (status != NO_ERROR) return status;
    RecordMapping(adapter, out->registerAddress);

    const VIDEO_ACCESS_RANGE& frameBuffer = adapter->mappedRanges[FrameBufferRange];
    out->frameBufferInIoSpace = frameBuffer.RangeInIoSpace;
    out->frameBufferMappedInIoSpace = FrameBufferInIoSpace(adapter);
    length = frameBuffer.RangeLength;
    status = MapWindow(adapter, FrameBufferRange, out->frameBufferMappedInIoSpace, target, &length,
                       &out->frameBufferAddress);
    if (status != NO_ERROR) {
        // The caller receives no output on a failure and could never unmap the register view. When
        // the view cannot be undone it stays recorded: FIND_MAPPING still finds it, and
        // UNMAP_APERTURES with no frame buffer address removes it.
        if (VideoPortUnmapMemory(adapter, PointerOf(out->registerAddress), target) == NO_ERROR) {
            ReleaseMapping(adapter, out->registerAddress);
        }
        return status;
    }
    RecordMapping(adapter, out->frameBufferAddress);
    return NO_ERROR;
}

VP_STATUS UnmapApertures(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    if (packet->InputBufferLength < sizeof(ApertureUnmap)) return ERROR_INSUFFICIENT_BUFFER;
    const ApertureUnmap* in = static_cast<const ApertureUnmap*>(packet->InputBuffer);
    const ADDRESS32 registerAddress = in->registerAddress;
    const ADDRESS32 frameBufferAddress = in->frameBufferAddress;
    PVOID target = TargetProcess(PointerOf(in->processHandle));
    if (registerAddress == 0) return ERROR_INVALID_PARAMETER;
    // Both addresses are checked before either view goes: a wrong one changes nothing. A frame
    // buffer address of 0 names no view (a register view left by a failed map).
    if (!IsRecorded(adapter, registerAddress)) return ERROR_INVALID_PARAMETER;
    if (frameBufferAddress != 0 && !IsRecorded(adapter, frameBufferAddress)) return ERROR_INVALID_PARAMETER;

    VP_STATUS status = VideoPortUnmapMemory(adapter, PointerOf(registerAddress), target);
    if (status != NO_ERROR) return status;
    ReleaseMapping(adapter, registerAddress);
    // The frame buffer view goes too: a live view the registry no longer knows could never be undone.
    if (frameBufferAddress == 0) return NO_ERROR;
    status = VideoPortUnmapMemory(adapter, PointerOf(frameBufferAddress), target);
    if (status != NO_ERROR) return status;
    ReleaseMapping(adapter, frameBufferAddress);
    return NO_ERROR;
}

VP_STATUS LookUpMapping(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    packet->StatusBlock->Information = sizeof(MappingLookup);
    if (packet->OutputBufferLength < sizeof(MappingLookup)) return ERROR_INSUFFICIENT_BUFFER;
    // The address is read: it must come from the caller.
    if (packet->InputBufferLength < sizeof(ADDRESS32)) return ERROR_INSUFFICIENT_BUFFER;

    const ADDRESS32 address = *static_cast<const ADDRESS32*>(packet->InputBuffer);
    const ADDRESS32 mapping = FindMapping(adapter, address);
    MappingLookup* out = static_cast<MappingLookup*>(packet->OutputBuffer);
    out->address = address;
    out->mapping = mapping;
    return mapping != 0 ? NO_ERROR : ERROR_INVALID_PARAMETER;
}

// --- Contiguous memory --------------------------------------------------------------------------

// An entry of the table that holds no block, or null when all do.
static ContiguousBlock* FreeEntry(ContiguousBlocks* table) {
    for (ULONG i = 0; i < MaxContiguousBlocks; ++i) {
        if (table->blocks[i].address == 0) return &table->blocks[i];
    }
    return nullptr;
}

// A block of `length` bytes for the calling process, starting on the section granularity; 0 when the
// adapter's bound is reached or the system has no such memory.

static ADDRESS32 AllocateBlock(AdapterState* adapter, ULONG length) {
    ContiguousBlocks* table = BlocksOf(adapter, true);
    ContiguousBlock* block = table != nullptr ? FreeEntry(table) : nullptr;
    if (length == 0 || block == nullptr) return 0;
    if (length > MaxContiguousBytes - table->totalBytes) return 0;

    // Room to move the start up to the next granularity boundary.
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = HighestContiguousAddress;
    const ULONG allocated = length + (SectionGranularity - 1);
    PVOID memory = MmAllocateContiguousMemory(allocated, highest);
    if (memory == nullptr) return 0;
    // The memory holds what earlier owners left there; the caller's view must not show it.
    VideoPortZeroMemory(memory, allocated);
    const ULONG physical = MmGetPhysicalAddress(memory).LowPart;
    const ULONG skip = (SectionGranularity - (physical & (SectionGranularity - 1))) & (SectionGranularity - 1);

    block->address = AddressOf(memory) + skip;
    block->allocation = AddressOf(memory);
    block->length = length;
    block->owner = CallingProcess();
    ObfReferenceObject(IoGetCurrentProcess());
    table->totalBytes += length;
    return block->address;
}

void ForgetEndedBlocks(AdapterState* adapter) {
    ContiguousBlocks* table = BlocksOf(adapter, false);
    for (ULONG i = 0; table != nullptr && i < MaxContiguousBlocks; ++i) {
        ContiguousBlock& block = table->blocks[i];
        if (block.address == 0 || !ProcessHasEnded(block.owner)) continue;
        const ULONG owner = block.owner;
        MmFreeContiguousMemory(PointerOf(block.allocation));
        table->totalBytes -= block.length;
        block.address = 0;
        block.allocation = 0;
        block.length = 0;
        block.owner = 0;
        ObfDereferenceObject(PointerOf(owner));
    }
}

// True when [address, address + length) lies inside one block of the calling process.
static bool InsideOwnBlock(AdapterState* adapter, ADDRESS32 address, ULONG length) {
    const ContiguousBlocks* table = BlocksOf(adapter, false);
    if (length == 0 || table == nullptr) return false;
    const ULONG process = CallingProcess();
    for (ULONG i = 0; i < MaxContiguousBlocks; ++i) {
        const ContiguousBlock& block = table->blocks[i];
        if (block.address == 0 || block.owner != process || address - block.address >= block.length) continue;
        return length <= block.length - (address - block.address);
    }
    return false;
}

VP_STATUS AllocateContiguous(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    if (packet->InputBufferLength < sizeof(ULONG)) return ERROR_INSUFFICIENT_BUFFER;
    // Checked before the work: a block whose address cannot be returned would be lost.
    packet->StatusBlock->Information = sizeof(ADDRESS32);
    if (packet->OutputBufferLength < sizeof(ADDRESS32)) return ERROR_INSUFFICIENT_BUFFER;

    const ULONG length = *static_cast<const ULONG*>(packet->InputBuffer);
    *static_cast<ADDRESS32*>(packet->OutputBuffer) = AllocateBlock(adapter, length);
    return NO_ERROR;
}

// --- Physical views -----------------------------------------------------------------------------

VP_STATUS MapPhysicalPages(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    if (packet->InputBufferLength < sizeof(PhysicalPages)) return ERROR_INSUFFICIENT_BUFFER;
    // Checked before the work: a view whose address cannot be returned would be lost.
    packet->StatusBlock->Information = sizeof(ADDRESS32);
    if (packet->OutputBufferLength < sizeof(ADDRESS32)) return ERROR_INSUFFICIENT_BUFFER;

    const PhysicalPages* in = static_cast<const PhysicalPages*>(packet->InputBuffer);
    const ADDRESS32 address = in->address;
    const ULONG length = in->length;
    ADDRESS32 view = 0;
    if (InsideOwnBlock(adapter, address, length)) {
        // A block is physically contiguous: its first address gives the physical range.
        view = MapPhysicalRange(MmGetPhysicalAddress(PointerOf(address)), length);
    }
    *static_cast<ADDRESS32*>(packet->OutputBuffer) = view;
    return NO_ERROR;
}

// The name and attributes of the physical memory section. The kernel reads them, and the name's
// text, by address, so they are built in pool memory rather than on the stack.
struct SectionOpen {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    WCHAR text[sizeof("\\Device\\PhysicalMemory")];
};

constexpr ULONG MappingPoolTag = 0x70614D5A;   // "ZMap" in memory order

// A handle to the physical memory section, or null.
static HANDLE OpenPhysicalMemory() {
    static const WCHAR sectionName[] = WIDE("\\Device\\PhysicalMemory");
    SectionOpen* open = static_cast<SectionOpen*>(ExAllocatePoolWithTag(PagedPool, sizeof(SectionOpen), MappingPoolTag));
    if (open == nullptr) return nullptr;
    for (ULONG i = 0; i < sizeof(sectionName) / sizeof(sectionName[0]); ++i) open->text[i] = sectionName[i];
    RtlInitUnicodeString(&open->name, open->text);
    // A kernel handle: in the caller's table, any thread of the caller could map all of physical
    // memory through it while it is open.
    InitializeObjectAttributes(&open->attributes, &open->name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    HANDLE section = nullptr;
    NTSTATUS status = ZwOpenSection(&section, SECTION_ALL_ACCESS, &open->attributes);
    ExFreePool(open);
    return NT_SUCCESS(status) ? section : nullptr;
}

ADDRESS32 MapPhysicalRange(PHYSICAL_ADDRESS physical, ULONG length) {
    // The view starts at the granularity boundary below the range and reaches its end.
    const ULONG lead = physical.LowPart & (SectionGranularity - 1);
    if (length > 0xFFFFFFFF - lead) return 0;
    HANDLE section = OpenPhysicalMemory();
    if (section == nullptr) return 0;
    PVOID object = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(section, SECTION_ALL_ACCESS, nullptr, KernelMode, &object, nullptr))) {
        ZwClose(section);
        return 0;
    }
    // The reference only confirmed the section; the view keeps the section alive.
    ObfDereferenceObject(object);

    LARGE_INTEGER offset;
    offset.QuadPart = physical.QuadPart - lead;
    SIZE_T viewSize = lead + length;
    PVOID base = nullptr;
    NTSTATUS status = ZwMapViewOfSection(section, NtCurrentProcess(), &base, 0, viewSize, &offset, &viewSize, ViewUnmap,
                                         0, PAGE_READWRITE | PAGE_NOCACHE);
    ZwClose(section);
    if (!NT_SUCCESS(status)) return 0;
    // The system returns the offset it used; the result addresses the physical address itself.
    return AddressOf(base) + (physical.LowPart - offset.LowPart);
}
