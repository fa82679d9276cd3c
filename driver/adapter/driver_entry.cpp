// The driver entry: registers the driver's callbacks with the video port driver.
#include "adapter/adapter_state.h"
#include "adapter/callbacks.h"

extern "C" ULONG NTAPI DriverEntry(PVOID driverObject, PVOID registryPath) {
    VIDEO_HW_INITIALIZATION_DATA initData;
    VideoPortZeroMemory(&initData, sizeof(initData));

    initData.HwInitDataSize = SIZE_OF_W2K_VIDEO_HW_INITIALIZATION_DATA;
    initData.AdapterInterfaceType = PCIBus;
    initData.HwFindAdapter = HwFindAdapter;
    initData.HwInitialize = HwInitialize;
    initData.HwStartIO = HwStartIO;
    initData.HwResetHw = HwResetHw;
    initData.HwSetPowerState = HwSetPowerState;
    initData.HwGetPowerState = HwGetPowerState;
    initData.HwGetVideoChildDescriptor = HwGetVideoChildDescriptor;
    initData.HwDeviceExtensionSize = AdapterStateSize;

    return VideoPortInitialize(driverObject, registryPath, &initData, nullptr);
}
