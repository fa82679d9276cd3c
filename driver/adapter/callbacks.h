// The callbacks that the driver entry registers with the video port driver.
#pragma once

#include "platform/videoport.h"

extern "C" ULONG NTAPI DriverEntry(PVOID driverObject, PVOID registryPath);

VP_STATUS NTAPI HwFindAdapter(PVOID hwDeviceExtension, PVOID hwContext, PWSTR argumentString,
                              PVIDEO_PORT_CONFIG_INFO configInfo, PUCHAR again);
BOOLEAN NTAPI HwInitialize(PVOID hwDeviceExtension);
BOOLEAN NTAPI HwStartIO(PVOID hwDeviceExtension, PVIDEO_REQUEST_PACKET requestPacket);
BOOLEAN NTAPI HwResetHw(PVOID hwDeviceExtension, ULONG columns, ULONG rows);
VP_STATUS NTAPI HwGetPowerState(PVOID hwDeviceExtension, ULONG hwId, PVIDEO_POWER_MANAGEMENT powerControl);
VP_STATUS NTAPI HwSetPowerState(PVOID hwDeviceExtension, ULONG hwId, PVIDEO_POWER_MANAGEMENT powerControl);
VP_STATUS NTAPI HwGetVideoChildDescriptor(PVOID hwDeviceExtension, PVIDEO_CHILD_ENUM_INFO childEnumInfo,
                                          PVIDEO_CHILD_TYPE childType, PUCHAR childDescriptor, PULONG uid,
                                          PULONG unused);
