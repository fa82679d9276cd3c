// Host build: the platform's types, records, control codes and routines, declared for Linux and
// implemented by the simulated machine.
//
// Every record keeps the i386 layout of the published headers. A pointer inside a record is a
// 32-bit address of the simulated machine (Ptr32), and a callback inside a record is a 32-bit code
// address (Code32); both convert to and from the native pointer, so a line of driver code reads the
// same against both builds. Routine arguments are native pointers.
#pragma once

#include <cstddef>
#include <cstdint>

#define NTAPI
#define IN
#define OUT
#define OPTIONAL

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int16_t SHORT;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint64_t ULONGLONG;
typedef int64_t LONGLONG;
typedef uintptr_t ULONG_PTR;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef char16_t WCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef LONG NTSTATUS;
typedef ULONG VP_STATUS;
typedef PVOID HANDLE;

#define TRUE 1
#define FALSE 0

#define WIDE(text) u##text

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
} LARGE_INTEGER, PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

// --- Addresses of the simulated machine -------------------------------------------------------

// Implemented by the simulated machine: a 32-bit address to the host pointer behind it (the memory
// itself when the machine backs that address with host memory, otherwise the address as a pointer
// value that must not be dereferenced), and back.
extern "C" void* ZarnHostPointer(ULONG address);
extern "C" ULONG ZarnHostAddress(const void* pointer);
extern "C" void (*ZarnHostCode(ULONG address))();
extern "C" ULONG ZarnHostCodeAddress(void (*code)());

// A pointer field of a platform record: 4 bytes, as on i386.
template <class T>
struct Ptr32 {
    ULONG address;

    Ptr32& operator=(T* pointer) {
        address = ZarnHostAddress(pointer);
        return *this;
    }
    operator T*() const { return static_cast<T*>(ZarnHostPointer(address)); }
    T* operator->() const { return static_cast<T*>(ZarnHostPointer(address)); }
};

template <>
struct Ptr32<void> {
    ULONG address;

    Ptr32& operator=(const void* pointer) {
        address = ZarnHostAddress(pointer);
        return *this;
    }
    operator void*() const { return ZarnHostPointer(address); }
    template <class U>
    explicit operator U*() const {
        return static_cast<U*>(ZarnHostPointer(address));
    }
};

// A callback field of a platform record: a 4-byte code address, as on i386.
template <class F>
struct Code32 {
    ULONG address;

    Code32& operator=(F function) {
        address = function ? ZarnHostCodeAddress(reinterpret_cast<void (*)()>(function)) : 0;
        return *this;
    }
    operator F() const { return reinterpret_cast<F>(ZarnHostCode(address)); }
};

// A 32-bit address as requests carry it.
typedef ULONG ADDRESS32;

static inline ADDRESS32 AddressOf(const void* pointer) { return ZarnHostAddress(pointer); }
static inline PVOID PointerOf(ADDRESS32 address) { return ZarnHostPointer(address); }

// Mutable driver-wide data lives in one section, which the simulated loader gives every load of the
// image fresh, as Windows does when it loads the driver.
#define DRIVER_IMAGE_DATA __attribute__((section("zarn_image_data")))

// --- Status values ----------------------------------------------------------------------------

#define NO_ERROR 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_DEV_NOT_EXIST 55
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_MORE_DATA 234
#define ERROR_NO_MORE_DEVICES 1248

#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)
#define STATUS_REVISION_MISMATCH ((NTSTATUS)0xC0000059)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000E)

// --- Enumerations -----------------------------------------------------------------------------

typedef enum _INTERFACE_TYPE {
    InterfaceTypeUndefined = -1,
    Internal,
    Isa,
    Eisa,
    MicroChannel,
    TurboChannel,
    PCIBus,
    VMEBus,
    NuBus,
    PCMCIABus,
    CBus,
    MPIBus,
    MPSABus,
    ProcessorInternal,
    InternalPowerBus,
    PNPISABus,
    PNPBus,
    MaximumInterfaceType
} INTERFACE_TYPE, *PINTERFACE_TYPE;

typedef enum _BUS_DATA_TYPE {
    ConfigurationSpaceUndefined = -1,
    Cmos,
    EisaConfiguration,
    Pos,
    CbusConfiguration,
    PCIConfiguration,
    VMEConfiguration,
    NuBusConfiguration,
    PCMCIAConfiguration,
    MPIConfiguration,
    MPSAConfiguration,
    PNPISAConfiguration,
    SgiInternalConfiguration,
    MaximumBusDataType
} BUS_DATA_TYPE, *PBUS_DATA_TYPE;

typedef enum _KINTERRUPT_MODE { LevelSensitive, Latched } KINTERRUPT_MODE;

typedef enum _VIDEO_CHILD_TYPE { Monitor = 1, NonPrimaryChip, VideoChip, Other } VIDEO_CHILD_TYPE, *PVIDEO_CHILD_TYPE;

typedef enum _VIDEO_POWER_STATE {
    VideoPowerUnspecified = 0,
    VideoPowerOn = 1,
    VideoPowerStandBy,
    VideoPowerSuspend,
    VideoPowerOff,
    VideoPowerHibernate,
    VideoPowerShutdown,
    VideoPowerMaximum
} VIDEO_POWER_STATE, *PVIDEO_POWER_STATE;

#define VIDEO_MEMORY_SPACE_MEMORY 0x00
#define VIDEO_MEMORY_SPACE_IO 0x01
#define VIDEO_MEMORY_SPACE_USER_MODE 0x02
#define VIDEO_MEMORY_SPACE_DENSE 0x04
#define VIDEO_MEMORY_SPACE_P6CACHE 0x08

// --- Records ----------------------------------------------------------------------------------

typedef struct _VIDEO_ACCESS_RANGE {
    PHYSICAL_ADDRESS RangeStart;
    ULONG RangeLength;
    UCHAR RangeInIoSpace;
    UCHAR RangeVisible;
    UCHAR RangeShareable;
    UCHAR RangePassive;
} VIDEO_ACCESS_RANGE, *PVIDEO_ACCESS_RANGE;

typedef struct _EMULATOR_ACCESS_ENTRY {
    ULONG BasePort;
    ULONG NumConsecutivePorts;
    ULONG AccessType;
    UCHAR AccessMode;
    UCHAR StringSupported;
    Ptr32<void> Routine;
} EMULATOR_ACCESS_ENTRY, *PEMULATOR_ACCESS_ENTRY;

typedef struct _VIDEO_PORT_CONFIG_INFO {
    ULONG Length;
    ULONG SystemIoBusNumber;
    INTERFACE_TYPE AdapterInterfaceType;
    ULONG BusInterruptLevel;
    ULONG BusInterruptVector;
    KINTERRUPT_MODE InterruptMode;
    ULONG NumEmulatorAccessEntries;
    Ptr32<EMULATOR_ACCESS_ENTRY> EmulatorAccessEntries;
    ULONG EmulatorAccessEntriesContext;
    PHYSICAL_ADDRESS VdmPhysicalVideoMemoryAddress;
    ULONG VdmPhysicalVideoMemoryLength;
    ULONG HardwareStateSize;
    ULONG DmaChannel;
    ULONG DmaPort;
    UCHAR DmaShareable;
    UCHAR InterruptShareable;
    BOOLEAN Master;
    ULONG DmaWidth;
    ULONG DmaSpeed;
    BOOLEAN bMapBuffers;
    BOOLEAN NeedPhysicalAddresses;
    BOOLEAN DemandMode;
    ULONG MaximumTransferLength;
    ULONG NumberOfPhysicalBreaks;
    BOOLEAN ScatterGather;
    ULONG MaximumScatterGatherChunkSize;
    Ptr32<void> VideoPortGetProcAddress;
    Ptr32<WCHAR> DriverRegistryPath;
    ULONGLONG SystemMemorySize;
} VIDEO_PORT_CONFIG_INFO, *PVIDEO_PORT_CONFIG_INFO;

typedef struct _STATUS_BLOCK {
    union {
        VP_STATUS Status;
        Ptr32<void> Pointer;
    };
    ULONG Information;
} STATUS_BLOCK, *PSTATUS_BLOCK;

typedef struct _VIDEO_REQUEST_PACKET {
    ULONG IoControlCode;
    Ptr32<STATUS_BLOCK> StatusBlock;
    Ptr32<void> InputBuffer;
    ULONG InputBufferLength;
    Ptr32<void> OutputBuffer;
    ULONG OutputBufferLength;
} VIDEO_REQUEST_PACKET, *PVIDEO_REQUEST_PACKET;

typedef struct _VIDEO_X86_BIOS_ARGUMENTS {
    ULONG Eax;
    ULONG Ebx;
    ULONG Ecx;
    ULONG Edx;
    ULONG Esi;
    ULONG Edi;
    ULONG Ebp;
} VIDEO_X86_BIOS_ARGUMENTS, *PVIDEO_X86_BIOS_ARGUMENTS;

typedef struct _VIDEO_CHILD_ENUM_INFO {
    ULONG Size;
    ULONG ChildDescriptorSize;
    ULONG ChildIndex;
    ULONG ACPIHwId;
    Ptr32<void> ChildHwDeviceExtension;
} VIDEO_CHILD_ENUM_INFO, *PVIDEO_CHILD_ENUM_INFO;

typedef struct _VIDEO_MODE_INFORMATION {
    ULONG Length;
    ULONG ModeIndex;
    ULONG VisScreenWidth;
    ULONG VisScreenHeight;
    ULONG ScreenStride;
    ULONG NumberOfPlanes;
    ULONG BitsPerPlane;
    ULONG Frequency;
    ULONG XMillimeter;
    ULONG YMillimeter;
    ULONG NumberRedBits;
    ULONG NumberGreenBits;
    ULONG NumberBlueBits;
    ULONG RedMask;
    ULONG GreenMask;
    ULONG BlueMask;
    ULONG AttributeFlags;
    ULONG VideoMemoryBitmapWidth;
    ULONG VideoMemoryBitmapHeight;
    ULONG DriverSpecificAttributeFlags;
} VIDEO_MODE_INFORMATION, *PVIDEO_MODE_INFORMATION;

#define VIDEO_MODE_COLOR 0x0001
#define VIDEO_MODE_GRAPHICS 0x0002
#define VIDEO_MODE_PALETTE_DRIVEN 0x0004
#define VIDEO_MODE_MANAGED_PALETTE 0x0008

typedef struct _VIDEO_NUM_MODES {
    ULONG NumModes;
    ULONG ModeInformationLength;
} VIDEO_NUM_MODES, *PVIDEO_NUM_MODES;

typedef struct _VIDEO_MODE {
    ULONG RequestedMode;
} VIDEO_MODE, *PVIDEO_MODE;

typedef struct _VIDEO_MEMORY {
    Ptr32<void> RequestedVirtualAddress;
} VIDEO_MEMORY, *PVIDEO_MEMORY;

typedef struct _VIDEO_MEMORY_INFORMATION {
    Ptr32<void> VideoRamBase;
    ULONG VideoRamLength;
    Ptr32<void> FrameBufferBase;
    ULONG FrameBufferLength;
} VIDEO_MEMORY_INFORMATION, *PVIDEO_MEMORY_INFORMATION;

typedef struct _VIDEO_PUBLIC_ACCESS_RANGES {
    ULONG InIoSpace;
    ULONG MappedInIoSpace;
    Ptr32<void> VirtualAddress;
} VIDEO_PUBLIC_ACCESS_RANGES, *PVIDEO_PUBLIC_ACCESS_RANGES;

typedef struct _VIDEO_SHARE_MEMORY {
    Ptr32<void> ProcessHandle;
    ULONG ViewOffset;
    ULONG ViewSize;
    Ptr32<void> RequestedVirtualAddress;
} VIDEO_SHARE_MEMORY, *PVIDEO_SHARE_MEMORY;

typedef struct _VIDEO_SHARE_MEMORY_INFORMATION {
    ULONG SharedViewOffset;
    ULONG SharedViewSize;
    Ptr32<void> VirtualAddress;
} VIDEO_SHARE_MEMORY_INFORMATION, *PVIDEO_SHARE_MEMORY_INFORMATION;

typedef struct _VIDEO_CLUTDATA {
    UCHAR Red;
    UCHAR Green;
    UCHAR Blue;
    UCHAR Unused;
} VIDEO_CLUTDATA, *PVIDEO_CLUTDATA;

typedef struct {
    USHORT NumEntries;
    USHORT FirstEntry;
    union {
        VIDEO_CLUTDATA RgbArray;
        ULONG RgbLong;
    } LookupTable[1];
} VIDEO_CLUT, *PVIDEO_CLUT;

typedef struct _VIDEO_POWER_MANAGEMENT {
    ULONG Length;
    ULONG DPMSVersion;
    ULONG PowerState;
} VIDEO_POWER_MANAGEMENT, *PVIDEO_POWER_MANAGEMENT;

// --- Callbacks --------------------------------------------------------------------------------

typedef VP_STATUS(NTAPI* PVIDEO_HW_FIND_ADAPTER)(PVOID HwDeviceExtension, PVOID HwContext, PWSTR ArgumentString,
                                                 PVIDEO_PORT_CONFIG_INFO ConfigInfo, PUCHAR Again);
typedef BOOLEAN(NTAPI* PVIDEO_HW_INITIALIZE)(PVOID HwDeviceExtension);
typedef BOOLEAN(NTAPI* PVIDEO_HW_INTERRUPT)(PVOID HwDeviceExtension);
typedef BOOLEAN(NTAPI* PVIDEO_HW_START_IO)(PVOID HwDeviceExtension, PVIDEO_REQUEST_PACKET RequestPacket);
typedef BOOLEAN(NTAPI* PVIDEO_HW_RESET_HW)(PVOID HwDeviceExtension, ULONG Columns, ULONG Rows);
typedef VOID(NTAPI* PVIDEO_HW_TIMER)(PVOID HwDeviceExtension);
typedef VP_STATUS(NTAPI* PVIDEO_HW_POWER_SET)(PVOID HwDeviceExtension, ULONG HwId,
                                              PVIDEO_POWER_MANAGEMENT VideoPowerControl);
typedef VP_STATUS(NTAPI* PVIDEO_HW_POWER_GET)(PVOID HwDeviceExtension, ULONG HwId,
                                              PVIDEO_POWER_MANAGEMENT VideoPowerControl);
typedef VP_STATUS(NTAPI* PVIDEO_HW_GET_CHILD_DESCRIPTOR)(PVOID HwDeviceExtension, PVIDEO_CHILD_ENUM_INFO ChildEnumInfo,
                                                         PVIDEO_CHILD_TYPE VideoChildType, PUCHAR pChildDescriptor,
                                                         PULONG UId, PULONG pUnused);
typedef VP_STATUS(NTAPI* PMINIPORT_GET_REGISTRY_ROUTINE)(PVOID HwDeviceExtension, PVOID Context, PWSTR ValueName,
                                                         PVOID ValueData, ULONG ValueLength);
typedef VOID(NTAPI* PVIDEO_WRITE_CLOCK_LINE)(PVOID HwDeviceExtension, UCHAR Data);
typedef VOID(NTAPI* PVIDEO_WRITE_DATA_LINE)(PVOID HwDeviceExtension, UCHAR Data);
typedef BOOLEAN(NTAPI* PVIDEO_READ_CLOCK_LINE)(PVOID HwDeviceExtension);
typedef BOOLEAN(NTAPI* PVIDEO_READ_DATA_LINE)(PVOID HwDeviceExtension);
typedef VOID(NTAPI* PVIDEO_WAIT_VSYNC_ACTIVE)(PVOID HwDeviceExtension);

typedef struct _VIDEO_HW_INITIALIZATION_DATA {
    ULONG HwInitDataSize;
    INTERFACE_TYPE AdapterInterfaceType;
    Code32<PVIDEO_HW_FIND_ADAPTER> HwFindAdapter;
    Code32<PVIDEO_HW_INITIALIZE> HwInitialize;
    Code32<PVIDEO_HW_INTERRUPT> HwInterrupt;
    Code32<PVIDEO_HW_START_IO> HwStartIO;
    ULONG HwDeviceExtensionSize;
    ULONG StartingDeviceNumber;
    Code32<PVIDEO_HW_RESET_HW> HwResetHw;
    Code32<PVIDEO_HW_TIMER> HwTimer;
    Code32<void (*)()> HwStartDma;
    Code32<PVIDEO_HW_POWER_SET> HwSetPowerState;
    Code32<PVIDEO_HW_POWER_GET> HwGetPowerState;
    Code32<PVIDEO_HW_GET_CHILD_DESCRIPTOR> HwGetVideoChildDescriptor;
    Code32<void (*)()> HwQueryInterface;
    ULONG HwChildDeviceExtensionSize;
    Ptr32<VIDEO_ACCESS_RANGE> HwLegacyResourceList;
    ULONG HwLegacyResourceCount;
    Code32<void (*)()> HwGetLegacyResources;
    BOOLEAN AllowEarlyEnumeration;
    ULONG Reserved;
} VIDEO_HW_INITIALIZATION_DATA, *PVIDEO_HW_INITIALIZATION_DATA;

// The size of the record as Windows 2000 defines it: everything before Reserved.
#define SIZE_OF_W2K_VIDEO_HW_INITIALIZATION_DATA offsetof(VIDEO_HW_INITIALIZATION_DATA, Reserved)

typedef struct _I2C_FNC_TABLE {
    ULONG Size;
    Code32<PVIDEO_WRITE_CLOCK_LINE> WriteClockLine;
    Code32<PVIDEO_WRITE_DATA_LINE> WriteDataLine;
    Code32<PVIDEO_READ_CLOCK_LINE> ReadClockLine;
    Code32<PVIDEO_READ_DATA_LINE> ReadDataLine;
    Code32<PVIDEO_WAIT_VSYNC_ACTIVE> WaitVsync;
    Ptr32<void> Reserved;
} I2C_FNC_TABLE, *PI2C_FNC_TABLE;

// --- Kernel records: counted strings, object attributes, I/O status, registry values ----------
// (registry keys, files and string conversions of the settings relay)

typedef ULONG ACCESS_MASK;
typedef HANDLE* PHANDLE;
typedef const CHAR* PCSZ;
typedef LARGE_INTEGER* PLARGE_INTEGER;

#define NT_SUCCESS(status) (((NTSTATUS)(status)) >= 0)
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003A)
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003B)
#define STATUS_FILE_IS_A_DIRECTORY ((NTSTATUS)0xC00000BA)
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0)

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_READ 0x20019
#define KEY_ALL_ACCESS 0xF003F
#define GENERIC_READ 0x80000000
#define OBJ_CASE_INSENSITIVE 0x00000040
#define OBJ_KERNEL_HANDLE 0x00000200
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_SHARE_READ 0x00000001
#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005
#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_OPENED 0x00000001
#define FILE_CREATED 0x00000002

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    Ptr32<WCHAR> Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    Ptr32<CHAR> Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING, *PCANSI_STRING;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    Ptr32<void> RootDirectory;
    Ptr32<UNICODE_STRING> ObjectName;
    ULONG Attributes;
    Ptr32<void> SecurityDescriptor;
    Ptr32<void> SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = r;                   \
        (p)->Attributes = a;                      \
        (p)->ObjectName = n;                      \
        (p)->SecurityDescriptor = s;              \
        (p)->SecurityQualityOfService = nullptr;  \
    } while (0)

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        Ptr32<void> Pointer;
    };
    ULONG Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation,
    KeyValueFullInformation,
    KeyValuePartialInformation,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

// The kernel's pool.
// The levels of VideoPortDebugPrint; the platform prints a message whose level is at most
// VideoDebugLevel.
typedef enum VIDEO_DEBUG_LEVEL { Error = 0, Warn, Trace, Info } VIDEO_DEBUG_LEVEL, *PVIDEO_DEBUG_LEVEL;

typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1 } POOL_TYPE;

// --- Control codes ----------------------------------------------------------------------------

#define FILE_DEVICE_VIDEO 0x00000023
#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

#define IOCTL_VIDEO_HANDLE_VIDEOPARAMETERS CTL_CODE(FILE_DEVICE_VIDEO, 0x08, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VIDEO_QUERY_AVAIL_MODES CTL_CODE(FILE_DEVICE_VIDEO, 0x100, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES CTL_CODE(FILE_DEVICE_VIDEO, 0x101, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VIDEO_QUERY_CURRENT_MODE CTL_CODE(FILE_DEVICE_VIDEO, 0x102, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VIDEO_SET_CURRENT_MODE CTL_CODE(FILE_DEVICE_VIDEO, 0x103, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VIDEO_RESET_DEVICE CTL_CODE(FILE_DEVICE_VIDEO, 0x104, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VIDEO_SET_COLOR_REGISTERS CTL_CODE(FILE_DEVICE_VIDEO, 0x107, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VIDEO_MAP_VIDEO_MEMORY CTL_CODE(FILE_DEVICE_VIDEO, 0x116, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VIDEO_UNMAP_VIDEO_MEMORY CTL_CODE(FILE_DEVICE_VIDEO, 0x117, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VIDEO_QUERY_PUBLIC_ACCESS_RANGES CTL_CODE(FILE_DEVICE_VIDEO, 0x118, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VIDEO_FREE_PUBLIC_ACCESS_RANGES CTL_CODE(FILE_DEVICE_VIDEO, 0x119, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VIDEO_QUERY_COLOR_CAPABILITIES CTL_CODE(FILE_DEVICE_VIDEO, 0x11a, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VIDEO_SET_POWER_MANAGEMENT CTL_CODE(FILE_DEVICE_VIDEO, 0x11b, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VIDEO_GET_POWER_MANAGEMENT CTL_CODE(FILE_DEVICE_VIDEO, 0x11c, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VIDEO_SHARE_VIDEO_MEMORY CTL_CODE(FILE_DEVICE_VIDEO, 0x11d, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VIDEO_UNSHARE_VIDEO_MEMORY CTL_CODE(FILE_DEVICE_VIDEO, 0x11e, METHOD_BUFFERED, FILE_ANY_ACCESS)

// --- Video port routines ----------------------------------------------------------------------

extern "C" {
ULONG NTAPI VideoPortInitialize(PVOID Argument1, PVOID Argument2, PVIDEO_HW_INITIALIZATION_DATA HwInitializationData,
                                PVOID HwContext);
VP_STATUS NTAPI VideoPortGetAccessRanges(PVOID HwDeviceExtension, ULONG NumRequestedResources,
                                         PVOID RequestedResources, ULONG NumAccessRanges,
                                         PVIDEO_ACCESS_RANGE AccessRanges, PVOID VendorId, PVOID DeviceId,
                                         PULONG Slot);
VP_STATUS NTAPI VideoPortVerifyAccessRanges(PVOID HwDeviceExtension, ULONG NumAccessRanges,
                                            PVIDEO_ACCESS_RANGE AccessRanges);
PVOID NTAPI VideoPortGetDeviceBase(PVOID HwDeviceExtension, PHYSICAL_ADDRESS IoAddress, ULONG NumberOfUchars,
                                   UCHAR InIoSpace);
VOID NTAPI VideoPortFreeDeviceBase(PVOID HwDeviceExtension, PVOID MappedAddress);
ULONG NTAPI VideoPortGetBusData(PVOID HwDeviceExtension, BUS_DATA_TYPE BusDataType, ULONG SlotNumber, PVOID Buffer,
                                ULONG Offset, ULONG Length);
ULONG NTAPI VideoPortSetBusData(PVOID HwDeviceExtension, BUS_DATA_TYPE BusDataType, ULONG SlotNumber, PVOID Buffer,
                                ULONG Offset, ULONG Length);

UCHAR NTAPI VideoPortReadPortUchar(PUCHAR Port);
USHORT NTAPI VideoPortReadPortUshort(PUSHORT Port);
ULONG NTAPI VideoPortReadPortUlong(PULONG Port);
VOID NTAPI VideoPortWritePortUchar(PUCHAR Port, UCHAR Value);
VOID NTAPI VideoPortWritePortUshort(PUSHORT Port, USHORT Value);
VOID NTAPI VideoPortWritePortUlong(PULONG Port, ULONG Value);
UCHAR NTAPI VideoPortReadRegisterUchar(PUCHAR Register);
USHORT NTAPI VideoPortReadRegisterUshort(PUSHORT Register);
ULONG NTAPI VideoPortReadRegisterUlong(PULONG Register);
VOID NTAPI VideoPortWriteRegisterUchar(PUCHAR Register, UCHAR Value);
VOID NTAPI VideoPortWriteRegisterUshort(PUSHORT Register, USHORT Value);
VOID NTAPI VideoPortWriteRegisterUlong(PULONG Register, ULONG Value);

VP_STATUS NTAPI VideoPortGetRegistryParameters(PVOID HwDeviceExtension, PWSTR ParameterName,
                                               UCHAR IsParameterFileName,
                                               PMINIPORT_GET_REGISTRY_ROUTINE CallbackRoutine, PVOID Context);
VP_STATUS NTAPI VideoPortSetRegistryParameters(PVOID HwDeviceExtension, PWSTR ValueName, PVOID ValueData,
                                               ULONG ValueLength);
BOOLEAN NTAPI VideoPortScanRom(PVOID HwDeviceExtension, PUCHAR RomBase, ULONG RomLength, PUCHAR String);
VP_STATUS NTAPI VideoPortInt10(PVOID HwDeviceExtension, PVIDEO_X86_BIOS_ARGUMENTS BiosArguments);
VP_STATUS NTAPI VideoPortMapMemory(PVOID HwDeviceExtension, PHYSICAL_ADDRESS PhysicalAddress, PULONG Length,
                                   PULONG InIoSpace, PVOID* VirtualAddress);
VP_STATUS NTAPI VideoPortUnmapMemory(PVOID HwDeviceExtension, PVOID VirtualAddress, HANDLE ProcessHandle);
BOOLEAN NTAPI VideoPortDDCMonitorHelper(PVOID HwDeviceExtension, PVOID DDCControl, PUCHAR EdidBuffer,
                                        ULONG EdidBufferSize);
VOID NTAPI VideoPortZeroMemory(PVOID Destination, ULONG Length);
VOID NTAPI VideoPortMoveMemory(PVOID Destination, PVOID Source, ULONG Length);

// Monitor and power: the processor waits in place (the DDC line callbacks' wait for vertical sync).
VOID NTAPI VideoPortStallExecution(ULONG Microseconds);

// Diagnostics: a message of the checked build (printf-style, with the caller's arguments; cdecl,
// as the platform declares it), and an entry in the system's event log.
VOID VideoPortDebugPrint(VIDEO_DEBUG_LEVEL DebugPrintLevel, PCHAR DebugMessage, ...)
    __attribute__((format(printf, 2, 3)));
VOID NTAPI VideoPortLogError(PVOID HwDeviceExtension, PVIDEO_REQUEST_PACKET Vrp, VP_STATUS ErrorCode, ULONG UniqueId);
}

// --- Kernel routines: registry keys, files and string conversions (settings relay) ------------

extern "C" {
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, size_t NumberOfBytes, ULONG Tag);
VOID NTAPI ExFreePool(PVOID P);

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength);
NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                             ULONG DataSize);
NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                            PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                            ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength);
NTSTATUS NTAPI ZwClose(HANDLE Handle);
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString);
NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString);
VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);
}

// --- Kernel routines: processes, contiguous memory and the physical memory section -------------

typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef SIZE_T* PSIZE_T;
typedef CHAR KPROCESSOR_MODE;
typedef struct _EPROCESS* PEPROCESS;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
typedef struct _OBJECT_HANDLE_INFORMATION* POBJECT_HANDLE_INFORMATION;
typedef enum _SECTION_INHERIT { ViewShare = 1, ViewUnmap = 2 } SECTION_INHERIT;

#define FASTCALL
#define KernelMode 0
#define SECTION_ALL_ACCESS 0x000F001F
#define PAGE_READWRITE 0x04
#define PAGE_NOCACHE 0x200
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102)

// Why a thread waits; a driver's own waits are Executive.
typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;

extern "C" {
PEPROCESS NTAPI IoGetCurrentProcess(VOID);
PVOID NTAPI MmAllocateContiguousMemory(SIZE_T NumberOfBytes, PHYSICAL_ADDRESS HighestAcceptableAddress);
PHYSICAL_ADDRESS NTAPI MmGetPhysicalAddress(PVOID BaseAddress);
NTSTATUS NTAPI ZwOpenSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation);
LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
VOID NTAPI MmFreeContiguousMemory(PVOID BaseAddress);
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS NTAPI ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID* BaseAddress, ULONG_PTR ZeroBits,
                                  SIZE_T CommitSize, PLARGE_INTEGER SectionOffset, PSIZE_T ViewSize,
                                  SECTION_INHERIT InheritDisposition, ULONG AllocationType, ULONG Win32Protect);
}
