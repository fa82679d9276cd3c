// Every platform record the driver uses (size and the offsets of its fields) and every standard
// control code it serves. The Windows build lays them out from the published headers, the host
// build from its own definitions; the layout test compares the two, entry by entry.
#pragma once

#define LAYOUT_ENTRIES                                                    \
    LAYOUT_RECORD(VIDEO_ACCESS_RANGE)                                     \
    LAYOUT_FIELD(VIDEO_ACCESS_RANGE, RangeStart)                          \
    LAYOUT_FIELD(VIDEO_ACCESS_RANGE, RangeLength)                         \
    LAYOUT_FIELD(VIDEO_ACCESS_RANGE, RangeInIoSpace)                      \
    LAYOUT_FIELD(VIDEO_ACCESS_RANGE, RangeVisible)                        \
    LAYOUT_FIELD(VIDEO_ACCESS_RANGE, RangeShareable)                      \
    LAYOUT_FIELD(VIDEO_ACCESS_RANGE, RangePassive)                        \
    LAYOUT_RECORD(VIDEO_PORT_CONFIG_INFO)                                 \
    LAYOUT_FIELD(VIDEO_PORT_CONFIG_INFO, Length)                          \
    LAYOUT_FIELD(VIDEO_PORT_CONFIG_INFO, AdapterInterfaceType)            \
    LAYOUT_FIELD(VIDEO_PORT_CONFIG_INFO, BusInterruptLevel)               \
    LAYOUT_FIELD(VIDEO_PORT_CONFIG_INFO, InterruptMode)                   \
    LAYOUT_FIELD(VIDEO_PORT_CONFIG_INFO, NumEmulatorAccessEntries)        \
    LAYOUT_FIELD(VIDEO_PORT_CONFIG_INFO, EmulatorAccessEntries)           \
    LAYOUT_FIELD(VIDEO_PORT_CONFIG_INFO, EmulatorAccessEntriesContext)    \
    LAYOUT_FIELD(VIDEO_PORT_CONFIG_INFO, VdmPhysicalVideoMemoryAddress)   \
    LAYOUT_FIELD(VIDEO_PORT_CONFIG_INFO, VdmPhysicalVideoMemoryLength)    \
    LAYOUT_FIELD(VIDEO_PORT_CONFIG_INFO, HardwareStateSize)               \
    LAYOUT_FIELD(VIDEO_PORT_CONFIG_INFO, DmaChannel)                      \
    LAYOUT_FIELD(VIDEO_PORT_CONFIG_INFO, DmaWidth)                        \
    LAYOUT_FIELD(VIDEO_PORT_CONFIG_INFO, MaximumTransferLength)           \
    LAYOUT_FIELD(VIDEO_PORT_CONFIG_INFO, MaximumScatterGatherChunkSize)   \
    LAYOUT_FIELD(VIDEO_PORT_CONFIG_INFO, VideoPortGetProcAddress)         \
    LAYOUT_FIELD(VIDEO_PORT_CONFIG_INFO, DriverRegistryPath)              \
    LAYOUT_FIELD(VIDEO_PORT_CONFIG_INFO, SystemMemorySize)                \
    LAYOUT_RECORD(VIDEO_HW_INITIALIZATION_DATA)                           \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, HwInitDataSize)            \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, AdapterInterfaceType)      \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, HwFindAdapter)             \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, HwInitialize)              \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, HwInterrupt)               \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, HwStartIO)                 \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, HwDeviceExtensionSize)     \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, StartingDeviceNumber)      \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, HwResetHw)                 \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, HwTimer)                   \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, HwStartDma)                \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, HwSetPowerState)           \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, HwGetPowerState)           \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, HwGetVideoChildDescriptor) \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, HwQueryInterface)          \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, HwChildDeviceExtensionSize) \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, HwLegacyResourceList)      \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, HwLegacyResourceCount)     \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, HwGetLegacyResources)      \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, AllowEarlyEnumeration)     \
    LAYOUT_FIELD(VIDEO_HW_INITIALIZATION_DATA, Reserved)                  \
    LAYOUT_RECORD(STATUS_BLOCK)                                           \
    LAYOUT_FIELD(STATUS_BLOCK, Status)                                    \
    LAYOUT_FIELD(STATUS_BLOCK, Information)                               \
    LAYOUT_RECORD(VIDEO_REQUEST_PACKET)                                   \
    LAYOUT_FIELD(VIDEO_REQUEST_PACKET, IoControlCode)                     \
    LAYOUT_FIELD(VIDEO_REQUEST_PACKET, StatusBlock)                       \
    LAYOUT_FIELD(VIDEO_REQUEST_PACKET, InputBuffer)                       \
    LAYOUT_FIELD(VIDEO_REQUEST_PACKET, InputBufferLength)                 \
    LAYOUT_FIELD(VIDEO_REQUEST_PACKET, OutputBuffer)                      \
    LAYOUT_FIELD(VIDEO_REQUEST_PACKET, OutputBufferLength)                \
    LAYOUT_RECORD(VIDEO_X86_BIOS_ARGUMENTS)                               \
    LAYOUT_FIELD(VIDEO_X86_BIOS_ARGUMENTS, Eax)                           \
    LAYOUT_FIELD(VIDEO_X86_BIOS_ARGUMENTS, Ebx)                           \
    LAYOUT_FIELD(VIDEO_X86_BIOS_ARGUMENTS, Ecx)                           \
    LAYOUT_FIELD(VIDEO_X86_BIOS_ARGUMENTS, Edx)                           \
    LAYOUT_FIELD(VIDEO_X86_BIOS_ARGUMENTS, Esi)                           \
    LAYOUT_FIELD(VIDEO_X86_BIOS_ARGUMENTS, Edi)                           \
    LAYOUT_FIELD(VIDEO_X86_BIOS_ARGUMENTS, Ebp)                           \
    LAYOUT_RECORD(VIDEO_MODE_INFORMATION)                                 \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, Length)                          \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, ModeIndex)                       \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, VisScreenWidth)                  \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, VisScreenHeight)                 \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, ScreenStride)                    \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, NumberOfPlanes)                  \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, BitsPerPlane)                    \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, Frequency)                       \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, XMillimeter)                     \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, YMillimeter)                     \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, NumberRedBits)                   \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, NumberGreenBits)                 \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, NumberBlueBits)                  \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, RedMask)                         \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, GreenMask)                       \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, BlueMask)                        \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, AttributeFlags)                  \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, VideoMemoryBitmapWidth)          \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, VideoMemoryBitmapHeight)         \
    LAYOUT_FIELD(VIDEO_MODE_INFORMATION, DriverSpecificAttributeFlags)    \
    LAYOUT_RECORD(VIDEO_NUM_MODES)                                        \
    LAYOUT_FIELD(VIDEO_NUM_MODES, NumModes)                               \
    LAYOUT_FIELD(VIDEO_NUM_MODES, ModeInformationLength)                  \
    LAYOUT_RECORD(VIDEO_MODE)                                             \
    LAYOUT_FIELD(VIDEO_MODE, RequestedMode)                               \
    LAYOUT_RECORD(VIDEO_MEMORY)                                           \
    LAYOUT_FIELD(VIDEO_MEMORY, RequestedVirtualAddress)                   \
    LAYOUT_RECORD(VIDEO_MEMORY_INFORMATION)                               \
    LAYOUT_FIELD(VIDEO_MEMORY_INFORMATION, VideoRamBase)                  \
    LAYOUT_FIELD(VIDEO_MEMORY_INFORMATION, VideoRamLength)                \
    LAYOUT_FIELD(VIDEO_MEMORY_INFORMATION, FrameBufferBase)               \
    LAYOUT_FIELD(VIDEO_MEMORY_INFORMATION, FrameBufferLength)             \
    LAYOUT_RECORD(VIDEO_PUBLIC_ACCESS_RANGES)                             \
    LAYOUT_FIELD(VIDEO_PUBLIC_ACCESS_RANGES, InIoSpace)                   \
    LAYOUT_FIELD(VIDEO_PUBLIC_ACCESS_RANGES, MappedInIoSpace)             \
    LAYOUT_FIELD(VIDEO_PUBLIC_ACCESS_RANGES, VirtualAddress)              \
    LAYOUT_RECORD(VIDEO_SHARE_MEMORY)                                     \
    LAYOUT_FIELD(VIDEO_SHARE_MEMORY, ProcessHandle)                       \
    LAYOUT_FIELD(VIDEO_SHARE_MEMORY, ViewOffset)                          \
    LAYOUT_FIELD(VIDEO_SHARE_MEMORY, ViewSize)                            \
    LAYOUT_FIELD(VIDEO_SHARE_MEMORY, RequestedVirtualAddress)             \
    LAYOUT_RECORD(VIDEO_SHARE_MEMORY_INFORMATION)                         \
    LAYOUT_FIELD(VIDEO_SHARE_MEMORY_INFORMATION, SharedViewOffset)        \
    LAYOUT_FIELD(VIDEO_SHARE_MEMORY_INFORMATION, SharedViewSize)          \
    LAYOUT_FIELD(VIDEO_SHARE_MEMORY_INFORMATION, VirtualAddress)          \
    LAYOUT_RECORD(VIDEO_CLUTDATA)                                         \
    LAYOUT_FIELD(VIDEO_CLUTDATA, Red)                                     \
    LAYOUT_FIELD(VIDEO_CLUTDATA, Green)                                   \
    LAYOUT_FIELD(VIDEO_CLUTDATA, Blue)                                    \
    LAYOUT_FIELD(VIDEO_CLUTDATA, Unused)                                  \
    LAYOUT_RECORD(VIDEO_CLUT)                                             \
    LAYOUT_FIELD(VIDEO_CLUT, NumEntries)                                  \
    LAYOUT_FIELD(VIDEO_CLUT, FirstEntry)                                  \
    LAYOUT_FIELD(VIDEO_CLUT, LookupTable)                                 \
    LAYOUT_RECORD(VIDEO_POWER_MANAGEMENT)                                 \
    LAYOUT_FIELD(VIDEO_POWER_MANAGEMENT, Length)                          \
    LAYOUT_FIELD(VIDEO_POWER_MANAGEMENT, DPMSVersion)                     \
    LAYOUT_FIELD(VIDEO_POWER_MANAGEMENT, PowerState)                      \
    LAYOUT_RECORD(VIDEO_CHILD_ENUM_INFO)                                  \
    LAYOUT_FIELD(VIDEO_CHILD_ENUM_INFO, Size)                             \
    LAYOUT_FIELD(VIDEO_CHILD_ENUM_INFO, ChildDescriptorSize)              \
    LAYOUT_FIELD(VIDEO_CHILD_ENUM_INFO, ChildIndex)                       \
    LAYOUT_FIELD(VIDEO_CHILD_ENUM_INFO, ACPIHwId)                         \
    LAYOUT_FIELD(VIDEO_CHILD_ENUM_INFO, ChildHwDeviceExtension)           \
    LAYOUT_RECORD(I2C_FNC_TABLE)                                          \
    LAYOUT_FIELD(I2C_FNC_TABLE, Size)                                     \
    LAYOUT_FIELD(I2C_FNC_TABLE, WriteClockLine)                           \
    LAYOUT_FIELD(I2C_FNC_TABLE, WriteDataLine)                            \
    LAYOUT_FIELD(I2C_FNC_TABLE, ReadClockLine)                            \
    LAYOUT_FIELD(I2C_FNC_TABLE, ReadDataLine)                             \
    LAYOUT_FIELD(I2C_FNC_TABLE, WaitVsync)                                \
    LAYOUT_FIELD(I2C_FNC_TABLE, Reserved)                                 \
    LAYOUT_CODE(IOCTL_VIDEO_HANDLE_VIDEOPARAMETERS)                       \
    LAYOUT_CODE(IOCTL_VIDEO_QUERY_AVAIL_MODES)                            \
    LAYOUT_CODE(IOCTL_VIDEO_QUERY_NUM_AVAIL_MODES)                        \
    LAYOUT_CODE(IOCTL_VIDEO_QUERY_CURRENT_MODE)                           \
    LAYOUT_CODE(IOCTL_VIDEO_SET_CURRENT_MODE)                             \
    LAYOUT_CODE(IOCTL_VIDEO_RESET_DEVICE)                                 \
    LAYOUT_CODE(IOCTL_VIDEO_SET_COLOR_REGISTERS)                          \
    LAYOUT_CODE(IOCTL_VIDEO_MAP_VIDEO_MEMORY)                             \
    LAYOUT_CODE(IOCTL_VIDEO_UNMAP_VIDEO_MEMORY)                           \
    LAYOUT_CODE(IOCTL_VIDEO_QUERY_PUBLIC_ACCESS_RANGES)                   \
    LAYOUT_CODE(IOCTL_VIDEO_FREE_PUBLIC_ACCESS_RANGES)                    \
    LAYOUT_CODE(IOCTL_VIDEO_QUERY_COLOR_CAPABILITIES)                     \
    LAYOUT_CODE(IOCTL_VIDEO_SET_POWER_MANAGEMENT)                         \
    LAYOUT_CODE(IOCTL_VIDEO_GET_POWER_MANAGEMENT)                         \
    LAYOUT_CODE(IOCTL_VIDEO_SHARE_VIDEO_MEMORY)                           \
    LAYOUT_CODE(IOCTL_VIDEO_UNSHARE_VIDEO_MEMORY)                         \
    LAYOUT_CODE(PCIBus)                                                   \
    LAYOUT_CODE(PCIConfiguration)                                         \
    LAYOUT_CODE(Monitor)                                                  \
    LAYOUT_CODE(VIDEO_MEMORY_SPACE_P6CACHE)                               \
    LAYOUT_CODE(VIDEO_MODE_MANAGED_PALETTE)                               \
    /* Monitor child and power */                                         \
    LAYOUT_CODE(VideoPowerOn)                                             \
    LAYOUT_CODE(VideoPowerStandBy)                                        \
    LAYOUT_CODE(VideoPowerSuspend)                                        \
    LAYOUT_CODE(VideoPowerOff)                                            \
    LAYOUT_CODE(VideoPowerHibernate)                                      \
    LAYOUT_CODE(ERROR_MORE_DATA)                                          \
    LAYOUT_CODE(ERROR_NO_MORE_DEVICES)                                    \
    /* Kernel routines of memory mapping */                               \
    LAYOUT_CODE(SECTION_ALL_ACCESS)                                       \
    LAYOUT_CODE(PAGE_READWRITE)                                           \
    LAYOUT_CODE(PAGE_NOCACHE)                                             \
    LAYOUT_CODE(ViewUnmap)                                                \
    LAYOUT_CODE(KernelMode) \
    LAYOUT_KERNEL_ENTRIES

// The kernel's records and constants that the settings relay uses (registry keys, files, counted
// strings). The zarn.sys build takes them from the driver's own declarations, since wdm.h does not
// combine with miniport.h; kernel_layout_probe.c lays the same entries out from the published wdm.h.
#define LAYOUT_KERNEL_ENTRIES                                             \
    LAYOUT_CODE(PagedPool)                                                \
    LAYOUT_RECORD(UNICODE_STRING)                                         \
    LAYOUT_FIELD(UNICODE_STRING, Length)                                  \
    LAYOUT_FIELD(UNICODE_STRING, MaximumLength)                           \
    LAYOUT_FIELD(UNICODE_STRING, Buffer)                                  \
    LAYOUT_RECORD(ANSI_STRING)                                            \
    LAYOUT_FIELD(ANSI_STRING, Length)                                     \
    LAYOUT_FIELD(ANSI_STRING, MaximumLength)                              \
    LAYOUT_FIELD(ANSI_STRING, Buffer)                                     \
    LAYOUT_RECORD(OBJECT_ATTRIBUTES)                                      \
    LAYOUT_FIELD(OBJECT_ATTRIBUTES, Length)                               \
    LAYOUT_FIELD(OBJECT_ATTRIBUTES, RootDirectory)                        \
    LAYOUT_FIELD(OBJECT_ATTRIBUTES, ObjectName)                           \
    LAYOUT_FIELD(OBJECT_ATTRIBUTES, Attributes)                           \
    LAYOUT_FIELD(OBJECT_ATTRIBUTES, SecurityDescriptor)                   \
    LAYOUT_FIELD(OBJECT_ATTRIBUTES, SecurityQualityOfService)             \
    LAYOUT_RECORD(IO_STATUS_BLOCK)                                        \
    LAYOUT_FIELD(IO_STATUS_BLOCK, Status)                                 \
    LAYOUT_FIELD(IO_STATUS_BLOCK, Information)                            \
    LAYOUT_RECORD(KEY_VALUE_PARTIAL_INFORMATION)                          \
    LAYOUT_FIELD(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex)               \
    LAYOUT_FIELD(KEY_VALUE_PARTIAL_INFORMATION, Type)                     \
    LAYOUT_FIELD(KEY_VALUE_PARTIAL_INFORMATION, DataLength)               \
    LAYOUT_FIELD(KEY_VALUE_PARTIAL_INFORMATION, Data)                     \
    LAYOUT_CODE(KeyValuePartialInformation)                               \
    LAYOUT_CODE(KEY_QUERY_VALUE)                                          \
    LAYOUT_CODE(KEY_SET_VALUE)                                            \
    LAYOUT_CODE(KEY_READ)                                                 \
    LAYOUT_CODE(KEY_ALL_ACCESS)                                           \
    LAYOUT_CODE(GENERIC_READ)                                             \
    LAYOUT_CODE(OBJ_CASE_INSENSITIVE)                                     \
    LAYOUT_CODE(FILE_ATTRIBUTE_NORMAL)                                    \
    LAYOUT_CODE(FILE_SHARE_READ)                                          \
    LAYOUT_CODE(FILE_OPEN)                                                \
    LAYOUT_CODE(FILE_NON_DIRECTORY_FILE)                                  \
    LAYOUT_CODE(FILE_OPENED)                                              \
    LAYOUT_CODE(REG_SZ)                                                   \
    LAYOUT_CODE(REG_EXPAND_SZ)                                            \
    LAYOUT_CODE(REG_BINARY)                                               \
    LAYOUT_CODE(REG_DWORD)                                                \
    LAYOUT_CODE(REG_MULTI_SZ)                                             \
    LAYOUT_CODE(STATUS_SUCCESS)                                           \
    LAYOUT_CODE(STATUS_BUFFER_OVERFLOW)                                   \
    LAYOUT_CODE(STATUS_UNSUCCESSFUL)                                      \
    LAYOUT_CODE(STATUS_NO_MEMORY)                                         \
    LAYOUT_CODE(STATUS_BUFFER_TOO_SMALL)                                  \
    LAYOUT_CODE(STATUS_OBJECT_NAME_NOT_FOUND)                             \
    LAYOUT_CODE(STATUS_TIMEOUT)                                           \
    LAYOUT_CODE(Executive)
