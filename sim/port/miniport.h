// The driver as the port driver sees it: an entry point, and callbacks named by the code addresses
// the driver registered or handed over. Every call from the simulated platform into the driver goes
// through here, so the same port, kernel and devices can run another build of the driver.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/videoport.h"

namespace sim {

class Kernel;

class Miniport {
public:
    virtual ~Miniport() = default;

    // Makes this machine's copy of the driver the one that runs (its own writable data).
    virtual void Activate() = 0;
    // The driver's writable data, for the machine's snapshots; restoring puts it back.
    virtual std::vector<uint8_t> SaveData() = 0;
    virtual void RestoreData(const std::vector<uint8_t>& data) = 0;

    virtual ULONG DriverEntry(PVOID driverObject, PVOID registryPath) = 0;
    virtual VP_STATUS FindAdapter(ULONG code, PVOID extension, PVOID context, PWSTR arguments,
                                  PVIDEO_PORT_CONFIG_INFO configInfo, PUCHAR again) = 0;
    virtual BOOLEAN Initialize(ULONG code, PVOID extension) = 0;
    virtual BOOLEAN StartIo(ULONG code, PVOID extension, PVIDEO_REQUEST_PACKET packet) = 0;
    virtual BOOLEAN ResetHw(ULONG code, PVOID extension, ULONG columns, ULONG rows) = 0;
    virtual VP_STATUS RegistryValue(ULONG code, PVOID extension, PVOID context, PWSTR name, PVOID data,
                                    ULONG length) = 0;

    // --- Monitor child and power ---
    virtual VP_STATUS GetVideoChildDescriptor(ULONG code, PVOID extension, PVIDEO_CHILD_ENUM_INFO info,
                                              PVIDEO_CHILD_TYPE type, PUCHAR descriptor, PULONG uid,
                                              PULONG unused) = 0;
    virtual VP_STATUS GetPowerState(ULONG code, PVOID extension, ULONG hwId, PVIDEO_POWER_MANAGEMENT power) = 0;
    virtual VP_STATUS SetPowerState(ULONG code, PVOID extension, ULONG hwId, PVIDEO_POWER_MANAGEMENT power) = 0;
    // The line callbacks the driver hands to the DDC helper.
    virtual void WriteClockLine(ULONG code, PVOID extension, UCHAR level) = 0;
    virtual void WriteDataLine(ULONG code, PVOID extension, UCHAR level) = 0;
    virtual BOOLEAN ReadClockLine(ULONG code, PVOID extension) = 0;
    virtual BOOLEAN ReadDataLine(ULONG code, PVOID extension) = 0;
    virtual void WaitVsync(ULONG code, PVOID extension) = 0;
};

// The host build of the driver, linked into this program: callbacks are native functions, and the
// image's writable data is one section that each machine keeps its own copy of. Before each call
// into the driver the stack below the caller is made stale with the kernel's stale word, so a local
// the driver never wrote holds stale bytes, as on the platform.
class HostMiniport : public Miniport {
public:
    explicit HostMiniport(const Kernel& kernel);
    ~HostMiniport() override;
    HostMiniport(const HostMiniport&) = delete;
    HostMiniport& operator=(const HostMiniport&) = delete;

    void Activate() override;
    std::vector<uint8_t> SaveData() override;
    void RestoreData(const std::vector<uint8_t>& data) override;

    ULONG DriverEntry(PVOID driverObject, PVOID registryPath) override;
    VP_STATUS FindAdapter(ULONG code, PVOID extension, PVOID context, PWSTR arguments,
                          PVIDEO_PORT_CONFIG_INFO configInfo, PUCHAR again) override;
    BOOLEAN Initialize(ULONG code, PVOID extension) override;
    BOOLEAN StartIo(ULONG code, PVOID extension, PVIDEO_REQUEST_PACKET packet) override;
    BOOLEAN ResetHw(ULONG code, PVOID extension, ULONG columns, ULONG rows) override;
    VP_STATUS RegistryValue(ULONG code, PVOID extension, PVOID context, PWSTR name, PVOID data,
                            ULONG length) override;

    // --- Monitor child and power ---
    VP_STATUS GetVideoChildDescriptor(ULONG code, PVOID extension, PVIDEO_CHILD_ENUM_INFO info, PVIDEO_CHILD_TYPE type,
                                      PUCHAR descriptor, PULONG uid, PULONG unused) override;
    VP_STATUS GetPowerState(ULONG code, PVOID extension, ULONG hwId, PVIDEO_POWER_MANAGEMENT power) override;
    VP_STATUS SetPowerState(ULONG code, PVOID extension, ULONG hwId, PVIDEO_POWER_MANAGEMENT power) override;
    void WriteClockLine(ULONG code, PVOID extension, UCHAR level) override;
    void WriteDataLine(ULONG code, PVOID extension, UCHAR level) override;
    BOOLEAN ReadClockLine(ULONG code, PVOID extension) override;
    BOOLEAN ReadDataLine(ULONG code, PVOID extension) override;
    void WaitVsync(ULONG code, PVOID extension) override;

private:
    std::vector<uint8_t> data_;   // this machine's copy of the image's writable data
    const Kernel& kernel_;
};

}  // namespace sim
